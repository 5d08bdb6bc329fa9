"""A tour of tarvel on built-in data: run with `make demo`."""

import numpy as np

import tarvel


def section(title):
    print(f"\n== {title}")


def main():
    section("Largest number of independent bars, n*d - d(d+1)/2")
    for n, d in [(4, 2), (10, 2), (10, 3)]:
        print(f"max_independent({n}, {d}) = {tarvel.max_independent(n, d)}")


if __name__ == "__main__":
    main()
