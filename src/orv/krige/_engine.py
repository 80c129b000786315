# STAND-IN, to be deleted: a slow pure-NumPy version of the pair engine, so that the front end
# works before the native extension module `orv.krige._engine` is built. The native module takes
# this name and replaces this file; nothing may depend on anything here beyond `pair_sums`,
# `pair_state`, `merge_states` and `finish_state` with the arguments and results they share
# with the native module.
"""Exact per-class pair counts and means, by brute force over row blocks of pairs."""
import numpy as np

from .._algos.spmis.krige import _geodesy
from .._algos.spmis.krige.geodesy import EARTH_RADIUS_KM

# Pairs formed at a time: bounds the temporary arrays to a few tens of MiB.
_PAIRS_PER_BLOCK = 1 << 20

# A finite double is M * 2**(e - 53) with an integer M < 2**53 and e >= -1073 (np.frexp), so
# every sum is an integer multiple of 2**_SCALE_EXPONENT.
_SCALE_EXPONENT = -1126
# Each exact sum is stored as _LIMBS digits of 32 bits: enough for 2**63 values below 2**1024.
_DIGIT_BITS = 32
_LIMBS = 72
# One state entry per class: count, infinity flag of the distances and of the values, and the
# two sums' digits.
_ENTRY = 3 + 2 * _LIMBS


