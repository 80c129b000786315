"""Inputs of orv.krige.variogram that used to be refused or misread: nullable pandas
columns, and coordinates whose extent under- or overflows when squared."""
import math

import numpy as np
import pytest

from orv.krige import variogram

pd = pytest.importorskip("pandas")

POINTS = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0], [3.0, 1.0], [2.0, 2.0], [4.0, 4.0]])
VALUES = np.array([1.0, 2.0, 4.0, 3.0, 5.0, 2.5])
EDGES = [0.0, 1.5, 3.0, 6.0]


@pytest.mark.parametrize("dtype", ["Int64", "Float64", "float64", "int64"])
def test_pandas_columns_of_nullable_and_numpy_dtypes_are_accepted(dtype):
    frame = pd.DataFrame({"x": POINTS[:, 0], "y": POINTS[:, 1], "v": VALUES * 2})
    frame = frame.astype(dtype)
    result = variogram(frame[["x", "y"]], frame["v"], EDGES)
    expected = variogram(POINTS, VALUES * 2, EDGES)
    assert result == expected


@pytest.mark.parametrize("column", ["x", "v"])
def test_pandas_na_is_missing_under_nan_policy(column):
    frame = pd.DataFrame({"x": POINTS[:, 0], "y": POINTS[:, 1], "v": VALUES}).astype("Float64")
    frame.loc[2, column] = pd.NA
    with pytest.raises(ValueError, match="the first at index 2"):
        variogram(frame[["x", "y"]], frame["v"], EDGES)
    with pytest.warns(RuntimeWarning, match="omitted 1 sample"):
        result = variogram(frame[["x", "y"]], frame["v"], EDGES, nan_policy="omit")
    keep = np.arange(6) != 2
    assert result == variogram(POINTS[keep], VALUES[keep], EDGES)


def test_a_nullable_boolean_column_is_still_refused():
    with pytest.raises(TypeError, match="values must hold integers or real"):
        variogram(POINTS, pd.Series([True, False] * 3, dtype="boolean"), EDGES)


@pytest.mark.parametrize("scale", [1e-300, 1e-160, 1e154, 1e300])
def test_the_default_max_lag_is_a_third_of_the_extent_at_any_scale(scale):
    points = POINTS * scale
    result = variogram(points, VALUES, 3)
    span = (POINTS.max(axis=0) - POINTS.min(axis=0))
    expected = math.hypot(*span) * scale / 3.0
    assert result.max_lag == pytest.approx(expected, rel=1e-12)
