import math
import struct
import subprocess
import sys
import threading
from collections import deque

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.brenlow.profiler as P
from orvane.brenlow.profiler import ChannelStats, StatisticalProfiler
from reference import profiler as ref_profiler


def assert_same(got, want, path="record"):
    """Equal in type, key order and float bits."""
    assert type(got) is type(want), (path, got, want)
    if isinstance(want, dict):
        assert list(got) == list(want), path
        for key in want:
            assert_same(got[key], want[key], f"{path}[{key!r}]")
    elif isinstance(want, float):
        if math.isnan(want):
            assert math.isnan(got), (path, got)
        else:
            assert struct.pack("<d", got) == struct.pack("<d", want), (path, got, want)
    else:
        assert got == want, (path, got, want)


@pytest.fixture
def config(monkeypatch):
    """Rebinds configuration constants on the compiled module for one test."""

    def set_(**values):
        for name, value in values.items():
            monkeypatch.setattr(P, name, value)

    return set_


def message(excinfo):
    return str(excinfo.value)


# ---------------------------------------------------------------------------
# ChannelStats against the reference
# ---------------------------------------------------------------------------

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
value_stream = st.lists(
    st.one_of(finite, finite, st.integers(-50, 50), st.sampled_from([0.0, -0.0, 1e-300]), st.floats(width=64)),
    max_size=60,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    values=value_stream,
    window=st.sampled_from([1, 7, 12, 40]),
    min_points=st.sampled_from([1, 3, 20]),
    min_data=st.sampled_from([0, 4, 30]),
    zscore=st.sampled_from([1.5, 2, 3.0]),
)
def test_channel_matches_reference(config, values, window, min_points, min_data, zscore):
    config(
        PROFILER_CORRELATION_WINDOW=window,
        PROFILER_PERIODICITY_MIN_POINTS=min_points,
        PROFILER_MIN_DATAPOINTS=min_data,
        PROFILER_OUTLIER_ZSCORE=zscore,
    )
    ours, ref = ChannelStats("ch"), ref_profiler.ChannelStats("ch")
    for i, v in enumerate(values):
        ours.update(v)
        ref.update(v)
        assert ours.check_outlier(v) is ref.check_outlier(v)
        if i % 7 == 0:
            assert_same(ours.to_dict(), ref.to_dict())
    assert_same(ours.to_dict(), ref.to_dict())
    assert ours.history.maxlen == window
    fields = ("prev_value", "delta_count", "delta_sum", "M2", "outlier_count")
    assert_same({f: getattr(ours, f) for f in fields}, {f: getattr(ref, f) for f in fields})
    assert_same(dict(enumerate(ours.history)), dict(enumerate(ref.history)))


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(values=st.lists(finite, min_size=20, max_size=100), window=st.integers(20, 100))
def test_periodicity_of_full_windows_matches_reference(config, values, window):
    config(PROFILER_CORRELATION_WINDOW=window, PROFILER_PERIODICITY_MIN_POINTS=20)
    ours, ref = ChannelStats("p"), ref_profiler.ChannelStats("p")
    for v in values + values[:7]:
        ours.update(v)
        ref.update(v)
    assert_same(ours.periodicity_score, ref.periodicity_score)


@pytest.mark.parametrize(
    "values, expected",
    [
        (
            [],
            dict(
                count=0,
                min=math.inf,
                max=-math.inf,
                mean=0.0,
                variance=0.0,
                std=0.0,
                value_range=0.0,
                mean_rate_of_change=0.0,
                outlier_frequency=0.0,
                periodicity_score=0.0,
            ),
        ),
        (
            [4.25],
            dict(
                count=1, min=4.25, max=4.25, mean=4.25, variance=0.0, std=0.0, value_range=0.0, mean_rate_of_change=0.0
            ),
        ),
        ([1, 2, 3], dict(count=3, mean=2.0, variance=1.0, std=1.0, value_range=2.0, mean_rate_of_change=1.0)),
        ([5.0] * 40, dict(variance=0.0, std=0.0, periodicity_score=0.0, outlier_frequency=0.0)),
    ],
)
def test_channel_records(values, expected):
    c = ChannelStats("x")
    for v in values:
        c.update(v)
    record = c.to_dict()
    assert list(record) == [
        "name",
        "count",
        "min",
        "max",
        "mean",
        "variance",
        "std",
        "value_range",
        "mean_rate_of_change",
        "outlier_frequency",
        "periodicity_score",
    ]
    assert record["name"] == "x"
    for key, value in expected.items():
        assert_same(record[key], float(value) if key != "count" else value, key)


