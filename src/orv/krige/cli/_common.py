"""What the two modes of orv-variogram share: the parser that reports in one line, the option
types, the reading of the sample columns, and the ending of a run in an exit status."""

from __future__ import annotations

import argparse
import io
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import IO, Any, NoReturn

import numpy as np

from .._csv import LINE, BlankCell, InputError, quote, read_columns

PROG = "orv-variogram"


class UsageError(Exception):
    """A command line that argparse refused."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse would print the whole usage text first; one line is enough.
        raise UsageError(message)


#: Each class costs two passes over all pairs, so the count is bounded to keep a typing slip
#: (an extra zero or three) from running for hours.
MAX_LAGS = 10_000


def lag_count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not an integer") from None
    if not 1 <= number <= MAX_LAGS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_LAGS}, got {number}")
    return number


def finite_float(text: str) -> float:
    try:
        number = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a number") from None
    if not np.isfinite(number):
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a finite number")
    return number


def check_columns(args: argparse.Namespace) -> None:
    # One column for both axes would put every sample on the diagonal, and every distance would
    # be sqrt(2) times the true one.
    if args.x == args.y:
        raise UsageError(f"argument --y: the same column as --x ({quote(args.x)}); "
                         "the two coordinates need two columns")


def load(
    args: argparse.Namespace, *, delimiter: str = ",", na: Sequence[str] = ()
) -> tuple[np.ndarray, np.ndarray]:
    """The points (x, y) and values named by `args.file`, `args.x`, `args.y`, `args.value`,
    the values' logarithm with `args.log`; `delimiter` and `na` are the reader's."""
    if args.file != "-":
        source: str | IO[bytes] | IO[str] = args.file
    elif sys.stdin is None:
        raise InputError("cannot read -: standard input is closed")
    else:
        # The bytes, so that standard input is decoded as a file is, whatever the locale.
        source = getattr(sys.stdin, "buffer", sys.stdin)
    try:
        columns = read_columns(source, [args.x, args.y, args.value], delimiter=delimiter, na=na)
    except BlankCell as exc:
        if getattr(args, "na", None) is None:
            raise
        raise InputError(f"{exc} (--na '' reads blank cells as missing values)") from None
    except MemoryError:
        # Said here, since main blames the pairs of the samples for any other lack of memory.
        raise InputError(f"not enough memory to read {args.file}") from None
    values = columns[args.value]
    missing = np.isnan(columns[args.x]) | np.isnan(columns[args.y]) | np.isnan(values)
    if missing.any() and getattr(args, "nan_policy", "raise") == "raise":
        raise InputError(
            f"{args.file} line {int(columns[LINE][np.argmax(missing)])}: a missing value or "
            f"coordinate ({int(np.count_nonzero(missing))} sample(s) in all); remove them or "
            "pass --nan-policy omit"
        )
    if args.log:
        bad = int(np.count_nonzero(values <= 0.0))
        if bad:
            raise InputError(
                f"--log needs positive values; column {quote(args.value)} has {bad} value(s) <= 0"
            )
        values = np.log(values)
    return np.column_stack([columns[args.x], columns[args.y]]), values


def noting_warnings(prog: str, function: Any, *arguments: Any, **options: Any) -> Any:
    """`function`'s result; each RuntimeWarning it gives becomes a note on standard error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        result = function(*arguments, **options)
    for warning in caught:
        print(f"{prog}: note: {warning.message}", file=sys.stderr)
    return result


def require_matplotlib() -> None:
    # Checked before the semivariogram, whose cost grows with the square of the samples.
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'orv-krige[demo]'") from None


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


def write_output(text: str, prog: str = PROG) -> int:
    """Writes the result to standard output; returns the exit status."""
    if sys.stdout is None:
        # The interpreter sets no stream when descriptor 1 was closed; print would drop the text.
        print(f"{prog}: error: cannot write the output: standard output is closed",
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
        print(f"{prog}: error: cannot write the output: {exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0


def run_command(
    parse: Callable[[], argparse.Namespace],
    compute: Callable[[argparse.Namespace], str],
    data_errors: tuple[type[Exception], ...],
    memory_message: str,
    prog: str = PROG,
) -> int:
    """Parses, computes and writes, turning each failure into one line and an exit status:
    2 for a bad command line (UsageError from `parse`), 1 for input that cannot be read or
    used (OSError, `data_errors`, MemoryError)."""
    try:
        args = parse()
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    try:
        output = compute(args)
    except OSError as exc:
        print(f"{prog}: error: cannot read {args.file}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except data_errors as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{prog}: error: {memory_message}", file=sys.stderr)
        return 1
    return write_output(output, prog)
