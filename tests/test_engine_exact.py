"""The pair engine of the public variogram against an exact brute-force reference.

The reference forms every pair in NumPy with the same per-pair arithmetic (distances summed left
to right, great-circle distances from `great_circle_distance`, the same direction test) and takes
each class's mean exactly, with integers, so that `float(Fraction)` rounds it once. The engine
must give the same bits, whatever the pruning, the thread count or the partition into states.
"""
import ast
import inspect
import math
import os
import random
import signal
import sys
import threading
import time
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from process_memory import resident_kib

from orv._algos.spmis.krige.geodesy import great_circle_distance
from orv.krige import _engine

MATHERON, CRESSIE = 0, 1
SCALE = 2**1074  # every finite double is an integer multiple of 2**-1074


def exact_mean(values):
    """The correctly rounded mean of float64 values (NaN when empty)."""
    if values.size == 0:
        return math.nan
    if np.isposinf(values).any():
        return math.inf
    total = 0
    for x in values.tolist():
        numerator, denominator = x.as_integer_ratio()
        total += numerator * (SCALE // denominator)
    return float(Fraction(total, SCALE * values.size))


def radians(points_degrees):
    """Longitude and latitude in radians, converted as the front end converts them."""
    columns = [np.radians(points_degrees[:, k], dtype=np.float64) for k in range(2)]
    return np.ascontiguousarray(np.column_stack(columns))


def direction_tuple(direction, tolerance):
    return (direction, tolerance)


def reference(points, values, edges, geographic=False, estimator=MATHERON, direction=None,
              bandwidth=None):
    """counts, distance means and value means of every pair i < j, formed in NumPy."""
    n = len(points)
    i, j = np.triu_indices(n, 1)
    if geographic:
        h = great_circle_distance(points, points)[i, j]
    else:
        t = points[i] - points[j]
        q = t[:, 0] * t[:, 0]
        for k in range(1, points.shape[1]):
            q = q + t[:, k] * t[:, k]
        h = np.sqrt(q)
    with np.errstate(over="ignore"):
        dv = values[i] - values[j]
        g = 0.5 * (dv * dv) if estimator == MATHERON else np.sqrt(np.abs(dv))
    selected = (h >= edges[0]) & (h <= edges[-1])
    if direction is not None:
        theta = math.radians(direction[0])
        ux, uy = math.cos(theta), math.sin(theta)
        cos_tolerance = -1.0 if direction[1] == 90 else math.cos(math.radians(direction[1]))
        # Random samples lie nowhere near the bounds, where rounding alone decides.
        dx = points[j, 0] - points[i, 0]
        dy = points[j, 1] - points[i, 1]
        along = np.abs(dx * ux + dy * uy) >= cos_tolerance * h
        if bandwidth is not None:
            along &= np.abs(dy * ux - dx * uy) <= bandwidth
        selected &= (h == 0) | along
    classes = len(edges) - 1
    k = np.minimum(np.searchsorted(edges, h, side="right") - 1, classes - 1)
    counts = np.zeros(classes, np.int64)
    lags, means = np.full(classes, np.nan), np.full(classes, np.nan)
    for c in range(classes):
        in_class = selected & (k == c)
        counts[c] = in_class.sum()
        lags[c], means[c] = exact_mean(h[in_class]), exact_mean(g[in_class])
    return counts, lags, means


def assert_same_bits(result, expected):
    counts, lags, means = result
    assert counts.dtype == np.int64 and lags.dtype == means.dtype == np.float64
    np.testing.assert_array_equal(counts, expected[0])
    # Bit patterns, so that -0.0 and 0.0 or two NaNs could not pass for each other.
    np.testing.assert_array_equal(lags.view(np.int64), np.asarray(expected[1]).view(np.int64))
    np.testing.assert_array_equal(means.view(np.int64), np.asarray(expected[2]).view(np.int64))


def pair_sums(points, values, edges, geographic=False, estimator=MATHERON, direction=None,
              bandwidth=None, prune=True, threads=1):
    return _engine.pair_sums(points, values, np.asarray(edges, dtype=np.float64), geographic,
                             estimator, direction, bandwidth, prune, threads)


def projected_samples(rng, n, columns=2):
    """Scattered points with some duplicated locations and repeated values."""
    points = rng.random((n, columns)) * 10.0
    points[n // 2: n // 2 + 10] = points[:10]
    values = rng.normal(size=n) * 3.0
    values[::7] = values[0]
    return np.ascontiguousarray(points), values


def geographic_samples(rng, n):
    degrees = np.column_stack([rng.uniform(-20, 20, n), rng.uniform(30, 50, n)])
    degrees[n // 2: n // 2 + 10] = degrees[:10]
    return degrees, rng.normal(size=n)


def edges_on_pairs(h, classes):
    """Edges taken from the pair distances themselves, so that pairs lie exactly on every edge
    (the last, closed one included)."""
    distances = np.unique(h[h > 0])
    picks = np.linspace(0, distances.size // 3, classes + 1).astype(int)
    return np.concatenate([[0.0], distances[picks[1:]]])


DIRECTIONS = [
    pytest.param(None, None, id="omnidirectional"),
    pytest.param(direction_tuple(30.0, 22.5), None, id="30deg"),
    pytest.param(direction_tuple(120.0, 45.0), 1.5, id="120deg-bandwidth"),
    pytest.param(direction_tuple(0.0, 90.0), 0.75, id="every-angle-bandwidth"),
]


@pytest.mark.parametrize("direction, bandwidth", DIRECTIONS)
@pytest.mark.parametrize("estimator", [MATHERON, CRESSIE])
def test_projected_matches_exact_reference(direction, bandwidth, estimator):
    rng = np.random.default_rng(11 + estimator)
    points, values = projected_samples(rng, 160)
    i, j = np.triu_indices(len(points), 1)
    edges = edges_on_pairs(np.sqrt(((points[i] - points[j]) ** 2).sum(axis=1)), 7)
    expected = reference(points, values, edges, False, estimator, direction, bandwidth)
    assert expected[0].sum() > 0
    for prune in (True, False):
        assert_same_bits(pair_sums(points, values, edges, False, estimator, direction, bandwidth,
                                   prune), expected)


@pytest.mark.parametrize("columns", [1, 3])
def test_one_and_three_columns_match_exact_reference(columns):
    rng = np.random.default_rng(columns)
    points, values = projected_samples(rng, 120, columns)
    edges = np.array([0.5, 1.0, 2.5, 4.0])  # the first edge above zero drops the closest pairs
    expected = reference(points, values, edges)
    for prune in (True, False):
        assert_same_bits(pair_sums(points, values, edges, prune=prune), expected)


@pytest.mark.parametrize("estimator", [MATHERON, CRESSIE])
def test_geographic_matches_exact_reference(estimator):
    rng = np.random.default_rng(5)
    degrees, values = geographic_samples(rng, 150)
    edges = edges_on_pairs(great_circle_distance(degrees, degrees)[np.triu_indices(150, 1)], 6)
    expected = reference(degrees, values, edges, True, estimator)
    for prune in (True, False):
        assert_same_bits(pair_sums(radians(degrees), values, edges, True, estimator, prune=prune),
                         expected)


def test_lattice_puts_many_pairs_on_edges():
    # Integer coordinates: distances 1, sqrt(2), 2, ... fall exactly on the integer edges.
    x, y = np.meshgrid(np.arange(9.0), np.arange(7.0))
    points = np.ascontiguousarray(np.column_stack([x.ravel(), y.ravel()]))
    values = (points[:, 0] * 3 + points[:, 1]) % 5
    for edges in ([0.0, 1.0, 2.0, 3.0], [1.0, 2.0], [1.0, 1.5, 4.0]):
        expected = reference(points, values, np.array(edges))
        for prune in (True, False):
            assert_same_bits(pair_sums(points, values, edges, prune=prune), expected)


@pytest.mark.parametrize("geographic", [False, True])
def test_two_one_and_no_samples(geographic):
    points = np.array([[1.0, 2.0], [1.5, 2.5]])
    values = np.array([1.0, 4.0])
    engine_points = radians(points) if geographic else points
    edges = np.array([0.0, 100.0, 1000.0])
    assert_same_bits(pair_sums(engine_points, values, edges, geographic),
                     reference(points, values, edges, geographic))
    for n in (0, 1):
        counts, lags, means = pair_sums(engine_points[:n].copy(), values[:n].copy(), edges,
                                        geographic)
        assert counts.tolist() == [0, 0] and np.isnan(lags).all() and np.isnan(means).all()


def test_overflowing_pair_values_give_infinite_means():
    points = np.array([[0.0], [1.0], [2.0], [3.5]])
    values = np.array([1e300, -1e300, 1.7e308, -1.7e308])
    edges = np.array([0.0, 1.2, 4.0])
    for estimator in (MATHERON, CRESSIE):
        expected = reference(points, values, edges, estimator=estimator)
        result = pair_sums(points, values, edges, estimator=estimator)
        assert_same_bits(result, expected)
    assert np.isposinf(pair_sums(points, values, edges, estimator=MATHERON)[2]).all()


@pytest.mark.parametrize("scale", [1e-160, 1e-155, 1e150, 1e153])
def test_subnormal_and_huge_sums(scale):
    # Per-pair values from subnormal (the sums' lowest digits) to near the largest double,
    # whose class sums exceed it while the means do not.
    rng = np.random.default_rng(3)
    points = np.ascontiguousarray(rng.random((60, 2)))
    values = rng.random(60) * scale
    edges = np.array([0.0, 0.3, 0.7, 1.5])
    for estimator in (MATHERON, CRESSIE):
        assert_same_bits(pair_sums(points, values, edges, estimator=estimator),
                         reference(points, values, edges, estimator=estimator))


@pytest.mark.parametrize("points, expected_lag", [
    ([0.0, 1.0, 1.0 + 2**-52], 1.0),  # mean 1 + 2**-53: the tie goes to the even 1.0
    ([0.0, 1.0 + 2**-52, 1.0 + 2**-51], 1.0 + 2**-51),  # tie between odd and even: even
    ([0.0, 1.0, 1.0 + 2**-51, 1.0 + 2**-51 + 2**-52], 1.0 + 2**-51),  # 5/3 ulp above 1
])
def test_means_halfway_between_doubles_round_to_even(points, expected_lag):
    points = np.array(points)[:, None]
    values = np.zeros(len(points))
    edges = np.array([0.5, 2.0])
    result = pair_sums(points, values, edges)
    assert_same_bits(result, reference(points, values, edges))
    assert result[1][0] == expected_lag


def test_subnormal_distances_and_edges():
    points = np.array([[0.0, 0.0], [5e-324, 0.0], [1e-310, 0.0], [0.0, 3e-308], [1e-300, 0.0]])
    values = np.arange(5.0)
    for edges in ([0.0, 5e-324, 1e-305], [0.0, 1e-320, 2e-300], [1e-300, 1.0]):
        expected = reference(points, values, np.array(edges))
        for prune in (True, False):
            assert_same_bits(pair_sums(points, values, edges, prune=prune), expected)


# ---- Pruning, threads and states give the same bits -------------------------------------------


def larger_cases():
    rng = np.random.default_rng(21)
    clustered = np.concatenate([rng.normal(0, 0.05, (1500, 2)), rng.random((1500, 2)) * 40])
    yield "plane", rng.random((4000, 2)) * 100, rng.normal(size=4000), False, np.linspace(0, 9, 13)
    yield "clusters", clustered, rng.normal(size=3000), False, np.linspace(0.0, 0.2, 5)
    yield "line", rng.random((3000, 1)) * 1e6, rng.normal(size=3000), False, np.linspace(0, 2e3, 8)
    yield "cube", rng.random((3000, 3)), rng.normal(size=3000), False, np.linspace(0, 0.15, 6)
    world = np.column_stack([rng.uniform(-180, 180, 3000), rng.uniform(-90, 90, 3000)])
    world[:4] = [[0, 90], [0, -90], [179.9, 0], [-179.9, 0]]  # poles and the date line
    yield "world", radians(world), rng.normal(size=3000), True, np.linspace(0, 900, 7)
    box = np.column_stack([rng.uniform(0, 10, 3000), rng.uniform(40, 50, 3000)])
    yield "box", radians(box), rng.normal(size=3000), True, np.linspace(50, 150, 11)


@pytest.mark.parametrize("case", list(larger_cases()), ids=lambda case: case[0])
def test_pruning_and_threads_do_not_change_a_bit(case):
    _, points, values, geographic, edges = case
    points = np.ascontiguousarray(points)
    baseline = pair_sums(points, values, edges, geographic, CRESSIE, prune=False, threads=1)
    assert baseline[0].sum() > 1000
    for prune, threads in ((True, 1), (True, 2), (True, 3), (False, 3)):
        assert_same_bits(pair_sums(points, values, edges, geographic, CRESSIE, prune=prune,
                                   threads=threads), baseline)


def test_directional_pruning_and_threads_agree():
    rng = np.random.default_rng(8)
    points, values = rng.random((3000, 2)) * 50, rng.normal(size=3000)
    edges = np.linspace(0, 6, 9)
    direction = direction_tuple(65.0, 15.0)
    baseline = pair_sums(points, values, edges, direction=direction, bandwidth=0.8, prune=False)
    for threads in (1, 3):
        assert_same_bits(pair_sums(points, values, edges, direction=direction, bandwidth=0.8,
                                   threads=threads), baseline)


@pytest.mark.parametrize("geographic", [False, True])
def test_states_over_any_partition_merge_to_pair_sums(geographic):
    rng = np.random.default_rng(17)
    n = 900
    if geographic:
        points = radians(np.column_stack([rng.uniform(0, 5, n), rng.uniform(0, 5, n)]))
        edges = np.linspace(0, 200, 6)
    else:
        points = rng.random((n, 2)) * 20
        edges = np.linspace(0, 4, 6)
    values = rng.normal(size=n)
    expected = pair_sums(points, values, edges, geographic, MATHERON)
    for seed in range(3):
        shuffle = random.Random(seed)
        order = rng.permutation(n)
        cuts = sorted(shuffle.sample(range(1, n), shuffle.randint(1, 5)))
        blocks = [np.sort(block) for block in np.split(order, cuts)]
        states = []
        for a, block_a in enumerate(blocks):
            for b, block_b in enumerate(blocks[a:], start=a):
                same = a == b
                states.append(_engine.pair_state(
                    points[block_a], values[block_a], points[block_b], values[block_b], edges,
                    geographic, MATHERON, None, None, same, shuffle.randint(1, 3)))
        shuffle.shuffle(states)
        while len(states) > 1:  # merge random pairs, as a tree of any shape would
            first = states.pop(shuffle.randrange(len(states)))
            second = states.pop(shuffle.randrange(len(states)))
            states.append(_engine.merge_states(first, second))
        assert_same_bits(_engine.finish_state(states[0]), expected)


# ---- Interruption, the interpreter lock, misuse -----------------------------------------------


@pytest.mark.skipif(os.name != "posix", reason="needs SIGINT")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_within_a_fraction_of_a_second(threads):
    rng = np.random.default_rng(2)
    # Unpruned great-circle distances of 30,000 samples: about ten seconds if not stopped.
    points, values = radians(rng.random((30_000, 2)) * 50), rng.normal(size=30_000)
    edges = np.linspace(0, 20_000, 11)
    references = [sys.getrefcount(points), sys.getrefcount(values)]
    ticks = []
    stop_ticking = threading.Event()

    def tick():  # runs only while the engine has released the interpreter lock
        while not stop_ticking.is_set():
            ticks.append(None)
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    sent = []
    before = resident_kib()
    # A process started in the background of a shell inherits SIGINT ignored.
    previous_handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(3):
            timer = threading.Timer(0.15, lambda: (sent.append(time.perf_counter()),
                                                   os.kill(os.getpid(), signal.SIGINT)))
            timer.start()
            with pytest.raises(KeyboardInterrupt):
                pair_sums(points, values, edges, True, prune=False, threads=threads)
            latency = time.perf_counter() - sent[-1]
            timer.join()
            assert latency < 0.5
    finally:
        signal.signal(signal.SIGINT, previous_handler)
        stop_ticking.set()
        ticker.join()
    assert len(ticks) > 50
    assert [sys.getrefcount(points), sys.getrefcount(values)] == references  # buffers released
    assert resident_kib() - before < 20_000


GOOD = dict(points=np.zeros((3, 2)), values=np.zeros(3), edges=np.array([0.0, 1.0]),
            geographic=False, estimator=0, direction=None, bandwidth=None, prune=True, threads=1)


@pytest.mark.parametrize("change, error", [
    (dict(points=np.zeros((3, 2), dtype=np.int64)), TypeError),
    (dict(points=np.zeros((3, 2), dtype=np.float32)), TypeError),
    (dict(points=np.zeros(3)), TypeError),
    (dict(points=np.zeros((4, 2))[::2]), (TypeError, BufferError, ValueError)),
    (dict(points=[[0.0, 0.0]] * 3), TypeError),
    (dict(points=np.zeros((3, 4))), ValueError),
    (dict(points=np.zeros((3, 0))), ValueError),
    (dict(points=np.zeros((3, 3)), geographic=True), ValueError),
    (dict(values=np.zeros(4)), ValueError),
    (dict(values=np.zeros((3, 1))), TypeError),
    (dict(edges=np.array([1.0])), ValueError),
    (dict(edges=np.array([1.0, 1.0])), ValueError),
    (dict(edges=np.array([2.0, 1.0])), ValueError),
    (dict(edges=np.array([-1.0, 1.0])), ValueError),
    (dict(edges=np.array([0.0, np.inf])), ValueError),
    (dict(edges=np.array([np.nan, 1.0])), ValueError),
    (dict(estimator=2), ValueError),
    (dict(estimator="matheron"), TypeError),
    (dict(direction=(1.0, 10.0, 0.5, 0.0)), TypeError),
    (dict(direction=(1.0, 10.0, 5.0)), ValueError),  # a dip with 2 columns
    (dict(direction=(1.0, "x")), TypeError),
    (dict(direction=(np.inf, 10.0)), ValueError),
    (dict(direction=(0.0, 0.0)), ValueError),
    (dict(direction=(0.0, 90.5)), ValueError),
    (dict(direction=(0.0, 60.0, 5.0), geographic=True), ValueError),
    (dict(direction=(0.0, 60.0), points=np.zeros((3, 1))), ValueError),
    (dict(bandwidth=1.0), ValueError),
    (dict(direction=(0.0, 60.0), bandwidth=0.0), ValueError),
    (dict(direction=(0.0, 60.0), bandwidth=np.inf), ValueError),
    (dict(threads=0), ValueError),
    (dict(threads=1.5), TypeError),
    (dict(points=np.array([[0.0, 0.0], [np.nan, 1.0], [1.0, 1.0]])), ValueError),
    (dict(values=np.array([0.0, np.inf, 1.0])), ValueError),
    (dict(points=np.array([[0.0, 0.0], [0.0, 1.6], [1.0, 1.0]]), geographic=True), ValueError),
])
def test_misuse_raises(change, error):
    arguments = {**GOOD, **change}
    with pytest.raises(error):
        _engine.pair_sums(*arguments.values())


# A state: marker, class count, limb count, settings fingerprint; then per class the count, the
# flags and 2 × 68 limbs (distance sum, value sum).
STATE_HEADER, LIMBS = 4, 68


def test_misused_states_raise():
    state = _engine.pair_state(np.zeros((3, 2)), np.arange(3.0), np.zeros((3, 2)), np.arange(3.0),
                               np.array([0.0, 1.0, 2.0]), False, 0, None, None, True, 1)
    other = _engine.pair_state(np.zeros((3, 2)), np.arange(3.0), np.zeros((3, 2)), np.arange(3.0),
                               np.array([0.0, 1.0]), False, 0, None, None, True, 1)
    assert _engine.finish_state(state)[0].tolist() == [3, 0]
    corrupt_digit, corrupt_top, corrupt_flags = state.copy(), state.copy(), state.copy()
    corrupt_digit[STATE_HEADER + 3] = 2**32
    corrupt_top[STATE_HEADER + 2 + 67] = 2**50
    corrupt_flags[STATE_HEADER + 1] = 1 << 6
    for bad, error in ((state[:-1], ValueError), (state.astype(np.float64), TypeError),
                       (np.zeros(0, np.int64), ValueError), (corrupt_digit, ValueError),
                       (corrupt_top, ValueError), (corrupt_flags, ValueError),
                       ([1, 2, 3], TypeError)):
        with pytest.raises(error):
            _engine.finish_state(bad)
        with pytest.raises(error):
            _engine.merge_states(state, bad)
    with pytest.raises(ValueError, match="numbers of classes"):
        _engine.merge_states(state, other)
    with pytest.raises(ValueError, match="same samples"):
        _engine.pair_state(np.zeros((3, 2)), np.zeros(3), np.zeros((2, 2)), np.zeros(2),
                           np.array([0.0, 1.0]), False, 0, None, None, True, 1)
    with pytest.raises(TypeError):
        _engine.pair_sums(*list(GOOD.values())[:-1])


def unaligned(array):
    """A writable copy of `array` one byte past the alignment of its items, as NumPy describes
    an array inside a network message (format "=d" or "=q")."""
    array = np.ascontiguousarray(array)
    copy = np.frombuffer(bytearray(1 + array.nbytes), dtype=array.dtype, offset=1)
    copy = copy.reshape(array.shape)
    copy[...] = array
    return copy


@pytest.mark.parametrize("geographic", [False, True])
def test_unaligned_arrays_give_the_same_bits(geographic):
    rng = np.random.default_rng(5)
    points = radians(rng.uniform(0.0, 2.0, (200, 2))) if geographic else rng.uniform(0, 9, (200, 2))
    values = rng.normal(size=200)
    edges = np.linspace(0.0, 60.0 if geographic else 2.0, 5)
    skewed = [unaligned(array) for array in (points, values, edges)]
    assert memoryview(skewed[0]).format == "=d" and not skewed[0].flags.aligned
    options = (geographic, MATHERON, None, None)
    expected = _engine.pair_sums(points, values, edges, *options, True, 1)
    for got, want in zip(_engine.pair_sums(*skewed, *options, True, 1), expected):
        assert got.tobytes() == want.tobytes()
    state = _engine.pair_state(*skewed[:2], *skewed, *options, True, 1)
    assert state.tobytes() == _engine.pair_state(points, values, points, values, edges,
                                                 *options, True, 1).tobytes()
    merged = _engine.merge_states(unaligned(state), unaligned(state))
    assert _engine.finish_state(unaligned(merged))[0].tolist() == (2 * expected[0]).tolist()


@pytest.mark.parametrize("argument, bad, message", [
    ("points", np.zeros((3, 2), np.float32),
     "points must be a C-contiguous 2-dimensional float64 array; got 2 dimension.* format 'f'"),
    ("points", np.zeros((3, 2), ">f8"), "points must be .* format '>d'"),
    ("values", np.zeros((3, 1)), "values must be a C-contiguous 1-dimensional float64 array"),
    ("edges", np.array([0, 1]), "edges must be a C-contiguous 1-dimensional float64 array"),
])
def test_wrong_arrays_are_named_in_the_message(argument, bad, message):
    with pytest.raises(TypeError, match=message):
        _engine.pair_sums(*{**GOOD, argument: bad}.values())


def test_stub_lists_every_function_with_its_positional_parameters():
    tree = ast.parse(Path(_engine.__file__).with_name("_engine.pyi").read_text())
    stubs = {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}
    functions = [name for name in dir(_engine)
                 if not name.startswith("_") and callable(getattr(_engine, name))]
    assert sorted(stubs) == sorted(functions)
    for name in functions:
        parameters = inspect.signature(getattr(_engine, name)).parameters.values()
        assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_ONLY}
        assert [a.arg for a in stubs[name].posonlyargs] == [p.name for p in parameters]


class RaisingBool:
    """An argument whose truth value is Python code: it must never run with an error pending."""

    def __bool__(self):
        raise AssertionError("ran after an earlier argument failed")

    def __index__(self):
        raise AssertionError("ran after an earlier argument failed")


@pytest.mark.parametrize("change, error, message", [
    # The first bad argument is the one reported, and nothing after it runs.
    (dict(points=np.zeros((3, 2), np.float32), edges=np.array([2.0, 1.0])), TypeError, "points"),
    (dict(points=np.zeros((3, 2), np.float32), geographic=RaisingBool()), TypeError, "points"),
    (dict(values=np.zeros(3, np.float32), prune=RaisingBool()), TypeError, "values"),
    (dict(edges=np.array([2.0, 1.0]), geographic=RaisingBool()), ValueError, "edges"),
    (dict(estimator=7, threads=RaisingBool()), ValueError, "estimator"),
    (dict(bandwidth=1.0, threads=RaisingBool()), ValueError, "bandwidth needs a direction"),
])
def test_arguments_are_checked_in_order(change, error, message):
    with pytest.raises(error, match=message):
        _engine.pair_sums(*{**GOOD, **change}.values())


@pytest.mark.parametrize("threads", [2**63, 2**64, 10**21])
def test_huge_thread_counts_run_on_the_engines_maximum(threads):
    expected = _engine.pair_sums(*GOOD.values())
    result = _engine.pair_sums(*{**GOOD, "threads": threads}.values())
    assert [a.tolist() for a in result] == [a.tolist() for a in expected]


def _state(points=np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.2]]), values=np.array([0.0, 1.0, 3.0]),
           edges=np.array([0.0, 1.5, 3.0]), geographic=False, estimator=0, direction=None,
           bandwidth=None):
    return _engine.pair_state(points, values, points, values, edges, geographic, estimator,
                              direction, bandwidth, True, 1)


