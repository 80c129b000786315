"""GeoPandas points with their CRS, grids as xarray Datasets, GeoTIFFs read back, DataFrames."""
import io

import numpy as np
import pytest

geopandas = pytest.importorskip("geopandas")
xarray = pytest.importorskip("xarray")
pytest.importorskip("rioxarray")
rasterio = pytest.importorskip("rasterio")
shapely = pytest.importorskip("shapely")

from orv.krige import Kriging, VariogramModel, variogram  # noqa: E402
from orv.krige._simulate import spherical_field  # noqa: E402

MODEL = VariogramModel("Spherical", {"PSill": 1.0, "Range": 300.0, "Nugget": 0.1})


@pytest.fixture(scope="module")
def survey():
    """Samples in metres near the Meuse (EPSG:28992), with their longitude and latitude."""
    xy, values = spherical_field(150, extent=2000.0, psill=1.0, range_=400.0, nugget=0.1, seed=3)
    xy = xy + [178_500.0, 330_000.0]
    projected = geopandas.GeoDataFrame({"v": values}, geometry=geopandas.points_from_xy(*xy.T),
                                       crs="EPSG:28992")
    geographic = projected.to_crs("EPSG:4326")
    lon_lat = np.column_stack([geographic.geometry.x, geographic.geometry.y])
    return xy, values, projected, geographic, lon_lat


# ---- GeoPandas input ------------------------------------------------------------------------


def test_a_projected_crs_gives_projcs_and_its_unit(survey):
    xy, values, projected, _, _ = survey
    expected = variogram(xy, values, 10, max_lag=800.0)
    found = variogram(projected, "v", 10, max_lag=800.0)
    assert found.gtype == "PROJCS" and found.unit == "m"
    # The same classes as from the plain arrays: only the unit is added.
    assert found == type(expected)(**{**expected.__dict__, "unit": "m"})
    assert variogram(projected.geometry, values, 10, max_lag=800.0) == found


@pytest.mark.parametrize("epsg, unit", [(2263, "ftUS"), (3857, "m"), (27700, "m")])
def test_the_unit_is_the_crs_linear_unit(epsg, unit):
    points = geopandas.GeoSeries(geopandas.points_from_xy([0.0, 10.0, 0.0], [0.0, 0.0, 7.0]),
                                 crs=f"EPSG:{epsg}")
    assert variogram(points, [1.0, 2.0, 4.0], 2, max_lag=20.0).unit == unit


def test_a_geographic_crs_gives_geogcs_with_longitude_first(survey):
    _, values, _, geographic, lon_lat = survey
    # EPSG:4326 declares latitude first; GeoPandas points are (longitude, latitude) anyway.
    assert geographic.crs.axis_info[0].abbrev == "Lat"
    found = variogram(geographic, "v", 10, max_lag=0.8)
    assert found.gtype == "GEOGCS" and found.unit == "km"
    assert found == variogram(lon_lat, values, 10, max_lag=0.8, gtype="GEOGCS")
    assert found != variogram(lon_lat[:, ::-1], values, 10, max_lag=0.8, gtype="GEOGCS")
    kriging = Kriging(geographic, "v", MODEL, neighbours=20)
    reference = Kriging(lon_lat, values, MODEL, neighbours=20, gtype="GEOGCS")
    targets = lon_lat[:5] + 0.001
    np.testing.assert_array_equal(kriging.predict(targets).estimate,
                                  reference.predict(targets).estimate)


@pytest.mark.parametrize("which, gtype, kind", [
    ("projected", "GEOGCS", "projected"), ("geographic", "PROJCS", "geographic")])
def test_a_gtype_that_contradicts_the_crs_is_refused(survey, which, gtype, kind):
    frame = survey[2] if which == "projected" else survey[3]
    with pytest.raises(ValueError, match=f"gtype='{gtype}' contradicts the {kind} CRS"):
        variogram(frame, "v", 5, gtype=gtype)
    with pytest.raises(ValueError, match=f"gtype='{gtype}' contradicts the {kind} CRS"):
        Kriging(frame, "v", MODEL, gtype=gtype)


@pytest.mark.parametrize("geometry", [
    shapely.Polygon([(0, 0), (1, 0), (1, 1)]), shapely.LineString([(0, 0), (1, 1)]),
    shapely.MultiPoint([(0, 0), (1, 1)])])
