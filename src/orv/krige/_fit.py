"""Weighted least-squares fits of the variogram models to an experimental semivariogram."""
from __future__ import annotations

import dataclasses
import math
import numbers
from typing import TYPE_CHECKING, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from ._result import ExperimentalVariogram

from ._model import MODELS, VariogramModel

WEIGHTS = ("counts", "cressie", None)

#: A fitted Range may not exceed this multiple of the largest lag used: beyond it the data
#: cannot tell a bounded model from an unbounded one, and the range is not determined.
RANGE_LIMIT = 10.0
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
        ``"Exponential"`` or ``"HoleEffect"``.
    parameters : dict of str to float
        Fitted values by the package's parameter names, in the model's order: Slope, Nugget
        (Linear); Scale, Exponent, Nugget (Power); PSill, Range, Nugget (the others).
        Range is the practical range, in the unit of the lags.
    stderr : dict of str to float
        Standard error of each parameter from the covariance of the weighted least-squares
        fit; NaN where the data do not determine it (no residual degrees of freedom, or a
        direction in which the fit is flat); 0 for a nugget held fixed.
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
        (read-only); the row and column of a fixed nugget are 0, those of an undetermined
        parameter NaN. Its diagonal is the square of `stderr`; it gives the error of derived
        quantities, such as the sill PSill + Nugget.
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

    def __repr__(self) -> str:
        values = ", ".join(
            f"{name}={value:.6g} ± {self.stderr[name]:.2g}"
            for name, value in self.parameters.items()
        )
        return (
            f"FittedVariogram({self.model}: {values}; r2={self.r2:.4f}, "
            f"rmse={self.rmse:.4g}, {self.n_lags} lags)"
        )


def _model_name(model):
    if not isinstance(model, str):
        raise TypeError(f"model must be a model name (str), one of {', '.join(MODELS)}; "
                        f"got {type(model).__name__}")
    for name in MODELS:
        if name.lower() == model.lower():
            return name
    raise ValueError(f"unknown model {model!r}; choose one of {', '.join(MODELS)} "
                     "(case does not matter)")


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


def _lag_limit(max_lag):
    if max_lag is None:
        return math.inf
    if isinstance(max_lag, numbers.Real) and not isinstance(max_lag, bool):
        value = float(max_lag)
        if value > 0.0:  # also refuses NaN
            return value
    raise ValueError(f"max_lag must be None or a positive number; got {max_lag!r}")


def _derivatives(model, values, h):
    """∂γ/∂parameter at lags h > 0, one column per parameter in the model's order."""
    ones = np.ones_like(h)
    if model == "Linear":
        return np.column_stack([h, ones])
    if model == "Power":
        scale, exponent, _ = values
        power = h**exponent
        return np.column_stack([power, scale * power * np.log(h), ones])
    psill, range_, _ = values
    r = h / range_
    if model == "Gaussian":
        decay = np.exp(-3.0 * r * r)
        shape, slope = 1.0 - decay, decay * 6.0 * r
    elif model == "Exponential":
        decay = np.exp(-3.0 * r)
        shape, slope = 1.0 - decay, decay * 3.0
    elif model == "Spherical":
        inside = r < 1.0
        shape = np.where(inside, 1.5 * r - 0.5 * r**3, 1.0)
        slope = np.where(inside, 1.5 - 1.5 * r * r, 0.0)
    else:  # HoleEffect: 1 - sinc(r)
        shape = 1.0 - np.sinc(r)
        slope = (np.sinc(r) - np.cos(np.pi * r)) / r
    # d/dRange of f(h / Range) is -f'(r) · r / Range.
    return np.column_stack([shape, -psill * slope * r / range_, ones])


def _to_data_units(model, values, h_scale, g_scale):
    """Parameters fitted to lags / h_scale and semivariances / g_scale, in the data's units."""
    if model == "Linear":
        return [values[0] * g_scale / h_scale, values[1] * g_scale]
    if model == "Power":
        return [values[0] * g_scale / h_scale ** values[1], values[1], values[2] * g_scale]
    return [values[0] * g_scale, values[1] * h_scale, values[2] * g_scale]


def _starts(model, h, g):
    """Starting points (lags and semivariances scaled to a largest value of 1)."""
    first = g[np.argmin(h)]
    nugget = min(max(first - (g.max() - first) * h.min() / max(h.max() - h.min(), 1e-12), 0.0),
                 first) / 2.0
    rise = max(g.max() - nugget, 1e-3)
    if model == "Linear":
        return [[rise, nugget]]
    if model == "Power":
        return [[rise, exponent, nugget] for exponent in (0.5, 1.0, 1.5)]
    return [[rise, range_, nugget] for range_ in (0.2, 0.5, 1.0)]


def _bounds(model):
    if model == "Linear":
        return [0.0, 0.0], [np.inf, np.inf]
    if model == "Power":
        return [0.0, 1e-6, 0.0], [np.inf, 2.0, np.inf]
    return [0.0, 1e-9, 0.0], [np.inf, RANGE_LIMIT, np.inf]


