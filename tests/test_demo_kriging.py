"""The demonstration's kriging part: its checks pass on the truth and fail on plain mistakes;
the Meuse map is written."""
import numpy as np
import pytest

pytest.importorskip("matplotlib")

from orv.krige import VariogramModel, demo  # noqa: E402
from orv.krige._simulate import spherical_field  # noqa: E402

TRUE = {"PSill": demo.TRUE_PSILL, "Range": demo.TRUE_RANGE_KM, "Nugget": demo.TRUE_NUGGET}


@pytest.fixture(scope="module")
def field():
    n = demo.QUICK_SAMPLES
    points, values = spherical_field(
        n + demo.HELD_OUT, extent=demo.EXTENT_KM, psill=demo.TRUE_PSILL,
        range_=demo.TRUE_RANGE_KM, nugget=demo.TRUE_NUGGET, angle=demo.ANGLE_DEGREES,
        ratio=demo.TRUE_RATIO, seed=demo.KRIGING_SEED)
    return points[:n], values[:n], points[n:], values[n:]


def checks(field, parameters=TRUE, anisotropy=(demo.ANGLE_DEGREES, demo.TRUE_RATIO),
           swap=False):
    points, values, targets, truth = field
    return demo.kriging_checks(points, values, targets[:, ::-1] if swap else targets, truth,
                               VariogramModel("Spherical", parameters), anisotropy)


def test_the_true_model_passes(field):
    found = checks(field)
    assert [c.name for c in found] == ["Mean squared z-score", "RMSE vs kriging sd"]
    assert all(c.passed for c in found)
    # The tolerances are three of their standard deviations: √(2/m) for the mean z².
    assert found[0].tolerance == pytest.approx(3.0 * np.sqrt(2.0 / demo.HELD_OUT), abs=1e-3)


@pytest.mark.parametrize("mistake", [
    pytest.param({"parameters": {**TRUE, "Nugget": 0.0, "PSill": 0.5}}, id="sill too small"),
    pytest.param({"parameters": {**TRUE, "PSill": 3.0}}, id="sill too large"),
    pytest.param({"parameters": {**TRUE, "Range": 2.0}}, id="range too short"),
    pytest.param({"swap": True}, id="targets with x and y swapped"),
    pytest.param({"anisotropy": (demo.ANGLE_DEGREES + 90.0, demo.TRUE_RATIO)},
                 id="anisotropy across"),
])
def test_a_wrong_model_or_a_swapped_axis_fails(field, mistake):
    assert not all(c.passed for c in checks(field, **mistake))


def test_the_meuse_map_is_written(meuse_csv, tmp_path, capsys):
    grid = meuse_csv.parent / demo.MEUSE_GRID_CSV
    if not grid.is_file():
        pytest.skip(f"{grid} is not present")
    assert demo.meuse_map(meuse_csv, grid, tmp_path)
    out = capsys.readouterr().out
    assert "3,103 of 3,103 cells estimated" in out and "Leave-one-out: mean error" in out
    assert (tmp_path / "meuse_log_zinc_map.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rasterio = pytest.importorskip("rasterio")
    pytest.importorskip("rioxarray")
    with rasterio.open(tmp_path / "meuse_log_zinc_map.tif") as raster:
        assert raster.crs.to_epsg() == 28992 and raster.count == 2
        assert int(np.count_nonzero(np.isfinite(raster.read(1)))) == 3103
