"""The package members that the native module imports: conversions, distances, errors, models."""
import copy
import pickle

import numpy as np
import pytest

from orv._algos.spmis.krige import core, error, geodesy, init_points, to_numeric_array, variogram

R = geodesy.EARTH_RADIUS_KM


@pytest.mark.parametrize(
    "points",
    [np.arange(6.0).reshape(3, 2), np.asfortranarray(np.ones((4, 3))), [[1, 2], [3, 4]],
     np.ones((2, 2), np.float32), np.empty((0, 2)), np.empty((3, 0))],
)
def test_init_points_returns_a_new_float64_copy(points):
    before = np.array(points, copy=True)
    result = init_points(points)
    assert result.dtype == np.float64 and result.shape == np.shape(points)
    assert result.flags.c_contiguous and not np.shares_memory(result, points)
    result += 1.0
    np.testing.assert_array_equal(points, before)


@pytest.mark.parametrize(
    "bad, exception, fragment",
    [([1.0, 2.0], ValueError, "shape (2,)"), (3.0, ValueError, "shape ()"),
     (np.zeros((2, 2, 2)), ValueError, "3 dimension"), ([[1, 2], [3]], ValueError, "ragged"),
     (np.ma.masked_array([[1.0, 2.0]], mask=[[0, 1]]), ValueError, "masked entries"),
     ([["1", "2"]], TypeError, "<U1"),
     ([[True, False]], TypeError, "bool"), ([[1j, 2]], TypeError, "complex"),
     ([[None, 1.0]], TypeError, "object"),
     (np.array([["2020-01-01"]], "M8[D]"), TypeError, "datetime")],
)
def test_init_points_refuses_with_a_clear_message(bad, exception, fragment):
    with pytest.raises(exception, match="points must") as info:
        init_points(bad)
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    "x, shape", [(2, ()), (np.float32(0.5), ()), ([1, 2], (2,)), ([[1], [2]], (2, 1))]
)
def test_to_numeric_array_keeps_the_shape(x, shape):
    result = to_numeric_array(x)
    assert result.dtype == np.float64 and result.shape == shape
    assert result.flatten().size == max(1, np.size(x))


def reference_distance(a, b):
    """Central angle from 3-D unit vectors: atan2(|u x v|, u . v), times the radius."""
    def unit(p):
        lon, lat = np.radians(np.asarray(p, float)).T
        return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], -1)
    u, v = unit(a)[:, None, :], unit(b)[None, :, :]
    return R * np.arctan2(np.linalg.norm(np.cross(u, v), axis=-1), np.sum(u * v, axis=-1))


def haversine(a, b):
    """The documented formula, evaluated with NumPy."""
    lon_a, lat_a = np.radians(np.asarray(a, float)).T[:, :, None]
    lon_b, lat_b = np.radians(np.asarray(b, float)).T[:, None, :]
    h = np.sin(np.abs(lat_a - lat_b) / 2) ** 2 + np.sin(np.abs(lon_a - lon_b) / 2) ** 2 * (
        np.cos(lat_a) * np.cos(lat_b))
    return 2 * R * np.arcsin(np.sqrt(np.clip(h, 0, 1)))


def test_great_circle_distance_matches_independent_references():
    rng = np.random.default_rng(5)
    a = np.column_stack([rng.uniform(-180, 180, 40), rng.uniform(-90, 90, 40)])
    b = np.vstack([a[:25] + [180, 0], a[:25] * [1, -1], a[:5] + 1e-7])  # also pairs a few cm apart
    result = geodesy.great_circle_distance(a, b)
    np.testing.assert_allclose(result, reference_distance(a, b), rtol=1e-9, atol=1e-3)
    formula = haversine(a, b)
    assert np.all(np.abs(result - formula) <= 4 * np.spacing(formula))
    same = geodesy.great_circle_distance(a, a)
    assert np.array_equal(same, same.T) and not np.diag(same).any()


