"""Splitting the pairs of a variogram into pieces that can be computed anywhere and merged.

Two splits, each of which forms every counted pair exactly once:

- With a cutoff (the last edge below the data's extent), the samples are split into spatial
  tiles. A tile's piece holds the pairs inside the tile and the pairs between the tile and its
  halo: the samples of tiles with a higher number that may lie within the cutoff of it. A pair
  of samples in tiles a < b is therefore formed only by tile a.
- Without a cutoff, the samples are split into m blocks and each unordered pair of blocks is
  given to one piece, cyclically, so that every piece has about the same number of pairs.

The functions that compute and merge the pieces' exact states run in Dask tasks; they are pure
(the same inputs always give the same state), so a task that is run again changes nothing.
"""
from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige.geodesy import EARTH_RADIUS_KM
from . import _engine

# The halo test below is exact for coordinate differences whose squares are normal doubles;
# smaller differences always pass it.
_TINIEST_REACH = 2.0**-500
# Great-circle distances are compared through chords of unit vectors, which carry rounding
# errors of their own; the halo is widened by far more than those (a relative 1e-9 and 1e-6
# radians, about 6 m), since a wider halo costs a few more candidate pairs and nothing else.
_ANGLE_RELATIVE_MARGIN, _ANGLE_ABSOLUTE_MARGIN, _CHORD_MARGIN = 1e-9, 1e-6, 1e-9


def embedding(points: NDArray[np.float64], geographic: bool) -> NDArray[np.float64]:
    """Coordinates in which tiles are boxes: as given (PROJCS), unit vectors (GEOGCS, radians)."""
    if not geographic:
        return points
    longitude, latitude = points[:, 0], points[:, 1]
    cos_latitude = np.cos(latitude)
    return np.stack(
        [cos_latitude * np.cos(longitude), cos_latitude * np.sin(longitude), np.sin(latitude)],
        axis=1,
    )


def reach(max_lag: float, geographic: bool) -> float:
    """The largest difference, on any embedding axis, of two samples within `max_lag`.

    PROJCS: a pair's distance is at least the absolute value of each coordinate difference t
    (sqrt(t * t) == |t| in binary floating point unless t * t underflows, and adding the other
    squares can only increase the sum), so a pair within max_lag differs by at most max_lag on
    every axis. GEOGCS: unit vectors at great-circle angle theta differ by at most the chord
    2 sin(theta / 2) on every axis.
    """
    if not geographic:
        return max(max_lag, _TINIEST_REACH)
    angle = max_lag / EARTH_RADIUS_KM * (1.0 + _ANGLE_RELATIVE_MARGIN) + _ANGLE_ABSOLUTE_MARGIN
    if angle >= math.pi:
        return math.inf
    return 2.0 * math.sin(angle / 2.0) + _CHORD_MARGIN


def spatial_tiles(embedded: NDArray[np.float64], count: int) -> list[NDArray[np.intp]]:
    """At most `count` non-empty tiles of about equal numbers of samples, as index arrays.

    Boxes are halved recursively across their widest axis at the sample that splits the
    wanted tile count in proportion, so that clustered data give tiles of balanced size too.
    Tiles are numbered in the order of the recursion, so neighbours mostly have close numbers.
    """
    tiles: list[NDArray[np.intp]] = []
    pending = [(np.arange(embedded.shape[0]), count)]
    while pending:
        index, wanted = pending.pop()
        if wanted == 1 or index.size < 2:
            tiles.append(index)
            continue
        part = embedded[index]
        axis = int(np.argmax(part.max(axis=0) - part.min(axis=0)))
        left = wanted // 2
        position = min(index.size - 1, max(1, index.size * left // wanted))
        order = np.argpartition(part[:, axis], position)
        # The lower half is pushed last so that it is taken next: tiles come out in order.
        pending.append((index[order[position:]], wanted - left))
        pending.append((index[order[:position]], left))
    return tiles


def halos(
    embedded: NDArray[np.float64], tiles: list[NDArray[np.intp]], reach: float
) -> list[NDArray[np.intp]]:
    """For each tile, the samples of higher-numbered tiles that may lie within `reach` of it.

    A sample x belongs to the halo of a tile whose samples span [lower, upper] on every axis
    when fl(x - upper) <= reach and fl(lower - x) <= reach on every axis. For a sample y of the
    tile, lower <= y <= upper, and rounding is monotonic, so fl(x - upper) <= fl(x - y) and
    fl(lower - x) <= fl(y - x): every partner within reach of some y passes, exactly.
    """
    lower = np.array([embedded[tile].min(axis=0) for tile in tiles])
    upper = np.array([embedded[tile].max(axis=0) for tile in tiles])
    result = []
    with np.errstate(over="ignore", invalid="ignore"):
        for a in range(len(tiles)):
            # Whole tiles first: a tile none of whose samples can pass is skipped.
            near = np.all(lower[a + 1 :] - upper[a] <= reach, axis=1)
            near &= np.all(lower[a] - upper[a + 1 :] <= reach, axis=1)
            members = []
            for b in np.flatnonzero(near) + a + 1:
                candidates = embedded[tiles[b]]
                inside = np.all(candidates - upper[a] <= reach, axis=1)
                inside &= np.all(lower[a] - candidates <= reach, axis=1)
                members.append(tiles[b][inside])
            result.append(np.concatenate(members) if members else np.empty(0, dtype=np.intp))
    return result


def cyclic_partners(blocks: int) -> list[list[int]]:
    """For each of `blocks` blocks, the other blocks it is paired with; each pair once.

    Block i takes the blocks i + 1, ..., i + (blocks - 1) // 2 (modulo blocks); with an even
    number of blocks, the opposite block i + blocks / 2 goes to the lower of the two.
    """
    partners = []
    for i in range(blocks):
        chosen = [(i + step) % blocks for step in range(1, (blocks - 1) // 2 + 1)]
        if blocks % 2 == 0 and i < blocks // 2:
            chosen.append(i + blocks // 2)
        partners.append(chosen)
    return partners


def chunk(points: NDArray[np.float64], values: NDArray[np.float64]):
    """A block of samples as one object, held once in a Dask graph and shared by its tasks."""
    return points, values


def piece_state(own, others, arguments):
    """Exact state of the pairs inside `own` and of those between `own` and each of `others`.

    `own` and each of `others` are (points, values); `arguments` are the engine's (edges,
    geographic, estimator, direction, bandwidth). Runs on one thread: the tasks are the
    parallelism.
    """
    points, values = own
    state = _engine.pair_state(points, values, points, values, *arguments, True, 1)
    for other in others:
        other_points, other_values = other
        if other_points.shape[0]:
            state = _engine.merge_states(
                state,
                _engine.pair_state(
                    points, values, other_points, other_values, *arguments, False, 1
                ),
            )
    return state


def merge(*states):
    """The state of the union of the pieces whose states are given."""
    merged = states[0]
    for state in states[1:]:
        merged = _engine.merge_states(merged, state)
    return merged
