"""Samples and targets given as GeoPandas points or xarray coordinates, with their CRS.

Every public entry point that takes `points` passes them through `samples` first: plain
array-likes come back unchanged, GeoSeries and GeoDataFrames of points become an N x d array
with the coordinate type and unit their CRS implies. The CRS rides along on what is built
from the samples, so that targets in another CRS are refused (nothing is reprojected behind
the caller's back) and grids carry it the way rioxarray reads it.
"""
from __future__ import annotations

import dataclasses
import importlib
import sys
from typing import Any, NamedTuple, Optional

import numpy as np

#: Short names of the usual linear units, as the results' `unit` gives them.
_UNIT_NAMES = {"metre": "m", "kilometre": "km", "foot": "ft", "US survey foot": "ftUS"}


def require(module: str, extra: str = "geo", purpose: str = "") -> Any:
    """`module` imported, or an ImportError that names the extra to install."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        if error.name is None or error.name.split(".")[0] != module.split(".")[0]:
            raise
        need = f"{purpose} needs {module}" if purpose else f"this needs {module}"
        raise ImportError(f'{need}; install it with: pip install "orv-krige[{extra}]"') from error


def _is(value: object, module: str, names: tuple[str, ...]) -> bool:
    # A module that was never imported cannot have made the value: no import is needed to tell.
    loaded = sys.modules.get(module)
    return loaded is not None and isinstance(value, tuple(getattr(loaded, n) for n in names))


def is_geopandas(value: object) -> bool:
    return _is(value, "geopandas", ("GeoSeries", "GeoDataFrame"))


def is_xarray(value: object) -> bool:
    return _is(value, "xarray", ("DataArray", "Dataset"))


class Samples(NamedTuple):
    """Points and values as the array front ends take them, and what the CRS implies."""

    points: Any
    values: Any
    gtype: str
    unit: Optional[str]  # the CRS's linear unit for PROJCS, "km" for GEOGCS, else None
    crs: Any  # a pyproj.CRS or None


def gtype_of(crs: Any, gtype: Optional[str], name: str = "points") -> str:
    """The coordinate type that `crs` implies; a given `gtype` that contradicts it is refused."""
    if crs is None:
        return "PROJCS" if gtype is None else gtype
    implied = "GEOGCS" if crs.is_geographic else "PROJCS"
    if gtype is not None and gtype != implied:
        kind = "geographic" if implied == "GEOGCS" else "projected"
        raise ValueError(
            f"gtype={gtype!r} contradicts the {kind} CRS of {name} ({crs.name}, which means "
            f"gtype={implied!r}); leave gtype out to take it from the CRS"
        )
    return implied


def linear_unit(crs: Any) -> Optional[str]:
    """The CRS's linear unit (its first axis's), in short form where it has one."""
    axes = crs.axis_info
    if not axes:
        return None
    name = axes[0].unit_name
    return _UNIT_NAMES.get(name, name)


def _coordinates(series: Any, crs: Any, name: str) -> np.ndarray:
    """N x d coordinates of a GeoSeries of points; NaN for empty or missing geometries."""
    kinds = series.geom_type
    present = kinds.notna().to_numpy() & ~series.is_empty.to_numpy()
    wrong = present & (kinds.to_numpy() != "Point")
    if wrong.any():
        found = sorted(set(kinds[wrong]))
        raise ValueError(
            f"{name} must hold Point geometries; got {int(np.count_nonzero(wrong))} "
            f"{'/'.join(found)} geometr{'y' if wrong.sum() == 1 else 'ies'}, the first at "
            f"position {int(np.argmax(wrong))}: pass {name}.centroid (or "
            f"representative_point()) for one point per geometry"
        )
    x = np.where(present, series.x.to_numpy(dtype=np.float64, na_value=np.nan), np.nan)
    y = np.where(present, series.y.to_numpy(dtype=np.float64, na_value=np.nan), np.nan)
    if crs is not None and crs.is_geographic:
        # GeoPandas (and Shapely) keep x = longitude, y = latitude whatever axis order the CRS
        # declares (EPSG:4326 declares latitude first), so the columns are taken as they are;
        # only their angular unit is converted to degrees.
        factors = [axis.unit_conversion_factor for axis in crs.axis_info[:2]]
        degrees = np.degrees(1.0)
        if any(abs(f * degrees - 1.0) > 1e-12 for f in factors):
            # Both axes share the unit in every geographic CRS.
            x, y = x * factors[0] * degrees, y * factors[0] * degrees
        return np.column_stack([x, y])
    if present.any() and series[present].has_z.all():
        z = np.where(present, series.z.to_numpy(dtype=np.float64, na_value=np.nan), np.nan)
        return np.column_stack([x, y, z])
    return np.column_stack([x, y])


def samples(points: Any, values: Any, gtype: Optional[str]) -> Samples:
    """`points` and `values` as the array front ends take them, with gtype, unit and CRS.

    A GeoSeries or GeoDataFrame of points gives its coordinates and its CRS; `values` may then
    name a column of the GeoDataFrame. Anything else passes unchanged with no CRS, and a
    `gtype` of None means PROJCS.
    """
    if not is_geopandas(points):
        if isinstance(values, str):
            raise TypeError(
                "values may name a column only when points is a GeoDataFrame; got "
                f"points of type {type(points).__name__}"
            )
        return Samples(points, values, "PROJCS" if gtype is None else gtype, None, None)
    geopandas = sys.modules["geopandas"]
    if isinstance(values, str):
        if not isinstance(points, geopandas.GeoDataFrame):
            raise TypeError("values may name a column only when points is a GeoDataFrame")
        if values not in points.columns:
            raise ValueError(
                f"values={values!r} is not a column of points; its columns are "
                f"{', '.join(map(str, points.columns))}"
            )
        values = points[values]
    series = points.geometry if isinstance(points, geopandas.GeoDataFrame) else points
    crs = series.crs
    chosen = gtype_of(crs, gtype)
    coordinates = _coordinates(series, crs, "points")
    if hasattr(values, "to_numpy") and hasattr(values, "index"):
        values = values.to_numpy()
    unit = None if crs is None else ("km" if chosen == "GEOGCS" else linear_unit(crs))
    return Samples(coordinates, values, chosen, unit, crs)


def _crs_of_xarray(value: Any) -> Any:
    """The CRS a DataArray or Dataset carries in the grid-mapping coordinate, or None."""
    names = [v.attrs.get("grid_mapping") for v in getattr(value, "data_vars", {}).values()]
    names += [value.attrs.get("grid_mapping"), "spatial_ref", "crs"]
    for name in names:
        if name and name in value.coords:
            attrs = value.coords[name].attrs
            wkt = attrs.get("crs_wkt") or attrs.get("spatial_ref")
            if wkt:
                return require("pyproj", purpose="reading the CRS of xarray targets").CRS(wkt)
    return None


def check_same_crs(samples_crs: Any, targets_crs: Any) -> None:
    """Targets must be in the samples' CRS: the two are compared, never reprojected."""
    if samples_crs is None or targets_crs is None or samples_crs == targets_crs:
        return
    raise ValueError(
        f"targets are in another CRS ({targets_crs.name}) than the samples ({samples_crs.name}); "
        f"reproject them first, e.g. targets.to_crs(...) or rio.reproject(...)"
    )


