"""Pictures of labelled frameworks and of reconstructions (needs the ``plot`` extra).

Three-dimensional frameworks are drawn in one fixed orthographic view, so that
pictures of different frameworks compare directly: the points are turned by
the azimuth a = 30 degrees about the z axis and seen from the elevation
e = 20 degrees,

    u = x cos a - y sin a
    v = z cos e + (x sin a + y cos a) sin e

(u to the right, v up; the z axis stays vertical).  Two-dimensional ones are
drawn as they are, with equal scales on both axes.

Nodes are discs whose size is a fixed share of the drawing (smaller for many
nodes), so that none hides another: nodes drawn closer than a disc's diameter,
coincident ones included, are moved apart just enough, and their bars follow.
A graph given without positions is laid out by a seeded force-directed layout.
"""

from __future__ import annotations

import colorsys
import math
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from ._results import has_rank, rank_of
from .checks import procrustes_align, procrustes_rmse
from .graph import candidate_edge_index

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = [
    "component_colours",
    "plot_framework",
    "plot_realization",
    "plot_reconstruction",
    "plot_rigid_components",
    "screen_coordinates",
    "spring_layout",
]

Float64Array = npt.NDArray[np.float64]

_AZIMUTH = math.radians(30.0)
_ELEVATION = math.radians(20.0)
# Rows: the screen axes u and v as combinations of x, y and z.
_VIEW_3D = np.array(
    [
        [math.cos(_AZIMUTH), -math.sin(_AZIMUTH), 0.0],
        [
            math.sin(_AZIMUTH) * math.sin(_ELEVATION),
            math.cos(_AZIMUTH) * math.sin(_ELEVATION),
            math.cos(_ELEVATION),
        ],
    ]
)

# Redundant bars are drawn over the independent ones: on a line through three
# nodes the long bar covers the two short ones, and a faint dashed bar on top
# still lets the solid one show through.
_INDEPENDENT_STYLE: dict[str, Any] = {
    "colors": "#1f5fa8", "linewidths": 2.4, "linestyles": "solid", "alpha": 1.0, "zorder": 1,
}
_REDUNDANT_STYLE: dict[str, Any] = {
    "colors": "#d2553a", "linewidths": 1.5, "linestyles": (0, (4, 3)), "alpha": 0.6, "zorder": 2,
}
# Bars of a rigid components picture take their component's colour.
_COMPONENT_BAR: dict[str, Any] = {"linewidths": 2.6, "linestyles": "solid", "alpha": 1.0, "zorder": 1}
_COMPONENT_REDUNDANT_BAR: dict[str, Any] = {"linewidths": 1.6, "linestyles": (0, (4, 3)), "alpha": 0.9, "zorder": 2}
_NO_COMPONENT = "#9a9a9a"
_NODE_FACE = "white"
_NODE_EDGE = "#222222"
_AUTO_NUMBERING_LIMIT = 40
# A node's radius as a share of the drawing's extent, with and without its number.
_NUMBERED_NODE_SHARE = 0.026
_NODE_SHARE = 0.012
# Nodes are kept this much further apart than touching, and moved apart in at most this many passes.
_ROOM = 1.15
_SPREAD_PASSES = 60


def plot_framework(
    positions: npt.ArrayLike,
    result: Mapping[str, Any],
    ax: Axes | None = None,
    *,
    title: str | None = None,
    show_redundant: bool = True,
    number_nodes: bool | None = None,
    legend: bool = True,
) -> Axes:
    """Draw a framework with its bars styled by their labels; return the Axes.

    Independent bars (label 1) are solid and strong, redundant bars (label 0)
    faint and dashed.  Nodes are drawn as circles and numbered (by default
    when there are at most 40 of them).  The title gives the rank, the
    maximum rank and whether the framework is rigid, after ``title`` if one
    is given (for a `pebble_game` result, which has no ranks, the count of
    independent bars).  ``result`` is a dictionary of `simulate`,
    `generate_training_batch` or `pebble_game`; ``positions`` is the ``(n, d)``
    coordinate matrix the result was computed from; 3-D frameworks are
    drawn in the fixed view described in this module's documentation.
    ``ax`` defaults to a new figure's Axes.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    ValueError
        the positions or the labels do not match the result's n and d.
    """
    plt = _pyplot("plot_framework")
    points = screen_coordinates(positions)
    n_nodes = int(result["n_nodes"])
    labels = np.asarray(result["labels"])
    _check_framework(points, np.asarray(positions), labels, n_nodes, int(result["d"]))
    numbered = _numbering_wanted(number_nodes, n_nodes)
    radius = _node_radius(points, numbered)
    points = _spread(points, radius)
    if ax is None:
        ax = plt.subplots(figsize=(5.5, 5.5))[1]

    segments = _bar_segments(points, n_nodes)
    independent = labels == 1
    _draw_bars(ax, segments[independent], _INDEPENDENT_STYLE, f"independent bars ({int(np.sum(independent))})")
    if show_redundant:
        _draw_bars(ax, segments[~independent], _REDUNDANT_STYLE, f"redundant bars ({int(np.sum(~independent))})")
    _draw_nodes(ax, points, numbered, radius)

    ax.set_title(_framework_title(result, title))
    three_d = np.asarray(positions).shape[1] == 3
    _finish_axes(ax, points, three_d)
    if legend:
        _legend_below(ax, three_d)
    return ax


