#!/usr/bin/env python3
"""Independent reference run of vesk-sim for small end-to-end scenarios.

Usage: reference_sim.py SCENARIO_DIR [--swap-duplicates]

SCENARIO_DIR/scenario.json describes the run without the instruction and
bindings parsers: {"contract": "contract.json", "t_end": 6.0 (or "n_steps": 60),
"schedules": {input_name: [[start, end], ...] in 0.1 ms units, in file order},
"clamped_nodes": [node_ids held at 50.0 from 0.1 to 4.9 ms]}. It writes
expected_nodes.csv, expected_inputs.csv and expected_row_map.csv there.
Python 3.11 standard library only.

Arithmetic follows the simulator's operation order: every fused multiply-add
is evaluated exactly with fractions and rounded once; exp is the C library's
exp through math.exp. --swap-duplicates reverses the storage order of weights
that share a (row, column) pair: the order is not defined, so a scenario is a
fair test only when both orders give the same CSV bytes.
"""

import json
import math
import os
import sys
from fractions import Fraction

WINDOW_VALUE = 100.0
TIME_SCALE = 0.1
CLAMP_START, CLAMP_END, CLAMP_VALUE, CLAMP_TOL = 0.1, 4.9, 50.0, 1e-12


def fma(a, b, c):
    """a*b + c with a single rounding.

    Fraction -> float divides two ints, which Python rounds correctly. An
    exact zero result needs the IEEE sign rule: when a*b is an exact (signed)
    zero and c is zero, the plain float expression gives the right sign
    (-0 only for -0 + -0); an exact cancellation of non-zero terms is +0.
    Non-finite operands fall back to plain float arithmetic (not used here).
    """
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        if a == 0 or b == 0:
            return a * b + c
        return 0.0
    return float(exact)


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:  # C's exp returns inf here
        return math.inf


def round_half_away(x):
    f = math.floor(x)
    return int(f) + (1 if x - f >= 0.5 else 0)


def fmt(v):
    return "%g" % v


def csv_field(text):
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


class Model:
    META = ("pop_id", "pop_typ", "con_typ", "circ_id", "h_row", "d_row", "mat_id")

    def __init__(self, doc):
        self.n = int(doc["counts"]["n_nodes"])
        self.m = int(doc["counts"]["n_inputs"])
        sig = doc["network_parameters"]["sigmoid"]
        self.theta, self.beta, self.f_max = (float(sig[k]) for k in ("theta", "beta", "f_max"))
        wc = doc["network_parameters"].get("wc_coupling", {})
        self.alfa, self.epsilon, self.gamma, self.delta = (
            float(wc.get(k, 0.0)) for k in ("alfa", "epsilon", "gamma", "delta"))
        self.tau_E, self.tau_I = float(wc.get("tau_E", 2.5)), float(wc.get("tau_I", 1.25))

        self.excitatory = [True] * self.n
        self.node_meta = [[0, 0] + [""] * 7 for _ in range(self.n)]  # node_id, row_index, texts
        for nd in doc["nodes"]:
            i = int(nd["node_id"])
            self.excitatory[i] = bool(nd.get("is_excitatory", True))
            self.node_meta[i] = [i, int(nd.get("row_index", i))] + [nd[k] for k in self.META]

        self.input_names = [""] * self.m
        self.input_rows = [0] * self.m
        self.input_meta = []
        for inp in doc["inputs"]:
            k = int(inp["input_id"])
            name = inp["input_name"]
            self.input_names[k] = name
            self.input_rows[k] = int(inp.get("row_index", k))
            self.input_meta.append(
                [-1, self.input_rows[k], inp.get("pop_id", name), "external",
                 inp.get("con_typ", "excitation")]
                + [inp.get(key, "null") for key in ("circ_id", "h_row", "d_row", "mat_id")])

        # Sparse rows: entries sorted by (row, column); duplicates kept in file order.
        node_edges, input_edges = [], []
        for e in doc.get("edges") or []:
            entry = (int(e["target_node_id"]), int(e["source_id"]), float(e["weight_final"]))
            (node_edges if e["source_kind"] == "node" else input_edges).append(entry)
        self.W = sorted(node_edges, key=lambda t: (t[0], t[1]))
        self.V = sorted(input_edges, key=lambda t: (t[0], t[1]))

    def swap_duplicates(self):
        def swapped(entries):
            groups = {}
            for t in entries:
                groups.setdefault((t[0], t[1]), []).append(t)
            return [t for key in sorted(groups) for t in reversed(groups[key])]
        self.W, self.V = swapped(self.W), swapped(self.V)

    def gain(self, x):
        return self.f_max / (exp(-(self.beta * x)) + 1.0)

    def rhs(self, y, u):
        n = self.n
        rates = [y[j] if self.excitatory[j] else y[n + j] for j in range(n)]
        s = [0.0] * n
        for row, col, w in self.W:  # node-to-node terms first, then inputs
            s[row] = fma(w, rates[col], s[row])
        for row, col, w in self.V:
            s[row] = fma(w, u[col], s[row])
        dydt = [0.0] * (2 * n)
        for i in range(n):
            E, I = y[i], y[n + i]
            a_E = fma(self.alfa, E, -(self.epsilon * I))
            x_E = (s[i] + a_E) - self.theta
            dydt[i] = (self.gain(x_E) - E) / self.tau_E
            a_I = fma(self.gamma, E, -(self.delta * I))
            x_I = (s[i] + a_I) - self.theta
            dydt[n + i] = (self.gain(x_I) - I) / self.tau_I
        return dydt

    def rk4_step(self, y, h, u):
        half = h * 0.5
        k1 = self.rhs(y, u)
        k2 = self.rhs([fma(half, k, v) for k, v in zip(k1, y)], u)
        k3 = self.rhs([fma(half, k, v) for k, v in zip(k2, y)], u)
        k4 = self.rhs([fma(h, k, v) for k, v in zip(k3, y)], u)
        sixth = h / 6.0
        return [fma(sixth, fma(c3, 2.0, fma(c2, 2.0, c1)) + c4, v)
                for c1, c2, c3, c4, v in zip(k1, k2, k3, k4, y)]


