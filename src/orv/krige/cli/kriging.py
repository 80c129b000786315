"""orv-krige: a kriged map of the samples in a CSV file (or a GeoPackage or shapefile).

Reads two coordinate columns (or point geometries) and one value column, fits a variogram
model or takes one as given, krigs a grid of cells (from a cell size and a bounding box, or
from a template GeoTIFF) and writes the estimate and the kriging variance as a two-band
GeoTIFF with the CRS, as NetCDF or as CSV. On request it prints the leave-one-out summary and
draws the map and the variance side by side with the samples. Bad input ends the program with
one line on standard error and exit status 1, a bad command line with status 2.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from .. import Kriging, VariogramModel, __version__, variogram
from .. import _geo
from .._csv import InputError, quote
from .._models import MODELS
from .._model import BOUNDED
from . import _model, _nugget, _positive, describe_fit
from ._common import (
    Parser,
    UsageError,
    check_columns,
    finite_float,
    lag_count,
    load,
    noting_warnings,
    require_matplotlib,
    run_command,
)

PROG = "orv-krige"
#: The most cells a grid may have: beyond it a slip of --cell (a missing digit) would run for
#: hours and fill the disk.
MAX_CELLS = 100_000_000
#: Output formats by file extension.
FORMATS = {".tif": "tif", ".tiff": "tif", ".nc": "nc", ".csv": "csv"}
#: Extensions read as vector files of point geometries (with GeoPandas).
VECTOR_FILES = (".gpkg", ".shp", ".geojson", ".json", ".fgb")


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not an integer") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {number}")
    return number


def _neighbours(text: str) -> int | None:
    return None if text == "all" else _count(text)


def _non_negative(text: str) -> float:
    number = finite_float(text)
    if number < 0.0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {quote(text)}")
    return number


def _bbox(text: str) -> tuple[float, float, float, float]:
    cells = [cell.strip() for cell in text.split(",")]
    if len(cells) != 4:
        raise argparse.ArgumentTypeError("needs four numbers XMIN,YMIN,XMAX,YMAX")
    xmin, ymin, xmax, ymax = (finite_float(cell) for cell in cells)
    if not (xmin < xmax and ymin < ymax):
        raise argparse.ArgumentTypeError("needs XMIN < XMAX and YMIN < YMAX")
    return xmin, ymin, xmax, ymax


def _crs(text: str) -> Any:
    try:
        pyproj = _geo.require("pyproj", purpose="--crs")
    except ImportError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    try:
        return pyproj.CRS.from_user_input(text)
    except pyproj.exceptions.CRSError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a CRS (e.g. EPSG:28992)") from None


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="A kriged map (estimate and kriging variance) of the samples in a CSV file "
                    "with a header row, or a GeoPackage or shapefile of points.",
    )
    add = parser.add_argument
    add("file", help="CSV file with a header row ('-' reads standard input), or a vector file "
                     f"of points ({', '.join(VECTOR_FILES)}; needs GeoPandas)")
    add("--value", required=True, metavar="COLUMN", help="sample value column")
    add("--x", default="x", metavar="COLUMN", help="first coordinate column of a CSV file "
                                                   "(default: x); the longitude for GEOGCS")
    add("--y", default="y", metavar="COLUMN", help="second coordinate column of a CSV file "
                                                   "(default: y); the latitude for GEOGCS")
    add("--log", action="store_true", help="krige the natural logarithm of the values")
    add("--gtype", choices=("PROJCS", "GEOGCS"), default=None,
        help="PROJCS (planar coordinates) or GEOGCS (longitude/latitude in degrees, distances "
             "in km); by default that of the CRS, else PROJCS")
    add("--crs", type=_crs, metavar="CRS",
        help="CRS of a CSV file's coordinates, e.g. EPSG:28992, written into the map")
    add("--model", type=_model, required=True, metavar="MODEL",
        help=f"the variogram model: {', '.join(MODELS)} (any case); fitted unless --psill "
             "and --range give it")
    add("--lags", type=lag_count, metavar="N", help="fit: classes of the semivariogram "
                                                    "(default: 15)")
    add("--max-lag", type=_positive, metavar="D",
        help="fit: largest distance of the semivariogram (default: a third of the extent)")
    add("--weights", choices=("counts", "cressie", "none"), default=None,
        help="fit: weights of the classes (default: counts)")
    add("--fit-max-lag", type=_positive, metavar="D", help="fit: only classes up to this lag")
    add("--nugget", type=_nugget, default=None, metavar="free|zero|VALUE",
        help="fit: fit the nugget (free, default), fix it at zero or at VALUE; with --psill "
             "and --range: the nugget, a VALUE (default 0)")
    add("--psill", type=_non_negative, metavar="V", help="the model's partial sill, not fitted")
    add("--range", type=_positive, metavar="D", help="the model's range, not fitted")
    add("--kind", choices=("simple", "ordinary", "universal"), default="ordinary",
        help="simple (with --mean), ordinary (default) or universal (with --drift) kriging")
    add("--mean", type=finite_float, metavar="M", help="the known mean of simple kriging")
    add("--drift", choices=("linear", "quadratic"), help="the drift of universal kriging")
    add("--neighbours", type=_neighbours, default=32, metavar="K|all",
        help="the K nearest samples of each cell (default: 32), or all (global, up to 10,000 "
             "samples)")
    add("--max-distance", type=_positive, metavar="D",
        help="only samples within this distance of a cell (km for GEOGCS)")
    add("--min-neighbours", type=_count, default=1, metavar="K",
        help="fewer usable samples leave a cell empty (default: 1)")
    grid = parser.add_mutually_exclusive_group(required=True)
    grid.add_argument("--cell", type=_positive, metavar="SIZE",
                      help="cells of this size, covering --bbox")
    grid.add_argument("--like", metavar="TIF",
                      help="the cells of this GeoTIFF (size, position, CRS; needs rasterio)")
    add("--bbox", type=_bbox, metavar="XMIN,YMIN,XMAX,YMAX",
        help="with --cell: the map's extent (default: the samples' bounding box)")
    add("--block", action="store_true", help="block kriging of the cell means (PROJCS)")
    add("--out", required=True, metavar="MAP",
        help="the map: .tif (two-band GeoTIFF, needs rioxarray), .nc (NetCDF, needs xarray) or "
             ".csv (x, y, estimate, variance)")
    add("--cv", action="store_true", help="also print the leave-one-out summary")
    add("--plot", metavar="PNG", help="also draw the map and the variance with the samples")
    add("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _check_options(args: argparse.Namespace) -> None:
    """Combinations that argparse cannot see: each is a bad command line."""
    check_columns(args)
    given = args.psill is not None, args.range is not None
    if any(given) and not all(given):
        raise UsageError("arguments --psill and --range: give both, or neither to fit the model")
    if all(given):
        if args.model not in BOUNDED:
            raise UsageError(f"argument --psill: the {args.model} model has no sill and range; "
                             "leave out --psill and --range to fit it")
        for option in ("lags", "max_lag", "weights", "fit_max_lag"):
            if getattr(args, option) is not None:
                raise UsageError(f"argument --{option.replace('_', '-')}: only when fitting, "
                                 "not with --psill and --range")
        if isinstance(args.nugget, bool):
            raise UsageError("argument --nugget: with --psill and --range, a VALUE")
    if args.bbox is not None and args.cell is None:
        raise UsageError("argument --bbox: needs --cell")
    if (args.mean is None) == (args.kind == "simple"):
        raise UsageError("argument --mean: needed for, and only for, --kind simple")
    if (args.drift is None) == (args.kind == "universal"):
        raise UsageError("argument --drift: needed for, and only for, --kind universal")
    extension = os.path.splitext(args.out)[1].lower()
    if extension not in FORMATS:
        raise UsageError(f"argument --out: {quote(args.out)} must end in .tif, .nc or .csv")
    args.format = FORMATS[extension]
    if _is_vector(args.file) and args.crs is not None:
        raise UsageError("argument --crs: for CSV files; a vector file carries its CRS")


def _is_vector(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in VECTOR_FILES


def _read_vector(args: argparse.Namespace) -> tuple[np.ndarray, np.ndarray, Any]:
    geopandas = _geo.require("geopandas", purpose=f"reading {os.path.basename(args.file)}")
    if not os.path.exists(args.file):
        raise FileNotFoundError(2, "No such file or directory")
    try:
        frame = geopandas.read_file(args.file)
    except (OSError, ValueError, RuntimeError) as exc:
        raise InputError(f"cannot read {args.file}: {str(exc).splitlines()[0]}") from None
    if args.value not in frame.columns:
        raise InputError(f"{args.file}: no column {quote(args.value)} (it has "
                         f"{', '.join(map(str, frame.columns))})")
    given = _geo.samples(frame, args.value, None)
    values = np.asarray(given.values, dtype=np.float64)
    if args.log:
        if np.count_nonzero(values <= 0.0):
            raise InputError(f"--log needs positive values; column {quote(args.value)} has "
                             f"{int(np.count_nonzero(values <= 0.0))} value(s) <= 0")
        values = np.log(values)
    return np.ascontiguousarray(given.points[:, :2]), values, given.crs


def _template(path: str) -> tuple[np.ndarray, np.ndarray, Any]:
    """The cell centres along x and y of a GeoTIFF, and its CRS."""
    rasterio = _geo.require("rasterio", purpose="--like")
    try:
        with rasterio.open(path) as raster:
            transform, width, height, crs = (raster.transform, raster.width, raster.height,
                                             raster.crs)
    except rasterio.errors.RasterioIOError as exc:
        raise InputError(f"--like {path}: {str(exc).splitlines()[0]}") from None
    if transform.b != 0.0 or transform.d != 0.0:
        raise InputError(f"--like {path}: a rotated grid; only grids along the axes are kriged")
    x = transform.c + (np.arange(width) + 0.5) * transform.a
    y = transform.f + (np.arange(height) + 0.5) * transform.e
    return x, y, None if crs is None else _geo.require("pyproj").CRS(crs.to_wkt())


def _cells(args: argparse.Namespace, points: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Cell centres from --cell and --bbox: columns from XMIN eastwards, rows from YMAX
    southwards (north up, as rasters are laid out)."""
    if args.bbox is None:
        (xmin, ymin), (xmax, ymax) = points.min(axis=0), points.max(axis=0)
    else:
        xmin, ymin, xmax, ymax = args.bbox
    size = args.cell
    counts = [max(1, math.ceil((high - low) / size)) for low, high in ((xmin, xmax), (ymin, ymax))]
    if counts[0] * counts[1] > MAX_CELLS:
        raise InputError(f"--cell {size:g} makes {counts[0]:,} x {counts[1]:,} cells, more than "
                         f"{MAX_CELLS:,}; give a larger --cell or a smaller --bbox")
    x = xmin + (np.arange(counts[0]) + 0.5) * size
    y = ymax - (np.arange(counts[1]) + 0.5) * size
    return x, y


