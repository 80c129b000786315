"""Benchmarks of kriging: the speed goals, peak memory, determinism, and the peers side by side.

Run with `make bench-kriging` (or `python benchmarks/bench_kriging.py [--quick] [--no-r-cv]`).
Every figure comes from a fresh child process that builds its inputs, makes a small warm-up call
and then times one call; "per core" figures run on 1 thread, the others on 2. The same synthetic
field serves every program: N uniform samples in a 10 km square, values of a smooth surface with
noise, kriged with a Spherical model of range 2 km (PSill 1, Nugget 0.1). Each result is checked
before its time is printed: ours against a brute-force solve of a few targets' full systems, the
peers against ours at the same targets. R gstat runs through `Rscript` when R with gstat is
installed (Debian package r-cran-gstat), reading temporary CSV files and timed inside R with
`system.time`, so R's start-up is not counted; GSTools comes from the bench extra.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

SIDE = 10_000.0  # metres
MODEL = {"PSill": 1.0, "Range": 2_000.0, "Nugget": 0.1}
NEIGHBOURS = 32
MEMORY_GOAL_MIB = 64
HERE = os.path.dirname(os.path.abspath(__file__))


def field(n, seed=0):
    import numpy as np

    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, SIDE, (n, 2))
    values = (np.sin(points[:, 0] / 1_500.0) + np.cos(points[:, 1] / 1_100.0)
              + 0.3 * rng.standard_normal(n))
    return points, values


def grid(m):
    """About m targets on a regular grid over the square."""
    import numpy as np

    side = max(2, int(round(m ** 0.5)))
    axis = (np.arange(side) + 0.5) * SIDE / side
    gx, gy = np.meshgrid(axis, axis)
    return np.column_stack([gx.ravel(), gy.ravel()])


def peak_bytes():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))


def reset_peak():
    # Writing 5 to clear_refs resets the peak resident set size of this process (Linux ≥ 4.0).
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


# ---- the reference a result is checked against -------------------------------------------------


def brute_force(points, values, targets, neighbours):
    """Ordinary kriging of each target from its k nearest samples by np.linalg.solve."""
    import numpy as np

    from orv.krige import Spherical

    parameters = [MODEL["PSill"], MODEL["Range"], MODEL["Nugget"]]
    sill = MODEL["PSill"] + MODEL["Nugget"]
    estimate, variance = [], []
    for target in targets:
        distance = np.hypot(*(points - target).T)
        chosen = np.lexsort((np.arange(distance.size), distance))
        chosen = chosen if neighbours is None else chosen[:neighbours]
        near = points[chosen]
        k = chosen.size
        system = np.ones((k + 1, k + 1))
        system[k, k] = 0.0
        system[:k, :k] = sill - Spherical(parameters, np.hypot(*(near[:, None] - near[None]).T))
        right = np.append(sill - Spherical(parameters, distance[chosen]), 1.0)
        solution = np.linalg.solve(system, right)
        estimate.append(solution[:k] @ values[chosen])
        variance.append(sill - solution @ right)
    return np.array(estimate), np.array(variance)


def checked(what, got, want, rtol):
    import numpy as np

    got, want = np.asarray(got, dtype=float), np.asarray(want, dtype=float)
    error = float(np.max(np.abs(got - want) / np.maximum(1.0, np.abs(want))))
    if not error <= rtol:
        raise SystemExit(f"{what}: result differs from the reference by {error:.2e} (> {rtol:g})")
    return error


# ---- one measurement, in a child process ------------------------------------------------------


def ours(case, n, m, threads):
    import time

    import numpy as np

    import orv.krige as krige

    krige.set_num_threads(threads)
    points, values = field(n)
    model = krige.VariogramModel("Spherical", MODEL)
    if case == "memory":
        targets = grid(m)
        reset_peak()
        baseline = peak_bytes()
        kriging = krige.Kriging(points, values, model, neighbours=NEIGHBOURS)
        prediction = kriging.predict(targets)
        outputs = sum(a.nbytes for a in (prediction.estimate, prediction.variance,
                                         np.asarray(prediction.neighbours)))
        return {"peak_mib": (peak_bytes() - baseline - outputs) / 2**20}
    neighbours = None if case in ("global", "global-loo") else NEIGHBOURS
    start = time.perf_counter()
    kriging = krige.Kriging(points, values, model, neighbours=neighbours)
    build = time.perf_counter() - start
    if case in ("loo", "global-loo"):
        if case == "loo":
            kriging.cross_validate()  # warm-up: pages and caches, the same work
        start = time.perf_counter()
        cv = kriging.cross_validate()
        seconds = time.perf_counter() - start
        sample = np.arange(0, n, max(1, n // 20))
        rest = [np.delete(np.arange(n), i) for i in sample]
        want = [brute_force(points[r], values[r], points[i:i + 1], neighbours)[0][0]
                for i, r in zip(sample, rest)]
        error = checked("leave-one-out", cv.estimate[sample], want, 1e-9)
        return {"seconds": seconds, "build": build, "per_item_us": seconds / n * 1e6,
                "error": error}
    targets = grid(m)
    kriging.predict(targets[:1000])
    start = time.perf_counter()
    prediction = kriging.predict(targets)
    seconds = time.perf_counter() - start
    sample = np.arange(0, len(targets), max(1, len(targets) // 20))
    want_e, want_v = brute_force(points, values, targets[sample], neighbours)
    error = max(checked("estimate", prediction.estimate[sample], want_e, 1e-9),
                checked("variance", prediction.variance[sample], want_v, 1e-9))
    return {"seconds": seconds, "build": build, "per_item_us": seconds / len(targets) * 1e6,
            "targets": len(targets), "error": error}


PEER_TARGETS = 20_000


def against_brute_force(what, case, n, targets, estimate):
    """Checks a peer's estimate at every twentieth target against the brute force."""
    points, values = field(n)
    sample = slice(0, len(targets), max(1, len(targets) // 20))
    want, _ = brute_force(points, values, targets[sample],
                          None if case == "global" else NEIGHBOURS)
    return checked(what, estimate[sample], want, 1e-6)


def gstools(case, n, m, threads):
    import time

    import gstools as gs

    points, values = field(n)
    targets = grid(m)[:2_000]
    model = gs.Spherical(dim=2, var=MODEL["PSill"], len_scale=MODEL["Range"],
                         nugget=MODEL["Nugget"])
    kriging = gs.krige.Ordinary(model, cond_pos=[points[:, 0], points[:, 1]], cond_val=values)
    kriging((targets[:10, 0], targets[:10, 1]), return_var=True)
    start = time.perf_counter()
    estimate, _ = kriging((targets[:, 0], targets[:, 1]), return_var=True)
    seconds = time.perf_counter() - start
    error = against_brute_force("GSTools", case, n, targets, estimate)
    return {"seconds": seconds, "per_item_us": seconds / len(targets) * 1e6,
            "targets": len(targets), "error": error}


R_SCRIPT = r"""
suppressMessages({library(sp); library(gstat)})
d <- read.csv("%(samples)s"); coordinates(d) <- ~x+y
m <- vgm(%(psill)r, "Sph", %(range)r, %(nugget)r)
if (%(cv)s) {
  t <- system.time(r <- krige.cv(z~1, d, m, nmax=%(k)d, verbose=FALSE))[["elapsed"]]
  out <- data.frame(estimate=r$var1.pred)
} else {
  g <- read.csv("%(targets)s"); coordinates(g) <- ~x+y
  t <- system.time(r <- krige(z~1, d, g, m, nmax=%(k)d, debug.level=0))[["elapsed"]]
  out <- data.frame(estimate=r$var1.pred)
}
write.csv(out, "%(result)s", row.names=FALSE)
cat(t, "\n")
"""


def r_available():
    if shutil.which("Rscript") is None:
        return False
    probe = subprocess.run(["Rscript", "-e", "suppressMessages(library(gstat))"],
                           capture_output=True)
    return probe.returncode == 0


def r_gstat(case, n, m, threads):
    import numpy as np

    points, values = field(n)
    targets = grid(m)[:PEER_TARGETS]
    with tempfile.TemporaryDirectory() as folder:
        names = {key: os.path.join(folder, f"{key}.csv") for key in ("samples", "targets",
                                                                    "result")}
        np.savetxt(names["samples"], np.column_stack([points, values]), delimiter=",",
                   header="x,y,z", comments="", fmt="%.17g")
        np.savetxt(names["targets"], targets, delimiter=",", header="x,y", comments="",
                   fmt="%.17g")
        script = R_SCRIPT % dict(names, psill=MODEL["PSill"], range=MODEL["Range"],
                                 nugget=MODEL["Nugget"], k=NEIGHBOURS,
                                 cv="TRUE" if case == "loo" else "FALSE")
        run = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True,
                             env=dict(os.environ, OMP_NUM_THREADS="1"))
        if run.returncode != 0:
            raise SystemExit(f"R gstat failed: {run.stderr[-2000:]}")
        seconds = float(run.stdout.split()[-1])
        estimate = np.loadtxt(names["result"], delimiter=",", skiprows=1)
    if case == "loo":
        sample = np.arange(0, n, max(1, n // 20))
        want = [brute_force(np.delete(points, i, 0), np.delete(values, i), points[i:i + 1],
                            NEIGHBOURS)[0][0] for i in sample]
        error = checked("R gstat krige.cv", estimate[sample], want, 1e-6)
        return {"seconds": seconds, "per_item_us": seconds / n * 1e6, "error": error}
    error = against_brute_force("R gstat", case, n, targets, estimate)
    return {"seconds": seconds, "per_item_us": seconds / len(targets) * 1e6,
            "targets": len(targets), "error": error}


def determinism(n, m):
    """Bit-identical estimates and variances for 1, 2, 3 threads and for targets split into
    pieces of several sizes."""
    import numpy as np

    import orv.krige as krige

    points, values = field(n)
    targets = grid(m)
    model = krige.VariogramModel("Spherical", MODEL)
    results = []
    for neighbours in (NEIGHBOURS, None):
        # Every predict call of a global Kriging factorises its samples again, so the many
        # small calls below use 500 of them.
        size = 500 if neighbours is None else n
        kriging = krige.Kriging(points[:size], values[:size], model, neighbours=neighbours)
        runs = []
        for threads in (1, 2, 3):
            krige.set_num_threads(threads)
            runs.append(kriging.predict(targets))
            for piece in (1, 7, 1000):
                parts = [kriging.predict(targets[i:i + piece])
                         for i in range(0, min(len(targets), 20 * piece), piece)]
                got = np.concatenate([p.estimate for p in parts])
                assert np.array_equal(got, runs[0].estimate[: got.size], equal_nan=True), \
                    f"pieces of {piece} targets differ"
        for run in runs[1:]:
            assert np.array_equal(run.estimate, runs[0].estimate, equal_nan=True)
            assert np.array_equal(run.variance, runs[0].variance, equal_nan=True)
        krige.set_num_threads(1)
        loo = [kriging.cross_validate().estimate for _ in range(1)]
        krige.set_num_threads(3)
        assert np.array_equal(kriging.cross_validate().estimate, loo[0], equal_nan=True)
        results.append("local" if neighbours else "global")
    return {"identical": results}


CASES = {"ours": ours, "gstools": gstools, "r": r_gstat}


def child(program, case, n, m, threads):
    """Runs one measurement in a fresh interpreter and returns its figures."""
    code = (f"import json, sys; sys.path.insert(0, {HERE!r}); import bench_kriging as b; "
            f"print(json.dumps(b.CASES[{program!r}]({case!r}, {n}, {m}, {threads})))")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if run.returncode != 0:
        return {"failed": (run.stderr.strip().splitlines() or ["exit status"])[-1]}
    return json.loads(run.stdout.strip().splitlines()[-1])


def show(label, figures, goal=""):
    if "failed" in figures:
        print(f"  {label:<44} FAILED: {figures['failed']}")
        return
    parts = [f"{figures['per_item_us']:10.2f} µs each", f"{figures['seconds']:8.3f} s"]
    if "targets" in figures:
        parts.append(f"{figures['targets']:,} targets")
    print(f"  {label:<44} " + "  ".join(parts) + (f"  {goal}" if goal else ""))


def ratio(peer, mine):
    if "failed" in peer or "failed" in mine:
        return "n/a"
    return f"{peer['per_item_us'] / mine['per_item_us']:.0f}×"


# ---- compare_models: four models cross-validated ------------------------------------------------

COMPARE_N = 10_000
COMPARE_MODELS = ("Spherical", "Exponential", "Gaussian", "Matern")


def compare_models_run(n, threads):
    """Seconds of compare_models of four models, leave-one-out with 32 neighbours, N = n.

    The experimental variogram is an input of compare_models and is computed before the clock
    starts; the fits and the four cross-validations are timed.
    """
    import time

    import orv.krige as krige

    krige.set_num_threads(threads)
    points, values = field(n)
    # Lags to 6 km: the sill of the smooth surface shows, so all four models can be fitted.
    experimental = krige.variogram(points, values, bins=15, max_lag=6_000.0)
    krige.compare_models(points[:300], values[:300], experimental, COMPARE_MODELS,
                         neighbours=NEIGHBOURS)  # warm-up
    start = time.perf_counter()
    comparison = krige.compare_models(points, values, experimental, COMPARE_MODELS,
                                      neighbours=NEIGHBOURS)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "per_item_us": seconds / n * 1e6,
            "ranking": [(row.model, row.rmse, row.error) for row in comparison.rows]}


def compare_models_section(n=COMPARE_N):
    print(f"\ncompare_models of {', '.join(COMPARE_MODELS)}, leave-one-out, neighbours = "
          f"{NEIGHBOURS}, N = {n:,} (goal ≤ 5 s on 2 threads)")
    code = (f"import json, sys; sys.path.insert(0, {HERE!r}); import bench_kriging as b; "
            f"print(json.dumps(b.compare_models_run({n}, 2)))")
    env = dict(os.environ, OMP_NUM_THREADS="2", OPENBLAS_NUM_THREADS="2")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if run.returncode != 0:
        print("  FAILED: " + (run.stderr.strip().splitlines() or ["exit status"])[-1])
        return
    figures = json.loads(run.stdout.strip().splitlines()[-1])
    mark = "ok" if figures["seconds"] <= 5.0 else "MISSED"
    print(f"  orv.krige, 2 threads: {figures['seconds']:.3f} s  goal ≤ 5 s  {mark}")
    print("  ranking (cv rmse): " + ", ".join(
        f"{m} {r:.4f}" if e is None else f"{m} not compared ({e[:60]}…)"
        for m, r, e in figures["ranking"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--compare-models", action="store_true",
                        help="only the compare_models goal (four models, leave-one-out)")
    parser.add_argument("--quick", action="store_true", help="a spot check at small N")
    parser.add_argument("--no-r-cv", action="store_true",
                        help="skip R gstat's krige.cv (about a minute at N = 5,000)")
    options = parser.parse_args()
    if options.compare_models:
        compare_models_section()
        return
    quick = options.quick
    local_n, local_m = (5_000, 20_000) if quick else (50_000, 1_000_000)
    global_n, global_m = (500, 5_000) if quick else (2_000, 100_000)
    loo_n, r_loo_n = (10_000, 500) if quick else (100_000, 5_000)
    memory_n = 100_000 if quick else 1_000_000
    have_r = r_available()

    print(f"Local ordinary kriging, Spherical, N = {local_n:,}, neighbours = {NEIGHBOURS}, "
          f"{local_m:,} grid targets (goal ≤ 5 µs per target per core)")
    one = child("ours", "local", local_n, local_m, 1)
    two = child("ours", "local", local_n, local_m, 2)
    show("orv.krige, 1 thread (per core)", one, "goal ≤ 5 µs")
    show("orv.krige, 2 threads", two)
    if have_r:
        r = child("r", "local", local_n, local_m, 1)
        show("R gstat krige(nmax=32), 1 core", r)
        print(f"  ratio R gstat / orv.krige per core: {ratio(r, one)} (goal ≥ 10×)")
    else:
        print("  R gstat not installed: skipped")

    print(f"\nGlobal ordinary kriging with variance, N = {global_n:,}, {global_m:,} targets "
          "(goal ≤ 10 s on 2 threads)")
    one = child("ours", "global", global_n, global_m, 1)
    two = child("ours", "global", global_n, global_m, 2)
    show("orv.krige, 1 thread (per core)", one)
    show("orv.krige, 2 threads", two, "goal ≤ 10 s")
    peer = child("gstools", "global", global_n, global_m, 2)
    show("GSTools krige.Ordinary, 2 threads", peer)
    print(f"  ratio GSTools / orv.krige on 2 threads: {ratio(peer, two)} (goal ≥ 100×)")

    print(f"\nLeave-one-out, neighbours = {NEIGHBOURS}, N = {loo_n:,} (goal ≤ 2 s on 2 threads)")
    one = child("ours", "loo", loo_n, 0, 1)
    two = child("ours", "loo", loo_n, 0, 2)
    show("orv.krige, 1 thread (per core)", one)
    show("orv.krige, 2 threads", two, "goal ≤ 2 s")
    if not have_r:
        print("  R gstat not installed: skipped")
    elif options.no_r_cv:
        print("  R gstat krige.cv: skipped (--no-r-cv)")
    else:
        r = child("r", "loo", r_loo_n, 0, 1)
        show(f"R gstat krige.cv(nmax=32), N = {r_loo_n:,}, 1 core", r)
        print(f"  ratio R gstat / orv.krige per sample, per core: {ratio(r, one)}")

    global_loo_n = 500 if quick else 2_000
    print(f"\nGlobal leave-one-out, N = {global_loo_n:,} (from the one factorisation)")
    one = child("ours", "global-loo", global_loo_n, 0, 1)
    two = child("ours", "global-loo", global_loo_n, 0, 2)
    show("orv.krige, 1 thread (per core)", one)
    show("orv.krige, 2 threads", two)
    for figures in (one, two):
        if "build" in figures:
            print(f"    factorisation in the constructor: {figures['build']:.3f} s")
            break

    print(f"\nPeak memory beyond inputs and outputs, N = {memory_n:,}, neighbours = {NEIGHBOURS}, "
          f"100,000 targets (goal ≤ {MEMORY_GOAL_MIB} MiB)")
    for threads in (1, 2):
        figures = child("ours", "memory", memory_n, 100_000, threads)
        if "failed" in figures:
            print(f"  {threads} thread(s): FAILED: {figures['failed']}")
        else:
            mark = "ok" if figures["peak_mib"] <= MEMORY_GOAL_MIB else "MISSED"
            print(f"  {threads} thread(s): {figures['peak_mib']:.1f} MiB  {mark}")

    print("\nDeterminism: 1, 2, 3 threads and targets in pieces of 1, 7, 1000")
    code = (f"import json, sys; sys.path.insert(0, {HERE!r}); import bench_kriging as b; "
            f"print(json.dumps(b.determinism({20_000 if quick else 50_000}, 20_000)))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if run.returncode != 0:
        print("  FAILED: " + (run.stderr.strip().splitlines() or ["exit status"])[-1])
        sys.exit(1)
    print("  bit-identical: " + ", ".join(json.loads(run.stdout.splitlines()[-1])["identical"]))
    compare_models_section()


if __name__ == "__main__":
    main()
