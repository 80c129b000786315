"""Kriging: misuse messages, duplicates, determinism over threads and chunks, Ctrl-C, and the
properties of the results that the brute-force reference tests do not look at."""
import math
import os
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from process_memory import resident_kib

import orv.krige as ok
from orv.krige import CrossValidation, Kriging, Prediction, VariogramModel
from orv.krige import _kriging_api

SPHERICAL = VariogramModel("Spherical", {"PSill": 1.0, "Range": 3.0, "Nugget": 0.1})
RNG = np.random.default_rng(7)
POINTS = RNG.uniform(0, 10, (400, 2))
VALUES = np.sin(POINTS[:, 0]) + np.cos(POINTS[:, 1]) + RNG.normal(0, 0.1, 400)
TARGETS = RNG.uniform(-1, 11, (700, 2))


@pytest.mark.parametrize("model, parameters, message", [
    ("Cubic", {"PSill": 1, "Range": 1, "Nugget": 0}, "unknown model"),
    ("spherical", {"PSill": 1, "Range": 1}, "lack Nugget"),
    ("spherical", {"PSill": 1, "Range": 1, "Nugget": 0, "Sill": 2}, "unknown Sill"),
    ("spherical", {"PSill": -1, "Range": 1, "Nugget": 0}, "PSill must be >= 0"),
    ("spherical", {"PSill": 1, "Range": 0, "Nugget": 0}, "Range must be > 0"),
    ("gaussian", {"PSill": 1, "Range": np.inf, "Nugget": 0}, "Range must be finite"),
    ("linear", {"Slope": np.nan, "Nugget": 0}, "Slope must be finite"),
    ("power", {"Scale": 1, "Exponent": "1", "Nugget": 0}, "Exponent must be a real number"),
])
def test_variogram_model_names_the_bad_parameter(model, parameters, message):
    with pytest.raises(ValueError, match=message):
        VariogramModel(model, parameters)


@pytest.mark.parametrize("model, parameters, sill", [
    ("sPhErIcAl", {"PSill": 2, "Range": 1, "Nugget": 0.5}, 2.5),
    ("holeeffect", {"PSill": 1, "Range": 1, "Nugget": 0}, 1.0),
    ("LINEAR", {"Slope": 1, "Nugget": 0}, None),
    ("power", {"Scale": 1, "Exponent": 1.5, "Nugget": 0.2}, None),
])
def test_variogram_model_is_canonical_and_callable(model, parameters, sill):
    m = VariogramModel(model, parameters)
    assert m.model.lower() == model.lower() and m.model in ok._fit.MODELS
    assert m.sill == sill
    record = ok._fit.MODELS[m.model]
    h = np.array([0.0, 0.3, 2.0])
    np.testing.assert_array_equal(
        m(h), record.function([parameters[n] for n in record.parameters], h))
    assert m(0.0) == 0.0


def test_a_fit_is_a_model():
    result = ok.variogram(POINTS, VALUES).fit("spherical")
    assert isinstance(result, VariogramModel)
    prediction = Kriging(POINTS, VALUES, result, neighbours=16).predict(TARGETS[:5])
    assert np.isfinite(prediction.estimate).all()


@pytest.mark.parametrize("options, error, message", [
    (dict(kind="kriging"), ValueError, "kind must be one of"),
    (dict(kind="simple"), ValueError, "mean is required"),
    (dict(mean=1.0), ValueError, "mean is only for kind='simple'"),
    (dict(kind="universal"), ValueError, "drift is required"),
    (dict(kind="universal", drift="cubic"), ValueError, "drift must be one of"),
    (dict(drift="linear"), ValueError, "drift is only for kind='universal'"),
    (dict(neighbours=0), ValueError, "neighbours must be an int >= 1"),
    (dict(neighbours=2.5), TypeError, "neighbours must be an int"),
    (dict(min_neighbours=0), ValueError, "min_neighbours must be an int >= 1"),
    (dict(max_distance=-1.0), ValueError, "max_distance must be a positive"),
    (dict(max_distance=np.nan), ValueError, "max_distance must be"),
    (dict(anisotropy=(30.0,)), TypeError, "anisotropy must be a pair"),
    (dict(anisotropy=(30.0, 0.0)), ValueError, "anisotropy scale must be"),
    (dict(gtype="UTM"), ValueError, "gtype must be one of"),
    (dict(duplicates="first"), ValueError, "duplicates must be one of"),
    (dict(nan_policy="ignore"), ValueError, "nan_policy must be one of"),
])
def test_misuse_names_the_argument(options, error, message):
    with pytest.raises(error, match=message):
        Kriging(POINTS, VALUES, SPHERICAL, **options)


