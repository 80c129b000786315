"""Kriging against a brute-force reference written here.

For every target the reference measures the distance to every sample, keeps the k nearest (ties
by sample index) within the maximum distance, builds the whole kriging system of those samples in
float64 from the package's model functions and solves it with `np.linalg.solve`. Bounded models
use the covariance C(h) = sill − γ(h); Linear and Power the generalized covariance −γ(h), whose
C(0) is 0, in the same formulas:

    [C  F] [w]   [c]
    [Fᵀ 0] [μ] = [f],    estimate = wᵀz,   variance = C(0) − wᵀc − μᵀf,

with F the drift columns (none for simple kriging, where the estimate is m + wᵀ(z − m)). The data
are chosen so that no two samples tie at the k-th neighbour and no distance lies at the maximum
distance, except in the test of the tie rule; the reference checks that, so that a case which is
not determined cannot pass or fail by chance. Nuggets keep the systems well conditioned, so that
two correct solvers agree to far better than the tolerances.
"""
import warnings

import numpy as np
import pytest

from orv import krige

Kriging = getattr(krige, "Kriging", None)
VariogramModel = getattr(krige, "VariogramModel", None)
needs_kriging = pytest.mark.skipif(Kriging is None, reason="orv.krige.Kriging is not built yet")

RADIUS = 6371.0088  # km, the sphere of the geographic kind
RTOL = 1e-12
RTOL_UNIVERSAL = 1e-9

NAMES = {
    "Linear": ("Slope", "Nugget"),
    "Power": ("Scale", "Exponent", "Nugget"),
    "Gaussian": ("PSill", "Range", "Nugget"),
    "Spherical": ("PSill", "Range", "Nugget"),
    "Exponential": ("PSill", "Range", "Nugget"),
    "HoleEffect": ("PSill", "Range", "Nugget"),
}
MODELS = {
    "Spherical": {"PSill": 1.2, "Range": 4.0, "Nugget": 0.15},
    "Exponential": {"PSill": 0.9, "Range": 6.0, "Nugget": 0.1},
    "Gaussian": {"PSill": 1.0, "Range": 3.0, "Nugget": 0.2},
    "HoleEffect": {"PSill": 0.8, "Range": 2.5, "Nugget": 0.2},
    "Linear": {"Slope": 0.3, "Nugget": 0.1},
    "Power": {"Scale": 0.4, "Exponent": 1.3, "Nugget": 0.1},
}
BOUNDED = ["Spherical", "Exponential", "Gaussian", "HoleEffect"]


# ---- the reference ---------------------------------------------------------------------------


