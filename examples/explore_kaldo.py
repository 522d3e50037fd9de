#!/usr/bin/python3
"""An exploration with vesk.explore: the example model's success and fail
scenarios over a grid of two constants, alfa and theta, read out at word
populations W0-W3 after the question, and a heat map per scenario of where
on the grid the answer (W2, "mouse") is read out and when.

With --store the results go to a zarr folder as they come; run it again
after an interruption and only the missing points are computed. Needs
python3-xarray, python3-zarr (for --store) and matplotlib; --dask N runs on
a local dask cluster of N worker processes (python3-distributed).

    PYTHONPATH=build/python /usr/bin/python3 examples/explore_kaldo.py \\
        --out out/explore.png --store out/explore.zarr
"""

import argparse
import concurrent.futures as cf
import contextlib
import os
import sys

import numpy as np

import vesk

HERE = os.path.dirname(os.path.abspath(__file__))
WORDS = ["W0", "W1", "W2", "W3"]
ANSWER = "W2"
# The question has been put by then; what rises afterwards is read out.
QUESTION_MS = 130.0
# Activity (of 100) at which a word counts as read out.
READ_OUT = 30.0


def readout(result):
    """W0-W3 from QUESTION_MS on: each one's peak, and when it first reaches
    READ_OUT (NaN if it never does)."""
    import xarray as xr
    after = result.time >= QUESTION_MS
    traces = result.nodes[after]
    above = traces >= READ_OUT
    onset = np.where(above.any(axis=0), result.time[after][above.argmax(axis=0)], np.nan)
    word = {"word": WORDS}
    return {"peak": xr.DataArray(traces.max(axis=0), dims="word", coords=word),
            "onset_ms": xr.DataArray(onset, dims="word", coords=word)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--t-end", type=float, default=180.0, help="ms (default 180)")
    parser.add_argument("--alfa", type=float, nargs="+", default=[0.0, 0.05, 0.1, 0.15, 0.2])
    parser.add_argument("--theta", type=float, nargs="+", default=[18.0, 19.0, 20.0, 21.0, 22.0])
    parser.add_argument("--out", default="explore.png", help="PNG to write")
    parser.add_argument("--store", help="zarr folder to keep the results in (and resume from)")
    parser.add_argument("--workers", type=int, help="run in a process pool of this many")
    parser.add_argument("--dask", type=int, metavar="N", help="run on a local dask cluster")
    args = parser.parse_args()
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bindings = os.path.join(HERE, "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt")
    scenarios = {name: {"schedule": os.path.join(HERE, f"QA_3NVN_O_{name}.txt"),
                        "clamps": bindings} for name in ("success", "fail")}
    with contextlib.ExitStack() as stack:
        executor = None
        if args.dask:
            from distributed import Client, LocalCluster
            cluster = stack.enter_context(LocalCluster(n_workers=args.dask, threads_per_worker=1,
                                                       dashboard_address=None))
            executor = stack.enter_context(Client(cluster))
        elif args.workers:
            executor = stack.enter_context(cf.ProcessPoolExecutor(args.workers))
        ds = vesk.explore(args.model, {"alfa": args.alfa, "theta": args.theta}, scenarios,
                          args.t_end, record="pop_id=W[0-3]", summary=readout,
                          executor=executor, store=args.store, progress=True)
    onset = ds.onset_ms.sel(word=ANSWER)
    print(f"plan: {ds.attrs['plan']}")
    for scenario in ds.scenario.values:
        print(f"\n{scenario}: when {ANSWER} is read out (ms; - never), theta by alfa")
        print("theta \\ alfa " + "".join(f"{a:>8g}" for a in ds.alfa.values))
        for theta in ds.theta.values:
            row = onset.sel(scenario=scenario, theta=theta).values
            print(f"{theta:<13g}" + "".join(f"{t:8.1f}" if np.isfinite(t) else f"{'-':>8}"
                                            for t in row))

    fig, axes = plt.subplots(1, len(ds.scenario), figsize=(5 * len(ds.scenario), 4),
                             layout="constrained", squeeze=False)
    for ax, scenario in zip(axes[0], ds.scenario.values):
        values = onset.sel(scenario=scenario).transpose("theta", "alfa").values
        ax.set_facecolor("lightgrey")  # not read out
        image = ax.pcolormesh(_edges(ds.alfa.values), _edges(ds.theta.values),
                              np.ma.masked_invalid(values), vmin=QUESTION_MS, vmax=args.t_end)
        ax.set_xlabel("alfa")
        ax.set_ylabel("theta")
        ax.set_title(f"{scenario}: when {ANSWER} is read out (grey: never)")
    fig.colorbar(image, ax=axes[0].tolist(), label="ms")
    fig.savefig(args.out, dpi=100)
    return 0


def _edges(centres):
    """Cell edges around sorted centres, for pcolormesh."""
    centres = np.asarray(centres, dtype=float)
    if centres.size == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    middle = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middle[0]], middle,
                           [2 * centres[-1] - middle[-1]]])


if __name__ == "__main__":
    sys.exit(main())
