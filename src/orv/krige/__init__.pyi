"""Experimental variograms and variogram models for kriging (types of the public interface).

Units: projected coordinates ("PROJCS") in any planar unit, lags in that unit; geographic
coordinates ("GEOGCS") as (longitude, latitude) in degrees, lags in kilometres.
"""

from collections.abc import Sequence
from typing import Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._anisotropy import Anisotropy as Anisotropy
from ._anisotropy import fit_anisotropy as fit_anisotropy
from ._classic import adjust_anisotropy as adjust_anisotropy
from ._classic import init_variogram_model as init_variogram_model
from ._classic import init_variogram_parameters as init_variogram_parameters
from ._compare import ComparedModel as ComparedModel
from ._compare import ModelComparison as ModelComparison
from ._compare import compare_models as compare_models
from ._fit import FittedVariogram as FittedVariogram
from ._kriging_api import CrossValidation as CrossValidation
from ._kriging_api import Kriging as Kriging
from ._kriging_api import Prediction as Prediction
from ._model import VariogramModel as VariogramModel
from ._result import ExperimentalVariogram as ExperimentalVariogram
from ._variogram import variogram as variogram
from ._variogram_map import VariogramMap as VariogramMap
from ._variogram_map import variogram_map as variogram_map

#: The installed distribution's version.
__version__: str

def Linear(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Linear model γ(h) = Slope · h + Nugget (h ≠ 0), γ(0) = 0; parameters (Slope, Nugget).

    Returns γ(h) as a float64 array of the shape of `h`.
    """

def Power(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Power model γ(h) = Scale · h^Exponent + Nugget (h ≠ 0), γ(0) = 0.

    Parameters (Scale, Exponent, Nugget); returns γ(h) as a float64 array of the shape of `h`.
    """

def Gaussian(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Gaussian model PSill · (1 − exp(−3 h² / Range²)) + Nugget (h ≠ 0), γ(0) = 0.

    Parameters (PSill, Range, Nugget); returns γ(h) as a float64 array of the shape of `h`.
    """

def Spherical(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Spherical model PSill · (1.5 r − 0.5 r³) + Nugget for r = h / Range < 1, the sill beyond.

    Parameters (PSill, Range, Nugget); returns γ(h) as a float64 array of the shape of `h`.
    """

def Exponential(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Exponential model PSill · (1 − exp(−3 h / Range)) + Nugget (h ≠ 0), γ(0) = 0.

    Parameters (PSill, Range, Nugget); returns γ(h) as a float64 array of the shape of `h`.
    """

def HoleEffect(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Hole-effect model PSill · (1 − sin(π h / Range) / (π h / Range)) + Nugget (h ≠ 0).

    Parameters (PSill, Range, Nugget); returns γ(h) as a float64 array of the shape of `h`.
    """

def Matern(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Matérn model PSill · (1 − 2^(1−ν)/Γ(ν) x^ν K_ν(x)) + Nugget, x = h x₉₅(ν) / Range.

    Parameters (PSill, Range, Smoothness ν, Nugget); 95 % of PSill at h = Range for every ν;
    returns γ(h) as a float64 array of the shape of `h`.
    """

def Stable(parameters: Sequence[float], h: ArrayLike) -> NDArray[np.float64]:
    """Stable model PSill · (1 − exp(−3 (h / Range)^Shape)) + Nugget (h ≠ 0), 0 < Shape ≤ 2.

    Parameters (PSill, Range, Shape, Nugget); returns γ(h) as a float64 array of the shape of
    `h`.
    """

def great_circle_distance(a: ArrayLike, b: ArrayLike) -> NDArray[np.float64]:
    """Matrix (N x M) of great-circle distances in km between N x 2 and M x 2 arrays of
    (longitude, latitude) in degrees, on a sphere of radius 6371.0088 km."""

def set_num_threads(n: Optional[int] = None) -> None:
    """Set the number of threads of the native pair engines (None: the default)."""

def get_num_threads() -> int:
    """The number of threads the native pair engines may use (at least 1)."""