def plot_reconstruction(
    original: npt.ArrayLike,
    reconstructed: npt.ArrayLike,
    ax: Axes | None = None,
    *,
    edges: Iterable[tuple[int, int]] | None = None,
    title: str | None = None,
) -> Axes:
    """Draw a reconstruction over its original after the Procrustes fit; return the Axes.

    ``reconstructed`` (for example ``tarvel.reconstruct(...)["coords"]``) is
    moved onto ``original`` by `procrustes_align`, then both are drawn:
    the original as filled dots, the aligned reconstruction as crosses, a
    thin line joining each pair of corresponding points.  ``edges`` (pairs
    of node numbers, e.g. a result's ``accepted_edges``) are drawn as bars
    of both.  The title reports the RMSE of the fit.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    ValueError
        as `procrustes_align`.
    """
    plt = _pyplot("plot_reconstruction")
    aligned = procrustes_align(original, reconstructed)
    rmse = procrustes_rmse(original, reconstructed)
    target_points = screen_coordinates(original)
    aligned_points = screen_coordinates(aligned)
    if ax is None:
        ax = plt.subplots(figsize=(5.5, 5.5))[1]

    bars = np.array(list(edges) if edges is not None else [], dtype=np.int64).reshape(-1, 2)
    _draw_layout(ax, target_points, bars, "original", color="#1f5fa8", marker="o")
    _draw_layout(ax, aligned_points, bars, "reconstruction (aligned)", color="#d2553a", marker="x")
    _draw_displacements(ax, target_points, aligned_points)

    heading = f"Procrustes RMSE {rmse:.3g}"
    ax.set_title(f"{title}\n{heading}" if title else heading)
    three_d = aligned.shape[1] == 3
    _finish_axes(ax, np.vstack([target_points, aligned_points]), three_d)
    _legend_below(ax, three_d)
    return ax