def _model_of(args: argparse.Namespace, points: np.ndarray, values: np.ndarray, gtype: str):
    if args.psill is not None:
        nugget = 0.0 if args.nugget is None else float(args.nugget)
        return VariogramModel(args.model, {"PSill": args.psill, "Range": args.range,
                                           "Nugget": nugget})
    experimental = noting_warnings(PROG, variogram, points, values, args.lags or 15,
                                   max_lag=args.max_lag, gtype=gtype)
    weights = None if args.weights == "none" else (args.weights or "counts")
    try:
        return noting_warnings(PROG, experimental.fit, args.model, weights=weights,
                               nugget=True if args.nugget is None else args.nugget,
                               max_lag=args.fit_max_lag)
    except ValueError as exc:
        raise InputError(f"--model {args.model}: {exc}") from None


def _write(args: argparse.Namespace, dataset: Any) -> None:
    try:
        if args.format == "csv":
            _write_csv(args.out, dataset)
        elif args.format == "nc":
            dataset.to_netcdf(args.out)
        else:
            _geo.require("rioxarray", purpose="a GeoTIFF (--out .tif)")
            bands = dataset[["estimate", "variance"]]
            for name in ("estimate", "variance"):
                bands[name].rio.write_nodata(np.nan, encoded=False, inplace=True)
            bands.rio.to_raster(args.out)
    except OSError as exc:
        raise InputError(f"cannot write {args.out}: {exc.strerror or exc}") from None