@pytest.mark.parametrize("arguments, error, message", [
    ((POINTS, VALUES, "spherical"), TypeError, "model must be a VariogramModel"),
    ((POINTS, VALUES[:-1], SPHERICAL), ValueError, "same length"),
    ((POINTS[:, :1].repeat(4, 1), VALUES, SPHERICAL), ValueError, "points must be an N x d"),
])
def test_misused_samples_and_model(arguments, error, message):
    with pytest.raises(error, match=message):
        Kriging(*arguments)


def test_simple_kriging_needs_a_sill():
    with pytest.raises(ValueError, match="needs a model with a sill"):
        Kriging(POINTS, VALUES, VariogramModel("linear", {"Slope": 1, "Nugget": 0}),
                kind="simple", mean=0.0)


def test_global_kriging_is_limited_and_says_what_to_do():
    many = np.random.default_rng(0).uniform(0, 1, (10_001, 2))
    with pytest.raises(ValueError, match="pass neighbours=k"):
        Kriging(many, np.zeros(10_001), SPHERICAL)
    Kriging(many, np.zeros(10_001), SPHERICAL, neighbours=8)


@pytest.mark.parametrize("call, error, message", [
    (dict(targets=np.zeros((3, 3))), ValueError, "targets must be an M x 2"),
    (dict(targets=[[np.nan, 0.0]]), ValueError, "targets must be finite"),
    (dict(targets=[[0.0, 0.0]], block=(1.0, -1.0)), ValueError, "block must be a pair of"),
    (dict(targets=[[0.0, 0.0]], block=1.0), TypeError, "block must be a pair"),
    (dict(targets=[[0.0, 0.0]], block=(1.0, 1.0), block_points=0), ValueError,
     "block_points must be an int >= 1"),
])
def test_predict_misuse(call, error, message):
    with pytest.raises(error, match=message):
        Kriging(POINTS, VALUES, SPHERICAL, neighbours=8).predict(**call)


@pytest.mark.parametrize("folds, message", [
    (1, "folds must be an int from 2"),
    (401, "folds must be an int from 2"),
    (np.zeros(3), "array of 400 labels"),
])
def test_cross_validate_misuse(folds, message):
    with pytest.raises(ValueError, match=message):
        Kriging(POINTS, VALUES, SPHERICAL, neighbours=8).cross_validate(folds=folds)


def test_duplicates_mean_merges_and_raise_names_the_first():
    points = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [0.0, 0.0]])
    values = np.array([1.0, 2.0, 3.0, 4.0, 6.0, 5.0])
    with pytest.warns(RuntimeWarning, match="merged 3 sample"):
        merged = Kriging(points, values, SPHERICAL)
    unique = Kriging(np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]),
                     np.array([3.0, 4.0, 4.0]), SPHERICAL)
    targets = np.array([[0.0, 0.0], [0.4, 0.3], [2.0, 2.0]])
    a, b = merged.predict(targets), unique.predict(targets)
    np.testing.assert_array_equal(a.estimate, b.estimate)
    np.testing.assert_array_equal(a.variance, b.variance)
    assert a.estimate[0] == 3.0 and a.variance[0] == 0.0
    with pytest.raises(ValueError, match=r"3 sample\(s\) repeat .* index 0 \(0.0, 0.0\)"):
        Kriging(points, values, SPHERICAL, duplicates="raise")


def test_nan_samples_raise_or_are_omitted():
    values = VALUES.copy()
    values[5] = np.nan
    with pytest.raises(ValueError, match="index 5"):
        Kriging(POINTS, values, SPHERICAL, neighbours=8)
    with pytest.warns(RuntimeWarning, match="omitted 1 sample"):
        omitted = Kriging(POINTS, values, SPHERICAL, neighbours=8, nan_policy="omit")
    kept = np.arange(400) != 5
    clean = Kriging(POINTS[kept], VALUES[kept], SPHERICAL, neighbours=8)
    np.testing.assert_array_equal(omitted.predict(TARGETS).estimate,
                                  clean.predict(TARGETS).estimate)


