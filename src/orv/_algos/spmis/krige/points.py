"""Conversion of caller data (coordinates, parameters) into new float64 NumPy arrays.

Only integer and real floating-point data are accepted. Booleans, complex numbers, dates,
strings and Python objects are refused rather than cast, because a cast would silently
drop an imaginary part, turn True into 1.0 or parse text as numbers.
"""
import numpy as np

# dtype kinds that convert to float64 without losing meaning: signed, unsigned, floating.
_REAL_KINDS = "iuf"


def real_array(x, name):
    """`x` as a NumPy array of integer or floating dtype, not copied if it already is one.

    Raises ValueError for ragged sequences and for masked arrays with masked entries (whose
    hidden fill values would otherwise be read as data), TypeError for any other kind of
    data; `name` is the argument's name in the message.
    """
    if np.ma.is_masked(x):
        raise ValueError(f"{name} must not have masked entries; fill or remove them first")
    try:
        array = np.asarray(x)
    except ValueError as exc:
        raise ValueError(
            f"{name} must be a rectangular array of numbers; "
            f"got a ragged or unreadable {type(x).__name__}"
        ) from exc
    if array.dtype.kind not in _REAL_KINDS:
        given = "array" if isinstance(x, np.ndarray) else type(x).__name__
        raise TypeError(
            f"{name} must hold integers or real floating-point numbers; "
            f"got {given} of dtype {array.dtype}"
        )
    return array


def init_points(points):
    """Sample coordinates as a new C-ordered float64 array N x d, one row per sample.

    `points` is any array-like of N rows of d numbers (d may be 0, N may be 0). It is
    never modified; the result is always a fresh copy. A one-dimensional input is refused
    rather than guessed to be one sample or one coordinate column.
    """
    array = real_array(points, "points")
    if array.ndim != 2:
        raise ValueError(
            "points must be two-dimensional, N rows of d coordinates; "
            f"got {array.ndim} dimension(s), shape {array.shape}"
        )
    return array.astype(np.float64, order="C", copy=True)


def to_numeric_array(x):
    """A number or an array-like of numbers as a new float64 array of the same shape.

    A scalar gives a 0-D array (its `flatten` has one entry); no dimension is added.
    """
    return real_array(x, "value").astype(np.float64, copy=True)
