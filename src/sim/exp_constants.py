#!/usr/bin/env python3
"""Derives the table and constants of src/sim/exp.cpp in exact arithmetic and
checks them against the file (exit status 1 on any difference).

    python3 src/sim/exp_constants.py            check exp.cpp
    python3 src/sim/exp_constants.py --print    print the table as C++

Every value is the nearest double of a real number computed with mpmath at
400 bits and rounded with Python's exact fractions, so no step depends on
the rounding of the machine running the script. The polynomial coefficients
come from a minimax fit and cannot be re-derived from a formula; the script
checks instead that they are doubles close to 1/k! and that the polynomial
stays within 2^-65 of exp on the reduced interval.
"""
import re
import sys
from fractions import Fraction
from pathlib import Path

import mpmath

mpmath.mp.prec = 400
TABLE_BITS = 7
N = 1 << TABLE_BITS


def to_fraction(v):
    m, e = mpmath.mpf(v).man_exp
    return Fraction(int(m)) * (Fraction(2) ** int(e))


def round_to_bits(x, bits):
    """x rounded to nearest, ties to even, to `bits` significant bits."""
    if x == 0:
        return Fraction(0)
    sign = -1 if x < 0 else 1
    a = abs(x)
    e = 0
    while a >= 2:
        a /= 2
        e += 1
    while a < 1:
        a *= 2
        e -= 1
    scaled = a * 2 ** (bits - 1)
    q = scaled.numerator // scaled.denominator
    rem = scaled - q
    if rem > Fraction(1, 2) or (rem == Fraction(1, 2) and q % 2 == 1):
        q += 1
    return sign * Fraction(q) / 2 ** (bits - 1) * Fraction(2) ** e


def round_double(x):
    return round_to_bits(x, 53)  # the values here are all normal doubles


def bits_of(x):
    import struct
    return struct.unpack("<Q", struct.pack("<d", float(x)))[0]


def hexfloat(x):
    assert Fraction(float(x)) == x
    return float(x).hex()


def derive():
    ln2 = to_fraction(mpmath.log(2))
    out = {}
    out["inv_ln2_n"] = round_double(N / ln2)
    # ln2/N in two parts: the high part short enough that k * hi is exact
    # for every k of a finite result.
    hi = round_to_bits(ln2 / N, 37)
    out["neg_ln2_hi_n"] = -hi
    out["neg_ln2_lo_n"] = -round_double(ln2 / N - hi)
    tails, scales = [], []
    for k in range(N):
        exact = to_fraction(mpmath.power(2, mpmath.mpf(k) / N))
        scale = round_double(exact)
        tail = round_double(exact / scale - 1) if k else Fraction(0)
        tails.append(bits_of(tail))
        # Stored with k's share of the exponent taken off, so that adding
        # k << (52 - TABLE_BITS) of any k with this remainder gives 2^(k/N).
        scales.append(bits_of(scale) - (k << (52 - TABLE_BITS)))
    out["tails"] = tails
    out["scales"] = scales
    return out


def check_polynomial(coeffs):
    ok = True
    for k, c in enumerate(coeffs, start=2):
        rel = abs(c * mpmath.factorial(k) - 1)
        if rel > mpmath.mpf(2) ** -20:
            print(f"coefficient {k} is not close to 1/{k}!")
            ok = False
    r_max = mpmath.log(2) / (2 * N)
    worst = mpmath.mpf(0)
    steps = 2000
    for i in range(-steps, steps + 1):
        r = r_max * i / steps
        p = 1 + r + sum(mpmath.mpf(c) * r ** k for k, c in enumerate(coeffs, start=2))
        worst = max(worst, abs(mpmath.exp(r) - p))
    print(f"polynomial error on |r| <= ln2/{2 * N}: 2^{float(mpmath.log(worst, 2)):.2f}")
    if worst > mpmath.mpf(2) ** -65:
        print("polynomial error above 2^-65")
        ok = False
    return ok


def main():
    d = derive()
    if "--print" in sys.argv:
        for name in ("inv_ln2_n", "neg_ln2_hi_n", "neg_ln2_lo_n"):
            print(f"{name} = {hexfloat(d[name])}")
        for name in ("tails", "scales"):
            print(f"{name}:")
            vals = [f"0x{v:016x}" for v in d[name]]
            for i in range(0, N, 4):
                print("    " + ", ".join(vals[i:i + 4]) + ",")
        return 0

    src = (Path(__file__).parent / "exp.cpp").read_text()
    ok = True
    for name in ("inv_ln2_n", "neg_ln2_hi_n", "neg_ln2_lo_n"):
        m = re.search(name + r"\s*=\s*(-?0x[0-9a-fA-F.p+-]+)", src)
        if not m or Fraction(float.fromhex(m.group(1))) != d[name]:
            print(f"{name}: expected {hexfloat(d[name])}")
            ok = False
    for name in ("tails", "scales"):
        m = re.search(r"exp_" + name + r"\[[^\]]*\]\s*=\s*\{([^}]*)\}", src)
        found = [int(v, 16) for v in re.findall(r"0x[0-9a-fA-F]+", m.group(1))] if m else []
        if found != d[name]:
            print(f"exp_{name}: table differs from the derived values")
            ok = False
    coeffs = [float.fromhex(v) for v in
              re.findall(r"(0x1\.[0-9a-f]+p-\d+)[;,]\s*//\s*r\^", src)]
    if len(coeffs) != 4:
        print("expected four polynomial coefficients marked // r^k")
        ok = False
    elif not check_polynomial(coeffs):
        ok = False
    print("exp.cpp: constants and table agree" if ok else "exp.cpp: MISMATCH")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
