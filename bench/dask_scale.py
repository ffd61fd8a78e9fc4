"""Stage 1 on Dask workers against one process, and the driver's merge cost.

n candidate dicts (two cheap axes, rank fusion, top 10, pool of 320, rejections
counted) are generated in 8 partitions. One process runs Engine.run over the
8 partitions in order; a LocalCluster with two single-threaded worker
processes generates and scans the partitions where they live
(vantorel.dask.run), and the client merges and finishes. Both outcomes must
be equal. Then the merge of p partials with full pools, against the scan of
the same p partitions, as p grows. Times are wall-clock seconds, best of
`repeats`, all measured in this run.

    python bench/dask_scale.py [n] [repeats]
"""
import logging
import os
import sys
import time

import dask.bag as db
from dask.distributed import Client, LocalCluster

import vantorel
import vantorel.dask
from vantorel import parallel

PARTITIONS = 8


def engine():
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.rejections("count")
    return e


def generate(indices, per_partition):
    """The candidates of the partitions at `indices`, made where they are read."""
    for p in indices:
        start = p * per_partition
        for i in range(start, start + per_partition):
            h = (i * 2654435761) & 0xFFFFFFFF
            yield {"id": i, "scores": {"a": (h & 0xFFFF) / 65535.0, "b": (h >> 16) / 65535.0}}


def best(repeats, fn):
    times, result = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def ranked_ids(outcome):
    return [(r.id, r.fused) for r in outcome.ranked], outcome.rejected_counts, outcome.trace["input_count"]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    per = n // PARTITIONS
    n = per * PARTITIONS
    e = engine()
    cpu0 = time.process_time()
    one, single = best(repeats, lambda: e.run(generate(range(PARTITIONS), per)))
    one_cpu = (time.process_time() - cpu0) / repeats

    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.CRITICAL
    ) as cluster:
        with Client(cluster) as client:
            bag = db.from_sequence(range(PARTITIONS), npartitions=PARTITIONS).map_partitions(generate, per)
            worker_cpu = lambda: sum(client.run(time.process_time).values())  # noqa: E731
            cpu0 = worker_cpu()
            two, spread = best(repeats, lambda: vantorel.dask.run(e, bag))
            two_cpu = (worker_cpu() - cpu0) / repeats
    assert ranked_ids(single) == ranked_ids(spread), "outcomes differ"
    print(f"candidates={n}, {PARTITIONS} partitions, best of {repeats}")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; CPU s = mean per run (workers summed)")
    print("                            wall s    M/s   CPU s  M/s per CPU s")
    for name, wall, cpu in (("one process", one, one_cpu), ("dask, two worker processes", two, two_cpu)):
        print(f"{name:26s} {wall:7.2f} {n / wall / 1e6:6.2f} {cpu:7.2f} {n / cpu / 1e6:8.2f}")
    print(f"speedup {one / two:.2f}")

    print("\nmerge of p partials with full pools (320 each), against scanning them")
    print("    p   scan s   merge s   merge/scan   merge us/partial   finish s")
    size = 4 * 320
    for p in (8, 64, 512):
        scan_time, partials = best(1, lambda: [parallel.scan(e, generate([i], size)) for i in range(p)])
        merge_time, merged = best(repeats, lambda: parallel.merge(partials))
        finish_time, _ = best(repeats, lambda: parallel.finish(e, merged))
        print(f"{p:5d} {scan_time:8.3f} {merge_time:9.4f} {merge_time / scan_time:12.3f} "
              f"{merge_time / p * 1e6:18.1f} {finish_time:10.4f}")


if __name__ == "__main__":
    main()
