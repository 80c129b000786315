"""Semivariogram models γ(h), each called as ``model(parameters, h)``.

`parameters` is the model's list of values in the order of its parameter names (Slope,
Nugget for the linear model; Scale, Exponent, Nugget for the power model; PSill, Range,
Nugget for the others). `h` is a lag distance or an array of them; the result is a float64
array of the shape of `h` (0-D for a scalar).

Conventions shared by all models:

* γ(0) = 0 exactly. The nugget is the jump at the origin: it is added at every lag h ≠ 0
  and never at h = 0, so that a sample is never dissimilar to itself.
* γ is even: a negative lag is evaluated at its absolute value.
* Range is the practical range: the bounded models reach (Spherical, HoleEffect) or come
  within 5 % of (Gaussian, Exponential) the sill PSill + Nugget at h = Range.

Parameters are not validated (a fitting routine may probe any value); Range must be
positive for the bounded models to be meaningful.
"""
import numpy as np

from .points import to_numeric_array


_SECTIONS = """

    Parameters
    ----------
    parameters : sequence of float
        ({names}).
    h : float or array_like
        Lag distance(s); a negative lag is taken at its absolute value.

    Returns
    -------
    ndarray of float64
        γ(h), of the shape of `h` (0-D for a scalar).
    """


def _parameters(*names):
    """Adds the Parameters and Returns sections, naming the model's parameters, to its doc."""

    def document(model):
        if model.__doc__ is not None:  # None under python -OO
            model.__doc__ = model.__doc__.rstrip() + _SECTIONS.format(names=", ".join(names))
        return model

    return document


def _lags(h):
    return np.abs(to_numeric_array(h))


def _with_nugget(h, structure, nugget):
    """structure + nugget where h ≠ 0, exactly 0 where h == 0 (NaN lags stay NaN)."""
    return np.where(h == 0.0, 0.0, structure + nugget)


@_parameters("Slope", "Nugget")
def Linear(parameters, h):
    """Linear model: γ(h) = Slope · h + Nugget for h ≠ 0, γ(0) = 0. Unbounded, no range."""
    slope, nugget = parameters
    h = _lags(h)
    return _with_nugget(h, slope * h, nugget)


@_parameters("Scale", "Exponent", "Nugget")
def Power(parameters, h):
    """Power model: γ(h) = Scale · h^Exponent + Nugget for h ≠ 0, γ(0) = 0.

    Unbounded, no range; a valid variogram for 0 < Exponent < 2.
    """
    scale, exponent, nugget = parameters
    h = _lags(h)
    return _with_nugget(h, scale * h**exponent, nugget)


@_parameters("PSill", "Range", "Nugget")
def Gaussian(parameters, h):
    """Gaussian model, for h ≠ 0: γ(h) = PSill · (1 − exp(−3 h² / Range²)) + Nugget; γ(0) = 0.

    Practical range: at h = Range the structured part reaches 1 − e⁻³ ≈ 95 % of PSill.
    """
    psill, range_, nugget = parameters
    h = _lags(h)
    return _with_nugget(h, -psill * np.expm1(-3.0 * (h / range_) ** 2), nugget)


@_parameters("PSill", "Range", "Nugget")
def Spherical(parameters, h):
    """Spherical model, with r = h / Range, for h ≠ 0:

        γ(h) = PSill · (1.5 r − 0.5 r³) + Nugget   for r < 1,
        γ(h) = PSill + Nugget                       for r ≥ 1 (the sill beyond the range),

    and γ(0) = 0. The model reaches the sill exactly at h = Range.
    """
    psill, range_, nugget = parameters
    h = _lags(h)
    r = h / range_
    # Tested as r >= 1 so that a NaN lag gives NaN rather than the sill.
    return _with_nugget(h, psill * np.where(r >= 1.0, 1.0, 1.5 * r - 0.5 * r**3), nugget)


@_parameters("PSill", "Range", "Nugget")
def Exponential(parameters, h):
    """Exponential model, for h ≠ 0: γ(h) = PSill · (1 − exp(−3 h / Range)) + Nugget; γ(0) = 0.

    Practical range: at h = Range the structured part reaches 1 − e⁻³ ≈ 95 % of PSill.
    """
    psill, range_, nugget = parameters
    h = _lags(h)
    return _with_nugget(h, -psill * np.expm1(-3.0 * h / range_), nugget)


@_parameters("PSill", "Range", "Nugget")
def HoleEffect(parameters, h):
    """Hole-effect (cardinal sine) model, for h ≠ 0:

        γ(h) = PSill · (1 − sin(π h / Range) / (π h / Range)) + Nugget,

    and γ(0) = 0; valid in up to three dimensions. The model first reaches the sill at
    h = Range, overshoots it (the hole of the covariance) with a largest value of about
    1.217 PSill + Nugget near h = 1.43 Range, and oscillates towards the sill as h grows.
    """
    psill, range_, nugget = parameters
    h = _lags(h)
    return _with_nugget(h, psill * (1.0 - np.sinc(h / range_)), nugget)
