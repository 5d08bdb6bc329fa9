"""How close a reconstruction is to the layout it came from.

A layout recovered from distances alone (`tarvel.reconstruct`) is fixed only
up to a rigid motion: any rotation, reflection and translation of it has the
same distances.  Before comparing it with the original, it is moved onto the
original by the orthogonal Procrustes fit, the rigid motion that minimises the
summed squared distances between corresponding points.  Scale is left alone:
classical MDS keeps the original scale, so a scale mismatch is an error worth
seeing, not something to fit away.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["procrustes_align", "procrustes_rmse"]

Float64Array = npt.NDArray[np.float64]


def procrustes_align(original: npt.ArrayLike, reconstructed: npt.ArrayLike) -> Float64Array:
    """Move ``reconstructed`` onto ``original`` by the best rotation/reflection and translation.

    Both are ``(n, d)`` coordinate arrays whose rows correspond.  With the
    centred point sets X (original) and Y (reconstructed), the orthogonal R
    minimising ``||Y R - X||`` is ``U V^T`` where ``U S V^T`` is the singular
    value decomposition of ``Y^T X``; the result is ``Y R`` plus the
    original's centroid.  Returns a new float64 array of shape ``(n, d)``.

    Raises
    ------
    ValueError
        the arrays are not two-dimensional, differ in shape, have
        no rows, or hold a NaN or an infinity.
    """
    target, moving = _checked_pair(original, reconstructed)
    target_centroid = target.mean(axis=0)
    target_centred = target - target_centroid
    moving_centred = moving - moving.mean(axis=0)
    u, _, vt = np.linalg.svd(moving_centred.T @ target_centred)
    rotation = u @ vt
    aligned: Float64Array = moving_centred @ rotation + target_centroid
    return aligned


def procrustes_rmse(original: npt.ArrayLike, reconstructed: npt.ArrayLike) -> float:
    """Root-mean-square distance between the original points and the aligned reconstruction.

    ``sqrt(sum_i |x_i - y_i|^2 / n)`` over the n points, after
    `procrustes_align`: 0 for an exact reconstruction, otherwise the typical
    displacement of a point, in the units of the coordinates.  Arguments
    and errors are those of `procrustes_align`.
    """
    target = _as_coordinates(original, "original")
    aligned = procrustes_align(target, reconstructed)
    squared_displacements = np.sum((aligned - target) ** 2, axis=1)
    return float(np.sqrt(np.mean(squared_displacements)))


def _checked_pair(original: npt.ArrayLike, reconstructed: npt.ArrayLike) -> tuple[Float64Array, Float64Array]:
    target = _as_coordinates(original, "original")
    moving = _as_coordinates(reconstructed, "reconstructed")
    if target.shape != moving.shape:
        raise ValueError(
            f"original and reconstructed must have the same shape, got {target.shape} and {moving.shape}"
        )
    return target, moving


def _as_coordinates(points: npt.ArrayLike, name: str) -> Float64Array:
    array = np.asarray(points, dtype=np.float64)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional (n, d) array, got {array.ndim} dimension(s)")
    if array.shape[0] == 0:
        raise ValueError(f"{name} has no points")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} holds NaN or infinite coordinates")
    return array
