"""orv-variogram: the experimental semivariogram of the samples in a CSV file.

Reads two coordinate columns and one value column, computes the semivariogram with the native
core and writes the table of (lag, semivariance) to standard output as text or JSON, and a PNG
plot on request. Bad input, and output that cannot be written, end the program with one line on
standard error and exit status 1 (2 for a bad command line), never with a traceback; a reader
that goes away (`| head`) ends it quietly with status 1.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import IO, Any, NoReturn

import numpy as np

from . import core, error
from .workflow import (
    GTYPES,
    FittedModel,
    InputError,
    Series,
    fit_model,
    format_table,
    plot_semivariograms,
    quote,
    read_columns,
    semivariogram,
)

PROG = "orv-variogram"


class UsageError(Exception):
    """A command line that argparse refused."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse would print the whole usage text first; one line is enough.
        raise UsageError(message)


#: Each class costs two passes over all pairs, so the count is bounded to keep a typing slip
#: (an extra zero or three) from running for hours.
MAX_LAGS = 10_000


def _lag_count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not an integer") from None
    if not 1 <= number <= MAX_LAGS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_LAGS}, got {number}")
    return number


def _finite_float(text: str) -> float:
    try:
        number = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a number") from None
    if not np.isfinite(number):
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a finite number")
    return number


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
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
    parser.add_argument("--lags", type=_lag_count, default=15,
                        help=f"number of equal-width distance classes, at most {MAX_LAGS} "
                             "(default: 15)")
    parser.add_argument("--gtype", choices=GTYPES, default="PROJCS",
                        help="PROJCS: planar coordinates, Euclidean distances in their unit; "
                             "GEOGCS: longitude/latitude in degrees, great-circle km "
                             "(default: PROJCS)")
    parser.add_argument("--angle", type=_finite_float, metavar="DEGREES",
                        help="anisotropy: direction of greatest continuity, counter-clockwise "
                             "from the first axis (PROJCS only)")
    parser.add_argument("--scale", type=_finite_float,
                        help="anisotropy: stretch across that direction, the ratio of the "
                             "major to the minor range (PROJCS only)")
    parser.add_argument("--unit", default="coordinate units",
                        help="name of the projected coordinates' unit, for labels (PROJCS only)")
    parser.add_argument("--model", choices=list(core.DEFAULT_PARAMETERS),
                        help="fit this variogram model by least squares and report it")
    parser.add_argument("--fit-cutoff", type=_finite_float, metavar="DISTANCE",
                        help="fit only the lags up to this distance "
                             "(default: half the largest lag)")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="output format (default: text)")
    parser.add_argument("--plot", metavar="PNG", help="also write a PNG plot to this path")
    return parser


def _check_columns(args: argparse.Namespace) -> None:
    # One column for both axes would put every sample on the diagonal, and every distance would
    # be sqrt(2) times the true one.
    if args.x == args.y:
        raise UsageError(f"argument --y: the same column as --x ({quote(args.x)}); "
                         "the two coordinates need two columns")


def _anisotropy(args: argparse.Namespace) -> tuple[float, float] | None:
    if args.angle is None and args.scale is None:
        return None
    return (0.0 if args.angle is None else args.angle, 1.0 if args.scale is None else args.scale)


def _load(args: argparse.Namespace) -> tuple[np.ndarray, np.ndarray]:
    if args.file != "-":
        source: str | IO[bytes] | IO[str] = args.file
    elif sys.stdin is None:
        raise InputError("cannot read -: standard input is closed")
    else:
        # The bytes, so that standard input is decoded as a file is, whatever the locale.
        source = getattr(sys.stdin, "buffer", sys.stdin)
    try:
        # The public command adds a delimiter and missing-value tokens; this one has neither.
        columns = read_columns(source, [args.x, args.y, args.value],
                               delimiter=getattr(args, "delimiter", ","),
                               na=getattr(args, "na", ()))
    except MemoryError:
        # Said here, since main blames the pairs of the samples for any other lack of memory.
        raise InputError(f"not enough memory to read {args.file}") from None
    values = columns[args.value]
    if args.log:
        bad = int(np.count_nonzero(values <= 0.0))
        if bad:
            raise InputError(
                f"--log needs positive values; column {quote(args.value)} has {bad} value(s) <= 0"
            )
        values = np.log(values)
    return np.column_stack([columns[args.x], columns[args.y]]), values


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


def _require_matplotlib() -> None:
    # Checked before the semivariogram, whose cost grows with the square of the samples.
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'orv-krige[demo]'") from None


def run(args: argparse.Namespace) -> str:
    """Computes everything the command line asks for and returns the text for stdout."""
    if args.gtype == "GEOGCS" and args.unit != "coordinate units":
        raise InputError("--unit applies to PROJCS only; GEOGCS lags are in km")
    lag_unit = "km" if args.gtype == "GEOGCS" else args.unit
    if args.plot is not None:
        _require_matplotlib()
    points, values = _load(args)
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


def _discard_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's own flush at exit
    does not fail a second time on what is still buffered."""
    try:
        descriptor = sys.stdout.fileno()
    except io.UnsupportedOperation:
        return  # an in-memory stream, which holds nothing for the exit to write
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, descriptor)
    finally:
        os.close(devnull)


def _write_output(text: str) -> int:
    """Writes the result to standard output; returns the exit status."""
    if sys.stdout is None:
        # The interpreter sets no stream when descriptor 1 was closed; print would drop the text.
        print(f"{PROG}: error: cannot write the output: standard output is closed",
              file=sys.stderr)
        return 1
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The reader has gone (`| head`): the usual ending is a quiet failure status.
        _discard_stdout()
        return 1
    except OSError as exc:
        _discard_stdout()
        print(f"{PROG}: error: cannot write the output: {exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0


def run_command(
    parse: Callable[[], argparse.Namespace],
    compute: Callable[[argparse.Namespace], str],
    data_errors: tuple[type[Exception], ...],
    memory_message: str,
) -> int:
    """Parses, computes and writes, turning each failure into one line and an exit status:
    2 for a bad command line (UsageError from `parse`), 1 for input that cannot be read or
    used (OSError, `data_errors`, MemoryError)."""
    try:
        args = parse()
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    try:
        output = compute(args)
    except OSError as exc:
        print(f"{PROG}: error: cannot read {args.file}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except data_errors as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROG}: error: {memory_message}", file=sys.stderr)
        return 1
    return _write_output(output)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""

    def parse() -> argparse.Namespace:
        args = build_parser().parse_args(argv)
        _check_columns(args)
        return args

    # Every pair of samples is held in memory: N samples make N (N - 1) / 2 pairs.
    return run_command(parse, run, (InputError, error.ORVError),
                       "not enough memory for the pairs of this many samples")


if __name__ == "__main__":
    sys.exit(main())
