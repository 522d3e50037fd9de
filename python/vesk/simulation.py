"""vesk.run and its Result."""

import json
import math
import operator
import os
import re
import warnings
from collections.abc import Mapping
from typing import Any, Optional

import numpy as np

from . import _core
from .contract import ROW_MAP_FIELDS, Contract, load_contract
from ._core import ScheduleError
from ._paths import checked_path, refuse_overwrites
from .stimuli import Clamps, Schedule

INT32_MAX = 2**31 - 1


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
        raise ValueError(f"record: no node matches {text}")
    return np.array(ids, dtype=np.int64)


def _grid(t_end, n_steps, h):
    """(last sample time, step, number of samples) of a run."""
    if t_end is not None and n_steps is not None:
        raise ValueError("give t_end or n_steps, not both")
    if t_end is None and n_steps is None:
        raise TypeError("run() needs t_end (ms) or n_steps (samples)")
    if n_steps is not None:
        n_steps = operator.index(n_steps)
        if not 1 <= n_steps <= INT32_MAX:
            raise ValueError(f"n_steps must lie between 1 and {INT32_MAX}, got {n_steps}")
    else:
        t_end = float(t_end)
    if h is None:
        # The command line's grid: N samples on 0.1 ms, from 0 to t_end.
        if n_steps is not None:
            return _core.command_grid(0.0, n_steps)
        if t_end <= 0:
            raise ValueError(f"t_end must be > 0 ms, got {t_end!r}")
        return _core.command_grid(t_end, 0)
    h = float(h)
    if not (h > 0 and math.isfinite(h)):
        raise ValueError(f"h must be a positive number of ms, got {h!r}")
    if n_steps is not None:
        return _core.step_grid_samples(n_steps, h)
    if not t_end >= 0:
        raise ValueError(f"t_end must be >= 0 ms, got {t_end!r}")
    return _core.step_grid(t_end, h)


def _start_state(y0, n):
    """(E, I) at 0 ms, each (n,), from the y0 argument of run()."""
    if y0 is None:
        zeros = np.zeros(n)
        return zeros, zeros
    start = np.array(y0, dtype=np.float64)
    if start.ndim == 0:
        start = np.full(n, float(start))
    if start.ndim == 1:
        if start.size != n:
            raise _core.RunError("simulate: y0 size must equal n_nodes")
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
        if not isinstance(name, str):
            raise ScheduleError(f"drive: input names must be strings, got {name!r}")
        if schedule.windows(name):
            raise ScheduleError(f"drive: input {name!r} also has schedule windows; "
                                "give it one or the other")
        values = np.ascontiguousarray(values, dtype=np.float64)
        if values.shape != (n_samples,):
            raise ValueError(f"drive: input {name!r} needs one value per sample, "
                             f"{n_samples}, got shape {values.shape}")
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
        every: int = 1, inputs: bool = False, record_state: Optional[str] = None) -> "Result":
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
    start_e, start_i = _start_state(y0, contract.n_nodes)
    series = _drive_series(drive, schedule, total)
    node_ids, all_nodes = _node_selection(contract, record)

    time, nodes, input_values, not_found = _core.run(
        contract._network, (tf, step, total), schedule._as_map(), clamps._as_list(), series,
        np.concatenate([start_e, start_i]), node_ids, all_nodes, every, state, bool(inputs),
        parameters=contract._constants)
    return _result(contract, (tf, step, total), every, state, node_ids, all_nodes,
                   (schedule, clamps, series, start_e, start_i),
                   (time, nodes, input_values, not_found))


# The network parameters a scenario of run_batch may set, in the order its
# Result lists them.
BATCH_PARAMETERS = ("alfa", "epsilon", "gamma", "delta", "tau_E", "tau_I", "theta", "beta",
                    "f_max")
_SCENARIO_FIELDS = ("schedule", "clamps", "drive", "y0", "parameters")


