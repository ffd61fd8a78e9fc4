"""References and memory over many runs, successful and failing."""

import gc
import os
import random
import subprocess
import sys
import tracemalloc

import pytest
from test_reference import configure, make_config, make_models

import vantorel

LONG = os.environ.get("VANTOREL_LONG_TESTS") == "1"


def failing(batch):
    raise RuntimeError("scorer down")


def scenarios(payload):
    """Seeded whole runs, some ending in an unmet requirement, all carrying the payload."""
    made = []
    for seed in range(8):
        rng = random.Random(seed)
        cfg = make_config(rng, selector=seed % 2 == 0)
        made.append((cfg, make_models(cfg, rng, 40)))
        for m in made[-1][1]:
            m.obj["payload"] = payload
    return made


def run_all(runs, payload):
    """The seeded runs, then a failing scorer function, an invalid budget and a malformed item."""
    for cfg, models in runs:
        try:
            assert configure(cfg, {id(m.obj): m.calls for m in models}).run(m.obj for m in models).is_complete()
        except vantorel.EngineError:
            pass
    items = [{"id": i, "scores": {"a": i / 40}, "payload": payload} for i in range(40)]
    for fn, k, stream, error in [(failing, 10, items, RuntimeError), (payload, 0, items, ValueError),
                                 (payload, 10, items[:7] + [{"scores": {}}] + items[7:], ValueError)]:  # fmt: skip
        e = vantorel.Engine()
        e.scorer("a")
        e.scorer("e", cost="expensive", fn=fn)
        e.budget_top_k(k)
        try:  # plain try/except: pytest.raises keeps bookkeeping of its own
            e.run(iter(stream))
        except error:
            pass
        else:
            raise AssertionError(f"expected {error.__name__}")


class Sentinel:
    """A scorer function and candidate payload whose references are counted."""

    def __call__(self, batch):
        return [0.5 for _ in batch]


def test_references_and_python_memory_return_to_start():
    payload = Sentinel()
    runs = scenarios(payload)
    run_all(runs, payload)  # type objects and module caches
    gc.collect()
    refs = sys.getrefcount(payload)
    tracemalloc.start()
    try:
        # The interpreter's own caches settle during the first hundred runs or so (a one-time
        # growth); a leak would keep growing in every window.
        for _ in range(150):
            run_all(runs, payload)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(100):
            run_all(runs, payload)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(payload) == refs
    assert end - start < 16 * 1024, (start, end)


PEAK = """
import resource, sys, vantorel
n = int(sys.argv[1])
e = vantorel.Engine()
e.scorer("a")
e.rejections("count")
out = e.run({"id": i, "scores": {"a": (i * 2654435761 % 1000003) / 1000003}} for i in range(n))
assert out.trace["input_count"] == n and out.is_complete()
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def peak_kib(n):
    return int(subprocess.run([sys.executable, "-c", PEAK, str(n)], capture_output=True, text=True, check=True).stdout)


@pytest.mark.skipif(not LONG, reason="long run; set VANTOREL_LONG_TESTS=1")
def test_peak_memory_does_not_grow_with_the_stream():
    small, large = peak_kib(1_000_000), peak_kib(10_000_000)
    assert large < small * 1.1 + 2048, (small, large)
