"""orv-variogram: the experimental semivariogram of the samples in a CSV file."""
from .._algos.spmis.krige.cli import main

__all__ = ["main"]
