"""EpisodeAccumulator against a plain-Python model of the same rules."""

import fractions
import math
import random
import re
import struct
import sys
import threading
import time
import types
import weakref
from collections import deque

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import reference.accumulator as reference
from reference.accumulator import build_episode as model_episode

A = pytest.importorskip("orvane.brenlow.accumulator")
EpisodeAccumulator = A.EpisodeAccumulator


def shape(x):
    """A comparable form that keeps key order, exact types and float bits."""
    if type(x) is dict:
        return ("dict", tuple((shape(k), shape(v)) for k, v in x.items()))
    if type(x) is list:
        return ("list", tuple(shape(v) for v in x))
    if type(x) is float:
        return ("float", struct.pack("<d", x))
    return (type(x).__name__, x)


def outcome_of(fn):
    try:
        return fn(), None
    except Exception as e:  # noqa: BLE001 - the error itself is compared
        return None, (type(e), str(e))


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------


class Client:
    """Records every batch; optionally fails or waits."""

    def __init__(self, fail=None):
        self.batches = []
        self.fail = fail
        self.calls = threading.Semaphore(0)

    def ingest(self, batch, device_id=None):
        self.batches.append((list(batch), device_id))
        self.calls.release()
        if self.fail is not None:
            raise self.fail
        return {"accepted": len(batch)}


class RecordingThread(threading.Thread):
    started = []

    def start(self):
        RecordingThread.started.append(self)
        super().start()


@pytest.fixture
def threads(monkeypatch):
    """Posting threads made through a recording Thread, so tests can join them."""
    RecordingThread.started = []
    monkeypatch.setattr(A, "threading", types.SimpleNamespace(Thread=RecordingThread))

    def join_all():
        for t in list(RecordingThread.started):
            t.join(10)
        return RecordingThread.started

    return join_all


@pytest.fixture
def config(monkeypatch):
    def set_config(batch=1000, age=0, window=None):
        monkeypatch.setattr(A, "ACCUMULATOR_BATCH_SIZE", batch)
        monkeypatch.setattr(A, "ACCUMULATOR_FLUSH_MAX_AGE_S", age)
        if window is not None:
            monkeypatch.setattr(A, "ACCUMULATOR_WINDOW_SIZE", window)

    set_config()
    return set_config


# ---------------------------------------------------------------------------
# Episodes
# ---------------------------------------------------------------------------

