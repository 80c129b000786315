"""Variogram models given by their parameters: what kriging needs of a model."""
from __future__ import annotations

import dataclasses
import math
import numbers
from typing import Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._models import MODELS, model_name
from ._shape_models import SHAPE_LIMIT, SMOOTHNESS_LIMIT

UNBOUNDED = ("Linear", "Power")
#: Parameters that must lie in (0, limit]: the Range of every bounded model has no upper limit.
POSITIVE = {"Range": math.inf, "Smoothness": SMOOTHNESS_LIMIT, "Shape": SHAPE_LIMIT}
BOUNDED = tuple(name for name in MODELS if name not in UNBOUNDED)


def checked_parameters(model: str, parameters: object) -> dict[str, float]:
    """The parameters of `model` as floats in the model's order; any defect is a ValueError."""
    names = MODELS[model].parameters
    if not isinstance(parameters, dict):
        raise TypeError(
            f"parameters must be a dict of {', '.join(names)} for the {model} model; "
            f"got {type(parameters).__name__}"
        )
    missing = [name for name in names if name not in parameters]
    if missing:
        raise ValueError(f"parameters of the {model} model lack {', '.join(missing)}")
    extra = [str(name) for name in parameters if name not in names]
    if extra:
        raise ValueError(
            f"parameters of the {model} model has unknown {', '.join(extra)}; "
            f"it takes {', '.join(names)}"
        )
    checked = {}
    for name in names:
        value = parameters[name]
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
            raise ValueError(f"parameter {name} must be a real number; got {value!r}")
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"parameter {name} must be finite; got {number!r}")
        if number < 0.0:
            raise ValueError(f"parameter {name} must be >= 0; got {number!r}")
        if name in POSITIVE and not 0.0 < number <= POSITIVE[name]:
            limit = "" if math.isinf(POSITIVE[name]) else f" and <= {POSITIVE[name]:g}"
            raise ValueError(f"parameter {name} must be > 0{limit}; got {number!r}")
        checked[name] = number
    return checked


@dataclasses.dataclass(frozen=True, eq=False)
class VariogramModel:
    """A variogram model given by its name and parameters.

    Called with lags ``h``, it gives the model's γ(h). Pass it (or a `FittedVariogram`, which
    is one) to `Kriging`.

    Parameters
    ----------
    model : str
        ``"Linear"``, ``"Power"``, ``"Gaussian"``, ``"Spherical"``, ``"Exponential"``,
        ``"HoleEffect"``, ``"Matern"`` or ``"Stable"``, in any case; stored in this canonical
        spelling.
    parameters : dict of str to float
        Values by the package's parameter names: Slope, Nugget (Linear); Scale, Exponent,
        Nugget (Power); PSill, Range, Smoothness, Nugget (Matern); PSill, Range, Shape,
        Nugget (Stable); PSill, Range, Nugget (the others). Every one must be given, finite
        and >= 0, Range > 0, 0 < Smoothness <= 20 and 0 < Shape <= 2.

    Attributes
    ----------
    sill : float or None
        PSill + Nugget; None for the unbounded Linear and Power models.

    Raises
    ------
    ValueError
        For an unknown model, or a missing, extra, negative or non-finite parameter, or a
        Range, Smoothness or Shape outside its interval, naming it.
    """

    model: str
    parameters: dict[str, float]

    def __post_init__(self) -> None:
        name = model_name(self.model)
        object.__setattr__(self, "model", name)
        object.__setattr__(self, "parameters", checked_parameters(name, self.parameters))

    @property
    def sill(self) -> Optional[float]:
        """PSill + Nugget; None for Linear and Power, which have no sill."""
        if self.model in UNBOUNDED:
            return None
        return self.parameters["PSill"] + self.parameters["Nugget"]

    def __call__(self, h: ArrayLike) -> NDArray[np.float64]:
        """Semivariance γ(h) of the model.

        Parameters
        ----------
        h : array_like
            Lag(s), in the unit of the coordinates.

        Returns
        -------
        ndarray of float64
            γ(h), of the shape of `h`; γ(0) = 0.
        """
        record = MODELS[self.model]
        result: NDArray[np.float64] = record.function(
            [self.parameters[name] for name in record.parameters], h)
        return result

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value:.6g}" for name, value in self.parameters.items())
        return f"VariogramModel({self.model}: {values})"