def _write_csv(path: str, dataset: Any) -> None:
    x, y = dataset["x"].values, dataset["y"].values
    estimate, variance = dataset["estimate"].values, dataset["variance"].values

    def cell(value: float) -> str:
        return "" if math.isnan(value) else repr(float(value))

    with open(path, "w", encoding="utf-8", newline="") as stream:
        stream.write("x,y,estimate,variance\n")
        for row, y_value in enumerate(y):
            stream.writelines(
                f"{cell(x_value)},{cell(y_value)},{cell(e)},{cell(v)}\n"
                for x_value, e, v in zip(x, estimate[row], variance[row]))


def _plot(args: argparse.Namespace, dataset: Any, points: np.ndarray) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(12.0, 5.5), layout="constrained")
    FigureCanvasAgg(figure)
    x, y = dataset["x"].values, dataset["y"].values
    value = f"ln({args.value})" if args.log else args.value
    for axes, name, title in zip(figure.subplots(1, 2, sharex=True, sharey=True),
                                 ("estimate", "variance"),
                                 (f"kriged {value}", "kriging variance")):
        image = axes.pcolormesh(x, y, dataset[name].values, shading="nearest")
        figure.colorbar(image, ax=axes, shrink=0.8)
        axes.scatter(points[:, 0], points[:, 1], s=4, c="k", label="samples")
        axes.set(title=title, aspect="equal")
    figure.suptitle(f"{args.file}: {value}, {dataset.attrs['model']} model, "
                    f"{dataset.attrs['kind']} kriging")
    try:
        figure.savefig(args.plot, format="png", dpi=110)
    except OSError as exc:
        raise InputError(f"cannot write {args.plot}: {exc.strerror or exc}") from None