class _Problem:
    """The least-squares problem in scaled units, with the nugget either free or fixed."""

    def __init__(self, model, h, g, nugget):
        self.model, self.h, self.g, self.nugget = model, h, g, nugget
        self.function = MODELS[model][0]
        self.free = slice(None) if nugget is None else slice(None, -1)

    def full(self, x):
        return list(x) if self.nugget is None else [*x, self.nugget]

    def solve(self, weights, start=None):
        """The best of the fits from the usual starting points, or from `start` alone."""
        from scipy.optimize import least_squares

        root = np.sqrt(weights)
        lower, upper = _bounds(self.model)
        best = None
        starts = _starts(self.model, self.h, self.g) if start is None else [start]
        for point in starts:
            x0 = np.clip(point, lower, [min(u, 1e12) for u in upper])[self.free]
            result = least_squares(
                lambda x: root * (self.function(self.full(x), self.h) - self.g),
                x0,
                jac=lambda x: root[:, None] * _derivatives(self.model, self.full(x),
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
            raise ValueError(f"the {self.model} model fit did not converge")
        return np.array(self.full(best.x))


def _covariance(jacobian, weights, residuals, n_free):
    """Parameter covariance s² (JᵀWJ)⁻¹, with NaN rows for directions the data leave open."""
    n = jacobian.shape[0]
    dof = n - n_free
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


def _cressie_iterations(problem: _Problem, base: np.ndarray, scaled: np.ndarray,
                        name: str) -> np.ndarray:
    """Refits with weights pairs / γ_model² until the parameters settle; the final weights.

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
            problem.solution = scaled
            return w
        curve = 0.5 * (curve + problem.function(scaled, problem.h))
    raise ValueError(
        f"the {name} model fit with Cressie weights did not converge in "
        f"{CRESSIE_ITERATIONS} iterations"
    )


def _check_structure(model, values, h_used, g_top):
    """Refuses fits whose structure vanishes or leaves the lags, so Range is undetermined."""
    if model == "Linear":
        return
    if model == "Power":
        scale, exponent, _ = values
        if scale * h_used.max() ** exponent <= NEGLIGIBLE * g_top:
            raise ValueError(
                "the fitted power term is negligible: the semivariance shows no trend with "
                "distance, so the Exponent is not determined (a pure nugget effect)"
            )
        return
    psill, range_, _ = values
    if psill <= NEGLIGIBLE * g_top:
        raise ValueError(
            f"the fitted PSill ({psill:.3g}) is negligible against the semivariance "
            f"({g_top:.3g}): no spatial structure, so the Range is not determined "
            "(a pure nugget effect)"
        )
    if range_ >= RANGE_LIMIT * h_used.max() * (1.0 - 1e-9):
        raise ValueError(
            f"the fitted Range runs to its limit of {RANGE_LIMIT:g} times the largest lag "
            "used: the semivariance does not level off within the lags, so the Range is not "
            "determined; try the Linear or Power model, or larger lags"
        )
    rise = _derivatives(model, values, h_used)[:, 1]
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
) -> FittedVariogram:
    """Fits a variogram model to an experimental semivariogram; see `ExperimentalVariogram.fit`."""
    name = _model_name(model)
    if not (weights is None or (isinstance(weights, str) and weights in WEIGHTS)):
        raise ValueError(f"weights must be 'counts', 'cressie' or None; got {weights!r}")
    fixed = _fixed_nugget(nugget)
    limit = _lag_limit(max_lag)
    names = MODELS[name][1]

    lags, gamma = experimental.lags, experimental.semivariance
    counts = experimental.counts
    # γ(0) = 0 by definition, so a class at lag 0 says nothing about the parameters.
    used = (counts > 0) & np.isfinite(lags) & np.isfinite(gamma) & (lags > 0.0)
    used &= lags <= limit
    h, g, n = lags[used], gamma[used], counts[used].astype(np.float64)
    n_free = len(names) - (fixed is not None)
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
    problem = _Problem(name, h / h_scale, g / g_top, None if fixed is None else fixed / g_top)
    base = n / n.mean() if weights is not None else np.ones_like(h)
    with np.errstate(all="ignore"):
        scaled = problem.solve(base)
        w = base
        if weights == "cressie":
            w = _cressie_iterations(problem, base, scaled, name)
            scaled = problem.solution
    values = _to_data_units(name, scaled, h_scale, g_top)
    if fixed is not None:
        values[-1] = fixed
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"the {name} model fit did not converge")
    _check_structure(name, values, h, g_top)

    function = MODELS[name][0]
    residuals = g - function(values, h)
    jacobian = _derivatives(name, values, h)[:, problem.free]
    covariance = np.zeros((len(names), len(names)))
    covariance[problem.free, problem.free] = _covariance(jacobian, w, residuals, n_free)
    stderr = dict(zip(names, np.sqrt(np.diag(covariance)).tolist()))
    mean = np.sum(w * g) / np.sum(w)
    total = float(np.sum(w * (g - mean) ** 2))
    r2 = 1.0 - float(np.sum(w * residuals**2)) / total if total > 0.0 else math.nan
    return FittedVariogram(
        model=name,
        parameters=dict(zip(names, (float(v) for v in values))),
        stderr=stderr,
        r2=r2,
        rmse=float(np.sqrt(np.mean(residuals**2))),
        n_lags=int(h.size),
        weights=weights,
        max_lag=None if max_lag is None else limit,
        covariance=covariance,
    )
