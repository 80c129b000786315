"""The cost of progress bars: the same calls with progress off and with a tqdm bar, best of several runs.

Run: .venv/bin/python benchmarks/bench_progress.py (needs the progress extra).
"""
import io, time
import numpy as np
from tqdm import tqdm
from orv.krige import Kriging, VariogramModel, variogram
rng = np.random.default_rng(1)
pts = rng.uniform(0, 1000, (50_000, 2)); vals = rng.normal(size=50_000)
k = Kriging(pts, vals, VariogramModel("Spherical", {"PSill": 1.0, "Range": 100.0, "Nugget": 0.1}), neighbours=32)
t = rng.uniform(0, 1000, (400_000, 2))
def best(f, reps=5):
    out = []
    for _ in range(reps):
        s = time.perf_counter(); f(); out.append(time.perf_counter() - s)
    return min(out)
off = best(lambda: k.predict(t))
on = best(lambda: k.predict(t, progress=tqdm(file=io.StringIO(), mininterval=0.1)))
print(f"Kriging.predict 400,000 targets: off {off:.3f} s, on {on:.3f} s, cost {100*(on/off-1):+.2f} %")
vp = rng.uniform(0, 1000, (200_000, 2)); vv = rng.normal(size=200_000)
off = best(lambda: variogram(vp, vv, 20, max_lag=100.0), 3)
on = best(lambda: variogram(vp, vv, 20, max_lag=100.0, progress=tqdm(file=io.StringIO(), mininterval=0.1)), 3)
print(f"variogram 200,000 samples: off {off:.3f} s, on {on:.3f} s, cost {100*(on/off-1):+.2f} %")
