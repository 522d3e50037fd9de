"""How an exploration spends the cores: scenarios per batch (lanes), threads
per run and runs side by side, chosen from short runs of the contract at
hand, since whether a batch or a second thread pays depends on the model
and the machine."""

import concurrent.futures as cf
import contextlib
import math
import os
import time

import numpy as np

from . import _core
from .simulation import _run_threads, _threads, run, run_batch

# Two lanes seldom pay: a batch's own costs are not yet shared out.
LANES = (1, 4, 8)
# The share of the exploration's own estimated time that measuring may
# take, and at most this many seconds.
MEASURE_SHARE = 0.03
MEASURE_SECONDS = 3.0
# An exploration whose plain loop would take less than this (s) takes the
# plan chosen without measuring: measuring would cost more than a better
# plan could save.
MIN_SECONDS = 30.0
# A measured run shorter than this many steps says little.
MIN_STEPS = 10
# Another plan must beat the one chosen without measuring by this much to be
# taken: the measurements are short and the machine may be busy.
MARGIN = 1.15


class Plan:
    """lanes: points per batch; threads: VESK_THREADS of each run (None:
    as the environment says); side_by_side: runs at once (threads of this
    process, or the executor's slots); batch_seconds: a batch's estimated
    time on one slot (None when not measured); why: the measurements."""

    def __init__(self, lanes, threads, side_by_side, batch_seconds=None, why="given"):
        self.lanes, self.threads, self.side_by_side = lanes, threads, side_by_side
        self.batch_seconds, self.why = batch_seconds, why

    def describe(self):
        threads = "as the environment says" if self.threads is None else self.threads
        return (f"lanes={self.lanes} threads={threads} side_by_side={self.side_by_side} "
                f"({self.why})")


def available_cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def executor_slots(executor):
    """How many tasks the executor runs at once, as far as it says."""
    if executor is None:
        return available_cpus()
    if hasattr(executor, "nthreads") and hasattr(executor, "scatter"):  # dask Client
        return max(1, sum(executor.nthreads().values()))
    return max(1, getattr(executor, "_max_workers", None) or available_cpus())


@contextlib.contextmanager
def run_threads(threads):
    """The runs this Python thread starts inside take `threads` threads
    (None: as VESK_THREADS or the CPUs say)."""
    before = _threads()
    _run_threads.count = threads or 0
    try:
        yield
    finally:
        _run_threads.count = before


def _samples(settings):
    if settings["n_steps"] is not None:
        return int(settings["n_steps"])
    if settings["t_end"] is None:
        return MIN_STEPS
    return int(float(settings["t_end"]) / (settings["h"] or 0.1)) + 1


def _measure(job, lanes, threads, side_by_side, steps):
    """Samples per second (of all points together) of `side_by_side`
    batches of `lanes` scenarios run at once with `threads` threads each:
    from runs of `steps` and of 2 * `steps` samples, so that what a run
    costs once (its set-up, its threads) drops out, which would otherwise
    favour a batch, whose lanes share it, in runs this short."""
    s = job.settings
    options = dict(h=s["h"], record=s["record"], every=s["every"])

    def one(n):
        with run_threads(threads):
            if lanes == 1:
                run(job.contract, n_steps=n, **options)
            else:
                run_batch(job.contract, [{}] * lanes, n_steps=n, **options)

    def wall(n):
        start = time.perf_counter()
        if side_by_side == 1:
            one(n)
        else:
            with cf.ThreadPoolExecutor(side_by_side) as pool:
                for f in [pool.submit(one, n) for _ in range(side_by_side)]:
                    f.result()
        return time.perf_counter() - start

    short = wall(steps)
    extra = wall(2 * steps) - short
    if extra < 0.5 * short:
        # Twice the steps should take nearly twice as long: something else
        # upset one of the two, so take the rate of both together, which
        # can only undercount.
        return lanes * side_by_side * 3 * steps / (2 * short + extra)
    return lanes * side_by_side * steps / extra