def plot_rigid_components(
    positions: npt.ArrayLike | None,
    edges: Any,
    ax: Axes | None = None,
    *,
    result: Mapping[str, Any] | None = None,
    title: str | None = None,
    number_nodes: bool | None = None,
    legend: bool = True,
) -> Axes:
    """Draw a graph with each rigid component in its own colour; return the Axes.

    Every bar takes the colour of the component that spans it, each
    component a colour of its own however many there are (a bar in no
    component is grey), independent bars solid and redundant bars dashed.
    The title says whether the graph is rigid and gives its number of
    components and its degrees of freedom, after ``title`` if one is given.

    Parameters
    ----------
    positions : array_like, shape (n, 2) or (n, 3), or None
        Where to draw the nodes; 3-D positions are drawn in the fixed view
        described in this module's documentation. None lays the graph out
        by a seeded force-directed layout.
    edges : array_like, shape (m, 2), or networkx.Graph
        The bars, as node numbers (nodes 0 .. the largest number when
        ``positions`` is None), or a graph, whose nodes are numbered in the
        order of ``G.nodes``.
    result : dict, optional
        ``tarvel_tools.rigidity.pebble_game(n, edges)`` (any k, l); computed
        with (2, 3) when omitted.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure's Axes by default.
    number_nodes : bool, optional
        Write node numbers (default: for at most 40 nodes).
    legend : bool
        Explain the line styles below the drawing.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    ValueError
        The result does not have one label and one component per edge.
    """
    from .rigidity import pebble_game

    plt = _pyplot("plot_rigid_components")
    if given.is_networkx_graph(edges):
        graph = given.undirected_graph(edges, "edges")
        bars, n_nodes = graph.edges, graph.n
    else:
        bars = given.edge_array(edges)
        n_nodes = int(bars.max()) + 1 if bars.size else 0
    if positions is None:
        positions = spring_layout(n_nodes, bars)
    points = screen_coordinates(positions)
    game = pebble_game(len(points), bars) if result is None else result
    labels = np.asarray(game["labels"])
    components = np.asarray(game["edge_component"])
    if labels.shape != (len(bars),) or components.shape != (len(bars),):
        raise ValueError(f"the result has {labels.shape[0]} labels and {components.shape[0]} components for {len(bars)} edges")
    if ax is None:
        ax = plt.subplots(figsize=(5.5, 5.5))[1]

    palette = component_colours(int(components.max()) + 1 if components.size else 0)
    colours = [palette[c] if c >= 0 else _NO_COMPONENT for c in components]
    numbered = _numbering_wanted(number_nodes, len(points))
    radius = _node_radius(points, numbered)
    points = _spread(points, radius)
    segments = np.stack([points[bars[:, 0]], points[bars[:, 1]]], axis=1) if len(bars) else np.empty((0, 2, 2))
    for independent, style in ((True, _COMPONENT_BAR), (False, _COMPONENT_REDUNDANT_BAR)):
        chosen = (labels == 1) == independent
        kind = "independent" if independent else "redundant"
        _draw_bars(ax, segments[chosen], {**style, "colors": [c for c, keep in zip(colours, chosen) if keep]},
                   f"{kind} bars ({int(np.sum(chosen))})")
    _draw_nodes(ax, points, numbered, radius)

    ax.set_title(f"{title}\n{_components_title(game)}" if title else _components_title(game))
    three_d = np.asarray(positions).shape[1] == 3
    _finish_axes(ax, points if len(points) else np.zeros((1, 2)), three_d)
    if legend:
        _legend_of_styles(ax, three_d)
    return ax


def component_colours(count: int) -> list[tuple[float, float, float]]:
    """Return ``count`` distinct RGB colours, the strongest first.

    The ten of matplotlib's ``tab10``, then the light halves of ``tab20``
    and the colours of ``tab20b`` and ``tab20c`` (no two equal), then hues
    spaced by the golden angle at three lightness levels.
    """
    from matplotlib import colormaps

    table = [tuple(colour[:3]) for colour in colormaps["tab10"].colors]  # type: ignore[attr-defined]
    for name in ("tab20", "tab20b", "tab20c"):
        for colour in colormaps[name].colors:  # type: ignore[attr-defined]
            if tuple(colour[:3]) not in table:
                table.append(tuple(colour[:3]))
    k = 0
    while len(table) < count:
        hue, lightness = (k * 0.618033988749895) % 1.0, (0.45, 0.3, 0.62)[k % 3]
        colour = colorsys.hls_to_rgb(hue, lightness, 0.75)
        if colour not in table:
            table.append(colour)
        k += 1
    return [(float(r), float(g), float(b)) for r, g, b in table[:count]]


def spring_layout(n_nodes: int, edges: npt.ArrayLike, *, seed: int = 0, iterations: int = 200) -> Float64Array:
    """Return ``(n, 2)`` positions of a graph by a force-directed layout (Fruchterman and Reingold, 1991).

    Bars pull their ends together and all nodes push each other apart; the
    moves cool down linearly over ``iterations`` steps from a seeded random
    start, so the same graph and seed give the same picture. Time O(n²) per
    step: meant for graphs that are drawn, up to some thousands of nodes.
    """
    bars = given.edge_array(edges)
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 1.0, (n_nodes, 2))
    if n_nodes < 2:
        return points
    ideal = 1.0 / math.sqrt(n_nodes)  # the distance at which pull and push balance
    for step in range(iterations):
        delta = points[:, None, :] - points[None, :, :]
        distance = np.maximum(np.linalg.norm(delta, axis=2), 1e-9)
        # Push ideal² / distance, along delta / distance.
        force = np.einsum("ijk,ij->ik", delta, ideal**2 / distance**2)
        along = points[bars[:, 0]] - points[bars[:, 1]]
        length = np.maximum(np.linalg.norm(along, axis=1), 1e-9)
        pull = along * (length / ideal)[:, None]  # pull: length² / ideal
        np.add.at(force, bars[:, 0], -pull)
        np.add.at(force, bars[:, 1], pull)
        size = np.maximum(np.linalg.norm(force, axis=1), 1e-9)
        limit = 0.1 * (1.0 - step / iterations)
        points += force * (np.minimum(size, limit) / size)[:, None]
    return points


