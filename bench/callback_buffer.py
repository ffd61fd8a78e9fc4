"""Reading a callback's result: a float32 numpy array against the same values
as a list.

The callback returns a prebuilt result of n numbers for a pool of one
candidate. The run reads the whole result before it compares its length with
the pool's, then stops with EngineError, so the time of such a run minus that
of a run whose callback returns an empty list is the cost of reading the
result alone. All runs happen in this process; the ratio is what matters.

    python bench/callback_buffer.py [n] [repeats]
"""
import sys
import time

import numpy as np

import vantorel


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def run_returning(result):
    engine = vantorel.Engine()
    engine.scorer("a")
    engine.scorer("model", cost="expensive", fn=lambda pool: result)
    candidates = [{"id": 0, "scores": [0.5]}]

    def run():
        try:
            engine.run(candidates)
        except vantorel.EngineError:
            pass

    return run


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 32_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    array = np.random.default_rng(7).random(n, dtype=np.float32)
    as_list = array.tolist()
    empty = best_of(repeats, run_returning([]))
    list_read = best_of(repeats, run_returning(as_list)) - empty
    array_read = best_of(repeats, run_returning(array)) - empty
    print(f"n={n} repeats={repeats} (best of; a run returning [] subtracted: {empty * 1e6:.1f} us)")
    print(f"list of floats:  {list_read * 1e6:9.1f} us")
    print(f"float32 array:   {array_read * 1e6:9.1f} us  list/array ratio {list_read / array_read:.1f}")


if __name__ == "__main__":
    main()