def piecewise(windows):
    def f(t):
        for start, end in windows:
            if start <= t <= end:
                return WINDOW_VALUE
        return 0.0
    return f


def clamp(t):
    if t + CLAMP_TOL < CLAMP_START or t > CLAMP_END + CLAMP_TOL:
        return 0.0
    return CLAMP_VALUE


def run(scenario_dir, swap_duplicates=False):
    with open(os.path.join(scenario_dir, "scenario.json")) as f:
        scenario = json.load(f)
    with open(os.path.join(scenario_dir, scenario["contract"])) as f:
        model = Model(json.load(f))
    if swap_duplicates:
        model.swap_duplicates()

    t_end = scenario["n_steps"] * 0.1 if "n_steps" in scenario else float(scenario["t_end"])
    x = t_end / 0.1
    assert abs(x - round_half_away(x)) <= 1e-9, "t_end is off the 0.1 ms grid"
    n_samples = round_half_away(x)
    h = t_end / float(n_samples - 1)
    n_steps = round_half_away((t_end - 0.0) / h)

    # Input functions by input index; a name given twice resolves to its last index.
    index_of = {name: k for k, name in enumerate(model.input_names)}
    inputs = [piecewise([])] * model.m
    for name, windows in scenario.get("schedules", {}).items():
        inputs[index_of[name]] = piecewise(
            [(TIME_SCALE * float(a), TIME_SCALE * float(b)) for a, b in windows])
    clamped = set(scenario.get("clamped_nodes", []))

    n = model.n
    names = [""] * n
    for node_id, row_index, *_ in model.node_meta:
        names[node_id] = str(row_index)
    names = [s or str(i) for i, s in enumerate(names)]

    node_lines = ["time_ms" + "".join("," + s for s in names)]
    input_lines = ["time_ms" + "".join("," + str(r) for r in model.input_rows)]
    y = [0.0] * (2 * n)
    for i in range(n_steps + 1):
        t = fma(float(i), h, 0.0)
        for j in range(n):
            v = clamp(t) if j in clamped else 0.0
            if v != 0.0:
                y[j] = y[n + j] = v
        u = [f(t) for f in inputs]
        out = [y[j] if model.excitatory[j] else y[n + j] for j in range(n)]
        node_lines.append(fmt(t) + "".join("," + fmt(v) for v in out))
        input_lines.append(fmt(t) + "".join("," + fmt(v) for v in u))
        if i < n_steps:
            y = model.rk4_step(y, h, u)

    records = sorted(model.node_meta + model.input_meta, key=lambda r: r[1])
    row_map_lines = ["row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id"]
    row_map_lines += [",".join([str(r[1])] + [csv_field(s) for s in r[2:]]) for r in records]

    return {"expected_nodes.csv": node_lines, "expected_inputs.csv": input_lines,
            "expected_row_map.csv": row_map_lines}


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--swap-duplicates"):
        sys.exit("usage: reference_sim.py SCENARIO_DIR [--swap-duplicates]")
    for name, lines in run(argv[1], len(argv) == 3).items():
        with open(os.path.join(argv[1], name), "w", newline="\n") as f:
            f.write("".join(line + "\n" for line in lines))


if __name__ == "__main__":
    main(sys.argv)
