"""The variogram on a Dask cluster against the local engine, on the same two cores.

Run with `make bench-dask` (or `python benchmarks/bench_dask.py [--n N]`). N uniform samples in a
square, 20 classes up to max_lag = 1/30 of its side (PROJCS). In this one process:

1. the local engine, `orv.krige.variogram` on 2 threads: the median of `--repeats` calls;
2. `orv.krige.dask.variogram` on `LocalCluster(n_workers=2, threads_per_worker=1)`, after one
   small warm-up call: the median of `--repeats` calls, each checked bit for bit against (1);
3. the same once more with a worker process killed (SIGKILL) while it runs a piece, when
   about `--kill-at` of the time of (2) has passed: the result must still be equal;
4. each worker's peak resident set size during (2) and (3) (its growth over the size after the
   warm-up, and the peak itself), and the largest tile plus halo of a task, whose samples a
   task holds beside the engine's own memory.

The per-pair cost of the local engine gives an estimate of the time on k workers; it is an
estimate (perfect division of the pair work), stated as such.

With `--kriging` it measures kriging instead: a grid of `--cells` cells (default 10^7) from
`--samples` samples (default 50,000; ordinary kriging, 32 neighbours, spherical model) by
`Kriging.grid` in this process on 2 threads, against `Kriging.grid(..., chunks=...)` computed on
`LocalCluster(n_workers=2, threads_per_worker=1)` (the engine on one thread in each worker), the
results checked bit for bit.
"""
import argparse
import os
import platform
import resource
import signal
import statistics
import sys
import threading
import time

import numpy as np

SIDE = 100_000.0
CLASSES = 20


def samples(n, seed=0):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, SIDE, (n, 2))
    values = np.sin(points[:, 0] / 7000.0) + rng.normal(0.0, 0.3, n)
    return points, values


def worker_rss():
    """This process's current and peak resident set size, in bytes (run inside a worker)."""
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    current = int(fields["VmRSS"].split()[0]) * 1024
    return current, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def run_with_a_killed_worker(client, kill_after, call):
    """Runs `call` in a thread and SIGKILLs a worker running a piece after `kill_after` s."""
    pids = client.run(os.getpid)
    outcome = {}

    def target():
        try:
            outcome["time"], outcome["result"] = timed(call)
        except BaseException as error:  # reported by the caller
            outcome["error"] = error

    runner = threading.Thread(target=target)
    runner.start()
    time.sleep(kill_after)
    victim = None
    while victim is None and runner.is_alive():
        for worker, keys in client.processing().items():
            if any("piece_state" in str(key) for key in keys):
                victim = worker
                break
        else:
            time.sleep(0.01)
    if victim is not None:
        os.kill(pids[victim], signal.SIGKILL)
    runner.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["time"], outcome["result"], victim


