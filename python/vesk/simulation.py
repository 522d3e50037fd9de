"""vesk.run and its Result."""

import json
import math
import operator
import os
import re
import warnings

import numpy as np

from . import _core
from .contract import ROW_MAP_FIELDS, Contract, load_contract
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


def run(contract, t_end=None, n_steps=None, *, h=None, schedule=None, clamps=None, y0=None,
        record=None, every=1, inputs=False):
    """Simulates `contract` from 0 ms and returns a Result.

    The samples lie on the command line's grid: t_end (ms, on the 0.1 ms
    grid) or n_steps (samples, t_end = n_steps * 0.1) gives N samples from 0
    to t_end, step t_end / (N - 1), with the command line's checks and
    messages. With h (ms) the step is h instead: samples at i * h up to
    t_end, or n_steps samples.

    schedule: a Schedule, or the path of an instruction file.
    clamps: a Clamps, or the path of a bindings file.
    y0: the starting activity, one value per node or one for all (default 0).
    record: the nodes to keep, as row indices, or as patterns on the row
      map's fields ('pop_id=W[0-3]', a list of them, all of which must match,
      or a dict {'pop_id': 'W[0-3]'}); default all nodes.
    every: keep every k-th sample (the first is always kept).
    inputs: keep the input channels' values too.

    Only the kept samples of the kept nodes are held in memory. Ctrl-C
    stops the run (KeyboardInterrupt).
    """
    if not isinstance(contract, Contract):
        contract = load_contract(contract)
    schedule, clamps, start = _stimuli(contract, schedule, clamps, y0)
    every = _every(every)
    tf, step, total = _grid(t_end, n_steps, h)
    node_ids, all_nodes = _node_selection(contract, record)

    time, nodes, input_values, not_found = _core.run(
        contract._network, (tf, step, total), schedule._as_map(), clamps._as_list(), {},
        np.concatenate([start, start]), node_ids, all_nodes, every, "output", bool(inputs))
    _warn_not_found(not_found, stacklevel=3)
    settings = _settings(contract, tf, step, total, every, schedule, clamps)
    return Result(contract, time, nodes, node_ids if not all_nodes else None, input_values,
                  settings, start)


# The network parameters a scenario of run_batch may set, in the order the
# batch engine takes them.
BATCH_PARAMETERS = ("alfa", "epsilon", "gamma", "delta", "tau_E", "tau_I", "theta", "beta",
                    "f_max")
_SCENARIO_KEYS = ("schedule", "clamps", "y0", "parameters")


def run_batch(contract, scenarios, t_end=None, n_steps=None, *, h=None, record=None, every=1,
              inputs=False):
    """Simulates several scenarios of `contract` together and returns one
    Result per scenario, in order.

    Each scenario is a dict (or an object with such attributes) giving any
    of schedule, clamps and y0 (as for run()) and parameters, a dict of
    network parameters to change for that scenario (alfa, epsilon, gamma,
    delta, tau_E, tau_I, theta, beta, f_max). Every Result holds the same
    values, bit for bit, as run() gives for its scenario alone. The other
    arguments are those of run() and apply to every scenario.

    The scenarios advance together: each weight of the model is read once
    per stage for all of them. A batch holds the state of every scenario and
    all of their kept samples at once; the memory they need is checked
    before the run starts.
    """
    if not isinstance(contract, Contract):
        contract = load_contract(contract)
    if isinstance(scenarios, (dict, str)):
        raise TypeError("scenarios: give a list of scenarios")
    scenarios = list(scenarios)
    if not scenarios:
        raise ValueError("scenarios: give at least one scenario")
    every = _every(every)
    tf, step, total = _grid(t_end, n_steps, h)
    node_ids, all_nodes = _node_selection(contract, record)
    base = contract.parameters
    lanes = []
    for index, scenario in enumerate(scenarios):
        fields = _scenario_fields(index, scenario)
        schedule, clamps, start = _stimuli(contract, fields.get("schedule"),
                                           fields.get("clamps"), fields.get("y0"))
        changed = dict(fields.get("parameters") or {})
        unknown = sorted(set(changed) - set(BATCH_PARAMETERS))
        if unknown:
            raise ValueError(f"scenario {index}: no network parameter {unknown[0]!r} "
                             f"(parameters: {', '.join(BATCH_PARAMETERS)})")
        values = [float(changed.get(name, base[name])) for name in BATCH_PARAMETERS]
        lanes.append((schedule, clamps, start, values))

    runs = _core.run_batch(
        contract._network, (tf, step, total),
        [(s._as_map(), c._as_list(), {}, np.concatenate([y, y]), v) for s, c, y, v in lanes],
        node_ids, all_nodes, every, "output", bool(inputs))
    results = []
    for (schedule, clamps, start, values), (time, nodes, input_values, not_found) in \
            zip(lanes, runs):
        _warn_not_found(not_found, stacklevel=3)
        settings = _settings(contract, tf, step, total, every, schedule, clamps)
        settings["network_parameters"] = dict(zip(BATCH_PARAMETERS, values))
        results.append(Result(contract, time, nodes, node_ids if not all_nodes else None,
                              input_values, settings, start))
    return results


