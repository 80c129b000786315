"""Benchmarks of the kriging core against a pure-NumPy reference and, when installed, peers.

Run with `make bench` (or `python benchmarks/bench_variogram.py [--quick]`). Every figure is a
median over repeats, measured in this one process; ratios are reference time / module time, so
above 1 means the module is faster. Peak memory is the growth of the maximum resident set size
of a child process during one call. Single-threaded (OMP/OPENBLAS thread counts set to 1, the
module's engine on one thread) except in the large-N section, which runs the module's streaming
engine on 1 and 2 threads (`--large-only` runs just that section, `--gstools-50000` adds GSTools at
N = 50,000, which takes minutes).
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS",
                 "ORV_KRIGE_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402
from scipy.spatial.distance import pdist  # noqa: E402

from orv._algos.spmis.krige import core, great_circle_distance, threads  # noqa: E402
from orv._algos.spmis.krige.geodesy import EARTH_RADIUS_KM  # noqa: E402

# The statements of init_variogram_model in NumPy, shared with the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference_statements import reference_variogram  # noqa: E402


# ---- Pure-NumPy references -------------------------------------------------------------------


def check_bits(got, want, case):
    """Refuses to time a result that is not the reference's, bit for bit."""
    same = len(got) == len(want) and all(
        a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        for a, b in zip(got, want))
    if not same:
        raise SystemExit(f"{case}: the module's result differs from the NumPy reference")


DEFAULT_PARAMETERS = {"Linear": ["Slope", "Nugget"], "Power": ["Scale", "Exponent", "Nugget"]}


def reference_parameters(model, parameters):
    """init_variogram_parameters, statement by statement, in Python."""
    if model not in DEFAULT_PARAMETERS:
        raise core.error.SpmisError(errors=model, all_sels=DEFAULT_PARAMETERS)
    if parameters is None:
        pars = None
    elif isinstance(parameters, dict):
        par_names = DEFAULT_PARAMETERS[model]
        set_names = parameters.keys()
        errors = [p_n for p_n in par_names if p_n not in set_names]
        if errors:
            raise core.error.ParameterError(errors=errors, all_sels=par_names)
        pars = [parameters[p] for p in par_names]
    else:
        raise core.error.ORVError("Variogram parameters must be None or a dictionary!")
    return model, getattr(core.variogram, model), pars


def reference_anisotropy(points, center, scale, angle):
    """adjust_anisotropy, statement by statement, in NumPy (two-dimensional points)."""
    points, center = core.init_points(points), core.to_numeric_array(center)
    ndim_point = points.shape[1]
    scale = core.to_numeric_array(scale).flatten()
    scale = np.pad(scale, (0, np.max([0, ndim_point - scale.size])), mode="edge")
    angle = core.to_numeric_array(angle).flatten()
    angle = np.pad(angle, (0, np.max([0, ndim_point - angle.size])), mode="edge")
    angle = np.radians(angle)
    stretch = np.array([[1, 0], [0, scale[0]]])
    rot_tot = np.array([[np.cos(-angle[0]), -np.sin(-angle[0])], [np.sin(-angle[0]), np.cos(-angle[0])]])
    points = points - center
    return np.dot(stretch, np.dot(rot_tot, points.T)).T + center


# ---- Peers (speed only, same data and class edges) -------------------------------------------


def class_edges(points, values, n_lags, gtype):
    d = great_circle_distance(points, points)[np.tril_indices(len(points), -1)] if gtype == "GEOGCS" else pdist(points)
    d_min, d_max = d.min(), d.max()
    return np.append(d_min + (d_max - d_min) / n_lags * np.arange(n_lags), d_max + 0.001)


def peers():
    found = {}
    try:
        import gstools

        def gstools_run(points, values, n_lags, gtype, edges):
            if gtype == "GEOGCS":
                pos = (points[:, 1], points[:, 0])  # latitude, longitude
                gstools.vario_estimate(pos, values, np.radians(edges / EARTH_RADIUS_KM), latlon=True)
            else:
                gstools.vario_estimate(points.T, values, edges)

        found["GSTools"] = gstools_run
    except ImportError:
        pass
    try:
        import skgstat

        def skgstat_run(points, values, n_lags, gtype, edges):
            if gtype == "GEOGCS":
                return None  # great-circle distances are not offered in the same way
            skgstat.Variogram(points, values, bin_func=lambda *args: (edges[1:], None), n_lags=n_lags)

        found["scikit-gstat"] = skgstat_run
    except ImportError:
        pass
    return found


# ---- Measurement ------------------------------------------------------------------------------


def median_time(function, repeats, *args):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def data(n, gtype, seed=0):
    rng = np.random.default_rng(seed)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(5.0, 6.5, n), rng.uniform(50.5, 51.5, n)])
    else:
        points = rng.uniform(0, 10_000, (n, 2))
    return points, rng.normal(size=n)


