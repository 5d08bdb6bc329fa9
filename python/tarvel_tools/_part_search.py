"""Fitting a small unplaced part of a realization to the placed nodes around it, by sequential sampling.

With exact lengths on a globally rigid graph, and a placed part that is
exact and spans the space, any placement of an unplaced part that fits
every bar inside it and to the placed nodes (those held) is the true one:
together with the truth elsewhere it is a realization of all the lengths,
hence congruent to the truth. So a search may try many starts and knows
when it has succeeded.

The starts are built node by node, most constrained first. A node with
d + 1 or more positioned neighbours is trilaterated; one with d has two
mirror places and both are kept; one with fewer lies on a circle or a
sphere, sampled at several points. Many partial placements are carried at
once (vectorised over them) and, when there are too many, the ones that fit
their bars best are kept. Wherever a node closes a cycle (more lengths than
it needs), the partial placements that miss are moved by a few damped
Gauss-Newton steps on the nodes around it, so a sampled circle point that is
nearly right is pulled onto the truth. The best ones are then fitted on the
whole part; a fit at rounding level is the answer.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]

# Parts larger than this are left to the other repairs (the dense batched fits grow cubically).
LARGEST_PART = 150


@dataclass(frozen=True)
class _Breadth:
    """How wide a search is: partial placements kept, points per circle, and the fits where a cycle closes.

    Those fit the ``fitted`` placements that miss least, moving the nodes
    within ``hops`` bars of the closing node by ``steps`` steps.
    """

    kept: int
    circle_points: int
    hops: int
    steps: int
    fitted: int


# A quick search, which fits most parts in one try (its samples differ each time).
_QUICK = _Breadth(256, 16, 3, 15, 64)
_QUICK_TRIES = 3
# Then, on parts of more than 20 nodes, a broader one (measured on an 86-node part: 4 of 6 tries fit
# it, against none of 6 quick ones; each costs a few quick ones).
_BROAD = _Breadth(512, 16, 3, 15, 128)
_BROAD_TRIES = 3
# On parts of at most 20 nodes, more quick tries and then a wide search, for parts that are nearly
# flexible: placements kept and fitted per node of the part, within bounds (measured: 7 of 8 tries
# fit such a part of 10 nodes, which quick tries do not).
_WIDE_LARGEST = 20
_WIDE_TRIES = 2
_WIDE_PLACEMENTS = 40_960
_WIDE_FITTED = 10_240


def _breadths(size: int) -> list[_Breadth]:
    """The searches tried in turn on a part of this many nodes."""
    if size > _WIDE_LARGEST:
        return [_QUICK] * _QUICK_TRIES + [_BROAD] * _BROAD_TRIES
    kept = int(np.clip(_WIDE_PLACEMENTS // size, 256, 4096))
    fitted = int(np.clip(_WIDE_FITTED // size, 64, 1024))
    return [_QUICK] * (2 * _QUICK_TRIES) + [_Breadth(kept, 16, 3, 60, fitted)] * _WIDE_TRIES


# A fit where a cycle closes stops at this root-mean-square misfit (a share of the median length).
_SETTLED = 1e-10
# Nodes moved by the fit where a cycle closes, at most: the latest positioned near the closing node
# (earlier nodes were settled by the cycles closed since).
WINDOW = 24
# Placements fitted on the whole part at the end of a search, and their steps.
_FINALISTS = 8
_FINAL_STEPS = 30
# A placement fits when its bars' root-mean-square misfit is within this share of the median length
# (or ten times the placed part's own misfit, if larger).
_FIT_SHARE = 1e-9


@dataclass(frozen=True)
class AnchoredPart:
    """A part's bars in its own numbering: ``inner`` between its nodes, ``bound`` to held points."""

    size: int
    inner: Int64Array
    inner_lengths: Float64Array
    bound_nodes: Int64Array
    bound_points: Float64Array
    bound_lengths: Float64Array

    @classmethod
    def of(cls, part: Int64Array, edges: Int64Array, lengths: Float64Array, positions: Float64Array) -> AnchoredPart:
        """The bars at ``part``; every other node on them counts as held at its position."""
        local = np.full(len(positions), -1)
        local[part] = np.arange(len(part))
        inside = local >= 0
        first, second = inside[edges[:, 0]], inside[edges[:, 1]]
        inner = first & second
        bound = first ^ second
        ends = edges[bound]
        flipped = ~inside[ends[:, 0]]
        mine = np.where(flipped, ends[:, 1], ends[:, 0])
        held = np.where(flipped, ends[:, 0], ends[:, 1])
        return cls(len(part), np.ascontiguousarray(local[edges[inner]]), lengths[inner], local[mine],
                   positions[held], lengths[bound])

    def scale(self) -> float:
        return float(np.median(np.concatenate([self.inner_lengths, self.bound_lengths])))