def test_non_point_geometries_are_refused_naming_centroid(geometry):
    points = geopandas.GeoSeries([shapely.Point(5, 5), shapely.Point(6, 9), geometry],
                                 crs="EPSG:28992")
    with pytest.raises(ValueError, match=r"Point geometries.*position 2.*centroid"):
        variogram(points, [1.0, 2.0, 3.0], 2, max_lag=10.0)


@pytest.mark.parametrize("values, error, fragment", [
    ("missing", ValueError, "values='missing' is not a column"),
])
def test_a_column_name_must_be_a_column(survey, values, error, fragment):
    with pytest.raises(error, match=fragment):
        Kriging(survey[2], values, MODEL)
    with pytest.raises(TypeError, match="only when points is a GeoDataFrame"):
        variogram(survey[0], "v")


def test_targets_in_another_crs_are_refused(survey):
    xy, values, projected, geographic, _ = survey
    kriging = Kriging(projected, "v", MODEL, neighbours=20)
    with pytest.raises(ValueError, match=r"another CRS \(WGS 84\) than the samples \(Amersfoort"):
        kriging.predict(geographic.geometry[:3])
    grid = kriging.grid(xy[:4, 0], xy[:3, 1])
    with pytest.raises(ValueError, match="another CRS"):
        kriging.predict(grid.rio.write_crs("EPSG:3857"))
    # In the samples' CRS, and as plain arrays, targets are taken as they are.
    np.testing.assert_array_equal(kriging.predict(projected.geometry[:3]).estimate, values[:3])
    np.testing.assert_array_equal(kriging.predict(xy[:3]).estimate, values[:3])


# ---- Grids, xarray targets and GeoTIFF -------------------------------------------------------


def test_grid_equals_predict_at_the_cells_with_attributes_and_crs(survey):
    _, _, projected, _, _ = survey
    kriging = Kriging(projected, "v", MODEL, neighbours=16, max_distance=900.0)
    x = np.array([178_600.0, 178_700.0, 178_650.0, 179_900.0])  # any order and spacing
    y = np.array([331_900.0, 331_000.0, 330_050.0])
    grid = kriging.grid(x, y)
    assert grid["estimate"].dims == ("y", "x") and grid["estimate"].dtype == np.float64
    np.testing.assert_array_equal(grid["x"], x)
    np.testing.assert_array_equal(grid["y"], y)
    cells = np.array([(a, b) for b in y for a in x])
    expected = kriging.predict(cells)
    assert grid["estimate"].values.tobytes() == expected.estimate.tobytes()
    assert grid["variance"].values.tobytes() == expected.variance.tobytes()
    assert grid.attrs == {
        "model": "Spherical", "model_PSill": 1.0, "model_Range": 300.0, "model_Nugget": 0.1,
        "kind": "ordinary", "max_distance": 900.0, "unit": "m", "neighbours": 16,
        "min_neighbours": 1, "gtype": "PROJCS"}
    assert grid.rio.crs.to_epsg() == 28992
    # The same grid as xarray targets.
    again = kriging.predict(grid)
    assert again["estimate"].equals(grid["estimate"])
    assert again["neighbours"].dtype == np.int64 and (again["neighbours"].values <= 16).all()


def test_xarray_targets_by_lon_lat_and_along_one_dimension(survey):
    _, values, _, geographic, lon_lat = survey
    kriging = Kriging(geographic, "v", MODEL, neighbours=12)
    targets = xarray.Dataset(coords={"lon": ("station", lon_lat[:6, 0]),
                                     "lat": ("station", lon_lat[:6, 1]),
                                     "name": ("station", list("abcdef"))})
    found = kriging.predict(targets)
    assert found["estimate"].dims == ("station",) and list(found["name"].values) == list("abcdef")
    np.testing.assert_array_equal(found["estimate"], values[:6])
    with pytest.raises(ValueError, match="coordinates x and y"):
        kriging.predict(xarray.DataArray(np.zeros(3), dims="t"))


def test_a_geotiff_reads_back_with_crs_cell_centres_and_values(survey, tmp_path):
    _, _, projected, _, _ = survey
    kriging = Kriging(projected, "v", MODEL, neighbours=16)
    x = 178_500.0 + 25.0 * np.arange(80)
    y = 332_000.0 - 25.0 * np.arange(60)  # north up
    grid = kriging.grid(x, y, block=(25.0, 25.0))
    path = tmp_path / "map.tif"
    grid.rio.to_raster(path)
    with rasterio.open(path) as raster:
        assert raster.count == 2 and raster.crs.to_epsg() == 28992
        assert (raster.width, raster.height) == (80, 60)
        # The transform puts the centre of cell (row, col) at (x[col], y[row]).
        for row, col in [(0, 0), (59, 79), (17, 42)]:
            assert raster.xy(row, col) == pytest.approx((x[col], y[row]), abs=1e-6)
        bands = raster.read()
    np.testing.assert_array_equal(bands[0], grid["estimate"].values)
    np.testing.assert_array_equal(bands[1], grid["variance"].values)
    expected = kriging.predict([[x[42], y[17]]], block=(25.0, 25.0))
    assert bands[0, 17, 42] == expected.estimate[0]


