"""What the benchmarks share: timing functions against each other, and this process's memory."""
import time


def best_of_each(repeats, fns, loops=1):
    """Best time per call of each function, the functions taking turns in every
    round so that a change in the machine's load touches them alike. The time is
    this process's CPU time, which other work on a shared machine disturbs
    less than the wall clock."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            t0 = time.process_time()
            for _ in range(loops):
                fn()
            best[i] = min(best[i], (time.process_time() - t0) / loops)
    return best


def memory(field):
    """VmRSS (now) or VmHWM (peak) of this process in bytes; the peak is this
    process's own (ru_maxrss would carry the parent's over fork and exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
