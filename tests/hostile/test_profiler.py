"""Hostile input for ChannelStats and StatisticalProfiler (see support.py)."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    MUTATIONS,
    Boom,
    DictSub,
    Mutator,
    RaisingFloat,
    StrSub,
    ValueErrorFloat,
    armed_keys,
    build_payload,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    payload_specs,
)

profiler = pytest.importorskip("orvane.brenlow.profiler")
ChannelStats = profiler.ChannelStats
StatisticalProfiler = profiler.StatisticalProfiler

INT_FIELDS = ("count", "delta_count", "outlier_count")
FLOAT_FIELDS = ("min_val", "max_val", "mean", "M2", "delta_sum")
PROPERTIES = ("variance", "std", "value_range", "mean_rate_of_change", "outlier_frequency", "periodicity_score")
CONVERSION = (TypeError, ValueError, OverflowError, Boom)


def fields(ch):
    return {f: getattr(ch, f) for f in ("name", *INT_FIELDS, *FLOAT_FIELDS, "prev_value")} | {
        "history": list(ch.history)
    }


def same(a, b):
    """Field dicts equal, NaN equal to NaN."""
    if a.keys() != b.keys():
        return False
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, list):
            if len(x) != len(y) or not all(u == v or (u != u and v != v) for u, v in zip(x, y)):
                return False
        elif not (x == y or (x != x and y != y)):
            return False
    return True


def check_channel_invariants(ch, total=None):
    window = profiler.PROFILER_CORRELATION_WINDOW
    assert ch.count >= 1
    assert ch.delta_count == ch.count - 1
    assert len(ch.history) == min(ch.count, window)
    assert 0 <= ch.outlier_count <= ch.count
    if total is not None:
        assert ch.count <= total
    record = ch.to_dict()
    assert list(record)[:2] == ["name", "count"] and record["count"] == ch.count


def check_profiler_usable(p):
    assert not p._lock.locked()
    total = p.total_observations
    before = {k: c.count for k, c in p.channels.items()}
    p.observe({"usable_probe": 2.0})
    assert p.total_observations == total + 1
    assert p.channels["usable_probe"].count == before.get("usable_probe", 0) + 1
    for k, c in p.channels.items():
        if k != "usable_probe":
            assert c.count == before[k]
    snap = p.snapshot()
    assert snap["total_observations"] == total + 1 and snap["channel_count"] == len(p.channels)
    assert not p._lock.locked()


# -- ChannelStats ----------------------------------------------------------------------


@HOSTILE
@given(hostile_args, st.sampled_from(["update", "check_outlier"]))
def test_channel_update_hostile_value(value, method):
    ch = ChannelStats("c")
    for v in (1.0, 2.0, 4.0):
        ch.update(v)
    before = fields(ch)
    ok, out = expect(CONVERSION, getattr(ch, method), value)
    if not ok:
        assert same(fields(ch), before), f"{method} changed fields before failing"
        if isinstance(value, RaisingFloat):
            assert type(out) is Boom
        if isinstance(value, ValueErrorFloat):
            assert type(out) is ValueError and str(out) == "no number here"
    elif method == "update":
        assert ch.count == 4 and len(ch.history) == 4
    ch.update(3.0)
    check_channel_invariants(ch)
    for prop in PROPERTIES:
        assert isinstance(getattr(ch, prop), float)


@HOSTILE
@given(st.sampled_from(INT_FIELDS + FLOAT_FIELDS + ("prev_value", "name", "history")), hostile_args)
def test_channel_field_assignment_then_use(field, value):
    """Python code may set any field to anything: either the assignment is
    refused with a conversion error or every operation afterwards still
    answers (with a value or a Python exception, never a crash)."""
    ch = ChannelStats("c")
    for v in (1.0, 5.0, 2.0):
        ch.update(v)
    before = fields(ch)
    if field == "history":
        value = [value, 1.0, value]
    ok, _ = expect(CONVERSION + (RuntimeError,), setattr, ch, field, value)
    if not ok and field != "history":
        assert same(fields(ch), before)
    # What Python's arithmetic raises on such fields: ZeroDivisionError for a
    # count of -1, ValueError from sqrt of a negative variance (M2 < 0).
    after = (OverflowError, ZeroDivisionError, ValueError)
    for prop in PROPERTIES:
        expect(after, getattr, ch, prop)
    expect(after, ch.to_dict)
    count = ch.count
    ok, _ = expect(after, ch.update, 7.0)
    if ok:
        assert ch.count == count + 1
    expect(after, ch.check_outlier, 7.0)


@pytest.mark.parametrize("field", INT_FIELDS)
@pytest.mark.parametrize("value", [2**63 - 1, -(2**63)])
def test_channel_counters_at_the_native_limit(field, value):
    """A counter set to the edge of its native range must not wrap around
    silently: the step that would pass the edge fails and changes nothing."""
    ch = ChannelStats("c")
    for v in [0.0, 1.0] * 20:
        ch.update(v)
    setattr(ch, field, value)
    assert getattr(ch, field) == value
    before = fields(ch)
    try:
        ch.update(1e9)
    except (OverflowError, ZeroDivisionError):
        assert same(fields(ch), before)
    else:
        for f in INT_FIELDS:
            # Python ints never wrap: a counter that was positive stays so.
            assert (getattr(ch, f) > 0) == (before[f] > 0) or getattr(ch, f) == before[f] + 1
    before = fields(ch)
    try:
        ch.check_outlier(1e12)
    except OverflowError:
        assert same(fields(ch), before)
    else:
        assert ch.outlier_count in (before["outlier_count"], before["outlier_count"] + 1)
        assert (ch.outlier_count > 0) == (before["outlier_count"] > 0) or ch.outlier_count == before[
            "outlier_count"
        ] + 1


@pytest.mark.parametrize("mode", MUTATIONS)
@pytest.mark.parametrize("container", [list, tuple, "generator", "deque"])
def test_channel_history_from_a_list_that_changes_while_read(mode, container):
    import collections

    m = Mutator(mode)
    items = [1.0, m, 2.0] * 40
    m.target = items
    if container is tuple:
        source = tuple(items)
    elif container == "generator":
        source = (x for x in items)
    elif container == "deque":
        source = collections.deque(items)
    else:
        source = items
    ch = ChannelStats("c")
    ok, _ = expect((TypeError, RuntimeError), setattr, ch, "history", source)
    if container != "deque":  # a deque brings its own maxlen (here none)
        assert len(ch.history) <= profiler.PROFILER_CORRELATION_WINDOW
    assert all(isinstance(v, float) for v in ch.history)
    ch.update(1.0)
    ch.periodicity_score  # noqa: B018


@HOSTILE
@given(st.lists(st.one_of(st.floats(width=64), st.integers(-(2**60), 2**60)), max_size=120))
def test_channel_properties_never_raise_on_extreme_values(values):
    ch = ChannelStats("c")
    for v in values:
        ch.update(v)
        ch.check_outlier(v)
    for prop in PROPERTIES:
        assert isinstance(getattr(ch, prop), float)
    assert ch.to_dict()["count"] == len(values)
    ps = ch.periodicity_score
    assert math.isnan(ps) or 0.0 <= ps <= 1.0


def test_channel_bad_calls():
    check_refuses_bad_calls(ChannelStats, 1, ("name",))
    ch = ChannelStats("c")
    check_refuses_bad_calls(ch.update, 1, ("value",))
    check_refuses_bad_calls(ch.check_outlier, 1, ("value",))
    check_refuses_bad_calls(ch.to_dict, 0, ())
    for bad in (StrSub("c"), None, 1, b"c"):
        with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
            ChannelStats(bad)
    assert ch.count == 0 and ch.to_dict()["count"] == 0


# -- StatisticalProfiler -----------------------------------------------------------


OBSERVE_ERRORS = (TypeError, OverflowError, RuntimeError, Boom)


@HOSTILE
@given(payload_specs, st.booleans())
def test_observe_hostile_payload(spec, armed):
    p = StatisticalProfiler("dev")
    p.observe({"a": 1.0, "temp": 2.0})
    payload = build_payload(spec)
    if armed:
        with armed_keys():
            ok, out = expect(OBSERVE_ERRORS, p.observe, payload)
    else:
        ok, out = expect(OBSERVE_ERRORS, p.observe, payload)
    assert p.total_observations == 2  # counted whether or not it failed
    assert not p._lock.locked()
    for name, ch in p.channels.items():
        assert type(name) is str
        check_channel_invariants(ch, total=2)
    check_profiler_usable(p)


@FEW
@given(hostile_args)
def test_observe_refuses_non_dict_payload_without_counting(value):
    p = StatisticalProfiler("dev")
    container = DictSub(a=1.0) if value is None else value
    if type(container) is dict:
        return
    with pytest.raises(TypeError, match="Argument 'payload' has incorrect type"):
        p.observe(container)
    assert p.total_observations == 0 and p.channels == {}
    check_profiler_usable(p)


@pytest.mark.parametrize("mode", MUTATIONS)
def test_observe_payload_changed_by_its_own_value(mode):
    p = StatisticalProfiler("dev")
    m = Mutator(mode)
    payload = {"a": 1.0, "b": m, "c": 2.0, "d": 3}
    m.target = payload
    expect((RuntimeError,), p.observe, payload)
    assert p.total_observations == 1
    assert p.channels["a"].count == 1
    check_profiler_usable(p)


class FakeChannel:
    def __init__(self, history):
        self.history = history

    def to_dict(self):
        return {"name": "fake"}


@HOSTILE
@given(
    st.sampled_from(
        ["object", "none", "fake_list", "fake_raising", "fake_mutating", "fake_short", "stats_nan", "fake_str"]
    )
)
def test_snapshot_with_foreign_channel_objects(kind):
    """`channels` is a public dict: a caller may put anything in it."""
    p = StatisticalProfiler("dev")
    for i in range(40):
        p.observe({"a": float(i % 7), "b": float(i % 3)})
    if kind == "object":
        p.channels["x"] = object()
    elif kind == "none":
        p.channels["x"] = None
    elif kind == "fake_list":
        p.channels["x"] = FakeChannel([float(i) for i in range(40)])
    elif kind == "fake_raising":
        p.channels["x"] = FakeChannel([1.0, RaisingFloat()] * 20)
    elif kind == "fake_mutating":
        m = Mutator("clear")
        hist = [float(i) for i in range(30)] + [m] + [1.0] * 10
        m.target = hist
        p.channels["x"] = FakeChannel(hist)
    elif kind == "fake_short":
        p.channels["x"] = FakeChannel([1.0])
    elif kind == "fake_str":
        p.channels["x"] = FakeChannel("1234567890" * 4)
    else:
        ch = ChannelStats("x")
        for v in [float("nan"), float("inf"), 1e308, -1e308] * 10:
            ch.update(v)
        p.channels["x"] = ch
    allowed = (AttributeError, TypeError, ValueError, OverflowError, Boom, RuntimeError)
    expect(allowed, p.compute_correlations)
    assert not p._lock.locked()
    expect(allowed, p.snapshot)
    assert not p._lock.locked()
    ok, _ = expect(allowed, p.observe, {"a": 1.0, "x": 2.0})
    assert p.total_observations == 41
    assert not p._lock.locked()
    del p.channels["x"]
    check_profiler_usable(p)


@HOSTILE
@given(
    st.sampled_from(["PROFILER_MIN_DATAPOINTS", "PROFILER_OUTLIER_ZSCORE", "PROFILER_PERIODICITY_MIN_POINTS"]),
    hostile_args,
)
def test_rebound_constants_of_any_type(name, value):
    saved = getattr(profiler, name)
    try:
        setattr(profiler, name, value)
        p = StatisticalProfiler("dev")
        allowed = (TypeError, ValueError, OverflowError, ZeroDivisionError, Boom, RuntimeError)
        for i in range(25):
            expect(allowed, p.observe, {"a": float(i % 5), "b": float(i)})
        assert p.total_observations == 25 and not p._lock.locked()
        expect(allowed, lambda: p.confidence_score)
        expect(allowed, p.snapshot)
        assert not p._lock.locked()
    finally:
        setattr(profiler, name, saved)
    check_profiler_usable(p)


def test_profiler_bad_calls():
    check_refuses_bad_calls(StatisticalProfiler, 1, ("device_id",))
    p = StatisticalProfiler("dev")
    check_refuses_bad_calls(p.observe, 1, ("payload",))
    check_refuses_bad_calls(p.snapshot, 0, ())
    check_refuses_bad_calls(p.compute_correlations, 0, ())
    for field, value in (
        ("channels", DictSub()),
        ("channels", None),
        ("device_id", StrSub("x")),
        ("total_observations", "3"),
    ):
        with pytest.raises(TypeError):
            setattr(p, field, value)
    assert p.total_observations == 0 and p.channels == {}
    check_profiler_usable(p)


class CallsBack:
    """A number whose conversion calls back into the profiler reading it."""

    def __init__(self, fn):
        self.fn = fn
        self.error = None

    def __float__(self):
        try:
            self.fn()
        except Exception as exc:  # noqa: BLE001  (kept for the assertions)
            self.error = exc
        return 1.0


@pytest.mark.parametrize("call", ["observe", "snapshot", "compute_correlations", "acquire"])
def test_observe_reentered_from_a_value_raises_instead_of_hanging(call):
    p = StatisticalProfiler("dev")
    inner = {
        "observe": lambda: p.observe({"b": 1.0}),
        "snapshot": p.snapshot,
        "compute_correlations": p.compute_correlations,
        "acquire": p._lock.acquire,
    }[call]
    value = CallsBack(inner)
    p.observe({"a": value})
    assert type(value.error) is RuntimeError
    assert p.total_observations == 1 and "b" not in p.channels
    check_profiler_usable(p)


def test_lock_released_by_a_value_while_observe_holds_it():
    """Python code may release the object's lock in the middle of observe:
    observe must still return (or raise) properly, leave the lock free and
    never release a lock that another thread took in the meantime."""
    p = StatisticalProfiler("dev")
    ok, out = expect((RuntimeError,), p.observe, {"a": CallsBack(p._lock.release), "b": 2.0})
    assert not p._lock.locked()
    assert p.total_observations == 1 and p.channels["a"].count == 1
    check_profiler_usable(p)

    import threading

    taken, done = threading.Event(), threading.Event()

    def other():
        p._lock.acquire()
        taken.set()
        done.wait(5)
        p._lock.release()

    def release_and_let_other_in():
        p._lock.release()
        t.start()
        taken.wait(5)

    t = threading.Thread(target=other)
    expect((RuntimeError,), p.observe, {"a": CallsBack(release_and_let_other_in)})
    # The other thread's hold survives the end of observe.
    assert p._lock.locked()
    done.set()
    t.join(5)
    check_profiler_usable(p)


def test_total_observations_at_the_native_limit():
    p = StatisticalProfiler("dev")
    p.total_observations = 2**63 - 1
    with pytest.raises(OverflowError):
        p.observe({"a": 1.0})
    assert p.total_observations == 2**63 - 1 and p.channels == {}
    assert not p._lock.locked()
    p.total_observations = 5
    check_profiler_usable(p)


@pytest.mark.parametrize("action", ["clear", "rebind", "foreign"])
@pytest.mark.parametrize(
    "where", ["payload", "PROFILER_MIN_DATAPOINTS", "PROFILER_OUTLIER_ZSCORE", "PROFILER_PERIODICITY_MIN_POINTS"]
)
def test_channels_changed_while_the_profiler_reads_them(action, where):
    """Python code run by a value or by a rebound constant empties or
    replaces `channels` in the middle of observe/snapshot: no stale channel
    may be used after it is gone."""
    from .support import Acts

    p = StatisticalProfiler("dev")
    for i in range(40):
        p.observe({"a": float(i % 3) * 1.0, "b": float(i) + 0.5})

    def act():
        if action == "clear":
            p.channels.clear()
        elif action == "rebind":
            p.channels = {}
        else:
            p.channels = {"a": FakeChannel([float(i) for i in range(30)])}

    allowed = (AttributeError, TypeError, ValueError, OverflowError, RuntimeError)
    saved = getattr(profiler, where, None)
    try:
        if where == "payload":
            expect(allowed, p.observe, {"a": Acts(act), "b": 2.0, "c": Acts(act)})
        else:
            setattr(profiler, where, Acts(act, 5))
            for i in range(3):
                expect(allowed, p.observe, {"a": float(i), "b": 2.0 * i})
                p.channels = {}
                for j in range(40):
                    expect(allowed, p.observe, {"a": float(j % 3), "b": float(j)})
            expect(allowed, p.snapshot)
            expect(allowed, p.compute_correlations)
    finally:
        if saved is not None:
            setattr(profiler, where, saved)
    assert not p._lock.locked()
    p.channels = {}
    check_profiler_usable(p)
