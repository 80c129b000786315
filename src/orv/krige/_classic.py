"""The classic functions of the native core, with English documentation.

Each function hands its arguments unchanged to the native function of the same name in
`orv._algos.spmis.krige.core`, which keeps its own docstring; results and exceptions are that
function's.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any, Optional, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige import core as _core

VariogramModel = Callable[[Iterable[float], ArrayLike], NDArray[np.float64]]


def adjust_anisotropy(
    points: ArrayLike, center: ArrayLike, scale: ArrayLike, angle: ArrayLike
) -> NDArray[np.float64]:
    """Rotate and stretch sample coordinates so that anisotropic correlation becomes isotropic.

    Parameters
    ----------
    points : array_like, shape (N, 2) or (N, 3)
        Sample coordinates, one row per sample.
    center : array_like, shape (d,)
        The point about which the coordinates are rotated and stretched.
    scale : array_like
        Stretch factors: in 2-D, ``scale[0]`` multiplies the second coordinate; in 3-D,
        ``scale[0]`` and ``scale[1]`` multiply the second and third. A sequence shorter than
        needed repeats its last entry.
    angle : array_like
        Angles in degrees. In 2-D the points are rotated by ``-angle[0]``, which turns the
        direction at ``angle[0]`` (counter-clockwise from the first axis) onto the first axis.
        In 3-D they are rotated by ``-angle[0]``, ``-angle[1]`` and ``-angle[2]`` about the
        first, second and third axis, in that order. A shorter sequence repeats its last entry.

    Returns
    -------
    ndarray of float64, shape (N, d)
        The transformed coordinates, a new array; the arguments are not modified.

    Raises
    ------
    UnboundLocalError
        For coordinates with other than 2 or 3 columns.
    ValueError
        For an empty `scale` or `angle`, a `center` that does not match the points, or data
        that are not numeric (TypeError for some kinds).
    """
    return _core.adjust_anisotropy(points, center, scale, angle)


@overload
def init_variogram_parameters(model: str, parameters: None) -> tuple[str, VariogramModel, None]: ...
@overload
def init_variogram_parameters(
    model: str, parameters: dict[str, Any]
) -> tuple[str, VariogramModel, list[Any]]: ...
def init_variogram_parameters(
    model: str, parameters: Optional[dict[str, Any]]
) -> tuple[str, VariogramModel, Optional[list[Any]]]:
    """Check a variogram model's name and put its parameter values in the model's order.

    Parameters
    ----------
    model : str
        A model name (case-sensitive): "Linear" (Slope, Nugget), "Power" (Scale, Exponent,
        Nugget), "Gaussian", "Spherical", "Exponential" or "HoleEffect" (each PSill, Range,
        Nugget).
    parameters : dict or None
        Parameter name -> value; keys the model does not use are ignored.

    Returns
    -------
    model : str
        The model name.
    function : callable
        The model function, called as ``function(pars, h)`` with `h` in the unit of the lags.
    pars : list or None
        The values in the model's order; None when `parameters` is None.

    Raises
    ------
    orv._algos.spmis.krige.error.SpmisError
        For an unknown model name.
    orv._algos.spmis.krige.error.ParameterError
        When parameter names are missing (its ``errors`` attribute lists them).
    orv._algos.spmis.krige.error.ORVError
        When `parameters` is neither None nor a dict (the base class of the two above).
    """
    result: tuple[str, VariogramModel, Optional[list[Any]]] = _core.init_variogram_parameters(
        model, parameters
    )
    return result


def init_variogram_model(
    points: ArrayLike, values: NDArray[Any], n_lags: int, gtype: str
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Experimental semivariogram in equal-width classes between the extreme pair distances.

    The classic function, kept as it is for the toolkit; `variogram` is the one with a maximum
    lag, chosen classes, pair counts, estimators and directions.

    Parameters
    ----------
    points : array_like, shape (N, d)
        Sample coordinates. ``gtype="PROJCS"``: planar coordinates, Euclidean distances in
        their unit. ``gtype="GEOGCS"``: (longitude, latitude) in degrees, great-circle
        distances in kilometres on a sphere of radius 6371.0088 km.
    values : ndarray, shape (N,)
        The sample values (a NumPy array; a list is not accepted).
    n_lags : int
        Number of equal-width classes between the smallest and the largest pair distance
        (non-negative).
    gtype : {"PROJCS", "GEOGCS"}
        The coordinate type, exact strings.

    Returns
    -------
    lags, semivariance : ndarray of float64
        For each class that holds pairs, in ascending order, the mean pair distance and the
        mean of ½(v_i − v_j)². Empty classes are left out, so the arrays can be shorter than
        `n_lags`.

    Raises
    ------
    orv._algos.spmis.krige.error.SpmisError
        For another `gtype`.
    ValueError
        For fewer than two samples, coordinates that are not a two-dimensional array or a
        negative `n_lags`.
    IndexError
        When `values` and `points` differ in length.
    TypeError
        For non-numeric coordinates, a list as `values` or a non-integer `n_lags`.
    """
    return _core.init_variogram_model(points, values, n_lags, gtype)
