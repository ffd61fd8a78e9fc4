"""Engine.run over in-memory candidate dicts against two baselines.

Stage 1 over n dicts with two cheap axes (rank fusion, top 10, pool of 320),
with every rejection kept (the default) and with rejections("count"), against
- the floor: a tiny C extension (bench/floor.c, built here into a temporary
  directory) that only iterates the list and reads each dict's id and its two
  nested scores;
- heapq.nlargest(320, ...) with a Python key function over the same list.
Then whole runs over 0, 10 and 100 candidates in microseconds, and the peak
memory per kept rejection (in a child process, beyond the candidates).
Everything runs in this process over the same list, best of `repeats` in
CPU time.

    python bench/run_vs_heapq.py [n] [repeats]
"""
import heapq
import importlib.util
import os
import random
import subprocess
import sys
import sysconfig
import tempfile

import vantorel
from timing import best_of_each, memory

HERE = os.path.dirname(os.path.abspath(__file__))


def build_floor(tmp):
    so = os.path.join(tmp, "_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    subprocess.check_call(cc + ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                                os.path.join(HERE, "floor.c"), "-o", so])
    found = importlib.util.spec_from_file_location("_floor", so)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def make(n):
    rnd = random.Random(7)
    return [{"id": i, "scores": {"a": rnd.random(), "b": rnd.random()}} for i in range(n)]


def engine(retention="keep"):
    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b")
    e.rejections(retention)
    return e


def best_of(repeats, fn, loops=1):
    return best_of_each(repeats, [fn], loops)[0]


def peak_per_rejection(n):
    """Child process: peak memory of a default run beyond its candidates, per kept rejection."""
    candidates = make(n)
    e = engine()
    before = memory("VmRSS")
    out = e.run(candidates)
    peak = memory("VmHWM")
    print((peak - before) / len(out.rejected))


def main():
    if sys.argv[1:2] == ["--peak"]:
        return peak_per_rejection(int(sys.argv[2]))
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    candidates = make(n)
    default, counting = engine(), engine("count")
    with tempfile.TemporaryDirectory() as tmp:
        floor = build_floor(tmp)
        t_floor, t_heapq, t_count, t_keep = best_of_each(repeats, [
            lambda: floor.read(candidates),
            lambda: heapq.nlargest(320, candidates, key=lambda c: c["scores"]["a"] + c["scores"]["b"]),
            lambda: counting.run(candidates),
            lambda: default.run(candidates)])
    print(f"candidates={n}, best of {repeats}")
    print(f"{'':34}{'seconds':>9}{'/floor':>8}{'/heapq':>8}")
    for name, t in [("floor (C: id and two scores)", t_floor), ("heapq.nlargest(320, key=...)", t_heapq),
                    ("Engine.run, rejections('count')", t_count), ("Engine.run, default (keep)", t_keep)]:
        print(f"{name:34}{t:9.3f}{t / t_floor:8.2f}{t / t_heapq:8.2f}")
    for size in (0, 10, 100):
        small = make(size)
        t = best_of(repeats, lambda: default.run(small), loops=20_000 // (size + 10))
        print(f"run over {size:3} candidates (default): {t * 1e6:7.1f} us")
    m = min(n, 200_000)
    per = subprocess.check_output([sys.executable, __file__, "--peak", str(m)], text=True).strip()
    print(f"peak memory per kept rejection ({m} candidates): {float(per):.0f} bytes")


if __name__ == "__main__":
    main()
