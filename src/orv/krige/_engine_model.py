"""A variogram model as the native kriging engine takes it: a code and four numbers."""
from __future__ import annotations

from ._model import BOUNDED, VariogramModel
from ._shape_models import matern_length

#: Engine codes of the models, in the engine's order.
MODEL_CODES = {"Linear": 0, "Power": 1, "Gaussian": 2, "Spherical": 3, "Exponential": 4,
               "HoleEffect": 5, "Matern": 6, "Stable": 7}


def engine_model(model: VariogramModel) -> tuple[int, float, float, float, float]:
    """(code, a, b, nugget, shape) of `model` for ``_kriging.krige``.

    a, b are (Slope, 0), (Scale, Exponent) or (PSill, Range); for Matérn b is the length of
    its correlation, Range / x₉₅(Smoothness), computed here once rather than in the engine.
    `shape` is the Smoothness or Shape of Matérn and Stable, else 0.
    """
    p = model.parameters
    code = MODEL_CODES[model.model]
    if model.model == "Linear":
        return code, p["Slope"], 0.0, p["Nugget"], 0.0
    if model.model not in BOUNDED:
        return code, p["Scale"], p["Exponent"], p["Nugget"], 0.0
    if model.model == "Matern":
        return (code, p["PSill"], matern_length(p["Range"], p["Smoothness"]), p["Nugget"],
                p["Smoothness"])
    return code, p["PSill"], p["Range"], p["Nugget"], p.get("Shape", 0.0)
