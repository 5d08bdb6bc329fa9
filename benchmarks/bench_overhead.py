"""Call overhead of the smallest function against a built-in of the same shape."""

import math

import tarvel
from harness import compare


def run():
    yield compare(
        "max_independent(10, 2), 10^5 calls",
        lambda: [tarvel.max_independent(10, 2) for _ in range(100_000)],
        "math.gcd(10, 2), 10^5 calls",
        lambda: [math.gcd(10, 2) for _ in range(100_000)],
        goal="<= 2x",
    )
