"""How much the labels of a set of graphs vary: what a network could learn from them."""

from __future__ import annotations

import hashlib
import math
import os
from array import array
from collections import Counter
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .._results import dof_of

__all__ = ["LabelSummary", "summarize"]


@dataclass(frozen=True)
class LabelSummary:
    """The variety of a set of labelled graphs; ``print`` it for a small table.

    Attributes
    ----------
    graphs : int
        How many graphs were read.
    rigid_fraction : float
        The share of rigid graphs (NaN for no graphs).
    independent_share_mean, independent_share_std : float
        Mean and standard deviation, over the graphs with at least one bar, of each
        graph's share of independent bars (NaN when there is no such graph).
    distinct_label_vectors : int
        Distinct label vectors counted together with the bars they label: two graphs
        count once only when they list the same bars in the same order with the same
        labels (for complete-graph results, whose bars are the candidate pairs, when
        they have the same labels and nodes).
    distinct_label_patterns : int
        Distinct label vectors as bare 0/1 strings, whatever bars they label.  Near
        the threshold of rigidity most bars are independent, so this stays far below
        the number of graphs even when every graph differs.
    dof_histogram : dict of int to int
        Number of graphs by degrees of freedom (max_rank - rank), ascending.
    labelling : str or None
        For a dataset directory, how its bars were labelled as its manifest records it
        (e.g. ``"numeric, orthogonal arithmetic, tol 1e-09"``); None for graphs given
        directly.

    Vectors are compared by 64-bit BLAKE2b digests: two different vectors share one
    with a chance of about 1e-12 in a million graphs.
    """

    graphs: int
    rigid_fraction: float
    independent_share_mean: float
    independent_share_std: float
    distinct_label_vectors: int
    distinct_label_patterns: int
    dof_histogram: dict[int, int]
    labelling: str | None = None

    def __str__(self) -> str:
        percent = 100.0 * self.distinct_label_vectors / self.graphs if self.graphs else math.nan
        dof = "  ".join(f"{dof}: {count}" for dof, count in self.dof_histogram.items()) or "-"
        rows = [
            ("graphs", f"{self.graphs}"),
            ("rigid fraction", f"{self.rigid_fraction:.3f}"),
            ("independent-bar share", f"{self.independent_share_mean:.3f} ± {self.independent_share_std:.3f} (mean ± std)"),
            (
                "distinct label vectors",
                f"{self.distinct_label_vectors} ({percent:.1f} %) with their bars, "
                f"{self.distinct_label_patterns} as bare 0/1 strings",
            ),
            ("degrees of freedom", dof),
            *([("labelled by", self.labelling)] if self.labelling is not None else []),
        ]
        width = max(len(name) for name, _ in rows)
        return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)


def summarize(graphs_or_dataset: Iterable[Mapping[str, Any]] | str | os.PathLike[str]) -> LabelSummary:
    """Measure how the labels of a set of graphs vary.

    Parameters
    ----------
    graphs_or_dataset : iterable of dict, or path
        Graphs of `generate_graph_batch`, results of ``tarvel.simulate`` /
        ``tarvel.generate_training_batch``, or the directory of a dataset written by
        `write_dataset` (read shard by shard, in bounded memory).

    Returns
    -------
    LabelSummary
        Rigid fraction, mean and spread of the independent-bar share, distinct label
        vectors and the histogram of degrees of freedom.

    Raises
    ------
    KeyError
        A graph lacks ``"labels"``, ``"is_rigid"``, ``"max_rank"`` or a rank
        (``"rank"`` or ``"final_rank"``).
    """
    labelling = None
    if isinstance(graphs_or_dataset, (str, os.PathLike)):
        from pathlib import Path

        from . import _manifest
        from .store import read_dataset

        labelling = _manifest.labelling(_manifest.load(Path(graphs_or_dataset).absolute()))
        graphs_or_dataset = read_dataset(graphs_or_dataset)
    tally = _Tally()
    for graph in graphs_or_dataset:
        tally.add(graph)
    return replace(tally.summary(), labelling=labelling)


class _Tally:
    """Running counts: Welford's mean and variance of the shares, digests in flat arrays."""

    def __init__(self) -> None:
        self.graphs = 0
        self.rigid = 0
        self.with_bars = 0
        self.mean = 0.0
        self.squares = 0.0
        self.vectors = array("Q")
        self.patterns = array("Q")
        self.dof: Counter[int] = Counter()

    def add(self, graph: Mapping[str, Any]) -> None:
        labels = np.asarray(graph["labels"], dtype=np.uint8)
        self.graphs += 1
        self.rigid += bool(graph["is_rigid"])
        self.dof[dof_of(graph)] += 1
        if labels.size:
            share = float(np.count_nonzero(labels)) / labels.size
            self.with_bars += 1
            step = share - self.mean
            self.mean += step / self.with_bars
            self.squares += step * (share - self.mean)
        bars = np.asarray(graph["edges"], dtype=np.int64).tobytes() if "edges" in graph else b"n%d" % graph["n_nodes"]
        self.vectors.append(_digest(bars + b"|" + labels.tobytes()))
        self.patterns.append(_digest(labels.tobytes()))

    def summary(self) -> LabelSummary:
        some = self.with_bars > 0
        return LabelSummary(
            graphs=self.graphs,
            rigid_fraction=self.rigid / self.graphs if self.graphs else math.nan,
            independent_share_mean=self.mean if some else math.nan,
            independent_share_std=math.sqrt(self.squares / self.with_bars) if some else math.nan,
            distinct_label_vectors=_distinct(self.vectors),
            distinct_label_patterns=_distinct(self.patterns),
            dof_histogram=dict(sorted(self.dof.items())),
        )


def _digest(data: bytes) -> int:
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


def _distinct(digests: array[int]) -> int:
    return int(np.unique(np.frombuffer(digests, dtype=np.uint64)).size) if digests else 0
