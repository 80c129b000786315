"""Types of the exact pair engine behind `orv.krige.variogram`.

Class k holds the pairs at distances h with ``edges[k] <= h < edges[k + 1]``; the last class
also holds ``h == edges[-1]``. Each class's mean distance and mean per-pair value is the
correctly rounded (to nearest, ties to even) value of the exact mean, whatever the pair order,
thread count, pruning or partition into states. Empty classes give NaN means.

Arrays are C-contiguous and native-endian; they may lie at unaligned addresses (as arrays read
out of a network message do), which costs one copy of their items.
"""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

#: ``(degrees, tolerance_degrees[, dip_degrees])``: the direction and the largest angle of a
#: pair's separation from it (inclusive, 0 < tolerance <= 90), decided exactly near the bound;
#: the dip (default 0) upwards from the plane of the first two axes, for 3 columns only.
#: Geographic: the bearing at the pair's midpoint, counter-clockwise from east.
Direction = tuple[float, float] | tuple[float, float, float]
ClassMeans = tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]

#: Candidate pairs from which the configured thread count applies (one thread below).
PAIRS_WORTH_A_THREAD: int

def pair_sums(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    edges: NDArray[np.float64],
    geographic: bool,
    estimator: int,
    direction: Direction | None,
    bandwidth: float | None,
    prune: bool,
    threads: int,
    progress: Callable[[int], object] | None = None,
    /,
) -> ClassMeans:
    """``(counts, distance_means, value_means)`` over the pairs i < j of the samples.

    `points` is C-contiguous float64 (N, d): d in 1..3, or (longitude, latitude) in radians when
    `geographic` (great-circle kilometres on the 6371.0088 km sphere). `estimator` 0 averages
    ``0.5 * (v_i - v_j) ** 2``, 1 averages ``sqrt(|v_i - v_j|)``. `prune` looks for pairs among
    neighbouring cells of a grid of about ``edges[-1]`` only; the result is the same.
    """

def pair_state(
    points_a: NDArray[np.float64],
    values_a: NDArray[np.float64],
    points_b: NDArray[np.float64],
    values_b: NDArray[np.float64],
    edges: NDArray[np.float64],
    geographic: bool,
    estimator: int,
    direction: Direction | None,
    bandwidth: float | None,
    same: bool,
    threads: int,
    /,
) -> NDArray[np.int64]:
    """The exact per-class sums of the pairs (a_i, b_j), or of the pairs i < j of a if `same`."""

def map_sums(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    width: float,
    cells_per_axis: int,
    estimator: int,
    threads: int,
    progress: Callable[[int], object] | None = None,
    /,
) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    """``(counts, zeros, value_means)`` of the n × n cells of a variogram map, row by row.

    `points` is C-contiguous float64 (N, 2). Each pair i < j enters the cell of its lag and the
    mirror cell; the edges along each axis are ``±m * width`` (n even) or ``±(m + 0.5) * width``
    (n odd). The middle array holds no distances (NaN for empty cells, 0 otherwise).
    """

def merge_states(state_a: NDArray[np.int64], state_b: NDArray[np.int64], /) -> NDArray[np.int64]:
    """The state of the pairs of both states (exact, associative and commutative)."""

def finish_state(state: NDArray[np.int64], /) -> ClassMeans:
    """``(counts, distance_means, value_means)`` of a state, as `pair_sums` gives them."""
