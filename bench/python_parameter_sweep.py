#!/usr/bin/python3
"""A sweep of one network parameter from Python, two ways side by side in one
process: Contract.with_parameters on the contract loaded once, against
editing the contract's dict and building a Contract from it for every value.
Prints the median over REPEATS rounds (alternating the two ways) of the
whole sweep, of the contract preparation alone, and their ratios.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_parameter_sweep.py \
        [--model data/kaldo_contract.json] [--values 10] [--t-end 10] [--repeats 5]
"""

import argparse
import copy
import gc
import json
import os
import statistics
import time
import warnings

import numpy as np

import vesk

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=os.path.join(HERE, "..", "data", "kaldo_contract.json"))
    parser.add_argument("--values", type=int, default=10, help="alfa values per sweep")
    parser.add_argument("--t-end", type=float, default=10.0, help="ms per run (default 10)")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    alfas = np.linspace(0.0, 0.9, args.values).tolist()
    with open(args.model) as f:
        model = json.load(f)
    base = vesk.load_contract(args.model)

    def shared():
        return [base.with_parameters(alfa=a) for a in alfas]

    def rebuilt():
        contracts = []
        for a in alfas:
            d = copy.deepcopy(model)
            d["network_parameters"].setdefault("wc_coupling", {})["alfa"] = a
            contracts.append(vesk.Contract.from_dict(d, check=False))
        return contracts

    def rebuilt_checked():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            contracts = []
            for a in alfas:
                d = copy.deepcopy(model)
                d["network_parameters"].setdefault("wc_coupling", {})["alfa"] = a
                contracts.append(vesk.Contract.from_dict(d))
            return contracts

    ways = {"with_parameters": shared, "from_dict (check=False)": rebuilt,
            "from_dict (checked)": rebuilt_checked}
    prepare = {name: [] for name in ways}
    sweep = {name: [] for name in ways}
    reference = None
    for _ in range(args.repeats):
        for name, make in ways.items():
            # The copies of the dict leave garbage whose collection would
            # otherwise land in whichever way runs next.
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            contracts = make()
            prepared = time.perf_counter()
            results = [vesk.run(c, args.t_end).nodes for c in contracts]
            done = time.perf_counter()
            gc.enable()
            prepare[name].append(prepared - start)
            sweep[name].append(done - start)
            if reference is None:
                reference = results
            assert all(np.array_equal(a, b) for a, b in zip(reference, results)), name

    print(f"{args.values} values of alfa on {os.path.basename(args.model)} "
          f"({base.n_nodes} nodes), {args.t_end:g} ms runs, medians of {args.repeats}:")
    first = next(iter(ways))
    # The best round too: preparing contracts with with_parameters takes
    # microseconds, so one time slice lost to another process shows in it.
    print(f"{'way':26} {'contracts (ms)':>15} {'best':>8} {'ratio':>7} {'whole sweep (ms)':>17} "
          f"{'ratio':>7}")
    for name in ways:
        p, s = statistics.median(prepare[name]), statistics.median(sweep[name])
        p0, s0 = statistics.median(prepare[first]), statistics.median(sweep[first])
        print(f"{name:26} {p * 1e3:15.2f} {min(prepare[name]) * 1e3:8.2f} {p / p0:7.1f} "
              f"{s * 1e3:17.1f} {s / s0:7.2f}")


if __name__ == "__main__":
    main()
