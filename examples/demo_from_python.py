#!/usr/bin/python3
"""The demo figure of `make demo`, from Python: the example model on its two
question-answering scenarios, word populations W0-W3 side by side, with the
active input windows shaded and drawn as bars above. Only the four word populations are kept in
memory (record=), not the model's 2553 nodes.

    PYTHONPATH=build/python /usr/bin/python3 examples/demo_from_python.py --out out/demo_python.png
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


def active_windows(time, values):
    """(start, end) in ms of the spans during which `values` (one per sample,
    or one row per sample) are not all zero: from the first active sample to
    the first inactive one, or to the last sample."""
    active = np.any(values.reshape(len(time), -1) != 0.0, axis=1)
    change = np.flatnonzero(np.diff(active.astype(np.int8))) + 1
    bounds = np.concatenate(([0], change, [len(time) - 1]))
    return [(time[a], time[b]) for a, b in zip(bounds[:-1], bounds[1:]) if active[a]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--t-end", type=float, default=180.0, help="ms (default 180)")
    parser.add_argument("--out", default="demo_python.png", help="PNG to write")
    args = parser.parse_args()

    contract = vesk.load_contract(args.model)
    bindings = os.path.join(HERE, "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt")
    clamps = vesk.Clamps.from_file(bindings)
    node_names = {r.row_index: r.pop_id for r in contract.nodes}
    input_names = {r.row_index: r.pop_id for r in contract.inputs}
    results = [vesk.run(contract, args.t_end, clamps=clamps, record="pop_id=W[0-3]", inputs=True,
                        schedule=os.path.join(HERE, f"QA_3NVN_O_{scenario}.txt"))
               for scenario, _ in SCENARIOS]
    # One bar lane per input that is active in either run, above the traces.
    lanes = [k for k in range(contract.n_inputs) if any(r.inputs[:, k].any() for r in results)]
    lanes.sort(key=lambda k: (len(str(contract.input_rows[k])), str(contract.input_rows[k])))

    fig = plt.figure(figsize=(15.2, 4.2 + 0.22 * len(lanes) + 0.3), layout="constrained")
    grid = fig.add_gridspec(2, len(results), height_ratios=[0.22 * len(lanes) + 0.3, 4.2])
    colours = plt.get_cmap("Set2")
    trace_axes = []
    for col, (result, (_, label)) in enumerate(zip(results, SCENARIOS)):
        ax = fig.add_subplot(grid[1, col], sharey=trace_axes[0] if trace_axes else None)
        trace_axes.append(ax)
        for start, end in active_windows(result.time, result.inputs):
            ax.axvspan(start, end, color="0.88", zorder=0, lw=0)
        for k, row in enumerate(result.columns):
            ax.plot(result.time, result.nodes[:, k], lw=1.2, label=f"{row} {node_names[row]}")
        ax.set_xlabel("time (ms)")
        ax.set_xlim(result.time[0], result.time[-1])
        ax.grid(True, lw=0.3, alpha=0.5)

        strip = fig.add_subplot(grid[0, col], sharex=ax)
        for lane, k in enumerate(lanes):
            spans = [(a, b - a) for a, b in active_windows(result.time, result.inputs[:, k])]
            strip.broken_barh(spans, (lane - 0.4, 0.8), color=colours(lane % colours.N))
        strip.set_yticks(range(len(lanes)))
        labels = [input_names[result.input_columns[k]] for k in lanes]
        strip.set_yticklabels(labels if col == 0 else [], fontsize=7)
        strip.set_ylim(len(lanes) - 0.5, -0.5)
        strip.tick_params(axis="x", labelbottom=False)
        strip.grid(True, axis="x", lw=0.3, alpha=0.5)
        strip.set_title(label)
    trace_axes[0].set_ylabel("activity")
    trace_axes[-1].legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8, frameon=False)
    fig.suptitle("Example model, word populations W0-W3 (cat, chases, mouse, sees)")
    fig.savefig(args.out, dpi=100)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
