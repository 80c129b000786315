"""Kriging as Dask tasks: equal bit for bit to the local predict for any chunking, also with a
worker killed mid-run, and grids written chunk by chunk."""
import os
import signal
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
xarray = pytest.importorskip("xarray")

import cloudpickle  # noqa: E402
import dask  # noqa: E402
import dask.array as da  # noqa: E402

from orv.krige import Kriging, VariogramModel  # noqa: E402
from orv.krige import dask as kdask  # noqa: E402
from dask_workers import busy_workers  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])

MODEL = VariogramModel("Exponential", {"PSill": 1.0, "Range": 30.0, "Nugget": 0.05})


@pytest.fixture(scope="module")
def kriging():
    rng = np.random.default_rng(5)
    points = rng.uniform(0.0, 100.0, size=(2000, 2))
    values = np.sin(points[:, 0] / 9.0) + rng.normal(0.0, 0.2, 2000)
    return Kriging(points, values, MODEL, neighbours=24, max_distance=40.0)


@pytest.fixture(scope="module")
def targets():
    return np.random.default_rng(6).uniform(-5.0, 105.0, size=(3000, 2))


def same_bits(found, expected):
    computed = dask.compute(found.estimate, found.variance, found.neighbours,
                            scheduler="synchronous")
    for got, want in zip(computed, (expected.estimate, expected.variance, expected.neighbours)):
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


@pytest.mark.parametrize("chunks", [3000, 13, 250, (1000, 1999, 1)])
def test_predict_equals_the_local_predict_for_any_chunking(kriging, targets, chunks):
    rows = chunks if isinstance(chunks, tuple) else chunks
    found = kdask.predict(kriging, da.from_array(targets, chunks=(rows, 1)))
    assert found.estimate.chunks[0] == da.from_array(targets, chunks=(rows, 2)).chunks[0]
    same_bits(found, kriging.predict(targets))


def test_predict_of_blocks_and_its_refusals(kriging, targets):
    found = kdask.predict(kriging, targets[:100], block=(2.0, 3.0))
    same_bits(found, kriging.predict(targets[:100], block=(2.0, 3.0)))
    with pytest.raises(ValueError, match="M x 2 array"):
        kdask.predict(kriging, da.zeros((4, 3)))
    with pytest.raises(TypeError, match="kriging must be an orv.krige.Kriging"):
        kdask.predict("kriging", targets)
    bad = targets[:10].copy()
    bad[4, 1] = np.nan
    with pytest.raises(ValueError, match="targets must be finite"):
        dask.compute(kdask.predict(kriging, bad).estimate, scheduler="synchronous")


@pytest.mark.parametrize("chunks", [5, (7, 11), {"y": 40}, {"x": 3, "y": 1}])
def test_a_chunked_grid_equals_the_grid_in_memory(kriging, chunks):
    x = np.linspace(-3.0, 104.0, 37)
    y = np.linspace(98.0, 1.0, 23)
    expected = kriging.grid(x, y)
    lazy = kriging.grid(x, y, chunks=chunks)
    assert isinstance(lazy["estimate"].data, da.Array)
    assert lazy.attrs == expected.attrs
    with dask.config.set(scheduler="threads"):
        computed = lazy.compute()
    for name in ("estimate", "variance"):
        assert computed[name].values.tobytes() == expected[name].values.tobytes()
    with pytest.raises(ValueError, match="progress is for grids kriged in memory"):
        kriging.grid(x, y, chunks=5, progress=True)


def test_a_grid_chunk_builds_only_its_own_targets(kriging, monkeypatch, tmp_path):
    pytest.importorskip("zarr")
    seen = []
    original = kdask._grid_chunk

    def watched(shared, y, x, block):
        seen.append(y.size * x.size)
        return original(shared, y, x, block)

    monkeypatch.setattr(kdask, "_grid_chunk", watched)
    x = np.arange(0.5, 100.0, 1.0)
    y = np.arange(99.5, 0.0, -1.0)
    lazy = kriging.grid(x, y, chunks=(30, 40))
    with dask.config.set(scheduler="synchronous"):
        lazy.to_zarr(tmp_path / "grid.zarr", consolidated=False)
    assert max(seen) == 30 * 40 and sum(seen) == x.size * y.size
    stored = xarray.open_zarr(tmp_path / "grid.zarr", consolidated=False).load()
    assert stored["estimate"].values.tobytes() == kriging.grid(x, y)["estimate"].values.tobytes()


# ---- On a cluster of two worker processes -----------------------------------------------------


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def slow_down_predict(seconds):
    """Makes every Kriging.predict of this process take at least `seconds` longer."""
    original = getattr(Kriging.predict, "original", Kriging.predict)

    def slow(self, *arguments, **options):
        time.sleep(seconds)
        return original(self, *arguments, **options)

    slow.original = original
    Kriging.predict = slow


def restore_predict():
    Kriging.predict = getattr(Kriging.predict, "original", Kriging.predict)


def test_a_killed_worker_changes_nothing(client, kriging, targets):
    expected = kriging.predict(targets)
    pids = client.run(os.getpid)
    client.run(slow_down_predict, 0.2)
    try:
        found = kdask.predict(kriging, da.from_array(targets, chunks=(300, 2)))
        with ThreadPoolExecutor(1) as pool:
            running = pool.submit(dask.compute, found.estimate, found.variance, found.neighbours)
            victim = busy_workers(client)[0]
            os.kill(pids[victim], signal.SIGKILL)
            estimate, variance, neighbours = running.result(timeout=120)
    finally:
        client.wait_for_workers(2, timeout=60)
        client.run(restore_predict)
    assert estimate.tobytes() == expected.estimate.tobytes()
    assert variance.tobytes() == expected.variance.tobytes()
    assert neighbours.tobytes() == expected.neighbours.tobytes()
    assert pids[victim] not in client.run(os.getpid).values()


def test_the_kriging_travels_once_and_an_interrupt_cancels_the_tasks(client, kriging, targets):
    found = kdask.predict(kriging, da.from_array(targets, chunks=(100, 2)))
    # One key of the graph holds the Kriging object for all 30 tasks: the graph is not 30
    # times its size.
    graph = dict(found.estimate.__dask_graph__())
    assert len(graph) > 30
    assert len(cloudpickle.dumps(graph)) < 1.5 * len(cloudpickle.dumps(kriging)) + 64 * 1024
    client.run(slow_down_predict, 1.0)
    main = threading.main_thread().ident
    try:
        with pytest.raises(KeyboardInterrupt):
            timer = threading.Thread(
                target=lambda: (busy_workers(client), signal.pthread_kill(main, signal.SIGINT)))
            timer.start()
            dask.compute(found.estimate)
        timer.join()
        deadline = time.monotonic() + 30.0
        while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
            assert time.monotonic() < deadline, "the tasks were not cancelled"
            time.sleep(0.05)
    finally:
        client.run(restore_predict)
