"""What the Dask tests share: waiting until tasks run on the cluster's workers."""
import time


def busy_workers(client, key_part="", timeout=30.0):
    """The workers running a task whose key contains `key_part`, once there are any."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        busy = [
            worker
            for worker, keys in client.processing().items()
            if any(key_part in str(key) for key in keys)
        ]
        if busy:
            return busy
        time.sleep(0.02)
    raise AssertionError(f"no task {key_part!r} started on a worker")