@pytest.mark.parametrize(
    "p, q, km",
    [((0, 0), (0, 90), np.pi / 2 * R), ((10, 0), (-170, 0), np.pi * R),
     ((179.5, 0), (-179.5, 0), np.pi / 180 * R), ((25, 90), (-60, 90), 0.0)],
)
def test_great_circle_distance_known_values(p, q, km):
    assert geodesy.great_circle_distance([p], [q])[0, 0] == pytest.approx(km, rel=1e-12, abs=1e-9)


@pytest.mark.parametrize("bad", [[1.0, 2.0], [[1.0, 2.0, 3.0]], [[1.0]]])
def test_great_circle_distance_wants_two_columns(bad):
    with pytest.raises(ValueError, match=r"N x 2 array of \(longitude, latitude\)"):
        geodesy.great_circle_distance(bad, [[0.0, 0.0]])


@pytest.mark.parametrize(
    "exc, fragments",
    [(error.SpmisError(errors="Cubic", all_sels=core.DEFAULT_PARAMETERS),
      ["'Cubic'", "'HoleEffect'"]),
     (error.SpmisError(errors="geogcs"), ["'geogcs'"]),
     (error.SpmisError(errors=3, all_sels=["GEOGCS", "PROJCS"]), ["3", "'GEOGCS', 'PROJCS'"]),
     (error.ParameterError(errors=["Range"], all_sels=["PSill", "Range"]),
      ["'Range'.", "'PSill', 'Range'"])],
)
def test_selection_errors_name_value_and_choices_and_survive_pickling(exc, fragments):
    assert isinstance(exc, error.ORVError)
    assert all(fragment in str(exc) for fragment in fragments)
    for clone in (pickle.loads(pickle.dumps(exc)), copy.copy(exc), copy.deepcopy(exc)):
        assert type(clone) is type(exc) and str(clone) == str(exc)
        assert (clone.errors, clone.all_sels) == (exc.errors, exc.all_sels)


def test_orv_error_and_the_native_module_raise_paths():
    clone = pickle.loads(pickle.dumps(error.ORVError("no")))
    assert (clone.message, str(clone)) == ("no", "no")
    with pytest.raises(error.SpmisError, match="'linear'.*'Linear'") as info:
        core.init_variogram_parameters("linear", None)
    assert info.value.all_sels is core.DEFAULT_PARAMETERS
    with pytest.raises(error.ParameterError, match="'Nugget'") as info:
        core.init_variogram_parameters("Linear", {"Slope": 1.0})
    assert info.value.errors == ["Nugget"]


E3 = 1 - np.exp(-3.0)


@pytest.mark.parametrize(
    "model, parameters, h, expected",
    [("Linear", [2.0, 0.5], [0, 3, -3], [0, 6.5, 6.5]),
     ("Power", [2.0, 1.5, 0.5], [0, 4], [0, 16.5]),
     ("Gaussian", [2.0, 10.0, 0.5], [0, 5, 10], [0, 2 * (1 - np.exp(-0.75)) + 0.5, 2 * E3 + 0.5]),
     ("Exponential", [2.0, 10.0, 0.5], [0, 5, 10], [0, 2 * (1 - np.exp(-1.5)) + 0.5, 2 * E3 + 0.5]),
     ("Spherical", [2.0, 10.0, 0.5], [0, 5, 10, 25, np.nan], [0, 1.875, 2.5, 2.5, np.nan]),
     ("HoleEffect", [2.0, 10.0, 0.5], [0, 5, 10, 20], [0, 2 * (1 - 2 / np.pi) + 0.5, 2.5, 2.5])],
)
def test_variogram_models_against_hand_values(model, parameters, h, expected):
    result = getattr(variogram, model)(parameters, np.array(h))
    assert result.dtype == np.float64 and result[0] == 0.0
    np.testing.assert_allclose(result, expected, rtol=1e-12, atol=1e-15)
    assert getattr(variogram, model)(parameters, h[1]).shape == ()
