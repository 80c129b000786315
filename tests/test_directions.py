"""Directions in three dimensions (cones, cylinders) and on the sphere (bearings): exact class
means against brute-force references, boundary and mirror-image pairs, threads, misuse, and the
conventions of the peers."""
import math
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest

from orv.krige import great_circle_distance, variogram
from orv.krige import _engine

PRECISION, ON_BOUND = 60, Decimal("1e-40")
PI = Decimal("3.14159265358979323846264338327950288419716939937510582097494459230781640629")


def cos_sin(degrees):
    """cos and sin of an angle in degrees to 60 digits (Taylor series of exp(ix))."""
    with localcontext() as context:
        context.prec = PRECISION + 10
        x = Decimal(degrees) % 360 * PI / 180
        parts, term, k = [Decimal(0), Decimal(0)], Decimal(1), 0
        while abs(term) > Decimal(10) ** -(PRECISION + 5) or k < 2:
            parts[k % 2] += term if k % 4 < 2 else -term
            k += 1
            term = term * x / k
        return +parts[0], +parts[1]


def in_cone(a, b, angle, dip, tolerance, bandwidth):
    """Whether the separation a -> b lies in the double cone (and cylinder) around the line of
    (angle, dip), decided in 60-digit arithmetic; within 1e-40 of a bound it is on it."""
    with localcontext() as context:
        context.prec = PRECISION
        d = [Decimal(float(b[k])) - Decimal(float(a[k])) for k in range(3)]
        ca, sa = cos_sin(angle)
        cd, sd = cos_sin(dip)
        u = [cd * ca, cd * sa, sd]
        length = sum(t * t for t in d)
        along = sum(t * w for t, w in zip(d, u))
        if tolerance < 90:
            ct, _ = cos_sin(tolerance)
            if along * along < ct * ct * length * (1 - ON_BOUND):
                return False
        if bandwidth is not None:
            across = length - along * along
            width = Decimal(float(bandwidth)) ** 2
            if across > width + ON_BOUND * max(width, length):
                return False
        return True


def exact_mean(numbers):
    return float(sum(map(Fraction, numbers)) / len(numbers))


def brute_force(points, values, edges, selected):
    """Counts, mean distances and semivariances of the pairs i < j that `selected(i, j, h)`
    accepts, with h the engine's distance of the pair (given by `distance(i, j)`)."""
    n = len(edges) - 1
    classes = [[] for _ in range(n)]
    for i in range(len(values)):
        for j in range(i + 1, len(values)):
            h = selected.distance(i, j)
            if not edges[0] <= h <= edges[-1] or (h != 0.0 and not selected(i, j, h)):
                continue
            k = min(int(np.searchsorted(edges, h, side="right")) - 1, n - 1)
            dv = float(values[i]) - float(values[j])
            classes[k].append((h, 0.5 * (dv * dv)))
    counts = np.array([len(c) for c in classes], dtype=np.int64)
    lags = np.array([exact_mean([h for h, _ in c]) if c else np.nan for c in classes])
    means = np.array([exact_mean([g for _, g in c]) if c else np.nan for c in classes])
    return counts, lags, means


class Cone:
    def __init__(self, points, angle, dip, tolerance, bandwidth):
        self.points, self.args = points, (angle, dip, tolerance, bandwidth)

    def distance(self, i, j):
        t = [float(self.points[i, k]) - float(self.points[j, k]) for k in range(3)]
        return math.sqrt((t[0] * t[0] + t[1] * t[1]) + t[2] * t[2])

    def __call__(self, i, j, h):
        return in_cone(self.points[i], self.points[j], *self.args)


def assert_same(result, expected):
    counts, lags, means = expected
    np.testing.assert_array_equal(result.counts, counts)
    np.testing.assert_array_equal(result.lags, lags)  # NaN equal to NaN, otherwise every bit
    np.testing.assert_array_equal(result.semivariance, means)


def lattice(n, seed, spread=4):
    """Integer coordinates: many pairs lie exactly on cones of 45° and cylinders of width 1."""
    rng = np.random.default_rng(seed)
    return rng.integers(0, spread, size=(n, 3)).astype(float), rng.normal(size=n)


CONES = [
    pytest.param((0.0, 90.0), 45.0, None, id="vertical-45-boundary"),
    pytest.param((0.0, 90.0), 5.0, None, id="vertical-5"),
    pytest.param((0.0, 0.0), 45.0, 1.0, id="first-axis-cylinder-boundary"),
    pytest.param((30.0, 20.0), 30.0, 1.5, id="oblique-cylinder"),
    pytest.param((135.0, -45.0), 35.0, None, id="downward"),
    pytest.param((45.0, 35.26438968275466), 20.0, None, id="cube-diagonal"),
    pytest.param((250.0, 60.0), 90.0, 0.75, id="every-angle-cylinder"),
]


