"""Types of the native kriging engine behind `orv.krige.Kriging`.

All arrays are C-contiguous float64 (int64 for labels and counts); the outputs are written in
place. The results are the numbers of targets whose system could not be solved (their
estimate and variance are NaN). Results are the same bits for any `threads` and `chunk`.
"""

from collections.abc import Callable
from typing import Optional, final

import numpy as np
from numpy.typing import NDArray

@final
class Samples:
    def __new__(
        cls,
        points: NDArray[np.float64],
        values: NDArray[np.float64],
        model: int,
        a: float,
        b: float,
        nugget: float,
        shape: float,
        drift_degree: int,
        mean: float,
        centre: tuple[float, float, float],
        scale: float,
        drift_points: Optional[NDArray[np.float64]],
        build_index: bool,
        factorise: bool,
        /,
    ) -> Samples: ...
    @property
    def factorised(self) -> bool: ...
    def predict(
        self,
        targets: NDArray[np.float64],
        drift_targets: Optional[NDArray[np.float64]],
        offsets: NDArray[np.float64],
        point: bool,
        neighbours: int,
        max_distance2: float,
        min_neighbours: int,
        labels: Optional[NDArray[np.int64]],
        target_labels: Optional[NDArray[np.int64]],
        threads: int,
        chunk: int,
        estimate: NDArray[np.float64],
        variance: NDArray[np.float64],
        neighbours_used: NDArray[np.int64],
        progress: Optional[Callable[[int], None]],
        /,
    ) -> int: ...
    def leave_one_out(
        self,
        min_neighbours: int,
        threads: int,
        estimate: NDArray[np.float64],
        variance: NDArray[np.float64],
        neighbours_used: NDArray[np.int64],
        progress: Optional[Callable[[int], None]],
        /,
    ) -> int: ...
