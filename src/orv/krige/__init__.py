"""Experimental variograms and variogram models for kriging.

The public interface of the toolkit: `variogram` computes an experimental semivariogram of
scattered samples (projected or geographic coordinates, with a maximum lag, chosen classes,
pair counts, two estimators and directional selection), exactly and in memory proportional to
the number of samples; the model functions, anisotropy adjustment and the classic functions of
the native core are re-exported here.
"""
from importlib import metadata as _metadata

from .._algos.spmis.krige import (
    adjust_anisotropy,
    get_num_threads,
    great_circle_distance,
    init_variogram_model,
    init_variogram_parameters,
    set_num_threads,
)
from .._algos.spmis.krige.variogram import (
    Exponential,
    Gaussian,
    HoleEffect,
    Linear,
    Power,
    Spherical,
)
from ._result import ExperimentalVariogram
from ._variogram import variogram

try:
    __version__ = _metadata.version("orv-krige")
except _metadata.PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Exponential",
    "ExperimentalVariogram",
    "Gaussian",
    "HoleEffect",
    "Linear",
    "Power",
    "Spherical",
    "__version__",
    "adjust_anisotropy",
    "get_num_threads",
    "great_circle_distance",
    "init_variogram_model",
    "init_variogram_parameters",
    "set_num_threads",
    "variogram",
]