def run_batch(contract: "Contract | str | os.PathLike[str]", scenarios: Any,
              t_end: Optional[float] = None, n_steps: Optional[int] = None, *,
              h: Optional[float] = None, record: Any = None, every: int = 1,
              inputs: bool = False, record_state: Optional[str] = None) -> "list[Result]":
    """Simulates several scenarios of `contract` together and returns one
    Result per scenario, in order.

    Each scenario is a dict (or an object with such attributes) giving any
    of schedule, clamps, drive and y0, as for run(), and parameters, a dict
    of network parameters to change for that scenario alone (alfa, epsilon,
    gamma, delta, tau_E, tau_I, theta, beta, f_max). The other arguments are
    those of run() and apply to every scenario. Every Result holds the same
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
    scenarios = list(scenarios)
    if not scenarios:
        raise ValueError("scenarios: give at least one scenario")
    fields = [_scenario_fields(index, scenario) for index, scenario in enumerate(scenarios)]
    files = [_stimulus_files(f.get("schedule"), f.get("clamps")) for f in fields]
    every = _every(every)
    state = _record_state(record_state)
    tf, step, total = _grid(t_end, n_steps, h)
    base = contract.parameters
    prepared, constants, lanes = [], [], []
    for index, (f, (schedule, clamps)) in enumerate(zip(fields, files)):
        start_e, start_i = _start_state(f.get("y0"), contract.n_nodes)
        series = _drive_series(f.get("drive"), schedule, total)
        changed = dict(f.get("parameters") or {})
        unknown = sorted(set(changed) - set(BATCH_PARAMETERS))
        if unknown:
            raise ValueError(f"scenario {index}: no network parameter {unknown[0]!r} "
                             f"(parameters: {', '.join(BATCH_PARAMETERS)})")
        values = {name: float(changed.get(name, base[name])) for name in BATCH_PARAMETERS}
        prepared.append((schedule, clamps, series, start_e, start_i))
        constants.append(values)
        lanes.append((schedule._as_map(), clamps._as_list(), series,
                      np.concatenate([start_e, start_i]), _core.NetworkParameters(values)))
    node_ids, all_nodes = _node_selection(contract, record)

    runs = _core.run_batch(contract._network, (tf, step, total), lanes, node_ids, all_nodes,
                           every, state, bool(inputs))
    results = []
    for scenario, values, outcome in zip(prepared, constants, runs):
        result = _result(contract, (tf, step, total), every, state, node_ids, all_nodes, scenario,
                         outcome)
        result.parameters["network_parameters"] = values
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
    return {key: getattr(scenario, key) for key in _SCENARIO_FIELDS if hasattr(scenario, key)}


def _stimulus_files(schedule, clamps):
    """The Schedule and Clamps of run()'s arguments (paths read here)."""
    if schedule is None:
        schedule = Schedule()
    elif not isinstance(schedule, Schedule):
        schedule = Schedule.from_file(schedule)
    if clamps is None:
        clamps = Clamps()
    elif not isinstance(clamps, Clamps):
        clamps = Clamps.from_file(clamps)
    return schedule, clamps


def _every(every):
    every = operator.index(every)
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    return every


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
    result._input_files = [("the contract file", contract.source if contract.source not in
                            ("<dict>", "<string>") else None),
                           ("the schedule file", schedule.source),
                           ("the bindings file", clamps.source)]
    return result


