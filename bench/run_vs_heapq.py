"""Engine.run over in-memory candidate dicts against a plain-Python baseline.

Two cheap axes, default settings (rank fusion, top 10, pool of 320, every
rejection kept as a Rejected object), and the same with rejections("count").
The baseline keeps the best 320 by the sum of the two scores with
heapq.nlargest. All run in this process over the same list; the ratios are
what matter.

    python bench/run_vs_heapq.py [n] [repeats]
"""
import heapq
import random
import sys
import time

import vantorel


def make(n):
    rnd = random.Random(7)
    return [{"id": i, "scores": {"a": rnd.random(), "b": rnd.random()}} for i in range(n)]


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    candidates = make(n)
    default = vantorel.Engine()
    default.scorer("a")
    default.scorer("b")
    counting = vantorel.Engine()
    counting.scorer("a")
    counting.scorer("b")
    counting.rejections("count")

    baseline = best_of(repeats, lambda: heapq.nlargest(
        320, candidates, key=lambda c: c["scores"]["a"] + c["scores"]["b"]))
    run_default = best_of(repeats, lambda: default.run(candidates))
    run_count = best_of(repeats, lambda: counting.run(candidates))
    print(f"candidates={n} repeats={repeats} (best of)")
    print(f"heapq.nlargest baseline:              {baseline:.3f} s")
    print(f"Engine.run, default settings:         {run_default:.3f} s  ratio {run_default / baseline:.2f}")
    print(f"Engine.run, rejections('count'):      {run_count:.3f} s  ratio {run_count / baseline:.2f}")


if __name__ == "__main__":
    main()
