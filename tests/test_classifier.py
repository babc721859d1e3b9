"""SchemaClassifier.classify against a plain-Python rendering of its rules."""

import math
import struct
import threading

import pytest
from hypothesis import given, settings, strategies as st

from orvane.brenlow import classifier as C
from orvane.brenlow.classifier import SchemaClassifier
from reference.classifier import classify as reference

THRESHOLDS = {
    "DYNAMIC_VARIANCE_THRESHOLD": 0.01,
    "STABLE_VARIANCE_THRESHOLD": 0.0001,
    "HIGH_ROC_THRESHOLD": 0.05,
    "CORRELATION_THRESHOLD": 0.7,
    "OUTLIER_FREQUENCY_THRESHOLD": 0.05,
    "PERIODICITY_THRESHOLD": 0.3,
}


def canon(x):
    """Key order and float bits made visible, so == compares them too."""
    if isinstance(x, dict):
        return ("dict", [(canon(k), canon(v)) for k, v in x.items()])
    if isinstance(x, list):
        return ("list", [canon(v) for v in x])
    if isinstance(x, float):
        return ("float", struct.pack("<d", x)) if not math.isnan(x) else ("float", "nan")
    return (type(x).__name__, x)


def outcome(fn, snap):
    try:
        return "ok", canon(fn(snap))
    except Exception as e:  # the error's class and message are the result
        return type(e).__name__, str(e)


def assert_same(snap):
    assert outcome(SchemaClassifier().classify, snap) == outcome(reference, snap)


def record(count=10, variance=0.0, roc=0.0, ofreq=0.0, period=0.0, name="x"):
    """A channel record in the profiler's shape."""
    return {
        "name": name,
        "count": count,
        "min": 0.0,
        "max": 0.0,
        "mean": 0.0,
        "variance": variance,
        "std": math.sqrt(variance) if variance > 0 else 0.0,
        "value_range": 0.0,
        "mean_rate_of_change": roc,
        "outlier_frequency": ofreq,
        "periodicity_score": period,
    }


def snapshot(channels, correlations=None, confidence=0.5):
    return {
        "device_id": "dev-1",
        "total_observations": 10,
        "confidence_score": confidence,
        "channel_count": len(channels),
        "channels": channels,
        "correlations": correlations or {},
    }


@pytest.fixture
def restore_thresholds():
    yield
    for name, value in THRESHOLDS.items():
        setattr(C, name, value)


def test_thresholds_are_module_floats():
    assert {n: getattr(C, n) for n in THRESHOLDS} == THRESHOLDS
    assert all(type(getattr(C, n)) is float for n in THRESHOLDS)


def test_empty_snapshot():
    assert SchemaClassifier().classify({}) == {
        "confidence": 0.0,
        "channel_count": 0,
        "significant_channels": [],
        "stable_channels": [],
        "classifications": {},
    }


@pytest.mark.parametrize(
    "stats, labels, score",
    [
        ({"variance": 0.00005}, ["stable"], 0.0),
        ({"variance": 0.02, "roc": 0.1}, ["dynamic"], 0.4),
        ({"variance": 0.005, "roc": 0.01}, ["slow_moving"], 0.1),
        ({"variance": 0.01, "roc": 0.2}, ["unknown"], 0.0),
        ({"variance": 0.02, "roc": 0.05}, ["unknown"], 0.0),
        ({"variance": 0.02, "period": 0.3}, ["periodic"], 0.2),
        ({"variance": 0.02, "ofreq": 0.05}, ["unknown"], 0.0),
        ({"variance": 0.02, "ofreq": 0.0500001}, ["outlier_prone"], 0.2),
        ({"variance": 0.0001, "roc": 0.5, "period": 0.9}, ["stable", "periodic"], 0.2),
        (
            {"variance": 0.005, "roc": 0.01, "period": 0.3, "ofreq": 0.5},
            ["slow_moving", "periodic", "outlier_prone"],
            0.5,
        ),
    ],
)
def test_labels_and_score(stats, labels, score):
    snap = snapshot({"x": record(**stats)})
    c = SchemaClassifier().classify(snap)["classifications"]["x"]
    assert (c["labels"], c["significance_score"]) == (labels, score)
    assert list(c) == ["labels", "significance_score", "confidence", "correlated_with", "stats_summary"]
    assert_same(snap)