def _blocks(n_a, n_b):
    """Consecutive row ranges [start, stop) of a, each with at most about _PAIRS_PER_BLOCK pairs."""
    rows_per_block = max(1, _PAIRS_PER_BLOCK // max(n_b, 1))
    for start in range(0, n_a, rows_per_block):
        yield start, min(n_a, start + rows_per_block)


def _block_distances(points_a, points_b, start, stop, geographic):
    """Distances of rows start..stop of a to every row of b, and (dx, dy) for PROJCS."""
    if geographic:
        # The package's haversine kernel: each entry is great_circle_distance's value.
        block = np.empty((stop - start, points_b.shape[0]))
        _geodesy.haversine_matrix(
            np.ascontiguousarray(points_a[start:stop, 0]),
            np.ascontiguousarray(points_a[start:stop, 1]),
            np.ascontiguousarray(points_b[:, 0]),
            np.ascontiguousarray(points_b[:, 1]),
            block, EARTH_RADIUS_KM, False,
        )
        return block, None, None
    differences = [
        points_a[start:stop, k, None] - points_b[None, :, k] for k in range(points_a.shape[1])
    ]
    squares = differences[0] * differences[0]
    for t in differences[1:]:
        squares = squares + t * t
    dx = -differences[0]
    dy = -differences[1] if len(differences) > 1 else None
    return np.sqrt(squares), dx, dy


def _pair_values(values_a, values_b, i, j, estimator):
    with np.errstate(over="ignore", invalid="ignore"):
        difference = values_a[i] - values_b[j]
        if estimator == 0:
            return 0.5 * (difference * difference)
        return np.sqrt(np.fabs(difference))


def _selected(distances, dx, dy, direction, bandwidth):
    if direction is None:
        return np.ones(distances.shape, dtype=bool)
    ux, uy, cos_tolerance = direction
    along = np.fabs(dx * ux + dy * uy) >= cos_tolerance * distances
    if bandwidth is not None:
        along &= np.fabs(dy * ux - dx * uy) <= bandwidth
    return along | (distances == 0.0)


def _classes(distances, edges):
    """Class index of each distance; -1 for distances outside [edges[0], edges[-1]]."""
    n = edges.size - 1
    k = np.searchsorted(edges, distances, side="right") - 1
    k[distances == edges[-1]] = n - 1
    k[(k < 0) | (k >= n)] = -1
    return k


def _exact_sums(numbers, classes, n):
    """Exact per-class sums of finite non-negative doubles as integers (units of 2**-1126)."""
    sums = [0] * n
    if numbers.size == 0:
        return sums
    mantissa, exponent = np.frexp(numbers)
    digits = np.ldexp(mantissa, 53).astype(np.int64)
    high, low = digits >> 27, digits & ((1 << 27) - 1)
    keys = classes.astype(np.int64) * 4096 + (exponent.astype(np.int64) + 2048)
    order = np.argsort(keys, kind="stable")
    keys, high, low = keys[order], high[order], low[order]
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
    high_sums, low_sums = np.add.reduceat(high, starts), np.add.reduceat(low, starts)
    for key, high_sum, low_sum in zip(keys[starts].tolist(), high_sums.tolist(), low_sums.tolist()):
        k, e = divmod(key, 4096)
        shift = (e - 2048) - 53 - _SCALE_EXPONENT
        sums[k] += ((high_sum << 27) + low_sum) << shift
    return sums


def _to_digits(total):
    return [(total >> (_DIGIT_BITS * d)) & ((1 << _DIGIT_BITS) - 1) for d in range(_LIMBS)]


def _from_digits(digits):
    return sum(int(digit) << (_DIGIT_BITS * d) for d, digit in enumerate(digits))


def _check_common(edges, estimator, threads):
    edges = np.asarray(edges)
    if edges.dtype != np.float64 or edges.ndim != 1 or edges.size < 2:
        raise ValueError("edges must be a float64 array of at least 2 entries")
    if estimator not in (0, 1):
        raise ValueError(f"estimator must be 0 or 1; got {estimator!r}")
    if int(threads) < 1:
        raise ValueError(f"threads must be at least 1; got {threads!r}")
    return edges


def _check_samples(points, values, geographic):
    points, values = np.asarray(points), np.asarray(values)
    if points.dtype != np.float64 or points.ndim != 2 or not 1 <= points.shape[1] <= 3:
        raise ValueError("points must be a float64 array N x d with d in 1..3")
    if geographic and points.shape[1] != 2:
        raise ValueError("geographic points must have 2 columns")
    if values.dtype != np.float64 or values.shape != (points.shape[0],):
        raise ValueError("values must be a float64 array of one entry per point")
    return points, values


def pair_state(
    points_a, values_a, points_b, values_b, edges, geographic, estimator, direction,
    bandwidth, same, threads,
):
    """Exact mergeable state of the pairs (a_i, b_j) (i < j when `same`)."""
    edges = _check_common(edges, estimator, threads)
    points_a, values_a = _check_samples(points_a, values_a, geographic)
    points_b, values_b = _check_samples(points_b, values_b, geographic)
    n = edges.size - 1
    counts = np.zeros(n, dtype=np.int64)
    infinite = np.zeros((2, n), dtype=bool)
    sums = [[0] * n, [0] * n]
    for start, stop in _blocks(points_a.shape[0], points_b.shape[0]):
        distances, dx, dy = _block_distances(points_a, points_b, start, stop, geographic)
        i, j = np.meshgrid(np.arange(start, stop), np.arange(points_b.shape[0]), indexing="ij")
        keep = _selected(distances, dx, dy, direction, bandwidth)
        keep &= _classes(distances, edges) >= 0
        if same:
            keep &= i < j
        i, j, distances = i[keep], j[keep], distances[keep]
        classes = _classes(distances, edges)
        pair_values = _pair_values(values_a, values_b, i, j, estimator)
        counts += np.bincount(classes, minlength=n).astype(np.int64)
        for which, numbers in enumerate((distances, pair_values)):
            finite = np.isfinite(numbers)
            infinite[which, np.unique(classes[~finite])] = True
            block = _exact_sums(numbers[finite], classes[finite], n)
            sums[which] = [a + b for a, b in zip(sums[which], block)]
    state = np.zeros((n, _ENTRY), dtype=np.int64)
    state[:, 0] = counts
    state[:, 1:3] = infinite.T
    for k in range(n):
        state[k, 3 : 3 + _LIMBS] = _to_digits(sums[0][k])
        state[k, 3 + _LIMBS :] = _to_digits(sums[1][k])
    return state.ravel()


def merge_states(state_a, state_b):
    """The state of the union of two disjoint sets of pairs."""
    a = np.asarray(state_a, dtype=np.int64).reshape(-1, _ENTRY)
    b = np.asarray(state_b, dtype=np.int64).reshape(-1, _ENTRY)
    if a.shape != b.shape:
        raise ValueError("states of different numbers of classes cannot be merged")
    merged = np.zeros_like(a)
    merged[:, 0] = a[:, 0] + b[:, 0]
    merged[:, 1:3] = a[:, 1:3] | b[:, 1:3]
    for k in range(a.shape[0]):
        for offset in (3, 3 + _LIMBS):
            part = slice(offset, offset + _LIMBS)
            merged[k, part] = _to_digits(_from_digits(a[k, part]) + _from_digits(b[k, part]))
    return merged.ravel()


def finish_state(state):
    """(counts, distance_means, value_means) of a state."""
    entries = np.asarray(state, dtype=np.int64).reshape(-1, _ENTRY)
    n = entries.shape[0]
    counts = entries[:, 0].copy()
    means = np.full((2, n), np.nan)
    for k in range(n):
        if counts[k] == 0:
            continue
        for which in range(2):
            if entries[k, 1 + which]:
                means[which, k] = np.inf
                continue
            offset = 3 + which * _LIMBS
            total = _from_digits(entries[k, offset : offset + _LIMBS])
            # Integer true division is correctly rounded (to nearest, ties to even).
            means[which, k] = total / (int(counts[k]) << -_SCALE_EXPONENT)
    return counts, means[0], means[1]


def pair_sums(points, values, edges, geographic, estimator, direction, bandwidth, prune, threads):
    """(counts, distance_means, value_means) over every pair i < j of the samples."""
    state = pair_state(
        points, values, points, values, edges, geographic, estimator, direction, bandwidth,
        True, threads,
    )
    return finish_state(state)
