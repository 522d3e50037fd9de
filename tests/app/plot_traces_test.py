#!/usr/bin/python3
"""Tests of src/app/plot_traces.py: its readers' errors on small hand-made
files, its option errors, and whole plots of the example model's two scenarios.

Usage: plot_traces_test.py --sim PATH/vesk-sim --source SOURCE_DIR
"""

import argparse
import contextlib
import io
import os
import runpy
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def distinct_colours(png):
    import matplotlib.image
    import numpy as np

    pixels = matplotlib.image.imread(png)
    rgb = (pixels[..., :3] * 255).round().astype(np.uint8).reshape(-1, 3)
    return len(np.unique(rgb, axis=0))


class Plots(unittest.TestCase):
    """Runs the example model's success and fail scenarios once and plots them."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.dir)
        src, examples = ARGS.source, os.path.join(ARGS.source, "examples")
        for scenario in ("success", "fail"):
            run = os.path.join(cls.dir, scenario)
            os.mkdir(run)
            subprocess.run(
                [ARGS.sim, "--model", f"{src}/data/kaldo_contract.json", "--t-end", "120",
                 "--instructions", f"{examples}/QA_3NVN_O_{scenario}.txt",
                 "--bindings", f"{examples}/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt",
                 "--output", f"{run}/nodes.csv", "--output-inputs", f"{run}/inputs.csv",
                 "--output-row-map", f"{run}/row_map.csv"], check=True, stdout=subprocess.DEVNULL)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def test_plots(self):
        tool = os.path.join(ARGS.source, "src", "app", "plot_traces.py")
        s, f = self.path("success"), self.path("fail")
        cases = [
            # One run, nodes by metadata; two runs side by side; rows, without
            # inputs or row map. Background, axes and text are a few greys;
            # coloured traces and input bands add many more.
            [f"{s}/nodes.csv", "--inputs", f"{s}/inputs.csv", "--row-map", f"{s}/row_map.csv",
             "--select", "pop_typ=word", "--select", "pop_id=W[0-3]"],
            [f"{s}/nodes.csv", f"{f}/nodes.csv", "--inputs", f"{s}/inputs.csv", f"{f}/inputs.csv",
             "--labels", "success", "fail", "--row-map", f"{s}/row_map.csv",
             "--select", "pop_id=W[0-3]"],
            [f"{f}/nodes.csv", "--rows", "160-166,697", "--t-range", "0:60"],
        ]
        for i, args in enumerate(cases):
            with self.subTest(args=args):
                png = self.path(f"{i}.png")
                r = subprocess.run([sys.executable, tool, *args, "--out", png],
                                   capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertGreater(distinct_colours(png), 20)

    def test_user_errors(self):
        nodes = self.path("success", "nodes.csv")
        row_map = self.path("success", "row_map.csv")
        short, binary, long_map = (self.path(n) for n in ("short.csv", "binary.csv", "long.csv"))
        for path, data in [(short, b"time_ms,1,2\n0,1,2\n0.1,1\n"),
                           (binary, bytes(range(256)) * 64),
                           (long_map, b"row_index,pop_id\n160," + b"\xff" * 200_000 + b"\n")]:
            with open(path, "wb") as f:
                f.write(data)
        # Each case writes to never.png unless it names its own --out.
        cases = [
            ([nodes], "choose nodes with --rows ROWS or --select COLUMN=PATTERN"),
            ([nodes, "--select", "pop_typ=word"], "--select needs --row-map"),
            ([nodes, "--row-map", row_map, "--select", "colour=red"],
             "--select: no row-map column 'colour'"),
            ([nodes, "--row-map", row_map, "--select", "pop_id=nothing"],
             "no node matches the chosen rows"),
            ([nodes, "--rows", "999999"], "--rows: 999999 is not a node column of the trace file"),
            ([short, "--rows", "2"], f"{short}:3: the row has fewer fields"),
            ([self.path("missing.csv"), "--rows", "160"], "cannot open "),
            ([nodes, "--rows", "160", "--out", self.path("no", "such", "dir.png")], "cannot write "),
            ([nodes, "--rows", "160", "--max-lines", "0"], "--max-lines must be at least 1, got 0"),
            ([nodes, "--rows", "160", "--max-lines", "-1"],
             "--max-lines must be at least 1, got -1"),
            ([nodes, "--rows", "160", "--dpi", "0"], "--dpi must lie between 10 and 2400, got 0"),
            ([nodes, "--rows", "160", "--dpi", "100000"],
             "--dpi must lie between 10 and 2400, got 100000"),
            ([nodes, "--rows", "160", "--out", self.path("never.foo")],
             f"--out {self.path('never.foo')}: no image format '.foo' (formats: eps, jpeg, "),
            ([binary, "--rows", "160"],
             f"{binary}: not a vesk-sim trace file (the header does not start with time_ms)"),
            ([nodes, "--row-map", long_map, "--select", "pop_id=x"],
             f"{long_map}:2: field larger than field limit (131072)"),
            ([nodes, "--rows", "160", "--t-range", "1e999:5"],
             "--t-range: expected START:END in ms, got '1e999:5'"),
            ([nodes, "--rows", "160", "--title", r"$\nosuchsymbol$"], "cannot draw the figure: "),
        ]
        out = self.path("never.png")
        plot = runpy.run_path(os.path.join(ARGS.source, "src", "app", "plot_traces.py"))
        for args, message in cases:
            with self.subTest(message=message):
                err = io.StringIO()
                with contextlib.redirect_stderr(err):
                    status = plot["main"](args + ([] if "--out" in args else ["--out", out]))
                self.assertEqual(status, 1, err.getvalue())
                self.assertIn(": error: " + message, err.getvalue())
        self.assertFalse(os.path.exists(out) or os.path.exists(self.path("never.foo")))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
