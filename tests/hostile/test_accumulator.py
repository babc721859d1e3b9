"""Hostile input for EpisodeAccumulator (see support.py)."""

import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    MUTATIONS,
    Boom,
    ListSub,
    Mutator,
    RaisingStr,
    StrSub,
    build_value,
    armed_keys,
    build_payload,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    payload_specs,
    value_specs,
)

accumulator = pytest.importorskip("orvane.brenlow.accumulator")
EpisodeAccumulator = accumulator.EpisodeAccumulator

BUILD_ERRORS = (TypeError, ValueError, OverflowError, RuntimeError, Boom)


@pytest.fixture(autouse=True)
def no_automatic_flush(monkeypatch):
    # Batches leave only when a test flushes: no thread starts behind its back.
    monkeypatch.setattr(accumulator, "ACCUMULATOR_BATCH_SIZE", 10**9)
    monkeypatch.setattr(accumulator, "ACCUMULATOR_FLUSH_MAX_AGE_S", 0)
    yield
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(
        t.name != "MainThread" and t.daemon and t.is_alive() for t in threading.enumerate()
    ):
        time.sleep(0.005)


class Client:
    def __init__(self, fail=None):
        self.fail = fail
        self.batches = []
        self.guard = threading.Lock()

    def ingest(self, batch, device_id=None):
        if self.fail is not None:
            raise self.fail
        with self.guard:
            self.batches.append((list(batch), device_id))


def state(acc):
    return (len(acc.window), len(acc.pending_batch), acc.total_episodes, acc.total_ingested, acc._last_flush_ts)


def check_usable(acc):
    assert not acc._lock.locked()
    window, pending, total, _, _ = state(acc)
    # Keys that no hostile key hashes like: the reading before may still be a
    # hostile one, and the deltas look this reading's keys up in it.
    ep = acc.observe("t-ok", {"probe_1": 1.0, "probe_2": "2.5"})
    assert acc.total_episodes == total + 1
    assert len(acc.pending_batch) == pending + 1 and acc.pending_batch[-1] is ep
    assert ep["state"]["context"] == {"probe_1": 1.0, "probe_2": 2.5}
    assert ep["episode_id"].startswith(acc.device_id + "_t-ok_")
    assert not acc._lock.locked()


def context_from(spec, mutators):
    """A context dict whose entries come from drawn value specs; source_tags
    and source_meta get containers built from the same specs."""
    ctx = {}
    for key, vspec in spec:
        if key == "source_tags":
            ctx[key] = [build_value(v, mutators) for v in vspec]
        elif key == "source_meta":
            ctx[key] = {f"m{i}": build_value(v, mutators) for i, v in enumerate(vspec)}
        else:
            ctx[key] = build_value(vspec[0] if vspec else ("plain", ""), mutators)
    return ctx


context_specs = st.lists(
    st.tuples(
        st.sampled_from(
            ["source_text", "source_kind", "source_category", "source_product", "source_tags", "source_meta", "other"]
        ),
        st.lists(value_specs, max_size=4),
    ),
    max_size=6,
)


@HOSTILE
@given(payload_specs, context_specs, st.sampled_from(["payload", "context", "tags", "meta"]), st.booleans())
def test_observe_hostile_payload_and_context(spec, ctx_spec, mutate_what, armed):
    acc = EpisodeAccumulator(Client(), "dev")
    acc.observe("t0", {"a": 1.0, "modality_count": 2})
    payload = build_payload(spec)
    mutators: list = []
    ctx = context_from(ctx_spec, mutators)
    target = {"payload": payload, "context": ctx, "tags": ctx.get("source_tags"), "meta": ctx.get("source_meta")}[
        mutate_what
    ]
    for m in mutators:
        m.target = target
    before = state(acc)
    with armed_keys() if armed else _null():
        ok, out = expect(BUILD_ERRORS, acc.observe, "t1", payload, ctx)
    after = state(acc)
    assert after[0] == min(before[0] + 1, accumulator.ACCUMULATOR_WINDOW_SIZE)
    if ok:
        assert after[1:3] == (before[1] + 1, before[2] + 1)
        assert acc.pending_batch[-1] is out
        assert len(out["action"]["steps"]) <= 15
        assert all(type(t) is str for t in out["metadata"]["tags"])
    else:
        assert after[1:] == before[1:]
    check_usable(acc)


class _null:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