class Result:
    """The kept samples of one run.

    time: (samples,) ms. nodes: (samples, kept nodes), float64, in full
    precision: the activity that `state` names (with "both", (samples, 2,
    kept nodes), E then I). columns: the row index of each kept node (its
    label in the node-trace CSV). node_ids: the kept nodes' ids. inputs:
    (samples, inputs) or None; input_columns: the inputs' row indices.
    row_map: the model's row map. parameters: the run's settings, with the
    contract's network_parameters and the vesk_version. y0: the
    starting activity ((nodes,), or (2, nodes) when E and I were given
    apart). state: "output" (each node's traced activity), "E", "I" or
    "both".
    """

    state = "output"
    _input_files = ()

    def __init__(self, contract, time, nodes, node_ids, inputs, parameters, y0):
        self.contract = contract
        self.time = time
        self.nodes = nodes
        self.node_ids = np.arange(contract.n_nodes) if node_ids is None else node_ids
        self.columns = contract.columns[self.node_ids]
        self.inputs = inputs
        self.input_columns = contract.input_rows
        self.parameters = parameters
        self.y0 = y0

    @property
    def row_map(self) -> np.ndarray:
        """The model's row map (Contract.row_map)."""
        return self.contract.row_map

    @property
    def E(self) -> np.ndarray:
        """(samples, kept nodes): the excitatory activity, when kept."""
        return self._population("E")

    @property
    def I(self) -> np.ndarray:  # noqa: E743 (the population's name)
        """(samples, kept nodes): the inhibitory activity, when kept."""
        return self._population("I")

    def _population(self, name):
        if self.state == "both":
            return self.nodes[:, "EI".index(name), :]
        if self.state == name:
            return self.nodes
        raise ValueError(f"the run kept no {name} values: run it with record_state={name!r} "
                         "or 'both'")

    def _node_values(self, state):
        """The 2-D node values to write: those kept, or with "both" the
        population `state` names."""
        if self.state != "both":
            if state not in (None, self.state):
                raise ValueError(f"the run kept {self.state!r} values, not {state!r}")
            return self.nodes
        if state not in ("E", "I"):
            raise ValueError("the run kept E and I: give state='E' or state='I'")
        return self._population(state)

    def to_pandas(self, inputs: bool = False, state: Optional[str] = None) -> Any:
        """A DataFrame of the node values (or of the inputs), indexed by
        time_ms, one column per row index. With record_state="both", state
        ("E" or "I") says which. Needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas() needs pandas (Debian: apt-get install python3-pandas)") \
                from None
        values, columns = ((self.inputs, self.input_columns) if inputs
                           else (self._node_values(state), self.columns))
        if values is None:
            raise ValueError("the run kept no inputs: run it with inputs=True")
        return pd.DataFrame(values, index=pd.Index(self.time, name="time_ms"), columns=columns)

    def to_csv(self, path: "str | os.PathLike[str]", *,
               inputs_path: "str | os.PathLike[str] | None" = None,
               row_map_path: "str | os.PathLike[str] | None" = None,
               state: Optional[str] = None) -> None:
        """Writes the node traces (and, when paths are given, the input traces
        and the row map) as the command line writes them. With
        record_state="both", state ("E" or "I") says which values. Like the
        command line, refuses (ValueError) to write over the run's contract,
        schedule or bindings file, or twice into one file."""
        if inputs_path is not None and self.inputs is None:
            raise ValueError("the run kept no inputs: run it with inputs=True")
        values = self._node_values(state)
        path = checked_path(path, "path")
        if inputs_path is not None:
            inputs_path = checked_path(inputs_path, "inputs_path")
        if row_map_path is not None:
            row_map_path = checked_path(row_map_path, "row_map_path")
        # In the order they are written, as the command line opens them.
        refuse_overwrites("to_csv", [("row_map_path", row_map_path), ("path", path),
                                     ("inputs_path", inputs_path)], self._input_files)
        if row_map_path is not None:
            self.contract.write_row_map(row_map_path)
        _core.write_traces(path, [str(c) for c in self.columns.tolist()], self.time, values)
        if inputs_path is not None:
            names = [str(c) for c in self.input_columns.tolist()]
            _core.write_traces(inputs_path, names, self.time, self.inputs)

    def save(self, path: "str | os.PathLike[str]") -> None:
        """Writes numpy's .npz: time, nodes, columns, node_ids, y0, row_map,
        parameters (JSON text) and, when kept, inputs and input_columns."""
        arrays = dict(time=self.time, nodes=self.nodes, columns=self.columns,
                      node_ids=self.node_ids, y0=self.y0, row_map=self.row_map,
                      parameters=np.array(json.dumps(self.parameters)))
        if self.inputs is not None:
            arrays.update(inputs=self.inputs, input_columns=self.input_columns)
        np.savez(path, **arrays)

    def __repr__(self):
        return (f"<vesk.Result: {len(self.time)} samples x {self.nodes.shape[1]} nodes"
                f"{', inputs' if self.inputs is not None else ''}>")