@pytest.mark.parametrize("direction, tolerance, bandwidth", CONES)
@pytest.mark.parametrize("seed", [0, 1])
def test_cones_and_cylinders_match_the_exact_reference(direction, tolerance, bandwidth, seed):
    points, values = lattice(70, seed)
    if seed == 1:  # not on the lattice: few pairs near a bound
        points = points + np.random.default_rng(5).normal(scale=0.3, size=points.shape)
    edges = np.array([0.0, 1.0, 1.5, 2.5, 4.0, 6.0])
    result = variogram(points, values, edges, direction=direction, tolerance=tolerance,
                       bandwidth=bandwidth)
    assert_same(result, brute_force(points, values, edges,
                                    Cone(points, *direction, tolerance, bandwidth)))
    assert result.direction == direction


def test_pairs_exactly_on_the_cone_and_cylinder_count():
    points = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 1.0], [0.0, 0.0, 1.0], [3.0, 4.0, 6.0]])
    values = np.array([0.0, 1.0, 3.0, 7.0])
    # Against the vertical with 45°: (1, 0, 1) and (3, 4, 5) lie on the cone, (-1, 0, 0) off
    # it; (3, 4, 6) and (3, 4, 5) lie 5 from the vertical line through their first sample.
    # ((0.6, 0.8, 1) would not do: 0.6 and 0.8 are not binary fractions, and the squares of
    # their doubles add up to a little more than 1.)
    def counts(**options):
        return variogram(points, values, [0.0, 10.0], direction=(0.0, 90.0), tolerance=45.0,
                         **options).counts.tolist()

    assert counts() == [5]
    assert counts(bandwidth=5.0) == [5]
    assert counts(bandwidth=4.999) == [3]
    assert counts(bandwidth=1.0) == [2]
    assert counts(bandwidth=0.999) == [1]
    assert variogram(points, values, [0.0, 10.0], direction=(0.0, 90.0),
                     tolerance=44.999).counts.tolist() == [3]


def test_a_scalar_direction_with_three_columns_is_dip_zero():
    points, values = lattice(60, 3)
    edges = [0.0, 1.5, 3.0, 5.0]
    scalar = variogram(points, values, edges, direction=60.0, tolerance=30.0, bandwidth=1.0)
    pair = variogram(points, values, edges, direction=(60.0, 0.0), tolerance=30.0, bandwidth=1.0)
    np.testing.assert_array_equal(scalar.semivariance, pair.semivariance)
    np.testing.assert_array_equal(scalar.counts, pair.counts)
    assert scalar.direction == 60.0


def test_boreholes_vertical_variogram():
    # Five boreholes of samples every metre: a narrow vertical cone sees pairs within a hole.
    holes = np.array([[0.0, 0.0], [40.0, 5.0], [13.0, 70.0], [90.0, 90.0], [55.0, 30.0]])
    depth = np.arange(30.0)
    points = np.array([[x, y, -z] for x, y in holes for z in depth])
    values = np.sin(points[:, 2] / 4.0) + points[:, 0] / 50.0
    result = variogram(points, values, 10, max_lag=10.0, direction=(0.0, 90.0), tolerance=5.0)
    within = 5 * sum(30 - k for k in range(1, 11))
    assert result.counts.sum() == within
    assert_same(result, brute_force(points, values, result.edges,
                                    Cone(points, 0.0, 90.0, 5.0, None)))


MIRRORS = [
    # (change of the coordinates, the direction that the change maps (angle, dip) to)
    pytest.param(np.diag([1.0, 1.0, -1.0]), lambda a, d: (a, -d), id="z-flipped"),
    pytest.param(np.diag([-1.0, 1.0, 1.0]), lambda a, d: (180.0 - a, d), id="x-flipped"),
    pytest.param(np.diag([1.0, -1.0, 1.0]), lambda a, d: (-a, d), id="y-flipped"),
    pytest.param(-np.eye(3), lambda a, d: (a, d), id="point-reflected"),
]


