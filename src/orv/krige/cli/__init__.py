"""orv-variogram: the experimental semivariogram of the samples in a CSV file, and a model fit.

Reads two coordinate columns and one value column, computes the semivariogram with
`orv.krige.variogram` (maximum lag, chosen classes, estimator, directional selection), fits a
model on request and writes edges, lags, semivariance, pair counts and the fit with its
standard errors as text, JSON or CSV, and a PNG plot with the pair counts on request.
``--classic`` runs the earlier computation (`init_variogram_model`, with --angle and --scale).
Bad input ends the program with one line on standard error and exit status 1, a bad command
line with status 2, never with a traceback.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from .. import __version__, variogram
from .._csv import InputError, quote
from .._fit import FittedVariogram
from .._models import MODELS, model_name
from .._table import class_table
from .._result import ExperimentalVariogram
from . import classic
from ._common import (
    MAX_LAGS,
    PROG,
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


def _positive(text: str) -> float:
    number = finite_float(text)
    if number <= 0.0:
        raise argparse.ArgumentTypeError(f"must be positive, got {quote(text)}")
    return number


def _tolerance(text: str) -> float:
    number = finite_float(text)
    if not 0.0 < number <= 90.0:
        raise argparse.ArgumentTypeError(f"must be from above 0 to 90 degrees, got {quote(text)}")
    return number


def _edges(text: str) -> list[float]:
    cells = [cell.strip() for cell in text.split(",")]
    edges = [finite_float(cell) for cell in cells]
    if len(edges) < 2:
        raise argparse.ArgumentTypeError("needs at least two edges, e.g. 0,100,250")
    if edges[0] < 0.0:
        raise argparse.ArgumentTypeError(f"edges must not be negative, got {quote(cells[0])}")
    if any(b <= a for a, b in zip(edges, edges[1:])):
        raise argparse.ArgumentTypeError("edges must be strictly ascending")
    return edges


def _model(text: str) -> str:
    try:
        return model_name(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"unknown model {quote(text)}; choose one of {', '.join(MODELS)} (any case)"
        ) from None


def _nugget(text: str) -> bool | float:
    choices = {"free": True, "zero": False}
    if text.lower() in choices:
        return choices[text.lower()]
    number = finite_float(text)
    if number < 0.0:
        raise argparse.ArgumentTypeError(f"a fixed nugget must be >= 0, got {quote(text)}")
    return number


def _delimiter(text: str) -> str:
    character = "\t" if text in ("\\t", "tab") else text
    if len(character) != 1 or character in "\r\n\"":
        raise argparse.ArgumentTypeError(
            f"must be one character other than a quote or line end ('\\t' or 'tab' for a tab), "
            f"got {quote(text)}"
        )
    return character


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Experimental semivariogram of the samples in a CSV file with a header row, "
                    "and a fitted variogram model.",
        epilog="--classic runs the earlier computation (init_variogram_model) with the earlier "
               "options; see 'orv-variogram --classic --help'.",
    )
    add = parser.add_argument
    add("file", help="CSV file with a header row ('-' reads standard input)")
    add("--value", required=True, metavar="COLUMN", help="sample value column")
    add("--x", default="x", metavar="COLUMN",
        help="first coordinate column; the longitude for GEOGCS (default: x)")
    add("--y", default="y", metavar="COLUMN",
        help="second coordinate column; the latitude for GEOGCS (default: y)")
    add("--log", action="store_true",
        help="use the natural logarithm of the values (they must be positive)")
    add("--gtype", choices=("PROJCS", "GEOGCS"), default="PROJCS",
        help="PROJCS: planar coordinates, Euclidean distances in their unit; GEOGCS: "
             "longitude/latitude in degrees, great-circle km (default: PROJCS)")
    classes = parser.add_mutually_exclusive_group()
    classes.add_argument("--lags", type=lag_count, metavar="N",
                         help=f"number of equal-width classes from 0 to the maximum lag, "
                              f"1 to {MAX_LAGS} (default: 15)")
    classes.add_argument("--bins", type=_edges, metavar="E1,E2,...",
                         help="the class edges, ascending, comma-separated")
    add("--max-lag", type=_positive, metavar="D",
        help="largest distance counted (default: a third of the data's extent); not with --bins")
    add("--estimator", choices=("matheron", "cressie"), default="matheron",
        help="matheron (mean of half squared differences, default) or cressie (Cressie-Hawkins)")
    add("--direction", type=finite_float, metavar="DEG",
        help="only pairs along this direction, degrees counter-clockwise from the first axis "
             "(PROJCS only)")
    add("--tolerance", type=_tolerance, metavar="DEG",
        help="with --direction: largest angle from it, 0 < DEG <= 90 (default: 22.5)")
    add("--bandwidth", type=_positive, metavar="D",
        help="with --direction: largest distance of a pair's separation from the direction line")
    add("--nan-policy", choices=("raise", "omit"), default="raise",
        help="samples with a missing value or coordinate: refuse them (default) or leave them out")
    add("--delimiter", type=_delimiter, default=",", metavar="C",
        help="cell separator, one character (default: ','; '\\t' or 'tab' for a tab)")
    add("--na", action="append", default=[], metavar="TOKEN",
        help="a cell text that marks a missing value (repeatable; e.g. --na NA --na '')")
    add("--model", type=_model, metavar="MODEL",
        help=f"fit this model: {', '.join(MODELS)} (any case)")
    add("--weights", choices=("counts", "cressie", "none"), default=None,
        help="with --model: weights of the classes (default: counts)")
    add("--nugget", type=_nugget, default=None, metavar="free|zero|VALUE",
        help="with --model: fit the nugget (free, default), fix it at zero or at VALUE")
    add("--fit-max-lag", type=_positive, metavar="D",
        help="with --model: fit only the classes whose mean lag is at most D")
    add("--unit", metavar="NAME", help="name of the projected coordinates' unit, for labels")
    add("--format", choices=("text", "json", "csv"), default="text",
        help="output format (default: text)")
    add("--plot", metavar="PNG", help="also write a PNG plot with the pair counts to this path")
    add("--classic", action="store_true",
        help="run the earlier computation (init_variogram_model) with its options "
             "(--angle, --scale, --fit-cutoff, ...)")
    add("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _check_options(args: argparse.Namespace) -> None:
    """Combinations that argparse cannot see: each is a bad command line."""
    check_columns(args)
    if args.max_lag is not None and args.bins is not None:
        raise UsageError("argument --max-lag: not allowed with --bins (the last edge is the "
                         "maximum lag)")
    if args.direction is None:
        for option in ("tolerance", "bandwidth"):
            if getattr(args, option) is not None:
                raise UsageError(f"argument --{option}: needs --direction")
    elif args.gtype != "PROJCS":
        raise UsageError("argument --direction: for PROJCS only")
    if args.model is None:
        for option in ("weights", "nugget", "fit_max_lag"):
            if getattr(args, option) is not None:
                raise UsageError(f"argument --{option.replace('_', '-')}: needs --model")
    if args.unit is not None and args.gtype == "GEOGCS":
        raise UsageError("argument --unit: for PROJCS only; GEOGCS lags are in km")


def _noting_warnings(function: Any, *arguments: Any, **options: Any) -> Any:
    """`function`'s result; each RuntimeWarning it gives becomes a note on standard error."""
    return noting_warnings(PROG, function, *arguments, **options)


