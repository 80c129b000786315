"""The CSV reader of the command-line tool: named columns of a file with a header row.

Every refusal of the caller's data is an `InputError` whose message fits on one line.
"""

from __future__ import annotations

import csv
import io
import math
import os
from collections.abc import Iterator, Sequence
from typing import IO, cast

import numpy as np
from numpy.typing import NDArray

FloatArray = NDArray[np.float64]



#: Key of the column of file line numbers, one per row of samples, that `read_columns` adds.
LINE = "\0line"


class InputError(ValueError):
    """Data or options that cannot be used; the message is one line meant for the user."""


class BlankCell(InputError):
    """A blank cell where a number was expected, and no missing-value token matched it."""


#: Characters of a name or a cell that a message shows, so that a message stays one readable
#: line whatever the file holds.
SHOWN_CHARS = 32


def brief(text: str) -> str:
    """`text` as it can stand in a one-line message: cut to SHOWN_CHARS characters, with
    unprintable ones (line ends, a byte-order mark) escaped."""
    shown = text[: SHOWN_CHARS + 1]
    if not shown.isprintable():
        shown = shown.encode("unicode_escape").decode("ascii")
    return shown if len(shown) <= SHOWN_CHARS else shown[: SHOWN_CHARS - 3] + "..."


def quote(text: str) -> str:
    """`brief(text)` in quotes."""
    return f"'{brief(text)}'"


def describe_header(names: Sequence[str], shown: int = 8) -> str:
    """The names of a header for a message; of a long header only the first few and the count."""
    if len(names) <= shown:
        return "the header has: " + ", ".join(map(brief, names))
    first = ", ".join(map(brief, names[:shown]))
    return f"the header has {len(names):,} columns: {first}, ..."


def _parse_number(text: str, where: str) -> float:
    try:
        number = float(text)
    except ValueError:
        if not text.strip():
            raise BlankCell(f"{where}: the cell is blank") from None
        raise InputError(f"{where}: {quote(text.strip())} is not a number") from None
    if not math.isfinite(number):
        # The semivariogram would silently drop every distance class that such a sample
        # touches, so it is refused rather than passed on.
        raise InputError(f"{where}: {quote(text.strip())} is not a finite number")
    return number


#: Characters one row may take, line ends included: far more than a row of samples needs, and
#: a bound on what a file without line ends (a link to /dev/zero, a sparse file) makes the
#: reader hold before it is refused.
MAX_ROW_CHARS = 1 << 20
#: Cells one row may have.
MAX_COLUMNS = 16_384


class _BoundedLines:
    """The lines of a text stream for csv.reader, read so that no row outgrows MAX_ROW_CHARS.

    A row is what csv.reader takes between two calls of `start_row`: several lines when a
    quoted cell holds line ends.
    """

    def __init__(self, stream: IO[str], source: str) -> None:
        self._stream = stream
        self._source = source
        self._lines_read = 0
        self._row_start = 1
        self._row_chars = 0

    def __iter__(self) -> _BoundedLines:
        return self

    def __next__(self) -> str:
        # One character more than the row has room for tells a long line from one that fits.
        line = self._stream.readline(MAX_ROW_CHARS - self._row_chars + 1)
        if not line:
            raise StopIteration
        if self._row_chars == 0:
            self._row_start = self._lines_read + 1
        self._lines_read += 1
        self._row_chars += len(line)
        if self._row_chars > MAX_ROW_CHARS:
            raise InputError(
                f"{self._source} line {self._row_start}: a row longer than {MAX_ROW_CHARS:,} "
                "characters, far more than a row of samples needs"
            )
        return line

    def start_row(self) -> None:
        self._row_chars = 0


