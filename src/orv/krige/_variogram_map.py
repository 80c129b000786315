"""The variogram map: semivariance by lag vector (dx, dy) in square cells, on the pair engine."""
from __future__ import annotations

import dataclasses
import math
from typing import TYPE_CHECKING, Any, Literal, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._progress import check_progress, progress_reporter
from ._result import read_only_copy
from ._variogram import (
    ESTIMATORS,
    NAN_POLICIES,
    _choice,
    _cressie,
    _drop_non_finite,
    _real,
    _samples,
    thread_count,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

#: The most cells along an axis (each cell that receives pairs holds about a kilobyte of exact
#: sums per thread while the pairs are counted).
MOST_CELLS_PER_AXIS = 1024

# A ratio 2 * max_lag / width this close above a whole number is that number: 2 * 0.3 / 0.1 is
# 6.000000000000001 in floating point, and should give 6 cells, not 7.
_RATIO_SLACK = 1e-9


@dataclasses.dataclass(frozen=True, eq=False)
class VariogramMap:
    """A variogram map: the semivariance of the lag vectors (dx, dy) in square cells.

    Attributes
    ----------
    x_edges, y_edges : ndarray of float64, shape (n + 1,)
        The cell edges along dx and dy, ascending and symmetric about zero (``x_edges[k] ==
        -x_edges[n - k]``).
    semivariance : ndarray of float64, shape (n, n)
        ``semivariance[iy, ix]`` is the semivariance of the cell between ``y_edges[iy]`` and
        ``y_edges[iy + 1]`` along dy and ``x_edges[ix]`` and ``x_edges[ix + 1]`` along dx; NaN
        where a cell holds no pair. Point-symmetric: ``semivariance[::-1, ::-1]`` is the same.
    counts : ndarray of int64, shape (n, n)
        The number of entries in each cell: every pair enters the cell of its lag and that of
        the opposite lag (a pair in the middle cell of an odd map enters it twice).
    width : float
        The side of a cell.
    max_lag : float
        `max_lag` as given (the outer edge ``x_edges[-1]`` is at least this).
    estimator : str
        ``"matheron"`` or ``"cressie"``.
    n_samples : int
        Number of samples used (after any omitted by ``nan_policy="omit"``).

    Returned by `orv.krige.variogram_map`. The arrays are read-only.
    """

    x_edges: NDArray[np.float64]
    y_edges: NDArray[np.float64]
    semivariance: NDArray[np.float64]
    counts: NDArray[np.int64]
    width: float = float("nan")
    max_lag: float = float("nan")
    estimator: str = "matheron"
    n_samples: int = 0

    def __post_init__(self) -> None:
        x_edges = read_only_copy(self.x_edges, np.float64, "x_edges")
        y_edges = read_only_copy(self.y_edges, np.float64, "y_edges")
        semivariance = read_only_copy(self.semivariance, np.float64, "semivariance", 2)
        counts = read_only_copy(self.counts, np.int64, "counts", 2)
        shape = (y_edges.shape[0] - 1, x_edges.shape[0] - 1)
        if semivariance.shape != shape or counts.shape != shape:
            raise ValueError(
                f"semivariance and counts must have the shape (len(y_edges) - 1, len(x_edges) - "
                f"1) = {shape}; got {semivariance.shape} and {counts.shape}"
            )
        for name, array in (
            ("x_edges", x_edges),
            ("y_edges", y_edges),
            ("semivariance", semivariance),
            ("counts", counts),
        ):
            object.__setattr__(self, name, array)

    def __repr__(self) -> str:
        n = self.counts.shape[1]
        filled = int(np.count_nonzero(self.counts))
        return (
            f"VariogramMap({n} x {n} cells of width {self.width:g} over lags within "
            f"±{float(self.x_edges[-1]):g}, {self.estimator}, {self.n_samples} samples, "
            f"{filled} cells with pairs)"
        )

    def plot(self, ax: Optional[Axes] = None, counts: bool = False) -> Axes:
        """Draw the map as an image with a colour bar; zero lag marked with a cross.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            The axes to draw on (default: new axes in a new figure).
        counts : bool, default False
            Draw the entry counts of the cells instead of the semivariance.

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on. The axes are in the lag unit (that of the coordinates), the
            colour bar in the unit of the semivariance (the values' unit squared).
        """
        if not isinstance(counts, (bool, np.bool_)):
            raise TypeError(f"counts must be True or False; got {type(counts).__name__}")
        import matplotlib.pyplot as plt

        if ax is None:
            _, ax = plt.subplots(figsize=(5.5, 4.5))
        shown = np.where(self.counts > 0, self.counts, np.nan) if counts else self.semivariance
        image = ax.pcolormesh(self.x_edges, self.y_edges, shown, shading="flat")
        bar = ax.figure.colorbar(image, ax=ax)
        bar.set_label("entries per cell" if counts else "semivariance (value unit²)")
        ax.plot([0.0], [0.0], marker="+", color="red", markersize=12, linestyle="none",
                label="zero lag")
        ax.set_xlabel("lag dx (coordinate unit)")
        ax.set_ylabel("lag dy (coordinate unit)")
        ax.set_aspect("equal")
        ax.set_title(f"variogram map ({self.estimator})")
        return ax

    def to_xarray(self) -> Any:
        """The map as an ``xarray.Dataset`` with the variables ``semivariance`` and ``counts``
        over the cell centres ``dy`` and ``dx``.

        Raises
        ------
        ImportError
            When xarray is not installed (``pip install "orv-krige[geo]"``).
        """
        try:
            import xarray
        except ImportError as error:
            raise ImportError(
                'VariogramMap.to_xarray needs xarray: pip install "orv-krige[geo]" (or xarray)'
            ) from error
        dx = 0.5 * (self.x_edges[:-1] + self.x_edges[1:])
        dy = 0.5 * (self.y_edges[:-1] + self.y_edges[1:])
        return xarray.Dataset(
            {
                "semivariance": (("dy", "dx"), np.array(self.semivariance)),
                "counts": (("dy", "dx"), np.array(self.counts)),
            },
            coords={"dx": dx, "dy": dy},
            attrs={"width": self.width, "max_lag": self.max_lag, "estimator": self.estimator},
        )


def _cells_per_axis(width: float, max_lag: float) -> int:
    ratio = 2.0 * max_lag / width
    if not math.isfinite(ratio):
        raise ValueError(
            f"max_lag / width is too large ({max_lag!r} / {width!r}); the map may have at most "
            f"{MOST_CELLS_PER_AXIS} cells along each axis"
        )
    n = max(1, math.ceil(ratio - _RATIO_SLACK * ratio))
    if n > MOST_CELLS_PER_AXIS:
        raise ValueError(
            f"2 * max_lag / width = {ratio:g} cells along each axis; at most "
            f"{MOST_CELLS_PER_AXIS} are allowed: pass a larger width or a smaller max_lag"
        )
    return n


def _axis_edges(width: float, n: int) -> NDArray[np.float64]:
    """±m·width (n even) or ±(m + ½)·width (n odd), ascending: the engine's products."""
    offset = 0.5 if n % 2 else 0.0
    outer = np.array([(float(m) + offset) * width for m in range(n // 2 + 1)])
    inner = outer[1:] if offset == 0.0 else outer
    return np.concatenate([-inner[::-1], outer])


def variogram_map(
    points: ArrayLike,
    values: ArrayLike,
    *,
    width: float,
    max_lag: float,
    estimator: Literal["matheron", "cressie"] = "matheron",
    nan_policy: Literal["raise", "omit"] = "raise",
    progress: object = False,
) -> VariogramMap:
    """Variogram map: the semivariance of the lag vectors (dx, dy) in square cells.

    Every unordered pair of distinct samples is entered at its lag (xj − xi, yj − yi) and at the
    opposite lag, so the map is point-symmetric; a cell's semivariance is the mean over its
    entries. Anisotropy shows as elongated contours.

    Parameters
    ----------
    points : array_like, shape (N, 2)
        Planar sample coordinates (projected, any unit).
    values : array_like, shape (N,)
        The sample values.
    width : float
        The side of the square cells, positive and finite, in the coordinates' unit.
    max_lag : float
        The cells cover at least [-max_lag, max_lag] along dx and dy: n = ceil(2 max_lag /
        width) cells per axis (at most 1024), laid symmetrically about zero lag, so the outer
        edge is n·width / 2 >= max_lag.
    estimator : {"matheron", "cressie"}, default "matheron"
        As in `variogram`: the mean of ½(v_i − v_j)², or the Cressie–Hawkins estimator from
        the mean m of |v_i − v_j|^½ over the cell's n entries.
    nan_policy : {"raise", "omit"}, default "raise"
        What to do with samples that have a NaN or infinite value or coordinate.
    progress : bool or tqdm, default False
        True shows a progress bar of the samples whose pairs are done on standard error (needs
        the ``progress`` extra); a tqdm bar is advanced instead.

    Returns
    -------
    VariogramMap
        Edges, semivariance[ny, nx] (NaN where empty) and entry counts.

    Raises
    ------
    ValueError
        For shapes other than (N, 2) and (N,), fewer than 2 samples, a `width` or `max_lag`
        that is not positive and finite, more than 1024 cells per axis, an unknown `estimator`
        or `nan_policy`, and non-finite samples with ``nan_policy="raise"``.
    TypeError
        For data that are not real numbers and options of the wrong type.

    Notes
    -----
    Cells: along each axis the edges are ±m·width when n is even (zero lag is then the corner
    of four cells) and ±(m + ½)·width when n is odd (zero lag is the centre of the middle
    cell). A lag on an edge goes to the cell farther from zero lag, one on the outer edge to the
    outermost cell. The cell does not depend on which sample of a pair comes first: the lag is
    taken with dx > 0, or dx = 0 and dy >= 0, and its opposite goes to the mirror cell; so a
    lag (0, dy) with an even n goes right of the dy axis for dy >= 0 and left of it for dy < 0,
    and a pair of duplicates enters the cell above and right of zero lag and the one below and
    left of it.

    Exactness as in `variogram`: each cell's mean per-pair value is the correctly rounded mean
    of its entries' float64 values ``0.5 * ((v_i - v_j) * (v_i - v_j))`` (or
    ``sqrt(|v_i - v_j|)``), the same bits for any order of the samples, thread count or
    tiling. The pairs are found through a grid of cells of about the outer edge, so the cost
    follows the number of pairs within the map, not N²; memory grows with N and the number of
    cells. The work runs on up to `get_num_threads` threads without holding the interpreter
    lock and stops on Ctrl+C.

    Examples
    --------
    >>> import numpy as np
    >>> from orv.krige import variogram_map
    >>> rng = np.random.default_rng(0)
    >>> points = rng.uniform(0, 100, size=(400, 2))
    >>> values = np.sin(points[:, 0] / 10)
    >>> vmap = variogram_map(points, values, width=5.0, max_lag=30.0)
    >>> vmap.semivariance.shape
    (12, 12)
    """
    method = _choice(estimator, "estimator", ESTIMATORS)
    policy = _choice(nan_policy, "nan_policy", NAN_POLICIES)
    check_progress(progress)
    side = _real(width, "width", "a positive finite number")
    if side <= 0.0:
        raise ValueError(f"width must be a positive finite number; got {side!r}")
    lag = _real(max_lag, "max_lag", "a positive finite number")
    if lag <= 0.0:
        raise ValueError(f"max_lag must be a positive finite number; got {lag!r}")
    n = _cells_per_axis(side, lag)
    coordinates, samples = _samples(points, values, "PROJCS")
    if coordinates.shape[1] != 2:
        raise ValueError(
            "points must be an N x 2 array of planar coordinates for a variogram map; got "
            f"shape {coordinates.shape}"
        )
    coordinates, samples = _drop_non_finite(coordinates, samples, policy)
    n_samples = samples.shape[0]
    if n_samples < 2:
        raise ValueError(
            f"points and values must hold at least 2 samples with finite values and "
            f"coordinates; got {n_samples}"
        )
    with progress_reporter(
        progress, n_samples, unit="sample", description="variogram map"
    ) as report:
        counts, _, value_means = _engine.map_sums(
            coordinates, samples, side, n, ESTIMATORS.index(method), thread_count(n_samples),
            report,
        )
    if method == "cressie":
        semivariance = _cressie(np.asarray(value_means), np.asarray(counts))
    else:
        semivariance = np.asarray(value_means)
    edges = _axis_edges(side, n)
    return VariogramMap(
        x_edges=edges,
        y_edges=edges,
        semivariance=semivariance.reshape(n, n),
        counts=np.asarray(counts).reshape(n, n),
        width=side,
        max_lag=lag,
        estimator=method,
        n_samples=n_samples,
    )
