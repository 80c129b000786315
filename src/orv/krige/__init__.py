"""Experimental variograms and variogram models for kriging.

The public interface of the toolkit:

- `variogram` computes the experimental semivariogram of scattered samples in projected or
  geographic coordinates, with a maximum lag, chosen distance classes, pair counts, the
  Matheron or Cressie–Hawkins estimator and directional selection. Each class's mean distance
  and semivariance is the correctly rounded exact mean of its pairs' values, so results are
  the same bits whatever the pair order or number of threads; memory grows with the number of
  samples, not of pairs. It returns an `ExperimentalVariogram`. Directions are angles in the
  plane, (angle, dip) in three dimensions, or bearings on the sphere.
- `variogram_map` computes the semivariance of the lag vectors (dx, dy) in square cells (a
  `VariogramMap`), with the same exactness.
- The variogram models `Linear`, `Power`, `Gaussian`, `Spherical`, `Exponential`,
  `HoleEffect`, `Matern` and `Stable`, each called as ``model(parameters, h)``.
- `fit_anisotropy`, the geometric anisotropy (`Anisotropy`) from directional fits, and
  `compare_models`, models ranked by cross-validation (`ModelComparison`).
- `adjust_anisotropy`, `init_variogram_parameters` and `init_variogram_model`, the classic
  functions of the native core; `great_circle_distance`; `set_num_threads` and
  `get_num_threads` for the native pair engines; `__version__`, the installed version.
- `VariogramModel`, a model with given parameters, and `Kriging`, which predicts at targets
  (`Prediction`) and cross-validates (`CrossValidation`) with a native engine whose results
  are the same bits for any thread count.
"""
from importlib import metadata as _metadata

from .._algos.spmis.krige import get_num_threads, great_circle_distance, set_num_threads
from .._algos.spmis.krige.variogram import (
    Exponential,
    Gaussian,
    HoleEffect,
    Linear,
    Power,
    Spherical,
)
from ._anisotropy import Anisotropy, fit_anisotropy
from ._classic import adjust_anisotropy, init_variogram_model, init_variogram_parameters
from ._compare import ComparedModel, ModelComparison, compare_models
from ._fit import FittedVariogram
from ._kriging_api import CrossValidation, Kriging, Prediction
from ._model import VariogramModel
from ._result import ExperimentalVariogram
from ._shape_models import Matern, Stable
from ._variogram import variogram
from ._variogram_map import VariogramMap, variogram_map

try:
    __version__ = _metadata.version("orv-krige")
except _metadata.PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Anisotropy",
    "ComparedModel",
    "Exponential",
    "CrossValidation",
    "ExperimentalVariogram",
    "FittedVariogram",
    "Gaussian",
    "HoleEffect",
    "Kriging",
    "Linear",
    "Matern",
    "ModelComparison",
    "Power",
    "Prediction",
    "Spherical",
    "Stable",
    "VariogramMap",
    "VariogramModel",
    "__version__",
    "adjust_anisotropy",
    "compare_models",
    "fit_anisotropy",
    "get_num_threads",
    "great_circle_distance",
    "init_variogram_model",
    "init_variogram_parameters",
    "set_num_threads",
    "variogram",
    "variogram_map",
]