def screen_coordinates(positions: npt.ArrayLike) -> Float64Array:
    """Return the 2-D drawing coordinates of ``(n, 2)`` or ``(n, 3)`` positions.

    2-D positions are returned as a float64 copy; 3-D ones are projected by
    the fixed view of this module (azimuth 30 degrees, elevation 20 degrees).
    """
    points = np.asarray(positions, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] not in (2, 3):
        raise ValueError(f"positions must have shape (n, 2) or (n, 3), got {points.shape}")
    if points.shape[1] == 3:
        projected: Float64Array = points @ _VIEW_3D.T
        return projected
    return points.copy()


def _pyplot(caller: str) -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(f"{caller} needs matplotlib: pip install 'tarvel[plot]'") from error
    return plt


def _check_framework(
    points: Float64Array, positions: npt.NDArray[Any], labels: npt.NDArray[Any], n_nodes: int, d: int
) -> None:
    if positions.shape != (n_nodes, d):
        raise ValueError(f"positions have shape {positions.shape}, but the result is for {n_nodes} nodes in d={d}")
    if labels.shape != (n_nodes * (n_nodes - 1) // 2,):
        raise ValueError(f"labels have shape {labels.shape}, which does not fit {n_nodes} nodes")
    if not np.all(np.isfinite(points)):
        raise ValueError("positions hold NaN or infinite coordinates")


def _bar_segments(points: Float64Array, n_nodes: int) -> Float64Array:
    """Segments of all candidate bars, in candidate order: shape (m, 2, 2)."""
    edge_index = candidate_edge_index(n_nodes)
    return np.stack([points[edge_index[0]], points[edge_index[1]]], axis=1)


def _draw_bars(ax: Axes, segments: Float64Array, style: Mapping[str, Any], label: str) -> None:
    from matplotlib.collections import LineCollection

    bars = LineCollection(list(segments), label=label, capstyle="round", **style)
    ax.add_collection(bars)


def _node_radius(points: Float64Array, numbered: bool) -> float:
    """The radius of a node's disc in drawing units: a share of the drawing, smaller when the nodes are many."""
    span = float(np.max(np.ptp(points, axis=0))) if len(points) else 0.0
    span = span if span > 0 else 1.0
    share = _NUMBERED_NODE_SHARE if numbered else _NODE_SHARE
    return span * min(share, 0.3 / math.sqrt(max(len(points), 1)))


def _spread(points: Float64Array, radius: float) -> Float64Array:
    """The points moved apart until no two are closer than a node's diameter (with a little room).

    Each pass pushes every pair that is too close apart along the line through
    them, by half the shortfall each, coincident pairs in a direction drawn from
    a fixed seed; points far from all others do not move.
    """
    apart = 2.0 * _ROOM * radius
    spread = points.copy()
    directions = np.random.default_rng(0)
    for _ in range(_SPREAD_PASSES):
        pairs = _close_pairs(spread, apart * (1.0 - 1e-9))
        if not len(pairs):
            break
        delta = spread[pairs[:, 1]] - spread[pairs[:, 0]]
        distance = np.linalg.norm(delta, axis=1)
        coincident = distance < 1e-12 * apart
        angles = directions.uniform(0.0, 2.0 * math.pi, int(np.sum(coincident)))
        delta[coincident] = np.stack([np.cos(angles), np.sin(angles)], axis=1)
        distance[coincident] = 1.0
        push = delta * ((apart * 1.001 - distance * ~coincident) / (2.0 * distance))[:, None]
        moves = np.zeros_like(spread)
        np.add.at(moves, pairs[:, 1], push)
        np.add.at(moves, pairs[:, 0], -push)
        spread += moves
    return spread


def _close_pairs(points: Float64Array, apart: float) -> npt.NDArray[np.intp]:
    """The pairs (i, j) of points closer than ``apart``, found by sweeping them in the order of x."""
    order = np.argsort(points[:, 0], kind="stable")
    ordered = points[order]
    found = []
    for shift in range(1, len(points)):
        near_in_x = ordered[shift:, 0] - ordered[:-shift, 0] < apart
        if not near_in_x.any():
            break  # the x gaps only grow with the shift
        first = np.flatnonzero(near_in_x)
        close = np.linalg.norm(ordered[first + shift] - ordered[first], axis=1) < apart
        found.append(np.stack([order[first[close]], order[first[close] + shift]], axis=1))
    return np.concatenate(found) if found else np.empty((0, 2), dtype=np.intp)


def _draw_nodes(ax: Axes, points: Float64Array, numbered: bool, radius: float) -> None:
    """Discs of a fixed size in drawing units (so they keep apart at any figure size), numbered on request."""
    from matplotlib.collections import EllipseCollection

    diameter = 2.0 * radius
    discs = EllipseCollection(
        diameter, diameter, 0.0, units="xy", offsets=points, offset_transform=ax.transData,
        facecolors=_NODE_FACE, edgecolors=_NODE_EDGE, linewidths=1.2, zorder=3,
    )
    discs.set_gid("nodes")
    ax.add_collection(discs)
    if numbered:
        for number, (x, y) in enumerate(points):
            ax.annotate(str(number), (x, y), ha="center", va="center", fontsize=7.5, zorder=4)


def _numbering_wanted(number_nodes: bool | None, n_nodes: int) -> bool:
    return n_nodes <= _AUTO_NUMBERING_LIMIT if number_nodes is None else number_nodes


def _components_title(game: Mapping[str, Any]) -> str:
    count, dof = len(game["components"]), int(game["dof"])
    verdict = "rigid" if game["is_rigid"] else "flexible"
    components = f"{count} rigid component{'' if count == 1 else 's'}"
    return f"{verdict}: {components}, {dof} degree{'' if dof == 1 else 's'} of freedom"


def _legend_of_styles(ax: Axes, three_d: bool) -> None:
    """A legend of the two line styles in a neutral colour (the colours stand for components)."""
    from matplotlib.lines import Line2D

    handles = [
        Line2D([], [], color=_NODE_EDGE, linewidth=style["linewidths"], linestyle=style["linestyles"], label=label)
        for style, label in ((_COMPONENT_BAR, "independent bar"), (_COMPONENT_REDUNDANT_BAR, "redundant bar"))
    ]
    offset = -0.02 if three_d else -0.07
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, offset), ncol=2, frameon=False,
              fontsize="small", title="colour: rigid component", title_fontsize="small")