class Reference:
    """Brute-force kriging of one model with one neighbourhood rule."""

    def __init__(self, model, parameters, *, kind="ordinary", mean=None, drift=None,
                 neighbours=None, min_neighbours=1, max_distance=None, anisotropy=None,
                 gtype="PROJCS", allow_ties=False):
        self.function = getattr(krige, model)
        self.parameters = dict(parameters)
        self.bounded = model not in ("Linear", "Power")
        self.kind, self.mean, self.drift = kind, mean, drift
        self.k, self.min_neighbours, self.max_distance = neighbours, min_neighbours, max_distance
        self.anisotropy, self.gtype, self.allow_ties = anisotropy, gtype, allow_ties

    def gamma(self, h, nugget=True):
        parameters = dict(self.parameters)
        if not nugget:
            parameters["Nugget"] = 0.0
        names = NAMES[self.function.__name__]
        return self.function([parameters[name] for name in names], np.asarray(h, dtype=float))

    def covariance(self, h, nugget=True):
        """C(h) = sill − γ(h), or −γ(h) for the unbounded models; without the nugget, C(0) is
        PSill (the convention of the block-block term)."""
        g = self.gamma(h, nugget)
        if not self.bounded:
            return -g
        sill = self.parameters["PSill"] + (self.parameters["Nugget"] if nugget else 0.0)
        return sill - g

    def frame(self, points):
        """Coordinates in which the Euclidean distance is the kriging distance."""
        points = np.asarray(points, dtype=float)
        if self.gtype == "GEOGCS":
            lon, lat = np.radians(points[:, 0]), np.radians(points[:, 1])
            return RADIUS * np.column_stack(
                [np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])
        if self.anisotropy is not None:
            # turned by −angle, so that the direction at angle lies along the first axis; the
            # offset across it multiplied by scale
            angle, scale = self.anisotropy
            c, s = np.cos(np.radians(angle)), np.sin(np.radians(angle))
            x, y = points[:, 0], points[:, 1]
            return np.column_stack([c * x + s * y, scale * (c * y - s * x)])
        return points

    def drift_columns(self, points):
        x, y = points[:, 0], points[:, 1]
        one = np.ones_like(x)
        if self.kind == "universal" and self.drift == "linear":
            return np.column_stack([one, x, y])
        if self.kind == "universal" and self.drift == "quadratic":
            return np.column_stack([one, x, y, x * x, x * y, y * y])
        if self.kind == "ordinary":
            return one[:, None]
        return np.zeros((x.size, 0))

    def choose(self, samples, centre):
        """Indices of the samples used for a target at `centre` (in the kriging frame)."""
        distance = np.sqrt(((samples - centre) ** 2).sum(axis=1))
        order = np.lexsort((np.arange(distance.size), distance))
        if self.max_distance is not None:
            near = np.abs(distance - self.max_distance) <= 1e-9 * self.max_distance
            assert not near.any(), "test data: a distance lies at max_distance"
            order = order[distance[order] <= self.max_distance]
        if self.k is not None and order.size > self.k:
            kth, next_ = distance[order[self.k - 1]], distance[order[self.k]]
            assert self.allow_ties or next_ - kth > 1e-9 * max(kth, 1.0), \
                "test data: a tie at the k-th neighbour"
            order = order[: self.k]
        return order

    def predict(self, points, values, targets, block=None, block_points=4):
        """(estimate, variance, neighbours) of every target."""
        points = np.asarray(points, dtype=float)
        values = np.asarray(values, dtype=float)
        targets = np.asarray(targets, dtype=float)
        samples = self.frame(points)
        estimate = np.full(len(targets), np.nan)
        variance = np.full(len(targets), np.nan)
        used = np.zeros(len(targets), dtype=int)
        for t, target in enumerate(targets):
            if block is None:
                spots = target[None, :]
            else:
                offsets = ((np.arange(block_points) + 0.5) / block_points - 0.5)
                ox, oy = np.meshgrid(offsets * block[0], offsets * block[1], indexing="ij")
                spots = target + np.column_stack([ox.ravel(), oy.ravel()])
            centre = self.frame(target[None, :])[0]
            chosen = self.choose(samples, centre)
            used[t] = chosen.size
            if chosen.size < self.min_neighbours:
                continue
            near = samples[chosen]
            spots_frame = self.frame(spots)
            c_samples = self.covariance(
                np.sqrt(((near[:, None, :] - near[None, :, :]) ** 2).sum(axis=2)))
            c_target = self.covariance(
                np.sqrt(((near[:, None, :] - spots_frame[None, :, :]) ** 2).sum(axis=2))
            ).mean(axis=1)
            if block is None:
                c_0 = float(self.covariance(0.0))
            else:
                between = np.sqrt(
                    ((spots_frame[:, None, :] - spots_frame[None, :, :]) ** 2).sum(axis=2))
                c_0 = float(self.covariance(between, nugget=False).mean())
            f_samples = self.drift_columns(points[chosen])
            f_target = self.drift_columns(spots).mean(axis=0)
            m, p = chosen.size, f_samples.shape[1]
            system = np.zeros((m + p, m + p))
            system[:m, :m] = c_samples
            system[:m, m:] = f_samples
            system[m:, :m] = f_samples.T
            solution = np.linalg.solve(system, np.concatenate([c_target, f_target]))
            w, mu = solution[:m], solution[m:]
            z = values[chosen]
            if self.kind == "simple":
                estimate[t] = self.mean + w @ (z - self.mean)
            else:
                estimate[t] = w @ z
            variance[t] = c_0 - w @ c_target - mu @ f_target
        return estimate, variance, used


def variogram_model(name, parameters=None):
    return VariogramModel(name, dict(MODELS[name] if parameters is None else parameters))


