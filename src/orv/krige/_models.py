"""The variogram models, one record each: what a fit, a command line and a plot need to know.

Each record holds the model function, its parameter names in the package's order, the bounds
and starting points of the least-squares fit (in units where the largest lag and the largest
semivariance are 1), the derivatives of γ with respect to each parameter, and the way fitted
parameters scale back to the data's units.
"""
from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Sequence

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige import variogram as _functions
from . import _shape_models

FloatArray = NDArray[np.float64]

#: A fitted Range may not exceed this multiple of the largest lag used: beyond it the data
#: cannot tell a bounded model from an unbounded one, and the range is not determined.
RANGE_LIMIT = 10.0


@dataclasses.dataclass(frozen=True)
class ModelRecord:
    """One variogram model.

    `starts` are the values of the second parameter (Exponent, or Range in scaled units) from
    which the fit starts, and `shape_starts` those of the third (Smoothness, Shape) of the
    models that have one, each combined with each of `starts`; `derivatives(values, h)` gives ∂γ/∂parameter at lags h > 0, one
    column per parameter; `unit_factors(values, h_scale, g_scale)` gives factors d and a
    mixing matrix M that take parameters fitted to lags / h_scale and semivariances / g_scale
    to the data's units: value = d · scaled value, covariance = D M C Mᵀ D. M is the identity
    except for Power, whose Scale depends on the Exponent (Scale · g_scale / h_scale^Exponent).
    Keeping d apart lets standard errors be scaled back without squaring the scale, which
    would under- or overflow.
    """

    name: str
    function: Callable[[Sequence[float], FloatArray], FloatArray]
    parameters: tuple[str, ...]
    lower: tuple[float, ...]
    upper: tuple[float, ...]
    starts: tuple[float, ...]
    derivatives: Callable[[Sequence[float], FloatArray], FloatArray]
    unit_factors: Callable[[Sequence[float], float, float], tuple[FloatArray, FloatArray]]
    shape_starts: tuple[float, ...] = ()

    def to_data_units(self, values: Sequence[float], h_scale: float,
                      g_scale: float) -> list[float]:
        """Parameters fitted to lags / h_scale and semivariances / g_scale, in the data's units."""
        factors, _ = self.unit_factors(values, h_scale, g_scale)
        return list(factors * np.asarray(values, dtype=np.float64))

    @property
    def has_range(self) -> bool:
        return "Range" in self.parameters


def _linear_derivatives(values: Sequence[float], h: FloatArray) -> FloatArray:
    return np.column_stack([h, np.ones_like(h)])


def _power_derivatives(values: Sequence[float], h: FloatArray) -> FloatArray:
    scale, exponent, _ = values
    power = h**exponent
    return np.column_stack([power, scale * power * np.log(h), np.ones_like(h)])


def _sill_derivatives(shape: Callable[[FloatArray], tuple[FloatArray, FloatArray]]):
    """Derivatives of PSill · f(h / Range) + Nugget, from f and f' at r = h / Range."""

    def derivatives(values: Sequence[float], h: FloatArray) -> FloatArray:
        psill, range_, _ = values
        r = h / range_
        f, slope = shape(r)
        # d/dRange of f(h / Range) is -f'(r) · r / Range.
        return np.column_stack([f, -psill * slope * r / range_, np.ones_like(h)])

    return derivatives


def _gaussian(r: FloatArray) -> tuple[FloatArray, FloatArray]:
    decay = np.exp(-3.0 * r * r)
    return 1.0 - decay, decay * 6.0 * r


def _exponential(r: FloatArray) -> tuple[FloatArray, FloatArray]:
    decay = np.exp(-3.0 * r)
    return 1.0 - decay, decay * 3.0


def _spherical(r: FloatArray) -> tuple[FloatArray, FloatArray]:
    inside = r < 1.0
    return (np.where(inside, 1.5 * r - 0.5 * r**3, 1.0),
            np.where(inside, 1.5 - 1.5 * r * r, 0.0))


def _hole_effect(r: FloatArray) -> tuple[FloatArray, FloatArray]:
    # 1 - sinc(r)
    return 1.0 - np.sinc(r), (np.sinc(r) - np.cos(np.pi * r)) / r


def _shape_derivatives(function: Callable[[Sequence[float], FloatArray], FloatArray],
                       range_slope: Callable[[float, float, FloatArray], FloatArray],
                       bounds: tuple[float, float], step: float):
    """Derivatives of PSill · f(h / Range; s) + Nugget for the models with a shape s.

    `range_slope(range_, s, h)` gives ∂γ/∂Range per unit PSill.
    """

    def derivatives(values: Sequence[float], h: FloatArray) -> FloatArray:
        psill, range_, shape, _ = values
        # The derivative with respect to the shape goes through K_ν's order (Matérn), for
        # which no closed form is at hand: a central difference, one-sided at the bounds, is
        # accurate to about 1e-8 relative, ample for the steps of the fit and the covariance
        # of its parameters.
        up, down = min(shape + step, bounds[1]), max(shape - step, bounds[0])
        by_shape = (function([psill, range_, up, 0.0], h)
                    - function([psill, range_, down, 0.0], h)) / (up - down)
        return np.column_stack([function([1.0, range_, shape, 0.0], h),
                                psill * range_slope(range_, shape, h), by_shape,
                                np.ones_like(h)])

    return derivatives