def _framework_title(result: Mapping[str, Any], title: str | None) -> str:
    if has_rank(result):
        rigidity = "rigid" if result["is_rigid"] else "not rigid"
        summary = f"rank {rank_of(result)} of max {result['max_rank']}: {rigidity}"
    else:
        summary = f"{len(result['accepted_edges'])} independent bars of {len(result['labels'])}"
    return f"{title}\n{summary}" if title else summary


def _draw_layout(
    ax: Axes, points: Float64Array, bars: npt.NDArray[np.int64], label: str, color: str, marker: str
) -> None:
    from matplotlib.collections import LineCollection

    if len(bars):
        segments = np.stack([points[bars[:, 0]], points[bars[:, 1]]], axis=1)
        ax.add_collection(LineCollection(list(segments), colors=color, linewidths=1.0, alpha=0.35, zorder=1))
    ax.scatter(points[:, 0], points[:, 1], s=55, c=color, marker=marker, linewidths=2.0, label=label, zorder=3)


def _draw_displacements(ax: Axes, start: Float64Array, end: Float64Array) -> None:
    from matplotlib.collections import LineCollection

    segments = np.stack([start, end], axis=1)
    ax.add_collection(LineCollection(list(segments), colors="#444444", linewidths=0.8, zorder=2))


def _legend_below(ax: Axes, three_d: bool) -> None:
    # 2-D pictures keep their tick labels, which the legend must clear.
    offset = -0.02 if three_d else -0.07
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, offset), ncol=2, frameon=False, fontsize="small")


