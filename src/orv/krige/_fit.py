"""Weighted least-squares fits of the variogram models to an experimental semivariogram."""
from __future__ import annotations

import dataclasses
import math
import numbers
import os
import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from ._result import ExperimentalVariogram

from ._model import VariogramModel, checked_parameters
from ._models import MODELS, RANGE_LIMIT, model_name

WEIGHTS = ("counts", "cressie", None)
#: Parameters whose value does not depend on the units of the lags and semivariances.
UNITLESS = ("Exponent", "Smoothness", "Shape")
#: The structured part of a fit (PSill, or the power term at the largest lag) below this
#: fraction of the largest semivariance used means there is no spatial structure to fit.
NEGLIGIBLE = 1e-6
#: Iterations of the Cressie weights before the fit is declared not to converge.
CRESSIE_ITERATIONS = 100


@dataclasses.dataclass(frozen=True, eq=False)
class FittedVariogram(VariogramModel):
    """A variogram model fitted to an experimental semivariogram.

    Returned by `ExperimentalVariogram.fit`; called with lags ``h``, it gives the model's γ(h).

    Attributes
    ----------
    model : str
        Model name: ``"Linear"``, ``"Power"``, ``"Gaussian"``, ``"Spherical"``,
        ``"Exponential"``, ``"HoleEffect"``, ``"Matern"`` or ``"Stable"``.
    parameters : dict of str to float
        Fitted values by the package's parameter names, in the model's order: Slope, Nugget
        (Linear); Scale, Exponent, Nugget (Power); PSill, Range, Smoothness, Nugget (Matern);
        PSill, Range, Shape, Nugget (Stable); PSill, Range, Nugget (the others). Range is the
        practical range, in the unit of the lags.
    stderr : dict of str to float
        Standard error of each parameter from the covariance of the weighted least-squares
        fit; NaN where the data do not determine it (no residual degrees of freedom, or a
        direction in which the fit is flat); 0 for a parameter held (a fixed nugget, or one
        given in ``fixed``).
    r2 : float
        Coefficient of determination of the fit under its weights; NaN when every
        semivariance used is the same.
    rmse : float
        Root mean square of the unweighted residuals, in the unit of the semivariance.
    n_lags : int
        Number of distance classes that took part in the fit.
    weights : str or None
        The weighting used: ``"counts"``, ``"cressie"`` or None.
    max_lag : float or None
        The largest mean lag allowed in the fit, as given (None: every class).
    covariance : ndarray of float64, shape (p, p)
        Covariance matrix of the parameters, rows and columns in the order of `parameters`
        (read-only); the row and column of a held parameter are 0, those of an undetermined
        parameter (or one at its bound) NaN. Its diagonal is the square of `stderr`; it gives
        the error of derived quantities, such as the sill PSill + Nugget.
    at_bound : tuple of str
        Names of the free parameters that ended at a bound of the fit (a Nugget, PSill,
        Slope or Scale of 0, an Exponent of 2): each is reported as exactly the bound, with
        a NaN standard error; the others are fitted with it held there.
    extrapolated : bool
        True when the fitted Range lies beyond the largest lag used: the data do not show the
        sill being reached, and the fit warns with a RuntimeWarning.
    """

    model: str
    parameters: dict[str, float]
    stderr: dict[str, float]
    r2: float
    rmse: float
    n_lags: int
    weights: Optional[str] = "counts"
    max_lag: Optional[float] = None
    covariance: Optional[NDArray[np.float64]] = None
    at_bound: tuple[str, ...] = ()
    extrapolated: bool = False

    # A fit is its own result: compared and hashed by identity, as before it was a model.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __post_init__(self) -> None:
        size = len(self.parameters)
        if self.covariance is None:
            covariance = np.full((size, size), np.nan)
        else:
            covariance = np.array(self.covariance, dtype=np.float64, copy=True)
            if covariance.shape != (size, size):
                raise ValueError(f"covariance must be {size} x {size}; got {covariance.shape}")
        covariance.setflags(write=False)
        object.__setattr__(self, "covariance", covariance)
        object.__setattr__(self, "at_bound", tuple(self.at_bound))

    def __setstate__(self, state: dict[str, object]) -> None:
        restore_read_only(self, state)

    def __repr__(self) -> str:
        values = ", ".join(
            f"{name}={value:.6g} " + ("at its bound" if name in self.at_bound
                                      else f"± {self.stderr[name]:.2g}")
            for name, value in self.parameters.items()
        )
        return (
            f"FittedVariogram({self.model}: {values}; r2={self.r2:.4f}, "
            f"rmse={self.rmse:.4g}, {self.n_lags} lags)"
        )


