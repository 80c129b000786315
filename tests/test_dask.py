"""orv.krige.dask.variogram: the same result as the local engine, however the pairs are split."""
import itertools
import os
import signal
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

import cloudpickle  # noqa: E402
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from scipy.spatial.distance import pdist  # noqa: E402

from orv.krige import _engine, _tiling, great_circle_distance, variogram  # noqa: E402
from orv.krige import dask as kdask  # noqa: E402
from dask_workers import busy_workers  # noqa: E402

# Worker processes cannot import this module by name: send its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def planar(n, d=2, seed=0):
    """Uniform samples with a few duplicates and integer-grid ties."""
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, size=(n, d))
    points[: n // 10] = np.round(points[: n // 10])
    points[-3:] = points[:3]
    return points, rng.normal(size=n)


def geographic(n, lon=(-180.0, 180.0), lat=(-90.0, 90.0), seed=1):
    rng = np.random.default_rng(seed)
    points = np.stack([rng.uniform(*lon, n), rng.uniform(*lat, n)], axis=1)
    return points, rng.normal(size=n)


# (samples, options): cutoffs and none, both estimators, directions, edges with pairs on them.
CASES = {
    "projcs-default-cutoff": (planar(300), {}),
    "projcs-1d": (planar(200, d=1), {"max_lag": 10.0}),
    "projcs-3d-cressie": (planar(200, d=3), {"max_lag": 30.0, "estimator": "cressie"}),
    "projcs-no-cutoff": (planar(250), {"max_lag": 500.0, "bins": 7}),
    "projcs-edges-on-pairs": (
        (np.array(list(itertools.product(range(12), range(12))), float), np.arange(144.0) % 7),
        {"bins": [0.0, 1.0, 2.0, np.sqrt(5.0), 4.0]},
    ),
    "projcs-direction": (planar(300), {"max_lag": 40.0, "direction": 30.0, "tolerance": 15.0}),
    "projcs-direction-bandwidth": (
        planar(300),
        {"max_lag": 40.0, "direction": -60.0, "bandwidth": 5.0, "estimator": "cressie"},
    ),
    "projcs-direction-all-angles": (
        planar(200), {"max_lag": 200.0, "direction": 0.0, "tolerance": 90.0}
    ),
    "geogcs-cutoff": (geographic(250), {"gtype": "GEOGCS", "max_lag": 3000.0}),
    "geogcs-antimeridian-and-pole": (
        geographic(250, lon=(170.0, 190.0), lat=(60.0, 90.0)),
        {"gtype": "GEOGCS", "max_lag": 500.0, "estimator": "cressie"},
    ),
    "geogcs-no-cutoff": (geographic(200), {"gtype": "GEOGCS", "bins": [0.0, 5000.0, 25000.0]}),
    # A pair at computed distance 0 whose coordinates differ: the halo must still hold it.
    "projcs-underflowing-difference": (
        (np.array([[0.0, 0.0], [1e-300, 0.0], [0.0, 1e-300], [5.0, 5.0], [10.0, 10.0]]),
         np.array([1.0, 2.0, 4.0, 8.0, 16.0])),
        {"bins": [0.0, 1e-310]},
    ),
}


@pytest.fixture(autouse=True)
def small_pieces(monkeypatch):
    # The tests split a few hundred samples into many pieces, to check the partition.
    monkeypatch.setattr(kdask, "_MIN_SAMPLES_PER_PIECE", 1)


@pytest.fixture
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("tiles", [1, 2, 7])
@pytest.mark.parametrize("case", CASES)
def test_equals_the_local_engine(case, tiles):
    (points, values), options = CASES[case]
    expected = variogram(points, values, **options)
    assert kdask.variogram(points, values, tiles=tiles, **options) == expected


@pytest.mark.usefixtures("synchronous")
def test_each_pair_is_counted_once():
    points, values = planar(240)
    n = points.shape[0]
    everything = kdask.variogram(points, values, bins=[0.0, 1000.0], tiles=5)
    assert everything.counts.sum() == n * (n - 1) // 2
    for tiles in (3, 16):
        near = kdask.variogram(points, values, bins=[0.0, 4.0], tiles=tiles)
        assert near.counts.sum() == np.count_nonzero(pdist(points) <= 4.0)


@pytest.mark.parametrize("geographic_case", [False, True])
@pytest.mark.parametrize("count", [1, 4, 13, 400])
def test_tiles_and_halos_cover_every_near_pair_exactly_once(geographic_case, count):
    if geographic_case:
        degrees, _ = geographic(300, lat=(40.0, 90.0))
        points, limit = np.radians(degrees), 1500.0
        distances = great_circle_distance(degrees, degrees)[np.triu_indices(300, 1)]
    else:
        points, _ = planar(300)
        limit = 12.0
        distances = pdist(points)
    positions = _tiling.embedding(points, geographic_case)
    tiles = _tiling.spatial_tiles(positions, count)
    halos = _tiling.halos(positions, tiles, _tiling.reach(limit, geographic_case))
    assert len(tiles) == min(count, 300)
    assert sorted(np.concatenate(tiles).tolist()) == list(range(300))
    formed = []
    for tile, halo in zip(tiles, halos):
        formed += [tuple(sorted(pair)) for pair in itertools.combinations(tile.tolist(), 2)]
        formed += [tuple(sorted(pair)) for pair in itertools.product(tile.tolist(), halo.tolist())]
    assert len(formed) == len(set(formed))
    i, j = np.triu_indices(300, 1)
    near = set(zip(i[distances <= limit].tolist(), j[distances <= limit].tolist()))
    assert near <= set(formed)


def unaligned(array):
    """A read-only copy of `array` one byte off the alignment of its items, as a network
    message may hold it."""
    data = b"\0" + np.ascontiguousarray(array).tobytes()
    return np.frombuffer(data, dtype=array.dtype, offset=1).reshape(array.shape)


def test_pieces_accept_arrays_at_unaligned_offsets():
    (points, values), _ = CASES["projcs-default-cutoff"]
    edges = np.linspace(0.0, 30.0, 6)
    arguments = (edges, False, 0, None, None)
    halves = [(points[:150], values[:150]), (points[150:], values[150:])]
    state = _tiling.piece_state(halves[0], [halves[1]], arguments)
    skewed = [tuple(map(unaligned, half)) for half in halves]
    assert not skewed[0][0].flags.aligned
    skewed_arguments = (unaligned(edges), *arguments[1:])
    skewed_state = _tiling.piece_state(skewed[0], [skewed[1]], skewed_arguments)
    np.testing.assert_array_equal(skewed_state, state)
    inside = _tiling.piece_state(halves[1], [], arguments)
    merged = _tiling.merge(unaligned(skewed_state), unaligned(inside))
    expected = variogram(points, values, edges)
    counts, lags, _ = _engine.finish_state(merged)
    np.testing.assert_array_equal(counts, expected.counts)
    assert lags.tobytes() == expected.lags.tobytes()


@pytest.mark.usefixtures("synchronous")
def test_dask_arrays_are_computed_first():
    points, values = planar(200)
    expected = variogram(points, values, max_lag=20.0)
    lazy_points = da.from_array(points, chunks=(50, 2))
    lazy_values = da.from_array(values, chunks=70)
    assert kdask.variogram(lazy_points, lazy_values, max_lag=20.0, tiles=3) == expected


@pytest.mark.usefixtures("synchronous")
def test_omitted_samples_warn_at_the_callers_line():
    points, values = planar(50)
    values[4] = np.nan
    with pytest.warns(RuntimeWarning, match="omitted 1 sample") as record:
        result = kdask.variogram(points, values, nan_policy="omit", tiles=2)
        expected = variogram(points, values, nan_policy="omit")
    assert [warning.filename for warning in record] == [__file__, __file__]
    assert result == expected


@pytest.mark.parametrize(
    "arguments, exception, fragment",
    [
        ({"tiles": 0}, ValueError, "tiles must be a positive int"),
        ({"tiles": -3}, ValueError, "tiles must be a positive int"),
        ({"tiles": 2.0}, TypeError, "tiles must be a positive int"),
        ({"tiles": "4"}, TypeError, "tiles must be a positive int"),
        ({"tiles": True}, TypeError, "tiles must be a positive int"),
        ({"client": "tcp://127.0.0.1:8786"}, TypeError, "client must be a distributed.Client"),
        ({"max_lags": 3.0}, TypeError, "max_lags"),
        ({"gtype": "UTM"}, ValueError, "gtype must be one of"),
    ],
)
def test_misuse_names_the_argument(arguments, exception, fragment):
    points, values = planar(20)
    with pytest.raises(exception, match=fragment):
        kdask.variogram(points, values, **arguments)


# ---- On a cluster of two worker processes -----------------------------------------------------


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def test_a_closed_client_is_refused(client):
    other = distributed.Client(client.scheduler.address, set_as_default=False)
    other.close()
    with pytest.raises(ValueError, match="client must be a running distributed.Client"):
        kdask.variogram(*planar(20), client=other)


@pytest.mark.parametrize(
    "case",
    ["projcs-default-cutoff", "projcs-direction-bandwidth", "geogcs-cutoff", "geogcs-no-cutoff"],
)
def test_equals_the_local_engine_on_a_cluster(client, case):
    (points, values), options = CASES[case]
    expected = variogram(points, values, **options)
    assert kdask.variogram(points, values, client=client, tiles=5, **options) == expected
    # Without `client`, the current client runs the tasks.
    assert kdask.variogram(points, values, tiles=3, **options) == expected


def slow_down_pairs(seconds):
    """Makes every pair_state call of this process take at least `seconds` longer."""
    original = getattr(_engine.pair_state, "original", _engine.pair_state)

    def slow_pair_state(*arguments):
        time.sleep(seconds)
        return original(*arguments)

    slow_pair_state.original = original
    _engine.pair_state = slow_pair_state


def restore_pairs():
    _engine.pair_state = getattr(_engine.pair_state, "original", _engine.pair_state)


@pytest.mark.parametrize("case", ["projcs-default-cutoff", "projcs-no-cutoff"])
def test_a_killed_worker_changes_nothing(client, case):
    (points, values), options = CASES[case]
    expected = variogram(points, values, **options)
    pids = client.run(os.getpid)
    client.run(slow_down_pairs, 0.3)
    try:
        with ThreadPoolExecutor(1) as pool:
            running = pool.submit(
                kdask.variogram, points, values, client=client, tiles=6, **options
            )
            victim = busy_workers(client, "piece_state")[0]
            os.kill(pids[victim], signal.SIGKILL)
            result = running.result(timeout=120)
    finally:
        client.wait_for_workers(2, timeout=60)
        client.run(restore_pairs)
    assert result == expected
    assert pids[victim] not in client.run(os.getpid).values()


def test_an_interrupt_cancels_the_tasks(client):
    points, values = planar(300)
    client.run(slow_down_pairs, 2.0)
    main = threading.main_thread().ident
    try:
        with pytest.raises(KeyboardInterrupt):
            # Interrupts the wait for the result as Ctrl+C would, once pieces run.
            timer = threading.Thread(
                target=lambda: (busy_workers(client, "piece_state"),
                                signal.pthread_kill(main, signal.SIGINT))
            )
            timer.start()
            kdask.variogram(points, values, max_lag=30.0, client=client, tiles=6)
        timer.join()
        # The scheduler forgets every task of the call, also while the exception is held.
        deadline = time.monotonic() + 30.0
        while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
            assert time.monotonic() < deadline, "the tasks were not cancelled"
            time.sleep(0.05)
    finally:
        client.run(restore_pairs)


def test_no_large_graph_warning_for_the_samples(client):
    points, values = planar(6000)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with dask.config.set({"distributed.admin.large-graph-warning-threshold": "50kB"}):
            kdask.variogram(points, values, max_lag=1.0, client=client, tiles=4)


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("n, max_lag, expected_pieces", [
    (800, None, 3), (800, 5.0, 3), (300, None, 1), (5000, 5.0, 19)])
def test_pieces_hold_a_least_number_of_samples(monkeypatch, n, max_lag, expected_pieces):
    monkeypatch.setattr(kdask, "_MIN_SAMPLES_PER_PIECE", 256)
    monkeypatch.setattr(kdask, "_client", lambda client: None)  # in this process
    pieces = []
    original = _tiling.piece_state

    def counted(own, others, arguments):
        pieces.append(own[0].shape[0])
        return original(own, others, arguments)

    monkeypatch.setattr(_tiling, "piece_state", counted)
    points, values = planar(n)
    options = {} if max_lag is None else {"max_lag": max_lag}
    result = kdask.variogram(points, values, tiles=10**6, **options)
    assert result == variogram(points, values, **options)
    assert len(pieces) == expected_pieces and min(pieces) >= 256


@pytest.mark.parametrize("where", ["synchronous", "threads", "cluster"])
@pytest.mark.parametrize("max_lag", [3.0, None])
def test_a_progress_bar_ends_at_the_samples_and_leaves_the_result_alone(where, max_lag, request):
    tqdm = pytest.importorskip("tqdm").tqdm
    import io

    points, values = planar(300)
    options = dict(bins=6, max_lag=max_lag)
    bar = tqdm(file=io.StringIO(), mininterval=0)
    if where == "cluster":
        found = kdask.variogram(points, values, tiles=5, client=request.getfixturevalue("client"),
                                progress=bar, **options)
    else:
        with dask.config.set(scheduler=where):
            found = kdask.variogram(points, values, tiles=5, client=None, progress=bar, **options)
    assert found == variogram(points, values, **options)
    assert bar.n == 300
