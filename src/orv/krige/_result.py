"""The result type of the public variogram functions."""
from __future__ import annotations

import dataclasses
from typing import Any, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray


def _read_only(values: ArrayLike, dtype: type[np.generic]) -> NDArray[Any]:
    array = np.array(values, dtype=dtype, copy=True)
    if array.ndim != 1:
        raise ValueError(f"expected a one-dimensional array; got shape {array.shape}")
    array.setflags(write=False)
    return array


@dataclasses.dataclass(frozen=True, eq=False)
class ExperimentalVariogram:
    """An experimental semivariogram: one entry per distance class.

    Attributes
    ----------
    edges : ndarray of float64, shape (n + 1,)
        Class edges, ascending. Class k holds the pairs at distances in
        ``[edges[k], edges[k + 1])``; the last class also holds its upper edge.
    lags : ndarray of float64, shape (n,)
        Mean pair distance of each class; NaN where a class holds no pair.
    semivariance : ndarray of float64, shape (n,)
        Semivariance of each class by the chosen estimator; NaN where a class holds no pair.
    counts : ndarray of int64, shape (n,)
        Number of pairs in each class.
    gtype : str
        ``"PROJCS"`` (Euclidean distances in coordinate units) or ``"GEOGCS"`` (great-circle
        distances in kilometres).
    estimator : str
        ``"matheron"`` or ``"cressie"``.
    unit : str or None
        ``"km"`` for GEOGCS; None for PROJCS, whose unit is that of the coordinates.
    n_samples : int
        Number of samples used (after any omitted by ``nan_policy="omit"``).
    max_lag : float
        The last edge.
    direction, tolerance, bandwidth : float or None
        The directional selection as given (`direction` None: all directions).

    Returned by `orv.krige.variogram`. All arrays are read-only; every field is an init field,
    so ``dataclasses.replace`` makes a changed copy (checked again). Instances compare equal
    when every field is equal, arrays bit for bit (NaN equal to NaN). The ``repr`` is a short
    table of the classes.
    """

    edges: NDArray[np.float64]
    lags: NDArray[np.float64]
    semivariance: NDArray[np.float64]
    counts: NDArray[np.int64]
    gtype: str = "PROJCS"
    estimator: str = "matheron"
    unit: Optional[str] = None
    n_samples: int = 0
    max_lag: float = float("nan")
    direction: Optional[float] = None
    tolerance: float = 22.5
    bandwidth: Optional[float] = None

    def __post_init__(self) -> None:
        edges = _read_only(self.edges, np.float64)
        arrays = {
            "lags": _read_only(self.lags, np.float64),
            "semivariance": _read_only(self.semivariance, np.float64),
            "counts": _read_only(self.counts, np.int64),
        }
        for name, array in arrays.items():
            if array.shape[0] != edges.shape[0] - 1:
                raise ValueError(
                    f"{name} must have one entry per class ({edges.shape[0] - 1}); "
                    f"got {array.shape[0]}"
                )
        object.__setattr__(self, "edges", edges)
        for name, array in arrays.items():
            object.__setattr__(self, name, array)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        for field in dataclasses.fields(self):
            mine, theirs = getattr(self, field.name), getattr(other, field.name)
            if isinstance(mine, np.ndarray):
                if mine.shape != theirs.shape or mine.tobytes() != theirs.tobytes():
                    return False
            elif mine != theirs and not (mine != mine and theirs != theirs):
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        unit = f" ({self.unit})" if self.unit else ""
        lines = [
            f"ExperimentalVariogram({self.gtype}, {self.estimator}, "
            f"{self.n_samples} samples, max_lag={self.max_lag:g}{unit}",
            f"  {'lower':>12} {'upper':>12} {'lag':>12} {'semivariance':>14} {'count':>10}",
        ]
        rows = list(zip(self.edges[:-1], self.edges[1:], self.lags, self.semivariance, self.counts))
        shown: list[Any] = rows if len(rows) <= 12 else [*rows[:6], None, *rows[-5:]]
        for row in shown:
            if row is None:
                lines.append(f"  ... {len(rows) - 11} more classes ...")
                continue
            lower, upper, lag, gamma, count = row
            lines.append(f"  {lower:12.6g} {upper:12.6g} {lag:12.6g} {gamma:14.6g} {count:10d}")
        return "\n".join(lines) + ")"