def test_all_labels_reach_exactly_one():
    snap = snapshot(
        {"a": record(variance=0.02, roc=0.1, period=0.5, ofreq=0.2), "b": record()},
        {"a": {"a": 1.0, "b": -0.7}, "b": {"a": -0.7, "b": 1.0}},
    )
    out = SchemaClassifier().classify(snap)
    a = out["classifications"]["a"]
    assert a["labels"] == ["dynamic", "periodic", "outlier_prone", "correlated"]
    assert a["significance_score"] == 1.0 and a["correlated_with"] == ["b"]
    # b: stable and correlated scores exactly 0.2, which is not significant.
    assert out["classifications"]["b"]["significance_score"] == 0.2
    assert out["significant_channels"] == ["a"] and out["stable_channels"] == ["b"]


def test_own_correlation_and_short_channels():
    snap = snapshot(
        {"a": record(variance=0.02), "short": record(count=4, variance=0.02, roc=1.0)},
        {"a": {"a": 1.0, "short": 0.69999}},
    )
    out = SchemaClassifier().classify(snap)
    assert out["classifications"]["a"]["labels"] == ["unknown"]
    assert out["classifications"]["short"] == {"labels": ["unknown"], "significance_score": 0.0, "confidence": 0.5}
    assert out["channel_count"] == 2 and out["significant_channels"] == [] and out["stable_channels"] == []


def test_significant_ranking_is_stable():
    chans = {
        "p": record(variance=0.005, roc=0.01, period=0.5),  # 0.3
        "d": record(variance=0.02, roc=0.1),  # 0.4
        "q": record(variance=0.005, roc=0.01, ofreq=0.5),  # 0.3
        "z": record(variance=0.02, roc=0.1, period=0.5, ofreq=0.5),
    }  # 0.8
    out = SchemaClassifier().classify(snapshot(chans))
    assert out["significant_channels"] == ["z", "d", "p", "q"]


def test_result_is_fresh_and_input_untouched():
    snap = snapshot({"a": record(variance=0.02, roc=0.1)}, {"a": {"b": 0.9}})
    before = canon(snap)
    c = SchemaClassifier()
    first = c.classify(snap)
    first["classifications"]["a"]["labels"].append("mutated")
    assert canon(snap) == before
    assert c.classify(snap)["classifications"]["a"]["labels"] == ["dynamic", "correlated"]


# Values as loosely typed as records read from elsewhere can be.
values = st.one_of(
    st.floats(allow_nan=True),
    st.sampled_from([0.0, -0.0, 0.01, 0.0001, 0.05, 0.3, 0.7, -0.7, 5e-05]),
    st.integers(-3, 3),
    st.none(),
    st.booleans(),
    st.sampled_from(["0.5", " 1e-3 ", "", "0"]),
)
counts = st.one_of(st.integers(-2, 12), st.sampled_from([5.0, 4.9, True, "7", 10**30, -(10**30)]))
names = st.sampled_from(["a", "b", "c", "d", "e"])
stat_keys = ["count", "variance", "mean_rate_of_change", "outlier_frequency", "periodicity_score"]


# Other keys a record may carry; enough of them make it larger than any
# record the profiler writes.
extra_keys = ["name", "min", "max", "mean", "std", "value_range"] + [f"extra{i}" for i in range(12)]


@st.composite
def channel_records(draw):
    """A record whose keys come in any order, with or without other keys."""
    extras = draw(st.lists(st.sampled_from(extra_keys), unique=True, max_size=len(extra_keys)))
    rec = {}
    for key in draw(st.permutations(stat_keys + extras)):
        if key in extras:
            rec[key] = 0.5
        elif draw(st.integers(0, 5)):  # mostly present
            rec[key] = draw(counts if key == "count" else values)
    return rec


partner_maps = st.one_of(
    st.dictionaries(
        names,
        st.one_of(
            st.floats(-1, 1), st.sampled_from([0.7, -0.7, 1.0]), st.integers(-1, 1), st.sampled_from(["0.9", True])
        ),
    ),
    st.none(),
    st.just([("a", 0.9)]),
)
snapshots = st.fixed_dictionaries(
    {},
    optional={
        "channels": st.dictionaries(names, channel_records(), max_size=5),
        "correlations": st.dictionaries(names, partner_maps, max_size=5),
        "confidence_score": values,
    },
)