def search(part: AnchoredPart, d: int, rng: np.random.Generator, held_misfit: float) -> Float64Array | None:
    """Positions of the part's nodes that fit all its bars at rounding level, or None if no search found one.

    ``held_misfit`` is the worst misfit of a bar between held nodes: the
    part cannot fit more closely than the points it is held to.
    """
    if len(part.bound_nodes) == 0 or part.size > LARGEST_PART:
        return None
    order = _order(part)
    scale = part.scale()
    goal = max(_FIT_SHARE * scale, 10.0 * held_misfit) ** 2 * (len(part.inner) + len(part.bound_nodes))
    for breadth in _breadths(part.size):
        placements, cost = _sampled(part, d, order, rng, breadth)
        best = np.argsort(cost)[:_FINALISTS]
        fitted, final = fit(placements[best], part, part.bound_points, _FINAL_STEPS, goal)
        winner = int(np.argmin(final))
        if final[winner] <= goal:
            found: Float64Array = fitted[winner]
            return found
    return None


def _order(part: AnchoredPart) -> list[int]:
    """The part's nodes, each next the one with the most positioned neighbours (held ones included)."""
    count = np.bincount(part.bound_nodes, minlength=part.size).astype(np.int64)
    neighbours = _neighbour_lists(part)
    done = np.zeros(part.size, dtype=bool)
    order = []
    for _ in range(part.size):
        v = int(np.argmax(np.where(done, -1, count)))
        order.append(v)
        done[v] = True
        for w in neighbours[v]:
            count[w] += 1
    return order


def _sampled(part: AnchoredPart, d: int, order: list[int], rng: np.random.Generator,
             breadth: _Breadth) -> tuple[Float64Array, Float64Array]:
    """Placements of the whole part built node by node (see the module's notes), with their misfits."""
    placements = np.zeros((1, part.size, d))
    cost = np.zeros(1)
    positioned = np.zeros(part.size, dtype=bool)
    square = part.scale() ** 2
    neighbours = _neighbour_lists(part)
    rank = np.empty(part.size, dtype=np.int64)
    rank[order] = np.arange(part.size)
    for v in order:
        points, lengths = _positioned_neighbours(part, placements, positioned, v)
        count = points.shape[1]
        choices = 1 if count > d else (2 if count == d else breadth.circle_points)
        placed = _on_spheres(points, lengths, rng, choices)
        placements = np.repeat(placements, choices, axis=0)
        placements[:, v] = placed
        positioned[v] = True
        cost = _misfit(placements, part, positioned) / square
        if count > d:
            missing = np.flatnonzero(cost > 1e-20)
            missing = missing[np.argsort(cost[missing], kind="stable")[:breadth.fitted]]
            if len(missing):
                placements[missing] = _window_fit(placements[missing], part, positioned, neighbours, rank, v, breadth)
                cost[missing] = _misfit(placements[missing], part, positioned) / square
        if len(placements) > breadth.kept:
            kept = np.lexsort((rng.random(len(placements)), cost))[:breadth.kept]
            placements, cost = placements[kept], cost[kept]
    return placements, cost


def _neighbour_lists(part: AnchoredPart) -> list[list[int]]:
    neighbours: list[list[int]] = [[] for _ in range(part.size)]
    for a, b in part.inner.tolist():
        neighbours[a].append(b)
        neighbours[b].append(a)
    return neighbours


def _positioned_neighbours(part: AnchoredPart, placements: Float64Array, positioned: BoolArray,
                           v: int) -> tuple[Float64Array, Float64Array]:
    """The points of v's positioned neighbours in every placement (held ones first), and the lengths to them."""
    count, d = len(placements), placements.shape[2]
    held = part.bound_nodes == v
    points = [np.broadcast_to(part.bound_points[held][None], (count, int(np.sum(held)), d))]
    lengths = [part.bound_lengths[held]]
    for mine, other in ((0, 1), (1, 0)):
        bars = (part.inner[:, mine] == v) & positioned[part.inner[:, other]]
        points.append(placements[:, part.inner[bars, other]])
        lengths.append(part.inner_lengths[bars])
    stacked: Float64Array = np.concatenate(points, axis=1)
    return stacked, np.concatenate(lengths)


