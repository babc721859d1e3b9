"""Saving and restoring profiles: pickle and copy of ChannelStats and
StatisticalProfiler, and `orvane profile --state`."""

import copy
import json
import math
import pickle
import struct
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

P = pytest.importorskip("orvane.brenlow.profiler")
from orvane.brenlow.profiler import ChannelStats, StatisticalProfiler  # noqa: E402
from orvane.cli import main  # noqa: E402


def bits(x):
    return struct.pack("<d", x)


def assert_identical(got, want, path="value", nan_sign=True):
    """Equal in type, key order and float bits (NaN included, unless nan_sign is off)."""
    assert type(got) is type(want), (path, got, want)
    if isinstance(want, dict):
        assert list(got) == list(want), path
        for key in want:
            assert_identical(got[key], want[key], f"{path}[{key!r}]", nan_sign)
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), path
        for i, (g, w) in enumerate(zip(got, want)):
            assert_identical(g, w, f"{path}[{i}]", nan_sign)
    elif isinstance(want, float) and math.isnan(want) and not nan_sign:
        assert math.isnan(got), (path, got)
    elif isinstance(want, float):
        assert bits(got) == bits(want), (path, got, want)
    else:
        assert got == want, (path, got, want)


@pytest.fixture
def config(monkeypatch):
    def set_(**values):
        for name, value in values.items():
            monkeypatch.setattr(P, name, value)

    return set_


# Every way out and back in: the copy module, and pickle at every protocol.
# Protocol 0 writes floats as text, as it does for any Python float, so a
# NaN comes back as the plain NaN (its sign bit is not kept).
CLONES = [("copy", copy.copy, True), ("deepcopy", copy.deepcopy, True)] + [
    (f"pickle{p}", lambda o, p=p: pickle.loads(pickle.dumps(o, p)), p > 0) for p in range(pickle.HIGHEST_PROTOCOL + 1)
]

values = st.one_of(
    st.floats(-1e6, 1e6),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324]),
    st.integers(-100, 100),
)
payloads = st.lists(st.dictionaries(st.sampled_from(["a", "b", "c", "d"]), values, max_size=4), max_size=40)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(before=payloads, after=payloads, window=st.sampled_from([1, 3, 12, 30, None]))
def test_a_restored_profiler_continues_exactly_like_the_original(config, before, after, window):
    config(PROFILER_CORRELATION_WINDOW=window, PROFILER_PERIODICITY_MIN_POINTS=2, PROFILER_MIN_DATAPOINTS=3)
    original = StatisticalProfiler("dev")
    for p in before:
        original.observe(p)
    saved = original.__getstate__()
    clones = [(name, clone(original), nan_sign) for name, clone, nan_sign in CLONES]
    for name, c, nan_sign in clones:
        assert type(c) is StatisticalProfiler and c._lock is not original._lock, name
        assert_identical(c.__getstate__(), saved, name, nan_sign)
    for p in after:
        original.observe(p)
        for _, c, _ in clones:
            c.observe(p)
    want = original.snapshot()
    for name, c, nan_sign in clones:
        assert_identical(c.snapshot(), want, name, nan_sign)
        assert_identical(c.__getstate__(), original.__getstate__(), name, nan_sign)


def test_the_window_keeps_the_capacity_it_was_made_with(config):
    config(PROFILER_CORRELATION_WINDOW=4)
    p = StatisticalProfiler("dev")
    for i in range(10):
        p.observe({"a": float(i)})
    data = pickle.dumps(p)
    config(PROFILER_CORRELATION_WINDOW=50)
    q = pickle.loads(data)
    q.observe({"a": 10.0, "b": 1.0})
    assert (list(q.channels["a"].history), q.channels["a"].history.maxlen) == ([7.0, 8.0, 9.0, 10.0], 4)
    assert q.channels["b"].history.maxlen == 50
    c = ChannelStats("u")
    config(PROFILER_CORRELATION_WINDOW=None)
    unbounded = ChannelStats("u")
    for v in range(300):
        unbounded.update(float(v))
    assert len(copy.deepcopy(unbounded).history) == 300 and copy.copy(c).history.maxlen == 50


class Channel(ChannelStats):
    pass


class Profiler(StatisticalProfiler):
    pass


def test_subclasses_attributes_and_foreign_channels_are_kept():
    p = Profiler("dev")
    p.observe({"a": 1.0, "b": 2.0})
    p.note = {"site": [1, 2]}
    p.channels["b"] = Channel("b")
    p.channels["b"].update(3.0)
    p.channels["b"].tag = "t"
    p.channels["x"] = foreign = ("not", "a", "channel")
    for name, clone, _ in CLONES:
        c = clone(p)
        assert type(c) is Profiler and c.note == {"site": [1, 2]}, name
        assert type(c.channels["a"]) is ChannelStats and type(c.channels["b"]) is Channel, name
        assert c.channels["b"] is not p.channels["b"] and c.channels["b"].tag == "t" and c.channels["b"].count == 1
        assert c.channels["x"] == foreign
    assert copy.copy(p).note is p.note and copy.deepcopy(p).note is not p.note
    s = Channel("s")
    s.update(2.5)
    s.extra = 1
    for name, clone, _ in CLONES:
        c = clone(s)
        assert (type(c), c.extra, c.mean, c.prev_value) == (Channel, 1, 2.5, 2.5), name


def test_the_state_is_read_under_the_lock_and_the_copy_gets_a_free_lock():
    p = StatisticalProfiler("dev")
    p.observe({"a": 1.0})
    done = []
    with p._lock:
        t = threading.Thread(target=lambda: done.append(pickle.dumps(p)))
        t.start()
        t.join(0.3)
        assert not done  # waits for the lock
        p.observe  # the holder may still work with the profiler
    t.join(10)
    clone = pickle.loads(done[0])
    assert not clone._lock.locked() and clone._lock.acquire(blocking=False)