def kriging_benchmark(arguments):
    """Kriging.grid in this process against its chunked form on a two-worker cluster."""
    from distributed import Client, LocalCluster

    import orv.krige
    from orv.krige import Kriging, VariogramModel

    points, values = samples(arguments.samples)
    model = VariogramModel("Spherical", {"PSill": 0.5, "Range": 20_000.0, "Nugget": 0.09})
    kriging = Kriging(points, values, model, neighbours=32)
    side = int(round(arguments.cells ** 0.5))
    x = (np.arange(side) + 0.5) * (SIDE / side)
    y = SIDE - (np.arange(side) + 0.5) * (SIDE / side)
    rows = max(1, arguments.chunk_cells // side)
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Python {sys.version.split()[0]}")
    print(f"{arguments.samples:,} samples, ordinary kriging with 32 neighbours, a grid of "
          f"{side} x {side} = {side * side:,} cells; Dask chunks of {rows} rows "
          f"({rows * side:,} cells, {-(-side // rows)} tasks)")
    if arguments.zarr:
        zarr_benchmark(arguments, kriging, x, y)
        return
    orv.krige.set_num_threads(2)
    kriging.grid(x[:50], y[:50])
    local, expected = timed(lambda: kriging.grid(x, y))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(orv.krige.set_num_threads, 1)
        kriging.grid(x[:50], y[:50], chunks=25).compute()
        distributed_time, result = timed(lambda: kriging.grid(x, y, chunks=(rows, side)).compute())
    for name in ("estimate", "variance"):
        assert result[name].values.tobytes() == expected[name].values.tobytes(), \
            f"the Dask {name} differs from the local one"
    print()
    print("| run | time (s) | ratio to local | result |")
    print("|---|---|---|---|")
    print(f"| Kriging.grid, 2 threads | {local:.2f} | 1.00 | reference |")
    print(f"| Kriging.grid(chunks=...), LocalCluster 2 workers x 1 thread | "
          f"{distributed_time:.2f} | {distributed_time / local:.2f} | equal bit for bit |")
    print(f"\n{side * side / local:,.0f} cells/s locally; the goal is Dask <= 1.25 x local: "
          f"{'met' if distributed_time <= 1.25 * local else 'MISSED'}")


def zarr_benchmark(arguments, kriging, x, y):
    """The chunked grid written to a Zarr store on the cluster, and each worker's memory."""
    from distributed import Client, LocalCluster

    import orv.krige

    rows = max(1, arguments.chunk_cells // 2000)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(orv.krige.set_num_threads, 1)
        before = client.run(worker_rss)
        lazy = kriging.grid(x, y, chunks=(rows, 2000))
        elapsed, _ = timed(lambda: lazy.to_zarr(arguments.zarr, mode="w", consolidated=False))
        after = client.run(worker_rss)
    mib = 1 << 20
    print(f"\nwritten to {arguments.zarr} in {elapsed:.1f} s, "
          f"{lazy['estimate'].data.npartitions} tasks of {rows} x 2000 cells; the grid's two "
          f"variables take {2 * 8 * x.size * y.size / mib:,.0f} MiB")
    for worker in sorted(after):
        print(f"worker {worker}: {before[worker][0] / mib:.0f} MiB before, peak "
              f"{after[worker][1] / mib:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kriging", action="store_true",
                        help="measure kriging on a grid instead of the variogram")
    parser.add_argument("--cells", type=int, default=10_000_000, help="--kriging: grid cells")
    parser.add_argument("--samples", type=int, default=50_000, help="--kriging: samples")
    parser.add_argument("--chunk-cells", type=int, default=250_000,
                        help="--kriging: cells per Dask chunk (whole rows)")
    parser.add_argument("--zarr", metavar="PATH",
                        help="--kriging: write the chunked grid to this Zarr store on the "
                             "cluster instead, with each worker's peak memory (try --cells "
                             "100000000 --chunk-cells 1000000)")
    parser.add_argument("--n", type=int, default=1_000_000, help="number of samples")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tiles", type=int, default=None, help="tiles (default: automatic)")
    parser.add_argument("--kill-at", type=float, default=0.4,
                        help="fraction of the Dask time after which a worker is killed")
    arguments = parser.parse_args()
    if arguments.kriging:
        kriging_benchmark(arguments)
        return

    from distributed import Client, LocalCluster

    import orv.krige
    from orv.krige import _tiling
    from orv.krige import dask as kdask

    points, values = samples(arguments.n)
    max_lag = SIDE / 30.0
    options = dict(bins=CLASSES, max_lag=max_lag)
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Python {sys.version.split()[0]}")
    print(f"N = {arguments.n:,} uniform samples in a square of side {SIDE:g}, {CLASSES} classes "
          f"up to max_lag = side / 30")

    orv.krige.set_num_threads(2)
    orv.krige.variogram(*samples(2000), **options)
    local_times = []
    for _ in range(arguments.repeats):
        elapsed, expected = timed(lambda: orv.krige.variogram(points, values, **options))
        local_times.append(elapsed)
    local = statistics.median(local_times)
    pairs = int(expected.counts.sum())

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        kdask.variogram(*samples(2000), client=client, **options)
        tiles = arguments.tiles or kdask._default_tiles(client, arguments.n)
        baseline = client.run(worker_rss)
        dask_times = []
        for _ in range(arguments.repeats):
            elapsed, result = timed(lambda: kdask.variogram(
                points, values, client=client, tiles=tiles, **options))
            assert result == expected, "the Dask result differs from the local one"
            dask_times.append(elapsed)
        distributed_time = statistics.median(dask_times)
        after = client.run(worker_rss)
        killed_time, killed_result, victim = run_with_a_killed_worker(
            client, arguments.kill_at * distributed_time,
            lambda: kdask.variogram(points, values, client=client, tiles=tiles, **options))
        assert killed_result == expected, "the result with a killed worker differs"

    positions = _tiling.embedding(points, False)
    tile_indices = _tiling.spatial_tiles(positions, tiles)
    halo_indices = _tiling.halos(positions, tile_indices, _tiling.reach(max_lag, False))
    largest = max(t.size + h.size for t, h in zip(tile_indices, halo_indices))
    halo_share = sum(h.size for h in halo_indices) / arguments.n

    mib = 1 << 20
    print()
    print("| run | time (s) | ratio to local | result |")
    print("|---|---|---|---|")
    print(f"| local engine, 2 threads | {local:.2f} | 1.00 | reference |")
    print(f"| Dask, LocalCluster 2 workers x 1 thread, {tiles} tiles | {distributed_time:.2f} | "
          f"{distributed_time / local:.2f} | equal bit for bit |")
    print(f"| Dask, one worker killed at {arguments.kill_at:.0%} | {killed_time:.2f} | "
          f"{killed_time / local:.2f} | equal bit for bit"
          f"{'' if victim else ' (finished before a piece could be hit: no kill)'} |")
    print()
    print(f"selected pairs: {pairs:,}; local cost {local * 2 / pairs * 1e9:.1f} ns per pair and "
          f"core; the goal is Dask <= 1.25 x local: "
          f"{'met' if distributed_time <= 1.25 * local else 'MISSED'}")
    for worker in sorted(after):
        base_rss = baseline[worker][0]
        print(f"worker {worker}: peak RSS {after[worker][1] / mib:.0f} MiB, "
              f"{(after[worker][1] - base_rss) / mib:.0f} MiB above its size after warm-up")
    print(f"largest task input: {largest:,} samples (tile + halo, "
          f"{largest * 24 / mib:.1f} MiB); halos add {halo_share:.1%} of N in all")
    per_pair_core = local * 2 / pairs
    print("estimate for k workers of one thread each, from the local per-pair cost "
          "(perfect division; overheads not included):")
    for k in (1, 2, 4, 8, 16, 32):
        print(f"  k = {k:>2}: {per_pair_core * pairs / k:8.2f} s")


if __name__ == "__main__":
    main()