def _on_spheres(points: Float64Array, lengths: Float64Array, rng: np.random.Generator,
                choices: int) -> Float64Array:
    """Points at the given lengths from the given points, ``choices`` for each placement.

    The points that fit lie on a sphere of the directions orthogonal to the
    neighbours' affine hull, about its foot in the hull: a single point when
    they span the space (least squares when they disagree), the two mirror
    images when they span a hyperplane, else a circle (evenly spaced points
    from a random angle) or a sphere (random points).
    """
    count, many, d = points.shape
    first = points[:, 0]
    if many == 1:
        spans, foot, inverse = np.zeros((count, 0, d)), np.zeros((count, d)), np.zeros((count, d, 0))
    else:
        spans = points[:, 1:] - first[:, None]
        # |x - q_i|² = l_i² minus the same for q_0: linear in x - q_0 within the hull.
        right = 0.5 * (lengths[0] ** 2 - lengths[1:] ** 2 + np.sum(spans * spans, axis=2))
        inverse = np.linalg.pinv(spans, rcond=1e-8)
        foot = np.einsum("sij,sj->si", inverse, right)
    offsets = np.concatenate([foot[:, None, :], foot[:, None, :] - spans], axis=1)
    height = np.sqrt(np.maximum(np.mean(lengths**2 - np.sum(offsets * offsets, axis=2), axis=1), 0.0))
    orthogonal = np.eye(d)[None] - inverse @ spans  # projects onto the directions orthogonal to the hull
    if many == d - 1:  # a circle: evenly spaced points from a random angle
        first_axis = _unit(np.einsum("sij,sj->si", orthogonal, rng.standard_normal((count, d))))
        second_axis = np.einsum("sij,sj->si", orthogonal, rng.standard_normal((count, d)))
        second_axis = _unit(second_axis - np.sum(second_axis * first_axis, axis=1, keepdims=True) * first_axis)
        turns: Float64Array = rng.random((count, 1)) + np.arange(choices)[None] / choices
        angles = 2.0 * np.pi * turns.ravel()
        direction = (np.cos(angles)[:, None] * np.repeat(first_axis, choices, axis=0)
                     + np.sin(angles)[:, None] * np.repeat(second_axis, choices, axis=0))
    else:
        direction = _unit(np.einsum("sij,sj->si", np.repeat(orthogonal, choices, axis=0),
                                    rng.standard_normal((count * choices, d))))
        if many == d and choices == 2:
            direction[1::2] = -direction[0::2]  # the two mirror images
    placed: Float64Array = np.repeat(first + foot, choices, axis=0) + np.repeat(height, choices)[:, None] * direction
    return placed


def _unit(vectors: Float64Array) -> Float64Array:
    """The rows scaled to length one (rows of length nought, where the hull spans the space, stay nought)."""
    norm = np.linalg.norm(vectors, axis=1, keepdims=True)
    unit: Float64Array = np.where(norm > 1e-9, vectors / np.maximum(norm, 1e-300), 0.0)
    return unit


def _misfit(placements: Float64Array, part: AnchoredPart, positioned: BoolArray) -> Float64Array:
    """The squared misfit of the bars among positioned nodes and to held points, per placement."""
    inner = positioned[part.inner].all(axis=1)
    ends = part.inner[inner]
    within = np.linalg.norm(placements[:, ends[:, 0]] - placements[:, ends[:, 1]], axis=2) - part.inner_lengths[inner]
    held = positioned[part.bound_nodes]
    across = (np.linalg.norm(placements[:, part.bound_nodes[held]] - part.bound_points[held][None], axis=2)
              - part.bound_lengths[held])
    cost: Float64Array = np.sum(within**2, axis=1) + np.sum(across**2, axis=1)
    return cost


def _window_fit(placements: Float64Array, part: AnchoredPart, positioned: BoolArray, neighbours: list[list[int]],
                rank: Int64Array, v: int, breadth: _Breadth) -> Float64Array:
    """The placements with the positioned nodes within a few bars of v fitted, the other nodes held."""
    window = {v}
    for _ in range(breadth.hops):
        window |= {w for u in window for w in neighbours[u] if positioned[w]}
    nodes = np.array(sorted(sorted(window, key=lambda w: -rank[w])[:WINDOW]))
    inside = np.zeros(part.size, dtype=bool)
    inside[nodes] = True
    local = np.full(part.size, -1)
    local[nodes] = np.arange(len(nodes))
    usable = positioned[part.inner].all(axis=1)
    within = usable & inside[part.inner].all(axis=1)
    across = usable & (inside[part.inner[:, 0]] ^ inside[part.inner[:, 1]])
    ends = part.inner[across]
    flipped = ~inside[ends[:, 0]]
    mine = np.where(flipped, ends[:, 1], ends[:, 0])
    other = np.where(flipped, ends[:, 0], ends[:, 1])
    held = inside[part.bound_nodes]
    count, d = len(placements), placements.shape[2]
    sub = AnchoredPart(len(nodes), np.ascontiguousarray(local[part.inner[within]]), part.inner_lengths[within],
                       np.concatenate([local[mine], local[part.bound_nodes[held]]]),
                       np.empty((0, d)), np.concatenate([part.inner_lengths[across], part.bound_lengths[held]]))
    points = np.concatenate([placements[:, other], np.broadcast_to(part.bound_points[held][None],
                                                                   (count, int(np.sum(held)), d))], axis=1)
    settled = (_SETTLED * part.scale()) ** 2 * (len(sub.inner) + len(sub.bound_nodes))
    fitted, _ = fit(placements[:, nodes], sub, points, breadth.steps, settled)
    result = placements.copy()
    result[:, nodes] = fitted
    return result


