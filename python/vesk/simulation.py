"""vesk.run and its Result."""

import difflib
import math
import numbers
import operator
import os
import re
import threading
import warnings
from collections.abc import Mapping
from typing import Any, Optional

import numpy as np

from . import _core
from .contract import ROW_MAP_FIELDS, TIME_CONSTANTS, Contract, check_parameters, load_contract
from ._core import ScheduleError
from ._progress import progress_display
from .result import Result
from .stimuli import Clamps, Schedule, _is_text

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1

# The threads of the runs this Python thread starts (0: as VESK_THREADS or
# the CPUs say): runs side by side in one process each take their own,
# which changing the environment under them could not give safely.
_run_threads = threading.local()


def _threads():
    return getattr(_run_threads, "count", 0)


def _node_selection(contract, record):
    """(node ids, whether all nodes) for the `record` argument of run()."""
    if record is None:
        return np.zeros(0, dtype=np.int64), True
    patterns = isinstance(record, (list, tuple)) and record and \
        all(isinstance(r, str) for r in record)
    if isinstance(record, (str, dict)) or patterns:
        return _select_by_pattern(contract, record), False
    rows = np.asarray(record)
    if rows.ndim != 1 or not (rows.size == 0 or np.issubdtype(rows.dtype, np.integer)):
        raise ValueError("record: give row indices, or patterns such as 'pop_id=W[0-3]'")
    first_node = {}
    for node_id, row in enumerate(contract.columns.tolist()):
        first_node.setdefault(row, node_id)  # a repeated row index means its first column
    ids = []
    for row in rows.tolist():
        if row not in first_node:
            raise ValueError(f"record: no node has row index {row}")
        ids.append(first_node[row])
    return np.array(ids, dtype=np.int64), False


def _select_by_pattern(contract, record):
    """Nodes whose row-map fields match every COLUMN=PATTERN in full."""
    items = record.items() if isinstance(record, dict) else \
        [r.partition("=")[::2] if "=" in r else (r, None) for r in
         ([record] if isinstance(record, str) else record)]
    fields = ROW_MAP_FIELDS[1:]
    selectors = []
    for column, pattern in items:
        if pattern is None:
            raise ValueError(f"record: give COLUMN=PATTERN, got {column!r}")
        if column not in fields:
            raise ValueError(f"record: no row-map column {column!r} (columns: {', '.join(fields)})")
        try:
            selectors.append((ROW_MAP_FIELDS.index(column), re.compile(pattern)))
        except re.error as e:
            raise ValueError(f"record: bad pattern {pattern!r}: {e}") from None
    # NodeRecord fields start with node_id; row-map fields follow it.
    ids = [n.node_id for n in contract.nodes
           if all(p.fullmatch(n[k + 1]) for k, p in selectors)]
    if not ids:
        text = ", ".join(f"{fields[k - 1]}={p.pattern}" for k, p in selectors)
        raise ValueError(f"record: no node matches {text}{_pattern_hint(contract, selectors)}")
    return np.array(ids, dtype=np.int64)


def _close_match(name, candidates):
    """The candidate most like `name`, letter case aside, or None."""
    by_folded = {}
    for candidate in candidates:
        by_folded.setdefault(candidate.casefold(), candidate)
    close = difflib.get_close_matches(name.casefold(), list(by_folded), n=1)
    return by_folded[close[0]] if close else None


def _pattern_hint(contract, selectors):
    """" (did you mean COLUMN=VALUE?)" for the first pattern that matches no
    node on its own and is close to a value of its column, or ""."""
    for k, pattern in selectors:
        values = {n[k + 1] for n in contract.nodes}
        if not any(pattern.fullmatch(v) for v in values):
            close = _close_match(pattern.pattern, sorted(values))
            if close:
                return f" (did you mean {ROW_MAP_FIELDS[k]}={close}?)"
            close = _close_match(pattern.pattern, contract.input_names)
            if close:
                return f" ({close!r} is an input, not a node: inputs=True keeps the inputs' values)"
    return ""


def _grid_arguments(t_end, n_steps, h):
    """t_end, n_steps and h of a run as numbers (None where not given). A
    t_end or n_steps given as text is read as vesk-sim reads --t-end and
    --n-steps: the leading number counts."""
    if t_end is not None and n_steps is not None:
        raise ValueError("give t_end or n_steps, not both")
    if t_end is None and n_steps is None:
        raise TypeError("run() needs t_end (ms) or n_steps (samples)")
    if isinstance(n_steps, str):
        n_steps = _core.read_n_steps(n_steps)
    elif n_steps is not None:
        n_steps = operator.index(n_steps)
        if not 1 <= n_steps <= INT32_MAX:
            raise ValueError(f"n_steps must lie between 1 and {INT32_MAX}, got {n_steps}")
    if isinstance(t_end, str):
        t_end = _core.read_t_end(t_end)
    elif t_end is not None:
        t_end = float(t_end)
    return t_end, n_steps, None if h is None else float(h)


