#!/usr/bin/env python3
"""Runs several instruction files on one model in one batch (vesk.run_batch)
and writes each scenario's files into its own folder as a vesk-sim run
would: nodes.csv (and inputs.csv, row_map.csv when asked) with the same
bytes, stderr.txt with vesk-sim's "Error: ..." line when the scenario
fails, and the status and wall time of the batch. src/app/sweep --batch K
runs it once per K scenarios.

    vesk_batch.py --model FILE (--t-end MS | --n-steps N) [--bindings FILE]
                  [--inputs] [--row-map] SCENARIO DIR [SCENARIO DIR ...]

A scenario that cannot run (its instruction file is unreadable or names no
input of the model) fails alone; the others still run. A failure of what
every scenario shares (the model, the end time, the bindings file) fails
them all with the same message. Exit status: 0 when every scenario ran, 1
when one failed, 2 for a usage error.
"""

import argparse
import os
import sys
import time
import warnings


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="vesk_batch.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", required=True)
    # Text, read as vesk-sim reads it (the leading number counts), with its
    # checks and messages.
    parser.add_argument("--t-end")
    parser.add_argument("--n-steps")
    parser.add_argument("--bindings")
    parser.add_argument("--inputs", action="store_true")
    parser.add_argument("--row-map", action="store_true")
    parser.add_argument("pairs", nargs="+", metavar="SCENARIO DIR")
    args = parser.parse_args(argv)
    if len(args.pairs) % 2:
        parser.error("give a run folder after every scenario")
    args.runs = list(zip(args.pairs[::2], args.pairs[1::2]))
    return args


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def finish(folder, status, seconds, error=None):
    """The files a sweep reads after a run: stderr.txt, seconds, status."""
    write(os.path.join(folder, "stderr.txt"), f"Error: {error}\n" if error else "")
    write(os.path.join(folder, "seconds"), f"{seconds:.2f}\n")
    write(os.path.join(folder, "status"), f"{status}\n")


def fail_all(runs, started, error):
    for _, folder in runs:
        finish(folder, 1, time.monotonic() - started, error)
    return 1


def main(argv):
    args = parse_args(argv)
    started = time.monotonic()
    for _, folder in args.runs:
        write(os.path.join(folder, "stdout.txt"), "")
    try:
        import vesk  # after the usage checks, so that --help works without the module
    except ImportError as e:
        # Every scenario fails with the reason, rather than a traceback and
        # runs the sweep would count as unfinished.
        return fail_all(args.runs, started, f"batch runs need the Python module vesk: {e}")

    # What every scenario shares, checked in vesk-sim's order and words.
    try:
        length, value = vesk._core.command_line_length(args.t_end, args.n_steps)
        contract = vesk.load_contract(args.model)
        vesk._core.command_grid(value if length == "t_end" else -1.0,
                                value if length == "n_steps" else -1)
        clamps = vesk.Clamps.from_file(args.bindings) if args.bindings else None
    except (OSError, vesk.ContractError, vesk.ClampError, vesk.RunError) as e:
        return fail_all(args.runs, started, e)

    runnable = []
    failed = 0
    for scenario, folder in args.runs:
        try:
            schedule = vesk.Schedule.from_file(scenario)
            vesk._core.check_schedule(contract._network, schedule._as_map())
        except (OSError, vesk.ScheduleError) as e:
            finish(folder, 1, time.monotonic() - started, e)
            failed += 1
            continue
        runnable.append((schedule, folder))
    if runnable:
        with warnings.catch_warnings():
            # vesk-sim reports clamp indices that name no node on its
            # standard output, which a batch does not keep.
            warnings.simplefilter("ignore")
            try:
                results = vesk.run_batch(contract, [{"schedule": s, "clamps": clamps}
                                                    for s, _ in runnable],
                                         **{length: value}, inputs=args.inputs)
            except (vesk.RunError, ValueError) as e:
                fail_all(runnable, started, e)
                return 1
        seconds = time.monotonic() - started
        for (_, folder), result in zip(runnable, results):
            result.to_csv(os.path.join(folder, "nodes.csv"),
                          inputs_path=os.path.join(folder, "inputs.csv") if args.inputs else None,
                          row_map_path=os.path.join(folder, "row_map.csv")
                          if args.row_map else None)
            finish(folder, 0, seconds)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
