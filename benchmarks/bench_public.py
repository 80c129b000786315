"""Benchmarks of the public variogram's pair engine: the speed goals, peak memory, peers.

Run with `make bench-public` (or `python benchmarks/bench_public.py [--quick]`). Every figure
comes from a fresh child process that builds its inputs, makes one small warm-up call and then
times one call; peak memory is the growth of that process's peak resident set size during the
call, so it counts native allocations and excludes the inputs; "cpu" is the processor time of
all the process's threads, a check on a busy machine, where wall times grow. Every case runs
through the public front end `orv.krige.variogram` (with its checks and conversions); the speed
goals also time the engine directly (`orv.krige._engine.pair_sums`, coordinates already in
radians for GEOGCS), which shows the front end's share. Ratios are other time / front-end time,
so above 1 means `orv.krige.variogram` is faster. `--peers-50000` adds the peers at N = 50,000
(minutes).
"""
import argparse
import json
import os
import platform
import subprocess
import sys

EARTH_RADIUS_KM = 6371.0088
SIDE = 100_000.0  # metres: the square of the PROJCS cases
BOX_DEGREES = 10.0  # the GEOGCS cases: longitudes 0 … 10, latitudes 40 … 50
BOX_SIDE_KM = EARTH_RADIUS_KM * BOX_DEGREES * 3.141592653589793 / 180.0  # along a meridian
CLASSES = 20
MEMORY_GOAL_MIB = 64  # peak memory beyond the inputs at N = 1,000,000

# ---- One measurement, in a child process ------------------------------------------------------

CHILD = r"""
import json, sys, time
sys.path.insert(0, {folder!r})
from bench_public import measure
print(json.dumps(measure({kind!r}, {gtype!r}, {n}, {max_lag!r}, {threads})))
"""


def samples(n, gtype, seed=0):
    import numpy as np

    rng = np.random.default_rng(seed)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(0.0, BOX_DEGREES, n),
                                  rng.uniform(40.0, 40.0 + BOX_DEGREES, n)])
    else:
        points = rng.uniform(0.0, SIDE, (n, 2))
    return points, rng.normal(size=n)


def status_bytes(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))


def runner(kind, gtype, points, values, max_lag, threads):
    """The call to time, with everything it needs prepared beforehand."""
    import numpy as np

    edges = np.linspace(0.0, max_lag, CLASSES + 1)
    geographic = gtype == "GEOGCS"
    if kind == "engine":
        from orv.krige import _engine

        if geographic:
            points = np.column_stack([np.radians(points[:, 0], dtype=np.float64),
                                      np.radians(points[:, 1], dtype=np.float64)])
        return lambda p, v: _engine.pair_sums(p, v, edges, geographic, 0, None, None, True,
                                              threads), points
    if kind == "front":
        import orv.krige

        orv.krige.set_num_threads(threads)
        return lambda p, v: orv.krige.variogram(p, v, CLASSES, max_lag=max_lag, gtype=gtype), points
    if kind == "streaming":  # the classic function: its own classes over every pair
        from orv._algos.spmis.krige import core, set_num_threads

        set_num_threads(threads)
        return lambda p, v: core.init_variogram_model(p, v, CLASSES, gtype), points
    if kind == "gstools":
        import gstools

        if geographic:
            angles = np.radians(edges / EARTH_RADIUS_KM)
            return lambda p, v: gstools.vario_estimate((p[:, 1], p[:, 0]), v, angles,
                                                       latlon=True), points
        return lambda p, v: gstools.vario_estimate(p.T, v, edges), points
    if kind == "skgstat":
        import skgstat

        return lambda p, v: skgstat.Variogram(p, v, n_lags=CLASSES, maxlag=max_lag), points
    raise ValueError(f"unknown kind {kind!r}")


def measure(kind, gtype, n, max_lag, threads):
    import time

    points, values = samples(n, gtype)
    call, points = runner(kind, gtype, points, values, max_lag, threads)
    call(points[:50].copy(), values[:50].copy())  # imports and first-call set-up
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak resident size starts again from the current one
    before = status_bytes("VmRSS:")
    start, cpu = time.perf_counter(), time.process_time()
    call(points, values)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    return {"seconds": seconds, "cpu": cpu, "peak_mib": (status_bytes("VmHWM:") - before) / 2**20}