def _grid(t_end, n_steps, h):
    """(last sample time, step, number of samples) of a run."""
    return _core.sample_grid(*_grid_arguments(t_end, n_steps, h))


def sample_times(t_end: Optional[float] = None, n_steps: Optional[int] = None, *,
                 h: Optional[float] = None) -> np.ndarray:
    """The sample times (ms) of a run with these arguments, before it runs:
    the Result's time with every=1, and the length each drive series must
    have. sample_times(180) gives 1800 times, from 0 to 180 ms at steps of
    180 / 1799 ms; sample_times(180, h=0.1) 1801 times at i * 0.1 ms.
    Raises as run() does for a grid it refuses."""
    # Computed as the simulator computes them, fma(i, h, 0.0).
    return _core.sample_times(*_grid_arguments(t_end, n_steps, h))


def _start_state(y0, n):
    """(E, I) at 0 ms, each (n,), from the y0 argument of run()."""
    if y0 is None:
        zeros = np.zeros(n)
        return zeros, zeros
    if isinstance(y0, np.ma.MaskedArray):
        raise TypeError("y0 is a masked array; give plain values (e.g. y0.filled(0.0))")
    start = np.array(y0, dtype=np.float64)
    if start.ndim == 0:
        start = np.full(n, float(start))
    if start.ndim == 1:
        if start.size != n:
            raise _core.RunError(f"y0 holds {start.size} values, the model has {n} nodes")
        return start, start
    if start.shape != (2, n):
        raise ValueError(f"y0 must hold one value per node, or E and I as a (2, {n}) array, "
                         f"got shape {start.shape}")
    return start[0], start[1]


def _drive_series(drive, schedule, n_samples):
    """{input name: (n_samples,) float64} from the drive argument of run()."""
    if drive is None:
        return {}
    if not isinstance(drive, Mapping):
        raise TypeError(f"drive: give a dict {{input name: values}}, got {type(drive).__name__}")
    series = {}
    for name, values in drive.items():
        if not _is_text(name):
            raise ScheduleError(f"drive: input names must be strings (UTF-8 text), got {name!r}")
        if schedule.windows(name):
            raise ScheduleError(f"drive: input {name!r} also has schedule windows; "
                                "give it one or the other")
        if isinstance(values, np.ma.MaskedArray):
            raise TypeError(f"drive: input {name!r} is a masked array; give plain values "
                            "(e.g. values.filled(0.0))")
        given = np.asarray(values)
        if given.shape != (n_samples,):
            got = f"shape {given.shape}" if given.ndim else repr(values)
            raise ValueError(f"drive: input {name!r} needs one value per sample, "
                             f"{n_samples}, got {got}")
        if given.dtype.kind not in "biuf":
            raise TypeError(f"drive: input {name!r} needs real numbers, got {given.dtype} "
                            "values")
        values = np.ascontiguousarray(given, dtype=np.float64)
        if np.isnan(values).any():
            raise ValueError(f"drive: input {name!r} holds NaN")
        series[name] = values
    return series


_RECORD_STATES = {None: "output", "E": "E", "I": "I", "both": "both"}