def test_results_are_read_only_and_typed():
    kriging = Kriging(POINTS, VALUES, SPHERICAL, neighbours=8)
    prediction = kriging.predict(TARGETS)
    cv = kriging.cross_validate(folds=4, seed=1)
    assert isinstance(prediction, Prediction) and isinstance(cv, CrossValidation)
    for array in (prediction.estimate, prediction.variance, prediction.neighbours, cv.observed,
                  cv.estimate, cv.variance, cv.residual, cv.zscore, cv.fold):
        assert not array.flags.writeable
    assert prediction.neighbours.dtype.kind == "i" and prediction.estimate.dtype == np.float64
    with pytest.raises(Exception):
        prediction.estimate = None


def test_collinear_samples_under_a_linear_drift_give_nan_and_one_warning():
    points = np.column_stack([np.arange(6.0), 2.0 * np.arange(6.0)])
    kriging = Kriging(points, np.arange(6.0), SPHERICAL, kind="universal", drift="linear")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        prediction = kriging.predict([[0.5, 3.0], [2.0, 0.0]])
    assert np.isnan(prediction.estimate).all() and np.isnan(prediction.variance).all()
    assert [str(w.message).count("2 target") for w in caught] == [1]


def test_too_few_neighbours_within_max_distance_give_nan():
    kriging = Kriging(POINTS, VALUES, SPHERICAL, neighbours=10, max_distance=0.5,
                      min_neighbours=3)
    prediction = kriging.predict(TARGETS)
    distances = np.sqrt(((TARGETS[:, None] - POINTS[None]) ** 2).sum(-1))
    within = np.minimum((distances <= 0.5).sum(1), 10)
    np.testing.assert_array_equal(prediction.neighbours, within)
    np.testing.assert_array_equal(np.isnan(prediction.estimate), within < 3)


def test_k_fold_assignment_is_the_documented_one():
    cv = Kriging(POINTS, VALUES, SPHERICAL, neighbours=8).cross_validate(folds=7, seed=3)
    expected = np.empty(400, dtype=np.int64)
    expected[np.random.default_rng(3).permutation(400)] = np.arange(400) % 7
    np.testing.assert_array_equal(cv.fold, expected)
    np.testing.assert_array_equal(cv.residual, cv.observed - cv.estimate)


CASES = {
    "ordinary local": dict(neighbours=24),
    "universal quadratic": dict(neighbours=24, kind="universal", drift="quadratic"),
    "simple within a distance": dict(neighbours=30, kind="simple", mean=0.3, max_distance=2.0),
    "power": dict(neighbours=16, model=VariogramModel("Power", {"Scale": 0.5, "Exponent": 1.4,
                                                                "Nugget": 0.05})),
    "global": dict(),
}


@pytest.mark.parametrize("case", CASES)
def test_same_bits_for_any_thread_count_and_chunk_size(case):
    options = dict(CASES[case])
    model = options.pop("model", SPHERICAL)
    kriging = Kriging(POINTS, VALUES, model, **options)
    previous_threads, previous_chunk = ok.get_num_threads(), _kriging_api._chunk_size()
    results = []
    try:
        for threads, chunk in [(1, 256), (2, 1), (3, 7), (2, 100_000), (3, 64)]:
            ok.set_num_threads(threads)
            _kriging_api._set_chunk_size(chunk)
            p = kriging.predict(TARGETS)
            cv = kriging.cross_validate(folds=5, seed=2) if case != "global" else None
            results.append((p.estimate.tobytes(), p.variance.tobytes(), p.neighbours.tobytes(),
                            None if cv is None else cv.estimate.tobytes()))
    finally:
        ok.set_num_threads(previous_threads)
        _kriging_api._set_chunk_size(previous_chunk)
    assert all(result == results[0] for result in results[1:])


