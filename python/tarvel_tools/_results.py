"""Reading the rank of a labelled graph, whichever function made it.

`tarvel.simulate` and `tarvel.generate_training_batch` name the rank they reached
``final_rank``; the graphs of `tarvel_tools` name it ``rank`` and carry their
degrees of freedom as ``dof``. This module is the one place that reads either, so
that summaries, pictures and graph-learning samples speak of ``rank`` and ``dof``
for every graph.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


def rank_of(result: Mapping[str, Any]) -> int:
    """The rank reached: ``result["rank"]``, or ``result["final_rank"]`` for a result of `tarvel`."""
    return int(result["rank"] if "rank" in result else result["final_rank"])


def dof_of(result: Mapping[str, Any]) -> int:
    """The non-trivial degrees of freedom: ``result["dof"]``, or max_rank - rank where the result has no ``dof``."""
    if "dof" in result:
        return int(result["dof"])
    return max(int(result["max_rank"]) - rank_of(result), 0)


def has_rank(result: Mapping[str, Any]) -> bool:
    """Whether the result reports a rank (a `pebble_game` result does not)."""
    return "rank" in result or "final_rank" in result
