#!/usr/bin/python3
"""vesk.explore against a plain Python loop of vesk.run over the same points:
points per second in this process (the plan explore chooses), on a process
pool and on a local dask cluster, the ways taking turns within each round
(order rotated) so that other work on the machine spreads over all of them.
Then the store's size per point, and the time to resume an exploration
that was 90% done against the time of its missing points alone.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_explore.py \\
        [--model data/kaldo_contract.json] [--grid 4 5] [--t-end 180] [--rounds 3]
        [--workers 2]

On the example model the scenarios are its success and fail scenarios and
the summary W0-W3 (last value and peak); on any other model (--model
big.json) they are "rest" and "raised" (y0 = 0.2) and the summary the first
four rows.
"""

import argparse
import concurrent.futures as cf
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import vesk

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")


def readout(result):
    """The kept nodes' last values and peaks."""
    return {"last": result.nodes[-1], "peak": result.nodes.max(axis=0)}


def setup(model):
    contract = vesk.load_contract(model)
    if os.path.basename(model) == "kaldo_contract.json":
        bindings = os.path.join(EXAMPLES, "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt")
        scenarios = {s: {"schedule": vesk.Schedule.from_file(
            os.path.join(EXAMPLES, f"QA_3NVN_O_{s}.txt")), "clamps": vesk.Clamps.from_file(
            bindings)} for s in ("success", "fail")}
        return contract, scenarios, "pop_id=W[0-3]"
    rows = contract.columns[:4].tolist()
    return contract, {"rest": {}, "raised": {"y0": 0.2}}, rows


def loop(contract, grid, scenarios, t_end, record):
    """The plain loop that explore must beat: one run after another."""
    out = []
    for alfa in grid["alfa"]:
        for theta in grid["theta"]:
            for fields in scenarios.values():
                r = vesk.run(contract.with_parameters(alfa=alfa, theta=theta), t_end,
                             schedule=fields.get("schedule"), clamps=fields.get("clamps"),
                             y0=fields.get("y0"), record=record)
                out.append(readout(r))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--grid", type=int, nargs=2, default=[4, 5],
                        help="values of alfa and theta (default 4 5)")
    parser.add_argument("--t-end", type=float, default=180.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    contract, scenarios, record = setup(args.model)
    grid = {"alfa": np.linspace(0.05, 0.15, args.grid[0]).tolist(),
            "theta": np.linspace(18.0, 22.0, args.grid[1]).tolist()}
    points = args.grid[0] * args.grid[1] * len(scenarios)
    options = dict(record=record, summary=readout)
    print(f"{args.model}: {contract.n_nodes} nodes, {points} points of {args.t_end:g} ms, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")

    # Workers import this file for its summary.
    os.environ["PYTHONPATH"] = os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")])
    from distributed import Client, LocalCluster
    with cf.ProcessPoolExecutor(args.workers) as pool, \
            LocalCluster(n_workers=args.workers, threads_per_worker=1,
                         dashboard_address=None) as cluster, Client(cluster) as client:
        ways = {
            "loop": lambda: loop(contract, grid, scenarios, args.t_end, record),
            "explore": lambda: vesk.explore(contract, grid, scenarios, args.t_end, **options),
            f"pool of {args.workers}": lambda: vesk.explore(
                contract, grid, scenarios, args.t_end, executor=pool, **options),
            f"dask, {args.workers} workers": lambda: vesk.explore(
                contract, grid, scenarios, args.t_end, executor=client, **options),
        }
        # Warm up: the workers load the contract once each.
        for executor in (pool, client):
            vesk.explore(contract, {"alfa": [0.1] * 4}, scenarios, n_steps=3, lanes=1,
                         side_by_side=args.workers,
                         executor=executor, **options)
        rates = {name: [] for name in ways}
        plans = []
        for round_ in range(args.rounds):
            names = list(ways)
            names = names[round_ % len(names):] + names[:round_ % len(names)]
            for name in names:
                start = time.perf_counter()
                ds = ways[name]()
                rates[name].append(points / (time.perf_counter() - start))
                if name != "loop":
                    plans.append(f"{name}: {ds.attrs['plan']}")
            print(f"round {round_ + 1}: " + ", ".join(
                f"{n} {r[-1]:.2f}/s ({r[-1] / rates['loop'][-1]:.2f}x)" for n, r in rates.items()),
                flush=True)
    print(f"\n{'way':<20} {'points/s median':>16} {'x loop':>8}   (per round x loop)")
    for name, r in rates.items():
        ratios = [a / b for a, b in zip(r, rates["loop"])]
        print(f"{name:<20} {statistics.median(r):>16.2f} {statistics.median(ratios):>8.2f}   "
              f"({', '.join(f'{x:.2f}' for x in ratios)})")
    for plan in plans:
        print(f"plan of {plan}")

    folder = tempfile.mkdtemp(prefix="explore-bench-")
    try:
        store = os.path.join(folder, "store")
        start = time.perf_counter()
        vesk.explore(contract, grid, scenarios, args.t_end, store=store, **options)
        whole = time.perf_counter() - start
        size = int(subprocess.run(["du", "-sk", store], capture_output=True, text=True,
                                  check=True).stdout.split()[0]) * 1024
        files = sum(len(f) for _, _, f in os.walk(store))
        print(f"\nstore: {size / points / 1024:.1f} KiB per point on disk ({files} files, "
              f"{size / 1024:.0f} KiB for {points} points); whole exploration {whole:.1f} s")
        # Forget the last tenth of the points, as a killed exploration would.
        done = os.path.join(store, "done")
        chunks = sorted((f for f in os.listdir(done) if not f.startswith(".")),
                        key=lambda f: [int(i) for i in f.split(".")])
        missing = max(1, points // 10)
        for name in chunks[-missing:]:
            os.remove(os.path.join(done, name))
        start = time.perf_counter()
        vesk.explore(contract, grid, scenarios, args.t_end, store=store, **options)
        resumed = time.perf_counter() - start
        print(f"resume with {missing} of {points} points missing: {resumed:.2f} s "
              f"({resumed / (whole * missing / points):.2f}x their share of the whole)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(main())
