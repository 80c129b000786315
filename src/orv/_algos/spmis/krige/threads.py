"""How many threads the native pair engines may use.

The count is read by the engines at each call. It starts from the environment variable
``ORV_KRIGE_NUM_THREADS`` when that holds a positive integer, and otherwise from the number of
cores this process may run on. Small problems run on one thread whatever the setting, since
starting threads would cost more than it saves. A count above `MOST_THREADS` (the most any
engine starts) is lowered to it, with a RuntimeWarning.
"""
import os
import warnings

from ._geodesy import MOST_THREADS

ENVIRONMENT_VARIABLE = "ORV_KRIGE_NUM_THREADS"

# Read by the native engines (an int >= 1); change it only through set_num_threads.
_num_threads = 1


def available_cores():
    """Number of cores this process may run on (its CPU affinity where the system has one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _default_num_threads():
    text = os.environ.get(ENVIRONMENT_VARIABLE, "").strip()
    if text:
        try:
            count = int(text)
        except ValueError:
            count = 0
        if count >= 1:
            return _within_most(count, f"{ENVIRONMENT_VARIABLE}={text!r}", stacklevel=4)
        warnings.warn(
            f"{ENVIRONMENT_VARIABLE}={text!r} is not a positive integer; "
            f"using the {available_cores()} available core(s)",
            RuntimeWarning,
            stacklevel=3,
        )
    return available_cores()


def _within_most(count, source, stacklevel):
    if count <= MOST_THREADS:
        return count
    warnings.warn(
        f"{source} asks for more threads than the engines start; using {MOST_THREADS}",
        RuntimeWarning,
        stacklevel=stacklevel,
    )
    return MOST_THREADS


def set_num_threads(n=None):
    """Set the number of threads of the native pair engines.

    Parameters
    ----------
    n : int or None
        A positive number of threads; 1 runs every engine on the calling thread without
        starting any thread. None restores the default: ``ORV_KRIGE_NUM_THREADS`` if set,
        otherwise the number of cores this process may use. A count above `MOST_THREADS`
        (256) is lowered to it, with a RuntimeWarning.

    Raises
    ------
    TypeError
        If `n` is neither an integer nor None.
    ValueError
        If `n` is smaller than 1.
    """
    global _num_threads
    if n is None:
        _num_threads = _default_num_threads()
        return
    if isinstance(n, bool) or not hasattr(n, "__index__"):
        raise TypeError(f"n must be a positive integer or None; got {type(n).__name__}")
    count = n.__index__()
    if count < 1:
        raise ValueError(f"n must be a positive integer or None; got {count}")
    _num_threads = _within_most(count, f"set_num_threads({count})", stacklevel=3)


def get_num_threads():
    """The number of threads the native pair engines may use (at least 1).

    Returns
    -------
    int
        The count set by `set_num_threads`, or the default described there.
    """
    return _num_threads


set_num_threads(None)
