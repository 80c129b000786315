"""The result type of the public variogram functions."""
from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Literal, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._fit import FittedVariogram, fit_variogram, restore_read_only
from ._plot import plot_variogram

if TYPE_CHECKING:
    from matplotlib.axes import Axes


def read_only_copy(values: ArrayLike, dtype: type[np.generic], name: str,
                   ndim: int = 1) -> NDArray[Any]:
    """A read-only copy of `values` as `dtype`, which must have `ndim` dimensions."""
    array = np.array(values, dtype=dtype, copy=True)
    if array.ndim != ndim:
        wanted = "be a one-dimensional array" if ndim == 1 else f"have {ndim} dimension(s)"
        raise ValueError(f"{name} must {wanted}; got shape {array.shape}")
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
    direction, tolerance, bandwidth : float, (float, float) or None
        The directional selection as given (`direction` None: all directions; a pair
        ``(angle, dip)`` for three-dimensional coordinates).

    Returned by `orv.krige.variogram`. All arrays are read-only; every field is an init field,
    so ``dataclasses.replace`` makes a changed copy (checked again). Instances compare equal
    when every field is equal, arrays bit for bit (NaN equal to NaN); copies and pickles keep
    the arrays read-only. The ``repr`` is a table of the classes (every class up to 60).
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
    direction: Optional[Union[float, tuple[float, float]]] = None
    tolerance: float = 22.5
    bandwidth: Optional[float] = None

    def __post_init__(self) -> None:
        edges = read_only_copy(self.edges, np.float64, "edges")
        arrays = {
            "lags": read_only_copy(self.lags, np.float64, "lags"),
            "semivariance": read_only_copy(self.semivariance, np.float64, "semivariance"),
            "counts": read_only_copy(self.counts, np.int64, "counts"),
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

    def __setstate__(self, state: dict[str, object]) -> None:
        restore_read_only(self, state)

    def __repr__(self) -> str:
        unit = f" ({self.unit})" if self.unit else ""
        lines = [
            f"ExperimentalVariogram({self.gtype}, {self.estimator}, "
            f"{self.n_samples} samples, max_lag={self.max_lag:g}{unit}",
            f"  {'lower':>12} {'upper':>12} {'lag':>12} {'semivariance':>14} {'count':>10}",
        ]
        rows = list(zip(self.edges[:-1], self.edges[1:], self.lags, self.semivariance, self.counts))
        shown: list[Any] = rows if len(rows) <= 60 else [*rows[:30], None, *rows[-29:]]
        for row in shown:
            if row is None:
                lines.append(f"  ... {len(rows) - 59} more classes ...")
                continue
            lower, upper, lag, gamma, count = row
            lines.append(f"  {lower:12.6g} {upper:12.6g} {lag:12.6g} {gamma:14.6g} {count:10d}")
        return "\n".join(lines) + ")"

    def to_dataframe(self) -> Any:
        """The classes as a pandas DataFrame: ``lower``, ``upper``, ``lag``, ``semivariance``
        and ``count``, one row per class (lag and semivariance NaN where a class is empty)."""
        from ._geo import require

        pandas = require("pandas", purpose="to_dataframe")
        return pandas.DataFrame({
            "lower": self.edges[:-1].copy(), "upper": self.edges[1:].copy(),
            "lag": self.lags.copy(), "semivariance": self.semivariance.copy(),
            "count": self.counts.copy(),
        })

    def fit(
        self,
        model: str,
        *,
        weights: Optional[Literal["counts", "cressie"]] = "counts",
        nugget: Union[bool, float] = True,
        max_lag: Optional[float] = None,
        fixed: Optional[Mapping[str, float]] = None,
    ) -> FittedVariogram:
        """Fits a variogram model by weighted least squares.

        Parameters
        ----------
        model : str
            ``"Linear"`` (parameters Slope, Nugget), ``"Power"`` (Scale, Exponent, Nugget),
            ``"Gaussian"``, ``"Spherical"``, ``"Exponential"``, ``"HoleEffect"`` (each
            PSill, Range, Nugget), ``"Matern"`` (PSill, Range, Smoothness, Nugget) or
            ``"Stable"`` (PSill, Range, Shape, Nugget); case does not matter.
        weights : {"counts", "cressie", None}, optional
            ``"counts"`` (default): each class weighted by its number of pairs.
            ``"cressie"``: by pairs / γ_model(h)², the model being the current fit, iterated
            until the parameters settle (Cressie's weighted least squares). None: unweighted.
        nugget : bool or float, optional
            True (default): the nugget is fitted; False: it is zero; a number >= 0: it is
            held at that value.
        max_lag : float, optional
            Only classes whose mean lag is at most this take part (default: every class).
            Empty classes and classes at lag 0 (where γ is 0 by definition) never do.
        fixed : dict of str to float, optional
            Parameters held at the given values, by name, e.g. ``{"Range": 900.0}``: they are
            returned exactly as given, with standard error 0 and a zero row and column of
            `covariance`, and do not count as fitted parameters in the residual degrees of
            freedom. Each value must be one the model takes (as for `VariogramModel`) and,
            for Exponent, Smoothness and Shape, within the interval the fit searches. A
            Nugget given here and by `nugget` (False or a number) must agree. The Power
            model's Scale can only be held together with its Exponent.

        Returns
        -------
        FittedVariogram
            Parameters, their standard errors, r², RMSE and the number of classes used.

        Raises
        ------
        ValueError
            For an unknown model or a bad option value (the message names the accepted
            ones) or a misused `fixed` (naming the parameter), and for a fit that the data
            cannot determine, saying why: fewer classes
            than free parameters, semivariance zero everywhere, no convergence, a PSill (or
            power term) negligible against the semivariance, a Range that runs beyond 10
            times the largest lag used or lies below the first lag.

        Notes
        -----
        The fit minimises Σ wᵢ (γ̂ᵢ − γ(hᵢ))² with SciPy's bounded least squares
        (``scipy.optimize.least_squares``): PSill, Range, Nugget, Slope and Scale are kept
        non-negative, the power Exponent within (0, 2] and Range within 10 times the largest
        lag used. The standard errors are the square roots of the diagonal of
        s² (JᵀWJ)⁻¹, J the derivatives of the model with respect to the free parameters at
        the solution and s² = Σ wᵢ rᵢ² / (n − p) the residual variance; they are NaN when
        n equals the number of free parameters p, or for a parameter the fit leaves open.
        Classes of neighbouring lags share samples, so their errors are correlated and these
        standard errors are indicative rather than exact confidence statements.

        Range is the *practical range*, in the unit of the lags. Spherical and HoleEffect
        reach the sill PSill + Nugget at h = Range; Gaussian and Exponential, which approach
        it asymptotically, reach 95 % of PSill there (γ uses exp(−3 h²/Range²) and
        exp(−3 h/Range)); Stable, exp(−3 (h/Range)^Shape), follows them, and Matérn reaches
        exactly 95 % of PSill at h = Range for every Smoothness. GSTools parametrises the same shapes by a length scale ``len_scale``
        (ℓ) instead: ℓ = Range for its Spherical model, ℓ = Range / 3 for its Exponential
        model (exp(−h/ℓ)) and ℓ = Range · √(π/12) ≈ 0.512 Range for its Gaussian model
        (exp(−π h²/(4 ℓ²))); its ``var`` is PSill and its ``nugget`` the Nugget.
        """
        return fit_variogram(self, model, weights=weights, nugget=nugget, max_lag=max_lag,
                             fixed=fixed)

    def plot(
        self,
        ax: Optional[Axes] = None,
        *,
        model: Optional[Callable[[Any], Any]] = None,
        counts: bool = True,
        unit: Optional[str] = None,
    ) -> Axes:
        """Plots the semivariance of each non-empty class, with its pair counts.

        Needs matplotlib, which is imported only here.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Axes to draw into; by default a new figure is made with ``pyplot``.
        model : FittedVariogram or callable, optional
            A model to draw as a curve from 0 to `max_lag` (anything called as ``model(h)``
            that gives γ(h) will do); a FittedVariogram is labelled with its parameters.
        counts : bool, optional
            Draw the number of pairs of each class as bars in a panel under the points
            (default True). The panel shares the lag axis and is available afterwards as the
            attribute ``pair_count_axes`` of the returned axes.
        unit : str, optional
            Unit of the lags for the axis label; by default `unit` of the semivariogram
            ("km" for GEOGCS), else "coordinate units".

        Returns
        -------
        matplotlib.axes.Axes
            The axes holding the semivariance points. The lag axis runs from 0 to `max_lag`.
        """
        return plot_variogram(self, ax, model=model, counts=counts, unit=unit)