def _matern_range_slope(range_: float, smoothness: float, h: FloatArray) -> FloatArray:
    # γ = 1 − ρ(x) with x = x₉₅ h / Range, and d(x^ν K_ν(x))/dx = −x^ν K_{ν−1}(x), so
    # ∂γ/∂Range = −(x / Range) · 2^(1−ν)/Γ(ν) · x^ν K_{ν−1}(x).
    from scipy.special import gammaln, kv

    x = h * _shape_models.matern_practical_x(smoothness) / range_
    with np.errstate(all="ignore"):
        factor = math.exp((1.0 - smoothness) * math.log(2.0) - float(gammaln(smoothness)))
        slope = factor * np.exp(smoothness * np.log(x) + np.log(kv(smoothness - 1.0, x)))
    return np.where(np.isfinite(slope), -slope * x / range_, 0.0)


def _stable_range_slope(range_: float, shape: float, h: FloatArray) -> FloatArray:
    # γ = 1 − exp(−3 r^s), r = h / Range: ∂γ/∂Range = −3 s r^s exp(−3 r^s) / Range.
    power = (h / range_) ** shape
    return -3.0 * shape * power * np.exp(-3.0 * power) / range_


def _linear_units(values: Sequence[float], h_scale: float,
                  g_scale: float) -> tuple[FloatArray, FloatArray]:
    return np.array([g_scale / h_scale, g_scale]), np.eye(2)


def _power_units(values: Sequence[float], h_scale: float,
                 g_scale: float) -> tuple[FloatArray, FloatArray]:
    mixing = np.eye(3)
    # ∂(Scale · h_scale^-Exponent)/∂Exponent, relative to the factor of Scale.
    mixing[0, 1] = -values[0] * np.log(h_scale)
    return np.array([g_scale / h_scale ** values[1], 1.0, g_scale]), mixing


def _sill_units(values: Sequence[float], h_scale: float,
                g_scale: float) -> tuple[FloatArray, FloatArray]:
    return np.array([g_scale, h_scale, g_scale]), np.eye(3)


def _shape_units(values: Sequence[float], h_scale: float,
                 g_scale: float) -> tuple[FloatArray, FloatArray]:
    return np.array([g_scale, h_scale, 1.0, g_scale]), np.eye(4)


def _sill_model(name: str, shape: Callable[[FloatArray], tuple[FloatArray, FloatArray]]
                ) -> ModelRecord:
    return ModelRecord(
        name, getattr(_functions, name), ("PSill", "Range", "Nugget"),
        lower=(0.0, 1e-9, 0.0), upper=(np.inf, RANGE_LIMIT, np.inf), starts=(0.2, 0.5, 1.0),
        derivatives=_sill_derivatives(shape), unit_factors=_sill_units,
    )


#: Bounds of the shape parameter in the fit: below 0.05 either model is, at any lag a survey
#: resolves, a nugget effect; above, Matérn's limit of evaluation and Stable's of validity.
MATERN_BOUNDS = (0.05, _shape_models.SMOOTHNESS_LIMIT)
STABLE_BOUNDS = (0.05, _shape_models.SHAPE_LIMIT)


def _shape_model(name: str, shape: str, bounds: tuple[float, float],
                 starts: tuple[float, ...],
                 range_slope: Callable[[float, float, FloatArray], FloatArray]) -> ModelRecord:
    function = getattr(_shape_models, name)
    return ModelRecord(
        name, function, ("PSill", "Range", shape, "Nugget"),
        lower=(0.0, 1e-9, bounds[0], 0.0), upper=(np.inf, RANGE_LIMIT, bounds[1], np.inf),
        starts=(0.2, 0.5, 1.0), derivatives=_shape_derivatives(function, range_slope, bounds, 1e-6),
        unit_factors=_shape_units,
        shape_starts=starts,
    )


#: Canonical model name -> its record.
MODELS: dict[str, ModelRecord] = {
    "Linear": ModelRecord(
        "Linear", _functions.Linear, ("Slope", "Nugget"), lower=(0.0, 0.0),
        upper=(np.inf, np.inf), starts=(), derivatives=_linear_derivatives,
        unit_factors=_linear_units,
    ),
    "Power": ModelRecord(
        "Power", _functions.Power, ("Scale", "Exponent", "Nugget"), lower=(0.0, 1e-6, 0.0),
        upper=(np.inf, 2.0, np.inf), starts=(0.5, 1.0, 1.5), derivatives=_power_derivatives,
        unit_factors=_power_units,
    ),
    "Gaussian": _sill_model("Gaussian", _gaussian),
    "Spherical": _sill_model("Spherical", _spherical),
    "Exponential": _sill_model("Exponential", _exponential),
    "HoleEffect": _sill_model("HoleEffect", _hole_effect),
    "Matern": _shape_model("Matern", "Smoothness", MATERN_BOUNDS, (0.5, 2.0),
                           _matern_range_slope),
    "Stable": _shape_model("Stable", "Shape", STABLE_BOUNDS, (1.0, 1.9), _stable_range_slope),
}


def model_name(model: object) -> str:
    """The canonical name of `model`, a model name in any case."""
    if not isinstance(model, str):
        raise TypeError(f"model must be a model name (str), one of {', '.join(MODELS)}; "
                        f"got {type(model).__name__}")
    for name in MODELS:
        if name.lower() == model.lower():
            return name
    raise ValueError(f"unknown model {model!r}; choose one of {', '.join(MODELS)} "
                     "(case does not matter)")
