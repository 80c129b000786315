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


ROW = re.compile(r"^  (\S.*?)\s+(\S+)\s+(\S+)\s+(\S+)\s+± (\S+)(?: km| °)?\s+(passed|FAILED)$",
                 flags=re.M)
NAMES = ["Nugget", "Sill", "Angle of major axis", "Range along", "Range across",
         "Ratio along / across", "Range, adjusted frame", "Residual ratio"]


def test_quick_demonstration_passes_every_check_and_writes_the_plots(quick_run):
    status, out, folder = quick_run
    assert status == 0, out
    rows = ROW.findall(out)
    assert [r[0] for r in rows][:len(NAMES)] == NAMES
    assert all(r[5] == "passed" for r in rows)
    assert "Known-truth checks: all passed" in out and "All checks passed." in out
    assert "(limit 0.5 %), the same classes hold pairs: True: passed" in out
    for name in ("known_truth_semivariograms.png", "meuse_log_zinc_semivariograms.png"):
        plot = folder / name
        assert plot.read_bytes()[:8] == PNG and plot.stat().st_size > 20_000


def _swap_axes(e):
    return {**e, "Angle of major axis": e["Angle of major axis"] + 90.0,
            "Range along": e["Range across"], "Range across": e["Range along"],
            "Ratio along / across": 1.0 / e["Ratio along / across"]}


@pytest.mark.parametrize("wrong", [
    pytest.param(_swap_axes, id="axes swapped"),
    pytest.param(lambda e: {**e, "Ratio along / across": 1.0 / e["Ratio along / across"]},
                 id="ratio inverted"),
    pytest.param(lambda e: {k: v * (1000.0 if "Range" in k else 1.0) for k, v in e.items()},
                 id="ranges in metres"),
    pytest.param(lambda e: {**e, "Nugget": 0.0}, id="nugget ignored"),
    pytest.param(lambda e: {**e, "Residual ratio": 2.0}, id="anisotropy left in"),
])
def test_the_tolerances_reject_plainly_wrong_estimates(quick_run, wrong):
    rows = {r[0]: r for r in ROW.findall(quick_run[1])}
    estimates = wrong({name: float(r[2]) for name, r in rows.items()})
    checks = [demo.Check(name, "", float(rows[name][1]), estimates[name], 0.0,
                         float(rows[name][4]), 180.0 if name.startswith("Angle") else None)
              for name in NAMES]
    assert not all(c.passed for c in checks)


def test_a_failed_check_makes_the_exit_status_1(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(demo, "TOLERANCES", {name: 0.0 for name in demo.TOLERANCES})
    assert demo.main(["--quick", "--out", str(tmp_path), "--meuse", str(tmp_path / "none")]) == 1
    out = capsys.readouterr().out
    assert "Known-truth checks: FAILED" in out and "Meuse survey: skipped" in out


@pytest.mark.parametrize("angle", [0.0, 30.0, 95.0, 170.0])
@pytest.mark.parametrize("ratio", [1.0, 2.0, 3.5])
def test_the_range_ellipse_recovers_exact_anisotropy(angle, ratio):
    truth = demo.RangeEllipse(angle, 20.0, 20.0 / ratio, np.zeros((4, 4)))
    ranges = truth.range_at(np.array(demo.DIRECTIONS))
    found = demo.fit_range_ellipse(demo.DIRECTIONS, ranges, 0.05 * ranges)
    assert found.major == pytest.approx(20.0) and found.ratio == pytest.approx(ratio)
    if ratio > 1.0:
        assert abs((found.angle - angle + 90.0) % 180.0 - 90.0) < 1e-6
    assert np.all(np.sqrt(np.diag(found.covariance)) < 1e-6)


def test_the_range_ellipse_refuses_ranges_that_fit_no_ellipse():
    with pytest.raises(ValueError, match="at least 4 directions"):
        demo.fit_range_ellipse([0.0, 45.0, 90.0], [1.0, 2.0, 3.0], [0.1] * 3)
    # Ranges of 1 / r² = 0.01 + 0.02 sin 2θ, a hyperbola: unbounded towards 135°.
    directions = np.array([0.0, 20.0, 45.0, 70.0, 90.0])
    ranges = 1.0 / np.sqrt(0.01 + 0.02 * np.sin(np.radians(2.0 * directions)))
    with pytest.raises(ValueError, match="unbounded"):
        demo.fit_range_ellipse(directions, ranges, 0.05 * ranges)


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