def fit(placements: Float64Array, part: AnchoredPart, bound_points: Float64Array, steps: int,
        goal: float) -> tuple[Float64Array, Float64Array]:
    """Levenberg–Marquardt on each placement at once (dense normal equations, batched); the fits and their costs.

    ``bound_points`` are the held ends, shared (m × d) or one set per
    placement (count × m × d). A placement stops once its cost is at most
    ``goal`` or no damping makes a step descend.
    """
    count, size, d = placements.shape
    unknowns = size * d
    held = np.broadcast_to(bound_points, (count, len(part.bound_nodes), d))
    a, b, c = part.inner[:, 0], part.inner[:, 1], part.bound_nodes
    axis = np.arange(d)

    def blocks(rows: Int64Array, columns: Int64Array) -> Int64Array:
        flat: Int64Array = (rows[:, None, None] * d + axis[None, :, None]) * unknowns \
            + columns[:, None, None] * d + axis[None, None, :]
        return flat

    normal_index = np.concatenate([blocks(a, a), blocks(b, b), blocks(a, b), blocks(b, a), blocks(c, c)]).reshape(-1)
    signs = np.concatenate([np.ones(2 * len(a)), -np.ones(2 * len(a)), np.ones(len(c))])
    gradient_index = np.concatenate([a[:, None] * d + axis, b[:, None] * d + axis, c[:, None] * d + axis]).ravel()
    lengths = np.concatenate([part.inner_lengths, part.bound_lengths])
    inner_count = len(a)

    def residuals(x: Float64Array, ends: Float64Array) -> tuple[Float64Array, Float64Array, Float64Array]:
        differences = np.concatenate([x[:, a] - x[:, b], x[:, c] - ends], axis=1)
        distances = np.linalg.norm(differences, axis=2)
        return differences, distances, distances - lengths

    placements = placements.copy()
    cost = np.sum(residuals(placements, held)[2] ** 2, axis=1)
    damping = np.full(count, 1e-3)
    identity = np.eye(unknowns)[None]
    for _ in range(steps):
        active = np.flatnonzero((cost > goal) & (damping < 1e10))
        if len(active) == 0:
            break
        x, ends, many = placements[active], held[active], len(active)
        differences, distances, residual = residuals(x, ends)
        units = differences / np.maximum(distances, 1e-300)[..., None]
        outer = units[..., :, None] * units[..., None, :]
        inner_outer = outer[:, :inner_count]
        values = np.concatenate([inner_outer, inner_outer, inner_outer, inner_outer, outer[:, inner_count:]], axis=1)
        normal = np.bincount((np.arange(many)[:, None] * unknowns**2 + normal_index[None]).ravel(),
                             weights=(values * signs[None, :, None, None]).ravel(),
                             minlength=many * unknowns**2).reshape(many, unknowns, unknowns)
        pulls = units * residual[..., None]
        gradient = np.bincount((np.arange(many)[:, None] * unknowns + gradient_index[None]).ravel(),
                               weights=np.concatenate([pulls[:, :inner_count], -pulls[:, :inner_count],
                                                       pulls[:, inner_count:]], axis=1).ravel(),
                               minlength=many * unknowns).reshape(many, unknowns)
        diagonal = np.einsum("sii->si", normal)
        shift = damping[active, None] * diagonal + 1e-12 * np.max(diagonal, axis=1, keepdims=True) + 1e-300
        step = np.linalg.solve(normal + shift[:, :, None] * identity, -gradient[..., None])[..., 0]
        trial = x + step.reshape(many, size, d)
        trial_cost = np.sum(residuals(trial, ends)[2] ** 2, axis=1)
        better = trial_cost < cost[active]
        placements[active[better]] = trial[better]
        cost[active[better]] = trial_cost[better]
        damping[active] = np.where(better, np.maximum(damping[active] / 5.0, 1e-12), damping[active] * 10.0)
    return placements, cost