def test_constant_stream_never_has_outliers(config):
    config(PROFILER_MIN_DATAPOINTS=3)
    c = ChannelStats("x")
    for _ in range(10):
        c.update(5.0)
    assert c.check_outlier(1e300) is False and c.outlier_count == 0


def test_outliers_wait_for_enough_data_and_need_a_strictly_larger_zscore(config):
    config(PROFILER_MIN_DATAPOINTS=10, PROFILER_OUTLIER_ZSCORE=3.0)
    c = ChannelStats("x")
    for v in [0.0, 1.0] * 4:
        c.update(v)
    c.update(1e9)
    assert c.check_outlier(1e9) is False and c.outlier_count == 0  # count 9 < 10
    c.update(0.5)
    z = abs(1e9 - c.mean) / c.std
    config(PROFILER_OUTLIER_ZSCORE=z)
    assert c.check_outlier(1e9) is False
    config(PROFILER_OUTLIER_ZSCORE=math.nextafter(z, -math.inf))
    assert c.check_outlier(1e9) is True
    config(PROFILER_OUTLIER_ZSCORE=int(z))  # an int threshold compares as Python compares
    assert c.check_outlier(1e9) is True
    assert c.outlier_count == 2 and c.outlier_frequency == 2 / 10


@pytest.mark.parametrize("values", [[1.0, 3.0], [1.0, 5.0, 2.0], [0.0, 1.0, 0.0, 2.0, 7.0]])
def test_short_windows_have_one_bin(config, values):
    config(PROFILER_PERIODICITY_MIN_POINTS=2)
    c = ChannelStats("x")
    for v in values:
        c.update(v)
    assert c.periodicity_score == 1.0


def test_sinusoid_scores_close_to_one():
    c = ChannelStats("x")
    for t in range(100):
        c.update(math.sin(2 * math.pi * t / 10))
    assert c.periodicity_score > 0.95


def test_window_keeps_the_latest_values_while_statistics_cover_all(config):
    config(PROFILER_CORRELATION_WINDOW=5)
    c = ChannelStats("x")
    for v in range(12):
        c.update(v)
    config(PROFILER_CORRELATION_WINDOW=50)  # read once, at creation
    c.update(12)
    assert list(c.history) == [8.0, 9.0, 10.0, 11.0, 12.0] and c.history.maxlen == 5
    assert (c.count, c.min_val, c.max_val, c.mean, c.mean_rate_of_change) == (13, 0.0, 12.0, 6.0, 1.0)
    assert ChannelStats("y").history.maxlen == 50


def test_nan_values():
    c = ChannelStats("x")
    c.update(1.0)
    c.update(math.nan)
    assert (c.count, c.min_val, c.max_val) == (2, 1.0, 1.0)
    assert all(math.isnan(x) for x in (c.mean, c.M2, c.delta_sum, c.variance, c.std))


