"""The variogram models, one record each: what a fit, a command line and a plot need to know.

Each record holds the model function, its parameter names in the package's order, the bounds
and starting points of the least-squares fit (in units where the largest lag and the largest
semivariance are 1), the derivatives of γ with respect to each parameter, and the way fitted
parameters scale back to the data's units.
"""
from __future__ import annotations

import dataclasses
from collections.abc import Callable, Sequence

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige import variogram as _functions

FloatArray = NDArray[np.float64]

#: A fitted Range may not exceed this multiple of the largest lag used: beyond it the data
#: cannot tell a bounded model from an unbounded one, and the range is not determined.
RANGE_LIMIT = 10.0


@dataclasses.dataclass(frozen=True)
class ModelRecord:
    """One variogram model.

    `starts` are the values of the second parameter (Exponent, or Range in scaled units) from
    which the fit starts; `derivatives(values, h)` gives ∂γ/∂parameter at lags h > 0, one
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


def _sill_model(name: str, shape: Callable[[FloatArray], tuple[FloatArray, FloatArray]]
                ) -> ModelRecord:
    return ModelRecord(
        name, getattr(_functions, name), ("PSill", "Range", "Nugget"),
        lower=(0.0, 1e-9, 0.0), upper=(np.inf, RANGE_LIMIT, np.inf), starts=(0.2, 0.5, 1.0),
        derivatives=_sill_derivatives(shape), unit_factors=_sill_units,
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
