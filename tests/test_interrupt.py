"""Ctrl-C, other non-Exception exceptions and MemoryError stop a run at once."""
import itertools
import signal
import sys
import time

import pytest

import vantorel

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")


def engine(*expensive):
    e = vantorel.Engine()
    e.scorer("a")
    for name, fn in expensive:
        e.scorer(name, cost="expensive", fn=fn)
    e.rejections("count")
    return e


def interrupt_after(seconds):
    """SIGINT-like interrupt from a kernel timer: the run holds the interpreter
    lock, so no Python thread could send it."""
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)


@pytest.fixture(autouse=True)
def restore_alarm():
    old = signal.getsignal(signal.SIGALRM)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


def slow_stream(item):
    while True:
        time.sleep(0.0005)
        yield item


def in_memory(item):
    return itertools.repeat(item, 200_000_000)


@pytest.mark.parametrize(
    "stream, item",
    [
        pytest.param(in_memory, {"id": 1, "scores": {"a": 0.5}}, id="in-memory"),
        pytest.param(slow_stream, {"id": 1, "scores": {"a": 0.5}}, id="slow-generator"),
        pytest.param(in_memory, {"scores": {"a": 0.5}}, id="in-memory-malformed"),  # each skipped, no Python runs
    ],
)
def test_interrupt_arrives_promptly_and_releases_candidates(stream, item):
    before = sys.getrefcount(item)
    interrupt_after(0.3)
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        engine().run(stream(item))
    assert time.monotonic() - t0 < 0.3 + 0.2
    assert sys.getrefcount(item) == before


def test_interrupt_during_a_long_selection():
    # A minimum that no swap can meet: each of 50,000 outsiders with g = "x"
    # is tried against each of the 50,000 chosen members, which takes very long.
    e = vantorel.Engine()
    e.scorer("a")
    e.budget_top_k(50_000)
    e.pool_multiplier(2)
    e.max_per_group("g", 1)
    e.require_at_least("g", "x", 2)
    items = [
        {"id": i, "scores": {"a": (i * 7919 % 1000) / 1000}, "groups": {"g": "x" if i % 2 else str(i)}}
        for i in range(100_000)
    ]
    interrupt_after(0.5)
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        e.run(items)
    # Generous for sanitizer builds on a busy machine; without the check the
    # selection runs for minutes.
    assert time.monotonic() - t0 < 0.5 + 2.5


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def raising(exc):
    def fn(batch):
        raise exc
    return fn


@pytest.mark.parametrize("exc", [SystemExit(3), MemoryError()])
@pytest.mark.parametrize(
    "make_run",
    [
        pytest.param(
            lambda exc, calls: engine(("e", calls.append)).run([{"id": 1}, {"id": Raising(exc)}, {"id": 3}]),
            id="item",
        ),
        pytest.param(lambda exc, calls: engine(("e", calls.append)).run(iter_raising(exc)), id="iterator"),
        pytest.param(
            lambda exc, calls: engine(("e1", raising(exc)), ("e2", calls.append)).run([{"id": 1}]),
            id="callback",
        ),
    ],
)
def test_non_exception_and_memory_error_abort_at_once(make_run, exc):
    calls = []
    with pytest.raises(type(exc)):
        make_run(exc, calls)
    assert calls == []  # stage 2, or a later callback, is never reached


def iter_raising(exc):
    yield {"id": 1}
    raise exc


def test_ordinary_exception_still_waits_for_the_end_of_the_stream():
    seen = []

    def stream():
        yield {"id": 1, "scores": {"a": 0.1}}
        yield {"id": "bad", "scores": 5}
        seen.append("after")
        yield {"id": 2, "scores": {"a": 0.2}}

    with pytest.raises(ValueError):
        engine().run(stream())
    assert seen == ["after"]
