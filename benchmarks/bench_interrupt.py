"""How long a Ctrl-C takes to reach the caller during long native calls.

Run with `python benchmarks/bench_interrupt.py [--repeat 5] [--delay 0.3] [--threads 1 2]`.
Each case runs in a child process: a timer thread sends SIGINT `delay` seconds into a call that
would take seconds, and the child reports the time from the signal to the KeyboardInterrupt.
The table gives the median and the largest latency over the repeats, per thread count.

A case is an entry of CASES: the set-up code (which may use `rng`, a seeded generator), the call,
and what it does. Add a case by appending one.
"""
import argparse
import json
import statistics
import subprocess
import sys
import textwrap
from dataclasses import dataclass


@dataclass(frozen=True)
class Case:
    name: str
    setup: str
    call: str


CASES = [
    Case(
        name="great_circle_distance, 20,000 x 10,000 points (2e8 pairs)",
        setup="""
            from orv._algos.spmis.krige.geodesy import great_circle_distance
            a = np.column_stack([rng.uniform(-180, 180, 20_000), rng.uniform(-90, 90, 20_000)])
            b = a[:10_000] + 0.5
        """,
        call="great_circle_distance(a, b)",
    ),
    Case(
        # Finding the smallest and largest distance takes well under the delay; the signal comes
        # while the pairs are counted and summed per class.
        name="init_variogram_model, PROJCS, 16,000 points, 20 classes",
        setup="""
            from orv._algos.spmis.krige import core
            points, values = rng.uniform(0, 1000, (16_000, 2)), rng.normal(size=16_000)
        """,
        call='core.init_variogram_model(points, values, 20, "PROJCS")',
    ),
]

CHILD = """
import json, os, signal, sys, threading, time
import numpy as np
from orv._algos.spmis.krige import threads

threads.set_num_threads(int(sys.argv[1]))
delay = float(sys.argv[2])
rng = np.random.default_rng(0)
{setup}
sent = []

def interrupt():
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)

threading.Timer(delay, interrupt).start()
try:
    {call}
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.perf_counter()
print(json.dumps([outcome, caught - sent[0] if sent else None]))
"""


def latency(case, thread_count, delay):
    """Seconds from the signal to the KeyboardInterrupt in one child run (None: not interrupted)."""
    code = CHILD.format(setup=textwrap.dedent(case.setup), call=case.call)
    done = subprocess.run([sys.executable, "-c", code, str(thread_count), str(delay)],
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{case.name}: the child failed:\n{done.stderr}")
    outcome, seconds = json.loads(done.stdout)
    return seconds if outcome == "interrupted" else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="child runs per case and count")
    parser.add_argument("--delay", type=float, default=0.3, help="seconds before the SIGINT")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2],
                        help="thread counts of the native engines")
    options = parser.parse_args()
    print(f"{'case':<60} {'threads':>7} {'median ms':>10} {'max ms':>8}")
    for case in CASES:
        for thread_count in options.threads:
            runs = [latency(case, thread_count, options.delay) for _ in range(options.repeat)]
            if any(run is None for run in runs):
                print(f"{case.name:<60} {thread_count:>7}  returned before the signal; "
                      "make the case longer")
                continue
            print(f"{case.name:<60} {thread_count:>7} {statistics.median(runs) * 1e3:>10.2f} "
                  f"{max(runs) * 1e3:>8.2f}")


if __name__ == "__main__":
    main()