def field(n, seed, size=10.0):
    """n samples scattered in a size × size square, values of a smooth field with noise."""
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, size, (n, 2))
    values = (np.sin(points[:, 0] / 3.0) + np.cos(points[:, 1] / 4.0) + 0.05 * points[:, 0]
              + 0.3 * rng.standard_normal(n))
    return points, values


def targets_in(n, seed, low=-1.0, high=11.0):
    return np.random.default_rng(seed).uniform(low, high, (n, 2))


def scale_of(reference, values):
    """Magnitudes against which estimates and variances are compared."""
    if reference.bounded:
        spread = reference.parameters["PSill"] + reference.parameters["Nugget"]
    else:
        spread = float(reference.gamma(15.0))
    return max(1.0, float(np.abs(values).max())), spread


def assert_agrees(prediction, expected, reference, values, rtol=RTOL):
    estimate, variance, used = expected
    value_scale, variance_scale = scale_of(reference, values)
    valid = ~np.isnan(estimate)
    np.testing.assert_array_equal(np.isnan(prediction.estimate), ~valid)
    np.testing.assert_array_equal(np.isnan(prediction.variance), ~valid)
    np.testing.assert_allclose(prediction.estimate, estimate, rtol=rtol, atol=rtol * value_scale)
    np.testing.assert_allclose(prediction.variance, variance, rtol=rtol,
                               atol=rtol * variance_scale)
    np.testing.assert_array_equal(np.asarray(prediction.neighbours)[valid], used[valid])
    for array in (prediction.estimate, prediction.variance):
        assert array.dtype == np.float64 and not array.flags.writeable


def check(points, values, targets, model="Spherical", *, block=None, block_points=4,
          rtol=RTOL, parameters=None, **options):
    reference_options = {key: value for key, value in options.items()
                         if key not in ("duplicates", "nan_policy")}
    parameters = MODELS[model] if parameters is None else parameters
    reference = Reference(model, parameters, **reference_options)
    kriging = Kriging(points, values, variogram_model(model, parameters), **options)
    if block is None:
        prediction = kriging.predict(targets)
    else:
        prediction = kriging.predict(targets, block=block, block_points=block_points)
    expected = reference.predict(points, values, targets, block, block_points)
    assert_agrees(prediction, expected, reference, values, rtol)
    return prediction, expected


# ---- the reference itself: a second solver agrees far inside the tolerances -----------------


def test_reference_is_well_conditioned():
    """The cases below are systems on which a Cholesky solve through the Schur complement
    agrees with np.linalg.solve to 1e-14, so 1e-12 tests the engine, not rounding luck."""
    from scipy.linalg import cho_factor, cho_solve

    points, values = field(200, 1)
    for name in BOUNDED:
        reference = Reference(name, MODELS[name])
        distances = np.sqrt(((points[:, None] - points[None]) ** 2).sum(axis=2))
        c = reference.covariance(distances)
        target = np.array([4.3, 5.1])
        c0 = reference.covariance(np.sqrt(((points - target) ** 2).sum(axis=1)))
        factor = cho_factor(c)
        a, b = cho_solve(factor, c0), cho_solve(factor, np.ones(len(points)))
        mu = (a.sum() - 1.0) / b.sum()
        w = a - mu * b
        expected = reference.predict(points, values, target[None])
        assert abs(w @ values - expected[0][0]) < 1e-14 * np.abs(values).max()
        assert abs(reference.covariance(0.0) - w @ c0 - mu - expected[1][0]) < 1e-14


# ---- point kriging ---------------------------------------------------------------------------


@pytest.mark.parametrize("model", BOUNDED)
@pytest.mark.parametrize("neighbours", [None, 12])
@needs_kriging
def test_simple(model, neighbours):
    points, values = field(150, 2)
    check(points, values, targets_in(60, 3), model, kind="simple", mean=0.4,
          neighbours=neighbours)


@pytest.mark.parametrize("model", list(MODELS))
@pytest.mark.parametrize("neighbours", [None, 1, 2, 16, 149])
@needs_kriging
def test_ordinary(model, neighbours):
    points, values = field(150, 4)
    check(points, values, targets_in(60, 5), model, neighbours=neighbours)