def geopandas_targets(targets: Any, samples_crs: Any) -> np.ndarray:
    """The coordinates of a GeoSeries or GeoDataFrame of target points, CRS checked."""
    geopandas = sys.modules["geopandas"]
    series = targets.geometry if isinstance(targets, geopandas.GeoDataFrame) else targets
    check_same_crs(samples_crs, series.crs)
    return _coordinates(series, series.crs, "targets")


#: Names of the coordinates that hold targets in an xarray object, in the order tried.
XARRAY_AXES = (("x", "y"), ("lon", "lat"), ("longitude", "latitude"))


def xarray_targets(targets: Any, samples_crs: Any) -> tuple[Any, Any, np.ndarray]:
    """The x and y coordinates of an xarray object broadcast against each other, and the
    targets they make (x varying fastest along the last dimension)."""
    xarray = sys.modules["xarray"]
    for x_name, y_name in XARRAY_AXES:
        if x_name in targets.coords and y_name in targets.coords:
            break
    else:
        raise ValueError(
            "targets given as xarray must have coordinates x and y (or lon and lat); got "
            f"{', '.join(map(str, targets.coords)) or 'none'}"
        )
    check_same_crs(samples_crs, _crs_of_xarray(targets))
    y, x = xarray.broadcast(targets.coords[y_name].reset_coords(drop=True),
                            targets.coords[x_name].reset_coords(drop=True))
    order = [d for d in targets.dims if d in x.dims]
    x, y = x.transpose(*order), y.transpose(*order)
    points = np.column_stack([np.asarray(x.values, dtype=np.float64).ravel(),
                              np.asarray(y.values, dtype=np.float64).ravel()])
    return x, y, points


def write_crs(dataset: Any, crs: Any) -> Any:
    """`dataset` with `crs` in a `spatial_ref` coordinate, as rioxarray writes and reads it
    (CF grid-mapping attributes with the WKT), named by each variable's `grid_mapping`."""
    if crs is None:
        return dataset
    attrs = dict(crs.to_cf())
    attrs["spatial_ref"] = crs.to_wkt()
    dataset = dataset.assign_coords(spatial_ref=((), np.int64(0), attrs))
    for variable in dataset.data_vars.values():
        variable.attrs["grid_mapping"] = "spatial_ref"
    return dataset


def with_unit(result: Any, unit: Optional[str]) -> Any:
    """An ExperimentalVariogram with the projected CRS's unit, which the engine cannot know."""
    if unit is None or result.unit is not None:
        return result

    return dataclasses.replace(result, unit=unit)