@HOSTILE
@given(payload_specs, st.one_of(st.none(), st.just({"source_text": "hi"}), st.just({"source_kind": RaisingStr()})))
def test_build_episode_changes_no_field(spec, ctx):
    acc = EpisodeAccumulator(Client(), "dev")
    acc.observe("t0", {"a": 1.0})
    payload = build_payload(spec)
    before = state(acc)
    window = list(acc.window)
    ok, out = expect(BUILD_ERRORS, acc._build_episode, "t1", payload, context=ctx)
    assert state(acc) == before and list(acc.window) == window
    if ok:
        assert list(out) == [
            "episode_id",
            "product",
            "category",
            "state",
            "action",
            "outcome",
            "embeddings",
            "metadata",
        ]
    check_usable(acc)


@HOSTILE
@given(hostile_args, st.sampled_from(["timestamp", "payload", "context"]))
def test_observe_argument_types_checked_before_anything(value, which):
    acc = EpisodeAccumulator(Client(), "dev")
    args = {"timestamp": "t", "payload": {"a": 1.0}, "context": None}
    args[which] = value
    expected = str if which == "timestamp" else dict
    acceptable = type(value) is expected or (which == "context" and value is None)
    before = state(acc)
    ok, out = expect(BUILD_ERRORS, acc.observe, args["timestamp"], args["payload"], args["context"])
    if not acceptable:
        assert not ok and type(out) is TypeError
        assert f"Argument '{which}' has incorrect type" in str(out)
        assert state(acc) == before
    check_usable(acc)


@FEW
@given(hostile_args)
def test_flush_locked_hostile_now_ts(value):
    client = Client()
    acc = EpisodeAccumulator(client, "dev")
    acc.observe("t", {"a": 1.0})
    before = state(acc)
    with acc._lock:
        ok, out = expect((TypeError, ValueError, OverflowError, Boom), acc._flush_locked, now_ts=value)
    if ok:
        assert acc.pending_batch == [] and acc.total_episodes == 1
    else:
        assert state(acc) == before
    acc.flush()
    check_usable(acc)


class StrRaisingError(Exception):
    def __str__(self):
        raise Boom("str of error")


@pytest.mark.parametrize(
    "fail",
    [
        ConnectionError("down"),
        Boom("x"),
        StrRaisingError(),
        ValueError(""),
        "no_ingest",
        "not_callable",
        KeyboardInterrupt(),
        SystemExit(3),
    ],
)
@pytest.mark.parametrize("batch", [[], [{"a": 1}], [RaisingStr()] * 3, "listsub"])
def test_post_batch_with_a_failing_client(fail, batch, capsys):
    if fail == "no_ingest":
        client = object()
    elif fail == "not_callable":
        client = Client()
        client.ingest = 5
    else:
        client = Client(fail)
    acc = EpisodeAccumulator(client, "dev")
    if batch == "listsub":
        with pytest.raises(TypeError, match="Argument 'batch' has incorrect type"):
            acc._post_batch(ListSub([1]))
        assert acc.total_ingested == 0
        return
    allowed = (Boom, KeyboardInterrupt, SystemExit)
    ok, out = expect(allowed, acc._post_batch, batch)
    printed = capsys.readouterr().out
    assert acc.total_ingested == 0
    if isinstance(fail, (KeyboardInterrupt, SystemExit)):
        assert not ok and out is fail
    elif isinstance(fail, StrRaisingError):
        # The message cannot be read; the error from reading it comes out.
        assert (not ok and type(out) is Boom) or printed.startswith("[ACCUMULATOR] Batch ingest failed for dev: ")
    else:
        assert ok and printed.startswith("[ACCUMULATOR] Batch ingest failed for dev: ")
    check_usable(acc)
    # The parametrized exception outlives the test; its traceback must not
    # keep this accumulator, with the episode just queued, alive until the
    # exit hook posts it to the failing client.
    if isinstance(fail, BaseException):
        fail.__traceback__ = None


@pytest.mark.parametrize("mode", MUTATIONS)
def test_post_batch_batch_changed_by_the_client(mode):
    class Mutating:
        def ingest(self, batch, device_id=None):
            if mode == "clear":
                batch.clear()
            elif mode == "grow":
                batch.extend([{}] * 5)
            elif mode == "shrink":
                batch.pop()
            else:
                batch[:] = [None]

    acc = EpisodeAccumulator(Mutating(), "dev")
    batch = [{"a": 1}, {"b": 2}]
    acc._post_batch(batch)
    # The episodes handed over count, whatever the client did to the list:
    # built = ingested + reported failed stays exact.
    assert acc.total_ingested == 2
    check_usable(acc)