@pytest.mark.parametrize("drift", ["linear", "quadratic"])
@pytest.mark.parametrize("model", ["Spherical", "Exponential", "Linear", "Power"])
@pytest.mark.parametrize("neighbours", [None, 20])
@needs_kriging
def test_universal(drift, model, neighbours):
    points, values = field(120, 6)
    values = values + 0.4 * points[:, 0] - 0.2 * points[:, 1]
    check(points, values, targets_in(50, 7), model, kind="universal", drift=drift,
          neighbours=neighbours, rtol=RTOL_UNIVERSAL)


@pytest.mark.parametrize("drift", ["linear", "quadratic"])
@needs_kriging
def test_universal_does_not_depend_on_the_coordinates_offset(drift):
    """Coordinates of order 10⁵ (metres of a national grid) give the answer of the same data
    near the origin: the drift columns are centred and scaled before they are used."""
    points, values = field(100, 8)
    targets = targets_in(40, 9, 0.0, 10.0)
    offset = np.array([4.5e5, 6.2e5])
    options = dict(kind="universal", drift=drift, neighbours=25)
    near = Kriging(points, values, variogram_model("Spherical"), **options).predict(targets)
    far = Kriging(points + offset, values, variogram_model("Spherical"), **options).predict(
        targets + offset)
    # distances lose ~1e-11 relative at 10⁵, so the two agree to that, not to 1e-12
    np.testing.assert_allclose(far.estimate, near.estimate, rtol=1e-8, atol=1e-8)
    np.testing.assert_allclose(far.variance, near.variance, rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize("kind, options", [
    ("simple", {"mean": 0.4}),
    ("ordinary", {}),
    ("universal", {"drift": "linear"}),
])
@pytest.mark.parametrize("neighbours", [None, 8])
@pytest.mark.parametrize("model", ["Spherical", "Gaussian", "Linear"])
@needs_kriging
def test_exact_at_the_samples(kind, options, neighbours, model):
    """A target at a sample gets the sample's value with variance 0, nugget or not."""
    if kind == "simple" and model == "Linear":
        pytest.skip("simple kriging needs a bounded model")
    points, values = field(80, 10)
    kriging = Kriging(points, values, variogram_model(model), kind=kind, neighbours=neighbours,
                      **options)
    prediction = kriging.predict(points[::3])
    scale = np.abs(values).max()
    np.testing.assert_allclose(prediction.estimate, values[::3], rtol=0, atol=1e-12 * scale)
    np.testing.assert_allclose(prediction.variance, 0.0, rtol=0, atol=1e-12 * scale)


# ---- neighbourhoods --------------------------------------------------------------------------


@pytest.mark.parametrize("neighbours, max_distance, min_neighbours", [
    (None, 1.5, 1),
    (None, 1.5, 6),
    (10, 1.5, 1),
    (10, 1.5, 4),
    (10, 2.2, 10),
    (3, 0.7, 3),
])
@pytest.mark.parametrize("kind", ["simple", "ordinary"])
@needs_kriging
def test_max_distance_and_min_neighbours(neighbours, max_distance, min_neighbours, kind):
    points, values = field(120, 11)
    # targets beyond the square as well, where some have no sample within reach
    targets = targets_in(80, 12, -3.0, 13.0)
    options = {"mean": 0.4} if kind == "simple" else {}
    prediction, (estimate, _, used) = check(
        points, values, targets, kind=kind, neighbours=neighbours, max_distance=max_distance,
        min_neighbours=min_neighbours, **options)
    too_few = used < min_neighbours
    assert too_few.any() and not too_few.all(), "test data: both kinds of target"
    assert np.isnan(prediction.estimate[too_few]).all()
    assert np.isnan(prediction.variance[too_few]).all()


@needs_kriging
def test_ties_at_the_kth_neighbour_go_to_the_lower_index():
    """Samples on an integer grid, shuffled; targets at cell centres have four samples at the
    same distance, and the k-th place goes to the lower sample index."""
    gx, gy = np.meshgrid(np.arange(8.0), np.arange(8.0))
    grid = np.column_stack([gx.ravel(), gy.ravel()])
    order = np.random.default_rng(13).permutation(len(grid))
    points = grid[order]
    values = np.sin(points[:, 0]) + 0.3 * points[:, 1] + 0.01 * order
    targets = np.array([[2.5, 3.5], [4.5, 4.5], [0.5, 6.5], [6.5, 1.5]])
    for k in (1, 2, 3, 5, 6, 7):
        reference = Reference("Spherical", MODELS["Spherical"], neighbours=k, allow_ties=True)
        prediction = Kriging(points, values, variogram_model("Spherical"),
                             neighbours=k).predict(targets)
        assert_agrees(prediction, reference.predict(points, values, targets), reference, values)


ANISOTROPY = [(30.0, 3.0), (-75.0, 0.4), (90.0, 2.0)]


@pytest.mark.parametrize("angle, scale", ANISOTROPY)
def test_reference_frame_is_that_of_adjust_anisotropy(angle, scale):
    points, _ = field(30, 29)
    reference = Reference("Exponential", MODELS["Exponential"], anisotropy=(angle, scale))
    np.testing.assert_allclose(
        reference.frame(points),
        krige.adjust_anisotropy(points, [0.0, 0.0], [scale], [angle]), rtol=0, atol=1e-13)


@pytest.mark.parametrize("angle, scale", ANISOTROPY)
@pytest.mark.parametrize("neighbours", [None, 10])
@pytest.mark.parametrize("kind, options", [("ordinary", {}), ("simple", {"mean": 0.4})])
@needs_kriging
def test_anisotropy(angle, scale, neighbours, kind, options):
    """Distances, and so the choice of neighbours, are those after adjust_anisotropy."""
    points, values = field(120, 14)
    check(points, values, targets_in(50, 15), "Exponential", anisotropy=(angle, scale),
          neighbours=neighbours, kind=kind, **options)


# ---- blocks ----------------------------------------------------------------------------------


@pytest.mark.parametrize("block, block_points", [
    ((1.0, 1.0), 4),
    ((0.5, 2.0), 3),
    ((2.0, 1.5), 1),
    ((1.0, 1.0), 6),
])
@pytest.mark.parametrize("kind, options", [
    ("simple", {"mean": 0.4}),
    ("ordinary", {}),
    ("universal", {"drift": "linear"}),
])
@pytest.mark.parametrize("model", ["Spherical", "Gaussian"])
@pytest.mark.parametrize("neighbours", [None, 16])
@needs_kriging
def test_block(block, block_points, kind, options, model, neighbours):
    """The block mean over an n × n discretisation; the block-block covariance leaves the
    nugget out; neighbours are those of the block centre."""
    points, values = field(100, 16)
    rtol = RTOL_UNIVERSAL if kind == "universal" else RTOL
    check(points, values, targets_in(30, 17, 0.5, 9.5), model, kind=kind, block=block,
          block_points=block_points, neighbours=neighbours, rtol=rtol, **options)


@needs_kriging
def test_block_variance_is_below_the_point_variance():
    """Averaging over a block removes the nugget and part of the structured variance."""
    points, values = field(100, 18)
    targets = targets_in(30, 19, 0.5, 9.5)
    kriging = Kriging(points, values, variogram_model("Spherical"), neighbours=16)
    point = kriging.predict(targets)
    block = kriging.predict(targets, block=(1.0, 1.0))
    assert (block.variance < point.variance).all()


# ---- geographic coordinates ------------------------------------------------------------------


@pytest.mark.parametrize("neighbours, max_distance", [(None, None), (12, None), (12, 250.0)])
@pytest.mark.parametrize("kind, options", [("ordinary", {}), ("simple", {"mean": 0.4})])
@needs_kriging
def test_geographic_uses_chord_distances(neighbours, max_distance, kind, options):
    rng = np.random.default_rng(20)
    # a region that crosses the antimeridian, where longitude differences wrap
    points = np.column_stack([(rng.uniform(170.0, 190.0, 120) + 180.0) % 360.0 - 180.0,
                              rng.uniform(-50.0, -35.0, 120)])
    values = np.cos(np.radians(points[:, 1]) * 8) + 0.2 * rng.standard_normal(120)
    targets = np.column_stack([(rng.uniform(171.0, 189.0, 50) + 180.0) % 360.0 - 180.0,
                               rng.uniform(-49.0, -36.0, 50)])
    assert (points[:, 0] > 170.0).any() and (points[:, 0] < -170.0).any()
    parameters = {"PSill": 1.0, "Range": 600.0, "Nugget": 0.1}
    check(points, values, targets, "Spherical", parameters=parameters, gtype="GEOGCS",
          neighbours=neighbours, max_distance=max_distance, kind=kind, **options)


# ---- duplicates ------------------------------------------------------------------------------


def with_duplicates():
    points, values = field(90, 21)
    # sample 5 three times, 40 twice, at the end and in between
    extra = np.array([5, 40, 5])
    points = np.concatenate([points[:50], points[extra], points[50:]])
    values = np.concatenate([values[:50], values[extra] + [0.5, -0.25, 1.0], values[50:]])
    return points, values


def merged(points, values):
    """Coincident samples as one at the place of the first, with the mean value."""
    _, first, inverse = np.unique(points, axis=0, return_index=True, return_inverse=True)
    inverse = inverse.ravel()
    sums = np.bincount(inverse, values)
    counts = np.bincount(inverse)
    keep = np.sort(first)
    groups = inverse[keep]
    return points[keep], sums[groups] / counts[groups]


@pytest.mark.parametrize("neighbours", [None, 10])
@needs_kriging
def test_duplicates_are_merged_into_their_mean(neighbours):
    points, values = with_duplicates()
    targets = np.concatenate([targets_in(40, 22), points[[5, 40, 52]]])
    model = variogram_model("Spherical")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kriging = Kriging(points, values, model, neighbours=neighbours, duplicates="mean")
        prediction = kriging.predict(targets)
    runtime = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(runtime) == 1
    unique_points, unique_values = merged(points, values)
    assert len(unique_points) == 90
    reference = Reference("Spherical", MODELS["Spherical"], neighbours=neighbours)
    assert_agrees(prediction, reference.predict(unique_points, unique_values, targets),
                  reference, unique_values)
    # at a merged sample the estimate is the mean of its values
    np.testing.assert_allclose(prediction.estimate[-3:-1],
                               [np.mean(values[[5, 50, 52]]), np.mean(values[[40, 51]])],
                               rtol=1e-12)


@needs_kriging
def test_duplicates_raise():
    points, values = with_duplicates()
    with pytest.raises(ValueError, match="(?i)duplicate"):
        Kriging(points, values, variogram_model("Spherical"), duplicates="raise")


@needs_kriging
def test_no_warning_without_duplicates():
    points, values = field(50, 23)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Kriging(points, values, variogram_model("Spherical")).predict(targets_in(5, 24))


# ---- systems that cannot be solved -----------------------------------------------------------


@pytest.mark.parametrize("direction", [(1.0, 0.0), (0.0, 1.0), (0.6, 0.8)])
@pytest.mark.parametrize("neighbours", [None, 10])
@needs_kriging
def test_collinear_samples_under_a_linear_drift_give_nan(direction, neighbours):
    """Samples on one line cannot determine a plane: NaN for every target, counted in one
    RuntimeWarning, never a number."""
    t = np.linspace(0.0, 10.0, 40)
    points = np.column_stack([1.0 + t * direction[0], 2.0 + t * direction[1]])
    values = np.sin(t)
    targets = targets_in(12, 25)
    kriging = Kriging(points, values, variogram_model("Spherical"), kind="universal",
                      drift="linear", neighbours=neighbours)
    with pytest.warns(RuntimeWarning) as caught:
        prediction = kriging.predict(targets)
    assert len([w for w in caught if issubclass(w.category, RuntimeWarning)]) == 1
    assert np.isnan(prediction.estimate).all() and np.isnan(prediction.variance).all()


# ---- cross-validation ------------------------------------------------------------------------


def assert_cross_validation(cv, points, values, groups, reference, rtol=RTOL):
    """Each group's samples predicted by the reference from the other samples."""
    estimate = np.full(len(values), np.nan)
    variance = np.full(len(values), np.nan)
    for label in np.unique(groups):
        out = groups == label
        e, v, _ = reference.predict(points[~out], values[~out], points[out])
        estimate[out], variance[out] = e, v
    value_scale, variance_scale = scale_of(reference, values)
    np.testing.assert_array_equal(cv.observed, values)
    np.testing.assert_allclose(cv.estimate, estimate, rtol=rtol, atol=rtol * value_scale)
    np.testing.assert_allclose(cv.variance, variance, rtol=rtol, atol=rtol * variance_scale)
    residual = values - cv.estimate
    np.testing.assert_array_equal(cv.residual, residual)
    np.testing.assert_allclose(cv.zscore, residual / np.sqrt(cv.variance), rtol=1e-15)
    valid = ~np.isnan(residual)
    r, z = residual[valid], cv.zscore[valid]
    assert cv.mean_error == pytest.approx(r.mean(), rel=1e-12, abs=1e-15)
    assert cv.rmse == pytest.approx(np.sqrt((r * r).mean()), rel=1e-12)
    assert cv.mean_squared_zscore == pytest.approx((z * z).mean(), rel=1e-12)
    assert cv.correlation == pytest.approx(
        np.corrcoef(values[valid], cv.estimate[valid])[0, 1], rel=1e-12)
    for name in ("observed", "estimate", "variance", "residual", "zscore"):
        assert not getattr(cv, name).flags.writeable


CV_CASES = [
    ("Spherical", {"neighbours": None}),
    ("Spherical", {"neighbours": 12}),
    ("Exponential", {"neighbours": 12, "max_distance": 2.0, "min_neighbours": 3}),
    ("Linear", {"neighbours": 12}),
    ("Spherical", {"kind": "simple", "mean": 0.4, "neighbours": 12}),
    ("Spherical", {"kind": "universal", "drift": "linear", "neighbours": 15}),
    # Global leave-one-out comes from the inverse of the one system of every sample: each
    # factorisation path (Cholesky with and without a drift, LU) against systems solved anew.
    ("Linear", {"neighbours": None}),
    ("Exponential", {"kind": "simple", "mean": 0.4, "neighbours": None}),
    ("Spherical", {"kind": "universal", "drift": "linear", "neighbours": None}),
    ("Gaussian", {"kind": "universal", "drift": "quadratic", "neighbours": None}),
]


@pytest.mark.parametrize("model, options", CV_CASES)
@needs_kriging
def test_leave_one_out(model, options):
    points, values = field(100, 26)
    cv = Kriging(points, values, variogram_model(model), **options).cross_validate()
    reference = Reference(model, MODELS[model], **options)
    rtol = RTOL_UNIVERSAL if options.get("kind") == "universal" else RTOL
    assert_cross_validation(cv, points, values, np.arange(len(values)), reference, rtol)


@pytest.mark.parametrize("model, options", CV_CASES)
@pytest.mark.parametrize("folds", [2, 5])
@needs_kriging
def test_k_fold(model, options, folds):
    points, values = field(100, 27)
    kriging = Kriging(points, values, variogram_model(model), **options)
    cv = kriging.cross_validate(folds=folds, seed=7)
    fold = np.asarray(cv.fold)
    assert fold.shape == (100,) and len(np.unique(fold)) == folds
    # the same seed gives the same folds
    np.testing.assert_array_equal(kriging.cross_validate(folds=folds, seed=7).fold, fold)
    reference = Reference(model, MODELS[model], **options)
    rtol = RTOL_UNIVERSAL if options.get("kind") == "universal" else RTOL
    assert_cross_validation(cv, points, values, fold, reference, rtol)


@pytest.mark.parametrize("model, options", CV_CASES)
@needs_kriging
def test_label_folds(model, options):
    """Spatial blocks: each 2.5 × 5 cell of the square is predicted from the others."""
    points, values = field(100, 28)
    labels = (points[:, 0] // 2.5).astype(int) * 10 + (points[:, 1] // 5.0).astype(int)
    cv = Kriging(points, values, variogram_model(model), **options).cross_validate(
        folds=labels)
    reference = Reference(model, MODELS[model], **options)
    rtol = RTOL_UNIVERSAL if options.get("kind") == "universal" else RTOL
    assert_cross_validation(cv, points, values, labels, reference, rtol)


# ---- a peer: R gstat through Rscript ---------------------------------------------------------

GSTAT = r"""
suppressMessages({library(sp); library(gstat)})
d <- read.csv("%(samples)s"); coordinates(d) <- ~x+y
g <- read.csv("%(targets)s"); coordinates(g) <- ~x+y
m <- vgm(%(psill)r, "%(name)s", %(range)r, %(nugget)r)
r <- krige(z~1, d, g, m, nmax=%(nmax)s, debug.level=0)
write.csv(data.frame(e=r$var1.pred, v=r$var1.var), "%(result)s", row.names=FALSE)
"""
# R gstat's range parameter a against the practical range of this package
GSTAT_MODELS = {"Spherical": ("Sph", 1.0), "Exponential": ("Exp", 3.0)}


def r_gstat(points, values, targets, model, parameters, nmax, folder):
    import shutil
    import subprocess

    if shutil.which("Rscript") is None:
        pytest.skip("Rscript is not installed")
    files = {key: str(folder / f"{key}.csv") for key in ("samples", "targets", "result")}
    np.savetxt(files["samples"], np.column_stack([points, values]), delimiter=",",
               header="x,y,z", comments="", fmt="%.17g")
    np.savetxt(files["targets"], targets, delimiter=",", header="x,y", comments="", fmt="%.17g")
    name, factor = GSTAT_MODELS[model]
    script = GSTAT % dict(files, name=name, psill=parameters["PSill"],
                          range=parameters["Range"] / factor, nugget=parameters["Nugget"],
                          nmax="Inf" if nmax is None else nmax)
    run = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True)
    if run.returncode != 0:
        if "gstat" in run.stderr and "no package" in run.stderr:
            pytest.skip("R package gstat is not installed")
        raise AssertionError(run.stderr)
    result = np.loadtxt(files["result"], delimiter=",", skiprows=1)
    return result[:, 0], result[:, 1]


@pytest.mark.parametrize("model", list(GSTAT_MODELS))
@pytest.mark.parametrize("neighbours", [None, 12])
@pytest.mark.parametrize("subject", ["reference", "kriging"])
def test_ordinary_agrees_with_r_gstat(model, neighbours, subject, tmp_path):
    """The reference itself (it agrees to about 5e-15), and the package, against a peer's
    ordinary kriging."""
    points, values = field(150, 29)
    targets = targets_in(40, 30)
    estimate, variance = r_gstat(points, values, targets, model, MODELS[model], neighbours,
                                 tmp_path)
    tolerance = 1e-12 if subject == "reference" else 1e-8
    if subject == "reference":
        got_estimate, got_variance, _ = Reference(model, MODELS[model],
                                                  neighbours=neighbours).predict(
            points, values, targets)
    else:
        if Kriging is None:
            pytest.skip("orv.krige.Kriging is not built yet")
        prediction = Kriging(points, values, variogram_model(model),
                             neighbours=neighbours).predict(targets)
        got_estimate, got_variance = prediction.estimate, prediction.variance
    np.testing.assert_allclose(got_estimate, estimate, rtol=tolerance, atol=tolerance)
    np.testing.assert_allclose(got_variance, variance, rtol=tolerance, atol=tolerance)


@needs_kriging
def test_global_leave_one_out_flags_a_sample_without_a_system():
    """Under a linear drift, the one sample off a line leaves the others collinear: its
    leave-one-out system is singular and it gets NaN (counted in the warning), while the
    others match systems solved anew."""
    points = np.column_stack([np.arange(8.0), np.zeros(8)])
    points = np.vstack([points, [[3.5, 2.0]]])
    values = np.sin(points[:, 0]) + points[:, 1]
    options = {"kind": "universal", "drift": "linear"}
    kriging = Kriging(points, values, variogram_model("Spherical"), **options)
    with pytest.warns(RuntimeWarning, match="1 target"):
        cv = kriging.cross_validate()
    assert np.isnan(cv.estimate[-1]) and np.isnan(cv.variance[-1])
    reference = Reference("Spherical", MODELS["Spherical"], **options)
    for i in range(8):
        keep = np.arange(9) != i
        e, v, _ = reference.predict(points[keep], values[keep], points[i:i + 1])
        assert cv.estimate[i] == pytest.approx(e[0], rel=RTOL_UNIVERSAL)
        assert cv.variance[i] == pytest.approx(v[0], rel=RTOL_UNIVERSAL)
