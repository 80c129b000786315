"""orv-variogram --classic: the experimental semivariogram of `init_variogram_model`.

Reads two coordinate columns and one value column, computes the semivariogram with the native
core and writes the table of (lag, semivariance) to standard output as text or JSON, and a PNG
plot on request. Bad input, and output that cannot be written, end the program with one line on
standard error and exit status 1 (2 for a bad command line), never with a traceback; a reader
that goes away (`| head`) ends it quietly with status 1.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..._algos.spmis.krige import core, error
from .._classic_workflow import (
    GTYPES,
    FittedModel,
    Series,
    fit_model,
    format_table,
    plot_semivariograms,
    semivariogram,
)
from .._csv import InputError
from ._common import (
    MAX_LAGS,
    PROG,
    Parser,
    check_columns,
    finite_float,
    lag_count,
    load,
    require_matplotlib,
    run_command,
)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Experimental semivariogram of the samples in a CSV file with a header row.",
    )
    parser.add_argument("file", help="CSV file with a header row ('-' reads standard input)")
    parser.add_argument("--x", default="x", metavar="COLUMN",
                        help="first coordinate column; the longitude for GEOGCS (default: x)")
    parser.add_argument("--y", default="y", metavar="COLUMN",
                        help="second coordinate column; the latitude for GEOGCS (default: y)")
    parser.add_argument("--value", required=True, metavar="COLUMN", help="sample value column")
    parser.add_argument("--log", action="store_true",
                        help="use the natural logarithm of the values (they must be positive)")
    parser.add_argument("--lags", type=lag_count, default=15,
                        help=f"number of equal-width distance classes, at most {MAX_LAGS} "
                             "(default: 15)")
    parser.add_argument("--gtype", choices=GTYPES, default="PROJCS",
                        help="PROJCS: planar coordinates, Euclidean distances in their unit; "
                             "GEOGCS: longitude/latitude in degrees, great-circle km "
                             "(default: PROJCS)")
    parser.add_argument("--angle", type=finite_float, metavar="DEGREES",
                        help="anisotropy: direction of greatest continuity, counter-clockwise "
                             "from the first axis (PROJCS only)")
    parser.add_argument("--scale", type=finite_float,
                        help="anisotropy: stretch across that direction, the ratio of the "
                             "major to the minor range (PROJCS only)")
    parser.add_argument("--unit", default="coordinate units",
                        help="name of the projected coordinates' unit, for labels (PROJCS only)")
    # The classic module knows the models of its own table only.
    parser.add_argument("--model", choices=list(core.DEFAULT_PARAMETERS),
                        help="fit this variogram model by least squares and report it")
    parser.add_argument("--fit-cutoff", type=finite_float, metavar="DISTANCE",
                        help="fit only the lags up to this distance "
                             "(default: half the largest lag)")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="output format (default: text)")
    parser.add_argument("--plot", metavar="PNG", help="also write a PNG plot to this path")
    return parser


def _anisotropy(args: argparse.Namespace) -> tuple[float, float] | None:
    if args.angle is None and args.scale is None:
        return None
    return (0.0 if args.angle is None else args.angle, 1.0 if args.scale is None else args.scale)


def _as_json(args: argparse.Namespace, n_samples: int, lag_unit: str,
             lags: np.ndarray, gamma: np.ndarray, fitted: FittedModel | None) -> str:
    anisotropy = _anisotropy(args)
    document: dict[str, Any] = {
        "value": args.value,
        "log": args.log,
        "gtype": args.gtype,
        "samples": n_samples,
        "lags_requested": args.lags,
        "lag_unit": lag_unit,
        "anisotropy": None if anisotropy is None
        else {"angle_degrees": anisotropy[0], "scale": anisotropy[1]},
        "lags": lags.tolist(),
        "semivariance": gamma.tolist(),
        "model": None if fitted is None
        else {"name": fitted.name, "parameters": fitted.parameters, "cutoff": fitted.cutoff},
    }
    return json.dumps(document, indent=2, allow_nan=False)


def _as_text(args: argparse.Namespace, n_samples: int, lag_unit: str,
             lags: np.ndarray, gamma: np.ndarray, fitted: FittedModel | None) -> str:
    value = f"ln({args.value})" if args.log else args.value
    lines = [f"# {value}: {n_samples} samples, {args.gtype}, "
             f"{lags.size} of {args.lags} distance classes hold pairs"]
    anisotropy = _anisotropy(args)
    if anisotropy is not None:
        lines.append(f"# anisotropy: angle {anisotropy[0]:g} degrees, scale {anisotropy[1]:g}")
    lines.append(format_table(lags, gamma, lag_unit))
    if fitted is not None:
        values = ", ".join(f"{k} = {v:.6g}" for k, v in fitted.parameters.items())
        lines.append(f"# fitted {fitted.name} model (lags up to {fitted.cutoff:.6g}): {values}")
    return "\n".join(lines)


def run(args: argparse.Namespace) -> str:
    """Computes everything the command line asks for and returns the text for stdout."""
    if args.gtype == "GEOGCS" and args.unit != "coordinate units":
        raise InputError("--unit applies to PROJCS only; GEOGCS lags are in km")
    lag_unit = "km" if args.gtype == "GEOGCS" else args.unit
    if args.plot is not None:
        require_matplotlib()
    points, values = load(args)
    lags, gamma = semivariogram(points, values, args.lags, args.gtype, _anisotropy(args))
    if args.fit_cutoff is not None and args.fit_cutoff <= 0.0:
        raise InputError("--fit-cutoff must be positive")
    fitted = None if args.model is None else fit_model(args.model, lags, gamma, args.fit_cutoff)
    if args.plot is not None:
        value = f"ln({args.value})" if args.log else args.value
        try:
            plot_semivariograms(
                args.plot,
                [Series(f"experimental ({lags.size} classes)", lags, gamma, fitted)],
                xlabel=f"lag distance ({lag_unit})",
                ylabel=f"semivariance of {value}",
                title=f"{args.file}: {value}, {args.gtype}",
            )
        except OSError as exc:
            raise InputError(f"cannot write {args.plot}: {exc.strerror or exc}") from None
    render = _as_json if args.format == "json" else _as_text
    return render(args, len(values), lag_unit, lags, gamma, fitted)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""

    def parse() -> argparse.Namespace:
        args = build_parser().parse_args(argv)
        check_columns(args)
        return args

    # Where the streaming engine steps aside, the pairs are held in memory.
    return run_command(parse, run, (InputError, error.ORVError),
                       "not enough memory for the pairs of this many samples")