@pytest.mark.parametrize("change", [
    dict(edges=np.array([0.0, 1.5, 3.5])),
    dict(edges=np.array([0.0, np.nextafter(1.5, 2.0), 3.0])),
    dict(estimator=1),
    dict(geographic=True),
    dict(direction=(0.0, 60.0)),
    dict(direction=(0.0, 60.0), bandwidth=1.0),
])
def test_states_made_with_other_settings_are_not_merged(change):
    with pytest.raises(ValueError, match="different edges, coordinate types, estimators"):
        _engine.merge_states(_state(), _state(**change))
    merged = _engine.merge_states(_state(**change), _state(**change))
    single = _engine.finish_state(_state(**change))[0]
    assert _engine.finish_state(merged)[0].tolist() == (2 * single).tolist()


def _with(state, class_number, offset, value):
    changed = state.copy()
    changed[STATE_HEADER + class_number * (2 + 2 * LIMBS) + offset] = value
    return changed


@pytest.mark.parametrize("describe, offset, value", [
    ("pairs counted away", 0, 0),                        # count 0, sums non-zero
    ("a negative distance sum", 2 + LIMBS - 1, -1),      # top limb of the distance sum
    ("a negative value sum", 2 + 2 * LIMBS - 1, -1),     # top limb of the value sum
    ("a NaN distance", 1, 4),                            # the distance sum's NaN flag
    ("a value of minus infinity", 1, 2 << 3),            # the value sum's −∞ flag
])
def test_states_with_sums_no_pairs_could_make_are_refused(describe, offset, value):
    state = _state()
    assert _engine.finish_state(state)[0].tolist() == [2, 1]
    bad = _with(state, 0, offset, value)
    with pytest.raises(ValueError, match="not a valid pair state"):
        _engine.finish_state(bad)
    with pytest.raises(ValueError, match="not a valid pair state"):
        _engine.merge_states(state, bad)