def test_attributes_are_typed_and_writable():
    c = ChannelStats("x")
    c.count, c.mean, c.prev_value, c.name = 4, 2, 1, "y"
    assert (c.count, c.mean, c.prev_value, c.name) == (4, 2.0, 1.0, "y")
    c.prev_value = None
    c.update(3.0)
    assert c.delta_count == 0 and c.count == 5
    c.history = deque([1, 2, 3], maxlen=2)
    assert list(c.history) == [2.0, 3.0] and c.history.maxlen == 2
    c.extra = "kept"  # instances take attributes like plain objects
    assert c.extra == "kept"
    with pytest.raises(TypeError):
        c.mean = "1.0"
    c.M2 = -1.0
    with pytest.raises(ValueError, match="math domain error"):
        c.std


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: ChannelStats(None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (lambda: ChannelStats(Text("a")), "Argument 'name' has incorrect type (expected str, got Text)"),
        (lambda: ChannelStats(3), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: ChannelStats(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: ChannelStats("a").update("1.0"), "must be real number, not str"),
        (lambda: ChannelStats("a").check_outlier(None), "must be real number, not NoneType"),
        (lambda: ChannelStats("a").update(), "update() takes exactly 2 positional arguments (1 given)"),
        (lambda: ChannelStats("a").to_dict(1), "to_dict() takes exactly 1 positional argument (2 given)"),
        (lambda: StatisticalProfiler(b"id"), "Argument 'device_id' has incorrect type (expected str, got bytes)"),
        (
            lambda: StatisticalProfiler("d").observe(None),
            "Argument 'payload' has incorrect type (expected dict, got NoneType)",
        ),
        (
            lambda: StatisticalProfiler("d").observe(type("D", (dict,), {})()),
            "Argument 'payload' has incorrect type (expected dict, got D)",
        ),
        (lambda: StatisticalProfiler("d").snapshot(1), "snapshot() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert message(info) == text


def test_update_refuses_before_changing_anything():
    c = ChannelStats("x")
    with pytest.raises(TypeError):
        c.update("2")
    assert c.count == 0 and len(c.history) == 0


# ---------------------------------------------------------------------------
# StatisticalProfiler against the reference
# ---------------------------------------------------------------------------

payload_values = st.one_of(
    finite,
    st.integers(-1000, 1000),
    st.booleans(),
    st.none(),
    st.sampled_from(["3.5", " -1_000.25 ", "nan", "-Infinity", "1e3", "abc", "", b"2", bytearray(b"7"), [1], {}]),
)
payloads = st.lists(st.dictionaries(st.sampled_from(["a", "b", "c", "d"]), payload_values, max_size=4), max_size=45)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(stream=payloads, window=st.sampled_from([9, 12, 30]), min_data=st.sampled_from([0, 5, 30, 2.5]))
def test_snapshot_matches_reference(config, stream, window, min_data):
    config(PROFILER_CORRELATION_WINDOW=window, PROFILER_MIN_DATAPOINTS=min_data, PROFILER_PERIODICITY_MIN_POINTS=6)
    ours, ref = StatisticalProfiler("dev"), ref_profiler.StatisticalProfiler("dev")
    for payload in stream:
        ours.observe(payload)
        ref.observe(payload)
    assert_same(ours.snapshot(), ref.snapshot())
    assert_same(ours.compute_correlations(), ref.compute_correlations())
    assert list(ours.channels) == list(ref.channels)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(finite, finite, finite), min_size=10, max_size=40), late=st.integers(0, 30))
def test_correlations_of_unequal_windows_match_reference(config, rows, late):
    config(PROFILER_CORRELATION_WINDOW=25)
    ours, ref = StatisticalProfiler("dev"), ref_profiler.StatisticalProfiler("dev")
    for i, (a, b, c) in enumerate(rows):
        payload = {"a": a, "b": b * 3 - a} if i < late else {"a": a, "b": b, "c": c, "d": 2.0 * c + 1}
        ours.observe(payload)
        ref.observe(payload)
    assert_same(ours.compute_correlations(), ref.compute_correlations())


def test_new_profiler():
    p = StatisticalProfiler("pump-1")
    assert p.confidence_score == 0.0 and not p._lock.locked()
    assert_same(
        p.snapshot(),
        {
            "device_id": "pump-1",
            "total_observations": 0,
            "confidence_score": 0.0,
            "channel_count": 0,
            "channels": {},
            "correlations": {},
        },
    )


def test_payload_conversion_and_skipping():
    p = StatisticalProfiler("d")
    p.observe({})
    p.observe({"x": "not a number"})
    assert (p.total_observations, p.channels) == (2, {})
    p.observe({"a": "3.5", "b": "text", "c": None, "d": True, "e": [1]})
    assert list(p.channels) == ["a", "d"]
    assert (p.channels["a"].mean, p.channels["d"].mean) == (3.5, 1.0)
    assert isinstance(p.channels["a"], ChannelStats)


def test_late_channel_counts_only_its_own_values():
    p = StatisticalProfiler("d")
    for i in range(9):
        p.observe({"a": i})
    p.observe({"a": 9, "late": 1.0})
    snap = p.snapshot()
    assert snap["total_observations"] == 10 and snap["channels"]["late"]["count"] == 1


@pytest.mark.parametrize(
    "minimum, total, expected",
    [
        (20, 1, 0.0014),
        (20, 20, 0.1111),
        (20, 80, 0.5),
        (20, 320, 0.8889),
        (20, 1706, 0.9899),
        (20, 1707, 0.99),
        (20, 10**6, 0.99),
        (0, 5, 0.5829),
        (1, 5, 0.5829),
        (-3, 5, 0.5829),
        (20.0, 80, 0.5),
        (20, 0, 0.0),
        (20, -4, 0.0),
    ],
)
def test_confidence_curve(config, minimum, total, expected):
    config(PROFILER_MIN_DATAPOINTS=minimum)
    p = StatisticalProfiler("d")
    p.total_observations = total
    assert p.confidence_score == expected


def test_empty_payloads_raise_confidence_and_rebinding_takes_effect(config):
    config(PROFILER_MIN_DATAPOINTS=20)
    p = StatisticalProfiler("d")
    for _ in range(80):
        p.observe({})
    assert p.confidence_score == 0.5
    config(PROFILER_MIN_DATAPOINTS=5)
    assert p.snapshot()["confidence_score"] == 0.8889  # 16 minimums


class FloatWith:
    def __init__(self, run):
        self.run = run

    def __float__(self):
        return self.run()


def test_errors_mid_payload_leave_earlier_entries_applied_and_the_lock_free():
    p = StatisticalProfiler("d")
    with pytest.raises(TypeError) as info:
        p.observe({"a": 1.0, 2: 3.0, "c": 4.0})
    assert message(info) == "Argument 'name' has incorrect type (expected str, got int)"
    with pytest.raises(OverflowError):
        p.observe({"a": 2.0, "big": 10**400})

    def fail():
        raise KeyError("boom")

    with pytest.raises(KeyError):
        p.observe({"a": 3.0, "b": FloatWith(fail)})
    p.observe({"a": 4.0, "skipped": FloatWith(lambda: float("x"))})  # ValueError: skipped
    assert not p._lock.locked()
    assert p.total_observations == 4 and list(p.channels) == ["a"] and p.channels["a"].count == 4


def test_reentering_the_lock_raises_instead_of_hanging():
    p = StatisticalProfiler("d")
    with p._lock:
        with pytest.raises(RuntimeError):
            p.observe({"a": 1.0})
    with pytest.raises(RuntimeError):
        p.observe({"a": FloatWith(p.snapshot)})
    # the first call never got the lock; the second counted before failing
    assert not p._lock.locked() and p.total_observations == 1 and p.snapshot()["channel_count"] == 0


def test_foreign_and_subclassed_channels_are_used_through_their_methods(config):
    config(PROFILER_CORRELATION_WINDOW=20)

    class Counting(ChannelStats):
        def update(self, value):
            self.seen = getattr(self, "seen", 0) + 1
            super().update(value)

    p = StatisticalProfiler("d")
    p.channels["sub"] = Counting("sub")
    p.channels["ref"] = ref_profiler.ChannelStats("ref")
    for i in range(15):
        p.observe({"sub": i % 4, "ref": i * 0.5, "own": -i})
    assert p.channels["sub"].seen == 15 and p.channels["ref"].count == 15
    snap = p.snapshot()
    assert snap["channels"]["ref"] == p.channels["ref"].to_dict()
    assert snap["correlations"]["ref"]["own"] == -1.0


# ---------------------------------------------------------------------------
# Correlations
# ---------------------------------------------------------------------------


def feed(profiler, rows):
    for row in rows:
        profiler.observe(row)


@pytest.mark.parametrize(
    "rows",
    [
        [],
        [{"a": float(i)} for i in range(20)],
        [{"a": float(i), "b": float(i % 3)} for i in range(9)] + [{"a": 1.0}] * 5,
    ],
)
def test_correlations_need_two_windows_of_ten(rows):
    p = StatisticalProfiler("d")
    feed(p, rows)
    assert p.compute_correlations() == {}


def test_correlation_shapes():
    p = StatisticalProfiler("d")
    feed(
        p,
        [
            {"x": float(i), "up": 2.0 * i + 1, "down": -0.5 * i, "flat": 3.0, "short": float(i % 4)}
            if i < 9
            else {"x": float(i), "up": 2.0 * i + 1, "down": -0.5 * i, "flat": 3.0}
            for i in range(10)
        ],
    )
    corr = p.compute_correlations()
    assert list(corr) == ["x", "up", "down", "flat"]
    assert corr["x"] == {"x": 1.0, "up": 1.0, "down": -1.0, "flat": 0.0}
    assert corr["flat"] == {"x": 0.0, "up": 0.0, "down": 0.0, "flat": 1.0}
    assert all(corr[a][b] == corr[b][a] for a in corr for b in corr)


def test_shorter_window_pairs_with_the_latest_values_of_the_longer():
    p = StatisticalProfiler("d")
    feed(p, [{"A": float(i * i % 7)} for i in range(18)])
    feed(p, [{"A": float(i * i % 7), "B": float(i % 5)} for i in range(18, 30)])
    ref = ref_profiler.StatisticalProfiler("d")
    feed(ref, [{"A": float(i * i % 7)} for i in range(18)])
    feed(ref, [{"A": float(i * i % 7), "B": float(i % 5)} for i in range(18, 30)])
    corr = p.compute_correlations()
    assert corr["A"] == {"A": 1.0} and list(corr["B"]) == ["A", "B"]
    assert_same(corr, ref.compute_correlations())


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


def test_concurrent_observers_and_readers(monkeypatch):
    monkeypatch.setattr(sys, "getswitchinterval", sys.getswitchinterval)
    sys.setswitchinterval(1e-5)
    try:
        p = StatisticalProfiler("d")
        names = [f"ch{i}" for i in range(10)]
        workers, rounds = 4, 150
        errors, snaps = [], []

        def slow(i):
            return FloatWith(lambda: float(sum(range(i % 50))))

        def observer(w):
            try:
                for r in range(rounds):
                    p.observe({n: (slow(r) if j == 3 else float(r * j + w)) for j, n in enumerate(names)})
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        done = threading.Event()

        def reader():
            try:
                while not done.is_set():
                    snaps.append(p.snapshot())
                    p.compute_correlations()
                    p.confidence_score
            except BaseException as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=observer, args=(w,)) for w in range(workers)]
        readers = [threading.Thread(target=reader) for _ in range(2)]
        for t in readers + threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        done.set()
        for t in readers:
            t.join(timeout=60)
        assert not any(t.is_alive() for t in threads + readers), "deadlock"
        assert errors == []
        total = workers * rounds
        assert p.total_observations == total
        assert all(p.channels[n].count == total for n in names)
        # every payload holds every channel, so a snapshot taken between
        # payloads sees each channel counted exactly as often as the total
        for snap in snaps:
            assert all(rec["count"] == snap["total_observations"] for rec in snap["channels"].values())
    finally:
        sys.setswitchinterval(0.005)


