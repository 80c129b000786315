"""orv.krige.variogram_map: exact cell means against a brute-force reference, symmetry, edges,
threads, Ctrl-C, misuse, the plot and the xarray form."""
import os
import signal
import threading
import time
from fractions import Fraction

import numpy as np
import pytest

from orv.krige import VariogramMap, variogram_map
from orv.krige import _engine


def reference(points, values, width, max_lag, estimator="matheron"):
    """Every pair i < j entered at its lag and the opposite one, cells found by comparing with
    the edges in a plain loop (a lag on an edge goes away from zero; a lag with dx = 0 takes the
    side of dy, as the documentation says), exact means with Fraction."""
    n = 1
    while n * width < 2 * max_lag * (1 - 1e-9):
        n += 1
    offset = 0.5 if n % 2 else 0.0
    outer = [(m + offset) * width for m in range(n // 2 + 1)]
    edges = sorted({-e for e in outer} | set(outer))
    assert len(edges) == n + 1

    def axis_cell(t):
        if abs(t) > edges[-1]:
            return None
        if t >= 0:  # the first cell whose upper edge lies above t (the last one for the rim)
            return next((k for k in range(n) if edges[k] <= t < edges[k + 1]), n - 1)
        return next((k for k in range(n) if edges[k] < t <= edges[k + 1]), 0)

    cells = {}
    for i in range(len(values)):
        for j in range(i + 1, len(values)):
            dx = float(points[j, 0]) - float(points[i, 0])
            dy = float(points[j, 1]) - float(points[i, 1])
            if dx < 0 or (dx == 0 and dy < 0):
                dx, dy = -dx, -dy
            kx, ky = axis_cell(dx), axis_cell(dy)
            if kx is None or ky is None:
                continue
            dv = float(values[i]) - float(values[j])
            value = 0.5 * (dv * dv) if estimator == "matheron" else abs(dv) ** 0.5
            for cell in ((ky, kx), (n - 1 - ky, n - 1 - kx)):
                cells.setdefault(cell, []).append(value)
    counts = np.zeros((n, n), dtype=np.int64)
    means = np.full((n, n), np.nan)
    for (ky, kx), members in cells.items():
        counts[ky, kx] = len(members)
        means[ky, kx] = float(sum(map(Fraction, members)) / len(members))
    return np.array(edges), counts, means


def samples(kind, n=90, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "lattice":  # lags on cell edges, duplicates, dx = 0 and dy = 0
        points = rng.integers(0, 6, size=(n, 2)).astype(float)
    else:
        points = rng.uniform(0.0, 10.0, size=(n, 2))
    return points, rng.normal(size=n) * 10.0 ** rng.integers(-2, 3, size=n)


@pytest.mark.parametrize("kind", ["lattice", "scattered"])
# (0.05, 2.5): 100 × 100 cells, more than the engine keeps open from the start.
@pytest.mark.parametrize("width, max_lag",
                         [(1.0, 3.0), (1.0, 2.5), (0.7, 2.0), (2.0, 1.0), (0.05, 2.5)])
@pytest.mark.parametrize("estimator", ["matheron", "cressie"])
# Subnormal widths: the cells are then found by searching the edges rather than through bins.
@pytest.mark.parametrize("scale", [1.0, 2.0**-1070])
def test_cells_match_the_exact_reference(kind, width, max_lag, estimator, scale):
    points, values = samples(kind)
    points, width, max_lag = points * scale, width * scale, max_lag * scale
    result = variogram_map(points, values, width=width, max_lag=max_lag, estimator=estimator)
    edges, counts, means = reference(points, values, width, max_lag, estimator)
    np.testing.assert_array_equal(result.x_edges, edges)
    np.testing.assert_array_equal(result.y_edges, edges)
    np.testing.assert_array_equal(result.counts, counts)
    if estimator == "matheron":
        np.testing.assert_array_equal(result.semivariance, means)
    else:
        n = counts.astype(float)
        with np.errstate(all="ignore"):
            expected = 0.5 * (means * means) ** 2 / ((0.457 + 0.494 / n) + 0.045 / (n * n))
        np.testing.assert_array_equal(result.semivariance, expected)


@pytest.mark.parametrize("kind", ["lattice", "scattered"])
def test_the_map_is_point_symmetric_and_order_free(kind):
    points, values = samples(kind, n=200, seed=3)
    result = variogram_map(points, values, width=1.0, max_lag=4.0)
    np.testing.assert_array_equal(result.semivariance, result.semivariance[::-1, ::-1])
    np.testing.assert_array_equal(result.counts, result.counts[::-1, ::-1])
    order = np.random.default_rng(1).permutation(len(values))
    shuffled = variogram_map(points[order], values[order], width=1.0, max_lag=4.0)
    np.testing.assert_array_equal(shuffled.semivariance, result.semivariance)
    if kind == "lattice":  # lags with dx = 0 keep their side by the sign of dy
        return
    # Mirror images of the samples give the mirrored map.
    mirrored = variogram_map(points * [-1.0, 1.0], values, width=1.0, max_lag=4.0)
    np.testing.assert_array_equal(mirrored.semivariance, result.semivariance[:, ::-1])


def test_a_pair_on_the_axes_and_duplicates():
    # (0, 1): dx = 0 on the middle edge of an even map, dy = 1 on an edge: right of the dy
    # axis, above the edge; its opposite left, below. Duplicates: above right and below left.
    result = variogram_map([[0.0, 0.0], [0.0, 1.0], [0.0, 1.0]], [0.0, 2.0, 5.0], width=1.0,
                           max_lag=2.0)
    assert result.counts.shape == (4, 4)
    cells = {tuple(int(c) for c in cell): int(result.counts[tuple(cell)])
             for cell in np.argwhere(result.counts)}
    assert cells == {(3, 2): 2, (0, 1): 2, (2, 2): 1, (1, 1): 1}
    assert result.semivariance[2, 2] == 4.5 and result.semivariance[3, 2] == (2.0 + 12.5) / 2


def test_odd_maps_have_zero_lag_in_the_middle_cell():
    result = variogram_map([[0.0, 0.0], [0.2, 0.1], [5.0, 5.0]], [1.0, 2.0, 4.0], width=1.0,
                           max_lag=1.5)
    assert result.counts.shape == (3, 3) and result.x_edges.tolist() == [-1.5, -0.5, 0.5, 1.5]
    assert result.counts[1, 1] == 2 and result.counts.sum() == 2
    assert result.semivariance[1, 1] == 0.5


def test_thread_count_does_not_change_a_bit():
    rng = np.random.default_rng(7)
    points, values = rng.uniform(0, 100, (4000, 2)), rng.normal(size=4000)
    runs = [_engine.map_sums(points, values, 2.5, 16, 0, threads) for threads in (1, 2, 3)]
    for run in runs[1:]:
        for got, expected in zip(run, runs[0]):
            np.testing.assert_array_equal(got, expected)


def test_the_result_is_frozen_and_read_only():
    points, values = samples("scattered", n=30)
    result = variogram_map(points, values, width=1.0, max_lag=2.0)
    with pytest.raises(AttributeError):
        result.width = 2.0
    for array in (result.x_edges, result.semivariance, result.counts):
        with pytest.raises(ValueError):
            array[0] = 1
    assert "4 x 4 cells" in repr(result)


@pytest.mark.parametrize("points, options, error, message", [
    (np.zeros((3, 3)), {}, ValueError, r"N x 2 array of planar coordinates"),
    (np.zeros(3), {}, ValueError, r"N x 2 array"),
    (None, {"width": 0.0}, ValueError, r"width must be a positive finite number"),
    (None, {"width": "1"}, TypeError, r"width must be a positive finite number"),
    (None, {"max_lag": -1.0}, ValueError, r"max_lag must be a positive finite number"),
    (None, {"max_lag": np.inf}, ValueError, r"max_lag must be a positive finite number"),
    (None, {"width": 1e-3, "max_lag": 10.0}, ValueError, r"at most 1024 are allowed"),
    (None, {"estimator": "mean"}, ValueError, r"estimator must be one of 'matheron', 'cressie'"),
    (None, {"nan_policy": "drop"}, ValueError, r"nan_policy must be one of"),
])
def test_misuse_names_the_argument(points, options, error, message):
    points = np.arange(8.0).reshape(4, 2) if points is None else points
    arguments = {"width": 1.0, "max_lag": 2.0, **options}
    with pytest.raises(error, match=message):
        variogram_map(points, [1.0, 2.0, 3.0, 4.0][: len(points)], **arguments)


def test_width_and_max_lag_are_keyword_only():
    with pytest.raises(TypeError):
        variogram_map(np.zeros((3, 2)), [1, 2, 3], 1.0, 2.0)


def test_non_finite_samples_raise_or_are_omitted():
    points = np.array([[0.0, 0.0], [1.0, 0.0], [np.nan, 1.0], [0.0, 1.0]])
    with pytest.raises(ValueError, match="nan_policy='omit'"):
        variogram_map(points, [1, 2, 3, 4], width=1.0, max_lag=2.0)
    with pytest.warns(RuntimeWarning, match="omitted 1 sample"):
        result = variogram_map(points, [1, 2, 3, 4], width=1.0, max_lag=2.0, nan_policy="omit")
    assert result.n_samples == 3 and result.counts.sum() == 6


def test_plot_draws_an_image_with_a_colour_bar(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    points, values = samples("scattered", n=200)
    result = variogram_map(points, values, width=1.0, max_lag=3.0)
    for counts in (False, True):
        ax = result.plot(counts=counts)
        assert ax.get_xlabel().startswith("lag dx") and len(ax.figure.axes) == 2
        ax.figure.savefig(tmp_path / f"map-{counts}.png")
        plt.close(ax.figure)
    with pytest.raises(TypeError, match="counts must be True or False"):
        result.plot(counts="yes")


def test_to_xarray_or_a_message_naming_the_extra(monkeypatch):
    points, values = samples("scattered", n=40)
    result = variogram_map(points, values, width=1.0, max_lag=2.0)
    try:
        import xarray  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match=r"orv-krige\[geo\]"):
            result.to_xarray()
        return
    data = result.to_xarray()
    np.testing.assert_array_equal(data["semivariance"].values, result.semivariance)
    assert data["dx"].values.tolist() == [-1.5, -0.5, 0.5, 1.5]
    import sys
    monkeypatch.setitem(sys.modules, "xarray", None)
    with pytest.raises(ImportError, match=r"orv-krige\[geo\]"):
        result.to_xarray()


@pytest.mark.skipif(os.name != "posix", reason="needs SIGINT")
def test_ctrl_c_stops_a_long_map():
    rng = np.random.default_rng(2)
    # 200,000 samples with a map over the whole extent: tens of seconds if not stopped.
    points, values = rng.uniform(0, 1, (200_000, 2)), rng.normal(size=200_000)
    sent = []
    previous_handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer = threading.Timer(0.3, lambda: (sent.append(time.perf_counter()),
                                              os.kill(os.getpid(), signal.SIGINT)))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            variogram_map(points, values, width=0.05, max_lag=1.0)
        latency = time.perf_counter() - sent[-1]
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous_handler)
    assert latency < 0.5


def test_a_variogram_map_is_exported_with_its_docstring():
    assert VariogramMap.__doc__ and variogram_map.__doc__.startswith("Variogram map")


def test_the_documented_examples_run(monkeypatch):
    import importlib.util
    import pathlib
    import re

    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    root = pathlib.Path(__file__).resolve().parent.parent
    text = (root / "docs" / "variogram.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert len(blocks) >= 3
    monkeypatch.chdir(root)
    for block in blocks:
        if importlib.util.find_spec("xarray") is None:
            block = block.replace("vmap.to_xarray()", "pass")
        exec(compile(block, "docs/variogram.md", "exec"), {})


class Bar:
    """A stand-in for a tqdm bar: what the reporter uses of it."""

    def __init__(self):
        self.n, self.total, self.updates = 0, None, []

    def update(self, step):
        self.n += step
        self.updates.append(step)


@pytest.mark.parametrize("call", ["map", "variogram"])
def test_progress_counts_every_sample_and_changes_no_bit(call):
    from orv.krige import variogram

    rng = np.random.default_rng(8)
    points, values = rng.uniform(0, 100, (3000, 2)), rng.normal(size=3000)
    bar = Bar()
    if call == "map":
        run = lambda **extra: variogram_map(points, values, width=5.0, max_lag=20.0, **extra)  # noqa: E731
    else:
        run = lambda **extra: variogram(points, values, 8, max_lag=20.0, **extra)  # noqa: E731
    with_bar, without = run(progress=bar), run()
    assert bar.n == bar.total == 3000 and all(step > 0 for step in bar.updates)
    np.testing.assert_array_equal(with_bar.semivariance, without.semivariance)
    with pytest.raises(TypeError, match="progress must be True, False or a tqdm"):
        run(progress="yes")