CHANNELS = ["temp", "rpm", "modality_count", "nl_text_len", "vib", "λ", "\ud800"]
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(10**6), 10**6),
    st.booleans(),
    st.floats(-1e3, 1e3).map(lambda x: round(x, 3)),
    st.floats(-100, 100),
    st.floats(-1e-3, 1e-3),
    st.sampled_from([0.1, 0.2, 0.30000000000000004, 1e-07, 5e-06, 1e16, -0.0, 2.5, 3.5, 10**400]),
)
junk = st.sampled_from([None, "abc", " 1.5 ", "1_000", "-inf", "nan", [1], "", "12"])
values = st.one_of(numbers, numbers, numbers, junk)
keys = st.one_of(st.sampled_from(CHANNELS), st.sampled_from(CHANNELS), st.text(max_size=4), st.integers(0, 3))
payloads = st.dictionaries(keys, values, max_size=20)
texts = st.one_of(st.none(), st.sampled_from(["", "  ", 0, 7, " hi ", "x" * 1000, "İSTANBUL"]), st.text(max_size=8))
kinds = st.one_of(texts, st.sampled_from([" MultiModal/vision ", "multimodal_audio", "audio_multimodal", "MULTIMODAL"]))
contexts = st.one_of(
    st.none(),
    st.fixed_dictionaries(
        {},
        optional={
            "source_text": texts,
            "source_kind": kinds,
            "source_category": texts,
            "source_product": texts,
            "source_tags": st.one_of(
                st.lists(st.one_of(texts, st.integers()), max_size=6), st.sampled_from([("a",), "abc", None])
            ),
            "source_meta": st.one_of(
                st.dictionaries(st.sampled_from(["channel_count", "source_kind", "k", "z"]), st.integers(), max_size=3),
                st.sampled_from([[1], "m", None]),
            ),
        },
    ),
)
readings = st.lists(
    st.tuples(st.sampled_from(["t0", "2024-01-01T00:00:00Z", "τ", ""]), payloads, contexts), min_size=1, max_size=6
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(readings=readings, window=st.sampled_from([0, 1, 2, 3, 10]))
def test_episodes_match_the_model(readings, window, config):
    config(window=window)
    acc = EpisodeAccumulator(Client(), "dev-1")
    model_window = deque(maxlen=window)
    built = 0
    for ts, payload, ctx in readings:
        model_window.append({"timestamp": ts, "payload": payload})
        episode, error = outcome_of(lambda: acc.observe(ts, payload, ctx))
        suffix = episode["episode_id"][-8:] if episode is not None else "00000000"
        expected, expected_error = outcome_of(lambda: model_episode(model_window, "dev-1", ts, payload, ctx, suffix))
        assert error == expected_error
        if episode is not None:
            built += 1
            assert shape(episode) == shape(expected)
            assert acc.pending_batch[-1] is episode
        assert not acc._lock.locked()
        assert acc.total_episodes == built == len(acc.pending_batch)
        assert list(acc.window) == list(model_window)


def test_episode_ids_are_device_timestamp_and_fresh_hex(config):
    acc = EpisodeAccumulator(Client(), "dev_9")
    ids = [acc.observe("2024-05-01 10:00", {"a": i})["episode_id"] for i in range(300)]
    assert all(re.fullmatch(r"dev_9_2024-05-01 10:00_[0-9a-f]{8}", i) for i in ids)
    assert len(set(ids)) == len(ids)


@pytest.mark.parametrize(
    "previous, current, deltas, steps",
    [
        ({"a": 0.1}, {"a": 0.4}, {"a": 0.3}, ["delta_a=0.3"]),
        ({"a": 1.0}, {"a": 1.0000001}, {"a": 0.0}, ["delta_a=0.0"]),
        ({"a": 0.0}, {"a": 5e-06}, {"a": 5e-06}, ["delta_a=5e-06"]),
        ({"a": None, "b": "x"}, {"a": 1, "b": 2, "c": 3}, {"a": 0.0, "b": 0.0}, ["delta_a=0.0", "delta_b=0.0"]),
        (
            {str(i): 0 for i in range(20)},
            {str(i): i for i in range(20)},
            {str(i): float(i) for i in range(20)},
            [f"delta_{i}={float(i)}" for i in range(15)],
        ),
    ],
)
def test_deltas_and_steps(previous, current, deltas, steps, config):
    acc = EpisodeAccumulator(Client(), "d")
    acc.window.append({"timestamp": "p", "payload": previous})
    ep = acc.observe("t", current)
    assert ep["action"]["metadata"]["deltas"] == deltas
    assert ep["action"]["steps"] == steps
    assert ep["embeddings"]["text"].endswith(", ".join(list(current)[:16]) + ".")


def test_empty_payload_and_first_reading(config):
    acc = EpisodeAccumulator(Client(), "d")
    ep = acc.observe("t", {})
    assert ep["embeddings"]["text"] == (
        "Brenlow sensor episode for device d at t. Channels: 0. Modality count: 0. "
        "Natural language present: no. Feature keys: ."
    )
    assert ep["state"]["context"] == {} and ep["action"]["steps"] == []
    first = EpisodeAccumulator(Client(), "d").observe("t", {"x": 7, "y": 2.5})
    assert first["action"]["steps"] == ["delta_x=0.0", "delta_y=0.0"]


# ---------------------------------------------------------------------------
# Failures leave the accumulator as it was
# ---------------------------------------------------------------------------


class FloatBoom:
    def __float__(self):
        raise RuntimeError("no float")


@pytest.mark.parametrize(
    "payload, error",
    [
        ({"a": None}, TypeError),
        ({"a": "abc"}, ValueError),
        ({"a": [1]}, TypeError),
        ({"modality_count": math.nan}, ValueError),
        ({"modality_count": math.inf}, OverflowError),
        ({"nl_text_len": "x"}, ValueError),
        ({1: 2.0}, TypeError),
        ({"a": 10**400}, OverflowError),
        ({"a": FloatBoom()}, RuntimeError),
    ],
)
def test_failed_conversion_changes_nothing_but_the_window(payload, error, config):
    acc = EpisodeAccumulator(Client(), "d")
    acc.observe("t0", {"a": 1.0})
    pending, ts = list(acc.pending_batch), acc._last_flush_ts
    with pytest.raises(error):
        acc.observe("t1", payload)
    assert acc.pending_batch == pending and acc.total_episodes == 1 and acc._last_flush_ts == ts
    assert not acc._lock.locked()
    assert acc.window[-1] == {"timestamp": "t1", "payload": payload}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.observe(1, {}), "Argument 'timestamp' has incorrect type (expected str, got int)"),
        (lambda a: a.observe("t", []), "Argument 'payload' has incorrect type (expected dict, got list)"),
        (
            lambda a: a.observe("t", {}, type("D", (dict,), {})()),
            "Argument 'context' has incorrect type (expected dict, got D)",
        ),
        (lambda a: a.observe("t"), "observe() takes at least 3 positional arguments (2 given)"),
        (lambda a: a._build_episode("t", None), "Argument 'payload' has incorrect type (expected dict, got NoneType)"),
        (lambda a: a._flush_locked("1.0"), "Argument 'now_ts' has incorrect type (expected float, got str)"),
        (lambda a: a._post_batch(()), "Argument 'batch' has incorrect type (expected list, got tuple)"),
        (lambda a: a.flush(1), "flush() takes exactly 1 positional argument (2 given)"),
        (
            lambda a: EpisodeAccumulator(None, None),
            "Argument 'device_id' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda a: EpisodeAccumulator(None, type("S", (str,), {})("x")),
            "Argument 'device_id' has incorrect type (expected str, got S)",
        ),
        (lambda a: EpisodeAccumulator(None), "__init__() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_argument_errors(call, message, config):
    acc = EpisodeAccumulator(Client(), "d")
    with pytest.raises(TypeError) as info:
        call(acc)
    assert str(info.value) == message
    assert acc.total_episodes == 0 and not acc.window and not acc._lock.locked()


# ---------------------------------------------------------------------------
# Batching and posting
# ---------------------------------------------------------------------------


def test_batch_size_trigger_posts_in_build_order(config, threads):
    config(batch=3)
    client = Client()
    acc = EpisodeAccumulator(client, "dev")
    eps = [acc.observe(f"t{i}", {"x": i}) for i in range(3)]
    started = threads()
    assert len(started) == 1 and started[0].daemon
    assert acc.pending_batch == [] and acc.total_ingested == 3
    ((batch, device),) = client.batches
    assert device == "dev" and all(a is b for a, b in zip(batch, eps))


@pytest.mark.parametrize("size", [1, 0, -5])
def test_small_batch_size_posts_every_episode_alone(size, config, threads):
    config(batch=size)
    client = Client()
    acc = EpisodeAccumulator(client, "dev")
    eps = [acc.observe("t", {"x": i}) for i in range(4)]
    assert len(threads()) == 4
    assert sorted(id(b[0][0]) for b in client.batches) == sorted(id(e) for e in eps)
    assert all(len(b[0]) == 1 for b in client.batches)


@pytest.mark.parametrize(
    "age, since, flushed", [(60, 61, True), (60, 59, False), (60, -1000, False), (0, 10**6, False), (-1, 10**6, False)]
)
def test_age_trigger(age, since, flushed, config, threads):
    config(age=age)
    acc = EpisodeAccumulator(Client(), "dev")
    acc.observe("t0", {"x": 1})
    acc._last_flush_ts = time.time() - since
    before = acc._last_flush_ts
    acc.observe("t1", {"x": 2})
    assert len(threads()) == (1 if flushed else 0)
    assert (acc.pending_batch == []) == flushed and (acc._last_flush_ts != before) == flushed


def test_flush_empty_starts_nothing_and_flush_sends_everything(config, threads):
    client = Client()
    acc = EpisodeAccumulator(client, "dev")
    ts = acc._last_flush_ts
    acc.flush()
    assert threads() == [] and acc._last_flush_ts == ts
    acc.observe("a", {"x": 1})
    acc.observe("b", {"x": 2})
    acc.flush()
    threads()
    assert [len(b) for b, _ in client.batches] == [2] and acc.total_ingested == 2
    ts = acc._last_flush_ts
    acc._flush_locked(now_ts=12)
    assert acc._last_flush_ts == ts
    acc.observe("c", {"x": 3})
    acc._flush_locked(now_ts=12)
    assert acc._last_flush_ts == 12.0 and type(acc._last_flush_ts) is float


@pytest.mark.parametrize("error, text", [(ValueError("resolver down"), "resolver down"), (RuntimeError(), "")])
def test_failed_ingest_prints_one_line_and_drops_the_batch(error, text, config, threads, capsys):
    config(batch=2)
    client = Client(fail=error)
    acc = EpisodeAccumulator(client, "dev-7")
    for i in range(4):
        acc.observe("t", {"x": i})
    threads()
    assert capsys.readouterr().out == f"[ACCUMULATOR] Batch ingest failed for dev-7: {text}\n" * 2
    assert acc.total_ingested == 0 and acc.pending_batch == [] and len(client.batches) == 2
    client.fail = None
    acc.observe("t", {"x": 1})
    acc.observe("t", {"x": 2})
    threads()
    assert acc.total_ingested == 2


@pytest.mark.parametrize("result", [None, False, {"accepted": 0, "error": "rejected"}])
def test_any_result_counts_the_batch(result, config):
    class Odd:
        def ingest(self, batch, device_id):
            batch.clear()  # a client that consumes what it is given
            return result

    acc = EpisodeAccumulator(Odd(), "d")
    acc._post_batch([{}, {}, {}])
    assert acc.total_ingested == 3


def test_interrupts_are_not_absorbed(config, capsys):
    class Interrupted:
        def ingest(self, batch, device_id):
            raise KeyboardInterrupt

    acc = EpisodeAccumulator(Interrupted(), "d")
    with pytest.raises(KeyboardInterrupt):
        acc._post_batch([{}])
    assert capsys.readouterr().out == ""


def test_missing_stdout_is_tolerated(config, monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    EpisodeAccumulator(Client(fail=ValueError("x")), "d")._post_batch([{}])


def test_thread_that_cannot_start_keeps_the_batch(config, monkeypatch, threads):
    class NoThreads:
        def __init__(self, **kw):
            pass

        def start(self):
            raise RuntimeError("can't start new thread")

    client = Client()
    acc = EpisodeAccumulator(client, "d")
    acc.observe("t0", {"x": 0})
    ts = acc._last_flush_ts
    real = A.threading
    monkeypatch.setattr(A, "threading", types.SimpleNamespace(Thread=NoThreads))
    config(batch=2)
    with pytest.raises(RuntimeError, match="can't start"):
        acc.observe("t1", {"x": 1})
    assert [e["state"]["timestamp"] for e in acc.pending_batch] == ["t0", "t1"]
    assert acc.total_episodes == 2 and acc._last_flush_ts == ts and not acc._lock.locked()
    monkeypatch.setattr(A, "threading", real)
    acc.flush()
    assert client.calls.acquire(timeout=10)
    assert [e["state"]["timestamp"] for e in client.batches[0][0]] == ["t0", "t1"]


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


def test_every_episode_is_counted_or_reported_once(config, threads, capsys):
    config(batch=5)
    lock = threading.Lock()
    accepted, rejected = [], []
    rng = random.Random(20240601)

    class Flaky:
        def ingest(self, batch, device_id):
            with lock:
                pause, fail = rng.random() * 0.002, rng.random() < 0.3
            time.sleep(pause)
            ids = [e["episode_id"] for e in batch]
            if fail:
                with lock:
                    rejected.append(ids)
                raise ConnectionError(f"lost {len(ids)}")
            with lock:
                accepted.extend(ids)

    acc = EpisodeAccumulator(Flaky(), "dev")
    built = []

    def worker(n):
        for i in range(150):
            built.append(acc.observe(f"{n}-{i}", {"x": i, "y": n})["episode_id"])

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    acc.flush()
    threads()
    lines = capsys.readouterr().out.splitlines()
    sent = accepted + [i for ids in rejected for i in ids]
    assert sorted(sent) == sorted(built) and len(set(built)) == 900
    assert acc.total_ingested == len(accepted) and acc.total_episodes == 900
    assert sorted(lines) == sorted(f"[ACCUMULATOR] Batch ingest failed for dev: lost {len(r)}" for r in rejected)


def test_slow_client_never_blocks_observe_or_flush(config):
    config(batch=1)
    release, entered = threading.Event(), threading.Event()
    lock_free = []

    class Slow:
        def ingest(self, batch, device_id):
            lock_free.append(acc._lock.acquire(timeout=5))
            acc._lock.release()
            entered.set()
            release.wait(10)

    acc = EpisodeAccumulator(Slow(), "d")
    acc.observe("t0", {"x": 1})
    assert entered.wait(10)
    done = threading.Event()

    def more():
        for i in range(20):
            acc.observe("t", {"x": i})
        acc.flush()
        done.set()

    threading.Thread(target=more, daemon=True).start()
    try:
        assert done.wait(5), "observe/flush waited for the client"
    finally:
        release.set()
    assert lock_free[0] is True


def test_payload_code_running_under_the_lock(config):
    acc = EpisodeAccumulator(Client(), "d")

    class Yields:
        def __float__(self):
            time.sleep(0.001)  # lets other observers run and wait for the lock
            return 1.0

    def worker():
        for _ in range(20):
            acc.observe("t", {"v": Yields()})

    ws = [threading.Thread(target=worker) for _ in range(4)]
    for w in ws:
        w.start()
    for w in ws:
        w.join(20)
    assert acc.total_episodes == 80

    class Reenters:
        def __float__(self):
            acc.observe("inner", {})
            return 1.0

    with pytest.raises(RuntimeError, match="already held"):
        acc.observe("t", {"v": Reenters()})
    assert not acc._lock.locked() and acc.total_episodes == 80


# ---------------------------------------------------------------------------
# Overrides and configuration are honoured
# ---------------------------------------------------------------------------


def test_overrides_are_reached_through_the_instance(config, threads, monkeypatch):
    config(batch=2)
    calls = []

    class Sub(EpisodeAccumulator):
        def _build_episode(self, timestamp, payload, context=None):
            calls.append(("build", context))
            ep = super()._build_episode(timestamp, payload, context=context)
            ep["extra"] = True
            return ep

        def _flush_locked(self, now_ts=None):
            calls.append(("flush", type(now_ts)))
            super()._flush_locked(now_ts=now_ts)

        def _post_batch(self, batch):
            calls.append(("post", len(batch)))

    acc = Sub(Client(), "d")
    assert acc.observe("t", {"x": 1}, {"source_kind": "x"})["extra"]
    acc.observe("t", {"x": 1})
    threads()
    assert calls == [("build", {"source_kind": "x"}), ("build", None), ("flush", float), ("post", 2)]
    assert acc.total_ingested == 0

    posted = []
    monkeypatch.setattr(EpisodeAccumulator, "_post_batch", lambda self, batch: posted.append(len(batch)))
    plain = EpisodeAccumulator(Client(), "d")
    plain._build_episode = lambda ts, payload, context=None: {"mine": ts}
    assert plain.observe("t", {}) == {"mine": "t"}
    plain.observe("u", {})
    threads()
    assert posted == [2]


def test_configuration_is_read_from_the_module(config, threads):
    config(batch=2, window=1)
    client = Client()
    acc = EpisodeAccumulator(client, "d")
    assert acc.window.maxlen == 1
    acc.observe("a", {"x": 1})
    acc.observe("b", {"x": 5})
    A.ACCUMULATOR_BATCH_SIZE = 2.5
    acc.observe("c", {"x": 9})
    acc.observe("d", {"x": 9})
    acc.observe("e", {"x": 9})
    threads()
    assert [len(b) for b, _ in client.batches] == [2, 3]
    assert client.batches[0][0][1]["action"]["metadata"]["deltas"] == {"x": 0.0}  # window of one


def test_fields_are_typed_attributes(config):
    acc = EpisodeAccumulator(Client(), "d")
    acc.total_episodes = 4.9
    acc.extra = "kept"
    assert acc.total_episodes == 4 and acc.extra == "kept"
    with pytest.raises(TypeError, match="expected list"):
        acc.pending_batch = ()
    with pytest.raises(AttributeError):
        acc._lock = None
    del acc.brain
    with pytest.raises(AttributeError, match="brain"):
        acc.brain


def test_records_are_fresh_and_follow_a_new_device_id(config, threads):
    client = Client()
    acc = EpisodeAccumulator(client, "d1")
    first = acc.observe("t", {"x": 1})
    for part in (
        first,
        first["state"],
        first["state"]["metadata"],
        first["action"],
        first["action"]["metadata"],
        first["outcome"],
        first["outcome"]["metadata"],
        first["embeddings"],
        first["metadata"],
    ):
        part["spoiled"] = True
    first["metadata"]["tags"].append("spoiled")
    acc.device_id = "d2"
    second = acc.observe("u", {"x": 1})
    expected = model_episode(acc.window, "d2", "u", {"x": 1}, suffix=second["episode_id"][-8:])
    assert shape(second) == shape(expected)
    acc.flush()
    threads()
    assert client.batches[0][1] == "d2"


def test_patching_a_method_after_use_takes_effect(config, monkeypatch, threads):
    config(batch=1)
    acc = EpisodeAccumulator(Client(), "d")
    acc.observe("t", {"x": 1})
    flushed = []
    monkeypatch.setattr(EpisodeAccumulator, "_build_episode", lambda self, ts, payload, context=None: {"ts": ts})
    monkeypatch.setattr(EpisodeAccumulator, "_flush_locked", lambda self, now_ts=None: flushed.append(now_ts))
    assert acc.observe("u", {}) == {"ts": "u"}
    assert len(flushed) == 1 and type(flushed[0]) is float


def test_method_lookups_follow_changes_to_any_class(config, monkeypatch):
    """Whether observe may call its own methods directly is remembered per
    class; a change to the class or to a base must end that at once."""

    class Sub(EpisodeAccumulator):
        pass

    class Own(EpisodeAccumulator):
        def _build_episode(self, timestamp, payload, context=None):
            return {"own": timestamp}

    plain, sub, own = EpisodeAccumulator(Client(), "d"), Sub(Client(), "d"), Own(Client(), "d")
    for acc in (plain, sub, own, plain, sub):  # each class in turn is the one remembered
        episode = acc.observe("t", {"x": 1})
        assert episode == {"own": "t"} if acc is own else "episode_id" in episode
    monkeypatch.setattr(EpisodeAccumulator, "_build_episode", lambda self, ts, payload, context=None: {"base": ts})
    assert sub.observe("u", {}) == {"base": "u"} and plain.observe("u", {}) == {"base": "u"}
    assert own.observe("u", {}) == {"own": "u"}
    monkeypatch.undo()
    config()
    assert "episode_id" in sub.observe("v", {"x": 2})
    sub._build_episode = lambda ts, payload, context=None: {"instance": ts}
    assert sub.observe("w", {}) == {"instance": "w"}


def test_a_delivered_batch_is_let_go(config, threads):
    """Once a batch is delivered nothing of ours holds it: it is freed with
    its posting thread, not kept until a later flush."""

    class Quiet:
        def ingest(self, batch, device_id=None):
            return None

    class Probe:
        pass

    probe = Probe()
    alive = weakref.ref(probe)
    acc = EpisodeAccumulator(Quiet(), "d")
    acc.observe("t", {"x": 1}, {"source_meta": {"probe": probe}})
    del probe
    acc.flush()
    threads()
    assert alive() is None and acc.total_ingested == 1


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_forked_child_draws_its_own_ids(config):
    import os

    acc = EpisodeAccumulator(Client(), "d")
    acc.observe("t", {})  # the parent now holds unused random bytes
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: report its next ids and leave at once
        ids = " ".join(acc.observe("t", {})["episode_id"] for _ in range(20))
        os.write(write, ids.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        child = set(f.read().split())
    os.waitpid(pid, 0)
    parent = {acc.observe("t", {})["episode_id"] for _ in range(20)}
    assert len(child) == 20 and not child & parent


@pytest.mark.parametrize("age", [0, -1, 0.0, 1e-9, True, 2**70, "5", None, fractions.Fraction(1, 10**9), [1]])
@pytest.mark.parametrize("batch", [2, 2.5, True, 2**70, "2", None])
def test_due_checks_compare_like_python(config, threads, monkeypatch, batch, age):
    """Every value the configuration may be rebound to decides (or fails)
    as the plain-Python accumulator's own comparisons do."""
    monkeypatch.setattr(reference, "threading", types.SimpleNamespace(Thread=RecordingThread, Lock=threading.Lock))

    def run(cls):
        config(batch=batch, age=age)
        client = Client()
        acc = cls(client, "d")
        acc._last_flush_ts = 0.0
        try:
            for ts in "abc":
                acc.observe(ts, {"x": 1.0})
        except Exception as e:  # the error is the result
            result = (type(e).__name__, str(e))
        else:
            result = "ok"
        threads()
        return result, [[ep["state"]["timestamp"] for ep in b] for b, _ in client.batches]

    assert run(EpisodeAccumulator) == run(reference.EpisodeAccumulator)