def run_child(kind, gtype, n, max_lag, threads, timeout):
    script = CHILD.format(folder=os.path.dirname(os.path.abspath(__file__)), kind=kind,
                          gtype=gtype, n=n, max_lag=max_lag, threads=threads)
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout} s"}
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["failed"])[-1]
        return {"error": last[:60]}
    return json.loads(done.stdout.splitlines()[-1])


# ---- The report -------------------------------------------------------------------------------


def importable(module):
    check = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    return check.returncode == 0


def available_bytes():
    try:
        with open("/proc/meminfo") as info:
            return next(int(line.split()[1]) * 1024 for line in info
                        if line.startswith("MemAvailable:"))
    except (OSError, StopIteration):
        return 0


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info
                        if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or "unknown processor"


def cell(result, goal=None, memory_goal=None):
    if "error" in result:
        return f"{result['error']:>37}"
    missed = goal is not None and result["seconds"] > goal
    missed = missed or (memory_goal is not None and result["peak_mib"] > memory_goal)
    mark = "" if goal is None and memory_goal is None else (" MISSED" if missed else " ok")
    return (f"{result['seconds']:8.2f} s ({result['cpu']:6.2f} cpu) {result['peak_mib']:6.1f} MiB"
            f"{mark:7}")


def ratio(slower, faster):
    if "seconds" in slower and "seconds" in faster:
        return f"{slower['seconds'] / faster['seconds']:7.1f}"
    return f"{'-':>7}"


# ---- The variogram map and the vertical variogram of boreholes -------------------------------

MAP_CELLS = 40  # per axis
BOREHOLES, PER_HOLE = 200, 500

SHAPE_CHILD = r"""
import json, sys, time
sys.path.insert(0, {folder!r})
from bench_public import measure_shape
print(json.dumps(measure_shape({case!r}, {threads})))
"""


def map_samples():
    import numpy as np

    rng = np.random.default_rng(5)
    points = rng.uniform(0.0, SIDE, size=(100_000, 2))
    values = np.sin(points[:, 0] / 9_000.0) * np.cos(points[:, 1] / 23_000.0)
    values = values + 0.2 * rng.normal(size=len(values))
    max_lag = SIDE * 2**0.5 / 10  # a tenth of the extent (the diagonal)
    return points, values, max_lag, 2.0 * max_lag / MAP_CELLS


def borehole_samples():
    import numpy as np

    rng = np.random.default_rng(6)
    heads = rng.uniform(0.0, 10_000.0, size=(BOREHOLES, 2))
    depth = np.arange(PER_HOLE, dtype=float)  # a sample every metre
    points = np.column_stack([np.repeat(heads, PER_HOLE, axis=0), -np.tile(depth, BOREHOLES)])
    values = np.sin(points[:, 2] / 30.0) + 0.1 * rng.normal(size=len(points))
    return points, values


def measure_shape(case, threads):
    """One timed call of the variogram map or of the vertical variogram (after a warm-up)."""
    import resource
    import time

    from orv.krige import set_num_threads, variogram, variogram_map

    set_num_threads(threads)
    if case == "map":
        points, values, max_lag, width = map_samples()
        call = lambda: variogram_map(points, values, width=width, max_lag=max_lag)  # noqa: E731
        variogram_map(points[:2000], values[:2000], width=width, max_lag=max_lag)
    else:
        points, values = borehole_samples()
        call = lambda: variogram(points, values, 20, max_lag=100.0,  # noqa: E731
                                 direction=(0.0, 90.0), tolerance=5.0)
        variogram(points[:2000], values[:2000], 5, max_lag=100.0, direction=(0.0, 90.0),
                  tolerance=5.0)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"seconds": seconds, "cpu": cpu, "entries": int(result.counts.sum())}


