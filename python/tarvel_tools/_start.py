"""A start for `realize` that places nodes from their bar lengths alone, exactly where it can.

Trilateration: a node with at least d + 1 placed neighbours that are not all
on one hyperplane has one position whose distances to them are its bar
lengths, found by a small least-squares solve (Eren et al., "Rigidity,
computation, and randomization in network localization", 2004: graphs built
this way are globally rigid and are localized in polynomial time). Growing
from a (d + 1)-clique, whose shape its own lengths fix, places node after
node with no guess at all, so exact lengths give exact positions.

Where the growth stalls (every unplaced node has at most d placed
neighbours), a node with d placed neighbours has two mirror-image places.
Each is tried and the growth that it unlocks is checked against every bar
that it places: the wrong mirror soon contradicts a bar, the right one does
not (a guess is kept only when its mirror is refuted, so an undecided pair
is left alone). Where no single image is refuted, one of two images that
is crowded by placed nodes it shares no bar with is given up for the other
(a heuristic for graphs whose bars join the near pairs, as measured
distances usually do: it only chooses between mirror images, and the final
fit and its `converged` flag still judge the result); then pairs of
guesses are tried, an image being refuted when a node next to its growth
has both of its own images refuted. Patches grown from other cliques are
merged in on their common nodes (Procrustes on at least d + 2 of them),
which lets growth cross regions a single front cannot. Rounding compounds
along long chains of trilateration from nearly flat neighbours, so a
placed part that fits its bars to a ten-thousandth is polished by a few
descent steps on them before it is used.

The nodes still unplaced (in space, mostly a shell near the boundary, where
nodes have few bars) start from rough positions and are fitted with the
exact part held fixed: first with d extra coordinates pressed flat step by
step, so that folds open through the extra room (dimensional relaxation),
then in d; clusters of nodes whose bars still misfit are re-solved locally,
mirrored in the hyperplane of their neighbours among other tries; before
those, the nodes around misfit bars are placed again by the growth above
from every other node's fitted place, which gives them more placed
neighbours than the first growth had. Holding the exact part keeps a local
fold local, so these small re-solves can see that a try is better. A part
that still misfits is searched (`_part_search`): with exact lengths its fit
at rounding level is its true placement, so the search knows when it is done.
"""

from __future__ import annotations

import heapq
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _part_search

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]

# Placed neighbours whose spread is flatter than this (smallest over largest singular value)
# do not fix a node well enough: it waits for more.
_FLATNESS = 0.05
# Patches grown from separate cliques, at most.
_PATCHES = 12
# Placements of a patch grown from a clique that touches the uncovered nodes: enough to meet the rest.
_PATCH_REACH = 300
# Mirror guesses over all patches, at most this many plus n / 20: each costs a growth.
_GUESSES = 3000
# A mirror guess is refuted by a bar whose misfit exceeds this many times the noise of the
# bars placed so far (or this fraction of the median length when the lengths are exact).
_REFUTING_NOISE = 8.0
_REFUTING_EXACT = 1e-5
# Placements that follow a mirror guess before it counts as unrefuted.
_GUESS_REACH = 60
# Gauss-Newton steps that fit a mirror image to more than d lengths.
_IMAGE_STEPS = 4


@dataclass
class _Bars:
    """Adjacency of the bar graph, each entry with its length; ``unique`` holds each pair once."""

    n: int
    indptr: Int64Array
    ends: Int64Array
    lengths: Float64Array
    neighbours: list[frozenset[int]]
    unique: Int64Array
    unique_lengths: Float64Array
    degree: Int64Array

    @classmethod
    def of(cls, n: int, edges: Int64Array, lengths: Float64Array) -> _Bars:
        heads = np.concatenate([edges[:, 0], edges[:, 1]])
        order = np.argsort(heads, kind="stable")
        ends = np.concatenate([edges[:, 1], edges[:, 0]])[order]
        indptr = np.searchsorted(heads[order], np.arange(n + 1)).astype(np.int64)
        neighbours = [frozenset(ends[indptr[v]:indptr[v + 1]].tolist()) for v in range(n)]
        unique, first = np.unique(np.sort(edges, axis=1), axis=0, return_index=True)
        degree = np.array([len(s) for s in neighbours], dtype=np.int64)
        return cls(n, indptr, ends, np.concatenate([lengths, lengths])[order], neighbours, unique, lengths[first],
                   degree)

    def placed_neighbours(self, v: int, placed: BoolArray) -> tuple[Int64Array, Float64Array]:
        lo, hi = self.indptr[v], self.indptr[v + 1]
        ends = self.ends[lo:hi]
        chosen = placed[ends]
        return ends[chosen], self.lengths[lo:hi][chosen]

    def length(self, a: int, b: int) -> float:
        lo, hi = self.indptr[a], self.indptr[a + 1]
        return float(self.lengths[lo:hi][self.ends[lo:hi] == b][0])

    def placed_counts(self, placed: BoolArray) -> Int64Array:
        """For each node, how many distinct neighbours are placed."""
        a, b = self.unique[:, 0], self.unique[:, 1]
        counts: Int64Array = (np.bincount(a[placed[b]], minlength=self.n)
                              + np.bincount(b[placed[a]], minlength=self.n)).astype(np.int64)
        return counts


