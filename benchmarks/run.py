"""Runs the benchmarks on demand (`make bench`, or `python benchmarks/run.py [group ...]`).

Each line gives our median, the median of a baseline measured in the same run, their
ratio and the goal. Run NumPy/SciPy baselines single-threaded with OpenBLAS's CPU
pinning variables unset for this command alone, as `make bench` does.
"""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import HEADER  # noqa: E402

GROUPS = ["overhead", "simulation", "pebble", "reconstruction", "dataset", "models", "graph", "space", "sparse", "labels"]


def describe_environment():
    import numpy as np

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}")
    try:
        from threadpoolctl import threadpool_info

        for pool in threadpool_info():
            print(f"  {pool.get('internal_api')}: {pool.get('num_threads')} thread(s), {pool.get('architecture')}")
    except ImportError:
        print("  (threadpoolctl not installed: BLAS kernel unknown)")
    for variable in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OPENBLAS_NUM_THREADS"):
        print(f"  {variable}={os.environ.get(variable, '<unset>')}")


def main(argv):
    groups = argv or GROUPS
    unknown = sorted(set(groups) - set(GROUPS))
    if unknown:
        sys.exit(f"unknown benchmark group(s) {unknown}; choose from {GROUPS}")
    describe_environment()
    print(HEADER)
    for group in groups:
        module = importlib.import_module(f"bench_{group}")
        for comparison in module.run():
            print(comparison.row(), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
