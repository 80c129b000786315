"""The memory of the test process itself, for leak checks of long native calls."""


def resident_kib():
    """Resident set size of this process in KiB (0 where /proc is not there)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0