def _finish_axes(ax: Axes, points: Float64Array, three_d: bool) -> None:
    """Equal scales and a margin around every point (collections do not update the limits)."""
    low = points.min(axis=0)
    high = points.max(axis=0)
    margin = 0.08 * max(float(np.max(high - low)), 1e-12)
    ax.set_xlim(low[0] - margin, high[0] + margin)
    ax.set_ylim(low[1] - margin, high[1] + margin)
    ax.set_aspect("equal", adjustable="box")
    if three_d:
        ax.set_axis_off()


def plot_realization(
    result: Any,
    edges: npt.ArrayLike,
    truth: npt.ArrayLike | None = None,
    ax: Axes | None = None,
    *,
    title: str | None = None,
    align: bool = True,
) -> Axes:
    """Draw a realization from bar lengths, its bars coloured by residual; return the Axes.

    Every bar is drawn between its fitted end points, coloured by the
    magnitude of its residual (fitted minus given length) on the scale of
    the colour bar. Nodes the lengths do not determine (``trusted`` False)
    are marked with red crosses. With ``truth`` (the true ``(n, d)``
    positions) the realization is first moved onto it by `procrustes_align`
    (unless ``align`` is False, e.g. for an anchored result that is placed
    already), the true positions are drawn as grey circles joined to the
    fitted ones, and the title reports the RMSE against them.

    Parameters
    ----------
    result : Realization
        A result of `tarvel_tools.realization.realize`.
    edges : array_like, shape (m, 2)
        The bars the result was fitted to, in the same order.
    truth : array_like, shape (n, d), optional
        The true positions, to compare with.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure's Axes by default.
    title : str, optional
        A first title line.
    align : bool
        Move the realization onto ``truth`` before drawing (default True).

    Raises
    ------
    ImportError
        matplotlib is not installed.
    ValueError
        The edges or the truth do not fit the result.
    """
    from matplotlib.collections import LineCollection

    plt = _pyplot("plot_realization")
    fitted = np.asarray(result.positions, dtype=np.float64)
    residuals = np.abs(np.asarray(result.residuals, dtype=np.float64))
    bars = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    if len(bars) != len(residuals):
        raise ValueError(f"edges: {len(bars)} bars for a result with {len(residuals)} residuals")
    heading = f"stress {result.stress:.3g}, unique: {result.unique}"
    if truth is not None:
        target = np.asarray(truth, dtype=np.float64)
        if target.shape != fitted.shape:
            raise ValueError(f"truth has shape {target.shape}, the result's positions {fitted.shape}")
        if align:
            fitted = procrustes_align(target, fitted)
        rmse = float(np.sqrt(np.mean(np.sum((fitted - target) ** 2, axis=1))))
        heading += f", RMSE vs truth {rmse:.3g}"
    points = screen_coordinates(fitted)
    if ax is None:
        ax = plt.subplots(figsize=(6.5, 5.5))[1]

    if truth is not None:
        true_points = screen_coordinates(target)
        _draw_displacements(ax, true_points, points)
        ax.scatter(true_points[:, 0], true_points[:, 1], s=22, facecolors="none", edgecolors="#8a8a8a",
                   linewidths=1.0, label="truth", zorder=2)
    segments = np.stack([points[bars[:, 0]], points[bars[:, 1]]], axis=1) if len(bars) else np.empty((0, 2, 2))
    coloured = LineCollection(list(segments), cmap="plasma", linewidths=1.4, zorder=1)
    coloured.set_array(residuals)
    ax.add_collection(coloured)
    ax.figure.colorbar(coloured, ax=ax, shrink=0.8, label="|residual| of the bar")
    ax.scatter(points[:, 0], points[:, 1], s=10, c=_NODE_EDGE, label="realization", zorder=3)
    doubtful = ~np.asarray(result.trusted, dtype=bool)
    if np.any(doubtful):
        ax.scatter(points[doubtful, 0], points[doubtful, 1], s=45, marker="x", c="#d62728", linewidths=1.6,
                   label=f"not determined ({int(np.sum(doubtful))})", zorder=4)
    ax.set_title(f"{title}\n{heading}" if title else heading)
    three_d = fitted.shape[1] == 3
    everything = points if truth is None else np.vstack([points, screen_coordinates(target)])
    _finish_axes(ax, everything, three_d)
    _legend_below(ax, three_d)
    return ax
