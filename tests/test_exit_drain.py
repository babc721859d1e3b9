"""Nothing lost at exit: a process that exits without flush() still delivers
its pending episodes and waits for the batches in flight, within
EXIT_FLUSH_TIMEOUT_S; what cannot be delivered is accounted for by failure
lines. Each case runs in a child process, which exits normally."""

import gc
import re
import subprocess
import sys
import textwrap
import weakref

import pytest


A = pytest.importorskip("orvane.brenlow.accumulator")

from serve_support import ENV, start_server, stop_server  # noqa: E402

READINGS = 1234
BATCH = 50
LINE = re.compile(r"^\[ACCUMULATOR\] Batch ingest failed for exit-dev: (.*)$")
UNDELIVERED = re.compile(r"^(\d+) episodes? not delivered: ")

# The child observes READINGS readings with batches of BATCH and the age
# trigger off, then leaves without flush(): 24 batches went to posting
# threads, 34 episodes are still pending when the interpreter exits.
CHILD = textwrap.dedent(
    f"""\
    import sys, threading, time
    import orvane.brenlow.accumulator as A
    from orvane.client import Brenlow

    url, mode = sys.argv[1], sys.argv[2]
    A.ACCUMULATOR_BATCH_SIZE = {BATCH}
    A.ACCUMULATOR_FLUSH_MAX_AGE_S = 0

    class SlowBrenlow(Brenlow):
        def ingest(self, batch, device_id=None):
            time.sleep(0.5)
            return super().ingest(batch, device_id=device_id)

    brain = (SlowBrenlow if mode == "slow" else Brenlow)("exit-dev", url=url)
    acc = A.EpisodeAccumulator(brain, "exit-dev")
    for i in range({READINGS}):
        acc.observe(f"t{{i}}", {{"x": float(i), "y": float(i % 7)}})
    # One write with its newline: print() writes the newline apart, and a
    # posting thread's failure line could land between the two.
    sys.stdout.write("observed\\n")
    sys.stdout.flush()
    """
)


def run_child(source, *args, timeout=120):
    child = subprocess.run(
        [sys.executable, "-c", source, *args], capture_output=True, text=True, env=ENV, timeout=timeout
    )
    assert child.returncode == 0, child.stderr
    return child.stdout.splitlines(), child.stderr


def failure_messages(lines):
    return [m.group(1) for m in map(LINE.match, lines) if m]


@pytest.mark.parametrize("mode", ["plain", "slow"])
def test_a_process_exiting_without_flush_delivers_every_episode(mode):
    from orvane.client import Brenlow

    proc, url = start_server()
    try:
        lines, err = run_child(CHILD, url, mode)
        assert lines == ["observed"], (lines, err)
        assert Brenlow(url=url).stats()["episodes"] == {"exit-dev": READINGS}
    finally:
        stop_server(proc)


def test_a_resolver_that_is_down_gets_every_episode_accounted_for():
    proc, url = start_server()
    stop_server(proc)  # the port is closed now: every ingest is refused
    lines, err = run_child(CHILD, url, "plain")
    messages = failure_messages(lines)
    assert "observed" in lines and len(messages) == len(lines) - 1, lines
    # A refused batch's line carries the client's error; a batch still in
    # flight at the time limit names its count. The 24 full batches and the
    # 34 pending episodes are all there.
    named = [int(m.group(1)) for m in map(UNDELIVERED.match, messages) if m]
    plain = [m for m in messages if not UNDELIVERED.match(m)]
    assert all("unreachable" in m for m in plain), plain
    assert BATCH * len(plain) - (BATCH - READINGS % BATCH) + sum(named) == READINGS, messages
    assert len(messages) == READINGS // BATCH + 1


