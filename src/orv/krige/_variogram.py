"""The public experimental variogram: argument checks and conversion around the pair engine."""
from __future__ import annotations

import math
import numbers
import os
import warnings
from collections.abc import Sequence
from typing import Literal, NamedTuple, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige import threads as _threads
from .._algos.spmis.krige.geodesy import great_circle_distance
from .._algos.spmis.krige.points import real_array
from . import _engine, _geo
from ._progress import check_progress, progress_reporter
from ._result import ExperimentalVariogram

GTYPES = ("PROJCS", "GEOGCS")
ESTIMATORS = ("matheron", "cressie")
NAN_POLICIES = ("raise", "omit")

# Below this many candidate pairs one thread is as fast as several.
_PAIRS_PER_EXTRA_THREAD = _engine.PAIRS_WORTH_A_THREAD

# Cressie–Hawkins bias correction: γ = ½ m⁴ / (0.457 + 0.494/n + 0.045/n²).
_CRESSIE_CONSTANT, _CRESSIE_LINEAR, _CRESSIE_QUADRATIC = 0.457, 0.494, 0.045


def _choice(value: object, name: str, accepted: tuple[str, ...]) -> str:
    listed = ", ".join(repr(a) for a in accepted)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be one of {listed}; got {type(value).__name__}")
    if value not in accepted:
        raise ValueError(f"{name} must be one of {listed}; got {value!r}")
    return value


def _real(value: object, name: str, accepted: str) -> float:
    """`value` as a float; a bool or anything but a real number is a TypeError."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be {accepted}; got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be {accepted}; got {number!r}")
    return number


def _nullable_as_float(x: ArrayLike) -> ArrayLike:
    """pandas columns of nullable integer or floating dtypes (Int64, Float64) as float64, NA as
    NaN, which `nan_policy` then handles; anything else unchanged.

    NumPy sees such columns as arrays of objects once they hold NA, or once a frame mixes them.
    """
    dtypes = getattr(x, "dtypes", None)
    if dtypes is None or not hasattr(x, "to_numpy"):
        return x
    listed = list(dtypes) if getattr(x, "ndim", 1) == 2 else [dtypes]
    extension = [d for d in listed if not isinstance(d, np.dtype)]
    if extension and all(getattr(d, "kind", None) in ("i", "u", "f") for d in listed):
        return x.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[union-attr]
    return x


def _samples(
    points: ArrayLike, values: ArrayLike, gtype: str
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Coordinates N x d and values N as C-contiguous float64 arrays, shapes checked.

    Arrays that already are such are used as they are: the engine reads each sample once into
    memory of its own, so a copy here would only add to the peak memory.
    """
    coordinates = real_array(_nullable_as_float(points), "points")
    if coordinates.ndim == 1 and gtype == "PROJCS":
        coordinates = coordinates[:, None]
    if gtype == "GEOGCS" and (coordinates.ndim != 2 or coordinates.shape[1] != 2):
        raise ValueError(
            "points must be an N x 2 array of (longitude, latitude) in degrees for "
            f"gtype='GEOGCS'; got shape {coordinates.shape}"
        )
    if coordinates.ndim != 2 or not 1 <= coordinates.shape[1] <= 3:
        raise ValueError(
            "points must be an N x d array with d = 1, 2 or 3 coordinates (or a one-dimensional "
            f"array of N coordinates) for gtype='PROJCS'; got shape {coordinates.shape}"
        )
    samples = real_array(_nullable_as_float(values), "values")
    if samples.ndim != 1:
        raise ValueError(
            f"values must be a one-dimensional array of N numbers; got shape {samples.shape}"
        )
    if samples.shape[0] != coordinates.shape[0]:
        raise ValueError(
            f"points and values must have the same length (one value per sample); got "
            f"{coordinates.shape[0]} points and {samples.shape[0]} values"
        )
    return (
        np.ascontiguousarray(coordinates, dtype=np.float64),
        np.ascontiguousarray(samples, dtype=np.float64),
    )


