"""Plain-text tables of distance classes, for the repr of a result, the command line and the
demonstration: right-aligned columns, numbers to six significant digits, counts as integers."""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np


def _cell(value: Any, width: int) -> str:
    if isinstance(value, str):
        return f"{value:>{width}}"
    if isinstance(value, (int, np.integer)):
        return f"{value:>{width}d}"
    return f"{float(value):>{width}.6g}"


def format_table(
    columns: Mapping[str, Sequence[Any]],
    widths: Sequence[int],
    *,
    separator: str = " ",
    indent: str = "",
    shown: int | None = None,
) -> str:
    """The columns (header -> cells) as a table, one row a line under a header line.

    With `shown`, a table of more rows keeps its first and last rows, `shown` - 1 in all, with
    a line saying how many were left out between them.
    """
    def line(cells: Sequence[str]) -> str:
        return indent + separator.join(cells)

    names = list(columns)
    data = list(zip(*columns.values()))
    lines = [line([f"{name:>{width}}" for name, width in zip(names, widths)])]
    rows: list[Any] = data
    if shown is not None and len(data) > shown:
        head = shown // 2
        rows = [*data[:head], None, *data[len(data) - (shown - 1 - head):]]
    for row in rows:
        if row is None:
            lines.append(f"{indent}... {len(data) - (shown or 0) + 1} more classes ...")
        else:
            lines.append(line([_cell(value, width) for value, width in zip(row, widths)]))
    return "\n".join(lines)


#: Column widths of a table of distance classes: lower, upper, lag, semivariance, count.
CLASS_WIDTHS = (12, 12, 12, 14, 10)


def class_table(edges: Sequence[float], lags: Sequence[float], semivariance: Sequence[float],
                counts: Sequence[int], *, lag_label: str = "lag", indent: str = "",
                shown: int | None = None) -> str:
    """The table of distance classes: lower and upper edge, lag, semivariance, pair count."""
    columns = {"lower": edges[:-1], "upper": edges[1:], lag_label: lags,
               "semivariance": semivariance, "count": counts}
    return format_table(columns, CLASS_WIDTHS, indent=indent, shown=shown)