# An in-process client whose posting threads hang past the time limit and
# then fail, while the exit hook's own post succeeds at once; the hook is run
# by hand, then every thread is let finish.
LATE = textwrap.dedent(
    f"""\
    import threading, time
    import orvane.brenlow.accumulator as A

    A.ACCUMULATOR_BATCH_SIZE = {BATCH}
    A.ACCUMULATOR_FLUSH_MAX_AGE_S = 0
    A.EXIT_FLUSH_TIMEOUT_S = 0.2
    release = threading.Event()
    stored = []

    class Brain:
        def ingest(self, batch, device_id=None):
            if threading.current_thread() is not threading.main_thread():
                release.wait()
                raise RuntimeError("too late")
            stored.extend(batch)

    class Acc(A.EpisodeAccumulator):
        def _post_batch(self, batch):
            self.posted = getattr(self, "posted", 0) + len(batch)
            return super()._post_batch(batch)

    acc = Acc(Brain(), "exit-dev")
    for i in range({READINGS}):
        acc.observe(f"t{{i}}", {{"x": float(i)}})
    A._exit_drain()
    release.set()
    for t in threading.enumerate():
        if t is not threading.main_thread():
            t.join()
    print("stored", len(stored), "posted", acc.posted, "ingested", acc.total_ingested, "pending", len(acc.pending_batch))
    """
)


def test_batches_still_in_flight_at_the_limit_get_one_line_each_and_no_second():
    lines, err = run_child(LATE)
    messages = failure_messages(lines)
    # The hook posted the pending 34 through the subclass's _post_batch.
    assert lines[-1] == f"stored {READINGS % BATCH} posted {READINGS} ingested {READINGS % BATCH} pending 0", lines
    assert messages == [f"{BATCH} episodes not delivered: no answer within the exit time limit of 0.2 s"] * (
        READINGS // BATCH
    )
    assert "too late" not in "".join(lines) + err


def test_the_registry_keeps_no_accumulator_alive():
    class Brain:
        def ingest(self, batch, device_id=None):
            pass

    acc = A.EpisodeAccumulator(Brain(), "d")
    acc.observe("t", {"x": 1.0})
    ref = weakref.ref(acc)
    acc.cycle = acc
    del acc
    gc.collect()
    assert ref() is None


# Each module object drains its own accumulators: one imported again, and
# one in a sub-interpreter (drained when that interpreter ends). An
# accumulator that is garbage but not yet collected still holds episodes:
# the hook posts them too.
MODULES = textwrap.dedent(
    """\
    import gc, importlib, sys
    gc.disable()
    import orvane.brenlow.accumulator as A1
    del sys.modules["orvane.brenlow.accumulator"]
    A2 = importlib.import_module("orvane.brenlow.accumulator")
    assert A1 is not A2 and A1.EpisodeAccumulator is not A2.EpisodeAccumulator
    BRAIN = '''
    class Brain:
        def ingest(self, batch, device_id=None):
            print("ingested", device_id, len(batch), flush=True)
    '''
    exec(BRAIN)
    a1 = A1.EpisodeAccumulator(Brain(), "one")
    a1.observe("t", {"x": 1.0})
    a2 = A2.EpisodeAccumulator(Brain(), "two")
    a2.observe("t", {"x": 1.0})
    a2.observe("t", {"x": 2.0})
    g = A1.EpisodeAccumulator(Brain(), "garbage")
    g.observe("t", {"x": 1.0})
    g.me = g
    del g
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None
    if interpreters is None:
        print("no sub-interpreters", flush=True)
    else:
        sub = interpreters.create()
        code = "import orvane.brenlow.accumulator as A\\n" + BRAIN
        code += "acc = A.EpisodeAccumulator(Brain(), 'sub')\\nacc.observe('t', {'x': 1.0})\\n"
        interpreters.run_string(sub, code)
        interpreters.destroy(sub)
    """
)


def test_every_module_object_drains_its_own_accumulators():
    lines, err = run_child(MODULES)
    sub = "no sub-interpreters" if "no sub-interpreters" in lines else "ingested sub 1"
    assert sorted(lines) == sorted(["ingested garbage 1", "ingested one 1", sub, "ingested two 2"]), (lines, err)
    if sub == "ingested sub 1":  # the sub-interpreter's accumulator was drained when it ended
        assert lines.index("ingested sub 1") == 0, lines
