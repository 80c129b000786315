"""orv-krige end to end: each output format read back against the API, the template grid,
vector input, and the exit statuses of bad input."""
import csv
import subprocess
import sys

import numpy as np
import pytest

xarray = pytest.importorskip("xarray")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("rioxarray")

from orv.krige import Kriging, VariogramModel  # noqa: E402
from orv.krige._simulate import spherical_field  # noqa: E402
from orv.krige.cli.kriging import main  # noqa: E402

MODEL = ["--model", "spherical", "--psill", "0.9", "--range", "300", "--nugget", "0.1"]
GIVEN = VariogramModel("Spherical", {"PSill": 0.9, "Range": 300.0, "Nugget": 0.1})


@pytest.fixture(scope="module")
def survey(tmp_path_factory):
    xy, value = spherical_field(90, extent=1000.0, psill=0.9, range_=300.0, nugget=0.1, seed=4)
    xy = xy + [180_000.0, 330_000.0]
    folder = tmp_path_factory.mktemp("krige")
    path = folder / "survey.csv"
    ppm = np.exp(value)
    rows = ["east,north,ppm"] + [f"{x!r},{y!r},{v!r}" for (x, y), v in zip(xy.tolist(),
                                                                         ppm.tolist())]
    path.write_text("\n".join(rows) + "\n")
    # The values the command krigs: the logarithms of the cells it reads.
    return folder, path, xy, np.log(ppm)


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def base(path):
    return [path, "--x", "east", "--y", "north", "--value", "ppm", "--log", *MODEL]


BBOX = "180000,330000,181000,330800"
# Cells of 50 m from the bounding box's west and north edges.
X = 180_000.0 + 25.0 + 50.0 * np.arange(20)
Y = 330_800.0 - 25.0 - 50.0 * np.arange(16)


def expected_grid(xy, value, **options):
    return Kriging(xy, value, GIVEN, neighbours=32, **options).grid(X, Y)


@pytest.mark.parametrize("suffix", [".tif", ".nc", ".csv"])
def test_each_format_holds_the_grid_of_the_api(capsys, survey, suffix):
    folder, path, xy, value = survey
    out = folder / f"map{suffix}"
    code, text, err = run(capsys, *base(path), "--cell", "50", "--bbox", BBOX, "--crs",
                          "EPSG:28992", "--out", out)
    assert code == 0, err
    assert f"16 x 20 cells, 320 estimated, written to {out}" in text
    expected = expected_grid(xy, value)
    if suffix == ".tif":
        with rasterio.open(out) as raster:
            assert raster.crs.to_epsg() == 28992 and raster.count == 2
            assert raster.xy(0, 0) == pytest.approx((X[0], Y[0]))
            assert raster.xy(15, 19) == pytest.approx((X[-1], Y[-1]))
            estimate, variance = raster.read()
    elif suffix == ".nc":
        with xarray.open_dataset(out) as stored:
            np.testing.assert_array_equal(stored["x"], X)
            np.testing.assert_array_equal(stored["y"], Y)
            assert stored.attrs["model"] == "Spherical" and stored.rio.crs.to_epsg() == 28992
            estimate, variance = stored["estimate"].values, stored["variance"].values
    else:
        with open(out, newline="") as stream:
            rows = list(csv.DictReader(stream))
        assert len(rows) == 320 and list(rows[0]) == ["x", "y", "estimate", "variance"]
        assert (float(rows[1]["x"]), float(rows[1]["y"])) == (X[1], Y[0])
        estimate = np.array([float(r["estimate"]) for r in rows]).reshape(16, 20)
        variance = np.array([float(r["variance"]) for r in rows]).reshape(16, 20)
    np.testing.assert_array_equal(estimate, expected["estimate"].values)
    np.testing.assert_array_equal(variance, expected["variance"].values)


