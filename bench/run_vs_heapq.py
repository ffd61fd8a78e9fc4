"""Engine.run over in-memory candidate dicts against a plain-Python baseline.

Two cheap axes, default settings (rank fusion, top 10, pool of 320). The
baseline keeps the best 320 by the sum of the two scores with heapq.nlargest.
Both run in this process over the same list; the ratio is what matters.

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
    engine = vantorel.Engine()
    engine.scorer("a")
    engine.scorer("b")
    engine.rejections("count")

    baseline = best_of(repeats, lambda: heapq.nlargest(
        320, candidates, key=lambda c: c["scores"]["a"] + c["scores"]["b"]))
    run = best_of(repeats, lambda: engine.run(candidates))
    print(f"candidates={n} repeats={repeats}")
    print(f"heapq.nlargest baseline: {baseline:.3f} s")
    print(f"Engine.run:              {run:.3f} s")
    print(f"ratio Engine.run / baseline: {run / baseline:.2f}")


if __name__ == "__main__":
    main()
