"""fit_anisotropy: a known ellipse recovered from a simulated field, and the Anisotropy it returns
read by Kriging and adjust_anisotropy in one convention."""
import dataclasses

import numpy as np
import pytest

from orv.krige import (
    Anisotropy,
    Kriging,
    VariogramModel,
    adjust_anisotropy,
    fit_anisotropy,
)
from orv.krige._simulate import spherical_field


def angle_difference(a, b):
    """Difference of two axis directions, modulo 180°."""
    return (a - b + 90.0) % 180.0 - 90.0


@pytest.fixture(scope="module", params=[(30.0, 2.0, 13), (120.0, 2.5, 1)],
                ids=["30deg-ratio2", "120deg-ratio2.5"])
def field(request):
    angle, ratio, seed = request.param
    points, values = spherical_field(2000, extent=150.0, psill=0.9, range_=16.0, nugget=0.1,
                                     angle=angle, ratio=ratio, seed=seed)
    return angle, ratio, points, values


@pytest.fixture(scope="module")
def fitted(field):
    _, _, points, values = field
    return fit_anisotropy(points, values, "Spherical", max_lag=24.0, bins=16)


def test_the_known_ellipse_is_recovered(field, fitted):
    angle, ratio, _, _ = field
    assert abs(angle_difference(fitted.angle, angle)) <= 10.0
    assert fitted.ratio == pytest.approx(ratio, rel=0.25)
    assert fitted.major_range == pytest.approx(16.0, rel=0.25)
    assert 0.0 <= fitted.angle < 180.0 and fitted.ratio >= 1.0
    assert fitted.major_range / fitted.minor_range == pytest.approx(fitted.ratio, rel=1e-12)


def test_each_direction_is_fitted_with_the_shared_nugget(fitted):
    np.testing.assert_array_equal(fitted.directions, np.arange(12) * 15.0)
    assert len(fitted.fits) == len(fitted.variograms) == 12 and not fitted.failed
    assert {f.parameters["Nugget"] for f in fitted.fits} == {fitted.nugget}
    assert {v.tolerance for v in fitted.variograms} == {7.5}  # half the spacing
    # The ellipse passes through the directional ranges, up to their scatter.
    ranges = np.array([f.parameters["Range"] for f in fitted.fits])
    assert np.median(np.abs(fitted.range_at(fitted.directions) / ranges - 1.0)) < 0.15


def test_kriging_with_the_object_is_kriging_with_the_pair_and_adjust_anisotropy(field, fitted):
    _, _, points, values = field
    points, values = points[:400], values[:400]
    model = VariogramModel("Spherical", {"PSill": 0.9, "Range": fitted.major_range,
                                         "Nugget": 0.1})
    targets = np.random.default_rng(5).uniform(0.0, 150.0, (50, 2))
    with_object = Kriging(points, values, model, anisotropy=fitted, neighbours=24)
    with_pair = Kriging(points, values, model, anisotropy=(fitted.angle, fitted.ratio),
                        neighbours=24)
    a, b = with_object.predict(targets), with_pair.predict(targets)
    np.testing.assert_array_equal(a.estimate, b.estimate)
    np.testing.assert_array_equal(a.variance, b.variance)
    # The same distances as isotropic kriging of coordinates adjusted by (ratio, angle).
    centre = points.mean(axis=0)
    adjusted = Kriging(adjust_anisotropy(points, centre, [fitted.ratio], [fitted.angle]),
                       values, model, neighbours=24).predict(
        adjust_anisotropy(targets, centre, [fitted.ratio], [fitted.angle]))
    np.testing.assert_allclose(a.estimate, adjusted.estimate, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(a.variance, adjusted.variance, rtol=1e-9, atol=1e-12)


def test_the_result_is_frozen_and_its_arrays_read_only(fitted):
    with pytest.raises(dataclasses.FrozenInstanceError):
        fitted.angle = 0.0
    assert not fitted.directions.flags.writeable and not fitted.covariance.flags.writeable
    assert isinstance(fitted, Anisotropy) and "Anisotropy(angle=" in repr(fitted)


@pytest.mark.filterwarnings("ignore:the fitted Exponential Range:RuntimeWarning")
def test_a_held_nugget_is_shared_as_given(field):
    _, _, points, values = field
    found = fit_anisotropy(points[:600], values[:600], "Exponential", directions=6,
                           nugget=0.1, max_lag=24.0, bins=12, weights="counts")
    assert found.nugget == 0.1 and all(f.parameters["Nugget"] == 0.1 for f in found.fits)
    np.testing.assert_array_equal(found.directions, np.arange(6) * 30.0)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"directions": 3}, ValueError, "directions must be an int >= 4"),
    ({"directions": 6.0}, TypeError, "directions must be an int"),
    ({"tolerance": 0.0}, ValueError, r"tolerance must be None or a half-angle in \(0, 90\]"),
    ({"tolerance": 91.0}, ValueError, "tolerance must be None"),
    ({"model": "Linear"}, ValueError, "model must have a Range"),
    ({"points": np.zeros((10, 3))}, ValueError, "points must be an N x 2 array"),
])
def test_misuse_names_the_argument(kwargs, error, message):
    arguments = {"points": np.random.default_rng(0).uniform(size=(10, 2)),
                 "values": np.arange(10.0), "model": "Spherical"}
    arguments.update(kwargs)
    with pytest.raises(error, match=message):
        fit_anisotropy(arguments.pop("points"), arguments.pop("values"), arguments.pop("model"),
                       **arguments)


def test_plot_draws_the_ranges_and_the_ellipse(fitted):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    ax = fitted.plot()
    # The ellipse line reaches the major range along the major axis.
    ellipse = next(line for line in ax.get_lines() if line.get_label().startswith("ellipse"))
    x, y = ellipse.get_data()
    assert np.hypot(x, y).max() == pytest.approx(fitted.major_range, rel=1e-4)
    assert np.hypot(x, y).min() == pytest.approx(fitted.minor_range, rel=1e-4)
    import matplotlib.pyplot as plt

    plt.close(ax.figure)
