"""Per-run cost of vesk.run on a small model: a 10-node ring, 100 ms on the
command line's grid (1000 samples, all nodes kept), run 100 times in a loop.
Prints the median over --repeats loops, in ms per run. Compare two builds
side by side, alternating, in one session:

    for i in 1 2 3; do
      for b in build-old build; do PYTHONPATH=$b/python python3 bench/python_run_overhead.py; done
    done
"""

import argparse
import statistics
import time

import vesk


def ring(n=10):
    node = dict(tau=2.5, pop_typ="t", con_typ="c", circ_id="x", h_row="h", d_row="d", mat_id="m")
    return {
        "counts": {"n_nodes": n, "n_inputs": 1},
        "network_parameters": {"sigmoid": {"theta": 4, "beta": 1, "f_max": 100},
                               "wc_coupling": {"alfa": 0.1, "epsilon": 0.1, "gamma": 0.1,
                                               "delta": 0.1, "tau_E": 2.5, "tau_I": 1.25}},
        "nodes": [dict(node, node_id=i, row_index=i, is_excitatory=i % 2 == 0, pop_id=f"P{i}")
                  for i in range(n)],
        "inputs": [dict(input_id=0, input_name="in0", row_index=100, pop_id="in0",
                        con_typ="c", circ_id="x", h_row="h", d_row="d", mat_id="m")],
        "edges": [dict(source_kind="node", source_id=i, target_node_id=(i + 1) % n,
                       weight_final=0.5) for i in range(n)] +
                 [dict(source_kind="input", source_id=0, target_node_id=0, weight_final=0.2)],
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    contract = vesk.Contract.from_dict(ring())
    schedule = vesk.Schedule().add_window("in0", 10, 20)
    vesk.run(contract, 100, schedule=schedule)  # warm up
    per_run = []
    for _ in range(args.repeats):
        start = time.perf_counter()
        for _ in range(args.runs):
            vesk.run(contract, 100, schedule=schedule)
        per_run.append((time.perf_counter() - start) / args.runs * 1e3)
    print(f"{vesk.__file__}: {statistics.median(per_run):.3f} ms per run "
          f"(min {min(per_run):.3f})")


if __name__ == "__main__":
    main()