# ---------------------------------------------------------------------------
# Module
# ---------------------------------------------------------------------------


def test_module_binds_configuration_and_host_modules():
    import orvane.config as cfg

    for name in (
        "PROFILER_CORRELATION_WINDOW",
        "PROFILER_MIN_DATAPOINTS",
        "PROFILER_OUTLIER_ZSCORE",
        "PROFILER_PERIODICITY_MIN_POINTS",
    ):
        assert getattr(P, name) == getattr(cfg, name)
    assert P.deque is deque and P.math is math and P.threading is threading


def test_missing_configuration_constant_fails_the_import():
    code = (
        "import sys, types, orvane.config as c\n"
        "del c.PROFILER_OUTLIER_ZSCORE\n"
        "try:\n    import orvane.brenlow.profiler\nexcept ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "cannot import name PROFILER_OUTLIER_ZSCORE", out.stderr


def test_deleted_constant_is_a_name_error(monkeypatch):
    monkeypatch.delattr(P, "PROFILER_MIN_DATAPOINTS")
    p = StatisticalProfiler("d")
    p.total_observations = 3
    with pytest.raises(NameError, match="PROFILER_MIN_DATAPOINTS"):
        p.confidence_score


@pytest.mark.parametrize("window, error", [(-1, ValueError), (2.5, TypeError), ("3", TypeError)])
def test_window_capacity_is_read_as_deque_reads_it(config, window, error):
    config(PROFILER_CORRELATION_WINDOW=window)
    with pytest.raises(error) as ours:
        ChannelStats("x")
    with pytest.raises(error) as theirs:
        deque(maxlen=window)
    assert message(ours) == message(theirs)


def test_stub_names_exist_at_runtime():
    import ast
    import pathlib

    tree = ast.parse(pathlib.Path(P.__file__).with_name("profiler.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name in ("ChannelStats", "StatisticalProfiler"):
        members = {n.name for n in classes[name].body if isinstance(n, ast.FunctionDef)}
        members |= {n.target.id for n in classes[name].body if isinstance(n, ast.AnnAssign)}
        cls = getattr(P, name)
        assert {m for m in members if m != "__init__" and not hasattr(cls, m)} == set(), name
    assert type(StatisticalProfiler("d")._lock).__name__ == "Lock"


def test_copying_and_pickling_behave_like_a_plain_class(config):
    import copy
    import pickle

    config(PROFILER_CORRELATION_WINDOW=4)
    c = ChannelStats("x")
    for v in (1.0, 5.0, 2.0, 8.0, 3.0):
        c.update(v)
    c.note = "kept"
    for clone in (copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert_same(clone.to_dict(), c.to_dict())
        assert (list(clone.history), clone.history.maxlen, clone.prev_value, clone.note) == (
            [5.0, 2.0, 8.0, 3.0],
            4,
            3.0,
            "kept",
        )
    p = StatisticalProfiler("d")
    p.observe({"a": 1.0})
    # The lock is never shared or copied: every copy is a profiler of its own.
    for clone in (copy.copy(p), copy.deepcopy(p), pickle.loads(pickle.dumps(p))):
        assert clone._lock is not p._lock and not clone._lock.locked()
        assert clone.channels is not p.channels and clone.channels["a"] is not p.channels["a"]
        assert clone.total_observations == 1


def test_long_windows_are_scored_without_a_cached_table(config):
    # 1800 values need a cos/sin table larger than the cache keeps
    config(PROFILER_CORRELATION_WINDOW=1800, PROFILER_PERIODICITY_MIN_POINTS=1)
    ours, ref = ChannelStats("long"), ref_profiler.ChannelStats("long")
    for t in range(1800):
        v = math.sin(t * 0.37) + (t % 11) * 0.01
        ours.update(v)
        ref.update(v)
    assert_same(ours.periodicity_score, ref.periodicity_score)


def test_extreme_values_give_a_value_where_plain_python_overflows():
    ours, ref = StatisticalProfiler("d"), ref_profiler.StatisticalProfiler("d")
    for i in range(12):
        row = {"huge": (-1) ** i * 1e200, "plain": float(i)}
        ours.observe(row)
        ref.observe(row)
    with pytest.raises(OverflowError):
        ref.compute_correlations()
    corr = ours.snapshot()["correlations"]
    assert corr["plain"]["plain"] == 1.0 and corr["huge"]["plain"] == 0.0


def test_constants_rebound_during_a_payload_apply_to_the_rest_of_it(config):
    config(PROFILER_MIN_DATAPOINTS=1000, PROFILER_OUTLIER_ZSCORE=0.5)

    def loosen():
        P.PROFILER_MIN_DATAPOINTS = 2
        return 0.0

    results = []
    for profiler in (StatisticalProfiler("d"), ref_profiler.StatisticalProfiler("d")):
        P.PROFILER_MIN_DATAPOINTS = 1000
        for i in range(6):
            profiler.observe({"a": float(i % 3), "b": float(i % 2)})
        profiler.observe({"a": 9.0, "switch": FloatWith(loosen), "b": 9.0})
        results.append({name: c.outlier_count for name, c in profiler.channels.items()})
    assert results[0] == results[1] == {"a": 0, "switch": 0, "b": 1}
