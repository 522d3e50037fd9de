#!/usr/bin/python3
"""Plot node traces of vesk-sim runs over time, with the active input
windows shaded behind them.

Nodes are chosen by row index (--rows) or by row-map metadata (--select
COLUMN=PATTERN, needs --row-map). Only the chosen columns of a trace file are
kept: the header is read first, then the rows are streamed, so traces of any
size can be plotted.

One run:
  plot_traces.py out/success/nodes.csv --inputs out/success/inputs.csv \\
      --row-map out/success/row_map.csv --select pop_typ=word --out words.png

Two runs side by side (same nodes, same axes):
  plot_traces.py out/success/nodes.csv out/fail/nodes.csv \\
      --inputs out/success/inputs.csv out/fail/inputs.csv --labels success fail \\
      --row-map out/success/row_map.csv --select 'pop_id=W[0-3]' --out demo.png
"""

import argparse
import csv
import math
import os
import re
import sys
from array import array

# Installed copies carry another name (vesk-plot-traces).
PROG = os.path.basename(sys.argv[0]) or "plot_traces.py"


# Dots per inch. The widest figure (two runs side by side) stays below the
# 2^16 pixels per side that the image writers take.
MIN_DPI, MAX_DPI = 10, 2400


class PlotError(Exception):
    """A problem with the user's files or options; reported in one line."""


def open_text(path):
    """A text file that any bytes can be read from: those that are not UTF-8
    come out as U+FFFD, to be refused by the readers with the line they are on."""
    try:
        return open(path, newline="", encoding="utf-8", errors="replace")
    except OSError as e:
        raise PlotError(f"cannot open {path}: {e.strerror}") from None


def read_header(path):
    f = open_text(path)
    # The start alone first: a binary file may hold no line break at all.
    start = f.read(len("time_ms"))
    if start != "time_ms":
        f.close()
        raise PlotError(f"{path}: not a vesk-sim trace file (the header does not start with time_ms)")
    header = (start + f.readline()).rstrip("\r\n")
    return f, header.split(",")[1:]


def parse_float(text, path, line_no):
    try:
        return float(text)
    except ValueError:
        raise PlotError(f"{path}:{line_no}: not a number: {text!r}") from None


def stream_columns(f, path, columns):
    """Reads the rest of an open trace file; returns the times and, for each
    requested field index (0 = first value after the time), its values.
    Each line is split only as far as the last requested field."""
    last = max(columns) + 1 if columns else 0
    times = array("d")
    values = [array("d") for _ in columns]
    for line_no, line in enumerate(f, start=2):
        line = line.rstrip("\r\n")
        if not line:
            continue
        fields = line.split(",", last + 1)
        if len(fields) <= last:
            raise PlotError(f"{path}:{line_no}: the row has fewer fields than the header")
        times.append(parse_float(fields[0], path, line_no))
        for k, c in enumerate(columns):
            values[k].append(parse_float(fields[c + 1], path, line_no))
    return times, values


def read_row_map(path):
    """Row index -> {column: text}, with the header's column names."""
    try:
        with open_text(path) as f:
            reader = csv.reader(f)
            header = next(reader, None)
            if not header or header[0] != "row_index":
                raise PlotError(f"{path}: not a vesk-sim row map (the header does not start with row_index)")
            rows = {}
            for line_no, record in enumerate(reader, start=2):
                if not record:
                    continue
                try:
                    index = int(record[0])
                except ValueError:
                    raise PlotError(f"{path}:{line_no}: row_index is not an integer: {record[0]!r}") from None
                rows.setdefault(index, dict(zip(header, record)))
            return header, rows
    except csv.Error as e:
        raise PlotError(f"{path}:{reader.line_num}: {e}") from None
    except OSError as e:
        raise PlotError(f"cannot read {path}: {e.strerror}") from None


def parse_rows(text):
    """'697,604,160-175' -> list of (first, last) inclusive ranges."""
    ranges = []
    for token in text.split(","):
        token = token.strip()
        m = re.fullmatch(r"(-?\d+)(?:-(-?\d+))?", token)
        if not m:
            raise PlotError(f"--rows: not a row index or range: {token!r}")
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) is not None else first
        ranges.append((min(first, last), max(first, last)))
    return ranges


def parse_select(selections, row_map_header):
    selectors = []
    for selection in selections:
        column, sep, pattern = selection.partition("=")
        if not sep:
            raise PlotError(f"--select needs COLUMN=PATTERN, got {selection!r}")
        if column not in row_map_header or column == "row_index":
            names = ", ".join(c for c in row_map_header if c != "row_index")
            raise PlotError(f"--select: no row-map column {column!r} (columns: {names})")
        try:
            selectors.append((column, re.compile(pattern)))
        except re.error as e:
            raise PlotError(f"--select: bad pattern {pattern!r}: {e}") from None
    return selectors