@pytest.mark.parametrize("change, mapped", MIRRORS)
@pytest.mark.parametrize("direction, tolerance, bandwidth", CONES[:5])
def test_mirror_images_are_treated_alike(change, mapped, direction, tolerance, bandwidth):
    points, values = lattice(80, 7)
    edges = [0.0, 1.2, 2.0, 3.5, 6.0]
    original = variogram(points, values, edges, direction=direction, tolerance=tolerance,
                         bandwidth=bandwidth)
    mirrored = variogram(points @ change, values, edges, direction=mapped(*direction),
                         tolerance=tolerance, bandwidth=bandwidth)
    reversed_order = variogram(points[::-1], values[::-1], edges, direction=direction,
                               tolerance=tolerance, bandwidth=bandwidth)
    for other in (mirrored, reversed_order):
        np.testing.assert_array_equal(other.counts, original.counts)
        np.testing.assert_array_equal(other.semivariance, original.semivariance)


# ---- Bearings on the sphere ----------------------------------------------------------------


class Bearing:
    """The bearing at the midpoint from the great-circle midpoint formula and the forward
    azimuth (clockwise from north), not the engine's tangent vectors."""

    def __init__(self, lon_lat, angle, tolerance, bandwidth):
        self.lon_lat = np.radians(lon_lat)
        self.distances = great_circle_distance(lon_lat, lon_lat)
        self.angle, self.tolerance, self.bandwidth = angle, tolerance, bandwidth
        self.closest = math.inf  # the nearest any pair came to a bound, in degrees or km

    def distance(self, i, j):
        return float(self.distances[i, j])

    def __call__(self, i, j, h):
        (l1, p1), (l2, p2) = self.lon_lat[i], self.lon_lat[j]
        bx, by = math.cos(p2) * math.cos(l2 - l1), math.cos(p2) * math.sin(l2 - l1)
        pm = math.atan2(math.sin(p1) + math.sin(p2), math.hypot(math.cos(p1) + bx, by))
        lm = l1 + math.atan2(by, math.cos(p1) + bx)
        azimuth = math.atan2(math.sin(l2 - lm) * math.cos(p2),
                             math.cos(pm) * math.sin(p2) - math.sin(pm) * math.cos(p2)
                             * math.cos(l2 - lm))
        bearing = 90.0 - math.degrees(azimuth)
        off = abs((bearing - self.angle + 90.0) % 180.0 - 90.0)  # angle to the line, 0..90
        self.closest = min(self.closest, abs(off - self.tolerance))
        if off > self.tolerance:
            return False
        if self.bandwidth is None:
            return True
        across = h * math.sin(math.radians(off))
        self.closest = min(self.closest, abs(across - self.bandwidth))
        return across <= self.bandwidth


@pytest.mark.parametrize("angle, tolerance, bandwidth", [
    (0.0, 22.5, None), (90.0, 10.0, None), (45.0, 30.0, 15.0), (-60.0, 90.0, 8.0),
    (160.0, 40.0, None),
])
@pytest.mark.parametrize("where", [(5.0, 50.0), (178.0, -60.0)], ids=["europe", "dateline"])
def test_bearings_match_the_reference(angle, tolerance, bandwidth, where):
    rng = np.random.default_rng(11)
    lon_lat = np.column_stack([where[0] + rng.uniform(-2.0, 2.0, 90),
                               where[1] + rng.uniform(-1.0, 1.0, 90)])
    lon_lat[:, 0] = (lon_lat[:, 0] + 180.0) % 360.0 - 180.0
    values = rng.normal(size=90)
    edges = np.array([0.0, 40.0, 80.0, 150.0, 260.0])
    result = variogram(lon_lat, values, edges, gtype="GEOGCS", direction=angle,
                       tolerance=tolerance, bandwidth=bandwidth)
    selection = Bearing(lon_lat, angle, tolerance, bandwidth)
    expected = brute_force(lon_lat, values, edges, selection)
    assert selection.closest > 1e-7  # no pair so near a bound that rounding could decide it
    assert_same(result, expected)


@pytest.mark.parametrize("angle", [0.0, 30.0, 90.0])
def test_bearings_of_mirror_images_agree(angle):
    rng = np.random.default_rng(4)
    lon_lat = np.column_stack([rng.uniform(-3, 3, 120), rng.uniform(0.5, 4, 120)])
    values = rng.normal(size=120)
    options = dict(gtype="GEOGCS", direction=angle, tolerance=25.0, bandwidth=60.0)
    original = variogram(lon_lat, values, [0.0, 100.0, 300.0, 600.0], **options)
    # Across the equator a bearing θ becomes −θ; across the prime meridian 180° − θ.
    for change, mapped in (([1.0, -1.0], -angle), ([-1.0, 1.0], 180.0 - angle)):
        other = variogram(lon_lat * change, values, [0.0, 100.0, 300.0, 600.0],
                          **{**options, "direction": mapped})
        np.testing.assert_array_equal(other.counts, original.counts)
        np.testing.assert_array_equal(other.semivariance, original.semivariance)
    swapped = variogram(lon_lat[::-1], values[::-1], [0.0, 100.0, 300.0, 600.0], **options)
    np.testing.assert_array_equal(swapped.semivariance, original.semivariance)


