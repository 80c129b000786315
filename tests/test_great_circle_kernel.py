"""The native kernel of great_circle_distance on large matrices: the same bits on any number of
threads, a prompt KeyboardInterrupt, and errors of the thread setting passed on."""
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import CollidingName
from orv._algos.spmis.krige import geodesy, threads

# Points against themselves: 10**7 pairs, enough for the kernel to start threads.
THREADED = 4473


@pytest.fixture
def thread_setting():
    saved = threads.get_num_threads()
    yield threads
    threads.set_num_threads(saved)


def test_any_thread_count_gives_the_same_bits(thread_setting):
    rng = np.random.default_rng(3)
    points = np.column_stack([rng.uniform(-180, 180, THREADED), rng.uniform(-90, 90, THREADED)])
    thread_setting.set_num_threads(1)
    serial = geodesy.great_circle_distance(points, points)
    thread_setting.set_num_threads(3)
    shared = geodesy.great_circle_distance(points, points)
    assert serial.tobytes() == shared.tobytes()
    assert np.array_equal(shared, shared.T) and not shared.diagonal().any()


def test_thread_setting_lookup_errors_propagate(thread_setting):
    namespace = vars(thread_setting)
    key = CollidingName("_num_threads", ArithmeticError("comparison failed"))
    count = namespace.pop("_num_threads")
    namespace[key] = None
    try:
        with pytest.raises(ArithmeticError, match="comparison failed"):
            geodesy.great_circle_distance(np.zeros((THREADED, 2)), np.zeros((THREADED, 2)))
    finally:
        del namespace[key]
        namespace["_num_threads"] = count


# A SIGINT sent from a timer thread 0.2 s into a call that would run for seconds (2 x 10**8
# pairs); a thread of Python code counts meanwhile. Prints the seconds from the signal to the
# KeyboardInterrupt and how often the counting thread ran during the call.
INTERRUPTED_CALL = """
    import json, os, signal, sys, threading, time
    import numpy as np
    from orv._algos.spmis.krige import geodesy, threads

    threads.set_num_threads(int(sys.argv[1]))
    rng = np.random.default_rng(0)
    a = np.column_stack([rng.uniform(-180, 180, 20_000), rng.uniform(-90, 90, 20_000)])
    b = a[:10_000] + 0.5
    sent, ticks, running = [], [0], [True]

    def count():
        while running[0]:
            ticks[0] += 1
            time.sleep(0.001)

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=count).start()
    threading.Timer(0.2, interrupt).start()
    try:
        geodesy.great_circle_distance(a, b)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    caught = time.perf_counter()
    running[0] = False
    print(json.dumps([outcome, caught - sent[0] if sent else None, ticks[0]]))
"""


@pytest.mark.parametrize("thread_count", [1, 2])
def test_keyboard_interrupt_arrives_promptly(thread_count):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_CALL), str(thread_count)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    outcome, latency, ticks = json.loads(done.stdout)
    # The timer thread needs the interpreter lock to send the signal, so an interrupted call
    # shows that the lock was free while the kernel ran; the ticks show another thread running.
    assert outcome == "KeyboardInterrupt"
    assert latency < 0.5
    assert ticks >= 1


def test_unaligned_inputs_are_read_and_an_unaligned_output_refused():
    from orv._algos.spmis.krige import _geodesy

    def unaligned(array):
        copy = np.frombuffer(bytearray(1 + array.nbytes), dtype=array.dtype, offset=1)
        copy[...] = array.ravel()
        return copy.reshape(array.shape)

    lon, lat = np.radians(np.linspace(-170, 170, 7)), np.radians(np.linspace(-80, 80, 7))
    expected = np.zeros((7, 7))
    _geodesy.haversine_matrix(lon, lat, lon, lat, expected, 6371.0088, True)
    got = np.zeros((7, 7))
    skewed = [unaligned(array) for array in (lon, lat)]
    _geodesy.haversine_matrix(*skewed, *skewed, got, 6371.0088, True)
    assert got.tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="out must be aligned"):
        _geodesy.haversine_matrix(lon, lat, lon, lat, unaligned(got), 6371.0088, True)
