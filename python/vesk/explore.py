"""vesk.explore: a grid of network constants times named scenarios, run in
batches wherever the caller says, gathered into one xarray Dataset."""

import concurrent.futures as cf
import contextlib
import hashlib
import json
import math
import numbers
import os
import tempfile
import threading
import types
import warnings
from collections.abc import Mapping, Sequence
from typing import Any, Callable, Optional

import numpy as np

from . import _core
from ._explore_plan import choose_plan, run_threads
from ._explore_store import Store
from ._progress import progress_display
from .contract import Contract, load_contract
from .simulation import run, run_batch
from .stimuli import Clamps, Schedule


# A task of several batches takes about this long at most (s).
TASK_SECONDS = 2.0
_SCENARIO_FIELDS = ("schedule", "clamps", "drive", "y0", "parameters")
# Failures of the machinery that ran a task rather than of the task: its
# points are reported as failed and left for the next call to compute.
_LOST_TASK_ERRORS = ("BrokenExecutor", "BrokenProcessPool", "CancelledError", "KilledWorker",
                     "CommClosedError", "ConnectionError", "EOFError")


def explore(contract: "Contract | str | os.PathLike[str]", grid: Any, scenarios: Mapping,
            t_end: Optional[float] = None, n_steps: Optional[int] = None, *,
            h: Optional[float] = None, summary: Optional[Callable] = None, record: Any = None,
            every: int = 1, executor: Any = None, store: "str | os.PathLike[str] | None" = None,
            progress: Any = False, lanes: Optional[int] = None, threads: Optional[int] = None,
            side_by_side: Optional[int] = None) -> Any:
    """Runs every point of `grid` with every scenario and returns an
    xarray.Dataset of their summaries.

    grid: {constant: values} for the product of the values (dims: the
      constants, in order), or a list of {constant: value} points (dim
      "point", the constants as its coordinates). Constants are those of
      Contract.with_parameters.
    scenarios: {name: scenario}, each a dict as for run_batch (schedule,
      clamps, drive, y0, parameters); the grid's constants override none of
      a scenario's parameters (giving one in both is an error).
    t_end, n_steps, h, record, every: as for run(), for every point.
    summary: summary(result) -> {name: number or array, or DataArray with
      named dims}; each name becomes a data variable. By default the kept
      traces, "nodes" (dims time, node). It must be picklable (defined at
      module level) to run in other processes.
    executor: None (in this process), a concurrent.futures.Executor, or a
      dask.distributed Client.
    store: a directory (zarr); finished points are written there as they
      come and a later call with the same store computes only the missing
      ones. A store made for another contract, grid, scenarios, run
      settings, summary or version is refused (ValueError).
    progress: True (a bar on stderr) or callable(done, total).
    lanes, threads, side_by_side: scenarios per batch, threads per run
      (in place of VESK_THREADS) and runs at once in this process (tasks in
      flight on an executor); chosen from the model's size, and for a long
      exploration by a short measurement, unless given. The Dataset's
      attribute "plan" says what was chosen and why.

    Every point's values are bit for bit those of run() for that point
    alone (its contract.with_parameters(**point) and its scenario).
    Points a lost worker took with it are NaN, listed in the variable
    "error", and warned about.
    """
    import xarray as xr

    if not isinstance(contract, Contract):
        contract = load_contract(contract)
    points, grid_dims, grid_coords, grid_attr = _grid_points(contract, grid)
    names, resolved = _scenarios(scenarios, points[0].keys())
    if summary is None:
        summary = keep_traces
    settings = dict(t_end=t_end, n_steps=n_steps, h=h, record=record, every=every)
    contract_id = _contract_identity(contract)
    lead_shape = tuple(len(v) for v in grid_coords.values()) if grid_dims[0] != "point" \
        else (len(points),)
    lead_shape += (len(names),)
    total = len(points) * len(names)

    store_ = None
    done = np.zeros(total, dtype=bool)
    values = {}
    if store is not None:
        identity = {
            "contract": contract_id, "grid": grid_attr,
            "scenarios": {n: _scenario_digest(s) for n, s in zip(names, resolved)},
            "run": _settings_text(settings), "summary": _summary_name(summary),
            "vesk_version": _core.__version__}
        coords = {n: (grid_dims if grid_dims == ("point",) else (n,), v)
                  for n, v in grid_coords.items()}
        coords["scenario"] = (("scenario",), np.array(names))
        store_ = Store.open(os.fspath(store), identity, grid_dims + ("scenario",), lead_shape,
                            coords, _attrs(contract, contract_id, grid_attr, settings, summary))
        done = store_.done.reshape(-1).copy()
        values = store_.values()
    pending = np.flatnonzero(~done).tolist()

    job = _Job(contract, contract_id, points, resolved, settings, summary)
    plan = choose_plan(contract, job, len(pending), executor, lanes, threads, side_by_side)
    errors = {}
    with progress_display(progress, total, "explore", unit="point") as bar:
        if done.any():
            bar.update(int(done.sum()))
        collect = _Collector(values, done, lead_shape, store_, bar,
                             set(grid_dims) | set(grid_coords) | {"scenario", "error", "done"})
        _dispatch(job.with_plan(plan), pending, plan, executor, collect, errors)

    data_vars = {}
    for name, (dims, array, _coords) in values.items():
        if not done.all() and array.dtype.kind in "biu":
            array = array.astype(np.float64)
        missing = ~done.reshape(lead_shape)
        if missing.any():
            array = array.copy()
            array[missing] = np.nan
        data_vars[name] = (grid_dims + ("scenario",) + dims, array)
    coords = {n: (grid_dims, v) if grid_dims == ("point",) else v
              for n, v in grid_coords.items()}
    coords["scenario"] = list(names)
    for _dims, _array, summary_coords in values.values():
        coords.update(summary_coords)
    if errors:
        text = np.full(lead_shape, "", dtype=object)
        for point, message in errors.items():
            text[np.unravel_index(point, lead_shape)] = message
        data_vars["error"] = (grid_dims + ("scenario",), text.astype(str))
        first = next(iter(errors.values()))
        warnings.warn(f"explore: {len(errors)} of {total} points failed ({first}); they are NaN "
                      "here" + (" and a call with the same store computes them"
                                if store_ else ""), RuntimeWarning, stacklevel=2)
    attrs = _attrs(contract, contract_id, grid_attr, settings, summary)
    attrs["plan"] = plan.describe()
    return xr.Dataset(data_vars, coords=coords, attrs=attrs)