def _drop_non_finite(
    coordinates: NDArray[np.float64], samples: NDArray[np.float64], nan_policy: str
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    bad = ~(np.isfinite(samples) & np.isfinite(coordinates).all(axis=1))
    count = int(np.count_nonzero(bad))
    if count == 0:
        return coordinates, samples
    if nan_policy == "raise":
        raise ValueError(
            f"{count} sample(s) have a NaN or infinite value or coordinate, the first at index "
            f"{int(np.argmax(bad))}; remove them or pass nan_policy='omit'"
        )
    warnings.warn(
        f"omitted {count} sample(s) with a NaN or infinite value or coordinate",
        RuntimeWarning,
        # Attributed to the caller's line, however many of this package's frames lie between.
        skip_file_prefixes=(os.path.dirname(__file__) + os.sep,),
    )
    keep = ~bad
    return np.ascontiguousarray(coordinates[keep]), np.ascontiguousarray(samples[keep])


def _extent(coordinates: NDArray[np.float64], geographic: bool) -> float:
    """Diagonal of the bounding box (great-circle distance of its corners for GEOGCS)."""
    lower, upper = coordinates.min(axis=0), coordinates.max(axis=0)
    if geographic:
        return float(great_circle_distance(lower[None, :], upper[None, :])[0, 0])
    # Scaled by the largest side, as hypot does, so that squaring neither under- nor overflows.
    with np.errstate(over="ignore"):
        span = upper - lower
    largest = float(np.max(span)) if span.size else 0.0
    if not (math.isfinite(largest) and largest > 0.0):
        return largest
    relative = span / largest
    return largest * float(np.sqrt(np.sum(relative * relative)))


def _edges(bins: object, max_lag: object, extent: float) -> NDArray[np.float64]:
    """Class edges from `bins` and `max_lag` (derived from `extent` when None)."""
    if isinstance(bins, (numbers.Integral, np.integer)) and not isinstance(bins, (bool, np.bool_)):
        n = int(bins)
        if n < 1:
            raise ValueError(
                f"bins must be a positive number of classes or a sequence of edges; got {n}"
            )
        if max_lag is None:
            if not (math.isfinite(extent) and extent / 3.0 > 0.0):
                raise ValueError(
                    "max_lag cannot be derived from the data, whose extent is "
                    f"{extent!r} (all samples at one location, or coordinates too far apart); "
                    "pass a positive max_lag or a sequence of edges as bins"
                )
            lag = extent / 3.0
        else:
            lag = _real(max_lag, "max_lag", "a positive finite number or None")
            if lag <= 0.0:
                raise ValueError(f"max_lag must be a positive finite number or None; got {lag!r}")
        edges = np.linspace(0.0, lag, n + 1)
        if not np.all(edges[1:] > edges[:-1]):
            raise ValueError(
                f"bins={n} classes of width max_lag / bins={lag!r} / {n} would have equal edges; "
                "pass fewer classes or a larger max_lag"
            )
        return edges
    if isinstance(bins, (str, bytes)) or not isinstance(bins, (Sequence, np.ndarray)):
        raise TypeError(
            "bins must be a positive int (the number of classes) or a sequence of class edges; "
            f"got {type(bins).__name__}"
        )
    if max_lag is not None:
        raise ValueError(
            "max_lag must be None when bins is a sequence of edges (the last edge is the "
            "maximum lag)"
        )
    edges = real_array(bins, "bins")
    if edges.ndim != 1 or edges.shape[0] < 2:
        raise ValueError(
            f"bins must be a sequence of at least 2 class edges; got shape {edges.shape}"
        )
    edges = np.array(edges, dtype=np.float64, order="C", copy=True)
    if not (np.all(np.isfinite(edges)) and np.all(edges >= 0.0)):
        raise ValueError("bins edges must be finite and non-negative")
    if not np.all(edges[1:] > edges[:-1]):
        raise ValueError("bins edges must be strictly ascending")
    return edges


Direction = Union[float, tuple[float, float]]


def _angles(direction: object, columns: int, gtype: str) -> tuple[Direction, float, float]:
    """`direction` as given (a float, or (angle, dip) as floats), its angle and its dip."""
    if isinstance(direction, (str, bytes)) or not isinstance(direction, (Sequence, np.ndarray)):
        angle = _real(direction, "direction", "a number of degrees, (angle, dip) or None")
        return angle, angle, 0.0
    parts = list(direction)
    if len(parts) != 2:
        raise ValueError(
            "direction must be a number of degrees or a pair (angle, dip) of degrees; got "
            f"{len(parts)} item(s)"
        )
    if gtype != "PROJCS" or columns != 3:
        raise ValueError(
            "direction=(angle, dip) needs gtype='PROJCS' with 3 coordinate columns (a dip has "
            f"no meaning otherwise); got gtype={gtype!r} with {columns} column(s): pass the "
            "angle alone"
        )
    angle = _real(parts[0], "direction angle", "a number of degrees")
    dip = _real(parts[1], "direction dip", "a number of degrees within [-90, 90]")
    if not -90.0 <= dip <= 90.0:
        raise ValueError(f"direction dip must be a number of degrees within [-90, 90]; got {dip!r}")
    return (angle, dip), angle, dip


def _direction(
    direction: object, tolerance: object, bandwidth: object, gtype: str, columns: int
) -> tuple[Optional[Direction], float, Optional[float], Optional[tuple[float, float, float]]]:
    """The options as floats, and the engine's (degrees, tolerance_degrees, dip_degrees) or
    None."""
    half_angle = _real(tolerance, "tolerance", "a number of degrees with 0 < tolerance <= 90")
    if not 0.0 < half_angle <= 90.0:
        raise ValueError(
            f"tolerance must be a number of degrees with 0 < tolerance <= 90; got {half_angle!r}"
        )
    if direction is None:
        if bandwidth is not None:
            raise ValueError("bandwidth must be None when direction is None")
        return None, half_angle, None, None
    given, angle, dip = _angles(direction, columns, gtype)
    if gtype == "PROJCS" and columns == 1:
        raise ValueError(
            "direction must be None for points on a line (1 coordinate column); it needs 2 or "
            "3 columns, or gtype='GEOGCS'"
        )
    width = None
    if bandwidth is not None:
        width = _real(bandwidth, "bandwidth", "a positive finite number or None")
        if width <= 0.0:
            raise ValueError(f"bandwidth must be a positive finite number or None; got {width!r}")
    return given, half_angle, width, (angle, half_angle, dip)


def _cressie(means: NDArray[np.float64], counts: NDArray[np.int64]) -> NDArray[np.float64]:
    """½ m⁴ / (0.457 + 0.494/n + 0.045/n²), element by element, NaN for empty classes."""
    n = counts.astype(np.float64)
    with np.errstate(all="ignore"):
        square = means * means
        denominator = (_CRESSIE_CONSTANT + _CRESSIE_LINEAR / n) + _CRESSIE_QUADRATIC / (n * n)
        gamma = (0.5 * (square * square)) / denominator
    return np.where(counts > 0, gamma, np.nan)


def variogram(
    points: ArrayLike,
    values: ArrayLike,
    bins: Union[int, Sequence[float], NDArray[np.floating]] = 15,
    *,
    max_lag: Optional[float] = None,
    gtype: Optional[Literal["PROJCS", "GEOGCS"]] = None,
    estimator: Literal["matheron", "cressie"] = "matheron",
    direction: Optional[Union[float, tuple[float, float]]] = None,
    tolerance: float = 22.5,
    bandwidth: Optional[float] = None,
    nan_policy: Literal["raise", "omit"] = "raise",
    progress: object = False,
) -> ExperimentalVariogram:
    """Experimental semivariogram of scattered samples, by distance class.

    Every unordered pair of distinct samples whose distance lies within the classes (and, with
    `direction`, whose separation points along it) is counted in its class; each class reports
    its number of pairs, their mean distance and its semivariance.

    Parameters
    ----------
    points : array_like, shape (N, d) or (N,), or GeoSeries or GeoDataFrame of points
        Sample coordinates, one row per sample. GeoPandas points bring their CRS: a
        geographic one means GEOGCS (x = longitude, y = latitude, as GeoPandas keeps them
        whatever the CRS's axis order), a projected one PROJCS with its linear unit as the
        result's `unit`; non-point geometries are refused. ``gtype="PROJCS"``: d = 1, 2 or 3 planar
        coordinates in any unit (a one-dimensional array is N positions on a line, d = 1).
        ``gtype="GEOGCS"``: d = 2, (longitude, latitude) in degrees, longitude first.
    values : array_like, shape (N,), or str
        The sample values (lists, NumPy arrays and pandas Series work); with a GeoDataFrame
        also the name of one of its columns.
    bins : int or sequence of float, default 15
        An int n >= 1: n equal-width classes from 0 to `max_lag`, with the edges
        ``np.linspace(0, max_lag, n + 1)``. Or the class edges themselves: at least 2 finite,
        non-negative, strictly ascending numbers (then `max_lag` must be None). Class k holds
        the pairs at distances h with ``edges[k] <= h < edges[k + 1]``; the last class also
        holds ``h == edges[-1]``. Pairs outside ``[edges[0], edges[-1]]`` are not counted.
    max_lag : float, optional
        The largest distance counted, positive and finite, with an int `bins`. By default one
        third of the data's extent: the diagonal of the coordinates' bounding box for PROJCS,
        the great-circle distance between its corners (smallest longitude and latitude,
        largest longitude and latitude) for GEOGCS.
    gtype : {"PROJCS", "GEOGCS"}, optional
        By default that of the points' CRS, else PROJCS (a gtype that contradicts the CRS is
        a ValueError). Coordinate type: Euclidean distances in coordinate units, or great-circle distances in
        kilometres on a sphere of radius 6371.0088 km, for each pair exactly the value of
        `great_circle_distance`.
    estimator : {"matheron", "cressie"}, default "matheron"
        "matheron": the mean of ½(v_i − v_j)² over the class's pairs. "cressie" (Cressie and
        Hawkins, robust to outliers): ½ m⁴ / (0.457 + 0.494/n + 0.045/n²), with m the mean of
        |v_i − v_j|^½ over the class's n pairs.
    direction : float or (float, float), optional
        Only pairs whose separation points along this direction (either sense) are counted.
        PROJCS with 2 columns: degrees counter-clockwise from the first axis, as in
        `adjust_anisotropy`. PROJCS with 3 columns: ``(angle, dip)``, the angle as in 2-D in
        the plane of the first two axes and the dip upwards from that plane, -90 <= dip <= 90
        (``(0, 90)`` is vertical); a number alone is the angle with dip 0. GEOGCS: the pair's
        bearing at the midpoint of its great circle, degrees counter-clockwise from east.
        None (default): all directions. Not for points on a line.
    tolerance : float, default 22.5
        With `direction`, the largest angle in degrees between a pair's separation and the
        direction line, 0 < tolerance <= 90 (90 selects every pair): a double wedge in 2-D, a
        double cone in 3-D. Pairs on the bound count.
    bandwidth : float, optional
        With `direction`, the largest distance of a pair's separation from the direction line
        (positive; kilometres across the direction for GEOGCS): a strip in 2-D, a cylinder in
        3-D. Pairs on the bound count. None: no limit.
    nan_policy : {"raise", "omit"}, default "raise"
        What to do with samples that have a NaN or infinite value or coordinate: raise a
        ValueError, or leave them out with a RuntimeWarning saying how many.
    progress : bool or tqdm, default False
        True shows a progress bar of the samples whose pairs are done on standard error (needs
        the ``progress`` extra); a tqdm bar is advanced instead. Off, nothing is counted.

    Returns
    -------
    ExperimentalVariogram
        The edges, mean distance (lag), semivariance and pair count of each class; lag and
        semivariance are NaN for classes without pairs.

    Raises
    ------
    ValueError
        For shapes or lengths that do not match, fewer than 2 samples (after omission), an
        unknown `gtype`, `estimator` or `nan_policy`, latitudes outside [-90, 90], edges that
        are not finite, non-negative and strictly ascending, `max_lag` with a sequence of
        edges, `direction` for points on a line, ``(angle, dip)`` other than for PROJCS with
        3 columns, `bandwidth` without `direction`, a
        `tolerance` outside (0, 90], non-finite values where finite ones are required, and
        non-finite samples with ``nan_policy="raise"``.
    TypeError
        For data that are not real numbers (booleans, complex numbers, strings) and options of
        the wrong type.

    Notes
    -----
    Exactness: each class's mean distance and mean per-pair value (the semivariance for
    "matheron", the mean of |v_i − v_j|^½ for "cressie") is the correctly rounded
    (round-to-nearest-even) value of the exact mean of that class's per-pair float64 values.
    A pair's distance is ``sqrt`` of the squared coordinate differences added left to right,
    ``sqrt((t0*t0 + t1*t1) + t2*t2)`` with ``t_k = x_ik - x_jk`` (PROJCS), or
    `great_circle_distance`'s value (GEOGCS); its semivariance is
    ``0.5 * ((v_i - v_j) * (v_i - v_j))``. The result therefore does not depend on the order of
    the pairs, the number of threads or how the work is split: it is the same bits everywhere.
    A per-pair value that overflows to infinity makes its class's mean infinite. The
    Cressie–Hawkins semivariance is computed from m with ordinary float64 arithmetic in a fixed
    order, so it is deterministic too.

    The work runs on up to `get_num_threads` threads (one for fewer than 10⁷ candidate pairs)
    without holding the interpreter lock, and can be interrupted with Ctrl+C. Memory grows with
    N, not with the number of pairs.

    Examples
    --------
    >>> import numpy as np
    >>> from orv.krige import variogram
    >>> rng = np.random.default_rng(0)
    >>> points = rng.uniform(0, 100, size=(500, 2))
    >>> values = np.sin(points[:, 0] / 10) + rng.normal(0, 0.1, 500)
    >>> result = variogram(points, values, bins=10, max_lag=30)
    >>> result.counts.shape, result.max_lag
    ((10,), 30.0)
    """
    # GeoPandas points: coordinates, gtype and unit from their CRS.
    given = _geo.samples(points, values, gtype)
    prepared = _prepare(
        given.points,
        given.values,
        bins,
        max_lag=max_lag,
        gtype=given.gtype,
        estimator=estimator,
        direction=direction,
        tolerance=tolerance,
        bandwidth=bandwidth,
        nan_policy=nan_policy,
    )
    check_progress(progress)
    n_samples = prepared.values.shape[0]
    threads = thread_count(n_samples)
    with progress_reporter(progress, n_samples, unit="sample", description="variogram") as report:
        counts, distance_means, value_means = _engine.pair_sums(
            prepared.points,
            prepared.values,
            prepared.edges,
            prepared.geographic,
            prepared.estimator_code,
            prepared.engine_direction,
            prepared.bandwidth,
            prepared.prune,
            threads,
            report,
        )
    return _geo.with_unit(_result(prepared, counts, distance_means, value_means), given.unit)


def thread_count(n_samples: int) -> int:
    """The configured thread count, or 1 below the candidate pairs worth a second thread."""
    candidate_pairs = n_samples * (n_samples - 1) // 2
    return _threads.get_num_threads() if candidate_pairs >= _PAIRS_PER_EXTRA_THREAD else 1


class _Prepared(NamedTuple):
    """Checked, converted arguments: the engine's inputs and the result's descriptive fields."""

    points: NDArray[np.float64]  # C-contiguous N x d; GEOGCS: (longitude, latitude) in radians
    values: NDArray[np.float64]
    edges: NDArray[np.float64]
    geographic: bool
    estimator_code: int
    engine_direction: Optional[tuple[float, float, float]]  # degrees, tolerance, dip in degrees
    bandwidth: Optional[float]
    prune: bool  # the last edge lies below the data's extent
    extent: float
    gtype: str
    estimator: str
    direction: Optional[Direction]
    tolerance: float


def _prepare(
    points: ArrayLike,
    values: ArrayLike,
    bins: object,
    *,
    max_lag: object,
    gtype: object,
    estimator: object,
    direction: object,
    tolerance: object,
    bandwidth: object,
    nan_policy: object,
    progress: object = False,
) -> _Prepared:
    """The arguments of `variogram` checked and converted for the pair engine.

    `progress` is handled by `variogram` itself; other callers (the Dask front end, which takes
    the options of `variogram`) have no bar to drive and refuse one.
    """
    if progress is not False:
        raise ValueError(
            "progress must be False here: progress bars are shown by orv.krige.variogram and "
            "variogram_map, not when the pairs are split into tasks"
        )
    coordinate_type = _choice(gtype, "gtype", GTYPES)
    method = _choice(estimator, "estimator", ESTIMATORS)
    policy = _choice(nan_policy, "nan_policy", NAN_POLICIES)
    geographic = coordinate_type == "GEOGCS"
    coordinates, samples = _samples(points, values, coordinate_type)
    chosen_direction, half_angle, width, engine_direction = _direction(
        direction, tolerance, bandwidth, coordinate_type, coordinates.shape[1]
    )
    coordinates, samples = _drop_non_finite(coordinates, samples, policy)
    n_samples = samples.shape[0]
    if n_samples < 2:
        raise ValueError(
            f"points and values must hold at least 2 samples with finite values and "
            f"coordinates; got {n_samples}"
        )
    if geographic and not np.all(np.abs(coordinates[:, 1]) <= 90.0):
        first = int(np.argmax(np.abs(coordinates[:, 1]) > 90.0))
        raise ValueError(
            "points latitudes (second column) must lie within [-90, 90] degrees for "
            f"gtype='GEOGCS'; got {float(coordinates[first, 1])!r} at index {first}"
        )
    extent = _extent(coordinates, geographic)
    edges = _edges(bins, max_lag, extent)

    if geographic:
        # The conversion of great_circle_distance (element by element, so converting both
        # columns at once gives the same bits), so that every pair's distance is its value.
        coordinates = np.radians(coordinates, dtype=np.float64)
    return _Prepared(
        points=coordinates,
        values=samples,
        edges=edges,
        geographic=geographic,
        estimator_code=ESTIMATORS.index(method),
        engine_direction=engine_direction,
        bandwidth=width,
        prune=float(edges[-1]) < extent,
        extent=extent,
        gtype=coordinate_type,
        estimator=method,
        direction=chosen_direction,
        tolerance=half_angle,
    )


def _result(
    prepared: _Prepared,
    counts: NDArray[np.int64],
    distance_means: NDArray[np.float64],
    value_means: NDArray[np.float64],
) -> ExperimentalVariogram:
    """The ExperimentalVariogram of the engine's per-class counts and means."""
    if prepared.estimator == "cressie":
        semivariance = _cressie(np.asarray(value_means), np.asarray(counts))
    else:
        semivariance = value_means
    return ExperimentalVariogram(
        edges=prepared.edges,
        lags=distance_means,
        semivariance=semivariance,
        counts=counts,
        gtype=prepared.gtype,
        estimator=prepared.estimator,
        unit="km" if prepared.geographic else None,
        n_samples=prepared.values.shape[0],
        max_lag=float(prepared.edges[-1]),
        direction=prepared.direction,
        tolerance=prepared.tolerance,
        bandwidth=prepared.bandwidth,
    )