def test_a_state_may_hold_infinite_values_and_empty_classes():
    state = _state(values=np.array([0.0, 1e200, -1e200]))
    counts, _, means = _engine.finish_state(state)
    assert counts.tolist() == [2, 1] and np.isinf(means).all()
    assert _engine.finish_state(_state(edges=np.array([5.0, 6.0, 7.0])))[0].tolist() == [0, 0]


@pytest.mark.parametrize("edges", [
    # 60,000 edges up to 1.5 and one far beyond: the lookup's buckets each hold thousands.
    np.append(np.linspace(0.0, 1.5, 60_000), 1e6),
    # A dense cluster beside sparse edges.
    np.concatenate([[0.0, 0.25], np.linspace(0.5, 0.5001, 500), [2.0]]),
])
def test_classes_of_crowded_lookup_buckets_match_a_search(edges):
    rng = np.random.default_rng(11)
    points = rng.random((300, 2)) * 1.2
    values = rng.random(300)
    counts, _, _ = _engine.pair_sums(points, values, edges, False, 0, None, None, True, 1)
    i, j = np.triu_indices(300, 1)
    t = points[i] - points[j]
    h = np.sqrt(t[:, 0] * t[:, 0] + t[:, 1] * t[:, 1])
    h = h[(h >= edges[0]) & (h <= edges[-1])]
    expected = np.bincount(np.minimum(np.searchsorted(edges, h, side="right") - 1,
                                      len(edges) - 2), minlength=len(edges) - 1)
    np.testing.assert_array_equal(counts, expected)


