#!/usr/bin/python3
"""Tests of tools/plot_traces.py: its CSV readers on small hand-made files,
its option errors, and whole plots of the example model's two scenarios.

Usage: plot_traces_test.py --sim PATH/vesk-sim --source SOURCE_DIR
"""

import argparse
import contextlib
import importlib.util
import io
import os
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def load_plot_module():
    path = os.path.join(ARGS.source, "tools", "plot_traces.py")
    module_source = importlib.util.spec_from_file_location("plot_traces", path)
    module = importlib.util.module_from_spec(module_source)
    module_source.loader.exec_module(module)
    return module


def write(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def distinct_colours(png):
    import matplotlib.image
    import numpy as np

    pixels = matplotlib.image.imread(png)
    rgb = (pixels[..., :3] * 255).round().astype(np.uint8).reshape(-1, 3)
    return len(np.unique(rgb, axis=0))


class Readers(unittest.TestCase):
    def setUp(self):
        self.plot = load_plot_module()
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_short_row_and_bad_number_name_their_line(self):
        nodes = write(self.dir, "short.csv", "time_ms,1,2\n0,1,2\n0.1,1\n")
        with self.assertRaisesRegex(self.plot.PlotError, r"short\.csv:3: the row has fewer fields"):
            self.plot.read_nodes(nodes, [2])
        bad = write(self.dir, "bad.csv", "time_ms,1\n0,x1\n")
        with self.assertRaisesRegex(self.plot.PlotError, r"bad\.csv:2: not a number: 'x1'"):
            self.plot.read_nodes(bad, [1])
        with self.assertRaisesRegex(self.plot.PlotError, r"no column for row 7"):
            self.plot.read_nodes(nodes, [7])
        other = write(self.dir, "other.csv", "a,b\n1,2\n")
        with self.assertRaisesRegex(self.plot.PlotError, "not a vesk-sim trace file"):
            self.plot.read_nodes(other, [1])

    def test_input_windows_run_from_first_active_to_first_inactive_sample(self):
        inputs = write(self.dir, "inputs.csv",
                       "time_ms,40,43\n0,0,100\n1,100,100\n2,100,0\n3,0,0\n4,100,0\n5,100,0\n")
        self.assertEqual(sorted(self.plot.read_input_windows(inputs)),
                         [("40", 1.0, 3.0), ("40", 4.0, 5.0), ("43", 0.0, 2.0)])


class Plots(unittest.TestCase):
    """Runs the example model's success and fail scenarios once and plots them."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        src = ARGS.source
        for scenario in ("success", "fail"):
            run = os.path.join(cls.dir, scenario)
            os.mkdir(run)
            subprocess.run(
                [ARGS.sim, "--model", os.path.join(src, "data", "kaldo_contract.json"),
                 "--t-end", "120",
                 "--instructions", os.path.join(src, "examples", f"QA_3NVN_O_{scenario}.txt"),
                 "--bindings",
                 os.path.join(src, "examples", "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"),
                 "--output", os.path.join(run, "nodes.csv"),
                 "--output-inputs", os.path.join(run, "inputs.csv"),
                 "--output-row-map", os.path.join(run, "row_map.csv")],
                check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def plot(self, *args):
        tool = os.path.join(ARGS.source, "tools", "plot_traces.py")
        return subprocess.run([sys.executable, tool, *args], capture_output=True, text=True)

    def test_plots(self):
        success, fail = self.path("success"), self.path("fail")
        cases = [
            # One run, nodes by metadata.
            ("one.png", 20000, [os.path.join(success, "nodes.csv"),
                                "--inputs", os.path.join(success, "inputs.csv"),
                                "--row-map", os.path.join(success, "row_map.csv"),
                                "--select", "pop_typ=word", "--select", "pop_id=W[0-3]"]),
            # Two runs side by side.
            ("demo.png", 30000, [os.path.join(success, "nodes.csv"), os.path.join(fail, "nodes.csv"),
                                 "--inputs", os.path.join(success, "inputs.csv"),
                                 os.path.join(fail, "inputs.csv"), "--labels", "success", "fail",
                                 "--row-map", os.path.join(success, "row_map.csv"),
                                 "--select", "pop_id=W[0-3]"]),
            # Rows, without inputs or row map.
            ("rows.png", 10000, [os.path.join(fail, "nodes.csv"), "--rows", "160-166,697",
                                 "--t-range", "0:60"]),
        ]
        for name, min_bytes, args in cases:
            with self.subTest(name):
                png = self.path(name)
                r = self.plot(*args, "--out", png)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                self.assertGreater(os.path.getsize(png), min_bytes)
                # Background, axes and text are a few greys; coloured traces
                # and input bands add many more.
                self.assertGreater(distinct_colours(png), 20)

    def test_user_errors(self):
        nodes = self.path("success", "nodes.csv")
        row_map = self.path("success", "row_map.csv")
        out = self.path("never.png")
        cases = [
            ([nodes, "--out", out], "choose nodes with --rows ROWS or --select COLUMN=PATTERN"),
            ([nodes, "--select", "pop_typ=word", "--out", out], "--select needs --row-map"),
            ([nodes, "--row-map", row_map, "--select", "colour=red", "--out", out],
             "--select: no row-map column 'colour'"),
            ([nodes, "--row-map", row_map, "--select", "pop_id=(", "--out", out],
             "--select: bad pattern '('"),
            ([nodes, "--row-map", row_map, "--select", "pop_id=nothing", "--out", out],
             "no node matches the chosen rows"),
            ([nodes, "--rows", "999999", "--out", out],
             "--rows: 999999 is not a node column of the trace file"),
            ([nodes, "--rows", "160", "--inputs", "a.csv", "b.csv", "--out", out],
             "--inputs: give one input-trace file per node-trace file (1)"),
            ([self.path("missing.csv"), "--rows", "160", "--out", out], "cannot open "),
            ([nodes, "--rows", "160", "--out", self.path("no", "such", "dir.png")], "cannot write "),
        ]
        plot = load_plot_module()
        for args, message in cases:
            with self.subTest(message=message):
                err = io.StringIO()
                with contextlib.redirect_stderr(err):
                    status = plot.main(args)
                self.assertEqual(status, 1, err.getvalue())
                self.assertIn(": error: " + message, err.getvalue())
        self.assertFalse(os.path.exists(out))

    def test_too_many_nodes_are_cut_with_a_warning(self):
        png = self.path("many.png")
        r = self.plot(self.path("success", "nodes.csv"), "--row-map", self.path("success", "row_map.csv"),
                      "--select", "pop_typ=word", "--max-lines", "5", "--out", png)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("16 nodes match; plotting the first 5", r.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