def test_a_template_fit_block_cv_and_plot(capsys, survey):
    folder, path, xy, value = survey
    template = folder / "map.tif"
    if not template.exists():
        run(capsys, *base(path), "--cell", "50", "--bbox", BBOX, "--crs", "EPSG:28992",
            "--out", template)
    out, plot = folder / "like.nc", folder / "like.png"
    code, text, err = run(capsys, path, "--x", "east", "--y", "north", "--value", "ppm",
                          "--log", "--model", "exponential", "--max-lag", "500", "--like",
                          template, "--block", "--neighbours", "20", "--cv", "--out", out,
                          "--plot", plot)
    assert code == 0, err
    assert "# fitted Exponential model" in text and "mean squared z" in text
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with xarray.open_dataset(out) as stored:
        np.testing.assert_array_equal(stored["x"], X)
        np.testing.assert_array_equal(stored["y"], Y)
        assert stored.rio.crs.to_epsg() == 28992  # taken from the template
        assert list(stored.attrs["block"]) == [50.0, 50.0]


def test_points_from_a_geopackage_bring_their_crs(capsys, survey):
    geopandas = pytest.importorskip("geopandas")
    folder, _, xy, value = survey
    source = folder / "survey.gpkg"
    geopandas.GeoDataFrame({"ppm": np.exp(value)}, geometry=geopandas.points_from_xy(*xy.T),
                           crs="EPSG:28992").to_file(source)
    out = folder / "from_gpkg.tif"
    code, text, err = run(capsys, source, "--value", "ppm", "--log", *MODEL, "--cell", "50",
                          "--bbox", BBOX, "--out", out)
    assert code == 0, err
    assert "(Amersfoort / RD New)" in text
    with rasterio.open(out) as raster:
        assert raster.crs.to_epsg() == 28992
        np.testing.assert_array_equal(raster.read(1), expected_grid(xy, value)["estimate"])


@pytest.mark.parametrize("extra, status, fragment", [
    (["--cell", "50", "--out", "map.png"], 2, "must end in .tif, .nc or .csv"),
    (["--out", "m.csv"], 2, "one of the arguments --cell --like is required"),
    (["--cell", "0", "--out", "m.csv"], 2, "must be positive"),
    (["--cell", "50", "--bbox", "1,2,0,3", "--out", "m.csv"], 2, "XMIN < XMAX"),
    (["--cell", "50", "--kind", "simple", "--out", "m.csv"], 2, "--mean: needed for"),
    (["--cell", "50", "--crs", "EPSG:999999", "--out", "m.csv"], 2, "is not a CRS"),
    (["--cell", "50", "--gtype", "GEOGCS", "--crs", "EPSG:28992", "--out", "m.csv"], 1,
     "contradicts the projected CRS"),
    (["--cell", "0.01", "--out", "m.csv"], 1, "more than 100,000,000"),
    (["--like", "none.tif", "--out", "m.csv"], 1, "--like none.tif"),
    (["--cell", "50", "--out", "missing/m.csv"], 1, "cannot write missing/m.csv"),
])
def test_bad_input_gives_one_line_and_a_status(capsys, survey, monkeypatch, extra, status,
                                               fragment):
    folder, path, _, _ = survey
    monkeypatch.chdir(folder)
    code, _, err = run(capsys, *base(path), *extra)
    assert code == status
    assert err.count("\n") == 1 and err.startswith("orv-krige: error: ") and fragment in err


@pytest.mark.parametrize("argv, status, fragment", [
    (["--value", "ppm", "--model", "spherical", "--psill", "1"], 2, "give both"),
    (["--value", "ppm", "--model", "linear", "--psill", "1", "--range", "2"], 2, "no sill"),
    (["--value", "nope", "--model", "spherical"], 1, "no column 'nope'"),
])
def test_bad_columns_and_models(capsys, survey, argv, status, fragment):
    _, path, _, _ = survey
    code, _, err = run(capsys, path, "--x", "east", "--y", "north", *argv, "--cell", "50",
                       "--out", "m.csv")
    assert code == status and fragment in err and err.count("\n") == 1


def test_the_module_runs_as_a_program(survey, tmp_path):
    _, path, _, _ = survey
    done = subprocess.run([sys.executable, "-m", "orv.krige.cli.kriging", *map(str, base(path)),
                           "--cell", "100", "--out", str(tmp_path / "m.csv")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    missing = subprocess.run([sys.executable, "-m", "orv.krige.cli.kriging", "nothing.csv",
                              "--value", "v", *MODEL, "--cell", "1", "--out", "m.csv"],
                             capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert missing.returncode == 1
    assert missing.stderr == ("orv-krige: error: cannot read nothing.csv: No such file or "
                              "directory\n")