@settings(max_examples=400, deadline=None)
@given(snapshots)
def test_matches_reference(snap):
    assert_same(snap)


class Partners(dict):
    """A dict subclass whose items() are its own."""

    def items(self):
        return [(k, v) for k, v in super().items() if k != "hidden"]


class OddMapping:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs

    def get(self, key, default=None):
        return dict(self.pairs).get(key, default)


@pytest.mark.parametrize(
    "snap",
    [
        {"channels": None},
        {"channels": []},
        {"channels": {"a": None}},
        {"channels": {"a": [1, 2]}},
        {"channels": {"a": {"count": "ten"}}},
        {"channels": {"a": {"count": None}}},
        {"channels": {"a": {"count": float("nan")}}},
        {"channels": {"a": {"count": float("inf")}}},
        {"channels": {"a": {"count": 9, "variance": "high"}}},
        {"channels": {"a": {"count": 9, "variance": [1]}}},
        {"channels": {"a": {"count": 1, "periodicity_score": object()}}},  # read before the count test
        {"confidence_score": "x"},
        {"confidence_score": 10**400},
        {"channels": {"a": {"count": 9}}, "correlations": None},
        {"channels": {"a": {"count": 3}}, "correlations": None},  # never consulted
        {"channels": {"a": {"count": 9}}, "correlations": {"a": {"b": "strong"}}},
        {"channels": {"a": {"count": 9}}, "correlations": {"a": {"b": None}}},
        {"channels": {"a": {"count": 9}}, "correlations": {"a": {"a": None, "b": 0.8}}},  # own entry not read
        {"channels": {"a": {"count": 9}}, "correlations": {"a": Partners(b=0.9, hidden="bad")}},
        {"channels": {"a": {"count": 9}}, "correlations": OddMapping([("a", {"b": 0.9})])},
        {"channels": OddMapping([("a", {"count": 9}), ("b", OddMapping([("count", 6), ("variance", 0.5)]))])},
        {"channels": OddMapping([("a", {"count": 9}, 3)])},
        {"channels": OddMapping([("a",)])},
        {"channels": OddMapping([7])},
        {"channels": OddMapping(["ab"])},
        {"channels": OddMapping([("a", {"count": 9}), ("a", {"count": 1})])},
        {"channels": OddMapping([(["unhashable"], {"count": 9})])},
        {"channels": {"a": {"count": 9}}, "correlations": {"a": Partners({("x", 1): 0.9})}},
    ],
)
def test_malformed_snapshots_fail_like_python(snap):
    assert_same(snap)


@pytest.mark.parametrize("arg", [None, [], "x", Partners(), 3])
def test_snapshot_must_be_exactly_a_dict(arg):
    with pytest.raises(TypeError) as e:
        SchemaClassifier().classify(arg)
    assert str(e.value) == (
        f"Argument 'profiler_snapshot' has incorrect type (expected dict, got {type(arg).__name__})"
    )


def test_call_shape():
    c = SchemaClassifier()
    with pytest.raises(TypeError, match=r"^classify\(\) takes exactly 2 positional arguments \(1 given\)$"):
        c.classify()
    with pytest.raises(TypeError, match=r"^classify\(\) takes exactly 2 positional arguments \(3 given\)$"):
        c.classify({}, {})
    assert c.classify(profiler_snapshot={})["channel_count"] == 0
    with pytest.raises(TypeError, match=r"^SchemaClassifier\(\) takes no arguments$"):
        SchemaClassifier(1)


def test_plain_class_behaviour():
    class Mine(SchemaClassifier):
        def __init__(self, tag):
            self.tag = tag

    m = Mine("t")
    m.extra = 1
    assert (m.tag, m.extra) == ("t", 1)
    assert m.classify(snapshot({"a": record(variance=0.02, roc=0.1)}))["significant_channels"] == ["a"]


