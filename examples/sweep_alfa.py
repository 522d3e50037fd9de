#!/usr/bin/python3
"""A parameter sweep from Python: the example model's success scenario at ten
values of alfa (the weight of a node's own excitatory rate), one table row
per value and word population W0-W3 (peak activity, when it is reached, and
the mean over the last 50 ms), and a figure of both against alfa.

The model is loaded once; with_parameters gives each value its own contract
over the same loaded network. Needs pandas (Debian: python3-pandas) and
matplotlib.

    PYTHONPATH=build/python /usr/bin/python3 examples/sweep_alfa.py --out out/sweep_alfa.png
"""

import argparse
import os
import sys

import numpy as np

import vesk

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--t-end", type=float, default=180.0, help="ms (default 180)")
    parser.add_argument("--alfa", type=float, nargs="+",
                        default=np.round(np.linspace(0.0, 0.18, 10), 3).tolist(),
                        help="values of alfa (default 0, 0.02, ... 0.18; the model's is 0.1)")
    parser.add_argument("--out", default="sweep_alfa.png", help="PNG to write")
    parser.add_argument("--table", help="CSV to write the table to")
    args = parser.parse_args()
    try:
        import pandas as pd
    except ImportError:
        print("sweep_alfa.py needs pandas (Debian: apt-get install python3-pandas)",
              file=sys.stderr)
        return 1
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    contract = vesk.load_contract(args.model)
    schedule = vesk.Schedule.from_file(os.path.join(HERE, "QA_3NVN_O_success.txt"))
    clamps = vesk.Clamps.from_file(os.path.join(HERE, "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"))
    names = {r.row_index: r.pop_id for r in contract.nodes}

    rows = []
    for alfa in args.alfa:
        result = vesk.run(contract.with_parameters(alfa=alfa), args.t_end, schedule=schedule,
                          clamps=clamps, record="pop_id=W[0-3]")
        late = result.time >= result.time[-1] - 50.0
        for k, row in enumerate(result.columns):
            trace = result.nodes[:, k]
            rows.append({"alfa": alfa, "population": names[row], "peak": trace.max(),
                         "peak_ms": result.time[trace.argmax()], "late_mean": trace[late].mean()})
    table = pd.DataFrame(rows)
    print(table.to_string(index=False))
    if args.table:
        table.to_csv(args.table, index=False)

    fig, axes = plt.subplots(1, 2, figsize=(10, 4), layout="constrained", sharey=True)
    for population, part in table.groupby("population"):
        for ax, column in zip(axes, ("peak", "late_mean")):
            ax.plot(part["alfa"], part[column], marker="o", label=population)
    for ax, title in zip(axes, ("peak activity", "mean activity over the last 50 ms")):
        ax.set_xlabel("alfa")
        ax.set_title(title)
    axes[0].legend()
    fig.suptitle(f"Example model, success scenario, {args.t_end:g} ms")
    fig.savefig(args.out, dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main())
