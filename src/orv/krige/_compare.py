"""Variogram models ranked by how well kriging with each predicts the samples it leaves out."""
from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional

from numpy.typing import ArrayLike

from ._fit import FittedVariogram
from ._kriging_api import Kriging
from ._models import model_name
from ._result import ExperimentalVariogram
from ._table import format_table

if TYPE_CHECKING:
    import pandas

DEFAULT_MODELS = ("Spherical", "Exponential", "Gaussian", "Matern")
#: Widths of the table's columns: model, fit r², CV RMSE, mean error, mean squared z-score.
WIDTHS = (12, 10, 12, 12, 12)


@dataclasses.dataclass(frozen=True, eq=False)
class ComparedModel:
    """One model of a `ModelComparison`.

    Attributes
    ----------
    model : str
        The model's name.
    fitted : FittedVariogram or None
        The fit to the experimental variogram; None when it failed.
    r2 : float
        Weighted r² of the fit (NaN when it failed).
    rmse, mean_error, mean_squared_zscore : float
        Of the cross-validation residuals (see `CrossValidation`); NaN when the fit or the
        kriging failed.
    error : str or None
        Why the model could not be fitted or cross-validated; None when it was.
    """

    model: str
    fitted: Optional[FittedVariogram]
    r2: float
    rmse: float
    mean_error: float
    mean_squared_zscore: float
    error: Optional[str] = None

    @property
    def parameters(self) -> dict[str, float]:
        """The fitted parameters (empty when the fit failed)."""
        return {} if self.fitted is None else dict(self.fitted.parameters)


@dataclasses.dataclass(frozen=True, eq=False)
class ModelComparison:
    """Models fitted to one experimental variogram, ranked by cross-validation RMSE.

    Returned by `compare_models`; its repr is the table.

    Attributes
    ----------
    rows : tuple of ComparedModel
        One row per model, the lowest cross-validation RMSE first; models that could not be
        fitted or cross-validated come last, in the order given, with the reason in their
        `error`.
    folds : None, int or array_like
        The folds of the cross-validations, as given (None: leave-one-out).
    best : FittedVariogram
        The fitted model of the first row.
    """

    rows: tuple[ComparedModel, ...]
    folds: Optional[object] = None

    @property
    def best(self) -> FittedVariogram:
        """The fitted model of the first row: the one that cross-validates best.

        Raises
        ------
        ValueError
            When no model could be fitted and cross-validated, with each reason.
        """
        first = self.rows[0] if self.rows else None
        if first is None or first.fitted is None or not math.isfinite(first.rmse):
            reasons = "; ".join(f"{row.model}: {row.error}" for row in self.rows)
            raise ValueError(f"no model could be fitted and cross-validated: {reasons}")
        return first.fitted

    def __len__(self) -> int:
        return len(self.rows)

    def __getitem__(self, index: int) -> ComparedModel:
        return self.rows[index]

    def to_dataframe(self) -> pandas.DataFrame:
        """The table as a pandas DataFrame, one row per model in rank order.

        Columns: model, r2, rmse, mean_error, mean_squared_zscore, error, then one column per
        parameter name of the models (NaN where a model has no such parameter).

        Raises
        ------
        ImportError
            When pandas is not installed (it is an optional dependency).
        """
        try:
            import pandas
        except ImportError as exc:
            raise ImportError("ModelComparison.to_dataframe needs pandas: pip install pandas"
                              ) from exc
        names: list[str] = []
        for row in self.rows:
            names.extend(n for n in row.parameters if n not in names)
        records = []
        for row in self.rows:
            record: dict[str, Any] = {
                "model": row.model, "r2": row.r2, "rmse": row.rmse,
                "mean_error": row.mean_error, "mean_squared_zscore": row.mean_squared_zscore,
                "error": row.error,
            }
            record.update({n: row.parameters.get(n, math.nan) for n in names})
            records.append(record)
        return pandas.DataFrame.from_records(
            records, columns=["model", "r2", "rmse", "mean_error", "mean_squared_zscore",
                              "error", *names])

    def __repr__(self) -> str:
        fitted = [row for row in self.rows if row.error is None]
        table = format_table(
            {"model": [row.model for row in fitted], "fit r2": [row.r2 for row in fitted],
             "cv rmse": [row.rmse for row in fitted],
             "mean error": [row.mean_error for row in fitted],
             "mean z2": [row.mean_squared_zscore for row in fitted]},
            WIDTHS, indent="  ")
        if self.folds is None:
            folds = "leave-one-out"
        elif isinstance(self.folds, int):
            folds = f"{self.folds} folds"
        else:
            folds = "folds by the labels given"
        lines = [f"ModelComparison ({folds}, best first)", table]
        for row in fitted:
            values = ", ".join(f"{n}={v:.6g}" for n, v in row.parameters.items())
            lines.append(f"  {row.model}: {values}")
        for row in self.rows:
            if row.error is not None:
                lines.append(f"  {row.model}: not compared: {row.error}")
        return "\n".join(lines)


