"""Kriging on grids and xarray coordinates: the targets a grid's axes make, and the Dataset
that holds the estimates with the model's description and the samples' CRS."""
from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator
from typing import Any, Optional

import numpy as np

from .._algos.spmis.krige.points import real_array
from . import _geo
from ._progress import _tqdm, check_progress

#: Grid cells kriged in one call when a grid is kriged in memory: the targets of one band of
#: rows are built at a time, so the coordinates never take more than some tens of MiB.
BAND_CELLS = 1 << 20


def axis(values: Any, name: str) -> np.ndarray:
    """A grid axis: a one-dimensional array of finite float64 cell centres."""
    array = np.asarray(real_array(values, name), dtype=np.float64)
    if array.ndim != 1 or array.size == 0:
        raise ValueError(f"{name} must be a non-empty one-dimensional array of cell centres; "
                         f"got shape {array.shape}")
    if not np.isfinite(array).all():
        first = int(np.argmax(~np.isfinite(array)))
        raise ValueError(f"{name} must hold finite cell centres; {name}[{first}] is not")
    return array


def cell_targets(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The targets of the grid rows `y` by columns `x`, row by row (x varying fastest)."""
    return np.column_stack([np.tile(x, y.size), np.repeat(y, x.size)])


@contextlib.contextmanager
def _one_bar(progress: object, total: int) -> Iterator[object]:
    """One bar that the bands' predict calls advance in turn: `progress` itself unless it is
    True, when a bar of `total` cells is made here and closed at the end."""
    if progress is not True:
        yield progress
        return
    with _tqdm()(total=total, unit="target", desc="kriging", file=sys.stderr,
                 mininterval=0.1, unit_scale=True) as bar:
        yield bar


def attributes(settings: dict[str, Any]) -> dict[str, Any]:
    """Dataset attributes describing the kriging: model, parameters, kind, neighbourhood.

    Only numbers and strings, so that NetCDF and GeoTIFF writers keep them; options that were
    not given are left out rather than written as None.
    """
    model = settings["model"]
    attrs: dict[str, Any] = {"model": model.model}
    attrs.update({f"model_{name}": float(value) for name, value in model.parameters.items()})
    attrs["kind"] = settings["kind"]
    for name in ("mean", "drift", "max_distance", "anisotropy", "block", "unit"):
        if settings.get(name) is not None:
            value = settings[name]
            attrs[name] = list(map(float, value)) if isinstance(value, (tuple, list)) else value
    attrs["neighbours"] = "all" if settings["neighbours"] is None else int(settings["neighbours"])
    attrs["min_neighbours"] = int(settings["min_neighbours"])
    attrs["gtype"] = settings["gtype"]
    return attrs


def dataset(variables: dict[str, Any], coords: dict[str, Any], settings: dict[str, Any],
            crs: Any) -> Any:
    xarray = _geo.require("xarray", purpose="a kriged grid")
    try:
        # Registers the `rio` accessor, so that ds.rio.crs and ds.rio.to_raster work at once.
        import rioxarray  # noqa: F401
    except ModuleNotFoundError as error:
        if error.name != "rioxarray":
            raise
    result = xarray.Dataset(variables, coords=coords, attrs=attributes(settings))
    result["estimate"].attrs["long_name"] = "kriging estimate"
    result["variance"].attrs["long_name"] = "kriging variance"
    return _geo.write_crs(result, crs)


def grid(kriging: Any, x: Any, y: Any, *, block: Optional[tuple[float, float]],
         chunks: Any, progress: Any) -> Any:
    """The xarray Dataset of `Kriging.grid`, kriged in memory or lazily on Dask."""
    if kriging._dimensions != 2:
        raise ValueError(f"grid needs 2-D samples; these have {kriging._dimensions} coordinate(s)")
    xs, ys = axis(x, "x"), axis(y, "y")
    settings = {**kriging._settings, "block": None if block is None else tuple(block)}
    coords = {"y": ("y", ys), "x": ("x", xs)}
    check_progress(progress)
    if chunks is not None:
        if progress is not False:
            raise ValueError(
                "progress is for grids kriged in memory; with chunks the Dataset is lazy: "
                "follow its computation with dask.diagnostics.ProgressBar or "
                "distributed.progress"
            )
        from . import dask as _dask

        estimate, variance = _dask.grid_arrays(kriging, xs, ys, chunks=chunks, block=block)
    else:
        _geo.require("xarray", purpose="a kriged grid")  # before the work, not after it
        estimate = np.empty((ys.size, xs.size))
        variance = np.empty((ys.size, xs.size))
        rows = max(1, BAND_CELLS // xs.size)
        with _one_bar(progress, xs.size * ys.size) as bar:
            for start in range(0, ys.size, rows):
                band = slice(start, start + rows)
                found = kriging.predict(cell_targets(xs, ys[band]), block=block, progress=bar)
                estimate[band] = found.estimate.reshape(-1, xs.size)
                variance[band] = found.variance.reshape(-1, xs.size)
    variables = {"estimate": (("y", "x"), estimate), "variance": (("y", "x"), variance)}
    return dataset(variables, coords, settings, kriging._crs)


def predict_xarray(kriging: Any, targets: Any, **options: Any) -> Any:
    """`Kriging.predict` at the x/y (or lon/lat) coordinates of a DataArray or Dataset."""
    x, y, points = _geo.xarray_targets(targets, kriging._crs)
    found = kriging.predict(points, **options)
    dims, shape = x.dims, x.shape
    variables = {
        "estimate": (dims, np.array(found.estimate).reshape(shape)),
        "variance": (dims, np.array(found.variance).reshape(shape)),
        "neighbours": (dims, np.array(found.neighbours).reshape(shape)),
    }
    coords = {name: coord for name, coord in targets.coords.items()
              if set(coord.dims) <= set(dims) and name != "spatial_ref"}
    settings = {**kriging._settings, "block": options.get("block")}
    return dataset(variables, coords, settings, kriging._crs)