def keep_traces(result):
    """The default summary: the kept traces, dims time (ms) and node (row
    index)."""
    import xarray as xr
    return {"nodes": xr.DataArray(result.nodes, dims=("time", "node"),
                                  coords={"time": result.time, "node": result.columns})}


def _grid_points(contract, grid):
    """(points as dicts, grid dims, {constant: coordinate values}, grid as
    JSON text) of explore's grid argument."""
    known = contract.parameters
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid: give at least one constant")
        axes = {}
        for name, values in grid.items():
            _check_constant(name, known)
            if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
                raise TypeError(f"grid: give {name!r} a list of values, got {values!r}")
            axes[name] = [_value(name, v) for v in values]
            if not axes[name]:
                raise ValueError(f"grid: {name!r} has no values")
        names = list(axes)
        shape = [len(axes[n]) for n in names]
        points = [{n: axes[n][i] for n, i in zip(names, index)} for index in np.ndindex(*shape)]
        coords = {n: np.array(v) for n, v in axes.items()}
        return points, tuple(names), coords, json.dumps(axes)
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Sequence) or not grid:
        raise TypeError("grid: give {constant: values} or a non-empty list of "
                        "{constant: value} points")
    names = list(grid[0]) if isinstance(grid[0], Mapping) else None
    points = []
    for index, point in enumerate(grid):
        if not isinstance(point, Mapping) or list(point) != names or not names:
            raise ValueError(f"grid: point {index} must be a dict of the same constants as "
                             f"point 0 ({', '.join(names or [])})")
        for name in names:
            _check_constant(name, known)
        points.append({n: _value(n, point[n]) for n in names})
    coords = {n: np.array([p[n] for p in points]) for n in names}
    return points, ("point",), coords, json.dumps(points)


def _check_constant(name, known):
    if name not in known:
        raise ValueError(f"grid: no network constant {name!r} (constants: {', '.join(known)})")


