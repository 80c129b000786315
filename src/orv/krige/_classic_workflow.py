"""The classic workflow behind ``orv-variogram --classic``.

Checking the samples, the experimental semivariogram of `init_variogram_model` with an optional
anisotropy adjustment, a least-squares fit of a variogram model, and the table and the plot of
the result. Every refusal of the caller's data is an `InputError` whose message fits on one
line.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._algos.spmis.krige import core
from . import _table
from ._csv import FloatArray, InputError, quote
from ._models import MODELS

GTYPES = ("PROJCS", "GEOGCS")


def check_samples(points: FloatArray, values: FloatArray, gtype: str) -> None:
    """Refuses samples for which the semivariogram is undefined or plainly meaningless."""
    if gtype not in GTYPES:
        raise InputError(
            f"unknown coordinate type {quote(gtype)}; choose one of {', '.join(GTYPES)}"
        )
    if len(values) < 2:
        raise InputError(f"a semivariogram needs at least 2 samples, got {len(values)}")
    if gtype == "GEOGCS" and np.any(np.abs(points[:, 1]) > 90.0):
        raise InputError(
            "latitudes must lie within [-90, 90] degrees: for GEOGCS the columns are "
            "(longitude, latitude) in degrees"
        )


def semivariogram(
    points: FloatArray,
    values: FloatArray,
    n_lags: int,
    gtype: str,
    anisotropy: tuple[float, float] | None = None,
) -> tuple[FloatArray, FloatArray]:
    """Experimental semivariogram (lags, semivariance) of checked samples.

    `anisotropy` is (angle in degrees, scale): the coordinates are rotated by -angle and their
    second axis stretched by scale about the centroid before the distances are taken. Pair
    distances do not depend on the centre chosen, so the centroid is only a neutral choice.
    """
    check_samples(points, values, gtype)
    if n_lags < 1:
        raise InputError(f"the number of lags must be at least 1, got {n_lags}")
    if anisotropy is not None:
        angle, scale = anisotropy
        if gtype != "PROJCS":
            # Rotating and stretching degrees of longitude and latitude gives no meaningful
            # positions on the sphere.
            raise InputError("anisotropy adjustment needs projected coordinates (PROJCS)")
        if not (math.isfinite(angle) and math.isfinite(scale) and scale > 0.0):
            raise InputError("the anisotropy angle must be finite and the scale positive")
        points = core.adjust_anisotropy(points, points.mean(axis=0), [scale], [angle])
    with warnings.catch_warnings():
        # NumPy warns about the mean of every empty distance class; such classes are dropped
        # from the result, whose length tells how many hold pairs.
        warnings.simplefilter("ignore", RuntimeWarning)
        lags, gamma = core.init_variogram_model(points, values, n_lags, gtype)
    if lags.size == 0:
        # Every class is empty only when the largest distance is not finite: the classes are
        # then spread over an infinite range and no pair falls into any of them.
        raise InputError(
            "no distance class holds a pair: the distances between the samples overflow; "
            "the coordinates are too large"
        )
    if not (np.all(np.isfinite(lags)) and np.all(np.isfinite(gamma))):
        raise InputError("the values or coordinates are too large: the semivariogram overflows")
    return lags, gamma


@dataclass(frozen=True)
class FittedModel:
    """A variogram model with the parameter values fitted to an experimental semivariogram.

    `cutoff` is the largest lag that took part in the fit.
    """

    name: str
    parameters: dict[str, float]
    cutoff: float

    def __call__(self, h: Any) -> FloatArray:
        _, function, values = core.init_variogram_parameters(self.name, dict(self.parameters))
        return function(values, h)


def _start_and_bounds(
    names: Sequence[str], lags: FloatArray, semivariance: FloatArray
) -> tuple[list[float], list[float], list[float]]:
    """Starting values and bounds for the least-squares fit, by parameter name."""
    reach, top, low = float(lags.max()), float(semivariance.max()), float(semivariance.min())
    nugget = max(low, 0.0) / 2.0
    choices = {
        "Nugget": (nugget, 0.0, math.inf),
        "PSill": (max(top - nugget, 1e-12), 0.0, math.inf),
        "Range": (reach / 2.0, reach * 1e-9, math.inf),
        "Slope": (max(top - low, 1e-12) / reach, 0.0, math.inf),
        "Scale": (max(top, 1e-12) / reach, 0.0, math.inf),
        "Exponent": (1.0, 1e-6, 2.0),
    }
    rows = [choices.get(name, (1.0, -math.inf, math.inf)) for name in names]
    return [r[0] for r in rows], [r[1] for r in rows], [r[2] for r in rows]


def fit_model(
    model: str, lags: FloatArray, semivariance: FloatArray, cutoff: float | None = None
) -> FittedModel:
    """Least-squares fit of the model `model` (a name of DEFAULT_PARAMETERS) to the points.

    Only the lags up to `cutoff` take part; by default that is half the largest lag, since
    the classes beyond rest on ever fewer pairs near the edges of the sampled area and pull
    the fit away from the behaviour near the origin that kriging depends on. Pass math.inf to
    use every lag. The nugget, sill and range are kept non-negative and the power exponent
    within (0, 2]. Raises the package's SpmisError for an unknown model and InputError when
    fewer lags than parameters remain, the lags are all zero or the fit does not converge.
    """
    from scipy.optimize import OptimizeWarning, curve_fit

    _, function, _ = core.init_variogram_parameters(model, None)
    names = list(MODELS[model].parameters)
    if lags.size and not lags.max() > 0.0:
        raise InputError("cannot fit a model: every pair lies at distance 0")
    if cutoff is None:
        cutoff = float(lags.max()) / 2.0 if lags.size else 0.0
    used = lags <= cutoff
    lags, semivariance = lags[used], semivariance[used]
    if lags.size < len(names):
        raise InputError(
            f"cannot fit the {len(names)} parameters of the {model} model to {lags.size} "
            f"lag(s) up to {cutoff:g}; ask for more lags or a larger cutoff"
        )
    start, lower, upper = _start_and_bounds(names, lags, semivariance)
    with warnings.catch_warnings():
        # The covariance of the estimates is not used, so its warning is not the caller's.
        warnings.simplefilter("ignore", OptimizeWarning)
        try:
            fitted, _ = curve_fit(
                lambda h, *p: function(p, h),
                lags,
                semivariance,
                p0=start,
                bounds=(lower, upper),
            )
        except RuntimeError as exc:
            raise InputError(f"the {model} model could not be fitted: {exc}") from None
    return FittedModel(model, {name: float(v) for name, v in zip(names, fitted)}, cutoff)


def format_table(
    lags: FloatArray,
    semivariance: FloatArray,
    lag_unit: str,
    extra: Mapping[str, FloatArray] | None = None,
) -> str:
    """A plain-text table, one distance class a line: lag, semivariance and any extra columns."""
    columns = {f"lag ({lag_unit})": lags, "semivariance": semivariance, **(extra or {})}
    width = max(14, *(len(h) for h in columns))
    return _table.format_table(columns, [width] * len(columns), separator="  ")


@dataclass(frozen=True)
class Series:
    """One experimental semivariogram on a plot, with an optional fitted model curve."""

    label: str
    lags: FloatArray
    semivariance: FloatArray
    model: FittedModel | None = None


def plot_semivariograms(
    path: str | os.PathLike[str], series: Sequence[Series], xlabel: str, ylabel: str, title: str
) -> None:
    """Writes a PNG of the experimental points of each series and its fitted curve, if any.

    Uses matplotlib's Agg canvas directly, so no display and no global backend are involved.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 5.5), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    reach = max((float(s.lags.max()) for s in series if s.lags.size), default=1.0)
    h = np.linspace(0.0, reach * 1.05, 300)[1:]
    for index, item in enumerate(series):
        colour = f"C{index}"
        axes.plot(item.lags, item.semivariance, "o", color=colour, label=item.label)
        if item.model is not None:
            fitted = ", ".join(f"{k} {v:.4g}" for k, v in item.model.parameters.items())
            axes.plot(h, item.model(h), "-", color=colour, label=f"{item.model.name}: {fitted}")
            if item.model.cutoff < reach:
                axes.axvline(item.model.cutoff, color=colour, linestyle=":", linewidth=1.0,
                             label=f"fit cutoff {item.model.cutoff:.4g}")
    axes.set_xlim(left=0.0)
    axes.set_ylim(bottom=0.0)
    axes.set_xlabel(xlabel)
    axes.set_ylabel(ylabel)
    axes.set_title(title)
    axes.grid(True, alpha=0.3)
    figure.legend(fontsize="small", loc="outside lower center", ncols=2)
    figure.savefig(path, format="png", dpi=120)