def choose_plan(contract, job, points, executor, lanes, threads, side_by_side):
    """The Plan for `points` points: the given settings; the rest as
    spread_plan says or, for an exploration long enough to pay for it,
    measured, each candidate once."""
    cpus = available_cpus()
    # An executor's slots may run tasks side by side; how many to keep in
    # flight is measured here like runs side by side in this process, and
    # scaled to the executor's slots.
    slots = executor_slots(executor) if executor is not None else None

    def at_once(j):
        # Runs side by side here, or tasks in flight on the executor.
        return j if slots is None or side_by_side is not None else max(1, slots * j // cpus)

    # The plan taken without measuring. A model whose runs take one thread
    # anyway (too small for a second to pay) runs one single-threaded run
    # per CPU side by side, which can only use the CPUs better; a larger
    # one runs as the plain loop, on its own threads, which on such models
    # may beat runs side by side (each of them reads all the weights).
    loop, spread = (1, None, 1), (1, 1, cpus)
    several = cpus > 1 or slots
    base = spread if several and _core.run_thread_count(contract._network) == 1 else loop
    candidates = [base] + [c for c in [(n, None, 1) for n in LANES] if c != base]
    if several:
        candidates += [c for c in [(n, 1, cpus) for n in LANES] if c != base]
    if threads is not None or side_by_side is not None:
        candidates = [(n, threads, side_by_side or (1 if threads is None else
                                                     max(1, cpus // threads)))
                      for n in LANES]
    # Batches no larger than keeps every slot busy: 8 points as one batch of
    # 8 would leave a second slot idle.
    candidates = [c for c in candidates if lanes in (None, c[0]) and
                  c[0] <= max(1, math.ceil(points / at_once(c[2])))]
    if not candidates:
        candidates = [(lanes or 1, threads, side_by_side or 1)]

    def plan(choice, batch_seconds=None, why="given"):
        n, t, j = choice
        return Plan(n, t, at_once(j), batch_seconds, why)

    base = candidates[0]
    if len(candidates) == 1 or points == 0:
        return plan(base)
    # One short run, after one to warm up, prices a step of the plain loop.
    _measure(job, *loop, MIN_STEPS)
    step_rate = _measure(job, *loop, 2 * MIN_STEPS)
    full = _samples(job.settings)
    loop_seconds = points * full / step_rate
    budget = min(MEASURE_SECONDS, MEASURE_SHARE * loop_seconds)
    per_candidate = budget / len(candidates)
    if loop_seconds < MIN_SECONDS or per_candidate * step_rate < MIN_STEPS:
        return plan(base, full / step_rate * base[0],
                    f"a loop of about {loop_seconds:.2g} s: too short to measure")
    rates, steps = {}, {}
    deadline = time.perf_counter() + 2 * budget
    for choice in candidates:
        if time.perf_counter() > deadline and rates:
            break
        n, _t, j = choice
        # _measure runs 3 * steps samples.
        steps[choice] = int(min(full, max(MIN_STEPS, per_candidate * step_rate / n / 3)))
        try:
            rates[choice] = _measure(job, *choice, steps[choice])
        except _core.RunError:  # e.g. a batch that does not fit in memory
            continue
    if loop in rates:
        rates[loop] = max(rates[loop], step_rate)
    best = max(rates, key=lambda c: rates[c] * (MARGIN if c == base else 1.0))
    if best != base and base in rates:
        # One short measurement each is easily upset by other work on the
        # machine: the winner must beat the base again, measured in turns.
        again = {base: [rates[base]], best: [rates[best]]}
        for _ in range(2):
            for choice in (base, best):
                again[choice].append(_measure(job, *choice, steps[choice]))
        rates[base], rates[best] = (float(np.median(again[c])) for c in (base, best))
        best = max((base, best), key=lambda c: rates[c] * (MARGIN if c == base else 1.0))
    why = "measured points/s: " + ", ".join(
        f"lanes={n} threads={'env' if t is None else t} x{j}: {r / full:.3g}"
        for (n, t, j), r in rates.items())
    # The measured batches ran side by side, each on its own slot.
    batch_seconds = best[0] * best[2] * full / rates[best]
    return plan(best, batch_seconds, why)