@pytest.mark.parametrize("options", [
    dict(neighbours=24),
    dict(neighbours=30, max_distance=1.2, min_neighbours=12),  # systems of changing size
    dict(neighbours=16, kind="universal", drift="linear"),
    dict(neighbours=12, model=VariogramModel("Linear", {"Slope": 0.4, "Nugget": 0.05})),
    dict(neighbours=13, lattice=True),  # ties at the k-th distance
])
def test_neighbouring_targets_give_the_bits_of_targets_alone(options):
    """Consecutive targets of a fine grid share most neighbours, whose search and covariances
    may start from the last target's; in shuffled order, or one call per target, nothing is."""
    options = dict(options)
    model = options.pop("model", SPHERICAL)
    points, values = POINTS, VALUES
    if options.pop("lattice", False):
        points = np.argwhere(np.ones((21, 21))).astype(float) / 2.0
        points = points[np.random.default_rng(4).permutation(len(points))]
        values = np.sin(points[:, 0]) + points[:, 1] / 10.0
    gx, gy = np.meshgrid(np.linspace(-0.5, 10.5, 45), np.linspace(-0.5, 10.5, 45))
    targets = np.vstack([np.column_stack([gx.ravel(), gy.ravel()]), points[:30]])
    kriging = Kriging(points, values, model, **options)
    ordered = kriging.predict(targets)
    order = np.random.default_rng(5).permutation(len(targets))
    shuffled = kriging.predict(targets[order])
    for name in ("estimate", "variance", "neighbours"):
        np.testing.assert_array_equal(getattr(shuffled, name), getattr(ordered, name)[order])
    for i in range(0, len(targets), 97):
        alone = kriging.predict(targets[i:i + 1])
        assert alone.estimate.tobytes() == ordered.estimate[i:i + 1].tobytes()
        assert alone.variance.tobytes() == ordered.variance[i:i + 1].tobytes()


@pytest.mark.parametrize("model, options", [
    # Systems whose Cholesky factorisation fails and which LU solves.
    (VariogramModel("HoleEffect", {"PSill": 1.0, "Range": 0.6, "Nugget": 0.0}),
     dict(neighbours=16)),
    # Neighbours on one line under a linear drift: singular, so those targets fail.
    (SPHERICAL, dict(neighbours=6, kind="universal", drift="linear")),
])
def test_systems_that_fail_together_give_the_bits_of_one_target_at_a_time(model, options):
    """Targets are factorised several at a time; one whose factorisation fails there takes the
    path of a target alone (LU, or failure), with the same bits and the same NaN."""
    rng = np.random.default_rng(8)
    points = np.column_stack([rng.choice([0.0, 4.0, 8.0], 300), rng.uniform(0, 10, 300)])
    values = np.sin(points[:, 1]) + 0.1 * points[:, 0]
    kriging = Kriging(points, values, model, **options)
    gx, gy = np.meshgrid(np.linspace(-0.2, 8.2, 30), np.linspace(0, 10, 30))
    targets = np.column_stack([gx.ravel(), gy.ravel()])
    previous = _kriging_api._chunk_size()
    results = []
    try:
        for chunk in (1, 256):
            _kriging_api._set_chunk_size(chunk)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                p = kriging.predict(targets)
            results.append((p.estimate.tobytes(), p.variance.tobytes(),
                            [str(w.message) for w in caught]))
    finally:
        _kriging_api._set_chunk_size(previous)
    assert results[0] == results[1]
    if "drift" in options:
        assert np.isnan(p.estimate).any() and results[0][2]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs SIGINT and /proc")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_kriging_quickly_and_leaves_nothing(threads):
    rng = np.random.default_rng(4)
    points, values = rng.uniform(0, 100, (20_000, 2)), rng.normal(size=20_000)
    # About half a minute of targets if not stopped.
    targets = rng.uniform(0, 100, (2_000_000, 2))
    kriging = Kriging(points, values, SPHERICAL, neighbours=64)
    references = [sys.getrefcount(targets)]
    previous_threads = ok.get_num_threads()
    ok.set_num_threads(threads)
    previous_handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    sent = []
    try:
        kriging.predict(targets[:1000])
        for call in range(4):
            # The first interrupted call settles the allocator (which may keep the freed
            # outputs' pages for the next call): growth is measured over the later ones.
            if call == 1:
                before = resident_kib()
            timer = threading.Timer(0.2, lambda: (sent.append(time.perf_counter()),
                                                  os.kill(os.getpid(), signal.SIGINT)))
            timer.start()
            with pytest.raises(KeyboardInterrupt):
                kriging.predict(targets)
            latency = time.perf_counter() - sent[-1]
            timer.join()
            assert latency < 0.5
    finally:
        signal.signal(signal.SIGINT, previous_handler)
        ok.set_num_threads(previous_threads)
    assert [sys.getrefcount(targets)] == references
    # AddressSanitizer keeps freed blocks in quarantine, resident, so there the growth of the
    # resident set says nothing about leaks (the sanitizer itself checks the accesses).
    if os.environ.get("KRIGE_SANITIZED") != "1":
        assert resident_kib() - before < 20_000