PEAK_SCRIPT = """
import sys
sys.path.insert(0, {folder!r})
from bench_variogram import data, reference_variogram
from orv._algos.spmis.krige import core
points, values = data({n}, {gtype!r})
function = core.init_variogram_model if {which!r} == "module" else reference_variogram
function(points[:20], values[:20], {n_lags}, {gtype!r})

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident size starts again from the current one
before = status("VmRSS:")
function(points, values, {n_lags}, {gtype!r})
print(status("VmHWM:") - before)
"""


def peak_bytes(which, n, n_lags, gtype):
    script = PEAK_SCRIPT.format(folder=os.path.dirname(os.path.abspath(__file__)), n=n, gtype=gtype, which=which, n_lags=n_lags)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1])


LARGE_SCRIPT = """
import sys, time
sys.path.insert(0, {folder!r})
from bench_variogram import data, reference_variogram, class_edges, peers
import numpy as np
from orv._algos.spmis.krige import core, threads
from orv._algos.spmis.krige.geodesy import great_circle_distance
threads.set_num_threads({threads})
points, values = data({n}, {gtype!r})
call = core.init_variogram_model
if {mode!r} == "reference":
    call = reference_variogram
elif {mode!r} == "stored pairs":
    # A wrapped distance routine keeps the engine from streaming: the pairs are stored and only
    # the class loop runs natively, as in the engine before streaming.
    from scipy import spatial
    class Wrapped:
        distance = None
        @staticmethod
        def pdist(*args, **kwargs):
            return spatial.distance.pdist(*args, **kwargs)
    Wrapped.distance = Wrapped
    vars(core).update(spatial=Wrapped, great_circle_distance=lambda a, b: great_circle_distance(a, b))
elif {mode!r} == "GSTools":
    edges = class_edges(points[:2000], values[:2000], {n_lags}, {gtype!r})
    run = peers()["GSTools"]
    call = lambda p, v, k, g: run(p, v, k, g, edges)
call(points[:20], values[:20], {n_lags}, {gtype!r})

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
start = time.perf_counter()
call(points, values, {n_lags}, {gtype!r})
print(time.perf_counter() - start, status("VmHWM:") - before)
"""


def large_call(mode, n, gtype, threads, n_lags=15):
    """Seconds and peak memory growth (bytes) of one call in a child process."""
    script = LARGE_SCRIPT.format(folder=os.path.dirname(os.path.abspath(__file__)), n=n, gtype=gtype,
                                 mode=mode, threads=threads, n_lags=n_lags)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    seconds, peak = done.stdout.split()[-2:]
    return float(seconds), int(peak)


def available_bytes():
    with open("/proc/meminfo") as info:
        return next(int(line.split()[1]) * 1024 for line in info if line.startswith("MemAvailable:"))


# Bytes per pair that the materialising paths need at their peak (measured at N = 5,000-10,000).
STORED_BYTES_PER_PAIR = {"reference": {"PROJCS": 24, "GEOGCS": 140}, "stored pairs": {"PROJCS": 16, "GEOGCS": 72},
                         "GSTools": {"PROJCS": 0, "GEOGCS": 0}}