def choose_rows(labels, args, row_map):
    """Row indices (as header labels) to plot, in column order of the file."""
    label_rows = []
    for label in labels:
        try:
            label_rows.append(int(label))
        except ValueError:
            label_rows.append(None)
    wanted = set()
    if args.rows:
        ranges = parse_rows(args.rows)
        for r in label_rows:
            if r is not None and any(a <= r <= b for a, b in ranges):
                wanted.add(r)
        for a, b in ranges:
            if a == b and a not in wanted:
                raise PlotError(f"--rows: {a} is not a node column of the trace file")
    if args.select:
        if row_map is None:
            raise PlotError("--select needs --row-map")
        header, rows = row_map
        selectors = parse_select(args.select, header)
        for r in label_rows:
            meta = rows.get(r) if r is not None else None
            if meta and all(p.fullmatch(meta.get(c, "")) for c, p in selectors):
                wanted.add(r)
    if not args.rows and not args.select:
        raise PlotError("choose nodes with --rows ROWS or --select COLUMN=PATTERN")
    chosen = []
    seen = set()
    for field, r in enumerate(label_rows):
        if r in wanted and r not in seen:  # a repeated label plots its first column
            chosen.append((r, field))
            seen.add(r)
    if not chosen:
        raise PlotError("no node matches the chosen rows")
    if len(chosen) > args.max_lines:
        print(f"{PROG}: {len(chosen)} nodes match; plotting the first {args.max_lines} "
              f"(raise --max-lines to see more)", file=sys.stderr)
        chosen = chosen[: args.max_lines]
    return chosen


def read_nodes(path, rows):
    """Times and one value array per row index in `rows`."""
    f, labels = read_header(path)
    with f:
        fields = {}
        for field, label in enumerate(labels):
            fields.setdefault(label, field)
        missing = [r for r in rows if str(r) not in fields]
        if missing:
            raise PlotError(f"{path}: no column for row {missing[0]}")
        times, values = stream_columns(f, path, [fields[str(r)] for r in rows])
    return times, values


def read_input_windows(path):
    """Active windows of every input column: list of (row label, start, end)
    in ms, a window running from the first sample where the value is non-zero
    to the first sample where it is zero again (or the last sample)."""
    f, labels = read_header(path)
    windows = []
    with f:
        start = [None] * len(labels)
        t = None
        for line_no, line in enumerate(f, start=2):
            line = line.rstrip("\r\n")
            if not line:
                continue
            fields = line.split(",")
            if len(fields) != len(labels) + 1:
                raise PlotError(f"{path}:{line_no}: the row has {len(fields) - 1} values, "
                                f"the header {len(labels)}")
            t = parse_float(fields[0], path, line_no)
            for k, text in enumerate(fields[1:]):
                active = parse_float(text, path, line_no) != 0.0
                if active and start[k] is None:
                    start[k] = t
                elif not active and start[k] is not None:
                    windows.append((labels[k], start[k], t))
                    start[k] = None
        for k, s in enumerate(start):
            if s is not None:
                windows.append((labels[k], s, t))
    return windows


def union(intervals):
    merged = []
    for a, b in sorted(intervals):
        if merged and a <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], b)
        else:
            merged.append([a, b])
    return merged


def name_of(row, row_map):
    if row_map is not None:
        meta = row_map[1].get(row)
        if meta and meta.get("pop_id"):
            return meta["pop_id"]
    return None


def input_name(label, row_map):
    try:
        return name_of(int(label), row_map) or f"input {label}"
    except ValueError:
        return label


def parse_range(text):
    m = re.fullmatch(r"\s*([-+0-9.eE]*)\s*:\s*([-+0-9.eE]*)\s*", text)
    try:
        if not m:
            raise ValueError
        bounds = tuple(float(g) if g else None for g in m.groups())
        if any(b is not None and not math.isfinite(b) for b in bounds):
            raise ValueError
        return bounds
    except ValueError:
        raise PlotError(f"--t-range: expected START:END in ms, got {text!r}") from None