def test_flushes_with_failing_clients_keep_exact_counts(capsys):
    failing = EpisodeAccumulator(Client(ConnectionError("down")), "bad")
    good_client = Client()
    good = EpisodeAccumulator(good_client, "good")
    for acc in (failing, good):
        for i in range(7):
            acc.observe(f"t{i}", {"v": i, "w": Mutator("grow")})
            if i % 3 == 0:
                acc.flush()
        acc.flush()
    deadline = time.monotonic() + 10
    while good.total_ingested < 7 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert good.total_ingested == 7 and sum(len(b) for b, _ in good_client.batches) == 7
    assert all(d == "good" for _, d in good_client.batches)
    assert failing.total_ingested == 0 and failing.total_episodes == 7


@FEW
@given(hostile_args)
def test_constructor_hostile_device_id(value):
    ok, out = expect((TypeError,), EpisodeAccumulator, Client(), value)
    if type(value) is str:
        assert ok and out.device_id == value
        check_usable(out)
    else:
        assert "Argument 'device_id' has incorrect type (expected str, got " in str(out)


@HOSTILE
@given(
    st.sampled_from(["ACCUMULATOR_BATCH_SIZE", "ACCUMULATOR_FLUSH_MAX_AGE_S", "ACCUMULATOR_WINDOW_SIZE"]), hostile_args
)
def test_rebound_constants_of_any_type(name, value):
    client = Client()
    saved = getattr(accumulator, name)
    allowed = (TypeError, ValueError, OverflowError, Boom)
    try:
        setattr(accumulator, name, value)
        try:
            acc = EpisodeAccumulator(client, "dev")
        except allowed:
            setattr(accumulator, name, 10)
            acc = EpisodeAccumulator(client, "dev")
        for i in range(3):
            before = acc.total_episodes
            ok, _ = expect(allowed, acc.observe, f"t{i}", {"a": float(i)})
            # The episode is queued before the flush tests read the constants.
            assert acc.total_episodes == before + 1
        assert not acc._lock.locked()
    finally:
        setattr(accumulator, name, saved)
    check_usable(acc)


def test_accumulator_bad_calls():
    check_refuses_bad_calls(EpisodeAccumulator, 2, ("brain", "device_id"))
    acc = EpisodeAccumulator(Client(), "dev")
    check_refuses_bad_calls(acc.observe, 2, ("timestamp", "payload", "context"))
    check_refuses_bad_calls(acc._build_episode, 2, ("timestamp", "payload", "context"))
    check_refuses_bad_calls(acc._flush_locked, 0, ("now_ts",))
    check_refuses_bad_calls(acc._post_batch, 1, ("batch",))
    check_refuses_bad_calls(acc.flush, 0, ())
    for field, value in (("device_id", StrSub("x")), ("pending_batch", ListSub()), ("total_episodes", "1")):
        expect((TypeError, AttributeError), setattr, acc, field, value)
    assert state(acc)[:4] == (0, 0, 0, 0)
    check_usable(acc)


class CallsBack:
    """A number (and text) whose conversion calls back into the accumulator."""

    def __init__(self, fn):
        self.fn = fn
        self.error = None

    def _call(self):
        try:
            self.fn()
        except Exception as exc:  # noqa: BLE001  (kept for the assertions)
            self.error = exc

    def __float__(self):
        self._call()
        return 1.0

    def __str__(self):
        self._call()
        return "calls-back"


@pytest.mark.parametrize("where", ["payload", "context"])
@pytest.mark.parametrize("call", ["observe", "flush", "acquire"])
def test_observe_reentered_from_a_value_raises_instead_of_hanging(where, call):
    acc = EpisodeAccumulator(Client(), "dev")
    inner = {"observe": lambda: acc.observe("t", {}), "flush": acc.flush, "acquire": acc._lock.acquire}[call]
    value = CallsBack(inner)
    if where == "payload":
        acc.observe("t", {"a": value})
    else:
        acc.observe("t", {"a": 1.0}, {"source_text": value})
    assert type(value.error) is RuntimeError
    assert acc.total_episodes == 1 and len(acc.window) == 1
    check_usable(acc)


def test_lock_released_by_a_value_while_observe_holds_it():
    acc = EpisodeAccumulator(Client(), "dev")
    ok, out = expect((RuntimeError,), acc.observe, "t", {"a": CallsBack(acc._lock.release), "b": 2.0})
    assert not acc._lock.locked()
    assert acc.total_episodes == (1 if ok else 0) and len(acc.window) == 1
    check_usable(acc)


