"""The Meuse demonstration and the model fit that it and the command share."""
import re

import numpy as np
import pytest

from orv._algos.spmis.krige import demo, variogram
from orv._algos.spmis.krige.workflow import InputError, fit_model, semivariogram


def test_geographic_lags_agree_with_projected_lags(meuse_csv):
    pytest.importorskip("pyproj")
    xy, log_zinc = demo.load_meuse(meuse_csv)
    lon_lat = demo.to_lon_lat(xy)
    # The survey lies near Stein (NL), at about 5.74 E, 50.97 N.
    np.testing.assert_allclose(lon_lat.mean(axis=0), [5.74, 50.97], atol=0.02)
    projected, _ = semivariogram(xy, log_zinc, demo.N_LAGS, "PROJCS")
    geographic, _ = semivariogram(lon_lat, log_zinc, demo.N_LAGS, "GEOGCS")
    differences = demo.lag_differences_percent(projected, geographic)
    assert projected.size == demo.N_LAGS
    assert np.max(np.abs(differences)) < demo.TOLERANCE_PERCENT
    with pytest.raises(InputError, match="15 and 14 non-empty classes"):
        demo.lag_differences_percent(projected, geographic[1:])


def test_demonstration_prints_three_tables_and_writes_the_plot(capsys, tmp_path, meuse_csv,
                                                             monkeypatch):
    pytest.importorskip("matplotlib")
    pytest.importorskip("pyproj")
    monkeypatch.chdir(meuse_csv.parents[1])
    assert demo.main(["--out", str(tmp_path / "plots")]) == 0
    out = capsys.readouterr().out
    rows = [line for line in out.splitlines() if re.fullmatch(r"(\s+-?[\d.e+-]+){2,4}", line)]
    assert len(rows) == 3 * demo.N_LAGS
    assert "(limit 0.5 %): passed" in out
    plot = tmp_path / "plots" / demo.PLOT_NAME
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and plot.stat().st_size > 10_000


@pytest.mark.parametrize(
    "model, truth",
    [
        ("Spherical", {"PSill": 0.6, "Range": 900.0, "Nugget": 0.05}),
        ("Exponential", {"PSill": 1.5, "Range": 1200.0, "Nugget": 0.2}),
        ("Gaussian", {"PSill": 0.8, "Range": 700.0, "Nugget": 0.1}),
        ("Linear", {"Slope": 2e-4, "Nugget": 0.1}),
        ("Power", {"Scale": 0.01, "Exponent": 0.8, "Nugget": 0.05}),
    ],
)
def test_fit_recovers_the_parameters_of_exact_model_values(model, truth):
    lags = np.linspace(50.0, 2000.0, 15)
    gamma = getattr(variogram, model)(list(truth.values()), lags)
    fitted = fit_model(model, lags, gamma, cutoff=np.inf)
    assert list(fitted.parameters) == list(truth)
    np.testing.assert_allclose(list(fitted.parameters.values()), list(truth.values()),
                               rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(fitted(lags), gamma, rtol=1e-6, atol=1e-9)


def test_fit_uses_only_the_lags_up_to_the_cutoff():
    lags = np.linspace(100.0, 2000.0, 20)
    gamma = variogram.Spherical([0.6, 500.0, 0.05], lags)
    gamma[lags > 1000.0] = 5.0  # far classes that must not take part
    fitted = fit_model("Spherical", lags, gamma)
    assert fitted.cutoff == 1000.0
    np.testing.assert_allclose(list(fitted.parameters.values()), [0.6, 500.0, 0.05], rtol=1e-4)