def csv_rows(
    stream: IO[str], source: str, delimiter: str = ","
) -> Iterator[tuple[int, list[str]]]:
    """The rows of a CSV text stream that hold more than blanks, each with the number of the
    line on which it ends.

    Every row is bounded while it is read, by MAX_ROW_CHARS and MAX_COLUMNS. Raises InputError,
    naming `source` and the line, for a row beyond those bounds, a malformed row and text that
    is not UTF-8.
    """
    lines = _BoundedLines(stream, source)
    reader = csv.reader(lines, delimiter=delimiter)
    try:
        for row in reader:
            lines.start_row()
            if len(row) > MAX_COLUMNS:
                raise InputError(
                    f"{source} line {reader.line_num}: {len(row):,} cells, more than the "
                    f"{MAX_COLUMNS:,} a row may have"
                )
            if any(cell.strip() for cell in row):
                yield reader.line_num, row
    except csv.Error as exc:
        raise InputError(f"{source} line {reader.line_num}: {exc}") from None
    except UnicodeDecodeError:
        raise InputError(f"{source}: not a UTF-8 text file") from None


def _read_rows(
    stream: IO[str], source: str, columns: Sequence[str], delimiter: str, na: frozenset[str]
) -> dict[str, FloatArray]:
    rows = csv_rows(stream, source, delimiter)
    _, header = next(rows, (0, None))
    if header is None:
        raise InputError(f"{source}: the file is empty")
    names = [cell.strip() for cell in header]
    positions = {}
    for column in dict.fromkeys(columns):
        if column not in names:
            raise InputError(
                f"{source}: no column {quote(column)} ({describe_header(names)})"
            )
        if names.count(column) > 1:
            raise InputError(f"{source}: column {quote(column)} appears more than once")
        positions[column] = names.index(column)
    cells: dict[str, list[float]] = {column: [] for column in positions}
    lines = cells[LINE] = []
    for line, row in rows:
        # More cells than names: a delimiter inside a value (a decimal comma, say) would shift
        # every later cell, so the row is refused. Empty cells at the end are no data.
        if len(row) > len(names) and any(cell.strip() for cell in row[len(names):]):
            raise InputError(
                f"{source} line {line}: {len(row)} cells, but the header has {len(names)} "
                "(a delimiter inside a value, such as a decimal comma?)"
            )
        lines.append(line)
        for column, position in positions.items():
            where = f"{source} line {line}, column {quote(column)}"
            if position >= len(row):
                raise InputError(f"{where}: the cell is missing")
            cell = row[position]
            cells[column].append(math.nan if cell.strip() in na else _parse_number(cell, where))
    return {column: np.array(cells[column], dtype=np.float64) for column in (*columns, LINE)}


def read_columns(
    source: str | os.PathLike[str] | IO[bytes] | IO[str],
    columns: Sequence[str],
    *,
    delimiter: str = ",",
    na: Sequence[str] = (),
) -> dict[str, FloatArray]:
    """The named columns of a CSV file with a header row, as float64 arrays of equal length.

    `source` is a path, an open binary stream or an open text stream. Files and binary streams
    are read as UTF-8, with or without a byte-order mark; a binary stream is left open. Blank
    lines are skipped. Raises InputError for an empty file, a missing or repeated column, a
    missing cell and a cell that is not a finite number (naming the line and the column), and
    OSError when the file cannot be opened. `delimiter` separates the cells; a cell that is,
    once stripped of blanks, one of the `na` tokens is a missing value and reads as NaN.
    A row with more non-empty cells than the header has names is refused. The entry `LINE`
    holds the line of the file on which each row ends, for messages about a sample.
    """
    options = (delimiter, frozenset(token.strip() for token in na))
    # "utf-8-sig" drops the byte-order mark that spreadsheet programs write.
    if isinstance(source, (str, os.PathLike)):
        with open(source, newline="", encoding="utf-8-sig") as stream:
            return _read_rows(stream, os.fspath(source), columns, *options)
    name = getattr(source, "name", "<stream>")
    if not isinstance(source, (io.RawIOBase, io.BufferedIOBase)):
        return _read_rows(cast(IO[str], source), name, columns, *options)
    text = io.TextIOWrapper(source, encoding="utf-8-sig", newline="")
    try:
        return _read_rows(text, name, columns, *options)
    finally:
        text.detach()  # closing the wrapper would close the caller's stream