def restore_read_only(instance: object, state: dict[str, object]) -> None:
    """Unpickling and deep copies of a frozen result: its arrays come back read-only.

    NumPy gives an unpickled array a fresh, writable buffer, and ``__init__`` does not run
    again: the fields are set here, directly.
    """
    for value in state.values():
        if isinstance(value, np.ndarray):
            value.setflags(write=False)
    instance.__dict__.update(state)


#: Distance from a bound, relative to the bound or 1 in the fit's scaled units, at which a
#: parameter counts as being at the bound.
AT_BOUND = 1e-9


def _at_bound(record, scaled):
    """Mask of the scaled parameters at a bound, and the parameters moved exactly onto it."""
    lower, upper = np.array(record.lower), np.array(record.upper)
    values = np.array(scaled, dtype=np.float64)
    finite = np.isfinite(upper)
    low = values <= lower + AT_BOUND * np.maximum(np.abs(lower), 1.0)
    high = finite & (values >= np.where(finite, upper, 0.0)
                     - AT_BOUND * np.maximum(np.abs(np.where(finite, upper, 0.0)), 1.0))
    values[low], values[high] = lower[low], upper[high]
    return low | high, values


def _fixed_nugget(nugget):
    """None for a free nugget, else the value at which it is held."""
    if nugget is True:
        return None
    if nugget is False:
        return 0.0
    if isinstance(nugget, numbers.Real) and not isinstance(nugget, bool):
        value = float(nugget)
        if math.isfinite(value) and value >= 0.0:
            return value
    raise ValueError(
        f"nugget must be True (fitted), False (zero) or a finite number >= 0; got {nugget!r}"
    )


def _held_parameters(record, fixed, nugget):
    """The parameters held, by name, from `fixed` and `nugget`; misuse is a ValueError."""
    names = record.parameters
    held: dict[str, float] = {}
    if fixed is not None:
        if not isinstance(fixed, Mapping):
            raise TypeError(
                f"fixed must be a dict of parameter names to values (of {', '.join(names)} "
                f"for the {record.name} model); got {type(fixed).__name__}"
            )
        unknown = [repr(name) for name in fixed if name not in names]
        if unknown:
            raise ValueError(
                f"fixed names {', '.join(unknown)}, not a parameter of the {record.name} "
                f"model; it has {', '.join(names)}"
            )
        for name, value in fixed.items():
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise ValueError(f"fixed[{name!r}] must be a real number; got {value!r}")
            held[name] = float(value)
        # A held model must be a model: the checks of VariogramModel on the held values.
        trial = dict(zip(names, (1.0,) * len(names)))
        trial.update(held)
        try:
            checked_parameters(record.name, trial)
        except ValueError as exc:
            raise ValueError(f"fixed: {exc}") from None
        index = names.index
        # The parameters without a unit have the same bounds in the data's units as in the
        # fit's; the others' bounds (>= 0) are those VariogramModel checks.
        for name, value in held.items():
            if name not in UNITLESS:
                continue
            if not record.lower[index(name)] <= value <= record.upper[index(name)]:
                raise ValueError(
                    f"fixed[{name!r}] = {value!r} lies outside the interval the fit allows, "
                    f"[{record.lower[index(name)]:g}, {record.upper[index(name)]:g}]"
                )
    if "Scale" in held and "Exponent" not in held:
        # The fit works in lags scaled to a largest value of 1, where a Scale in the data's
        # units would change with the Exponent.
        raise ValueError("fixed: holding the Power model's Scale needs its Exponent held too")
    from_nugget = _fixed_nugget(nugget)
    if from_nugget is not None:
        if "Nugget" in held and held["Nugget"] != from_nugget:
            raise ValueError(
                f"fixed holds the Nugget at {held['Nugget']!r} but nugget={nugget!r} asks for "
                f"{from_nugget!r}; give the nugget once"
            )
        held["Nugget"] = from_nugget
    return held


