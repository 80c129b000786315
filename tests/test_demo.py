"""The demonstration: the known-truth checks (quick mode) and the Meuse part."""
import re

import numpy as np
import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("pyproj")

from orv.krige import demo, variogram  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory, meuse_csv):
    out = tmp_path_factory.mktemp("demo")
    import contextlib
    import io

    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        status = demo.main(["--quick", "--out", str(out), "--meuse", str(meuse_csv)])
    return status, text.getvalue(), out


def test_quick_demonstration_passes_every_check_and_writes_the_plots(quick_run):
    status, out, folder = quick_run
    assert status == 0, out
    rows = re.findall(r"^  (\S.*?)\s+(\S+)\s+(\S+)\s+(\S+)\s+± (\S+)(?: km)?\s+(passed|FAILED)$",
                      out, flags=re.M)
    assert [r[0] for r in rows] == ["Nugget", "Sill", "Range along 30°", "Range across (120°)",
                                    "Ratio along / across"]
    assert all(r[5] == "passed" for r in rows)
    assert "Known-truth checks: all passed" in out and "All checks passed." in out
    assert "(limit 0.5 %), the same classes hold pairs: True: passed" in out
    for name in ("known_truth_semivariograms.png", "meuse_log_zinc_semivariograms.png"):
        plot = folder / name
        assert plot.read_bytes()[:8] == PNG and plot.stat().st_size > 20_000


def test_a_failed_check_makes_the_exit_status_1(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(demo, "TOLERANCES", {name: 0.0 for name in demo.TOLERANCES})
    assert demo.main(["--quick", "--out", str(tmp_path), "--meuse", str(tmp_path / "none")]) == 1
    out = capsys.readouterr().out
    assert "Known-truth checks: FAILED" in out and "Meuse survey: skipped" in out


def test_directional_fits_tell_the_longer_range_from_the_shorter():
    points, values = demo.spherical_field(
        600, extent=60.0, psill=1.0, range_=20.0, nugget=0.05, angle=30.0, ratio=2.0, seed=4
    )
    found = demo.estimate(points, values, 30.0, 30.0, 20)
    assert found.along.direction == 30.0 and found.across.direction == 120.0
    assert found.fit_across.parameters["Nugget"] == found.fit_along.parameters["Nugget"]
    assert found.fit_along.parameters["Range"] > 1.3 * found.fit_across.parameters["Range"]


def test_geographic_lags_agree_with_projected_lags(meuse_csv):
    xy, log_zinc = demo.load_meuse(meuse_csv)
    lon_lat = demo.to_lon_lat(xy)
    # The survey lies near Stein (NL), at about 5.74 E, 50.97 N.
    np.testing.assert_allclose(lon_lat.mean(axis=0), [5.74, 50.97], atol=0.02)
    projected = variogram(xy, log_zinc, 15, max_lag=2000.0)
    geographic = variogram(lon_lat, log_zinc, projected.edges / 1000.0, gtype="GEOGCS")
    differences = demo.lag_differences_percent(projected, geographic)
    assert differences.size == 15
    assert 0.05 < np.max(np.abs(differences)) < demo.GEOGRAPHIC_TOLERANCE_PERCENT
    # Lags taken as metres instead of km would be a thousand times off.
    wrong = variogram(lon_lat, log_zinc, projected.edges, gtype="GEOGCS")
    assert not np.array_equal(wrong.counts > 0, projected.counts > 0)