def compute(args: argparse.Namespace) -> tuple[ExperimentalVariogram, FittedVariogram | None]:
    points, values = load(args, delimiter=args.delimiter, na=args.na)
    result = _noting_warnings(
        variogram, points, values,
        args.bins if args.bins is not None else (args.lags or 15),
        max_lag=args.max_lag, gtype=args.gtype, estimator=args.estimator,
        direction=args.direction,
        tolerance=22.5 if args.tolerance is None else args.tolerance,
        bandwidth=args.bandwidth, nan_policy=args.nan_policy,
    )
    if not np.any(result.counts):
        raise InputError(
            f"no distance class holds a pair: no two samples are within {result.max_lag:g} "
            "of each other in the selected directions; give a larger --max-lag or other --bins"
        )
    if args.model is None:
        return result, None
    weights = None if args.weights == "none" else (args.weights or "counts")
    try:
        fitted = _noting_warnings(result.fit, args.model, weights=weights,
                                  nugget=True if args.nugget is None else args.nugget,
                                  max_lag=args.fit_max_lag)
    except ValueError as exc:
        raise InputError(f"--model {args.model}: {exc}") from None
    return result, fitted


def _number(value: float) -> float | None:
    # JSON has no NaN or infinity: an empty class is null, an overflowed one null and listed.
    return float(value) if math.isfinite(value) else None


def _fit_document(fitted: FittedVariogram) -> dict[str, Any]:
    return {
        "model": fitted.model,
        "parameters": fitted.parameters,
        "stderr": {name: _number(value) for name, value in fitted.stderr.items()},
        "r2": _number(fitted.r2),
        "rmse": fitted.rmse,
        "n_lags": fitted.n_lags,
        "weights": fitted.weights,
        "max_lag": fitted.max_lag,
        "at_bound": list(fitted.at_bound),
        "extrapolated": fitted.extrapolated,
    }