def large_sizes(options, results):
    """N = 20,000 to 100,000: the engine on 1 and 2 threads, the others where they fit in memory."""
    sizes = [20_000] if options.quick else [20_000, 50_000, 100_000]
    print("\n## Large N: seconds, peak memory growth of the call (MiB), ns per pair")
    print(f"{'gtype':7} {'N':>7} {'path':14} {'threads':>7} {'seconds':>9} {'MiB':>8} {'ns/pair':>8} {'vs engine(1)':>12}")
    for gtype in ("PROJCS", "GEOGCS"):
        for n in sizes:
            pairs = n * (n - 1) // 2
            timings = {}
            for thread_count in (1, 2):
                seconds, peak = large_call("engine", n, gtype, thread_count)
                timings[thread_count] = seconds
                print(f"{gtype:7} {n:7} {'engine':14} {thread_count:7} {seconds:9.2f} {peak / 2**20:8.1f} "
                      f"{seconds / pairs * 1e9:8.2f} {timings[1] / seconds:12.2f}", flush=True)
                results["rows"].append({"gtype": gtype, "n": n, "path": "engine", "threads": thread_count,
                                        "seconds": seconds, "peak": peak})
            print(f"{'':7} {'':7} speed-up of 2 threads over 1: {timings[1] / timings[2]:.2f}")
            others = ["reference", "stored pairs"]
            if n == 20_000 or (n == 50_000 and options.gstools_50000):
                others.append("GSTools")
            for mode in others:
                if mode == "GSTools" and "GSTools" not in peers():
                    continue
                if STORED_BYTES_PER_PAIR[mode][gtype] * pairs > 0.7 * available_bytes():
                    print(f"{gtype:7} {n:7} {mode:14} {'':7} {'does not fit in memory':>27}")
                    continue
                seconds, peak = large_call(mode, n, gtype, 1)
                print(f"{gtype:7} {n:7} {mode:14} {1:7} {seconds:9.2f} {peak / 2**20:8.1f} "
                      f"{seconds / pairs * 1e9:8.2f} {seconds / timings[1]:12.2f}", flush=True)
                results["rows"].append({"gtype": gtype, "n": n, "path": mode, "threads": 1,
                                        "seconds": seconds, "peak": peak})


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or "unknown processor"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--large-only", action="store_true", help="only the large-N section")
    parser.add_argument("--gstools-50000", action="store_true",
                        help="also run GSTools at N = 50,000 (takes minutes)")
    options = parser.parse_args()
    threads.set_num_threads(1)
    sizes = [500, 2000] if options.quick else [500, 2000, 5000, 10000]
    results = {"machine": f"{cpu_model()}, {os.cpu_count()} cores ({platform.machine()})",
               "python": platform.python_version(), "numpy": np.__version__, "rows": []}
    print(f"# {results['machine']}; Python {results['python']}; NumPy {results['numpy']}")
    found = peers()
    if options.large_only:
        large_sizes(options, results)
        return

    print("\n## init_variogram_model: module vs pure-NumPy reference (median seconds)")
    header = f"{'gtype':7} {'N':>6} {'lags':>4} {'module':>9} {'reference':>10} {'ratio':>6}"
    header += "".join(f" {name:>13} {'ratio':>6}" for name in found)
    print(header)
    for gtype in ("PROJCS", "GEOGCS"):
        for n in sizes:
            points, values = data(n, gtype)
            for n_lags in (6, 10, 20):
                repeats = 7 if n <= 2000 else 3
                check_bits(core.init_variogram_model(points, values, n_lags, gtype),
                           reference_variogram(points, values, n_lags, gtype),
                           f"{gtype}, N = {n}, {n_lags} lags")
                module = median_time(core.init_variogram_model, repeats, points, values, n_lags, gtype)
                reference = median_time(reference_variogram, max(1, repeats // 2), points, values, n_lags, gtype)
                row = {"gtype": gtype, "n": n, "lags": n_lags, "module": module, "reference": reference}
                line = f"{gtype:7} {n:6} {n_lags:4} {module:9.4f} {reference:10.4f} {reference / module:6.1f}"
                edges = class_edges(points, values, n_lags, gtype)
                for name, run in found.items():
                    if gtype == "GEOGCS" and name == "scikit-gstat":
                        line += f" {'-':>13} {'-':>6}"
                        continue
                    peer = median_time(run, max(1, repeats // 2), points, values, n_lags, gtype, edges)
                    row[name] = peer
                    line += f" {peer:13.4f} {peer / module:6.1f}"
                print(line, flush=True)
                results["rows"].append(row)

    print("\n## Per-call overhead (median microseconds)")
    points, values = data(10, "PROJCS")
    parameters = {"Slope": 2.0, "Nugget": 0.1}
    overhead = [
        ("init_variogram_model, N = 10", lambda: core.init_variogram_model(points, values, 6, "PROJCS"),
         lambda: reference_variogram(points, values, 6, "PROJCS")),
        ("init_variogram_parameters", lambda: core.init_variogram_parameters("Linear", parameters),
         lambda: reference_parameters("Linear", parameters)),
        ("adjust_anisotropy, N = 10", lambda: core.adjust_anisotropy(points, [0, 0], [2.0], [30.0]),
         lambda: reference_anisotropy(points, [0, 0], [2.0], [30.0])),
    ]
    for name, module_call, reference_call in overhead:
        if name.startswith("init_variogram_model"):
            check_bits(module_call(), reference_call(), name)
        loops = 2000
        module = median_time(lambda: [module_call() for _ in range(loops)], 5) / loops * 1e6
        reference = median_time(lambda: [reference_call() for _ in range(loops)], 5) / loops * 1e6
        print(f"{name:32} module {module:8.2f}  reference {reference:8.2f}  ratio {reference / module:5.1f}")
        results[name] = {"module": module, "reference": reference}

    print("\n## Peak memory of one call (bytes per pair, child process)")
    for gtype, n in (("PROJCS", 10000 if not options.quick else 2000), ("GEOGCS", 5000 if not options.quick else 2000)):
        pairs = n * (n - 1) // 2
        module = peak_bytes("module", n, 10, gtype) / pairs
        reference = peak_bytes("reference", n, 10, gtype) / pairs
        print(f"{gtype:7} N = {n:6}: module {module:6.1f}  reference {reference:6.1f}  ratio {reference / module:5.1f}")
        results[f"peak {gtype}"] = {"n": n, "module": module, "reference": reference}

    large_sizes(options, results)

    if options.json:
        with open(options.json, "w") as out:
            json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
