"""ExperimentalVariogram.plot, checked through the artists it draws."""
import subprocess
import sys

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402

from orv.krige import ExperimentalVariogram, Spherical  # noqa: E402

EDGES = np.linspace(0.0, 30.0, 7)
COUNTS = np.array([12, 40, 0, 75, 90, 101])


def variogram(**fields):
    lags = (EDGES[:-1] + EDGES[1:]) / 2.0
    gamma = Spherical([0.9, 20.0, 0.1], lags)
    lags[COUNTS == 0] = gamma[COUNTS == 0] = np.nan
    return ExperimentalVariogram(EDGES, lags, gamma, COUNTS, max_lag=30.0, **fields)


def new_axes():
    return Figure().add_subplot()


def test_points_model_counts_and_labels():
    ev = variogram(gtype="GEOGCS", unit="km")
    fitted = ev.fit("Spherical")
    ax = ev.plot(new_axes(), model=fitted)
    points, curve = ax.get_lines()
    np.testing.assert_array_equal(points.get_xdata(), ev.lags[COUNTS > 0])
    np.testing.assert_array_equal(points.get_ydata(), ev.semivariance[COUNTS > 0])
    h = curve.get_xdata()
    assert h[0] > 0.0 and h[-1] == 30.0
    np.testing.assert_allclose(curve.get_ydata(), fitted(h))
    assert "PSill 0.9" in curve.get_label() and "Range 20" in curve.get_label()
    assert ax.get_xlim() == (0.0, 30.0)
    assert ax.get_ylabel() == "semivariance"

    panel = ax.pair_count_axes
    assert panel in ax.figure.axes and panel.get_xlabel() == "lag distance (km)"
    bars = panel.patches
    assert [b.get_height() for b in bars] == COUNTS.tolist()
    np.testing.assert_allclose([b.get_x() for b in bars], EDGES[:-1])
    np.testing.assert_allclose([b.get_width() for b in bars], np.diff(EDGES))
    assert panel.get_ylabel() == "pairs" and panel.get_xlim() == (0.0, 30.0)


@pytest.mark.parametrize(
    "fields, unit, label",
    [
        ({}, None, "lag distance (coordinate units)"),
        ({}, "m", "lag distance (m)"),
        ({"gtype": "GEOGCS", "unit": "km"}, None, "lag distance (km)"),
        ({"gtype": "GEOGCS", "unit": "km"}, "kilometres", "lag distance (kilometres)"),
    ],
)
def test_without_counts_the_unit_labels_the_main_axis(fields, unit, label):
    ax = variogram(**fields).plot(new_axes(), counts=False, unit=unit)
    assert ax.get_xlabel() == label
    assert not hasattr(ax, "pair_count_axes") and len(ax.figure.axes) == 1
    assert len(ax.get_lines()) == 1


def test_direction_appears_in_the_legend():
    ax = variogram(direction=30.0, tolerance=15.0).plot(new_axes(), counts=False)
    assert ax.get_legend().get_texts()[0].get_text() == "experimental (matheron, 30° ± 15°)"


def test_a_bad_model_is_refused():
    with pytest.raises(TypeError, match="model must be a FittedVariogram"):
        variogram().plot(new_axes(), model="Spherical")


def test_matplotlib_is_imported_only_by_plot():
    code = ("import sys, orv.krige as k; assert 'matplotlib' not in sys.modules; "
            "import numpy as np; "
            "ev = k.ExperimentalVariogram([0, 1, 2], [0.5, 1.5], [1.0, 2.0], [3, 4]); "
            "ev.fit('Linear'); assert 'matplotlib' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_without_axes_a_new_figure_is_made():
    import matplotlib.pyplot as plt

    ax = variogram().plot()
    try:
        assert ax.figure.axes == [ax, ax.pair_count_axes]
    finally:
        plt.close(ax.figure)


def test_axes_placed_by_hand_get_the_panel_below_them():
    figure = Figure()
    ax = variogram().plot(figure.add_axes((0.1, 0.1, 0.8, 0.8)))
    assert ax.pair_count_axes in figure.axes and len(ax.pair_count_axes.patches) == 6