@pytest.mark.parametrize("columns", [1, 2, 3])
@pytest.mark.parametrize("outlier", [1e3, -1e12, 1e300])
def test_far_outliers_leave_the_grid_of_a_cluster_exact(columns, outlier):
    # A cluster and one far sample: the occupied cells, not the extent, make the grid.
    rng = np.random.default_rng(columns)
    points = rng.random((400, columns))
    points[7] = outlier
    values = rng.random(400)
    edges = np.linspace(0.0, 0.05, 6)
    pruned = _engine.pair_sums(points, values, edges, False, 0, None, None, True, 1)
    with np.errstate(over="ignore"):  # the outlier's squared distances
        expected = reference(points, values, edges)
    for a, b in zip(pruned, expected):
        np.testing.assert_array_equal(a, b)


def test_far_outlier_on_the_sphere_leaves_the_grid_exact():
    rng = np.random.default_rng(4)
    degrees = np.column_stack([rng.uniform(10, 10.5, 400), rng.uniform(45, 45.5, 400)])
    degrees[3] = (-170.0, -80.0)
    points, values = radians(degrees), rng.random(400)
    edges = np.linspace(0.0, 5.0, 6)
    pruned = _engine.pair_sums(points, values, edges, True, 0, None, None, True, 1)
    expected = reference(degrees, values, edges, geographic=True)
    for a, b in zip(pruned, expected):
        np.testing.assert_array_equal(a, b)
