"""``python -m tarvel_tools realize EDGES.csv --dim 2 [--anchors FILE] --out POSITIONS.csv``.

Reads measured bar lengths (CSV rows ``i, j, length``; node numbers from 0,
an optional header line, blank lines and ``#`` comments skipped), realizes
them with `tarvel_tools.realization.realize` and writes one row per node:
``node, x, y[, z], trusted``. A malformed row is reported in one line naming
the file and the line; the exit status is 1 for bad data, 2 for bad usage.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["add_realize_command", "realize_command"]


class MeasurementFileError(ValueError):
    """A measurement or anchor file that cannot be read, with the line at fault."""


def add_realize_command(commands: Any) -> None:
    """Register the ``realize`` subcommand on an ``add_subparsers`` object."""
    command = commands.add_parser(
        "realize",
        help="place the nodes of a graph from measured bar lengths",
        description="Place the nodes of a graph so that its bars have the measured lengths (rows i, j, length "
        "of EDGES.csv) and write the positions, one row per node: node, x, y[, z], trusted. Prints whether the "
        "lengths determine the shape (global rigidity) and how well the positions fit.",
    )
    command.add_argument("edges", metavar="EDGES.csv", help="measured bars: rows i, j, length")
    command.add_argument("--dim", type=int, choices=(2, 3), default=2, help="dimension (default 2)")
    command.add_argument("--anchors", metavar="FILE", help="known positions: rows node, x, y[, z]")
    command.add_argument("--seed", type=int, default=0, help="seed of the start (default 0)")
    command.add_argument("--out", metavar="POSITIONS.csv", required=True, help="where to write the positions")
    command.set_defaults(parser=command)


def realize_command(args: argparse.Namespace) -> int:
    """Run ``realize``; return the exit status."""
    from .realization import realize

    try:
        edges, lengths = read_measurements(args.edges)
        anchors = read_anchors(args.anchors, args.dim) if args.anchors else None
        ends = [int(edges.max()) + 1 if len(edges) else 0] + [int(node) + 1 for node in anchors or {}]
        result = realize(max(ends), edges, lengths, args.dim, anchors=anchors, seed=args.seed)
    except (OSError, ValueError, TypeError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    try:
        write_positions(args.out, result.positions, result.trusted)
    except OSError as error:
        print(f"error: cannot write {args.out}: {error}", file=sys.stderr)
        return 1
    print(result)
    verdict = {True: "the lengths determine the shape (generically globally rigid)",
               False: "the lengths do not determine the shape everywhere: see the trusted column",
               None: "whether the lengths determine the shape is not known in this dimension"}[result.unique]
    print(f"{verdict}; {int(np.sum(result.trusted))} of {len(result.trusted)} nodes trusted; wrote {args.out}")
    return 0


def read_measurements(path: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Edges (m, 2) and lengths (m,) from a CSV file of rows ``i, j, length``."""
    rows = _numeric_rows(path, 3, "i, j, length")
    edges = np.array([[_node(path, line, row[0]), _node(path, line, row[1])] for line, row in rows],
                     dtype=np.int64).reshape(-1, 2)
    lengths = np.array([_length(path, line, row[2]) for line, row in rows], dtype=np.float64)
    if len(edges) == 0:
        raise MeasurementFileError(f"{path}: no measurements")
    return edges, lengths


def read_anchors(path: str, d: int) -> dict[int, list[float]]:
    """Anchors from a CSV file of rows ``node, x, y[, z]``."""
    header = "node, " + ", ".join("xyz"[:d])
    anchors: dict[int, list[float]] = {}
    for line, row in _numeric_rows(path, d + 1, header):
        node = _node(path, line, row[0])
        if node in anchors:
            raise MeasurementFileError(f"{path} line {line}: node {node} is anchored twice")
        anchors[node] = [_coordinate(path, line, value) for value in row[1:]]
    return anchors


def write_positions(path: str, positions: npt.NDArray[np.float64], trusted: npt.NDArray[np.bool_]) -> None:
    axes = ["x", "y", "z"][: positions.shape[1]]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["node", *axes, "trusted"])
        for node, (point, sure) in enumerate(zip(positions, trusted)):
            writer.writerow([node, *(repr(float(value)) for value in point), int(sure)])


def _numeric_rows(path: str, fields: int, meaning: str) -> list[tuple[int, list[str]]]:
    rows: list[tuple[int, list[str]]] = []
    header_allowed = True
    with open(path, newline="", encoding="utf-8") as handle:
        for line, row in enumerate(csv.reader(handle), start=1):
            cells = [cell.strip() for cell in row]
            if not any(cells) or cells[0].startswith("#"):
                continue
            if header_allowed and not _is_number(cells[0]):
                header_allowed = False
                continue
            header_allowed = False
            if len(cells) != fields:
                raise MeasurementFileError(f"{path} line {line}: expected {fields} fields ({meaning}), "
                                           f"got {len(cells)}")
            rows.append((line, cells))
    return rows


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _node(path: str, line: int, text: str) -> int:
    try:
        node = int(text)
    except ValueError:
        raise MeasurementFileError(f"{path} line {line}: node {text!r} is not a whole number") from None
    if node < 0:
        raise MeasurementFileError(f"{path} line {line}: node {node} is negative (nodes are numbered from 0)")
    return node


def _length(path: str, line: int, text: str) -> float:
    value = _coordinate(path, line, text)
    if value <= 0:
        raise MeasurementFileError(f"{path} line {line}: length {text!r} is not positive")
    return value


def _coordinate(path: str, line: int, text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise MeasurementFileError(f"{path} line {line}: {text!r} is not a number") from None
    if not math.isfinite(value):
        raise MeasurementFileError(f"{path} line {line}: {text!r} is not finite")
    return value
