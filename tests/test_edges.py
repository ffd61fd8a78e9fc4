"""The library at the edges of the interpreter: exit while a thread is inside
a run, other interpreters, long loops and MemoryError. What could crash or
hang runs in a fresh interpreter under a timeout."""
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vantorel


def run_python(code, *args):
    """Runs `code` in a fresh interpreter; a hang fails the test instead of stalling it."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True, timeout=60
    )


DAEMON_AT_EXIT = """
    import sys, threading, time, vantorel

    def slow_stream():
        while True:
            time.sleep(0.001)
            yield {"id": 1, "scores": {"a": 0.5}, "extra": {"held": [1]}}

    def slow_callback(batch):
        while True:
            time.sleep(0.001)

    e = vantorel.Engine()
    e.scorer("a")
    e.scorer("b", cost="expensive", fn=slow_callback)
    candidates = slow_stream() if sys.argv[1] == "stream" else [{"id": 1, "scores": {"a": 0.5}}]
    threading.Thread(target=e.run, args=(candidates,), daemon=True).start()
    time.sleep(0.02)
"""


@pytest.mark.parametrize("inside", ["stream", "callback"])
def test_exit_while_a_daemon_thread_runs(inside):
    for _ in range(30):
        done = run_python(DAEMON_AT_EXIT, inside)
        assert (done.returncode, done.stderr) == (0, "")


def test_other_interpreters_are_refused_and_the_main_one_keeps_working():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreters to test with")
    done = run_python("""
        import _testcapi
        assert _testcapi.run_in_subinterp("import vantorel") == -1
        import vantorel
        e = vantorel.Engine()
        e.scorer("a")
        print(len(e.run([{"id": 1, "scores": range(1)}]).ranked))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "1\n"
    assert "ImportError: vantorel" in done.stderr


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_long_tail_mass_is_interruptible():
    done = run_python("""
        import signal, time, vantorel
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        t0 = time.monotonic()
        try:
            vantorel.tail_mass(1.0, 0, 10**12)
        except KeyboardInterrupt:
            print(time.monotonic() - t0)
    """)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 0.1 + 0.2


def test_memory_error_from_an_item_arrives_at_once():
    class Unaffordable:
        def __float__(self):
            raise MemoryError

    def stream():
        yield {"id": 0, "scores": {"a": Unaffordable()}}
        for i in range(1, 2000):
            time.sleep(0.001)
            yield {"id": i, "scores": {"a": 0.5}}

    e = vantorel.Engine()
    e.scorer("a")
    t0 = time.monotonic()
    with pytest.raises(MemoryError):
        e.run(stream())
    assert time.monotonic() - t0 < 0.2
