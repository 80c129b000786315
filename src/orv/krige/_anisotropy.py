"""Geometric anisotropy from directional semivariograms: a range fitted in each of several
directions, and the ellipse of ranges fitted to them."""
from __future__ import annotations

import dataclasses
import math
import numbers
from collections.abc import Sequence
from typing import TYPE_CHECKING, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _geo
from ._classic import adjust_anisotropy
from ._fit import FittedVariogram, restore_read_only
from ._models import MODELS, model_name
from ._result import ExperimentalVariogram
from ._variogram import variogram

if TYPE_CHECKING:
    from matplotlib.axes import Axes

#: Rounds of the shared nugget: each round fits the directions with the nugget held, the
#: ellipse, then the nugget again in all directions after the coordinates are adjusted by it.
#: The second round moved the nugget by a few per cent and the third by nothing visible.
NUGGET_ROUNDS = 2


@dataclasses.dataclass(frozen=True)
class RangeEllipse:
    """Geometric anisotropy fitted to ranges found in several directions.

    `angle` is the direction of the major axis (degrees in [0, 180), counter-clockwise from
    the first axis), `major` and `minor` the ranges along and across it; `covariance` is that
    of (angle, major, minor, ratio), from the scatter of the ranges about the ellipse.
    """

    angle: float
    major: float
    minor: float
    covariance: np.ndarray

    @property
    def ratio(self) -> float:
        return self.major / self.minor

    def stderr(self, index: int) -> float:
        variance = float(self.covariance[index, index])
        return math.sqrt(variance) if variance >= 0.0 else math.nan

    def range_at(self, direction: np.ndarray) -> np.ndarray:
        """The range of the ellipse in each direction (degrees)."""
        return _range_at(direction, self.angle, self.major, self.minor)


def _range_at(direction, angle, major, minor):
    delta = np.radians(np.asarray(direction, dtype=np.float64) - angle)
    return 1.0 / np.hypot(np.cos(delta) / major, np.sin(delta) / minor)


def _ellipse_axes(quadratic: np.ndarray) -> np.ndarray:
    """(angle, major, minor, ratio) of the ellipse uᵀ M u = 1 / r² with M from (A, B, C)."""
    a, b, c = quadratic
    mean, half = (a + b) / 2.0, math.hypot((a - b) / 2.0, c)
    smallest, largest = mean - half, mean + half
    if smallest <= 0.0:
        raise ValueError("the ranges do not fit an ellipse: the range would be unbounded in "
                         "some direction")
    # The major axis is the eigenvector of the smallest eigenvalue, 90° from that of the largest.
    angle = (math.degrees(0.5 * math.atan2(2.0 * c, a - b)) + 90.0) % 180.0
    major, minor = 1.0 / math.sqrt(smallest), 1.0 / math.sqrt(largest)
    return np.array([angle, major, minor, major / minor])


def fit_range_ellipse(directions: Sequence[float], ranges: Sequence[float],
                      stderrs: Sequence[float]) -> RangeEllipse:
    """Fits the ellipse of geometric anisotropy to ranges found in several directions.

    A range r(θ) of geometric anisotropy satisfies 1 / r² = A cos²θ + B sin²θ + 2C sinθ cosθ,
    linear in (A, B, C); each direction is weighted by the inverse variance of 1 / r² from
    the standard error of its range, and the covariance of (A, B, C) is scaled by the
    residual scatter, whose spread it then reflects. The axes follow from the eigenvalues.
    """
    theta = np.radians(np.asarray(directions, dtype=np.float64))
    r = np.asarray(ranges, dtype=np.float64)
    s = np.asarray(stderrs, dtype=np.float64)
    if theta.size < 4:
        raise ValueError(f"the ellipse needs ranges in at least 4 directions; got {theta.size}")
    design = np.column_stack([np.cos(theta) ** 2, np.sin(theta) ** 2,
                              2.0 * np.sin(theta) * np.cos(theta)])
    # Var(1/r²) = (2 s / r³)²; a direction without a standard error counts as the median one,
    # and when none has one all count alike.
    relative = np.where(np.isfinite(s) & (s > 0.0), s / r, np.nan)
    if np.all(np.isnan(relative)):
        relative = np.ones_like(r)
    relative = np.where(np.isnan(relative), np.nanmedian(relative), relative)
    weights = 1.0 / (2.0 * relative / r**2) ** 2
    normal = design.T @ (weights[:, None] * design)
    quadratic = np.linalg.solve(normal, design.T @ (weights / r**2))
    residuals = 1.0 / r**2 - design @ quadratic
    scale = float(weights @ residuals**2) / (theta.size - 3)
    covariance = np.linalg.inv(normal) * scale
    axes = _ellipse_axes(quadratic)
    # First-order propagation with a numerical Jacobian; angles differ modulo 180°.
    jacobian = np.empty((4, 3))
    for k in range(3):
        step = np.zeros(3)
        step[k] = 1e-6 * max(abs(quadratic).max(), 1e-300)
        difference = _ellipse_axes(quadratic + step) - _ellipse_axes(quadratic - step)
        difference[0] = (difference[0] + 90.0) % 180.0 - 90.0
        jacobian[:, k] = difference / (2.0 * step[k])
    return RangeEllipse(float(axes[0]), float(axes[1]), float(axes[2]),
                        jacobian @ covariance @ jacobian.T)


