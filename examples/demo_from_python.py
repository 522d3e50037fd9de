#!/usr/bin/python3
"""The demo figure of `make demo`, from Python: the example model on its two
question-answering scenarios, word populations W0-W3 side by side, with the
active input windows shaded. Only the four word populations are kept in
memory (record=), not the model's 2553 nodes.

    PYTHONPATH=build/python python3 examples/demo_from_python.py --out out/demo_python.png
"""

import argparse
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import vesk  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = [("success", "success: whom does the cat chase?"),
             ("fail", "fail: whom does the cat see?")]


def active_windows(time, inputs):
    """(start, end) in ms of the spans during which any input is non-zero."""
    active = np.any(inputs != 0.0, axis=1)
    edges = np.flatnonzero(np.diff(active.astype(np.int8)))
    starts = [0] if active[0] else []
    starts += [i + 1 for i in edges if not active[i]]
    ends = [i + 1 for i in edges if active[i]]
    ends += [len(time) - 1] if active[-1] else []
    return [(time[a], time[b]) for a, b in zip(starts, ends)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--t-end", type=float, default=180.0, help="ms (default 180)")
    parser.add_argument("--out", default="demo_python.png", help="PNG to write")
    args = parser.parse_args()

    contract = vesk.load_contract(args.model)
    clamps = vesk.Clamps.from_file(os.path.join(HERE, "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"))
    names = {r.row_index: r.pop_id for r in contract.nodes}

    fig, axes = plt.subplots(1, len(SCENARIOS), figsize=(15.2, 4.6), sharey=True,
                             layout="constrained")
    for ax, (scenario, label) in zip(axes, SCENARIOS):
        schedule = vesk.Schedule.from_file(os.path.join(HERE, f"QA_3NVN_O_{scenario}.txt"))
        result = vesk.run(contract, args.t_end, schedule=schedule, clamps=clamps,
                          record="pop_id=W[0-3]", inputs=True)
        for start, end in active_windows(result.time, result.inputs):
            ax.axvspan(start, end, color="0.88", zorder=0, lw=0)
        for k, row in enumerate(result.columns):
            ax.plot(result.time, result.nodes[:, k], lw=1.2, label=f"{row} {names[row]}")
        ax.set_title(label)
        ax.set_xlabel("time (ms)")
        ax.set_xlim(result.time[0], result.time[-1])
        ax.grid(True, lw=0.3, alpha=0.5)
    axes[0].set_ylabel("activity")
    axes[-1].legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8, frameon=False)
    fig.suptitle("Example model, word populations W0-W3 (cat, chases, mouse, sees)")
    fig.savefig(args.out, dpi=100)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