@pytest.mark.parametrize("angle, scale", [(30.0, 2.5), (-75.0, 0.4)])
def test_anisotropy_is_kriging_in_the_frame_of_adjust_anisotropy(angle, scale):
    frame = ok.adjust_anisotropy(POINTS, [0.0, 0.0], [scale], [angle])
    target_frame = ok.adjust_anisotropy(TARGETS, [0.0, 0.0], [scale], [angle])
    a = Kriging(POINTS, VALUES, SPHERICAL, neighbours=12, anisotropy=(angle, scale))
    b = Kriging(frame, VALUES, SPHERICAL, neighbours=12)
    pa, pb = a.predict(TARGETS), b.predict(target_frame)
    np.testing.assert_array_equal(pa.neighbours, pb.neighbours)
    np.testing.assert_allclose(pa.estimate, pb.estimate, rtol=1e-11, atol=1e-12)
    np.testing.assert_allclose(pa.variance, pb.variance, rtol=1e-11, atol=1e-12)


@pytest.mark.parametrize("options", [dict(), dict(kind="universal", drift="linear")])
def test_global_targets_in_batches_give_the_bits_of_targets_one_by_one(options):
    kriging = Kriging(POINTS, VALUES, SPHERICAL, **options)
    together = kriging.predict(TARGETS[:37])
    alone = [kriging.predict(TARGETS[i:i + 1]) for i in range(37)]
    assert together.estimate.tobytes() == np.concatenate([p.estimate for p in alone]).tobytes()
    assert together.variance.tobytes() == np.concatenate([p.variance for p in alone]).tobytes()


_SAMPLES = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]])


def _direct_call(drift_points=None, labels=None, target_labels=None, drift_targets=None):
    """A direct call of the native engine: 3 samples, 2 targets, ordinary kriging of the
    2 nearest samples; the changes may make one of its arrays wrong."""
    from orv.krige import _kriging

    samples = _kriging.Samples(_SAMPLES, np.array([1.0, 2.0, 3.0]), 3, 1.0, 2.0, 0.1, 0.0, 0, 0.0,
                               (0.0, 0.0, 0.0), 1.0, drift_points, True, False)
    targets = np.array([[0.5, 0.5], [0.2, 0.1]])
    if drift_points is not None and drift_targets is None:
        drift_targets = np.zeros((2, drift_points.shape[1]))
    return samples.predict(targets, drift_targets, np.zeros((1, 2)), True, 2, math.inf, 1,
                           labels, target_labels, 1, 64, np.empty(2), np.empty(2),
                           np.zeros(2, dtype=np.int64), None)


@pytest.mark.parametrize("changes, message", [
    # A wrong first array of a pair must be reported before the second is requested.
    ({"labels": np.zeros(5, dtype=np.int64), "target_labels": np.zeros(2, dtype=np.int64)},
     "labels must have 3 items"),
    ({"labels": np.zeros(3), "target_labels": np.zeros(2, dtype=np.int64)}, "labels"),
    ({"drift_points": np.zeros((3, 4))}, "drift_points must have 1, 2 or 3 columns"),
    ({"drift_points": np.zeros((4, 2))}, r"drift_points must have shape \(3, 2\)"),
    ({"drift_points": np.zeros((3, 2)), "drift_targets": np.zeros((3, 2))},
     r"drift_targets must have shape \(2, 2\)"),
])
def test_engine_reports_the_first_bad_array(changes, message):
    with pytest.raises((ValueError, TypeError, BufferError), match=message):
        _direct_call(**changes)


def test_the_callers_arrays_stay_theirs():
    points, values = POINTS.copy(), VALUES.copy()
    kriging = Kriging(points, values, SPHERICAL, neighbours=8)
    before = kriging.predict(TARGETS)
    assert points.flags.writeable and values.flags.writeable
    points += 1.0
    values[:] = 0.0
    after = kriging.predict(TARGETS)
    assert before.estimate.tobytes() == after.estimate.tobytes()
