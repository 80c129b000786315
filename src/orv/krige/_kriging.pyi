"""Types of the native kriging engine behind `orv.krige.Kriging`.

All arrays are C-contiguous float64 (int64 for labels and counts); the outputs are written in
place. The result is the number of targets whose system could not be solved (their estimate
and variance are NaN). Results are the same bits for any `threads` and `chunk`.
"""

from typing import Optional

import numpy as np
from numpy.typing import NDArray

def krige(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    model: int,
    a: float,
    b: float,
    nugget: float,
    drift_degree: int,
    mean: float,
    centre: tuple[float, float, float],
    scale: float,
    drift_points: Optional[NDArray[np.float64]],
    drift_targets: Optional[NDArray[np.float64]],
    neighbours: int,
    max_distance2: float,
    min_neighbours: int,
    labels: Optional[NDArray[np.int64]],
    targets: NDArray[np.float64],
    target_labels: Optional[NDArray[np.int64]],
    offsets: NDArray[np.float64],
    point: bool,
    threads: int,
    chunk: int,
    estimate: NDArray[np.float64],
    variance: NDArray[np.float64],
    neighbours_used: NDArray[np.int64],
    shape: float = 0.0,
    /,
) -> int: ...