@pytest.mark.usefixtures("restore_thresholds")
def test_rebound_thresholds_take_effect():
    snap = snapshot({"a": record(variance=0.005, roc=0.01, period=0.25, ofreq=0.1)}, {"a": {"b": 0.6}})
    c = SchemaClassifier()
    assert c.classify(snap)["classifications"]["a"]["labels"] == ["slow_moving", "outlier_prone"]
    C.PERIODICITY_THRESHOLD = 0.25
    C.CORRELATION_THRESHOLD = 0.6
    C.OUTLIER_FREQUENCY_THRESHOLD = 1  # an int compares exactly as well
    C.DYNAMIC_VARIANCE_THRESHOLD = 0.001
    C.HIGH_ROC_THRESHOLD = 0.001
    assert c.classify(snap)["classifications"]["a"]["labels"] == ["dynamic", "periodic", "correlated"]
    assert_same(snap)
    C.STABLE_VARIANCE_THRESHOLD = 0.005
    assert c.classify(snap)["stable_channels"] == ["a"]


@pytest.mark.usefixtures("restore_thresholds")
def test_removed_threshold_fails_only_when_read():
    del C.HIGH_ROC_THRESHOLD
    c = SchemaClassifier()
    # Low variance: neither test that reads the rate-of-change threshold runs.
    assert c.classify(snapshot({"a": record(variance=0.00001)}))["stable_channels"] == ["a"]
    with pytest.raises(NameError, match="HIGH_ROC_THRESHOLD"):
        c.classify(snapshot({"a": record(variance=0.02)}))


def test_concurrent_calls_agree():
    snap = snapshot(
        {f"c{i}": record(variance=0.001 * i, roc=0.02 * i, period=0.1 * (i % 4)) for i in range(10)},
        {f"c{i}": {f"c{j}": (-1) ** j * 0.1 * j for j in range(10)} for i in range(10)},
    )
    expected = canon(reference(snap))
    results = []

    def work():
        c = SchemaClassifier()
        results.extend(canon(c.classify(snap)) == expected for _ in range(200))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 800 and all(results)


def test_profiler_snapshots():
    profiler = pytest.importorskip("orvane.brenlow.profiler")
    p = profiler.StatisticalProfiler("dev-9")
    assert canon(SchemaClassifier().classify(p.snapshot())) == canon(
        {
            "confidence": 0.0,
            "channel_count": 0,
            "significant_channels": [],
            "stable_channels": [],
            "classifications": {},
        }
    )
    for i in range(60):
        p.observe({"sine": math.sin(i / 3), "flat": 1.0, "ramp": i * 0.5, "twin": -i * 0.5 + (i % 2) * 1e-3})
    snap = p.snapshot()
    assert_same(snap)
    out = SchemaClassifier().classify(snap)
    assert out["confidence"] == snap["confidence_score"]
    assert "flat" in out["stable_channels"]
    assert "twin" in out["classifications"]["ramp"]["correlated_with"]


class Rebinding:
    """A statistic whose conversion rebinds (or removes) a threshold mid-call."""

    def __init__(self, value, **thresholds):
        self.value = value
        self.thresholds = thresholds

    def _apply(self):
        for name, value in self.thresholds.items():
            if value is None:
                delattr(C, name)
            else:
                setattr(C, name, value)

    def __float__(self):
        self._apply()
        return self.value

    def __index__(self):
        self._apply()
        return int(self.value)


def mid_call_snapshots():
    plain = record(variance=0.02, roc=0.1, period=0.5, ofreq=0.1)
    return [
        # a statistic's __float__ rebinds thresholds for itself and the channels after it
        snapshot(
            {
                "a": dict(plain),
                "b": {**plain, "variance": Rebinding(0.02, PERIODICITY_THRESHOLD=0.9, HIGH_ROC_THRESHOLD=0.5)},
                "c": dict(plain),
            }
        ),
        # a count's conversion makes the thresholds ints, then a later value restores a float
        snapshot(
            {
                "a": {**plain, "count": Rebinding(9, OUTLIER_FREQUENCY_THRESHOLD=1, DYNAMIC_VARIANCE_THRESHOLD=0)},
                "b": dict(plain),
                "c": {**plain, "periodicity_score": Rebinding(0.5, OUTLIER_FREQUENCY_THRESHOLD=0.01)},
                "d": dict(plain),
            }
        ),
        # a correlation value rebinds the correlation threshold for the partners after it
        snapshot(
            {"a": dict(plain), "b": dict(plain)},
            {"a": {"x": 0.8, "y": Rebinding(0.8, CORRELATION_THRESHOLD=0.85), "z": 0.8}, "b": {"x": 0.8, "z": 0.9}},
        ),
        # a threshold removed mid-call fails at its next use
        snapshot({"a": dict(plain), "b": {**plain, "mean_rate_of_change": Rebinding(0.1, HIGH_ROC_THRESHOLD=None)}}),
    ]


