"""write_dataset against one generate_training_batch call making the same graphs without writing.

Each measurement runs in a fresh subprocess, which reports its wall time and its peak
resident memory (ru_maxrss), so one measurement's memory cannot hide another's.
Standalone: `python benchmarks/bench_dataset.py [--graphs N] [--shard-size S] [--repeat R]`.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from harness import HEADER, Comparison

N_NODES = 20
D = 2
SEED = 12345
WORKERS = 2


@dataclass
class MemoryRow:
    name: str
    megabytes: float
    baseline_name: str
    baseline_megabytes: float
    goal: str = ""

    def row(self) -> str:
        return (
            f"{self.name:<44} {self.megabytes:>7.0f} MB  {self.baseline_name:<34} "
            f"{self.baseline_megabytes:>7.0f} MB  {self.megabytes / self.baseline_megabytes:>9.3g}x  {self.goal}"
        )


def child(kind: str, graphs: int, shard_size: int) -> None:
    """One measurement, in this process: prints {"seconds", "cpu_seconds", "peak_mb"} as JSON."""
    import tarvel

    if kind == "single":
        start = time.perf_counter()
        batch = tarvel.generate_training_batch(graphs, N_NODES, D, SEED)
        seconds = time.perf_counter() - start
        del batch
    else:
        from tarvel_tools.dataset import write_dataset

        out = tempfile.mkdtemp(prefix="bench_dataset_")
        try:
            start = time.perf_counter()
            write_dataset(out, graphs, N_NODES, D, SEED, shard_size, workers=WORKERS, progress=False)
            seconds = time.perf_counter() - start
        finally:
            shutil.rmtree(out, ignore_errors=True)
    usage = resource.getrusage(resource.RUSAGE_SELF)
    cpu_seconds = usage.ru_utime + usage.ru_stime
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu_seconds, "peak_mb": usage.ru_maxrss / 1024}))


def measure(kind: str, graphs: int, shard_size: int) -> dict[str, float]:
    package_root = Path(__file__).resolve().parent.parent / "python"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(package_root), env.get("PYTHONPATH")]))
    command = [sys.executable, __file__, "--child", kind, "--graphs", str(graphs), "--shard-size", str(shard_size)]
    output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    result: dict[str, float] = json.loads(output.splitlines()[-1])
    return result


def run(graphs: int = 10**6, shard_size: int = 10_000, repeat: int = 3):
    """Alternates the two measurements `repeat` times and yields the medians."""
    runs: dict[str, list[dict[str, float]]] = {"write": [], "single": []}
    for _ in range(repeat):
        for kind in runs:
            runs[kind].append(measure(kind, graphs, shard_size))
    seconds, cpu, peaks = ({kind: statistics.median(r[key] for r in results) for kind, results in runs.items()}
                           for key in ("seconds", "cpu_seconds", "peak_mb"))
    label = f"{graphs:.0e}".replace("+0", "").replace("+", "")
    yield Comparison(
        f"write_dataset {label} n={N_NODES} {WORKERS}w: {graphs / seconds['write']:,.0f}/s",
        seconds["write"],
        f"one batch call: {graphs / seconds['single']:,.0f}/s",
        seconds["single"],
        ">= 0.8x the rate (ratio <= 1.25)",
    )
    yield Comparison(
        "  the same, CPU time of the process",
        cpu["write"],
        "CPU time of the batch call's process",
        cpu["single"],
        "(2 workers trade CPU time for wall time)",
    )
    yield MemoryRow(
        f"write_dataset peak RSS, shards of {shard_size}",
        peaks["write"],
        "one batch call peak RSS",
        peaks["single"],
        "a few chunks per worker: not the shard, not the dataset",
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--graphs", type=int, default=10**6)
    parser.add_argument("--shard-size", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3, help="alternating runs of each measurement (median)")
    parser.add_argument("--child", choices=("single", "write"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.graphs, args.shard_size)
        return
    print(HEADER)
    for row in run(args.graphs, args.shard_size, args.repeat):
        print(row.row(), flush=True)


if __name__ == "__main__":
    main()