def _lag_limit(max_lag):
    if max_lag is None:
        return math.inf
    if isinstance(max_lag, numbers.Real) and not isinstance(max_lag, bool):
        value = float(max_lag)
        if value > 0.0:  # also refuses NaN
            return value
    raise ValueError(f"max_lag must be None or a positive number; got {max_lag!r}")


def _starts(record, h, g):
    """Starting points (lags and semivariances scaled to a largest value of 1)."""
    first = g[np.argmin(h)]
    nugget = min(max(first - (g.max() - first) * h.min() / max(h.max() - h.min(), 1e-12), 0.0),
                 first) / 2.0
    rise = max(g.max() - nugget, 1e-3)
    if not record.starts:
        return [[rise, nugget]]
    if record.shape_starts:
        return [[rise, second, shape, nugget] for second in record.starts
                for shape in record.shape_starts]
    return [[rise, second, nugget] for second in record.starts]


class _Problem:
    """The least-squares problem in scaled units, with some parameters held.

    `held` maps the index of each held parameter to its value in the scaled units.
    """

    def __init__(self, record, h, g, held):
        self.record, self.h, self.g, self.held = record, h, g, held
        self.function = record.function
        self.free = np.ones(len(record.parameters), dtype=bool)
        self.free[list(held)] = False

    def full(self, x):
        values = np.empty(self.free.size)
        values[self.free] = x
        for index, value in self.held.items():
            values[index] = value
        return list(values)

    def solve(self, weights, start=None):
        """The best of the fits from the usual starting points, or from `start` alone."""
        from scipy.optimize import least_squares

        root = np.sqrt(weights)
        lower, upper = np.array(self.record.lower), np.array(self.record.upper)
        best = None
        starts = _starts(self.record, self.h, self.g) if start is None else [start]
        for point in starts:
            x0 = np.clip(point, lower, [min(u, 1e12) for u in upper])[self.free]
            if x0.size == 0:
                # Every parameter held: there is nothing to solve.
                return np.array(self.full(x0))
            result = least_squares(
                lambda x: root * (self.function(self.full(x), self.h) - self.g),
                x0,
                jac=lambda x: root[:, None] * self.record.derivatives(self.full(x),
                                                                       self.h)[:, self.free],
                bounds=(lower[self.free], upper[self.free]),
                method="trf",
                x_scale="jac",
                xtol=1e-14,
                ftol=1e-14,
                gtol=1e-14,
                max_nfev=2000,
            )
            if result.status > 0 and np.all(np.isfinite(result.x)):
                if best is None or result.cost < best.cost:
                    best = result
        if best is None:
            raise ValueError(f"the {self.record.name} model fit did not converge")
        return np.array(self.full(best.x))


def _covariance(jacobian, weights, residuals, n_parameters):
    """Parameter covariance s² (JᵀWJ)⁻¹, with NaN rows for directions the data leave open.

    J holds the columns of the parameters estimated; s² has n − `n_parameters` degrees of
    freedom, which counts the free parameters held at a bound as well.
    """
    n, n_free = jacobian.shape
    dof = n - n_parameters
    covariance = np.full((n_free, n_free), np.nan)
    if dof <= 0:
        return covariance
    s2 = float(np.sum(weights * residuals**2)) / dof
    a = np.sqrt(weights)[:, None] * jacobian
    norms = np.linalg.norm(a, axis=0)
    usable = norms > 0.0
    scaled = a[:, usable] / norms[usable]
    _, singular, vt = np.linalg.svd(scaled, full_matrices=False)
    if singular.size == 0:
        return covariance
    rank_ok = singular > singular[0] * 1e-10
    inverse = (vt[rank_ok].T / singular[rank_ok] ** 2) @ vt[rank_ok]
    inverse /= np.outer(norms[usable], norms[usable])
    index = np.flatnonzero(usable)
    covariance[np.ix_(index, index)] = s2 * inverse
    # A parameter that takes part in a null direction of the fit is not determined.
    null = vt[~rank_ok]
    if null.size:
        open_ = np.zeros(n_free, dtype=bool)
        open_[index] = np.any(np.abs(null) > 1e-6, axis=0)
        covariance[open_, :] = np.nan
        covariance[:, open_] = np.nan
    return covariance