def test_total_episodes_at_the_native_limit():
    acc = EpisodeAccumulator(Client(), "dev")
    acc.total_episodes = 2**63 - 1
    ok, _ = expect((OverflowError,), acc.observe, "t", {"a": 1.0})
    # Either the observation is refused or the count goes on like a Python
    # int; it never turns negative.
    assert acc.total_episodes in (2**63 - 1, 2**63)
    assert not acc._lock.locked()


def test_total_ingested_at_the_native_limit(capsys):
    acc = EpisodeAccumulator(Client(), "dev")
    acc.total_ingested = 2**63 - 1
    expect((OverflowError,), acc._post_batch, [{"a": 1}, {"b": 2}])
    capsys.readouterr()
    assert acc.total_ingested >= 2**63 - 1


@pytest.mark.parametrize("action", ["clear", "rebind", "none"])
@pytest.mark.parametrize("where", ["payload", "context", "tags"])
def test_fields_changed_while_observe_reads_them(action, where):
    """Python code run by a value empties or replaces `window` and
    `pending_batch` in the middle of observe: the previous reading must not
    be read after the window let it go."""
    import collections

    from .support import Acts

    acc = EpisodeAccumulator(Client(), "dev")
    acc.observe("t0", {"a": 1.0 * 3, "b": "2.5" + "", "c": 4 + 10**6})

    def act():
        if action == "clear":
            acc.window.clear()
            acc.pending_batch.clear()
        elif action == "rebind":
            acc.window = collections.deque(maxlen=3)
            acc.pending_batch = []
        else:
            acc.window = None

    value = Acts(act)
    payload, context = {"a": 2.0, "b": 3.0, "c": 1.0}, None
    if where == "payload":
        payload = {"a": value, "b": 3.0, "c": 1.0, "d": Acts(act)}
    elif where == "context":
        context = {"source_text": value, "source_meta": {"m": 1}}
    else:
        context = {"source_tags": ["x", value, "y"]}
    ok, out = expect((TypeError, ValueError, AttributeError, RuntimeError), acc.observe, "t1", payload, context)
    if ok:
        assert out["state"]["timestamp"] == "t1"
    assert not acc._lock.locked()
    acc.window = collections.deque(maxlen=accumulator.ACCUMULATOR_WINDOW_SIZE)
    acc.pending_batch = []
    check_usable(acc)


@pytest.mark.parametrize(
    "override", ["returns_none", "returns_int", "reenters", "raises", "not_callable", "flush_raises", "flush_rebinds"]
)
def test_subclass_overrides_of_any_kind(override, monkeypatch):
    """observe reaches _build_episode and _flush_locked through the instance,
    so a subclass's override runs, whatever it does."""
    monkeypatch.setattr(accumulator, "ACCUMULATOR_BATCH_SIZE", 2)

    class Sub(EpisodeAccumulator):
        pass

    if override == "returns_none":
        Sub._build_episode = lambda self, timestamp, payload, context=None: None
    elif override == "returns_int":
        Sub._build_episode = lambda self, timestamp, payload, context=None: 12345678
    elif override == "reenters":
        Sub._build_episode = lambda self, timestamp, payload, context=None: self.observe(timestamp, payload)
    elif override == "raises":

        def boom(self, timestamp, payload, context=None):
            raise Boom("build")

        Sub._build_episode = boom
    elif override == "not_callable":
        Sub._flush_locked = 5
    elif override == "flush_raises":

        def boom(self, now_ts=None):
            raise Boom("flush")

        Sub._flush_locked = boom
    else:

        def rebind(self, now_ts=None):
            self.pending_batch = []

        Sub._flush_locked = rebind
    acc = Sub(Client(), "dev")
    results = [expect((Boom, RuntimeError, TypeError), acc.observe, f"t{i}", {"a": float(i)}) for i in range(3)]
    assert not acc._lock.locked()
    built = sum(1 for ok, _ in results if ok)
    if override in ("returns_none", "returns_int", "flush_rebinds"):
        assert built == 3 and acc.total_episodes == 3
        if override != "flush_rebinds":  # whatever the override built is what observe returns
            assert all(out == (None if override == "returns_none" else 12345678) for _, out in results)
    elif override in ("reenters", "raises"):
        assert built == 0 and acc.total_episodes == 0 and acc.pending_batch == []
    else:
        # The flush step fails after the episode was queued and counted.
        assert acc.total_episodes == 3
    assert len(acc.window) == 3
    for name in ("_build_episode", "_flush_locked"):
        if name in Sub.__dict__:
            delattr(Sub, name)
    monkeypatch.setattr(accumulator, "ACCUMULATOR_BATCH_SIZE", 10**9)
    check_usable(acc)
