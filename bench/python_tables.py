#!/usr/bin/python3
"""Labelled results of a large run: the time and the memory that
Result.to_pandas() and Result.to_xarray() take on top of the run's arrays,
the first call (which gathers the kept nodes' row-map records) and a later
one. pandas and xarray are imported before the clock starts.

    build/make_contract --nodes 10000 --degree 20 --inputs 100 --out /tmp/c10k.json
    PYTHONPATH=build/python /usr/bin/python3 bench/python_tables.py /tmp/c10k.json
"""

import sys
import time
import tracemalloc

import pandas  # noqa: F401 (imported before timing)
import xarray  # noqa: F401

import vesk

contract = vesk.load_contract(sys.argv[1], check=False)
result = vesk.run(contract, 180, every=10)
print(f"run: {result.nodes.shape[0]} samples x {result.nodes.shape[1]} nodes, "
      f"{result.nodes.nbytes / 1e6:.1f} MB of values")
for name in ("to_pandas", "to_xarray", "to_pandas", "to_xarray"):
    tracemalloc.start()
    start = time.perf_counter()
    table = getattr(result, name)()
    seconds = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    shared = table.values.base is not None or table.values is result.nodes
    print(f"{name}: {seconds * 1e3:.1f} ms, {peak / 1e6:.2f} MB allocated at most, "
          f"values {'shared with' if shared else 'copied from'} the Result")