def test_meridian_pairs_point_north():
    lon_lat = np.array([[10.0, 45.0], [10.0, 46.0], [11.0, 45.0]])
    north = variogram(lon_lat, [0.0, 1.0, 5.0], [0.0, 200.0], gtype="GEOGCS", direction=90.0,
                      tolerance=1.0)
    east = variogram(lon_lat, [0.0, 1.0, 5.0], [0.0, 200.0], gtype="GEOGCS", direction=0.0,
                     tolerance=1.0)
    assert north.counts.tolist() == [1] and north.semivariance.tolist() == [0.5]
    assert east.counts.tolist() == [1] and east.semivariance.tolist() == [12.5]


# ---- Threads and misuse ----------------------------------------------------------------------


@pytest.mark.parametrize("geographic, direction, bandwidth", [
    (False, (40.0, 25.0, 30.0), 1.0), (False, (0.0, 5.0, 90.0), None),
    (True, (30.0, 20.0), 50.0),
])
def test_thread_count_does_not_change_a_bit(geographic, direction, bandwidth):
    rng = np.random.default_rng(9)
    if geographic:
        points = np.radians(np.column_stack([rng.uniform(0, 8, 3000), rng.uniform(40, 48, 3000)]))
        edges = np.linspace(0.0, 300.0, 7)
    else:
        points = rng.uniform(0, 20, (3000, 3))
        edges = np.linspace(0.0, 8.0, 7)
    values = rng.normal(size=3000)
    runs = [_engine.pair_sums(points, values, edges, geographic, 0, direction, bandwidth, True,
                              threads) for threads in (1, 2, 3)]
    for run in runs[1:]:
        for got, expected in zip(run, runs[0]):
            np.testing.assert_array_equal(got, expected)


P3, P2, V = np.zeros((4, 3)) + np.arange(4)[:, None], np.arange(8.0).reshape(4, 2), [1, 2, 3, 5]


@pytest.mark.parametrize("points, options, error, message", [
    (P2, {"direction": (0.0, 30.0)}, ValueError, r"\(angle, dip\) needs gtype='PROJCS' with 3"),
    (P2, {"direction": (0.0, 30.0), "gtype": "GEOGCS"}, ValueError, r"a dip has no meaning"),
    (P3, {"direction": (0.0, 30.0, 1.0)}, ValueError, r"a pair \(angle, dip\) of degrees"),
    (P3, {"direction": (0.0,)}, ValueError, r"got 1 item"),
    (P3, {"direction": (0.0, 91.0)}, ValueError, r"dip must be a number of degrees within"),
    (P3, {"direction": (0.0, np.nan)}, ValueError, r"direction dip must be"),
    (P3, {"direction": ("east", 0.0)}, TypeError, r"direction angle must be a number"),
    (P3, {"direction": "east"}, TypeError, r"direction must be a number of degrees, \(angle"),
    (P3, {"bandwidth": 1.0}, ValueError, "bandwidth must be None when direction is None"),
    (P3, {"direction": (0.0, 90.0), "bandwidth": -1.0}, ValueError, "bandwidth must be a pos"),
    (P3, {"direction": (0.0, 90.0), "tolerance": 0.0}, ValueError, r"0 < tolerance <= 90"),
    (P2[:, :1], {"direction": 0.0}, ValueError, r"direction must be None for points on a line"),
])
def test_misuse_names_the_argument(points, options, error, message):
    with pytest.raises(error, match=message):
        variogram(points, V, 2, max_lag=3.0, **options)


# ---- The peers' conventions (the table in docs/variogram.md) -------------------------------


def test_gstat_and_gslib_angles_convert_to_ours():
    # R gstat: alpha clockwise from north (the second axis), beta up from the plane; GSLIB:
    # azm clockwise from north, dip negative downwards. Ours: angle counter-clockwise from
    # the first axis, dip upwards. Both map to angle = 90 - azimuth, dip unchanged.
    points, values = lattice(60, 12)
    for azimuth, dip in ((0.0, 0.0), (30.0, 20.0), (135.0, -40.0)):
        ours = variogram(points, values, [0.0, 2.0, 4.0], direction=(90.0 - azimuth, dip),
                         tolerance=30.0)
        expected = brute_force(points, values, ours.edges,
                               _AzimuthCone(points, azimuth, dip, 30.0))
        np.testing.assert_array_equal(ours.counts, expected[0])


