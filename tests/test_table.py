"""The class table shared by the result's repr, the command line and the demonstration."""
import numpy as np
import pytest

from orv.krige._table import class_table


@pytest.mark.parametrize("n, shown, kept", [(5, None, 5), (50, 60, 50), (60, 60, 60),
                                            (61, 60, 59), (200, 60, 59)])
def test_long_tables_keep_their_ends_and_count_what_they_leave_out(n, shown, kept):
    edges = np.arange(n + 1, dtype=float)
    counts = np.arange(n, dtype=np.int64) * 3
    lines = class_table(edges, edges[:-1] + 0.5, edges[:-1] * 2.0, counts, shown=shown,
                        indent="  ").splitlines()
    rows = [line.split() for line in lines[1:] if "more classes" not in line]
    assert lines[0].split() == ["lower", "upper", "lag", "semivariance", "count"]
    assert len(rows) == kept
    # First and last classes are always shown, counts as integers, every row in order.
    assert rows[0] == ["0", "1", "0.5", "0", "0"] and rows[-1][4] == str(3 * (n - 1))
    lowers = [float(row[0]) for row in rows]
    assert lowers == sorted(lowers)
    left_out = [line for line in lines if "more classes" in line]
    assert left_out == ([] if kept == n else [f"  ... {n - kept} more classes ..."])


def test_empty_classes_show_nan():
    text = class_table(np.array([0.0, 1.0, 2.0]), np.array([0.5, np.nan]),
                       np.array([1.25, np.nan]), np.array([4, 0]))
    assert text.splitlines()[2].split() == ["1", "2", "nan", "nan", "0"]
