"""References and memory over many runs, successful and failing."""
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

import vantorel

LONG = os.environ.get("VANTOREL_LONG_TESTS") == "1"


class Sentinel:
    """A callback object and candidate payload whose references are counted."""

    def __call__(self, batch):
        return [0.5 for _ in batch]


def failing(batch):
    raise RuntimeError("scorer down")


def configurations(fn):
    """(configure, candidates, expected exception or None) triples."""

    def base(e):
        e.scorer("a")
        e.scorer("e", cost="expensive", fn=fn)

    def caps(e):
        base(e)
        e.fuse("weighted_sum", weights={"a": 2.0, "e": 1.0})
        e.max_per_group("brand", 1)
        e.max_total(3)
        e.coverage_objective()

    def quota(e):
        base(e)
        e.require_at_least("lang", "ko", 1)
        e.budget_tokens(10)

    def tail(e):
        base(e)
        e.budget_tail_mass(0.2, 3)
        e.rejections("sample", n=2)

    def unmet(e):
        base(e)
        e.require_at_least("lang", "xx", 1)

    def failing_callback(e):
        e.scorer("a")
        e.scorer("f", cost="expensive", fn=failing)

    def invalid(e):
        base(e)
        e.budget_top_k(0)

    return [
        (base, None),
        (caps, None),
        (quota, None),
        (tail, None),
        (unmet, vantorel.EngineError),
        (failing_callback, RuntimeError),
        (invalid, ValueError),
        (base, ValueError),  # with a malformed item in the stream
    ]


def candidates(payload, malformed=False):
    items = [
        {
            "id": i,
            "scores": {"a": (i * 37 % 11) / 10},
            "groups": {"brand": "b%d" % (i % 3), "lang": "ko" if i % 4 == 0 else "en"},
            "cover": ["t%d" % (i % 5)],
            "cost": i % 4,
            "payload": payload,
        }
        for i in range(40)
    ]
    if malformed:
        items.insert(7, {"scores": {}})
    return items


def run_all(fn, payload):
    for index, (configure, error) in enumerate(configurations(fn)):
        e = vantorel.Engine()
        configure(e)
        stream = candidates(payload, malformed=index == 7)
        if error is None:
            out = e.run(iter(stream))
            assert out.is_complete()
        else:
            # Plain try/except: pytest.raises keeps bookkeeping of its own.
            try:
                e.run(stream)
            except error:
                pass
            else:
                raise AssertionError("expected %s" % error.__name__)


def test_references_and_python_memory_return_to_start():
    fn, payload = Sentinel(), Sentinel()
    run_all(fn, payload)  # type objects and module caches
    gc.collect()
    refs = (sys.getrefcount(fn), sys.getrefcount(payload))
    tracemalloc.start()
    try:
        # The interpreter's own caches settle during the first hundred runs or
        # so (a one-time growth); a leak would keep growing in every window.
        for _ in range(150):
            run_all(fn, payload)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(100):
            run_all(fn, payload)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(fn), sys.getrefcount(payload)) == refs
    assert end - start < 16 * 1024, (start, end)


PEAK = textwrap.dedent(
    """
    import resource, sys, vantorel
    n = int(sys.argv[1])
    def stream():
        for i in range(n):
            yield {"id": i, "scores": {"a": (i * 2654435761 % 1000003) / 1000003}}
    e = vantorel.Engine()
    e.scorer("a")
    e.rejections("count")
    out = e.run(stream())
    assert out.trace["input_count"] == n and out.is_complete()
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """
)


def peak_kib(n):
    done = subprocess.run([sys.executable, "-c", PEAK, str(n)], capture_output=True, text=True, check=True)
    return int(done.stdout)


@pytest.mark.skipif(not LONG, reason="long run; set VANTOREL_LONG_TESTS=1")
def test_peak_memory_does_not_grow_with_the_stream():
    small, large = peak_kib(1_000_000), peak_kib(10_000_000)
    assert large < small * 1.1 + 2048, (small, large)