def _value(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or \
            not math.isfinite(value):
        raise ValueError(f"grid: {name!r} values must be finite numbers, got {value!r}")
    return float(value)


def _scenarios(scenarios, grid_names):
    """(names, scenario dicts with files read) of explore's scenarios."""
    if not isinstance(scenarios, Mapping) or not scenarios:
        raise TypeError("scenarios: give a dict {name: scenario} of at least one scenario")
    names, resolved = [], []
    for name, scenario in scenarios.items():
        if not isinstance(name, str):
            raise TypeError(f"scenarios: names must be strings, got {name!r}")
        if not isinstance(scenario, Mapping):
            raise TypeError(f"scenario {name!r}: give a dict as for run_batch, "
                            f"got {type(scenario).__name__}")
        unknown = sorted(set(scenario) - set(_SCENARIO_FIELDS))
        if unknown:
            raise ValueError(f"scenario {name!r}: unknown field {unknown[0]!r} "
                             f"(fields: {', '.join(_SCENARIO_FIELDS)})")
        fields = dict(scenario)
        # Read here, once, so that workers elsewhere need no files.
        if fields.get("schedule") is not None and not isinstance(fields["schedule"], Schedule):
            fields["schedule"] = Schedule.from_file(fields["schedule"])
        if fields.get("clamps") is not None and not isinstance(fields["clamps"], Clamps):
            fields["clamps"] = Clamps.from_file(fields["clamps"])
        both = sorted(set(fields.get("parameters") or {}) & set(grid_names))
        if both:
            raise ValueError(f"scenario {name!r}: {both[0]!r} is set by both the scenario and "
                             "the grid")
        names.append(name)
        resolved.append(fields)
    return names, resolved


def _contract_identity(contract, text=None):
    """SHA-256 of the contract's text and its constants in force."""
    digest = hashlib.sha256((text or _contract_text(contract)).encode())
    digest.update(json.dumps(contract.parameters, sort_keys=True).encode())
    return digest.hexdigest()


def _contract_text(contract):
    text = getattr(contract, "_text", None)
    if text is None:
        with open(contract.source, encoding="utf-8") as f:
            text = f.read()
    return text


def _scenario_digest(scenario):
    digest = hashlib.sha256()
    schedule, clamps = scenario.get("schedule"), scenario.get("clamps")
    if schedule is not None:
        digest.update(repr({n: schedule.windows(n) for n in schedule.inputs}).encode())
    if clamps is not None:
        digest.update(repr([list(c) for c in clamps]).encode())
    for name, series in sorted((scenario.get("drive") or {}).items()):
        digest.update(name.encode() + np.ascontiguousarray(series, dtype=np.float64).tobytes())
    if scenario.get("y0") is not None:
        digest.update(b"y0" + np.ascontiguousarray(scenario["y0"], dtype=np.float64).tobytes())
    digest.update(repr(sorted((scenario.get("parameters") or {}).items())).encode())
    return digest.hexdigest()


def _settings_text(settings):
    record = settings["record"]
    if isinstance(record, np.ndarray):
        record = record.tolist()
    return json.dumps({**settings, "record": record}, sort_keys=True, default=str)


def _summary_name(summary):
    return f"{getattr(summary, '__module__', '?')}.{getattr(summary, '__qualname__', summary)}"


def _attrs(contract, contract_id, grid_attr, settings, summary):
    return {"contract": str(contract.source), "contract_sha256": contract_id, "grid": grid_attr,
            "run": _settings_text(settings), "summary": _summary_name(summary),
            "vesk_version": _core.__version__}


# Contracts workers have loaded, by identity: one load per worker process.
_LOADED = {}
_LOADED_LOCK = threading.Lock()


class _Job:
    """What a worker needs to run points: picklable. The contract travels as
    its file's path, or with ship_text as its text, and is loaded once per
    process."""

    def __init__(self, contract, contract_id, points, scenarios, settings, summary):
        self.contract = contract
        self.contract_id = contract_id
        self.points = points
        self.scenarios = scenarios
        self.settings = settings
        self.summary = summary
        self.lanes = 1
        self.threads = None
        # A process pool's queue blocks on a task larger than a pipe holds
        # when its worker dies (the pool then never shuts down), so tasks for
        # a pool carry a path (for a contract without a file, of a copy of
        # its text that _dispatch writes once); dask ships the text once to
        # each worker.
        self.ship_text = False
        self.text_file = None

    def with_plan(self, plan):
        self.lanes, self.threads = plan.lanes, plan.threads
        return self

    def __getstate__(self):
        state = dict(self.__dict__)
        c = self.contract
        state["contract"] = (_contract_text(c) if self.ship_text else None,
                             self.text_file or c.source, c.source, c.parameters)
        return state

    def __setstate__(self, state):
        text, path, source, parameters = state["contract"]
        with _LOADED_LOCK:
            if state["contract_id"] not in _LOADED:
                if text is None:
                    text = _contract_text(types.SimpleNamespace(source=path))
                loaded = Contract.from_json(text, check=False).with_parameters(**parameters)
                loaded.source = source
                if _contract_identity(loaded, text) != state["contract_id"]:
                    raise ValueError(f"explore: the contract file {source} differs from the "
                                     "contract given (changed since, or another file here)")
                _LOADED[state["contract_id"]] = loaded
            state["contract"] = _LOADED[state["contract_id"]]
        self.__dict__.update(state)

    def run(self, batch):
        """The results of the flat points of `batch`, in order."""
        parameters, scenarios = [], []
        for point in batch:
            grid_index, scenario_index = divmod(point, len(self.scenarios))
            scenarios.append(self.scenarios[scenario_index])
            parameters.append({**(scenarios[-1].get("parameters") or {}),
                               **self.points[grid_index]})
        s = self.settings
        if len(batch) == 1:
            f = scenarios[0]
            return [run(self.contract.with_parameters(**parameters[0]), s["t_end"],
                        s["n_steps"], h=s["h"], schedule=f.get("schedule"),
                        clamps=f.get("clamps"), drive=f.get("drive"), y0=f.get("y0"),
                        record=s["record"], every=s["every"])]
        lanes = [{**f, "parameters": p} for f, p in zip(scenarios, parameters)]
        return run_batch(self.contract, lanes, s["t_end"], s["n_steps"], h=s["h"],
                         record=s["record"], every=s["every"])


def _run_task(job, batches):
    """[(flat point, summary)] of the batches: a worker's unit of work."""
    out = []
    with run_threads(job.threads):
        for batch in batches:
            for point, result in zip(batch, job.run(batch)):
                out.append((point, _summarize(job.summary, result)))
    return out


def _summarize(summary, result):
    """{name: (dims, array, {dim: coordinate values})} of summary(result)."""
    values = summary(result)
    if not isinstance(values, Mapping):
        raise TypeError(f"summary: return a dict {{name: number or array}}, "
                        f"got {type(values).__name__}")
    out = {}
    for name, value in values.items():
        if not isinstance(name, str):
            raise TypeError(f"summary: names must be strings, got {name!r}")
        if hasattr(value, "dims") and hasattr(value, "coords"):  # an xarray.DataArray
            dims = tuple(str(d) for d in value.dims)
            coords = {d: np.asarray(value.coords[d].values) for d in dims if d in value.coords}
            array = np.asarray(value.values)
        else:
            array = np.asarray(value)
            dims = tuple(f"{name}_dim_{i}" for i in range(array.ndim))
            coords = {}
        if array.dtype.kind not in "biuf":
            raise TypeError(f"summary: {name!r} must be a number or a numeric array, "
                            f"got {array.dtype}")
        out[name] = (dims, array, coords)
    return out


class _Collector:
    """Takes finished points into the Dataset's arrays and the store."""

    def __init__(self, values, done, lead_shape, store, bar, taken):
        self.values, self.done, self.lead_shape = values, done, lead_shape
        self.store, self.bar, self.taken = store, bar, taken

    def add(self, finished):
        for point, summary in finished:
            index = np.unravel_index(point, self.lead_shape)
            for name, (dims, array, coords) in summary.items():
                if name not in self.values:
                    if name in self.taken or set(dims) & self.taken:
                        raise ValueError(f"summary: {name!r} or its dims {dims} take a name "
                                         f"of the grid or of explore's own: {sorted(self.taken)}")
                    full = np.zeros(self.lead_shape + array.shape, dtype=array.dtype)
                    self.values[name] = (dims, full, coords)
                kept_dims, full = self.values[name][:2]
                if kept_dims != dims or full.shape[len(self.lead_shape):] != array.shape:
                    raise ValueError(f"summary: {name!r} has dims {dims} of shape {array.shape} "
                                     f"here but {kept_dims} of shape "
                                     f"{full.shape[len(self.lead_shape):]} at other points")
                full[index] = array
        if self.store is not None:
            self.store.write(finished, self.values)
        for point, _ in finished:
            self.done[point] = True
        self.bar.update(len(finished))


def _batches(pending, lanes):
    return [pending[i:i + lanes] for i in range(0, len(pending), lanes)]


def _dispatch(job, pending, plan, executor, collect, errors):
    """Runs the pending points as the plan says, feeding `collect`."""
    batches = _batches(pending, plan.lanes)
    if not batches:
        return
    if executor is None:
        if plan.side_by_side == 1:
            for batch in batches:
                collect.add(_run_task(job, [batch]))
            return
        with cf.ThreadPoolExecutor(plan.side_by_side) as pool:
            _gather(pool.submit, _AsCompleted, [(b, (job, [b])) for b in batches],
                    plan.side_by_side, collect, errors)
        return
    tasks = _tasks(batches, plan)
    # No more: a slot that took a waiting task would run it beside the
    # others, each run on the plan's threads, more threads than CPUs.
    in_flight = plan.side_by_side
    if _is_dask(executor):
        from distributed import as_completed
        job.ship_text = True
        # A task's result, not scattered data: dask makes it again when the
        # workers holding it die, where it would cancel the tasks needing
        # scattered data.
        with warnings.catch_warnings():
            # dask suggests scattering the large job: see above.
            warnings.filterwarnings("ignore", "Large object", UserWarning)
            shipped = executor.submit(_same, job, pure=False)
        submit = lambda *args: executor.submit(*args, pure=False)  # noqa: E731
        _gather(submit, as_completed, [(t, (shipped, t)) for t in tasks], in_flight, collect,
                errors)
        return
    with contextlib.ExitStack() as cleanup:
        if getattr(job.contract, "_text", None) is not None:
            folder = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="vesk-explore-"))
            job.text_file = os.path.join(folder, "contract.json")
            with open(job.text_file, "w", encoding="utf-8") as f:
                f.write(job.contract._text)
        _gather(executor.submit, _AsCompleted, [(t, (job, t)) for t in tasks], in_flight,
                collect, errors)


