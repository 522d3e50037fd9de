"""vesk.explore: sampled points against vesk.run of each point alone, bit for
bit, wherever they ran; the store (resume, refusals, a killed process); a
worker lost mid-batch; argument errors."""

import concurrent.futures as cf
import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, MODEL, instructions

SCENARIOS = {"success": {"schedule": instructions("success"), "clamps": BINDINGS},
             "fail": {"schedule": instructions("fail"), "clamps": BINDINGS,
                      "parameters": {"delta": 0.3}}}
GRID = {"alfa": [0.05, 0.15], "theta": [18.0, 19.0, 20.0]}
OPTIONS = dict(t_end=8, record="pop_id=W[0-3]", every=3)
# Calls of counted_readout in this process.
COUNTED = []


def readout(result):
    """W0-W3: the last values, and which is highest."""
    last = result.nodes[-1]
    return {"last": last, "winner": int(np.argmax(last))}


def counted_readout(result):
    COUNTED.append(1)
    return readout(result)


def dies_once(result):
    """Ends its process at alfa 0.15, theta 19 of the success scenario, the
    first time (a marker file remembers)."""
    marker = os.environ["EXPLORE_TEST_MARKER"]
    p = result.parameters["network_parameters"]
    if p["alfa"] == 0.15 and p["theta"] == 19.0 and p["delta"] != 0.3 and \
            not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(3)
    COUNTED.append(1)
    return readout(result)


def run_alone(contract, alfa, theta, scenario, **options):
    fields = SCENARIOS[scenario]
    point = dict(fields.get("parameters", {}), alfa=alfa, theta=theta)
    return vesk.run(contract.with_parameters(**point), schedule=fields["schedule"],
                    clamps=fields["clamps"], **options)


def assert_sample_equals_runs(contract, ds, points, options=OPTIONS):
    for alfa, theta, scenario in points:
        alone = run_alone(contract, alfa, theta, scenario, **options).nodes
        here = ds.sel(alfa=alfa, theta=theta, scenario=scenario) if "alfa" in ds.dims else \
            ds.isel(point=[i for i, (a, t) in enumerate(zip(ds.alfa.values, ds.theta.values))
                           if (a, t) == (alfa, theta)][0]).sel(scenario=scenario)
        if "nodes" in ds:
            assert here.nodes.values.tobytes() == alone.tobytes()
        else:
            assert here["last"].values.tobytes() == alone[-1].tobytes()
            assert int(here["winner"]) == int(np.argmax(alone[-1]))


SAMPLE = [(0.05, 18.0, "success"), (0.15, 19.0, "fail"), (0.15, 20.0, "success")]


@pytest.mark.parametrize("how", [
    dict(),
    dict(lanes=3, threads=1, side_by_side=2),
    dict(lanes=4, explicit=True),
    dict(lanes=2, pool=2, summary=readout),
    dict(pool=2, summary=readout, text=True),
], ids=["auto", "threads-side-by-side", "explicit-points", "process-pool", "pool-text-contract"])
def test_sampled_points_equal_their_runs_alone(kaldo, how):
    how = dict(how)
    if how.pop("text", False):  # no file: the pool's workers load a copy of its text
        with open(MODEL, encoding="utf-8") as f:
            kaldo = vesk.Contract.from_json(f.read())
    grid = GRID
    if how.pop("explicit", False):
        grid = [{"alfa": a, "theta": t} for a in GRID["alfa"] for t in GRID["theta"]][::-1]
    seen = []
    pool = cf.ProcessPoolExecutor(how.pop("pool")) if "pool" in how else contextlib.nullcontext()
    with pool as executor:
        ds = vesk.explore(kaldo, grid, SCENARIOS, **OPTIONS, executor=executor,
                          progress=lambda done, total: seen.append((done, total)), **how)
    assert seen[-1] == (12, 12)
    lead = ("point",) if isinstance(grid, list) else ("alfa", "theta")
    if "nodes" in ds:
        assert ds.nodes.dims == lead + ("scenario", "time", "node")
        assert ds.node.values.tolist() == [160, 162, 164, 166]
    else:
        assert ds["last"].dims == lead + ("scenario", "last_dim_0")
    assert list(ds.scenario.values) == ["success", "fail"]
    assert json.loads(ds.attrs["grid"]) == grid
    assert ds.attrs["vesk_version"] == vesk.__version__
    assert ds.attrs["contract"] == str(kaldo.source)
    assert_sample_equals_runs(kaldo, ds, SAMPLE)


def test_dask_cluster_retries_a_lost_worker(kaldo, tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    # The workers import this module (for its summaries) and find the marker.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    monkeypatch.setenv("EXPLORE_TEST_MARKER", str(tmp_path / "died"))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        ds = vesk.explore(kaldo, GRID, SCENARIOS, **OPTIONS, summary=dies_once,
                          executor=client, lanes=1)
    assert (tmp_path / "died").exists()
    assert "error" not in ds
    assert_sample_equals_runs(kaldo, ds, SAMPLE + [(0.15, 19.0, "success")])