def plot(args):
    # Imported here so that --help and option errors need no plotting stack.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    runs = args.nodes
    if args.max_lines < 1:
        raise PlotError(f"--max-lines must be at least 1, got {args.max_lines}")
    if not MIN_DPI <= args.dpi <= MAX_DPI:
        raise PlotError(f"--dpi must lie between {MIN_DPI} and {MAX_DPI}, got {args.dpi}")
    extension = os.path.splitext(args.out)[1][1:]
    formats = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if extension and extension.lower() not in formats:
        raise PlotError(f"--out {args.out}: no image format '.{extension}' "
                        f"(formats: {', '.join(sorted(formats))})")
    if len(runs) > 2:
        raise PlotError("give one node-trace file, or two to compare side by side")
    if args.inputs and len(args.inputs) != len(runs):
        raise PlotError(f"--inputs: give one input-trace file per node-trace file ({len(runs)})")
    if args.labels and len(args.labels) != len(runs):
        raise PlotError(f"--labels: give one label per node-trace file ({len(runs)})")
    labels = args.labels or [os.path.basename(os.path.dirname(os.path.abspath(p))) or p for p in runs]
    t_range = parse_range(args.t_range) if args.t_range else (None, None)

    row_map = read_row_map(args.row_map) if args.row_map else None
    f, header_labels = read_header(runs[0])
    f.close()
    chosen = [r for r, _ in choose_rows(header_labels, args, row_map)]

    traces = [read_nodes(p, chosen) for p in runs]
    windows = [read_input_windows(p) for p in args.inputs] if args.inputs else None

    # One colour per node and one per active input, the same in every panel.
    node_colors = plt.get_cmap("tab10" if len(chosen) <= 10 else "tab20")
    active_inputs = []
    if windows:
        for label in sorted({w[0] for ws in windows for w in ws}, key=lambda s: (len(s), s)):
            active_inputs.append(label)
    input_colors = plt.get_cmap("Set2")

    n_cols = len(runs)
    strip_height = 0.22 * len(active_inputs) + 0.3 if active_inputs else 0
    fig_height = 4.2 + strip_height
    fig = plt.figure(figsize=(6.4 * n_cols + 2.4, fig_height), layout="constrained")
    if active_inputs:
        grid = fig.add_gridspec(2, n_cols, height_ratios=[strip_height, 4.2])
    else:
        grid = fig.add_gridspec(1, n_cols)

    y_max = max((float(np.nanmax(np.frombuffer(v, dtype=float))) if len(v) else 0.0)
                for _, vs in traces for v in vs)
    y_max = y_max if np.isfinite(y_max) and y_max > 0 else 1.0
    trace_axes = []
    for col, ((times, values), label) in enumerate(zip(traces, labels)):
        ax = fig.add_subplot(grid[-1, col], sharey=trace_axes[0] if trace_axes else None)
        trace_axes.append(ax)
        t = np.frombuffer(times, dtype=float)
        if windows:
            for a, b in union([(s, e) for _, s, e in windows[col]]):
                ax.axvspan(a, b, color="0.88", zorder=0, lw=0)
        for k, (row, v) in enumerate(zip(chosen, values)):
            name = name_of(row, row_map)
            ax.plot(t, np.frombuffer(v, dtype=float), lw=1.2, color=node_colors(k % node_colors.N),
                    label=f"{row} {name}" if name else str(row))
        ax.set_xlabel("time (ms)")
        if col == 0:
            ax.set_ylabel("activity")
        ax.set_ylim(-0.03 * y_max, 1.05 * y_max)
        if len(t):
            ax.set_xlim(t_range[0] if t_range[0] is not None else t[0],
                        t_range[1] if t_range[1] is not None else t[-1])
        ax.grid(True, lw=0.3, alpha=0.5)
        if not active_inputs:
            ax.set_title(label)

        if active_inputs:
            strip = fig.add_subplot(grid[0, col], sharex=ax)
            for lane, name in enumerate(active_inputs):
                spans = [(s, e - s) for lbl, s, e in windows[col] if lbl == name]
                strip.broken_barh(spans, (lane - 0.4, 0.8), color=input_colors(lane % input_colors.N))
            strip.set_yticks(range(len(active_inputs)))
            strip.set_yticklabels([input_name(n, row_map) for n in active_inputs] if col == 0 else [],
                                  fontsize=7)
            strip.set_ylim(len(active_inputs) - 0.5, -0.5)
            strip.tick_params(axis="x", labelbottom=False)
            strip.grid(True, axis="x", lw=0.3, alpha=0.5)
            strip.set_title(label)

    trace_axes[-1].legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8, frameon=False)
    if args.title:
        fig.suptitle(args.title)
    try:
        fig.savefig(args.out, dpi=args.dpi)
    except OSError as e:
        raise PlotError(f"cannot write {args.out}: {e.strerror}") from None
    except ValueError as e:
        # A title or a name with $...$ that is no valid math text.
        raise PlotError(f"cannot draw the figure: {str(e).strip().splitlines()[-1]}") from None
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Plot chosen node traces of one vesk-sim run, or of two side by side, "
                    "with the active input windows shaded.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("nodes", nargs="+", metavar="NODES.csv",
                        help="node-trace CSV (--output); a second one is plotted beside the first")
    parser.add_argument("--inputs", nargs="+", metavar="INPUTS.csv",
                        help="input-trace CSV (--output-inputs), one per node-trace file")
    parser.add_argument("--row-map", metavar="ROW_MAP.csv",
                        help="row-map CSV (--output-row-map): names nodes and inputs, enables --select")
    parser.add_argument("--rows", metavar="LIST",
                        help="row indices to plot, e.g. 697,604,160-175")
    parser.add_argument("--select", action="append", metavar="COLUMN=PATTERN",
                        help="plot nodes whose row-map COLUMN (pop_id, pop_typ, circ_id, ...) "
                             "matches the regular expression PATTERN in full; repeat to narrow")
    parser.add_argument("--labels", nargs="+", metavar="LABEL", help="panel titles, one per run")
    parser.add_argument("--t-range", metavar="START:END", help="time window to show, in ms")
    parser.add_argument("--title", help="figure title")
    parser.add_argument("--max-lines", type=int, default=20, metavar="N",
                        help="plot at most N nodes (default 20)")
    parser.add_argument("--dpi", type=int, default=100, help="resolution of the PNG (default 100)")
    parser.add_argument("--out", "-o", required=True, metavar="FILE.png", help="PNG to write")
    args = parser.parse_args(argv)
    try:
        plot(args)
    except PlotError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