def test_grid_refuses_bad_axes_and_other_dimensions():
    kriging = Kriging(np.arange(10.0), np.arange(10.0) % 3, MODEL)
    with pytest.raises(ValueError, match="2-D samples"):
        kriging.grid([1.0], [2.0])
    kriging = Kriging(np.random.default_rng(0).uniform(size=(20, 2)), np.arange(20.0), MODEL)
    with pytest.raises(ValueError, match="x must be a non-empty one-dimensional array"):
        kriging.grid(np.zeros((2, 2)), [1.0])
    with pytest.raises(ValueError, match=r"y must hold finite cell centres; y\[1\]"):
        kriging.grid([0.5], [0.1, np.nan])


# ---- DataFrames ---------------------------------------------------------------------------------


def test_results_convert_to_dataframes(survey):
    xy, values, _, _, _ = survey
    experimental = variogram(xy, values, 6, max_lag=600.0)
    frame = experimental.to_dataframe()
    assert list(frame.columns) == ["lower", "upper", "lag", "semivariance", "count"]
    np.testing.assert_array_equal(frame["upper"], experimental.edges[1:])
    np.testing.assert_array_equal(frame["count"], experimental.counts)
    frame["lag"] = 0.0  # a copy: the result's read-only arrays are untouched
    kriging = Kriging(xy, values, MODEL, neighbours=10)
    prediction = kriging.predict(xy[:4] + 1.0)
    assert prediction.to_dataframe().to_dict("list") == {
        "estimate": list(prediction.estimate), "variance": list(prediction.variance),
        "neighbours": list(prediction.neighbours)}
    validation = kriging.cross_validate()
    table = validation.to_dataframe()
    assert list(table.columns) == ["observed", "estimate", "variance", "residual", "zscore",
                                   "fold"]
    assert table["zscore"].pow(2).mean() == pytest.approx(validation.mean_squared_zscore)


def test_one_progress_bar_counts_every_cell_of_every_band(monkeypatch):
    tqdm = pytest.importorskip("tqdm")
    from orv.krige import _grid

    monkeypatch.setattr(_grid, "BAND_CELLS", 100)  # several bands of 4 rows of 25 cells
    rng = np.random.default_rng(2)
    kriging = Kriging(rng.uniform(0, 10, (60, 2)), rng.normal(size=60), MODEL, neighbours=8)
    x, y = np.linspace(0, 10, 25), np.linspace(0, 10, 11)
    with tqdm.tqdm(file=io.StringIO()) as bar:
        grid = kriging.grid(x, y, progress=bar)
        assert bar.n == 25 * 11
    assert grid["estimate"].values.tobytes() == kriging.grid(x, y)["estimate"].values.tobytes()


@pytest.mark.parametrize("module, call", [
    ("xarray", lambda k: k.grid([0.5], [0.5])),
    ("pandas", lambda k: k.predict([[0.5, 0.5]]).to_dataframe()),
])
def test_a_missing_optional_package_names_the_extra(monkeypatch, module, call):
    kriging = Kriging(np.random.default_rng(1).uniform(size=(10, 2)), np.arange(10.0), MODEL)
    monkeypatch.setitem(__import__("sys").modules, module, None)
    with pytest.raises(ImportError, match=rf'needs {module}; install it with: pip install '
                                          r'"orv-krige\[geo\]"'):
        call(kriging)


def test_fit_anisotropy_takes_projected_geopandas_points_and_refuses_geographic(survey):
    from orv.krige import fit_anisotropy

    xy, values, projected, geographic, _ = survey
    options = dict(directions=6, bins=8, max_lag=1200.0)
    from_frame = fit_anisotropy(projected, "v", "Spherical", **options)
    from_arrays = fit_anisotropy(xy, values, "Spherical", **options)
    assert (from_frame.angle, from_frame.ratio) == (from_arrays.angle, from_arrays.ratio)
    with pytest.raises(ValueError, match="GEOGCS|geographic"):
        fit_anisotropy(geographic, "v", "Spherical", **options)