@dataclasses.dataclass(frozen=True, eq=False)
class Anisotropy:
    """Geometric anisotropy of a 2-D field, returned by `fit_anisotropy`.

    Pass it as ``Kriging(..., anisotropy=a)`` with a model whose Range is `major_range`: it
    stands for the pair ``(a.angle, a.ratio)`` of Kriging's ``(angle, scale)``, so distances
    are measured after turning the coordinates by ``-angle`` and multiplying the offset across
    the major axis by `ratio`. A range R along the major axis is then R / ratio = `minor_range`
    across it. The same pair adjusts coordinates as ``adjust_anisotropy(points, center,
    [a.ratio], [a.angle])``.

    Attributes
    ----------
    angle : float
        Direction of the major axis (the greatest range), degrees in [0, 180) counter-clockwise
        from the first axis.
    ratio : float
        ``major_range / minor_range`` (>= 1).
    major_range, minor_range : float
        Ranges along and across the major axis, in the unit of the coordinates.
    angle_stderr, ratio_stderr, major_range_stderr, minor_range_stderr : float
        Standard errors from the scatter of the directional ranges about the ellipse
        (first-order propagation); NaN when the ranges fit the ellipse exactly in as many
        directions as it has parameters.
    covariance : ndarray of float64, shape (4, 4)
        Covariance of (angle, major_range, minor_range, ratio) (read-only).
    model : str
        The model fitted in each direction.
    nugget : float
        The nugget shared by the directional fits.
    directions : ndarray of float64
        The directions whose fit took part (degrees, read-only).
    fits : tuple of FittedVariogram
        The fit in each of `directions`, with the nugget held.
    variograms : tuple of ExperimentalVariogram
        The directional semivariogram of each of `directions`.
    tolerance : float
        The half-angle of each directional semivariogram (degrees).
    failed : dict of float to str
        Directions whose fit failed, with the reason; they take no part in the ellipse.
    """

    angle: float
    ratio: float
    major_range: float
    minor_range: float
    angle_stderr: float
    ratio_stderr: float
    major_range_stderr: float
    minor_range_stderr: float
    covariance: NDArray[np.float64]
    model: str
    nugget: float
    directions: NDArray[np.float64]
    fits: tuple[FittedVariogram, ...]
    variograms: tuple[ExperimentalVariogram, ...]
    tolerance: float
    failed: dict[float, str]

    def __setstate__(self, state: dict[str, object]) -> None:
        restore_read_only(self, state)

    def range_at(self, direction: ArrayLike) -> NDArray[np.float64]:
        """The range of the ellipse in each direction (degrees counter-clockwise from the
        first axis)."""
        return _range_at(direction, self.angle, self.major_range, self.minor_range)

    def plot(self, ax: Optional[Axes] = None) -> Axes:
        """Draws the range fitted in each direction and the fitted ellipse, in the plane.

        Each directional range is drawn as a point at that distance from the origin in its
        direction and in the opposite one (a direction has two senses), with its standard
        error along the direction; the ellipse and its major axis are drawn through them.
        Needs matplotlib, imported only here.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Axes to draw on; by default a new figure's.

        Returns
        -------
        matplotlib.axes.Axes
        """
        if ax is None:
            import matplotlib.pyplot as plt

            _, ax = plt.subplots(figsize=(6.0, 6.0))
        theta = np.radians(self.directions)
        ranges = np.array([f.parameters["Range"] for f in self.fits])
        errors = np.array([f.stderr["Range"] for f in self.fits])
        for sense in (1.0, -1.0):
            x, y = sense * ranges * np.cos(theta), sense * ranges * np.sin(theta)
            ax.plot(x, y, "o", color="C0", label="fitted range" if sense > 0 else None)
            for xi, yi, t, e in zip(x, y, theta, errors):
                if np.isfinite(e):
                    dx, dy = sense * e * math.cos(t), sense * e * math.sin(t)
                    ax.plot([xi - dx, xi + dx], [yi - dy, yi + dy], "-", color="C0",
                            linewidth=1.0)
        around = np.linspace(0.0, 360.0, 721)
        r = self.range_at(around)
        ax.plot(r * np.cos(np.radians(around)), r * np.sin(np.radians(around)), "-",
                color="C1", label=f"ellipse: {self.major_range:.4g} / {self.minor_range:.4g} "
                                  f"at {self.angle:.3g}°")
        t = math.radians(self.angle)
        ax.plot([-self.major_range * math.cos(t), self.major_range * math.cos(t)],
                [-self.major_range * math.sin(t), self.major_range * math.sin(t)], "--",
                color="C1", linewidth=1.0)
        ax.set_aspect("equal")
        ax.set_xlabel("range along the first axis")
        ax.set_ylabel("range along the second axis")
        ax.set_title(f"{self.model} ranges by direction (± {self.tolerance:g}°)")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize="small")
        return ax

    def __repr__(self) -> str:
        return (
            f"Anisotropy(angle={self.angle:.4g}° ± {self.angle_stderr:.2g}, "
            f"ratio={self.ratio:.4g} ± {self.ratio_stderr:.2g}, "
            f"major_range={self.major_range:.6g} ± {self.major_range_stderr:.2g}, "
            f"minor_range={self.minor_range:.6g} ± {self.minor_range_stderr:.2g}; "
            f"{self.model}, {self.directions.size} directions)"
        )