def test_lost_points_are_reported_and_a_rerun_computes_only_them(kaldo, tmp_path, monkeypatch):
    monkeypatch.setenv("EXPLORE_TEST_MARKER", str(tmp_path / "died"))
    store = tmp_path / "store"
    with cf.ProcessPoolExecutor(1) as pool, pytest.warns(RuntimeWarning, match="points failed"):
        first = vesk.explore(kaldo, GRID, SCENARIOS, **OPTIONS, summary=dies_once,
                             executor=pool, store=store, lanes=2)
    failed = first["error"].values != ""
    assert failed.any() and np.isnan(first["last"].values[failed]).all()
    assert "BrokenProcessPool" in first["error"].values[failed][0]
    COUNTED.clear()
    again = vesk.explore(kaldo, GRID, SCENARIOS, **OPTIONS, summary=dies_once, store=store)
    assert len(COUNTED) == failed.sum()
    assert "error" not in again
    assert_sample_equals_runs(kaldo, again, SAMPLE + [(0.15, 19.0, "success")])
    assert again["last"].values[~failed].tobytes() == first["last"].values[~failed].tobytes()


def test_a_killed_exploration_resumes_where_it_stopped(kaldo, tmp_path):
    store = tmp_path / "store"
    script = (f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); "
              "import vesk, test_explore as t; "
              f"vesk.explore({MODEL!r}, t.GRID, t.SCENARIOS, 60, record='pop_id=W[0-3]', "
              f"summary=t.counted_readout, store={str(store)!r}, lanes=1, side_by_side=1)")
    child = subprocess.Popen([sys.executable, "-c", script])
    while child.poll() is None and \
            len([f for f in (store / "done").glob("[!.]*") if f.suffix != ".partial"]) < 2:
        time.sleep(0.05)
    child.send_signal(signal.SIGKILL)
    child.wait()
    COUNTED.clear()
    resumed = vesk.explore(kaldo, GRID, SCENARIOS, 60, record="pop_id=W[0-3]",
                           summary=counted_readout, store=store)
    assert 0 < len(COUNTED) <= 10
    assert_sample_equals_runs(kaldo, resumed, SAMPLE, dict(t_end=60, record="pop_id=W[0-3]"))


@pytest.mark.parametrize("change, message", [
    (dict(grid={"alfa": [0.06], "theta": [18.0]}), "was made for another grid"),
    (dict(scenarios={"success": SCENARIOS["success"]}), "was made for another set of scenarios"),
    (dict(every=4), "was made for another run settings"),
    (dict(summary=counted_readout), "was made for another summary"),
    (dict(contract="other"), "was made for another contract"),
    (dict(version="0.0.1"), "was made for another version of vesk (0.0.1, not "),
    (dict(store="junk"), "not a store of vesk.explore; give a new path or an empty folder"),
], ids=lambda v: v if isinstance(v, str) else next(iter(v)))
def test_a_store_for_something_else_is_refused(kaldo, tmp_path, change, message):
    store = tmp_path / "store"
    args = dict(contract=kaldo, grid={"alfa": [0.05], "theta": [18.0]}, scenarios=SCENARIOS,
                n_steps=3, summary=readout, store=store)
    vesk.explore(**args)
    if change.get("contract"):
        change = dict(contract=kaldo.with_parameters(beta=0.5))
    if "version" in change:
        attrs = json.loads((store / ".zattrs").read_text())
        identity = json.loads(attrs["vesk_explore"])
        identity["vesk_version"] = change.pop("version")
        attrs["vesk_explore"] = json.dumps(identity)
        (store / ".zattrs").write_text(json.dumps(attrs))
    if "store" in change:
        (tmp_path / "junk").mkdir()
        (tmp_path / "junk" / "notes.txt").write_text("mine")
        change = dict(store=tmp_path / "junk")
    args.update(change)
    with pytest.raises(ValueError) as e:
        vesk.explore(**args)
    assert message in str(e.value)


@pytest.mark.parametrize("grid, scenarios, error, message", [
    ({"alpha": [1.0]}, SCENARIOS, ValueError, "grid: no network constant 'alpha' (constants: "),
    ({"alfa": [float("nan")]}, SCENARIOS, ValueError,
     "grid: 'alfa' values must be finite numbers, got nan"),
    ({"alfa": []}, SCENARIOS, ValueError, "grid: 'alfa' has no values"),
    ({"alfa": 0.1}, SCENARIOS, TypeError, "grid: give 'alfa' a list of values, got 0.1"),
    ([{"alfa": 0.1}, {"theta": 1.0}], SCENARIOS, ValueError,
     "grid: point 1 must be a dict of the same constants as point 0 (alfa)"),
    ({"delta": [0.1]}, SCENARIOS, ValueError,
     "scenario 'fail': 'delta' is set by both the scenario and the grid"),
    ({"alfa": [0.1]}, [SCENARIOS["fail"]], TypeError,
     "scenarios: give a dict {name: scenario} of at least one scenario"),
    ({"alfa": [0.1]}, {"a": {"schedul": "x"}}, ValueError,
     "scenario 'a': unknown field 'schedul' (fields: "),
])
def test_bad_arguments_are_refused(kaldo, grid, scenarios, error, message):
    with pytest.raises(error) as e:
        vesk.explore(kaldo, grid, scenarios, n_steps=3)
    assert message in str(e.value)
