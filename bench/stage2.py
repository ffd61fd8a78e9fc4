"""Stage 2 at pool scale, and small runs against the cost of configuring an Engine.

Candidates are dicts with two scores, two groups, a cost and three cover
items; the Engine has two cheap axes, weighted sum, top K, rejections
("count") and pool multiplier 32. In this process, best of `repeats` in CPU
time, the measured functions taking turns in every round:
- `run` at K=10,000 over n candidates (the pool holds all of them) against
  `run` at K=10 over the same list (a pool of 320);
- `run` over 0, 10 and 100 candidates against building an Engine with six
  configuration calls (two scorers, fuse, budget_top_k, rejections,
  pool_multiplier), each timed over `loops` calls.
`gc` instead times one run over 1,000,000 streamed dicts that keeps every
rejection, with Python's cyclic collector on and off, and under "count".

    python bench/stage2.py [n] [repeats] [loops]
    python bench/stage2.py gc [n]
"""
import gc
import random
import sys
import time

import vantorel
from timing import best_of_each


def make(n, seed=7):
    rnd = random.Random(seed)
    return [{"id": i, "scores": {"a": rnd.random(), "b": rnd.random()},
             "groups": {"brand": f"b{rnd.randrange(50)}", "lang": rnd.choice(["en", "ko"])},
             "cost": rnd.randrange(1, 100), "cover": [f"t{rnd.randrange(200)}" for _ in range(3)]}
            for i in range(n)]


def engine(k, retention="count"):
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.fuse("weighted_sum")
    e.budget_top_k(k)
    e.rejections(retention)
    e.pool_multiplier(32)
    return e


def collector(n):
    def stream():
        rnd = random.Random(7)
        return ({"id": i, "scores": {"a": rnd.random(), "b": rnd.random()}} for i in range(n))

    def timed(retention, collect):
        e = engine(10, retention)
        gc.collect()
        if not collect:
            gc.disable()
        t0 = time.perf_counter()
        out = e.run(stream())
        t = time.perf_counter() - t0
        gc.enable()
        del out
        return t

    for name, retention, collect in [("keep", "keep", True), ("keep, gc.disable()", "keep", False),
                                     ("count", "count", True)]:
        print(f"{n} streamed dicts, {name:20}{timed(retention, collect):7.2f} s")


def main():
    if sys.argv[1:2] == ["gc"]:
        return collector(int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000)
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 320_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    loops = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    candidates = make(n)
    small, large = engine(10), engine(10_000)
    t_small, t_large = best_of_each(repeats, [lambda: small.run(candidates), lambda: large.run(candidates)])
    print(f"candidates={n}, best of {repeats}")
    print(f"run, K=10:     {t_small:8.3f} s")
    print(f"run, K=10,000: {t_large:8.3f} s   K=10,000 / K=10: {t_large / t_small:5.2f}  (at most 2.5)")

    e = engine(10)
    lists = [make(size) for size in (0, 10, 100)]
    times = best_of_each(3 * repeats, [lambda: engine(10)] + [lambda c=c: e.run(c) for c in lists], loops)
    t_build = times[0]
    print(f"building an Engine (six calls): {t_build * 1e6:6.2f} us, best of {3 * repeats} x {loops} calls")
    for size, t, limit in zip((0, 10, 100), times[1:], (1.5, 5, 30)):
        print(f"run over {size:3} candidates: {t * 1e6:7.2f} us   / building: {t / t_build:6.2f}  (at most {limit})")


if __name__ == "__main__":
    main()