def compare_models(
    points: ArrayLike,
    values: ArrayLike,
    experimental: ExperimentalVariogram,
    models: Sequence[str] = DEFAULT_MODELS,
    *,
    folds: Optional[object] = None,
    **kriging_options: Any,
) -> ModelComparison:
    """Fits each model to an experimental variogram and ranks them by cross-validation.

    Each model is fitted with ``experimental.fit(model)`` and cross-validated with
    ``Kriging(points, values, fitted, **kriging_options).cross_validate(folds=folds)``, all
    under the same options and folds; the models are ranked by the root mean square of the
    cross-validation residuals, which measures what kriging is for rather than how closely a
    curve follows the experimental points.

    Parameters
    ----------
    points, values : array_like
        The samples, as for `Kriging`.
    experimental : ExperimentalVariogram
        The experimental semivariogram to fit, e.g. ``variogram(points, values)``.
    models : sequence of str, default ("Spherical", "Exponential", "Gaussian", "Matern")
        Model names (any case), each compared once.
    folds : None, int or array_like, optional
        As for `Kriging.cross_validate`: None is leave-one-out. With an int the random folds
        are drawn from the seed `seed` in `kriging_options` when given, so every model sees
        the same folds.
    **kriging_options
        Keyword arguments of `Kriging` (e.g. ``neighbours=32``, ``kind="ordinary"``); a
        ``seed`` is passed to `Kriging.cross_validate` instead.

    Returns
    -------
    ModelComparison
        One row per model, the lowest cross-validation RMSE first. A model whose fit or
        cross-validation raises a ValueError keeps its row, last, with the reason.

    Raises
    ------
    TypeError, ValueError
        For an `experimental` that is not an ExperimentalVariogram, an unknown model name or
        no model; a TypeError of `Kriging` (an unknown keyword, an argument of the wrong
        type) propagates. A ValueError of `Kriging` (e.g. ``kind="simple"`` with a model
        without a sill) only marks the row of the model it came with.
    """
    if not isinstance(experimental, ExperimentalVariogram):
        raise TypeError("experimental must be an ExperimentalVariogram (from variogram); got "
                        f"{type(experimental).__name__}")
    if isinstance(models, str):
        models = (models,)
    names = list(dict.fromkeys(model_name(m) for m in models))
    if not names:
        raise ValueError("models must name at least one model")
    seed = kriging_options.pop("seed", None)
    rows = []
    for name in names:
        try:
            fitted = experimental.fit(name)
        except ValueError as exc:
            rows.append(ComparedModel(name, None, math.nan, math.nan, math.nan, math.nan,
                                      f"the fit failed: {exc}"))
            continue
        try:
            result = Kriging(points, values, fitted, **kriging_options).cross_validate(
                folds=folds, seed=seed)
        except ValueError as exc:
            rows.append(ComparedModel(name, fitted, fitted.r2, math.nan, math.nan, math.nan,
                                      f"kriging failed: {exc}"))
            continue
        rows.append(ComparedModel(name, fitted, fitted.r2, result.rmse, result.mean_error,
                                  result.mean_squared_zscore))

    def rank(item: tuple[int, ComparedModel]) -> tuple[bool, float, int]:
        index, row = item
        usable = row.error is None and math.isfinite(row.rmse)
        return (not usable, row.rmse if usable else 0.0, index)

    ordered = tuple(row for _, row in sorted(enumerate(rows), key=rank))
    return ModelComparison(ordered, folds)