R_MAP = """
suppressMessages({ library(sp); library(gstat) })
d <- read.csv("%(samples)s"); coordinates(d) <- ~x+y
t <- system.time(m <- variogram(z~1, d, cutoff=%(cutoff).17g, width=%(width).17g, map=TRUE))
cat(dim(m$map)[1], dim(m$map)[2], t[["elapsed"]], "\n")
"""


def r_gstat_map():
    """R gstat's variogram(..., map = TRUE) on the same samples, cutoff and cell width."""
    import tempfile

    import numpy as np

    probe = subprocess.run(["Rscript", "-e", "suppressMessages({library(sp); library(gstat)})"],
                           capture_output=True) if shutil_which("Rscript") else None
    if probe is None or probe.returncode != 0:
        return {"skipped": "Rscript with sp and gstat not found"}
    points, values, max_lag, width = map_samples()
    with tempfile.TemporaryDirectory() as folder:
        samples = os.path.join(folder, "samples.csv")
        np.savetxt(samples, np.column_stack([points, values]), delimiter=",", header="x,y,z",
                   comments="", fmt="%.17g")
        run = subprocess.run(["Rscript", "-e", R_MAP % dict(samples=samples, cutoff=max_lag,
                                                            width=width)],
                             capture_output=True, text=True, timeout=3600,
                             env=dict(os.environ, OMP_NUM_THREADS="1"))
    if run.returncode != 0:
        return {"skipped": f"R gstat failed: {run.stderr[-500:]}"}
    rows, columns, seconds = run.stdout.split()[-3:]
    return {"seconds": float(seconds), "cells": f"{rows} x {columns}"}


def shutil_which(name):
    import shutil

    return shutil.which(name)


def run_shape(case, threads, timeout=1200):
    script = SHAPE_CHILD.format(folder=os.path.dirname(os.path.abspath(__file__)), case=case,
                                threads=threads)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=timeout)
    if run.returncode != 0:
        return {"error": run.stderr[-500:]}
    return json.loads(run.stdout.splitlines()[-1])