def _scenario_fields(index, scenario):
    """The fields a scenario gives, from a dict or from attributes."""
    if isinstance(scenario, dict):
        unknown = sorted(set(scenario) - set(_SCENARIO_KEYS))
        if unknown:
            raise ValueError(f"scenario {index}: unknown field {unknown[0]!r} "
                             f"(fields: {', '.join(_SCENARIO_KEYS)})")
        return scenario
    return {key: getattr(scenario, key) for key in _SCENARIO_KEYS if hasattr(scenario, key)}


def _stimuli(contract, schedule, clamps, y0):
    """(Schedule, Clamps, starting activity) from run()'s arguments."""
    if schedule is None:
        schedule = Schedule()
    elif not isinstance(schedule, Schedule):
        schedule = Schedule.from_file(schedule)
    if clamps is None:
        clamps = Clamps()
    elif not isinstance(clamps, Clamps):
        clamps = Clamps.from_file(clamps)
    if y0 is None:
        start = np.zeros(contract.n_nodes)
    else:
        start = np.array(y0, dtype=np.float64)
        if start.ndim == 0:
            start = np.full(contract.n_nodes, float(start))
        elif start.ndim != 1:
            raise ValueError(f"y0 must hold one value per node, got shape {start.shape}")
        if start.size != contract.n_nodes:
            raise _core.RunError("simulate: y0 size must equal n_nodes")
    return schedule, clamps, start


def _every(every):
    every = operator.index(every)
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    return every


def _warn_not_found(not_found, stacklevel):
    if not_found:
        shown = ", ".join(map(str, not_found[:10])) + (", ..." if len(not_found) > 10 else "")
        warnings.warn(f"{len(not_found)} clamp row indices name no node in the model: {shown}",
                      stacklevel=stacklevel)


def _settings(contract, tf, step, total, every, schedule, clamps):
    """Result.parameters of a run."""
    return {
        "contract": contract.source,
        "t_end": tf,
        "h": step,
        "n_samples": total,
        "every": every,
        "schedule": {name: schedule.windows(name) for name in schedule.inputs},
        "clamps": [list(c) for c in clamps],
    }


class Result:
    """The kept samples of one run.

    time: (samples,) ms. nodes: (samples, kept nodes), float64, in full
    precision. columns: the row index of each kept node (its label in the
    node-trace CSV). node_ids: the kept nodes' ids. inputs: (samples, inputs)
    or None; input_columns: the inputs' row indices. row_map: the model's
    row map. parameters: the run's settings. y0: the starting activity.
    """

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
    def row_map(self):
        return self.contract.row_map

    def to_pandas(self, inputs=False):
        """A DataFrame of the node values (or of the inputs), indexed by
        time_ms, one column per row index. Needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas() needs pandas (Debian: apt-get install python3-pandas)") \
                from None
        values, columns = ((self.inputs, self.input_columns) if inputs
                           else (self.nodes, self.columns))
        if values is None:
            raise ValueError("the run kept no inputs: run it with inputs=True")
        return pd.DataFrame(values, index=pd.Index(self.time, name="time_ms"), columns=columns)

    def to_csv(self, path, *, inputs_path=None, row_map_path=None):
        """Writes the node traces (and, when paths are given, the input traces
        and the row map) as the command line writes them."""
        if inputs_path is not None and self.inputs is None:
            raise ValueError("the run kept no inputs: run it with inputs=True")
        if row_map_path is not None:
            self.contract.write_row_map(row_map_path)
        _core.write_traces(os.fspath(path), [str(c) for c in self.columns.tolist()],
                           self.time, self.nodes)
        if inputs_path is not None:
            names = [str(c) for c in self.input_columns.tolist()]
            _core.write_traces(os.fspath(inputs_path), names, self.time, self.inputs)

    def save(self, path):
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
