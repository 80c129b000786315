"""Types of the native kriging core.

Units: projected coordinates ("PROJCS") are in any planar unit and lags come out in that unit;
geographic coordinates ("GEOGCS") are (longitude, latitude) columns in degrees and lags come out
in kilometres. Angles of `adjust_anisotropy` are in degrees.
"""

from collections.abc import Callable, Iterable
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

#: A variogram model, called as ``model(parameters, h)``: the parameter values in the order of
#: the model's names in DEFAULT_PARAMETERS, and the lag distance(s).
VariogramModel = Callable[[Iterable[float], ArrayLike], NDArray[np.float64]]

#: Model name -> ordered parameter names. The package may change it at run time.
DEFAULT_PARAMETERS: dict[str, list[str]]

def adjust_anisotropy(
    points: ArrayLike, center: ArrayLike, scale: ArrayLike, angle: ArrayLike
) -> NDArray[np.float64]:
    """N x 2 or N x 3 coordinates rotated by -angle (degrees) and stretched by scale about center."""

@overload
def init_variogram_parameters(
    model: str, parameters: None
) -> tuple[str, VariogramModel, None]: ...
@overload
def init_variogram_parameters(
    model: str, parameters: dict[str, Any]
) -> tuple[str, VariogramModel, list[Any]]: ...
def init_variogram_model(
    points: ArrayLike, values: NDArray[Any], n_lags: int, gtype: str
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(lags, semivariance) of the classes that hold pairs; gtype is "PROJCS" or "GEOGCS"."""
