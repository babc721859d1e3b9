"""The object lock against threading.Lock: timeouts it cannot wait for, and
waits that a signal (Ctrl-C) must be able to end."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from orvane import _pyhost as h

import orvane

# The child imports the same build as this process.
SRC = os.path.dirname(os.path.dirname(orvane.__file__))


def outcome(lock, **kwargs):
    try:
        got = lock.acquire(**kwargs)
    except Exception as e:  # noqa: BLE001 - the outcome is what we compare
        return type(e), str(e)
    if got:
        lock.release()
    return got


@pytest.mark.parametrize(
    "kwargs",
    [
        {"timeout": float("nan")},
        {"timeout": float("inf")},
        {"timeout": float("-inf")},
        {"timeout": 1e300},
        {"timeout": threading.TIMEOUT_MAX + 1e6},
        {"blocking": False, "timeout": float("nan")},
        {"timeout": 0},
        {"timeout": 0.01},
        {"blocking": False},
    ],
)
def test_acquire_timeouts_behave_as_threading_lock(kwargs):
    assert outcome(h.new_lock(), **kwargs) == outcome(threading.Lock(), **kwargs)


def test_held_lock_with_unwaitable_timeout_raises_instead_of_giving_up():
    ours, theirs = h.new_lock(), threading.Lock()
    ours.acquire()
    theirs.acquire()
    for t in (float("nan"), float("inf")):
        expected = outcome(theirs, timeout=t)
        assert expected is not False
        assert outcome(ours, timeout=t) == expected


def run_child(body):
    code = textwrap.dedent(
        """
        import signal, threading
        class Interrupted(Exception):
            pass
        def handler(signum, frame):
            raise Interrupted
        signal.signal(signal.SIGALRM, handler)
        """
    ) + textwrap.dedent(body)
    return subprocess.run(
        [sys.executable, "-c", code],
        env={**os.environ, "PYTHONPATH": SRC},
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.mark.parametrize(
    "wait",
    ["lock.acquire()", "lock.acquire(timeout=600)", "with lock: pass"],
)
def test_blocked_acquire_is_interrupted_by_a_signal(wait):
    r = run_child(
        f"""
        from orvane import _pyhost as h
        lock = h.new_lock()
        t = threading.Thread(target=lock.acquire)  # held by a thread that is gone
        t.start(); t.join()
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            {wait}
        except Interrupted:
            print("interrupted", lock.locked())
        """
    )
    assert r.stdout.strip() == "interrupted True", r.stderr


def test_method_waiting_for_the_object_lock_is_interrupted_by_a_signal():
    r = run_child(
        """
        from orvane.brenlow.profiler import StatisticalProfiler
        p = StatisticalProfiler("d")
        t = threading.Thread(target=p._lock.acquire)
        t.start(); t.join()
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            p.observe({"x": 1.0})
        except Interrupted:
            print("interrupted", p.total_observations)
        """
    )
    assert r.stdout.strip() == "interrupted 0", r.stderr
