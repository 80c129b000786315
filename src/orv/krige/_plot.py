"""Plot of an experimental semivariogram with its pair counts and a fitted model."""
from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from ._result import ExperimentalVariogram

#: Height of the pair-count panel as a fraction of the semivariance panel.
COUNT_PANEL_SHARE = 0.3


def _describe(experimental):
    text = f"experimental ({experimental.estimator}"
    if experimental.direction is not None:
        angle = experimental.direction
        shown = f"({angle[0]:g}°, dip {angle[1]:g}°)" if isinstance(angle, tuple) else f"{angle:g}°"
        text += f", {shown} ± {experimental.tolerance:g}°"
        if experimental.bandwidth is not None:
            text += f", bandwidth {experimental.bandwidth:g}"
    return text + ")"


def _model_label(model):
    parameters = getattr(model, "parameters", None)
    if parameters is None:
        return "model"
    values = ", ".join(f"{name} {value:.4g}" for name, value in parameters.items())
    return f"{model.model}: {values}"


def _count_panel(ax: Axes) -> Axes:
    """New axes under `ax` sharing its lag axis; `ax` gives up the room the panel takes."""
    spec = ax.get_subplotspec()
    if spec is None:
        # Axes placed by hand: divide their box.
        from mpl_toolkits.axes_grid1 import make_axes_locatable

        return make_axes_locatable(ax).append_axes("bottom", size=f"{COUNT_PANEL_SHARE:.0%}",
                                                   pad=0.08, sharex=ax)
    # A grid cell: split it, which keeps the figure's layout engine in charge of the spacing.
    grid = spec.subgridspec(2, 1, height_ratios=[1.0, COUNT_PANEL_SHARE], hspace=0.04)
    ax.set_subplotspec(grid[0])
    return ax.figure.add_subplot(grid[1], sharex=ax)


def plot_variogram(
    experimental: ExperimentalVariogram,
    ax: Optional[Axes] = None,
    *,
    model: Optional[Callable[[Any], Any]] = None,
    counts: bool = True,
    unit: Optional[str] = None,
) -> Axes:
    """Draws the plot; see `ExperimentalVariogram.plot`."""
    if model is not None and not callable(model):
        raise TypeError(
            "model must be a FittedVariogram (or a callable giving γ(h)); "
            f"got {type(model).__name__}"
        )
    if unit is not None and not isinstance(unit, str):
        raise TypeError(f"unit must be a str or None; got {type(unit).__name__}")
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(7.0, 5.0))

    filled = experimental.counts > 0
    lags, gamma = experimental.lags[filled], experimental.semivariance[filled]
    reach = float(experimental.max_lag)
    if not np.isfinite(reach) or reach <= 0.0:
        reach = float(experimental.edges[-1])
    unit = unit or experimental.unit or "coordinate units"

    ax.plot(lags, gamma, "o", color="C0", label=_describe(experimental))
    if model is not None:
        h = np.linspace(0.0, reach, 400)[1:]
        ax.plot(h, model(h), "-", color="C1", label=_model_label(model))
    ax.set_xlim(0.0, reach)
    ax.set_ylim(bottom=0.0)
    ax.set_ylabel("semivariance")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize="small", loc="lower right")
    xlabel = f"lag distance ({unit})"

    if counts:
        panel = _count_panel(ax)
        edges = experimental.edges
        panel.bar(edges[:-1], experimental.counts, width=np.diff(edges), align="edge",
                  color="0.6", edgecolor="0.3", linewidth=0.5)
        panel.set_ylabel("pairs")
        panel.set_xlabel(xlabel)
        panel.set_xlim(0.0, reach)
        panel.grid(True, axis="y", alpha=0.3)
        ax.tick_params(labelbottom=False)
        # The panel is found again through the main axes, e.g. by tests or callers that
        # want to restyle it.
        ax.pair_count_axes = panel
    else:
        ax.set_xlabel(xlabel)
    return ax