def _same(job):
    return job


def _tasks(batches, plan):
    """Batches grouped into tasks: a few tasks per slot, so that the slots
    stay busy to the end while each task is worth shipping."""
    per_task = max(1, len(batches) // (4 * plan.side_by_side))
    if plan.batch_seconds:
        per_task = min(per_task, max(1, int(TASK_SECONDS / plan.batch_seconds)))
    return [batches[i:i + per_task] for i in range(0, len(batches), per_task)]


def _gather(submit, finished, work, in_flight, collect, errors):
    """Submits the work, at most `in_flight` tasks at a time, and collects
    each task as it finishes. finished(futures) yields futures as they
    finish and takes in new ones with add()."""
    work = iter(work)
    futures = {}

    def lost(points, e):
        if not _lost_task(e):
            raise e
        for batch in points if isinstance(points[0], list) else [points]:
            for point in batch:
                errors[point] = f"{type(e).__name__}: {e}" if str(e) else type(e).__name__

    def submit_next(count):
        new = []
        while len(new) < count:
            points, args = next(work, (None, None))
            if points is None:
                break
            try:
                new.append(submit(_run_task, *args))
                futures[new[-1]] = points
            except Exception as e:  # noqa: BLE001 (a broken pool refuses more)
                lost(points, e)
        return new

    try:
        order = finished(submit_next(in_flight))
        for future in order:
            points = futures.pop(future)
            for new in submit_next(1):
                order.add(new)
            try:
                collect.add(future.result())
            except BaseException as e:  # noqa: B902 (lost() re-raises the rest)
                lost(points, e)
    except BaseException:
        for future in futures:
            future.cancel()
        raise


class _AsCompleted:
    """concurrent.futures.as_completed that takes in more futures, as
    dask's does."""

    def __init__(self, futures):
        self.pending = set(futures)

    def add(self, future):
        self.pending.add(future)

    def __iter__(self):
        while self.pending:
            done = cf.wait(self.pending, return_when=cf.FIRST_COMPLETED).done
            self.pending -= done
            yield from done


def _lost_task(error):
    return any(c.__name__ in _LOST_TASK_ERRORS for c in type(error).__mro__)


def _is_dask(executor):
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "scatter")