def _direction_count(directions: object) -> int:
    if isinstance(directions, (bool, np.bool_)) or not isinstance(directions, numbers.Integral):
        raise TypeError(f"directions must be an int >= 4; got {type(directions).__name__}")
    count = int(directions)
    if count < 4:
        raise ValueError(f"directions must be an int >= 4 (the ellipse has 3 parameters and "
                         f"needs a residual); got {count}")
    return count


def _half_angle(tolerance: object, spacing: float) -> float:
    if tolerance is None:
        return spacing / 2.0
    if isinstance(tolerance, numbers.Real) and not isinstance(tolerance, (bool, np.bool_)):
        value = float(tolerance)
        if 0.0 < value <= 90.0:
            return value
    raise ValueError(f"tolerance must be None or a half-angle in (0, 90] degrees; got "
                     f"{tolerance!r}")


def fit_anisotropy(
    points: ArrayLike,
    values: ArrayLike,
    model: str,
    *,
    directions: int = 12,
    tolerance: Optional[float] = None,
    bins: int = 15,
    max_lag: Optional[float] = None,
    nugget: Union[bool, float] = True,
    weights: Optional[str] = "cressie",
) -> Anisotropy:
    """Fits the geometric anisotropy of a 2-D field from directional semivariograms.

    The model is fitted to the semivariogram of each of `directions` equally spaced
    directions 0°, 180°/n, …, with one nugget shared by all (a nugget has no direction, and
    one value keeps it from trading off against each range); the ellipse of geometric
    anisotropy, 1 / r(θ)² = A cos²θ + B sin²θ + 2C sinθ cosθ, is fitted to the ranges by
    weighted linear least squares (weights from the ranges' standard errors) and its axes give
    the angle, the ranges and the ratio.

    Parameters
    ----------
    points : array_like, shape (N, 2), or GeoSeries / GeoDataFrame of points
        Projected coordinates (PROJCS); GeoPandas points must be in a projected CRS.
    values : array_like, shape (N,), or str
        Sample values, or the name of a column of a GeoDataFrame `points`.
    model : str
        A model with a Range: ``"Spherical"``, ``"Exponential"``, ``"Gaussian"``,
        ``"HoleEffect"``, ``"Matern"`` or ``"Stable"``.
    directions : int, default 12
        Number of directions (at least 4).
    tolerance : float, optional
        Half-angle of each direction's sector, in degrees (0, 90]; by default half the
        spacing of the directions, so that each pair counts in one sector.
    bins, max_lag
        Distance classes of each directional semivariogram, as in `variogram` (`max_lag`
        None: a third of the extent of the samples).
    nugget : bool or float, default True
        True: the shared nugget is fitted, first in all directions, then again in all
        directions after the coordinates are adjusted by the ellipse found (two rounds);
        False: zero; a number >= 0: held at that value.
    weights : {"cressie", "counts", None}, default "cressie"
        Weights of every fit (see `ExperimentalVariogram.fit`). Cressie's weights count the
        short lags, whose pairs are nearly independent, more than the many pairs at long lags
        that share a few patches of one realisation; on simulated fields they halved the
        spread of the nugget and the angle against weighting by pair counts.

    Returns
    -------
    Anisotropy

    Raises
    ------
    ValueError
        For points that are not N x 2, an option out of its range (naming it), a model
        without a Range, fewer than 4 directions whose fit succeeded (with the reasons), or
        ranges that fit no ellipse.
    """
    name = model_name(model)
    if not MODELS[name].has_range:
        raise ValueError(f"model must have a Range for an anisotropy; {name} has none: choose "
                         f"one of {', '.join(n for n, r in MODELS.items() if r.has_range)}")
    count = _direction_count(directions)
    spacing = 180.0 / count
    half = _half_angle(tolerance, spacing)
    # GeoPandas points: a geographic CRS is refused below (an ellipse needs plane coordinates).
    given = _geo.samples(points, values, "PROJCS")
    values = given.values
    coordinates = np.asarray(given.points, dtype=np.float64)
    if coordinates.ndim != 2 or coordinates.shape[1] != 2:
        raise ValueError(f"points must be an N x 2 array of projected coordinates; got shape "
                         f"{coordinates.shape}")
    common = {"bins": bins, "max_lag": max_lag}
    if nugget is True:
        shared = variogram(coordinates, values, **common).fit(
            name, weights=weights).parameters["Nugget"]
        rounds = NUGGET_ROUNDS
    else:
        shared = 0.0 if nugget is False else nugget
        rounds = 1
    angles = tuple(spacing * k for k in range(count))
    directional = tuple(variogram(coordinates, values, **common, direction=d, tolerance=half)
                        for d in angles)
    center = coordinates.mean(axis=0)
    for round_ in range(rounds):
        fits, used, failed = [], [], {}
        for d, experimental in zip(angles, directional):
            try:
                fits.append(experimental.fit(name, nugget=shared, weights=weights))
                used.append(d)
            except ValueError as exc:
                failed[d] = str(exc)
        if len(fits) < 4:
            reasons = "; ".join(f"{d:g}°: {why}" for d, why in failed.items())
            raise ValueError(f"the {name} model could be fitted in only {len(fits)} of the "
                             f"{count} directions, and the ellipse needs 4: {reasons}")
        ellipse = fit_range_ellipse(used, [f.parameters["Range"] for f in fits],
                                    [f.stderr["Range"] for f in fits])
        if round_ + 1 < rounds:
            adjusted = adjust_anisotropy(coordinates, center, [ellipse.ratio], [ellipse.angle])
            shared = variogram(adjusted, values, **common).fit(
                name, weights=weights).parameters["Nugget"]
    covariance = np.array(ellipse.covariance, dtype=np.float64)
    covariance.setflags(write=False)
    kept = np.array(used, dtype=np.float64)
    kept.setflags(write=False)
    return Anisotropy(
        angle=ellipse.angle, ratio=ellipse.ratio, major_range=ellipse.major,
        minor_range=ellipse.minor, angle_stderr=ellipse.stderr(0),
        ratio_stderr=ellipse.stderr(3), major_range_stderr=ellipse.stderr(1),
        minor_range_stderr=ellipse.stderr(2), covariance=covariance, model=name,
        nugget=float(shared), directions=kept, fits=tuple(fits),
        variograms=tuple(v for d, v in zip(angles, directional) if d in used),
        tolerance=half, failed=failed,
    )
