"""Timing helpers: medians of repeated runs and ratios against a baseline timed in the same run."""

import statistics
import time
from dataclasses import dataclass


def median_seconds(fn, repeat=7, number=1, warmup=1):
    """Median wall time of `number` calls of fn, over `repeat` runs."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


@dataclass
class Comparison:
    name: str
    ours: float
    baseline_name: str
    baseline: float
    goal: str = ""

    @property
    def ratio(self):
        return self.ours / self.baseline

    def row(self):
        return (
            f"{self.name:<44} {format_time(self.ours):>10}  {self.baseline_name:<34} "
            f"{format_time(self.baseline):>10}  {self.ratio:>9.3g}x  {self.goal}"
        )


HEADER = f"{'benchmark':<44} {'median':>10}  {'baseline':<34} {'median':>10}  {'ours/base':>10}  goal"


def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


def compare(name, ours, baseline_name, baseline, goal="", repeat=7, number=1):
    """Times ours and the baseline alternately, so drift affects both alike."""
    ours_times, base_times = [], []
    ours()
    baseline()
    for _ in range(repeat):
        ours_times.append(median_seconds(ours, repeat=1, number=number, warmup=0))
        base_times.append(median_seconds(baseline, repeat=1, number=number, warmup=0))
    return Comparison(name, statistics.median(ours_times), baseline_name, statistics.median(base_times), goal)
