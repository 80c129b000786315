"""Kriging: anisotropy adjustment, variogram models and experimental semivariograms.

The native module :mod:`orv._algos.spmis.krige.core` takes seven names from this package when it
is imported: ``np``, ``error``, ``init_points``, ``to_numeric_array``, ``spatial``,
``great_circle_distance`` and ``variogram``. They are bound here first and ``core`` is imported
last.
"""

import numpy as np
from scipy import spatial

from . import error, variogram
from .geodesy import great_circle_distance
from .points import init_points, to_numeric_array
from .threads import get_num_threads, set_num_threads

from . import core  # noqa: E402  (needs the names above)
from .core import (  # noqa: E402
    adjust_anisotropy,
    init_variogram_model,
    init_variogram_parameters,
)

__all__ = [
    "adjust_anisotropy",
    "core",
    "error",
    "get_num_threads",
    "great_circle_distance",
    "init_points",
    "init_variogram_model",
    "init_variogram_parameters",
    "set_num_threads",
    "to_numeric_array",
    "variogram",
]