@pytest.mark.parametrize(
    "change,error,text",
    [
        (lambda s: s.update(version=2), ValueError, "StatisticalProfiler state version 2 is not supported"),
        (lambda s: s.pop("version"), ValueError, "has no 'version' entry"),
        (lambda s: s.update(version="1"), ValueError, "version '1' is not supported"),
        (lambda s: s["channels"][0][1].update(version=7), ValueError, "ChannelStats state version 7"),
        (lambda s: s["channels"][0][1].update(count=1.5), TypeError, "'count' must be an int"),
        (
            lambda s: s["channels"][0][1].update(window=[1.0] * 5, window_capacity=4),
            ValueError,
            "more than its capacity",
        ),
        (lambda s: s["channels"][0][1].update(window=["x"]), TypeError, "'window' must be a float"),
        (lambda s: s.update(total_observations=-1), ValueError, "must not be negative"),
        (lambda s: s["channels"][0][1].update(type=dict), TypeError, "must be a ChannelStats subclass"),
    ],
)
def test_a_bad_state_is_refused_and_changes_nothing(change, error, text):
    p = StatisticalProfiler("dev")
    p.observe({"a": 1.0, "b": 2.0})
    state = p.__getstate__()
    change(state)
    target = StatisticalProfiler("other")
    target.observe({"z": 3.0})
    before = target.__getstate__()
    with pytest.raises(error, match=text):
        target.__setstate__(state)
    assert_identical(target.__getstate__(), before)
    with pytest.raises(TypeError, match="must be a dict"):
        ChannelStats("c").__setstate__([1])


# -- orvane profile --state ----------------------------------------------------------------

ROWS = [
    f"t{i},{20 + math.sin(i / 3):.6f},{1500 + (i * 37) % 11},{v}"
    for i, v in enumerate(["1.5", "nan", "inf", "2", "-inf"] * 8)
]


def write_csv(path, rows):
    path.write_text("time,temp,rpm,odd\n" + "\n".join(rows) + "\n")
    return str(path)


def profile_json(capsys, *args):
    assert main(["profile", "--json", *args]) == 0
    return json.loads(capsys.readouterr().out)


def test_a_profile_split_over_three_files_equals_the_whole(tmp_path, capsys):
    whole = profile_json(capsys, write_csv(tmp_path / "whole.csv", ROWS), "--device-id", "pump-7")
    state = str(tmp_path / "pump.json")
    pieces = [ROWS[:9], ROWS[9:10], ROWS[10:]]
    profile_json(capsys, write_csv(tmp_path / "p0.csv", pieces[0]), "--state", state, "--device-id", "pump-7")
    profile_json(capsys, write_csv(tmp_path / "p1.csv", pieces[1]), "--state", state)
    last = profile_json(capsys, write_csv(tmp_path / "p2.csv", pieces[2]), "--state", state)
    assert last == whole and last["snapshot"]["device_id"] == "pump-7"
    saved = json.loads(open(state).read())
    assert (saved["format"], saved["version"], saved["profile"]["version"]) == ("orvane-profile", 1, 1)
    odd = dict(saved["profile"]["channels"])["odd"]
    assert odd["max_val"] == "inf" and odd["min_val"] == "-inf" and "nan" in odd["window"]
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".orvane-profile-")] == []


def test_floats_in_the_state_file_round_trip(tmp_path, capsys):
    values = [0.1, 1 / 3, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 123456.789e-20]
    csv = write_csv(tmp_path / "f.csv", [f"t{i},{v!r},{v!r},{v!r}" for i, v in enumerate(values)])
    state = str(tmp_path / "f.json")
    profile_json(capsys, csv, "--state", state)
    from orvane.cli import load_profile_state

    restored = load_profile_state(state)
    direct = StatisticalProfiler("f")
    for v in values:
        direct.observe({"temp": v, "rpm": v, "odd": v})
    assert_identical(restored.__getstate__(), direct.__getstate__())


@pytest.mark.parametrize(
    "content,message",
    [
        ("{not json", "is not a saved profile"),
        ('{"format": "other"}', "is not a saved profile"),
        ('{"format": "orvane-profile", "version": 9, "profile": {}}', "version 9 is not supported"),
        ('{"format": "orvane-profile", "version": 1, "profile": {"version": 2}}', "state version 2 is not supported"),
    ],
)
def test_a_bad_state_file_is_refused_and_left_alone(tmp_path, capsys, content, message):
    state = tmp_path / "s.json"
    state.write_text(content)
    assert main(["profile", write_csv(tmp_path / "a.csv", ROWS[:3]), "--state", str(state)]) == 2
    assert message in capsys.readouterr().err
    assert state.read_text() == content


def test_an_explicit_device_id_must_match_the_saved_one(tmp_path, capsys):
    state = str(tmp_path / "s.json")
    profile_json(capsys, write_csv(tmp_path / "a.csv", ROWS[:3]), "--state", state)
    assert main(["profile", write_csv(tmp_path / "b.csv", ROWS[3:6]), "--state", state, "--device-id", "other"]) == 2
    assert "holds the profile of device 'a', not 'other'" in capsys.readouterr().err


def test_state_and_report_are_not_combined(tmp_path, capsys):
    pytest.importorskip("matplotlib")  # without it, --report is refused first, for its missing extra
    state = tmp_path / "s.json"
    args = [
        "profile",
        write_csv(tmp_path / "a.csv", ROWS[:3]),
        "--state",
        str(state),
        "--report",
        str(tmp_path / "r.html"),
    ]
    code = main(args)
    err = capsys.readouterr().err
    assert code == 2 and "--report and --state cannot be used together" in err and not state.exists()