@pytest.mark.usefixtures("restore_thresholds")
@pytest.mark.parametrize("case", range(4))
def test_thresholds_rebound_during_a_call(case):
    got = outcome(SchemaClassifier().classify, mid_call_snapshots()[case])
    for name, value in THRESHOLDS.items():
        setattr(C, name, value)
    if case == 3:
        # A module global read after its removal (the reference, reading
        # attributes of the module, would raise AttributeError instead).
        assert got == ("NameError", "name 'HIGH_ROC_THRESHOLD' is not defined")
    else:
        assert got == outcome(reference, mid_call_snapshots()[case]) and got[0] == "ok"


class Mutating:
    """A statistic whose float() edits the channels mapping it came from."""

    def __init__(self, channels, edit):
        self.channels, self.edit = channels, edit

    def __float__(self):
        self.edit(self.channels)
        return 0.5


@pytest.mark.parametrize(
    "edit",
    [
        lambda ch: ch.__setitem__("zz", {"count": 9}),  # grows while walked
        lambda ch: ch.pop("b", None),  # shrinks while walked
        lambda ch: (ch.pop("b", None), ch.__setitem__("zz", {"count": 9})),  # same size, other keys
        lambda ch: ch.__setitem__("b", {"count": 7, "variance": 0.25}),  # a later value replaced
    ],
)
def test_channels_edited_while_classified(edit):
    def snap():
        channels = {"a": {"count": 9}, "b": {"count": 9, "variance": 0.5}, "c": {"count": 9}}
        channels["a"]["variance"] = Mutating(channels, edit)
        return snapshot(channels)

    assert outcome(SchemaClassifier().classify, snap()) == outcome(reference, snap())


def test_statistics_under_equal_but_distinct_keys():
    # Keys built at run time are equal to the names read but not the same objects.
    key = "".join(["vari", "ance"])
    stats = {"count": 9, key: 0.5, "".join(["mean_rate", "_of_change"]): 0.2, "periodicity_score": 0.4}
    assert_same(snapshot({"a": stats, "b": {**stats, "count": int("12")}}))


class Rewriting:
    """A count whose int() rewrites statistics of its own record, read after it."""

    def __init__(self, rec, **changes):
        self.rec, self.changes = rec, changes

    def __index__(self):
        self.rec.update(self.changes)
        return 9


@pytest.mark.parametrize("extra", [0, 20])
def test_statistics_read_after_the_count_converts(extra):
    # The record's values are read in order, each after the conversion of the
    # one before; the replaced floats are gone by the time they are read.
    def snap():
        rec = record(variance=0.0, roc=0.0)
        rec.update({f"k{i}": 0.0 for i in range(extra)})
        rec["count"] = Rewriting(rec, variance=float("0.02"), mean_rate_of_change=float("0.1"))
        return snapshot({"a": rec})

    assert outcome(SchemaClassifier().classify, snap()) == outcome(reference, snap())
    assert SchemaClassifier().classify(snap())["classifications"]["a"]["labels"] == ["dynamic"]


@pytest.mark.parametrize("name", ["a", "température", "温度", "\U0001f321x"])
def test_own_entry_found_by_text(name):
    # The channel's own entry under an equal but distinct key, and partners
    # whose names share its length or its characters but not both.
    own = "".join(list(name))
    partners = {own: 1.0, name[:-1] + "?": 0.9, name + name: -0.8, name.encode("unicode_escape").decode(): 0.75}
    snap = snapshot({name: record(variance=0.02)}, {name: partners})
    assert_same(snap)
    got = SchemaClassifier().classify(snap)["classifications"][name]["correlated_with"]
    assert got == [k for k in partners if k != name]
