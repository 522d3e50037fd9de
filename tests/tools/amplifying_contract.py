#!/usr/bin/env python3
"""Writes to stdout a contract that turns a last-bit difference into a visibly
different trace: 300 excitatory nodes, each with 30 incoming edges from
distinct other nodes, weights drawn from N(0, 2). Driven by clamps on nodes 1,
5 and 17 for 400 ms, its traces part within the run when one exp result or
one weight differs in its last bit. The weights are printed exactly (repr),
and the text depends only on the seed."""

import json
import math
import random
import sys

NODES, DEGREE = 300, 30


def contract(seed):
    rng = random.Random(seed)
    nodes = [
        {"node_id": i, "row_index": i, "tau": 2.5, "is_excitatory": True,
         "pop_id": f"P{i}", "pop_typ": "E", "con_typ": "excitation", "circ_id": "C0",
         "h_row": "null", "d_row": "null", "mat_id": "null"}
        for i in range(NODES)
    ]
    edges = []
    for target in range(NODES):
        sources = rng.sample([s for s in range(NODES) if s != target], DEGREE)
        for source in sources:
            edges.append({"source_kind": "node", "source_id": source,
                          "target_node_id": target,
                          "weight_final": rng.gauss(0.0, math.sqrt(2.0))})
    return {
        "counts": {"n_nodes": NODES, "n_inputs": 0},
        "network_parameters": {
            "sigmoid": {"theta": 5.0, "beta": 0.4, "f_max": 100.0},
            "wc_coupling": {"alfa": 1.2, "epsilon": 1.5, "gamma": 1.0, "delta": 0.2,
                            "tau_E": 2.5, "tau_I": 5.0},
        },
        "nodes": nodes,
        "inputs": [],
        "edges": edges,
    }


if __name__ == "__main__":
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    json.dump(contract(seed), sys.stdout, separators=(",", ":"))
    sys.stdout.write("\n")