def run(contract: "Contract | str | os.PathLike[str]", t_end: Optional[float] = None,
        n_steps: Optional[int] = None, *, h: Optional[float] = None,
        schedule: "Schedule | str | os.PathLike[str] | None" = None,
        clamps: "Clamps | str | os.PathLike[str] | None" = None,
        drive: Optional[Mapping[str, Any]] = None, y0: Any = None, record: Any = None,
        every: int = 1, inputs: bool = False, record_state: Optional[str] = None,
        progress: Any = False) -> "Result":
    """Simulates `contract` from 0 ms and returns a Result.

    The samples lie on the command line's grid: t_end (ms, on the 0.1 ms
    grid) or n_steps (samples, t_end = n_steps * 0.1) gives N samples from 0
    to t_end, step t_end / (N - 1), with the command line's checks and
    messages. With h (ms) the step is h instead: n_steps samples at i * h,
    or samples at i * h up to t_end, the last at floor(t_end / h) * h (a
    quotient within 1e-9 of a whole number counts as that number), so that
    no sample lies past t_end.

    schedule: a Schedule, or the path of an instruction file.
    clamps: a Clamps, or the path of a bindings file.
    drive: time series inputs, {input name: values}, one value per sample
      (len(result.time) with every=1); value i drives the input from sample
      i over the following step, as a window's value does. An input is
      driven either by the schedule or by drive, not both.
    y0: the starting activity (default 0): one value for all nodes, one per
      node (E = I), or E and I apart, as a (2, n_nodes) array or [E, I].
    record: the nodes to keep, as row indices, or as patterns on the row
      map's fields ('pop_id=W[0-3]', a list of them, all of which must match,
      or a dict {'pop_id': 'W[0-3]'}); default all nodes.
    every: keep every k-th sample (the first is always kept).
    inputs: keep the input channels' values too.
    record_state: what is kept of each node: by default its traced activity
      (E of an excitatory node, I of an inhibitory one), as the command line
      writes it; "E" or "I" that population's activity; "both" E and I
      (Result.nodes of shape (samples, 2, nodes); Result.E, Result.I).

    progress: True shows the samples done as a bar (tqdm when installed, in
      a notebook too; otherwise a line on stderr); a callable is called as
      progress(done, total) instead, now and then (about 25 times a second
      at most) and at the end; False shows nothing.

    Only the kept samples of the kept nodes are held in memory; a run whose
    kept samples could not fit raises RunError before it starts. Ctrl-C
    stops the run (KeyboardInterrupt).
    """
    if not isinstance(contract, Contract):
        contract = load_contract(contract)
    schedule, clamps = _stimulus_files(schedule, clamps)
    every = _every(every)
    state = _record_state(record_state)
    tf, step, total = _grid(t_end, n_steps, h)
    check_parameters(contract.parameters, "run: ")
    start_e, start_i = _start_state(y0, contract.n_nodes)
    series = _drive_series(drive, schedule, total)
    _check_input_names(contract, schedule, series)
    node_ids, all_nodes = _node_selection(contract, record)
    _warn_about_step(step, contract.parameters, "run: ")

    scenario = _core.Scenario(schedule._as_map(), clamps._as_list(), series,
                              np.concatenate([start_e, start_i]), contract._constants)
    with progress_display(progress, total, "run", "sample") as bar:
        time, nodes, input_values, not_found = _core.run(
            contract._network, (tf, step, total), scenario, node_ids, all_nodes, every, state,
            bool(inputs), progress=bar.update if progress else None, threads=_threads())
    _warn_about_non_finite(contract, time, nodes, node_ids, all_nodes, "run: ")
    return _result(contract, (tf, step, total), every, state, node_ids, all_nodes,
                   (schedule, clamps, series, start_e, start_i),
                   (time, nodes, input_values, not_found))