class _AzimuthCone(Cone):
    """The cone of an azimuth clockwise from north and a dip, built from its own unit vector."""

    def __init__(self, points, azimuth, dip, tolerance):
        super().__init__(points, 0.0, 0.0, tolerance, None)
        a, d = math.radians(azimuth), math.radians(dip)
        self.unit = (math.cos(d) * math.sin(a), math.cos(d) * math.cos(a), math.sin(d))
        self.tolerance = tolerance

    def __call__(self, i, j, h):
        t = [float(self.points[j, k]) - float(self.points[i, k]) for k in range(3)]
        cosine = abs(sum(a * b for a, b in zip(t, self.unit))) / h
        assert abs(cosine - math.cos(math.radians(self.tolerance))) > 1e-9  # off the bound
        return cosine >= math.cos(math.radians(self.tolerance))


def _peer_points(seed=21, n=300):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, (n, 2))
    return points, np.sin(points[:, 0] / 15.0) + 0.3 * rng.normal(size=n)


def test_gstools_angles_convert_to_ours():
    gs = pytest.importorskip("gstools")
    points, values = _peer_points()
    edges = np.linspace(0.0, 40.0, 6)
    for angle, tolerance, bandwidth in ((30.0, 20.0, 8.0), (120.0, 45.0, None), (0.0, 10.0, 3.0)):
        options = {"angles": math.radians(angle), "angles_tol": math.radians(tolerance)}
        if bandwidth is not None:
            options["bandwidth"] = bandwidth
        _, peer_gamma, peer_counts = gs.vario_estimate(
            (points[:, 0], points[:, 1]), values, edges, return_counts=True, **options)
        ours = variogram(points, values, edges, direction=angle, tolerance=tolerance,
                         bandwidth=bandwidth)
        np.testing.assert_array_equal(ours.counts, np.ravel(peer_counts))
        np.testing.assert_allclose(ours.semivariance, np.ravel(peer_gamma), rtol=1e-9)


def test_gstools_three_dimensional_angles_convert_to_ours():
    gs = pytest.importorskip("gstools")
    rng = np.random.default_rng(3)
    points = rng.uniform(0.0, 50.0, (300, 3))
    values = rng.normal(size=300)
    edges = np.linspace(0.0, 25.0, 5)
    for angle, dip in ((30.0, 20.0), (0.0, 80.0), (120.0, -35.0)):
        # In 3-D, GSTools' angles are the azimuth from the first axis and the polar angle from
        # the third axis: (angle, 90 - dip), in radians.
        _, _, peer_counts = gs.vario_estimate(
            tuple(points.T), values, edges, return_counts=True,
            angles=(math.radians(angle), math.radians(90.0 - dip)), angles_tol=math.radians(25.0))
        ours = variogram(points, values, edges, direction=(angle, dip), tolerance=25.0)
        np.testing.assert_array_equal(ours.counts, np.ravel(peer_counts))


def test_scikit_gstat_azimuth_converts_to_ours():
    skg = pytest.importorskip("skgstat")
    points, values = _peer_points(n=200)
    edges = np.linspace(0.0, 40.0, 6)
    for azimuth, tolerance in ((30.0, 40.0), (-60.0, 20.0)):
        peer = skg.DirectionalVariogram(points, values, azimuth=azimuth, tolerance=tolerance,
                                        directional_model="compass", bin_func=edges[1:],
                                        maxlag=40.0)
        # scikit-gstat's azimuth turns clockwise from east, its tolerance is the whole window.
        ours = variogram(points, values, edges, direction=-azimuth, tolerance=tolerance / 2.0)
        np.testing.assert_array_equal(ours.counts, peer.bin_count)
        np.testing.assert_allclose(ours.semivariance, peer.experimental, rtol=1e-9)
    # The triangle model bounds the whole width of the window: our bandwidth is half of it.
    peer = skg.DirectionalVariogram(points, values, azimuth=30.0, tolerance=60.0, bandwidth=8.0,
                                    directional_model="triangle", bin_func=edges[1:],
                                    maxlag=40.0)
    ours = variogram(points, values, edges, direction=-30.0, tolerance=30.0, bandwidth=4.0)
    np.testing.assert_array_equal(ours.counts, peer.bin_count)