def as_json(args: argparse.Namespace, result: ExperimentalVariogram,
            fitted: FittedVariogram | None, unit: str) -> str:
    document = {
        "value": f"ln({args.value})" if args.log else args.value,
        "gtype": result.gtype,
        "estimator": result.estimator,
        # As the API has it: None where the unit is that of the coordinates, unnamed.
        "unit": result.unit if result.gtype == "GEOGCS" else args.unit,
        "samples": result.n_samples,
        "max_lag": result.max_lag,
        "direction": result.direction,
        "tolerance": None if result.direction is None else result.tolerance,
        "bandwidth": result.bandwidth,
        "edges": result.edges.tolist(),
        "lags": [_number(v) for v in result.lags],
        "semivariance": [_number(v) for v in result.semivariance],
        "overflowed": np.flatnonzero(np.isinf(result.semivariance)).tolist(),
        "counts": result.counts.tolist(),
        "fit": None if fitted is None else _fit_document(fitted),
    }
    return json.dumps(document, indent=2, allow_nan=False)


def _cell(value: float) -> str:
    return "" if math.isnan(value) else repr(float(value))


def as_csv(args: argparse.Namespace, result: ExperimentalVariogram,
           fitted: FittedVariogram | None, unit: str) -> str:
    lines = ["lower,upper,lag,semivariance,count"]
    for lower, upper, lag, gamma, count in zip(result.edges[:-1], result.edges[1:], result.lags,
                                               result.semivariance, result.counts):
        lines.append(f"{_cell(lower)},{_cell(upper)},{_cell(lag)},{_cell(gamma)},{count}")
    if fitted is not None:
        # The fit follows as comment lines, which CSV readers skip when told to (comment="#").
        lines += [f"# model,{fitted.model}", f"# weights,{fitted.weights}",
                  f"# n_lags,{fitted.n_lags}", f"# r2,{_cell(fitted.r2)}",
                  f"# rmse,{_cell(fitted.rmse)}", "# parameter,value,stderr"]
        lines += [f"# {name},{_cell(value)},{_cell(fitted.stderr[name])}"
                  for name, value in fitted.parameters.items()]
    return "\n".join(lines)


def describe_fit(fitted: FittedVariogram) -> str:
    values = ", ".join(f"{name} = {value:.6g} " + ("at its bound" if name in fitted.at_bound
                                                    else f"± {fitted.stderr[name]:.3g}")
                       for name, value in fitted.parameters.items())
    return (f"# fitted {fitted.model} model ({fitted.n_lags} classes, weights "
            f"{fitted.weights}): {values}; r2 = {fitted.r2:.4f}, rmse = {fitted.rmse:.4g}")


def as_text(args: argparse.Namespace, result: ExperimentalVariogram,
            fitted: FittedVariogram | None, unit: str) -> str:
    value = f"ln({args.value})" if args.log else args.value
    selection = "all directions" if result.direction is None else (
        f"direction {result.direction:g}° ± {result.tolerance:g}°"
        + ("" if result.bandwidth is None else f", bandwidth {result.bandwidth:g}"))
    filled = int(np.count_nonzero(result.counts))
    lines = [f"# {value}: {result.n_samples} samples, {result.gtype}, {result.estimator}, "
             f"{selection}; {filled} of {result.counts.size} classes up to "
             f"{result.max_lag:g} {unit} hold pairs",
             class_table(result.edges, result.lags, result.semivariance, result.counts)]
    if fitted is not None:
        lines.append(describe_fit(fitted))
    return "\n".join(lines)


def _plot(args: argparse.Namespace, result: ExperimentalVariogram,
          fitted: FittedVariogram | None, unit: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 5.5), layout="constrained")
    FigureCanvasAgg(figure)
    axes = result.plot(figure.add_subplot(), model=fitted, unit=unit)
    value = f"ln({args.value})" if args.log else args.value
    axes.set_ylabel(f"semivariance of {value}")
    axes.set_title(f"{args.file}: {value}, {result.gtype}")
    try:
        figure.savefig(args.plot, format="png", dpi=120)
    except OSError as exc:
        raise InputError(f"cannot write {args.plot}: {exc.strerror or exc}") from None


RENDER = {"text": as_text, "json": as_json, "csv": as_csv}


def run(args: argparse.Namespace) -> str:
    """Computes everything the command line asks for and returns the text for stdout."""
    if args.plot is not None:
        require_matplotlib()
    result, fitted = compute(args)
    unit = "km" if result.gtype == "GEOGCS" else (args.unit or "coordinate units")
    if args.plot is not None:
        _plot(args, result, fitted, unit)
    return RENDER[args.format](args, result, fitted, unit)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    # After "--" every argument is a file name, "--classic" too.
    options = arguments[:arguments.index("--")] if "--" in arguments else arguments
    if "--classic" in options:
        position = arguments.index("--classic")
        return classic.main(arguments[:position] + arguments[position + 1:])

    def parse() -> argparse.Namespace:
        args = build_parser().parse_args(arguments)
        _check_options(args)
        return args

    return run_command(parse, run, (InputError, ValueError),
                               "not enough memory for the pairs of these samples in these classes; "
                               "fewer samples or fewer classes (--lags, --bins) need less")