def exact_part(bars: _Bars, d: int) -> tuple[Float64Array, BoolArray]:
    """Positions of the nodes that trilateration and refuted mirror guesses place, and which those are.

    Deterministic: cliques are tried by decreasing degree. Exact lengths give
    the placed nodes exactly up to a rigid motion.
    """
    n = bars.n
    patches: list[tuple[Float64Array, BoolArray]] = []
    covered = np.zeros(n, dtype=bool)
    budget = [_GUESSES + n // 20]
    for _ in range(_PATCHES):
        clique = _seed_clique(bars, d, ~covered)
        cap = None
        if clique is None and patches:  # the uncovered nodes hold no clique: grow from one touching them
            clique, cap = _seed_clique(bars, d, ~covered, others=np.ones(n, dtype=bool)), _PATCH_REACH
        if clique is None:
            break
        positions = np.zeros((n, d))
        placed = np.zeros(n, dtype=bool)
        positions[clique] = _clique_shape(bars, clique, d)
        placed[clique] = True
        _grow_with_guesses(bars, d, positions, placed, budget, cap)
        covered |= placed
        patches.append((positions, placed))
        if covered.all():
            break
    if not patches:
        return np.zeros((n, d)), np.zeros(n, dtype=bool)
    patches.sort(key=lambda patch: -int(np.sum(patch[1])))
    positions, placed = patches[0]
    rest = patches[1:]
    merged = True
    while merged:
        merged = False
        for index, (other, inside) in enumerate(rest):
            if _merge(other, inside, positions, placed, d):
                _grow_with_guesses(bars, d, positions, placed, budget)
                del rest[index]
                merged = True
                break
    return positions, placed


def _seed_clique(bars: _Bars, d: int, allowed: BoolArray, others: BoolArray | None = None) -> list[int] | None:
    """d + 1 mutually joined nodes, the first allowed and the rest among ``others`` (default: allowed too).

    High degrees first: they grow best.
    """
    rest = allowed if others is None else others

    def by_degree(nodes: set[int]) -> list[int]:
        return sorted((v for v in nodes if rest[v]), key=lambda v: (-int(bars.degree[v]), v))

    for u in np.argsort(-bars.degree, kind="stable"):
        if not allowed[u]:
            continue
        found = _extend_clique(bars, [int(u)], set(bars.neighbours[u]), d + 1, by_degree)
        if found is not None:
            return found
    return None


def _extend_clique(bars: _Bars, clique: list[int], common: set[int], size: int,
                   by_degree: Callable[[set[int]], list[int]]) -> list[int] | None:
    if len(clique) == size:
        return clique
    for v in by_degree(common)[:8]:  # a few tries per level: cliques are plentiful where the graph is dense
        found = _extend_clique(bars, clique + [v], common & bars.neighbours[v], size, by_degree)
        if found is not None:
            return found
    return None


def _clique_shape(bars: _Bars, clique: list[int], d: int) -> Float64Array:
    """Classical MDS of the clique's own lengths: exact for d + 1 points."""
    k = len(clique)
    squared = np.zeros((k, k))
    for a in range(k):
        for b in range(a + 1, k):
            squared[a, b] = squared[b, a] = bars.length(clique[a], clique[b]) ** 2
    centring = np.eye(k) - 1.0 / k
    values, vectors = np.linalg.eigh(-0.5 * centring @ squared @ centring)
    shape: Float64Array = vectors[:, ::-1][:, :d] * np.sqrt(np.maximum(values[::-1][:d], 0.0))
    return shape


def _trilaterate(bars: _Bars, d: int, positions: Float64Array, placed: BoolArray, *,
                 newly: list[int] | None = None, tolerance: float | None = None, limit: int | None = None) -> bool:
    """Place every node that d + 1 or more well-spread placed neighbours fix, most constrained first.

    With a tolerance, stop and return False as soon as a placed node misses one of its
    lengths by more (the placement contradicts the bars); with a limit, stop after that
    many placements.
    """
    counts = bars.placed_counts(placed)
    heap = [(-int(counts[v]), int(v)) for v in np.flatnonzero(~placed & (counts > d))]
    heapq.heapify(heap)
    done = 0
    while heap and (limit is None or done < limit):
        negative, v = heapq.heappop(heap)
        if placed[v] or -negative != counts[v]:
            continue
        ends, lengths = bars.placed_neighbours(v, placed)
        point = _trilateration_point(positions[ends], lengths)
        if point is None:
            continue  # waits for another neighbour, which pushes it again
        if tolerance is not None and np.max(np.abs(np.linalg.norm(positions[ends] - point, axis=1) - lengths)) > tolerance:
            return False
        positions[v] = point
        placed[v] = True
        done += 1
        if newly is not None:
            newly.append(v)
        for w in bars.neighbours[v]:
            if not placed[w]:
                counts[w] += 1
                if counts[w] > d:
                    heapq.heappush(heap, (-int(counts[w]), w))
    return True


def _trilateration_point(points: Float64Array, lengths: Float64Array) -> Float64Array | None:
    """The point at the given lengths from the given points (least squares), or None when they are too flat."""
    centre = points.mean(axis=0)
    offsets = points - centre
    scatter = offsets.T @ offsets
    values = np.linalg.eigvalsh(scatter)
    if values[-1] <= 0 or values[0] < _FLATNESS**2 * values[-1]:
        return None
    # |x - q|² = l² for every neighbour q, minus their mean: linear in x (relative to the centre).
    right = 0.5 * (np.sum(offsets * offsets, axis=1) - lengths * lengths)
    x = np.linalg.solve(scatter, offsets.T @ (right - right.mean()))
    # One Gauss-Newton step on the lengths themselves: the better fit when they are noisy.
    difference = x - offsets
    distances = np.sqrt(np.einsum("ij,ij->i", difference, difference))
    jacobian = difference / np.maximum(distances, np.finfo(float).tiny)[:, None]
    normal = jacobian.T @ jacobian
    if np.linalg.cond(normal) < 1e12:
        x = x + np.linalg.solve(normal, jacobian.T @ (lengths - distances))
    located: Float64Array = x + centre
    return located


def _mirror_points(points: Float64Array, lengths: Float64Array) -> tuple[Float64Array, Float64Array] | None:
    """The two places at the lengths from d points, mirrored in their hyperplane (None when degenerate).

    From more points, nearly on one hyperplane, the two places mirrored in
    the hyperplane that fits them best, each then moved by a few
    Gauss-Newton steps to fit the lengths (the right one fits exactly when
    they are exact, its mirror image in general does not).
    """
    d = points.shape[1]
    centre = points.mean(axis=0)
    offsets = points - centre
    left, spread, axes = np.linalg.svd(offsets)
    if spread[d - 2] < _FLATNESS * spread[0]:
        return None
    right = 0.5 * (np.sum(offsets * offsets, axis=1) - lengths * lengths)
    right -= right.mean()
    foot = axes[:d - 1].T @ ((left[:, :d - 1].T @ right) / spread[:d - 1])
    height = float(np.sqrt(max(float(np.mean(lengths**2 - np.sum((foot - offsets) ** 2, axis=1))), 0.0)))
    normal = axes[d - 1]
    images = centre + foot + height * normal, centre + foot - height * normal
    if len(points) == d:
        return images
    return _fitted(images[0], points, lengths), _fitted(images[1], points, lengths)


def _fitted(point: Float64Array, points: Float64Array, lengths: Float64Array) -> Float64Array:
    """A few Gauss-Newton steps from ``point`` towards the given lengths from the points."""
    for _ in range(_IMAGE_STEPS):
        difference = point - points
        distances = np.maximum(np.sqrt(np.einsum("ij,ij->i", difference, difference)), np.finfo(float).tiny)
        jacobian = difference / distances[:, None]
        point = point + np.linalg.lstsq(jacobian, lengths - distances, rcond=None)[0]
    return point


def _misses(point: Float64Array, points: Float64Array, lengths: Float64Array) -> float:
    return float(np.max(np.abs(np.linalg.norm(points - point, axis=1) - lengths)))


def _grow_with_guesses(bars: _Bars, d: int, positions: Float64Array, placed: BoolArray, budget: list[int],
                       cap: int | None = None) -> None:
    """Trilaterate, then guess, until nothing more is placed (or ``cap`` nodes are)."""
    undecided: set[tuple[int, int, int]] = set()  # (node, placed neighbours, depth) whose two images both stood
    while True:
        _trilaterate(bars, d, positions, placed, limit=None if cap is None else max(cap - int(np.sum(placed)), 0))
        if placed.all() or (cap is not None and np.sum(placed) >= cap):
            return
        if budget[0] > 0 and _refuted_guess(bars, d, positions, placed, budget, undecided):
            continue
        if _preferred_guess(bars, d, positions, placed):
            continue
        if budget[0] <= 0 or not any(_refuted_guess(bars, d, positions, placed, budget, undecided, depth=depth)
                                     for depth in range(1, _DEPTH + 1)):
            return


# A mirror image is crowded when a placed node that shares no bar with it lies closer than this
# fraction of the median bar length.
_CROWDED = 0.8


def _preferred_guess(bars: _Bars, d: int, positions: Float64Array, placed: BoolArray) -> bool:
    """Place one node with d placed neighbours at the image that keeps clear of unjoined nodes; False if none.

    A heuristic for graphs whose bars join the near pairs (measured distances
    are short ones): of two mirror images, one crowded by placed nodes it has
    no bar to and one clear of them, the clear one is taken. The most
    crowded rejected image decides first.
    """
    counts = bars.placed_counts(placed)
    candidates = np.flatnonzero(~placed & (counts >= d))
    if len(candidates) == 0:
        return False
    from scipy.spatial import cKDTree  # type: ignore[import-untyped, unused-ignore]

    inside = np.flatnonzero(placed)
    tree = cKDTree(positions[inside])
    reach = _CROWDED * float(np.median(bars.lengths))
    tolerance = _refuting_tolerance(bars, positions, placed)
    best: tuple[float, int, Float64Array] | None = None
    for v in candidates:
        ends, lengths = bars.placed_neighbours(int(v), placed)
        mirrors = _mirror_points(positions[ends], lengths)
        if mirrors is None:
            continue
        clearance = []
        for point in mirrors:
            near = inside[tree.query_ball_point(point, reach)]
            joined = bars.neighbours[int(v)]
            close = [float(np.linalg.norm(positions[w] - point)) for w in near if int(w) not in joined]
            clearance.append(min(close, default=np.inf))
        crowded = [c < reach for c in clearance]
        if crowded[0] == crowded[1]:
            continue
        keep = 1 if crowded[0] else 0
        if _misses(mirrors[keep], positions[ends], lengths) > tolerance:
            continue
        score = clearance[1 - keep]
        if best is None or score < best[0]:
            best = (score, int(v), mirrors[keep])
    if best is None:
        return False
    positions[best[1]] = best[2]
    placed[best[1]] = True
    return True


def _refuted_guess(bars: _Bars, d: int, positions: Float64Array, placed: BoolArray, budget: list[int],
                   undecided: set[tuple[int, int, int]], depth: int = 0) -> bool:
    """Place one node with d placed neighbours whose other mirror image contradicts a bar; False if none.

    Each image is followed by the trilateration it unlocks (a bounded number of
    placements): an image whose growth misses a length is refuted. With a
    depth, an image is also refuted when some node next to its growth has
    both of its own images refuted in turn (to one less depth): two guesses
    together meet bars that neither meets alone.
    """
    counts = bars.placed_counts(placed)
    tolerance = _refuting_tolerance(bars, positions, placed)
    for v in np.flatnonzero(~placed & (counts >= d)):
        key = (int(v), len(bars.placed_neighbours(int(v), placed)[0]), depth)
        if key in undecided:
            continue  # nothing new around it since both of its images stood
        ends, lengths = bars.placed_neighbours(int(v), placed)
        mirrors = _mirror_points(positions[ends], lengths)
        if mirrors is None:
            continue
        survivors = [point for point in mirrors
                     if not _image_refuted(bars, d, positions, placed, int(v), point, tolerance, depth, budget)]
        if len(survivors) == 1:
            positions[v] = survivors[0]
            placed[v] = True
            return True
        undecided.add(key)
        if budget[0] <= 0:
            return False
    return False


# Nodes next to a guess's growth whose images are tried one level deeper, at most.
_DEEPER_NODES = 6
_DEPTH = 2


def _image_refuted(bars: _Bars, d: int, positions: Float64Array, placed: BoolArray, v: int, point: Float64Array,
                   tolerance: float, depth: int, budget: list[int]) -> bool:
    budget[0] -= 1
    ends, lengths = bars.placed_neighbours(v, placed)
    if _misses(point, positions[ends], lengths) > tolerance:
        return True
    trial, inside = positions.copy(), placed.copy()
    trial[v] = point
    inside[v] = True
    newly = [v]
    if not _trilaterate(bars, d, trial, inside, newly=newly, tolerance=tolerance, limit=_GUESS_REACH):
        return True
    if depth == 0 or budget[0] <= 0:
        return False
    counts = bars.placed_counts(inside)
    near = sorted({w for u in newly for w in bars.neighbours[u] if not inside[w] and counts[w] >= d})
    for w in near[:_DEEPER_NODES]:
        ends, lengths = bars.placed_neighbours(w, inside)
        mirrors = _mirror_points(trial[ends], lengths)
        if mirrors is not None and all(_image_refuted(bars, d, trial, inside, w, image, tolerance, depth - 1, budget)
                                       for image in mirrors):
            return True
    return False


def _refuting_tolerance(bars: _Bars, positions: Float64Array, placed: BoolArray) -> float:
    a, b = bars.unique[:, 0], bars.unique[:, 1]
    both = placed[a] & placed[b]
    scale = float(np.median(bars.lengths))
    if not np.any(both):
        return _REFUTING_EXACT * scale
    misfit = np.abs(np.linalg.norm(positions[a[both]] - positions[b[both]], axis=1)
                    - bars.unique_lengths[both])
    noise = float(np.sqrt(np.median(misfit**2)))
    return max(_REFUTING_NOISE * noise, _REFUTING_EXACT * scale)


def _merge(other: Float64Array, inside: BoolArray, positions: Float64Array, placed: BoolArray, d: int) -> bool:
    """Move another patch onto this one by the rigid motion (reflection allowed) that best fits their common nodes."""
    common = np.flatnonzero(inside & placed)
    if len(common) < d + 2:
        return False
    moving, target = other[common], positions[common]
    moving_centre, target_centre = moving.mean(axis=0), target.mean(axis=0)
    left, spread, right = np.linalg.svd((moving - moving_centre).T @ (target - target_centre))
    if spread[-1] <= 1e-6 * spread[0]:
        return False  # the common nodes lie on a hyperplane: the mirror image fits as well
    new = inside & ~placed
    positions[new] = (other[new] - moving_centre) @ (left @ right) + target_centre
    placed |= new
    return True


# The rest of the nodes -----------------------------------------------------------------------

Solver = Callable[..., tuple[Float64Array, int, bool]]


def start(n: int, edges: Int64Array, lengths: Float64Array, weights: Float64Array, d: int,
          rng: np.random.Generator, rough: Callable[[], Float64Array], solve: Solver) -> Float64Array:
    """Positions of every node: the exact part, and the rest fitted to it with the exact part held.

    Lengths that the exact part does not fit to a millionth (noisy lengths)
    get the rough positions alone.

    ``rough()`` gives rough positions of every node (moved onto the exact part
    by the best rigid motion, they start the rest); ``solve`` is the
    weighted least-squares descent (``solve(edges, lengths, weights, positions,
    fixed, max_iter, flattening=, flat_from=)``). The rest is fitted first in
    2 d dimensions whose extra coordinates are pressed flat step by step
    (folds open through the extra room), then in d; clusters of nodes whose
    bars still misfit are then placed again by the growth from the fitted
    rest, re-solved locally (mirrored in the hyperplane of their neighbours
    among other tries), and connected free parts that still misfit are
    searched (see `_part_search`) and else restarted from scattered starts,
    the exact part still held. A placed
    part that fits to a ten-thousandth but not a millionth (rounding along
    long trilateration chains) is first polished on its own bars.
    """
    bars = _Bars.of(n, edges, lengths)
    positions, placed = exact_part(bars, d)
    if np.sum(placed) <= d + 1 or not _fits_closely(bars, positions, placed, _NEAR_FIT):
        return rough()
    if not _fits_closely(bars, positions, placed, _CLOSE_FIT):
        _polish(positions, edges, lengths, weights, placed, solve)
        if not _fits_closely(bars, positions, placed, _CLOSE_FIT):
            return rough()
    if placed.all():
        return positions
    exact = np.flatnonzero(placed)
    positions[~placed] = _moved_onto(rough(), exact, positions[exact])[~placed]
    # Only the bars at free nodes matter while the exact part is held: solve on them alone.
    touching = (~placed)[edges].any(axis=1)
    nodes = np.unique(edges[touching].ravel())
    local = np.full(n, -1)
    local[nodes] = np.arange(len(nodes))
    sub_edges = np.ascontiguousarray(local[edges[touching]])
    sub_lengths, sub_weights = lengths[touching], weights[touching]
    held = np.flatnonzero(placed[nodes])
    _lifted_fit(positions, edges, lengths, weights, placed, d, rng, solve)
    for _ in range(_REGROW_ROUNDS):
        if not _misfits(positions, edges, lengths, weights) or not _regrow(bars, d, positions, edges, lengths,
                                                                            weights, placed):
            break
        positions[nodes], _, _ = solve(sub_edges, sub_lengths, sub_weights, positions[nodes], held, _HELD_STEPS)
    for restarted in (False, True):
        if restarted:
            if not _misfits(positions, edges, lengths, weights):
                break
            placed = placed | _searched_parts(bars, positions, edges, lengths, weights, placed, d, rng)
            _restart_parts(positions, edges, lengths, weights, placed, d, rng, solve)
        for _ in range(_REPAIR_ROUNDS):
            if not _repair(positions, edges, lengths, weights, placed, d, rng, solve):
                break
            positions[nodes], _, _ = solve(sub_edges, sub_lengths, sub_weights, positions[nodes], held, _HELD_STEPS)
    return positions


def _lifted_fit(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array,
                held: BoolArray, d: int, rng: np.random.Generator, solve: Solver) -> None:
    """Fit the free nodes (in place) on the bars that touch them, the held ones fixed, through d extra dimensions.

    The extra coordinates start scattered and are pressed flat step by step,
    so that folds open through the extra room (dimensional relaxation).
    """
    touching = (~held)[edges].any(axis=1)
    nodes = np.unique(edges[touching].ravel())
    local = np.full(len(positions), -1)
    local[nodes] = np.arange(len(nodes))
    sub_edges = np.ascontiguousarray(local[edges[touching]])
    sub_lengths, sub_weights = lengths[touching], weights[touching]
    fixed = np.flatnonzero(held[nodes])
    free = ~held[nodes]
    lifted = np.concatenate([positions[nodes], np.zeros((len(nodes), d))], axis=1)
    lifted[free, d:] = 0.5 * float(np.median(lengths)) * rng.standard_normal((int(np.sum(free)), d))
    for flattening in _FLATTENING:
        lifted, _, _ = solve(sub_edges, sub_lengths, sub_weights, lifted, fixed, _LIFTED_STEPS, flattening=flattening,
                             flat_from=d)
    positions[nodes], _, _ = solve(sub_edges, sub_lengths, sub_weights, np.ascontiguousarray(lifted[:, :d]), fixed,
                                   _HELD_STEPS)


def _restart_parts(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array,
                   exact: BoolArray, d: int, rng: np.random.Generator, solve: Solver) -> None:
    """Fit each connected part of the free nodes that misfits again from fresh starts, all else held (in place).

    Such a part (a corner of the layout, where nodes have too few bars to be
    placed one by one) is small, so it gets several scattered starts, about
    its fitted places and about the nodes it is joined to, each fitted
    through the extra dimensions; the best fit replaces the part when it
    misfits less, the first exact one ends the tries.
    """
    n = len(positions)
    misfit = _misfit(positions, edges, lengths, weights)
    bad = np.zeros(n, dtype=bool)
    bad[edges[misfit > 1e-20 * weights * lengths**2].ravel()] = True
    scale = float(np.median(lengths))
    for part in _clusters(n, edges, ~exact):
        if not np.any(bad[part]) or len(part) > _RESTARTED_PART:
            continue
        inside = np.zeros(n, dtype=bool)
        inside[part] = True
        touching = inside[edges].any(axis=1)
        cost = float(np.sum(misfit[touching]))
        goal = 1e-24 * float(np.sum(weights[touching] * lengths[touching] ** 2))
        around = _neighbours_of(edges, part, positions)
        centre = around.mean(axis=0) if len(around) else positions[part].mean(axis=0)
        for attempt in range(_PART_TRIES):
            trial = positions.copy()
            # Alternately scattered about the fitted places (a fold is often near the truth) and about the centre.
            origin = trial[part] if attempt % 2 == 0 else centre
            trial[part] = origin + scale * rng.standard_normal((len(part), d))
            _lifted_fit(trial, edges, lengths, weights, ~inside, d, rng, solve)
            trial_cost = float(np.sum(_misfit(trial, edges[touching], lengths[touching], weights[touching])))
            if trial_cost < cost:
                positions[part], cost = trial[part], trial_cost
            if cost <= goal:
                break


def _searched_parts(bars: _Bars, positions: Float64Array, edges: Int64Array, lengths: Float64Array,
                    weights: Float64Array, exact: BoolArray, d: int, rng: np.random.Generator) -> BoolArray:
    """Place each connected part of the free nodes that misfits by a sequential search (in place); which it placed.

    The exact part is held; a part is replaced only by a placement that fits
    its bars at rounding level, which for exact lengths on a globally rigid
    graph is the true one (see `_part_search`), so the later repairs hold it too.
    """
    misfit = _misfit(positions, edges, lengths, weights)
    bad = np.zeros(bars.n, dtype=bool)
    bad[edges[misfit > 1e-20 * weights * lengths**2].ravel()] = True
    a, b = bars.unique[:, 0], bars.unique[:, 1]
    both = exact[a] & exact[b]
    held_misfit = float(np.max(np.abs(np.linalg.norm(positions[a[both]] - positions[b[both]], axis=1)
                                      - bars.unique_lengths[both]), initial=0.0))
    counted = weights > 0
    solved = np.zeros(bars.n, dtype=bool)
    own = rng.spawn(1)[0]  # the restarts after a failed search draw what they drew without it
    for part in sorted(_clusters(bars.n, edges, ~exact), key=len):
        if not np.any(bad[part]):
            continue
        found = _part_search.search(_part_search.AnchoredPart.of(part, edges[counted], lengths[counted], positions), d,
                                    own, held_misfit)
        if found is not None:
            positions[part] = found
            solved[part] = True
    return solved


# Rounds of re-growth around the misfit bars.
_REGROW_ROUNDS = 2
_REGROW_HOPS = 1


def _misfits(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array) -> bool:
    return float(np.sum(_misfit(positions, edges, lengths, weights))) > 1e-24 * float(np.sum(weights * lengths**2))


def _regrow(bars: _Bars, d: int, positions: Float64Array, edges: Int64Array, lengths: Float64Array,
            weights: Float64Array, exact: BoolArray) -> bool:
    """Place the nodes around misfit bars again by trilateration from the fitted rest; False if none moved.

    The nodes on bars that carry at least a thousandth of the worst misfit,
    and their neighbours, are taken out; every other node keeps its fitted
    place and counts as placed, so the taken-out ones now have more placed
    neighbours than the first growth gave them, and trilateration, refuted
    mirror images and the crowding preference place them again.
    """
    misfit = _misfit(positions, edges, lengths, weights)
    suspect = np.zeros(bars.n, dtype=bool)
    suspect[edges[misfit >= 1e-3 * float(np.max(misfit))].ravel()] = True
    for _ in range(_REGROW_HOPS):
        suspect[edges[suspect[edges].any(axis=1)].ravel()] = True
    suspect &= ~exact
    if not np.any(suspect):
        return False
    trial, placed = positions.copy(), ~suspect
    _grow_with_guesses(bars, d, trial, placed, [_GUESSES])
    moved = suspect & placed
    positions[moved] = trial[moved]
    return bool(np.any(moved))


# The placed part is used when every bar between placed nodes fits to this fraction of the median length.
_CLOSE_FIT = 1e-6
# A placed part that fits to this share is first polished by a few descent steps on its own bars.
_NEAR_FIT = 1e-4
_POLISH_STEPS = 10
# Pressing weights of the lifted fit (relative to the bars), and its steps.
_FLATTENING = (1e-3, 1e-2, 1e-1, 1.0, 10.0)
_LIFTED_STEPS = 15
_HELD_STEPS = 50
# Rounds of local repair; re-solves per cluster; bars counted as misfit (share of the worst).
_REPAIR_ROUNDS = 2
# Free parts of at most this many nodes that misfit are fitted again from this many fresh starts.
_RESTARTED_PART = 200
_PART_TRIES = 20
_REPAIR_TRIES = 9
_MISFIT_SHARE = 0.01


def _polish(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array,
            placed: BoolArray, solve: Solver) -> None:
    """Fit the placed part (in place) to its own bars: rounding compounds along trilateration from flat spots."""
    inner = placed[edges].all(axis=1)
    nodes = np.flatnonzero(placed)
    local = np.full(len(positions), -1)
    local[nodes] = np.arange(len(nodes))
    positions[nodes], _, _ = solve(np.ascontiguousarray(local[edges[inner]]), lengths[inner], weights[inner],
                                   positions[nodes], np.empty(0, dtype=np.int64), _POLISH_STEPS)


def _fits_closely(bars: _Bars, positions: Float64Array, placed: BoolArray, share: float) -> bool:
    """Whether the placed part fits its bars to the given share of the median length.

    Noisy lengths do not: trilateration's errors then compound along the growth
    (a node placed from slightly wrong neighbours is wrong by more), and a
    mirror test at the noise level can keep a fold, so those start from the
    rough positions, which carry no such bias.
    """
    a, b = bars.unique[:, 0], bars.unique[:, 1]
    both = placed[a] & placed[b]
    misfit = np.abs(np.linalg.norm(positions[a[both]] - positions[b[both]], axis=1) - bars.unique_lengths[both])
    return bool(np.all(misfit <= share * float(np.median(bars.lengths))))


def _moved_onto(points: Float64Array, nodes: Int64Array, targets: Float64Array) -> Float64Array:
    """The rigid motion (reflection allowed) of all points that best moves ``points[nodes]`` onto the targets."""
    moving = points[nodes]
    moving_centre, target_centre = moving.mean(axis=0), targets.mean(axis=0)
    left, _, right = np.linalg.svd((moving - moving_centre).T @ (targets - target_centre))
    moved: Float64Array = (points - moving_centre) @ (left @ right) + target_centre
    return moved


def _misfit(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array) -> Float64Array:
    misfit: Float64Array = weights * (np.linalg.norm(positions[edges[:, 0]] - positions[edges[:, 1]], axis=1)
                                      - lengths) ** 2
    return misfit


def _repair(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array,
            exact: BoolArray, d: int, rng: np.random.Generator, solve: Solver) -> bool:
    """Re-solve each cluster of misfit nodes from other starts (in place); False when the fit is exact.

    A cluster is a connected set of free nodes on bars that carry at least 1 %
    of the worst misfit; it moves with its free neighbours while everything
    else is held. A fold of a few nodes over their neighbours is undone by
    mirroring them in the hyperplane of those neighbours, together or one by
    one; scattered starts are the other tries. A try is kept when it lowers
    the misfit of the bars it touches.
    """
    n = len(positions)
    misfit = _misfit(positions, edges, lengths, weights)
    if float(np.sum(misfit)) <= 1e-24 * float(np.sum(weights * lengths**2)):
        return False
    suspect = np.zeros(n, dtype=bool)
    suspect[edges[misfit >= _MISFIT_SHARE * float(np.max(misfit))].ravel()] = True
    suspect &= ~exact
    for cluster in _clusters(n, edges, suspect):
        region = np.zeros(n, dtype=bool)
        region[cluster] = True
        region[edges[region[edges].any(axis=1)].ravel()] = True
        region &= ~exact
        _resolve_cluster(positions, edges, lengths, weights, cluster, region, d, rng, solve)
    return True


def _clusters(n: int, edges: Int64Array, members: BoolArray) -> list[Int64Array]:
    from scipy.sparse import coo_matrix  # type: ignore[import-untyped, unused-ignore]
    from scipy.sparse.csgraph import connected_components  # type: ignore[import-untyped, unused-ignore]

    nodes = np.flatnonzero(members)
    number = np.full(n, -1)
    number[nodes] = np.arange(len(nodes))
    inner = number[edges]
    inner = inner[(inner >= 0).all(axis=1)]
    count, labels = connected_components(coo_matrix((np.ones(len(inner)), (inner[:, 0], inner[:, 1])),
                                                    shape=(len(nodes), len(nodes))), directed=False)
    return [nodes[labels == label] for label in range(count)]


def _resolve_cluster(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array,
                     cluster: Int64Array, region: BoolArray, d: int, rng: np.random.Generator, solve: Solver) -> None:
    n = len(positions)
    touching = region[edges].any(axis=1)
    nodes = np.unique(edges[touching].ravel())
    local = np.full(n, -1)
    local[nodes] = np.arange(len(nodes))
    sub_edges = np.ascontiguousarray(local[edges[touching]])
    sub_lengths, sub_weights = lengths[touching], weights[touching]
    moving = region[nodes]
    held = np.flatnonzero(~moving)
    core = local[cluster]
    current = positions[nodes]
    best, best_cost = current, float(np.sum(_misfit(current, sub_edges, sub_lengths, sub_weights)))
    scale = float(np.median(sub_lengths))
    for attempt in range(_REPAIR_TRIES):
        trial = current.copy()
        if attempt % 3 == 0:
            trial[core] = _mirrored(trial[core], _neighbours_of(edges, cluster, positions))
        elif attempt % 3 == 1:
            for v, row in zip(cluster, core):
                trial[row] = _mirrored(trial[row][None, :], _neighbours_of(edges, np.array([v]), positions))[0]
        else:
            trial[core] += 0.5 * scale * rng.standard_normal((len(core), d))
        if attempt >= 3:
            trial[moving] += 0.1 * scale * rng.standard_normal((int(np.sum(moving)), d))
        trial, _, _ = solve(sub_edges, sub_lengths, sub_weights, trial, held, 30)
        cost = float(np.sum(_misfit(trial, sub_edges, sub_lengths, sub_weights)))
        if cost < best_cost:
            best, best_cost = trial, cost
        if best_cost <= 1e-24 * float(np.sum(sub_weights * sub_lengths**2)):
            break
    positions[nodes] = best


def _neighbours_of(edges: Int64Array, nodes: Int64Array, positions: Float64Array) -> Float64Array:
    """Positions of the nodes joined to ``nodes`` by a bar, outside them."""
    inside = np.zeros(len(positions), dtype=bool)
    inside[nodes] = True
    around = np.zeros(len(positions), dtype=bool)
    around[edges[inside[edges].any(axis=1)].ravel()] = True
    around &= ~inside
    neighbours: Float64Array = positions[around]
    return neighbours


def _mirrored(points: Float64Array, plane_points: Float64Array) -> Float64Array:
    """The points mirrored in the hyperplane that best fits ``plane_points``."""
    if len(plane_points) < 2:
        return points
    centre = plane_points.mean(axis=0)
    normal = np.linalg.svd(plane_points - centre)[2][-1]
    offsets = points - centre
    mirrored: Float64Array = centre + offsets - 2.0 * np.outer(offsets @ normal, normal)
    return mirrored
