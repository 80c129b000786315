"""The worked example of docs/kriging.md runs as written, and its map script draws the map."""
import runpy
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "examples" / "meuse_kriging_map.py"


def test_worked_example_runs_and_its_map_is_drawn(tmp_path):
    script = runpy.run_path(str(SCRIPT), run_name="meuse_kriging_map")
    example = script["run_worked_example"]()
    estimate, error = example["estimate"], example["standard_error"]
    points, log_zinc = example["points"], example["log_zinc"]
    assert estimate.shape == example["gx"].shape
    # 32 neighbours without a maximum distance: every grid node has an estimate, within the
    # range of the data (ordinary kriging weights may be negative, so allow a little beyond)
    spread = log_zinc.max() - log_zinc.min()
    assert np.isfinite(estimate).all() and np.isfinite(error).all()
    assert log_zinc.min() - 0.2 * spread < estimate.min() < estimate.max() < \
        log_zinc.max() + 0.2 * spread
    # no kriging variance exceeds what a target far from every sample would have
    assert error.max() ** 2 < example["model"].sill * 1.5
    cv = example["cv"]
    assert cv.observed.shape == (len(points),)
    path = tmp_path / "map.png"
    script["draw"](example, path)
    assert path.stat().st_size > 10_000