def _cressie_iterations(problem: _Problem, base: np.ndarray,
                        scaled: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Refits with weights pairs / γ_model² until the parameters settle; returns the solution
    and the weights that gave it.

    The weights come from the mean of the last two model curves: undamped, the iteration can
    swing for ever between two solutions when the model fits the data poorly.
    """
    curve = problem.function(scaled, problem.h)
    for _ in range(CRESSIE_ITERATIONS):
        w = base / np.maximum(curve, 1e-12) ** 2
        w /= w.mean()
        # From the previous solution only, so that the iteration stays in one basin.
        previous, scaled = scaled, problem.solve(w, start=scaled)
        if np.allclose(scaled, previous, rtol=1e-9, atol=1e-12):
            return scaled, w
        curve = 0.5 * (curve + problem.function(scaled, problem.h))
    raise ValueError(
        f"the {problem.record.name} model fit with Cressie weights did not converge in "
        f"{CRESSIE_ITERATIONS} iterations"
    )


def _check_structure(record, values, h_used, g_top, held=()):
    """Refuses fits whose structure vanishes or leaves the lags, so Range is undetermined.

    A Range the caller held is not the fit's to refuse.
    """
    if record.name == "Linear":
        return
    if record.name == "Power":
        scale, exponent, _ = values
        if scale * h_used.max() ** exponent <= NEGLIGIBLE * g_top:
            raise ValueError(
                "the fitted power term is negligible: the semivariance shows no trend with "
                "distance, so the Exponent is not determined (a pure nugget effect)"
            )
        return
    psill, range_ = values[0], values[1]
    if psill <= NEGLIGIBLE * g_top:
        raise ValueError(
            f"the fitted PSill ({psill:.3g}) is negligible against the semivariance "
            f"({g_top:.3g}): no spatial structure, so the Range is not determined "
            "(a pure nugget effect)"
        )
    if "Range" in held:
        return
    if range_ >= RANGE_LIMIT * h_used.max() * (1.0 - 1e-9):
        raise ValueError(
            f"the fitted Range runs to its limit of {RANGE_LIMIT:g} times the largest lag "
            "used: the semivariance does not level off within the lags, so the Range is not "
            "determined; try the Linear or Power model, or larger lags"
        )
    rise = record.derivatives(values, h_used)[:, 1]
    if not np.any(np.abs(rise) * range_ > NEGLIGIBLE * psill):
        raise ValueError(
            f"the fitted Range ({range_:.3g}) lies below the first lag used "
            f"({h_used.min():.3g}): the structure is not resolved by the distance classes, "
            "so the Range is not determined; use narrower classes near the origin"
        )


def fit_variogram(
    experimental: ExperimentalVariogram,
    model: str,
    *,
    weights: Optional[str] = "counts",
    nugget: Union[bool, float] = True,
    max_lag: Optional[float] = None,
    fixed: Optional[Mapping[str, float]] = None,
) -> FittedVariogram:
    """Fits a variogram model to an experimental semivariogram; see `ExperimentalVariogram.fit`."""
    name = model_name(model)
    record = MODELS[name]
    if not (weights is None or (isinstance(weights, str) and weights in WEIGHTS)):
        raise ValueError(f"weights must be 'counts', 'cressie' or None; got {weights!r}")
    held = _held_parameters(record, fixed, nugget)
    limit = _lag_limit(max_lag)
    names = record.parameters

    lags, gamma = experimental.lags, experimental.semivariance
    counts = experimental.counts
    # γ(0) = 0 by definition, so a class at lag 0 says nothing about the parameters.
    used = (counts > 0) & np.isfinite(lags) & (lags > 0.0) & (lags <= limit)
    overflowed = int(np.count_nonzero(used & np.isinf(gamma)))
    if overflowed:
        raise ValueError(
            f"the semivariance overflowed to infinity in {overflowed} of the "
            f"{int(np.count_nonzero(used))} distance class(es) used: the squared differences "
            "of the values exceed the float64 range; rescale the values before the fit"
        )
    used &= np.isfinite(gamma)
    h, g, n = lags[used], gamma[used], counts[used].astype(np.float64)
    n_free = len(names) - len(held)
    if h.size < n_free:
        where = "" if max_lag is None else f" with lag <= {limit:g}"
        raise ValueError(
            f"cannot fit the {n_free} free parameters of the {name} model to {h.size} "
            f"non-empty distance class(es){where}; use more classes or a larger max_lag"
        )
    g_top = float(np.max(np.abs(g)))
    if not g_top > 0.0:
        raise ValueError(
            "the semivariance is zero in every distance class used: the values do not vary, "
            "so there is nothing to fit"
        )

    h_scale = float(h.max())
    held_index = {names.index(key): value for key, value in held.items()}
    # The held values in the fit's units (the factor of Power's Scale uses the Exponent,
    # which is then held too).
    trial = np.array([held_index.get(i, 1.0) for i in range(len(names))])
    held_factors, _ = record.unit_factors(trial, h_scale, g_top)
    problem = _Problem(record, h / h_scale, g / g_top,
                       {i: value / held_factors[i] for i, value in held_index.items()})
    base = n / n.mean() if weights is not None else np.ones_like(h)
    with np.errstate(all="ignore"):
        scaled = problem.solve(base)
        w = base
        if weights == "cressie":
            scaled, w = _cressie_iterations(problem, base, scaled)
    bound, scaled = _at_bound(record, scaled)
    bound &= problem.free
    for index, value in problem.held.items():
        scaled[index] = value
    factors, mixing = record.unit_factors(scaled, h_scale, g_top)
    values = list(factors * scaled)
    # Held parameters keep the caller's value to the last bit, not its round trip through
    # the fit's units.
    for index, value in held_index.items():
        values[index] = value
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"the {name} model fit did not converge")
    _check_structure(record, values, h, g_top, held)

    # Statistics in the scaled units, where they neither under- nor overflow, then scaled back.
    residuals = problem.g - problem.function(scaled, problem.h)
    free = problem.free
    estimated = free & ~bound
    jacobian = record.derivatives(scaled, problem.h)[:, estimated]
    inner = np.zeros((len(names), len(names)))
    inner[np.ix_(estimated, estimated)] = _covariance(jacobian, w, residuals,
                                                      int(np.count_nonzero(free)))
    inner[bound, :] = inner[:, bound] = np.nan
    # A held parameter is a constant: its covariance with anything, at a bound or not, is 0.
    inner[~free, :] = inner[:, ~free] = 0.0
    undetermined = np.isnan(inner)
    inner = mixing @ np.where(undetermined, 0.0, inner) @ mixing.T
    inner[undetermined] = np.nan
    with np.errstate(over="ignore"):
        covariance = inner * np.outer(factors, factors)
    stderr = dict(zip(names, (np.abs(factors) * np.sqrt(np.diag(inner))).tolist()))
    mean = np.sum(w * problem.g) / np.sum(w)
    total = float(np.sum(w * (problem.g - mean) ** 2))
    r2 = 1.0 - float(np.sum(w * residuals**2)) / total if total > 0.0 else math.nan
    extrapolated = record.has_range and values[names.index("Range")] > h_scale
    if extrapolated:
        warnings.warn(
            f"the fitted {name} Range ({values[names.index('Range')]:.6g}) lies beyond the "
            f"largest lag used ({h_scale:.6g}): the sill is not reached within the data, so "
            "the Range is an extrapolation",
            RuntimeWarning,
            skip_file_prefixes=(os.path.dirname(__file__) + os.sep,),
        )
    return FittedVariogram(
        model=name,
        parameters=dict(zip(names, (float(v) for v in values))),
        stderr=stderr,
        r2=r2,
        rmse=float(np.sqrt(np.mean(residuals**2))) * g_top,
        n_lags=int(h.size),
        weights=weights,
        max_lag=None if max_lag is None else limit,
        covariance=covariance,
        at_bound=tuple(name_ for name_, flag in zip(names, bound) if flag),
        extrapolated=bool(extrapolated),
    )
