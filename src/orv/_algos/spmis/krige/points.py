"""Conversion of coordinates and parameters (placeholder)."""
import numpy as np


def init_points(points):
    return np.array(points, dtype=np.float64, ndmin=2)


def to_numeric_array(x):
    return np.array(x, dtype=np.float64)