def run(args: argparse.Namespace) -> str:
    """Computes and writes the map; returns the summary for standard output."""
    if args.plot is not None:
        require_matplotlib()
    if args.format != "csv":
        _geo.require("xarray", purpose=f"--out {os.path.splitext(args.out)[1]}")
    if args.format == "tif":
        _geo.require("rioxarray", purpose="a GeoTIFF (--out .tif)")
    template = _template(args.like) if args.like is not None else None
    if _is_vector(args.file):
        points, values, crs = _read_vector(args)
    else:
        points, values = load(args)
        crs = args.crs
    if template is not None and template[2] is not None:
        if crs is None:
            crs = template[2]  # the template's cells are in the samples' frame: its CRS names it
        elif crs != template[2]:
            raise InputError(f"--like {args.like}: its CRS ({template[2].name}) is not that of "
                             f"the samples ({crs.name}); reproject one of them first")
    gtype = _geo.gtype_of(crs, args.gtype, "the samples")
    model = _model_of(args, points, values, gtype)
    kriging = noting_warnings(
        PROG, Kriging, points, values, model, kind=args.kind, mean=args.mean, drift=args.drift,
        neighbours=args.neighbours, min_neighbours=args.min_neighbours,
        max_distance=args.max_distance, gtype=gtype,
    )
    x, y = template[:2] if template is not None else _cells(args, points)
    block = (abs(float(x[1] - x[0])) if x.size > 1 else args.cell or 1.0,
             abs(float(y[1] - y[0])) if y.size > 1 else args.cell or 1.0) if args.block else None
    dataset = noting_warnings(PROG, _with_progress, kriging.grid, x, y, block=block)
    dataset = _geo.write_crs(dataset, crs) if "spatial_ref" not in dataset.coords else dataset
    _write(args, dataset)
    if args.plot is not None:
        _plot(args, dataset, points)
    value = f"ln({args.value})" if args.log else args.value
    filled = int(np.count_nonzero(np.isfinite(dataset["estimate"].values)))
    lines = [f"# {value}: {values.size} samples, {gtype}"
             + (f" ({crs.name})" if crs is not None else ""),
             describe_fit(model) if hasattr(model, "r2") else
             f"# {model.model} model as given: " + ", ".join(
                 f"{name} = {v:g}" for name, v in model.parameters.items()),
             f"# {args.kind} kriging, neighbours {args.neighbours or 'all'}"
             + (", block" if block else "") + f": {y.size} x {x.size} cells, {filled} "
             f"estimated, written to {args.out}"]
    if args.cv:
        validation = noting_warnings(PROG, _with_progress, kriging.cross_validate)
        lines.append("# leave-one-out\n" + repr(validation))
    return "\n".join(lines)


def _with_progress(call: Any, *arguments: Any, **options: Any) -> Any:
    """`call`'s result, with a progress bar when standard error is a terminal and tqdm is
    installed."""
    if sys.stderr is not None and sys.stderr.isatty():
        try:
            return call(*arguments, progress=True, **options)
        except ImportError:
            pass  # without tqdm the work is done without a bar
    return call(*arguments, **options)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)

    def parse() -> argparse.Namespace:
        args = build_parser().parse_args(arguments)
        _check_options(args)
        return args

    return run_command(parse, run, (InputError, ValueError, ImportError),
                       "not enough memory for this grid; a larger --cell or a smaller --bbox "
                       "needs less", prog=PROG)


if __name__ == "__main__":
    sys.exit(main())