# Control characters as the command line escapes them in messages.
_CONTROL_ESCAPES = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7f]}
_CONTROL_ESCAPES.update({ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"})


def _check_input_names(contract, schedule, series):
    """Raises ScheduleError, as the run would, for an input the model lacks,
    adding the name likely meant; the schedule's first, then the drive's,
    each in byte order. A schedule read from a file keeps the command
    line's message."""
    known = set(contract.input_names)
    names = [(f"Instruction target '{name}'", name, schedule.source is None)
             for name in schedule.inputs]
    names += [(f"drive: '{name}'", name, True)
              for name in sorted(series, key=lambda n: n.encode("utf-8"))]
    for text, name, hint in names:
        text = text.translate(_CONTROL_ESCAPES)  # as the command line quotes names
        if name not in known:
            close = _close_match(name, contract.input_names) if hint else None
            raise ScheduleError(f"{text} is not an external input in the loaded model"
                                + (f" (did you mean {close!r}?)" if close else ""))


def _warn_about_step(step, parameters, where, stacklevel=3):
    """Warns (RuntimeWarning) when the step is longer than half the shorter
    time constant: RK4 then loses accuracy fast and, a little further on,
    stability, and the activity runs off to numbers with no meaning."""
    name = min(TIME_CONSTANTS, key=lambda k: parameters[k])
    if step > parameters[name] / 2:
        warnings.warn(f"{where}the step h = {step:g} ms is longer than half of {name} = "
                      f"{parameters[name]:g} ms; the results may be inaccurate or unstable: "
                      "give a smaller h", RuntimeWarning, stacklevel=stacklevel)


def _warn_about_non_finite(contract, time, nodes, node_ids, all_nodes, where, stacklevel=3):
    """Warns (RuntimeWarning) naming the first kept sample and node whose
    value is inf or NaN: from there on the run means nothing."""
    if math.isfinite(np.sum(nodes)):  # a sum that overflows is looked at below
        return
    bad = ~np.isfinite(nodes.reshape(len(time), -1))
    rows = np.flatnonzero(bad.any(axis=1))
    if rows.size == 0:
        return
    sample = int(rows[0])
    column = int(np.flatnonzero(bad[sample])[0])
    kept = len(node_ids) if not all_nodes else contract.n_nodes
    state = ("E", "I")[column // kept] if bad.shape[1] == 2 * kept else None
    node = contract.nodes[column % kept if all_nodes else int(node_ids[column % kept])]
    value = nodes.reshape(len(time), -1)[sample, column]
    warnings.warn(f"{where}the {state + ' ' if state else ''}activity of node {node.pop_id!r} "
                  f"(row index {node.row_index}) became {value} at sample {sample} "
                  f"(t = {time[sample]:g} ms); the values from there on mean nothing",
                  RuntimeWarning, stacklevel=stacklevel)


# The network parameters a scenario of run_batch may set, in the order its
# Result lists them, as saved Results always have: the constants of
# "wc_coupling", then those of the other objects ("sigmoid").
_PARAMETER_GROUPS = dict(_core.PARAMETER_GROUPS)
BATCH_PARAMETERS = _PARAMETER_GROUPS.pop("wc_coupling") + sum(_PARAMETER_GROUPS.values(), ())
_SCENARIO_FIELDS = ("schedule", "clamps", "drive", "y0", "parameters")


def run_batch(contract: "Contract | str | os.PathLike[str]", scenarios: Any,
              t_end: Optional[float] = None, n_steps: Optional[int] = None, *,
              h: Optional[float] = None, record: Any = None, every: int = 1,
              inputs: bool = False, record_state: Optional[str] = None,
              progress: Any = False) -> "list[Result]":
    """Simulates several scenarios of `contract` together and returns one
    Result per scenario, in order.

    Each scenario is a dict (or an object with some of these attributes)
    giving any of schedule, clamps, drive and y0, as for run(), and
    parameters, a dict of network parameters to change for that scenario
    alone (alfa, epsilon, gamma, delta, tau_E, tau_I, theta, beta, f_max);
    {} is a scenario without stimuli. Anything else (a path, a Schedule,
    None) raises TypeError. The other arguments are those of run() and
    apply to every scenario (progress counts the samples of the whole
    batch, which advances all scenarios together). Every Result holds the same
    values, bit for bit, as run() gives for its scenario alone.

    The scenarios advance together: each weight of the model is read once
    per stage for all of them. A batch holds the state of every scenario and
    all of their kept samples at once; a batch that could not fit raises
    RunError before it starts.
    """
    if not isinstance(contract, Contract):
        contract = load_contract(contract)
    if isinstance(scenarios, (dict, str)):
        raise TypeError("scenarios: give a list of scenarios")
    try:
        scenarios = list(scenarios)
    except TypeError:
        raise TypeError(f"scenarios: give a list of scenarios, got {type(scenarios).__name__}") \
            from None
    if not scenarios:
        raise ValueError("scenarios: give at least one scenario")
    fields = [_scenario_fields(index, scenario) for index, scenario in enumerate(scenarios)]
    files = [_stimulus_files(f.get("schedule"), f.get("clamps")) for f in fields]
    every = _every(every)
    state = _record_state(record_state)
    tf, step, total = _grid(t_end, n_steps, h)
    node_ids, all_nodes = _node_selection(contract, record)
    # Before any lane is built: a batch too large must fail here, not halfway.
    _core.check_batch_memory(contract._network, (tf, step, total), len(scenarios), node_ids,
                             all_nodes, every, state, bool(inputs))
    base = contract.parameters
    prepared, lanes, values = [], [], []
    for index, (f, (schedule, clamps)) in enumerate(zip(fields, files)):
        start_e, start_i = _start_state(f.get("y0"), contract.n_nodes)
        series = _drive_series(f.get("drive"), schedule, total)
        changed = dict(f.get("parameters") or {})
        unknown = sorted(set(changed) - set(BATCH_PARAMETERS))
        if unknown:
            raise ValueError(f"scenario {index}: no network parameter {unknown[0]!r} "
                             f"(parameters: {', '.join(BATCH_PARAMETERS)})")
        values.append({name: float(changed.get(name, base[name])) for name in BATCH_PARAMETERS})
        check_parameters(values[-1], f"run_batch: scenario {index}: ")
        _check_input_names(contract, schedule, series)
        prepared.append((schedule, clamps, series, start_e, start_i))
        lanes.append(_core.Scenario(schedule._as_map(), clamps._as_list(), series,
                                    np.concatenate([start_e, start_i]),
                                    _core.NetworkParameters(values[-1])))
    for index, lane_values in enumerate(values):
        _warn_about_step(step, lane_values, f"run_batch: scenario {index}: ")

    with progress_display(progress, total, f"run_batch ({len(lanes)} scenarios)",
                          "sample") as bar:
        runs = _core.run_batch(contract._network, (tf, step, total), lanes, node_ids, all_nodes,
                               every, state, bool(inputs),
                               progress=bar.update if progress else None, threads=_threads())
    results = []
    for index, (scenario, lane_values, outcome) in enumerate(zip(prepared, values, runs)):
        _warn_about_non_finite(contract, outcome[0], outcome[1], node_ids, all_nodes,
                               f"run_batch: scenario {index}: ")
        result = _result(contract, (tf, step, total), every, state, node_ids, all_nodes, scenario,
                         outcome)
        result.parameters["network_parameters"] = lane_values
        results.append(result)
    return results


def _scenario_fields(index, scenario):
    """The fields a scenario of run_batch gives, from a dict or attributes."""
    if isinstance(scenario, dict):
        unknown = sorted(set(scenario) - set(_SCENARIO_FIELDS))
        if unknown:
            raise ValueError(f"scenario {index}: unknown field {unknown[0]!r} "
                             f"(fields: {', '.join(_SCENARIO_FIELDS)})")
        return scenario
    fields = {key: getattr(scenario, key) for key in _SCENARIO_FIELDS if hasattr(scenario, key)}
    if not fields:
        # A path, a Schedule or None here is a scenario mistyped, not one
        # meant to run without stimuli; {} asks for that.
        raise TypeError(f"scenario {index}: give a dict of {', '.join(_SCENARIO_FIELDS)} (such "
                        f"as {{'schedule': ...}}, or {{}} for none), got {scenario!r}")
    return fields


def _stimulus_files(schedule, clamps):
    """The Schedule and Clamps of run()'s arguments (paths read here)."""
    if schedule is None:
        schedule = Schedule()
    elif not isinstance(schedule, Schedule):
        schedule = Schedule.from_file(_path_of(schedule, "schedule", "Schedule", "an instruction"))
    if clamps is None:
        clamps = Clamps()
    elif not isinstance(clamps, Clamps):
        clamps = Clamps.from_file(_path_of(clamps, "clamps", "Clamps", "a bindings"))
    return schedule, clamps


def _path_of(value, name, kind, file):
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{name}: give a {kind} or the path of {file} file, got "
                        f"{type(value).__name__}")
    return value


def _every(every):
    if isinstance(every, bool) or not isinstance(every, numbers.Integral):
        raise TypeError(f"every must be a whole number, got {every!r}")
    if not 1 <= every <= INT64_MAX:
        raise ValueError(f"every must lie between 1 and {INT64_MAX}, got {every}")
    return int(every)


def _record_state(record_state):
    if not isinstance(record_state, (str, type(None))) or record_state not in _RECORD_STATES:
        raise ValueError(f"record_state must be 'E', 'I' or 'both', got {record_state!r}")
    return _RECORD_STATES[record_state]


def _result(contract, grid, every, state, node_ids, all_nodes, scenario, outcome):
    """The Result of one run: its scenario (schedule, clamps, drive series,
    starting E and I) and what _core returned for it."""
    tf, step, total = grid
    schedule, clamps, series, start_e, start_i = scenario
    time, nodes, input_values, not_found = outcome
    if state == "both":
        nodes = nodes.reshape(len(time), 2, -1)
    if not_found:
        shown = ", ".join(map(str, not_found[:10])) + (", ..." if len(not_found) > 10 else "")
        # Named for the caller of run() or run_batch().
        warnings.warn(f"{len(not_found)} clamp row indices name no node in the model: {shown}",
                      stacklevel=3)
    parameters = {
        "contract": contract.source,
        "t_end": tf,
        "h": step,
        "n_samples": total,
        "every": every,
        "schedule": {name: schedule.windows(name) for name in schedule.inputs},
        "clamps": [list(c) for c in clamps],
        "drive": sorted(series),
        "record_state": state,
        "network_parameters": contract.parameters,
        "vesk_version": _core.__version__,
    }
    result = Result(contract, time, nodes, node_ids if not all_nodes else None, input_values,
                    parameters, start_e if start_e is start_i else np.stack([start_e, start_i]))
    result.state = state
    result._input_files = [("the contract file", contract._file),
                           ("the schedule file", schedule._file),
                           ("the bindings file", clamps._file)]
    return result