def shapes(results):
    print(f"\n## Variogram map ({MAP_CELLS} x {MAP_CELLS} cells, max_lag = extent / 10, "
          f"N = 100,000; goal 2 s on 2 threads) and vertical variogram ({BOREHOLES} boreholes x "
          f"{PER_HOLE} samples, 5 degree cone, 20 classes to 100 m; goal 1 s)")
    for case, goal in (("map", 2.0), ("vertical", 1.0)):
        for threads in (1, 2):
            result = run_shape(case, threads)
            shown = (f"{result['seconds']:7.2f} s (cpu {result['cpu']:6.2f} s, "
                     f"{result['entries']:,} entries)" if "seconds" in result else str(result))
            print(f"{case:9} {threads} thread(s): {shown} goal {goal:g} s", flush=True)
            results["rows"].append({"table": "shapes", "case": case, "threads": threads,
                                    "result": result, "goal": goal})
    peer = r_gstat_map()
    mine = next(r["result"] for r in results["rows"]
                if r.get("case") == "map" and r["threads"] == 2)
    if "seconds" in peer and "seconds" in mine:
        print(f"R gstat map=TRUE ({peer['cells']} cells, 1 thread): {peer['seconds']:.2f} s; "
              f"ratio {peer['seconds'] / mine['seconds']:.1f}", flush=True)
    else:
        print(f"R gstat map=TRUE: skipped ({peer.get('skipped')})", flush=True)
    results["rows"].append({"table": "shapes", "case": "r-gstat-map", "result": peer})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="only N = 100,000, and peers at N = 5,000 (a spot check)")
    parser.add_argument("--peers-50000", action="store_true",
                        help="also compare the peers at N = 50,000 (minutes)")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--shapes-only", action="store_true",
                        help="only the variogram map and the vertical variogram")
    options = parser.parse_args()
    results = {"machine": f"{cpu_model()}, {os.cpu_count()} cores ({platform.machine()})",
               "python": platform.python_version(), "rows": []}
    print(f"# {results['machine']}; Python {results['python']}")
    kinds = ["front", "engine"]
    shapes(results)
    if options.shapes_only:
        return

    print(f"\n## Speed goals ({CLASSES} classes up to max_lag; seconds, peak MiB beyond inputs; "
          f"at N = 1,000,000 also at most {MEMORY_GOAL_MIB} MiB)")
    goals = [("PROJCS", 100_000, SIDE / 10, 2.0), ("GEOGCS", 100_000, BOX_SIDE_KM / 10, 4.0)]
    if not options.quick:
        goals += [("PROJCS", 1_000_000, SIDE / 30, 30.0), ("GEOGCS", 1_000_000, BOX_SIDE_KM / 30, 60.0)]
    print(f"{'gtype':7} {'N':>9} {'max_lag':>9} {'goal':>5} {'kind':7} {'1 thread':>37} "
          f"{'2 threads':>37} {'speed-up':>8}")
    for gtype, n, max_lag, goal in goals:
        for kind in kinds:
            one = run_child(kind, gtype, n, max_lag, 1, 1200)
            two = run_child(kind, gtype, n, max_lag, 2, 1200)
            speedup = (f"{one['seconds'] / two['seconds']:8.2f}"
                       if "seconds" in one and "seconds" in two else f"{'-':>8}")
            memory_goal = MEMORY_GOAL_MIB if n >= 1_000_000 and kind == "front" else None
            print(f"{gtype:7} {n:9} {max_lag:9.1f} {goal:5.0f} {kind:7} {cell(one)} "
                  f"{cell(two, goal, memory_goal)} {speedup}", flush=True)
            results["rows"].append({"table": "goals", "gtype": gtype, "n": n, "kind": kind,
                                    "max_lag": max_lag, "one": one, "two": two, "goal": goal})

    print("\n## Without a cutoff: max_lag = the whole extent, against init_variogram_model "
          "(2 threads)")
    for gtype, n in (("PROJCS", 5_000 if options.quick else 20_000),
                     ("GEOGCS", 3_000 if options.quick else 10_000)):
        whole = SIDE * 1.5 if gtype == "PROJCS" else BOX_SIDE_KM * 1.5
        front = run_child("front", gtype, n, whole, 2, 1200)
        streaming = run_child("streaming", gtype, n, whole, 2, 1200)
        print(f"{gtype:7} N = {n:6}: variogram {cell(front)} streaming {cell(streaming)} "
              f"ratio {ratio(streaming, front)}", flush=True)
        results["rows"].append({"table": "whole", "gtype": gtype, "n": n, "front": front,
                                "streaming": streaming})

    peers = [name for name in ("gstools", "skgstat") if importable(name)]
    print("\n## Peers on the same classes, max_lag = side / 10 (2 threads; ratio = peer / "
          "variogram; goals 50 for GSTools, 10 for scikit-gstat)"
          + ("" if peers else ": none importable (make bench-public installs them)"))
    sizes = [5_000] if options.quick else [20_000] + ([50_000] if options.peers_50000 else [])
    for n in sizes if peers else []:
        for gtype in ("PROJCS", "GEOGCS"):
            max_lag = SIDE / 10 if gtype == "PROJCS" else BOX_SIDE_KM / 10
            front = run_child("front", gtype, n, max_lag, 2, 1200)
            line = f"{gtype:7} N = {n:6}: variogram {cell(front)}"
            for name in peers:
                if name == "skgstat" and gtype == "GEOGCS":
                    line += f" | {name}: no great-circle distances"
                    continue
                # scikit-gstat keeps every pair distance and more: 10.9 GiB at N = 20,000.
                if name == "skgstat" and 30 * n * n > 0.75 * available_bytes():
                    line += f" | {name}: does not fit in memory"
                    continue
                peer = run_child(name, gtype, n, max_lag, 2, 3600)
                line += f" | {name} {cell(peer)} ratio {ratio(peer, front)}"
                results["rows"].append({"table": "peers", "gtype": gtype, "n": n, "peer": name,
                                        "front": front, "result": peer})
            print(line, flush=True)

    if options.json:
        with open(options.json, "w") as out:
            json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
