"""The Matérn and stable variogram models, whose shape has a parameter of its own.

Both follow the conventions of the other models: γ(0) = 0, the nugget added at every lag
h ≠ 0, negative lags taken at their absolute value, the sill at huge and infinite lags.

* Matérn (PSill, Range, Smoothness, Nugget): γ(h) = PSill · (1 − ρ_ν(h / ℓ)) + Nugget with
  ρ_ν(x) = 2^(1−ν) / Γ(ν) · x^ν · K_ν(x), ν the Smoothness and K_ν the modified Bessel
  function of the second kind. The length ℓ = Range / x₉₅(ν), where ρ_ν(x₉₅) = 0.05, so that
  at h = Range the structured part reaches exactly 95 % of PSill whatever the smoothness.
* Stable (PSill, Range, Shape, Nugget): γ(h) = PSill · (1 − exp(−3 (h / Range)^Shape)) +
  Nugget, 0 < Shape ≤ 2; the practical range of the Exponential (Shape 1) and Gaussian
  (Shape 2) models, which it contains: 1 − e⁻³ ≈ 95 % of PSill at h = Range.
"""
from __future__ import annotations

import functools
import math

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige.points import to_numeric_array

FloatArray = NDArray[np.float64]

#: From this many ranges on the decaying terms are below half an ulp of 1, so the formulas,
#: which overflow or give NaN at huge and infinite lags, are not evaluated there.
_FAR = 2.0**60

_DOC_TAIL = """

    Parameters
    ----------
    parameters : sequence of float
        The values of PSill, Range, {shape} and Nugget, in this order.
    h : float or array_like
        Lags; each negative lag is taken at its absolute value.

    Returns
    -------
    ndarray of float64
        γ at each lag, in the shape of `h` (0-D for a scalar lag).
    """


def _with_doc_tail(shape: str):
    def document(model):
        if model.__doc__ is not None:  # None under python -OO
            model.__doc__ = model.__doc__.rstrip() + _DOC_TAIL.format(shape=shape)
        return model

    return document


def _lags_and_ratios(h: ArrayLike, range_: float) -> tuple[FloatArray, FloatArray]:
    """|h| and |h| / Range, a ratio too large for a float being infinite ("far")."""
    lags = np.abs(to_numeric_array(h))
    with np.errstate(over="ignore"):
        return lags, lags / range_


def _with_nugget(h: FloatArray, structure: FloatArray, nugget: float) -> FloatArray:
    """structure + nugget where h ≠ 0, exactly 0 where h == 0 (NaN lags stay NaN)."""
    return np.where(h == 0.0, 0.0, structure + nugget)

#: The correlation of the Matérn model at its practical range.
PRACTICAL_CORRELATION = 0.05
#: Smoothness and Shape the models accept: the Matérn model is evaluated through K_ν, whose
#: values overflow beyond this smoothness at lags where the correlation still differs from 1;
#: above ν of about 10 it is, for a variogram fit, the Gaussian model.
SMOOTHNESS_LIMIT = 20.0
SHAPE_LIMIT = 2.0


def matern_correlation(x: ArrayLike, smoothness: float) -> FloatArray:
    """ρ_ν(x) = 2^(1−ν) / Γ(ν) · x^ν · K_ν(x) for x ≥ 0, with ρ_ν(0) = 1.

    Where K_ν(x) overflows (x tiny, ν large) ρ is 1 to the last bit; where it underflows,
    0. The product is formed from its factors directly and, where x^ν leaves the normal
    range, through logarithms.
    """
    from scipy.special import gammaln, kv

    nu = float(smoothness)
    x = np.asarray(x, dtype=np.float64)
    with np.errstate(all="ignore"):
        far = x >= _FAR
        near = np.where(far, 1.0, x)
        bessel = kv(nu, near)
        log_factor = (1.0 - nu) * math.log(2.0) - float(gammaln(nu))
        power = near**nu
        direct = math.exp(log_factor) * power * bessel
        logs = np.exp(log_factor + nu * np.log(near) + np.log(bessel))
        rho = np.where(power >= np.finfo(np.float64).tiny, direct, logs)
        rho = np.where(np.isinf(bessel) | (x == 0.0), 1.0, np.minimum(rho, 1.0))
    return np.where(far, 0.0, rho)


@functools.lru_cache(maxsize=256)
def matern_practical_x(smoothness: float) -> float:
    """x₉₅(ν): where the Matérn correlation falls to 0.05 (so ℓ = Range / x₉₅).

    ρ_ν decreases strictly from 1 to 0, so the root is bracketed by doubling and found to
    a few ulps by Brent's method; cached because every evaluation of the model needs it.
    """
    from scipy.optimize import brentq

    nu = float(smoothness)
    if not (0.0 < nu <= SMOOTHNESS_LIMIT):
        raise ValueError(f"Smoothness must be in (0, {SMOOTHNESS_LIMIT:g}]; got {nu!r}")

    def excess(x: float) -> float:
        return float(matern_correlation(x, nu)) - PRACTICAL_CORRELATION

    low, high = 0.5, 1.0
    while excess(high) > 0.0:
        low, high = high, 2.0 * high
    while excess(low) < 0.0:
        low, high = low / 2.0, low
    return float(brentq(excess, low, high, xtol=1e-300, rtol=4.0 * np.finfo(float).eps,
                        maxiter=500))


def matern_length(range_: float, smoothness: float) -> float:
    """The length ℓ of the Matérn correlation for a practical range `range_`."""
    return float(range_) / matern_practical_x(smoothness)


@_with_doc_tail("Smoothness")
def Matern(parameters, h: ArrayLike) -> FloatArray:
    """Matérn model, for h ≠ 0: γ(h) = PSill · (1 − ρ_ν(h / ℓ)) + Nugget; γ(0) = 0.

    ρ_ν(x) = 2^(1−ν) / Γ(ν) · x^ν · K_ν(x) with ν the Smoothness (0 < ν ≤ 20) and
    ℓ = Range / x₉₅(ν): at h = Range the structured part reaches exactly 95 % of PSill, for
    every smoothness. ν = ½ is the exponential shape, ν → ∞ the Gaussian one. Near the
    origin γ is formed as 1 − ρ, exact to a few ulps of PSill rather than of γ.
    """
    psill, range_, smoothness, nugget = parameters
    h, r = _lags_and_ratios(h, range_)
    x = r * matern_practical_x(smoothness)
    return _with_nugget(h, psill * (1.0 - matern_correlation(x, smoothness)), nugget)


@_with_doc_tail("Shape")
def Stable(parameters, h: ArrayLike) -> FloatArray:
    """Stable (powered exponential) model, for h ≠ 0:

        γ(h) = PSill · (1 − exp(−3 (h / Range)^Shape)) + Nugget,

    and γ(0) = 0, with 0 < Shape ≤ 2: Shape 1 is the Exponential model, Shape 2 the
    Gaussian one. Practical range: at h = Range the structured part reaches 1 − e⁻³ ≈ 95 %
    of PSill.
    """
    psill, range_, shape, nugget = parameters
    h, r = _lags_and_ratios(h, range_)
    far = np.abs(r) >= _FAR
    r = np.where(far, 0.0, r)
    with np.errstate(over="ignore"):
        structure = -psill * np.expm1(-3.0 * r**shape)
    return _with_nugget(h, np.where(far, psill, structure), nugget)
