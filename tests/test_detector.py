"""Tests of orvane.brenlow.detector against a plain-Python reference of the same rules."""

import copy
import pickle
import re
import struct
import subprocess
import sys
import threading
from collections import OrderedDict, deque

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.brenlow.detector as D
from orvane.brenlow.detector import AnomalyDetector, AnomalyEvent
from reference import detector as ref_detector
from reference.host import neumaier_sum


def outcome_of(call):
    try:
        return ("ok", call())
    except Exception as exc:  # the comparison is of the error itself
        return ("err", type(exc), str(exc))


def same(a, b):
    """Equal including types, float bits and dict key order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def event_record(event):
    d = event.to_dict()
    assert list(d)[-1] == "detected_at"
    del d["detected_at"]
    return d


class Client:
    """A resolver client that records its calls and answers from a script."""

    def __init__(self, answer=None):
        self.answer = answer
        self.calls = []

    def query(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.fixture
def consts(monkeypatch):
    """Sets detector constants on the module for one test."""

    def set_(**values):
        for name, value in values.items():
            monkeypatch.setattr(D, name, value)

    set_(DETECTOR_CHECK_EVERY=5, DETECTOR_MIN_CONFIDENCE=0.5, DETECTOR_TOP_K=10, DETECTOR_CLUSTER_THRESHOLD=0.6)
    return set_


EXAMPLE_HITS = [
    {"score": 0.9, "outcome": "FAULT"},
    {"score": 0.7, "outcome": {"result": "done", "metrics": {"health_label": "fault"}}},
    {"score": 0.5, "outcome": "FAULT"},
    {"score": 0.8, "outcome": "pending"},
    {"score": 0.6},
]


# ---------------------------------------------------------------------------
# Hit analysis
# ---------------------------------------------------------------------------


def test_worked_example(consts):
    det = AnomalyDetector(Client(), "dev-1")
    event = det._analyse_hits("t0", {"temp": 20}, EXAMPLE_HITS, 0.8)
    assert (event.similar_episode_count, event.dominant_outcome, event.query_score) == (3, "FAULT", 0.7)
    assert event.device_id == "dev-1" and event.timestamp == "t0" and event.confidence == 0.8
    assert same(event.channel_snapshot, {"temp": 20.0})
    assert list(det.events) == [event]
    consts(DETECTOR_CLUSTER_THRESHOLD=0.7)
    assert det._analyse_hits("t1", {}, EXAMPLE_HITS, 1.0) is None
    assert len(det.events) == 1


def h(label, score=1.0):
    return {"score": score, "outcome": label}


@pytest.mark.parametrize(
    "hits, confidence, expected",
    [
        ([h("pending"), {"score": 1}, h(""), h(None), h(3), h(["x"])], 0.0, None),
        (
            [{"score": 1, "outcome": {"result": r, "metrics": {"health_label": "FAULT"}}} for r in ("pending", "", 7)],
            0.0,
            None,
        ),
        (
            [
                {"score": 0.5, "outcome": {"result": "broke"}},
                {"score": 0.25, "outcome": {"result": "broke", "metrics": [1]}},
            ],
            1.0,
            ("broke", 2, 0.375),
        ),
        ([{"outcome": "FAULT"}, h("FAULT", 1.0)], 1.0, ("FAULT", 2, 0.5)),
        ([h("A"), h("B"), h("B"), h("A")], 0.0, ("A", 4, 1.0)),  # tie: first seen wins, ratio 0.5
        ([h("A"), h("B"), h("C")], 0.0, None),  # 1/3 is below the floor of 0.4
        ([h("A"), h("A"), h("B"), h("C"), h("D")], -5.0, ("A", 5, 1.0)),  # 0.4 floor, ratio 0.4 passes
        ([h("Normal"), h("Normal")], 1.0, None),
        ([h("ok")], 1.0, None),
        ([h("nomınal")], 1.0, None),  # the dotless i upper-cases to I
        ([h("NOT_OK")], 1.0, ("NOT_OK", 1, 1.0)),
        ([h("HEALTHY ")], 1.0, ("HEALTHY ", 1, 1.0)),
        ([{"score": "0.25", "outcome": {"result": "x", "metrics": {"health_label": None}}}], 1.0, ("None", 1, 0.25)),
        ([h("FAULT", 0.12345), h("FAULT", 0.12355)], 1.0, ("FAULT", 2, 0.1235)),
        ([h("F", 1e16), h("F", 1.0), h("F", -1e16)], 1.0, ("F", 3, 0.3333)),  # compensated sum
    ],
)
def test_hit_rules(consts, hits, confidence, expected):
    det = AnomalyDetector(Client(), "d")
    event = det._analyse_hits("t", {}, hits, confidence)
    if expected is None:
        assert event is None and len(det.events) == 0
    else:
        assert (event.dominant_outcome, event.similar_episode_count, event.query_score) == expected
    assert same(
        None if event is None else event_record(event), ref_detector.analyse_hits("d", "t", {}, hits, confidence)
    )


def test_ratio_equal_to_threshold_records(consts):
    consts(DETECTOR_CLUSTER_THRESHOLD=0.75)
    det = AnomalyDetector(Client(), "d")
    # 3 of 4 agree: ratio 0.75, threshold 0.75 * 1.0
    assert det._analyse_hits("t", {}, [h("X"), h("X"), h("Y"), h("X")], 1.0).dominant_outcome == "X"


def test_snapshot_first_twenty_and_conversion_errors(consts):
    det = AnomalyDetector(Client(), "d")
    payload = {f"c{i}": i for i in range(25)}
    event = det._analyse_hits("t", payload, [h("F")], 1.0)
    assert same(event.channel_snapshot, {f"c{i}": float(i) for i in range(20)})
    # A value past the first 20 is never converted; one among them is.
    payload["c24"] = "junk"
    assert det._analyse_hits("t", payload, [h("F")], 1.0) is not None
    payload = {"a": 1, "b": "junk"}
    with pytest.raises(ValueError, match="could not convert string to float: 'junk'"):
        det._analyse_hits("t", payload, [h("F")], 1.0)
    assert len(det.events) == 2


@pytest.mark.parametrize(
    "hits, exc, message",
    [
        ([h("F"), None], AttributeError, "'NoneType' object has no attribute 'get'"),
        ([3], AttributeError, "'int' object has no attribute 'get'"),
        ([{"score": "abc", "outcome": "pending"}], ValueError, "could not convert string to float: 'abc'"),
        ([{"score": [1], "outcome": "F"}], TypeError, "float() argument must be a string or a real number, not 'list'"),
    ],
)
def test_hit_errors_propagate(consts, hits, exc, message):
    det = AnomalyDetector(Client(), "d")
    with pytest.raises(exc) as info:
        det._analyse_hits("t", {}, hits, 1.0)
    assert str(info.value) == message
    assert len(det.events) == 0


def test_threshold_factor_not_a_number(consts):
    consts(DETECTOR_CLUSTER_THRESHOLD="0.6")
    det = AnomalyDetector(Client(), "d")
    with pytest.raises(TypeError, match=r"^can't multiply sequence by non-int of type 'float'$"):
        det._analyse_hits("t", {}, [h("F")], 1.0)
    consts(DETECTOR_CLUSTER_THRESHOLD=None)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \*: 'NoneType' and 'float'"):
        det._analyse_hits("t", {}, [h("F")], 1.0)


def test_hits_read_through_get():
    class Hit:
        def get(self, key, default=None):
            return {"score": "0.5", "outcome": "FAULT"}.get(key, default)

    det = AnomalyDetector(Client(), "d")
    assert det._analyse_hits("t", {}, [Hit()], 1.0).query_score == 0.5


# Generated hits of every shape: scores that are numbers, numeric text, false
# values, junk or missing; outcomes that are labels, pending, mappings with or
# without usable results and health labels, or junk. Most lists are free of
# the shapes that raise, so that most examples reach the consensus rules.
def mostly(common, rare, weight=6):
    # one_of() does not weigh repeated branches, so draw the branch first.
    return st.integers(0, weight).flatmap(lambda i: rare if i == weight else common)


labels = mostly(
    st.sampled_from(["FAULT", "fault", "Ѐrr"]),
    st.sampled_from(["pending", "", "healthy", "Ok", "NOMINAL", "NOT_OK", "nomınal", "ok ", "x"]),
    weight=2,
)
usable_scores = st.one_of(
    st.floats(0, 1),
    st.floats(-1e3, 1e3),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-100, 100),
    st.floats(0, 1).map(repr),
    st.sampled_from([None, 0, 0.0, -0.0, "", False, True, "nan", "-inf", " 2.5 ", "1_0", [], 10**20]),
    st.sampled_from([1e16, -1e16, 1e100, -1e100, 3.0, 0.1]),  # cancellation in the sum
)
scores = mostly(usable_scores, st.sampled_from(["abc", [1], 10**400]), weight=30)
health = st.one_of(labels, labels, st.sampled_from([None, "", 0, 1.5]))
metrics = st.one_of(
    st.fixed_dictionaries({}, optional={"health_label": health}),
    st.sampled_from([None, "HEALTHY", ["health_label"], 0]),
)
mapping_outcome = st.fixed_dictionaries(
    {}, optional={"result": mostly(labels, st.sampled_from([None, 5, ["done"]]), weight=3), "metrics": metrics}
)
outcomes = st.one_of(labels, labels, mapping_outcome, mapping_outcome, st.sampled_from([None, 3, ["FAULT"]]))
hit_dicts = st.fixed_dictionaries({}, optional={"score": scores, "outcome": outcomes, "episode": st.none()})
hits_lists = mostly(
    st.lists(hit_dicts, max_size=12), st.lists(st.one_of(hit_dicts, st.sampled_from([None, 1])), max_size=6)
)
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(10**30), 10**30),
    st.booleans(),
    st.floats(-1e6, 1e6).map(str),
    st.sampled_from(["1.5", "nan", " -inf ", "1e400", "1_000"]),
)
values = st.one_of(numbers, st.sampled_from(["x", "", None, [1.0], {"a": 1}, 10**400]))
keys = st.one_of(st.text(min_size=1, max_size=4), st.integers(-5, 5), st.sampled_from(["tëmp", "温度", "\udcff"]))
payloads = st.dictionaries(keys, values, max_size=25)
readings = mostly(st.dictionaries(keys, numbers, max_size=25), payloads, weight=4)
factors = st.sampled_from([0.6, 0.7, 0.8, 0.5, 0.75, 0.0, -1.0, 1, 2, float("nan"), 10**400])
confidences = st.one_of(st.floats(-1, 2), st.sampled_from([0.0, 0.5, 0.625, 0.8, 1.0, float("nan")]))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(hits=hits_lists, payload=readings, confidence=confidences, factor=factors)
def test_analyse_hits_matches_reference(hits, payload, confidence, factor):
    saved = D.DETECTOR_CLUSTER_THRESHOLD
    D.DETECTOR_CLUSTER_THRESHOLD = factor
    try:
        det = AnomalyDetector(Client(), "dev")
        ours = outcome_of(lambda: det._analyse_hits("ts", payload, hits, confidence))
        ref = outcome_of(lambda: ref_detector.analyse_hits("dev", "ts", payload, hits, confidence))
    finally:
        D.DETECTOR_CLUSTER_THRESHOLD = saved
    if ours[0] == "ok" and ours[1] is not None:
        assert list(det.events) == [ours[1]]
        ours = ("ok", event_record(ours[1]))
    else:
        assert len(det.events) == 0
    assert same(ours, ref)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.one_of(st.sampled_from([1e16, -1e16, 1e100, -1e100, 1.0, 0.1, -2.5, 1e-5]), st.floats(-1e3, 1e3)),
        min_size=1,
        max_size=12,
    )
)
def test_query_score_is_compensated_mean(values):
    hits = [h("FAULT", v) for v in values]
    event = AnomalyDetector(Client(), "d")._analyse_hits("t", {}, hits, 0.0)
    assert same(event.query_score, round(neumaier_sum(values) / len(values), 4))


# ---------------------------------------------------------------------------
# Query text
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "payload, text",
    [
        ({"temp": 21.456789, "rpm": 1500, "mode": "auto"}, "sensor state temp=21.4568 rpm=1500.0"),
        ({}, "sensor state "),
        ({"a": None, "b": []}, "sensor state "),
        (
            {"s": "1.5", "b": True, "n": -0.00001, "big": 1e16, "h": 0.00015, "z": -0.0},
            "sensor state s=1.5 b=1.0 n=-0.0 big=1e+16 h=0.0001 z=-0.0",
        ),
        ({"X": "nan", "y": "-inf", 7: 2.5}, "sensor state X=nan y=-inf 7=2.5"),
        ({f"c{i}": i for i in range(25)}, "sensor state " + " ".join(f"c{i}={float(i)}" for i in range(20))),
    ],
)
def test_build_query(payload, text):
    assert AnomalyDetector(Client(), "d")._build_query(payload) == text == ref_detector.build_query(payload)


def test_build_query_other_errors_propagate():
    det = AnomalyDetector(Client(), "d")
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        det._build_query({"a": 10**400})

    class Bad:
        def __float__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        det._build_query({"a": Bad()})


@settings(max_examples=300, deadline=None)
@given(payload=payloads)
def test_build_query_matches_reference(payload):
    det = AnomalyDetector(Client(), "d")
    assert same(outcome_of(lambda: det._build_query(payload)), outcome_of(lambda: ref_detector.build_query(payload)))


# ---------------------------------------------------------------------------
# observe: gate, cadence and the client call
# ---------------------------------------------------------------------------


def test_gate_and_cadence(consts):
    client = Client([h("FAULT")])
    det = AnomalyDetector(client, "dev")
    results = []
    for conf in (0.9, 0.1, 0.5, 0.6, 0.49, 0.7, 1.0, True):  # counted: 0.9 0.5 0.6 0.7 1.0 True
        results.append(det.observe("t", {"a": 1.0}, conf))
    assert det._check_counter == 6
    assert [r is not None for r in results] == [False] * 6 + [True, False]
    assert results[6].confidence == 1.0
    keywords = [("k", 10), ("device_id", "dev"), ("include_episode", True), ("prefer_success", True)]
    assert client.calls == [(("sensor state a=1.0",), keywords)]


def test_constants_rebound_take_effect(consts):
    consts(DETECTOR_CHECK_EVERY=1, DETECTOR_TOP_K=3, DETECTOR_MIN_CONFIDENCE=2, DETECTOR_CLUSTER_THRESHOLD=0.5)
    client = Client([h("FAULT")])
    det = AnomalyDetector(client, "dev")
    assert det.observe("t", {}, 1.99) is None and det._check_counter == 0
    assert det.observe("t", {}, 2).dominant_outcome == "FAULT"
    assert client.calls[0][1][0] == ("k", 3)
    consts(DETECTOR_CHECK_EVERY=0)
    with pytest.raises(ZeroDivisionError):
        det.observe("t", {}, 2)


def test_constants_are_read_at_every_use(consts):
    # However the namespace changes, the next reading sees the new binding.
    det = AnomalyDetector(Client(), "d")
    namespace = vars(D)
    for limit in (0.9, 0.2, 0.9, 0.2):
        namespace["DETECTOR_MIN_CONFIDENCE"] = limit
        before = det._check_counter
        det.observe("t", {}, 0.5)
        assert det._check_counter == before + (limit <= 0.5)
    del namespace["DETECTOR_MIN_CONFIDENCE"]
    with pytest.raises(NameError, match="name 'DETECTOR_MIN_CONFIDENCE' is not defined"):
        det.observe("t", {}, 0.5)
    namespace["DETECTOR_MIN_CONFIDENCE"] = 0.5
    assert det.observe("t", {}, 0.5) is None and det._check_counter == 3


@pytest.mark.parametrize("answer", [None, [], (), RuntimeError("down"), KeyError("k")])
def test_client_failure_or_no_hits_gives_none(consts, answer):
    consts(DETECTOR_CHECK_EVERY=2)
    client = Client(answer)
    det = AnomalyDetector(client, "d")
    assert [det.observe("t", {}, 1.0) for _ in range(4)] == [None] * 4
    assert len(client.calls) == 2 and det._check_counter == 4 and len(det.events) == 0


def test_client_interrupt_passes_through(consts):
    consts(DETECTOR_CHECK_EVERY=1)
    det = AnomalyDetector(Client(KeyboardInterrupt()), "d")
    with pytest.raises(KeyboardInterrupt):
        det.observe("t", {}, 1.0)


def test_brain_without_query_or_top_k_gives_none(consts):
    consts(DETECTOR_CHECK_EVERY=1)
    assert AnomalyDetector(object(), "d").observe("t", {}, 1.0) is None
    det = AnomalyDetector(Client([h("F")]), "d")
    del D.DETECTOR_TOP_K  # monkeypatch restores it
    assert det.observe("t", {}, 1.0) is None


@pytest.mark.parametrize("answer, exc", [([h("F")], None), ((h("F"),), TypeError), ({"a": 1}, TypeError)])
def test_non_list_hits_raise(consts, answer, exc):
    consts(DETECTOR_CHECK_EVERY=1)
    det = AnomalyDetector(Client(answer), "d")
    if exc is None:
        assert det.observe("t", {}, 1.0) is not None
        return
    with pytest.raises(exc) as info:
        det.observe("t", {}, 1.0)
    assert str(info.value) == f"Argument 'hits' has incorrect type (expected list, got {type(answer).__name__})"


def test_query_text_errors_propagate(consts):
    consts(DETECTOR_CHECK_EVERY=1)
    client = Client([h("F")])
    det = AnomalyDetector(client, "d")
    with pytest.raises(OverflowError):
        det.observe("t", {"a": 10**400}, 1.0)
    assert client.calls == [] and det._check_counter == 1


def test_subclass_helpers_are_used(consts):
    consts(DETECTOR_CHECK_EVERY=1)

    class Custom(AnomalyDetector):
        def _build_query(self, payload):
            return "custom"

    client = Client([h("F")])
    assert Custom(client, "d").observe("t", {}, 1.0).dominant_outcome == "F"
    assert client.calls[0][0] == ("custom",)


answers = st.one_of(hits_lists, st.sampled_from([None, [], (), ({"outcome": "F"},), RuntimeError("down")]))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    every=st.integers(1, 3),
    readings=st.lists(st.tuples(st.sampled_from([0.0, 0.49, 0.5, 0.9, 1.0]), readings, answers), max_size=8),
)
def test_observe_matches_reference(every, readings):
    saved = D.DETECTOR_CHECK_EVERY, D.DETECTOR_MIN_CONFIDENCE
    D.DETECTOR_CHECK_EVERY, D.DETECTOR_MIN_CONFIDENCE = every, 0.5
    try:
        ours_client, ref_client = Client(), Client()
        ours, ref = AnomalyDetector(ours_client, "dev"), ref_detector.AnomalyDetector(ref_client, "dev")
        for i, (confidence, payload, answer) in enumerate(readings):
            ours_client.answer = ref_client.answer = answer
            got = outcome_of(lambda: ours.observe(str(i), payload, confidence))
            want = outcome_of(lambda: ref.observe(str(i), payload, confidence))
            if got[0] == "ok" and got[1] is not None:
                got = ("ok", event_record(got[1]))
            if want[0] == "ok" and want[1] is not None:
                want = ("ok", event_record(want[1]))
            assert same(got, want)
        assert ours._check_counter == ref._check_counter
        assert ours_client.calls == ref_client.calls
        assert same(
            [{k: v for k, v in e.items() if k != "detected_at"} for e in ours.get_events()],
            [{k: v for k, v in e.items() if k != "detected_at"} for e in ref.get_events()],
        )
    finally:
        D.DETECTOR_CHECK_EVERY, D.DETECTOR_MIN_CONFIDENCE = saved


def test_buffer_under_concurrent_writers_and_readers(consts):
    det = AnomalyDetector(Client(), "d")
    errors = []

    def write(tag):
        try:
            for i in range(400):
                det._analyse_hits(f"{tag}-{i}", {"a": i}, [h("F")], 1.0)
                if i % 50 == 0:
                    assert all(e["dominant_outcome"] == "F" for e in det.get_events())
        except Exception as exc:  # reported below, from the main thread
            errors.append(exc)

    threads = [threading.Thread(target=write, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(det.get_events()) == 1000


def test_get_events_waits_for_a_holder_in_another_thread(consts):
    det = AnomalyDetector(Client(), "d")
    det._analyse_hits("t", {}, [h("F")], 1.0)
    held, release = threading.Event(), threading.Event()

    def holder():
        with det._lock:
            held.set()
            release.wait(5)

    t = threading.Thread(target=holder)
    t.start()
    held.wait(5)
    result = []
    reader = threading.Thread(target=lambda: result.append(det.get_events()))
    reader.start()
    reader.join(0.05)
    assert reader.is_alive() and result == []  # waiting, without holding up this thread
    release.set()
    reader.join(5)
    t.join(5)
    assert len(result) == 1 and len(result[0]) == 1


def test_counter_is_not_lost_across_threads(consts):
    consts(DETECTOR_CHECK_EVERY=10**9)
    det = AnomalyDetector(Client(), "d")

    def work():
        for _ in range(5000):
            det.observe("t", {}, 1.0)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert det._check_counter == 20000


# ---------------------------------------------------------------------------
# Events, buffer and records
# ---------------------------------------------------------------------------


def test_event_record_and_to_dict():
    snap = {"a": 1.0}
    e = AnomalyEvent("d", "t", 3.9, "FAULT", 1, 0.12345678, snap)
    d = e.to_dict()
    assert list(d) == [
        "device_id",
        "timestamp",
        "similar_episode_count",
        "dominant_outcome",
        "confidence",
        "query_score",
        "channel_snapshot",
        "detected_at",
    ]
    assert same(d["similar_episode_count"], 3) and same(d["confidence"], 1.0) and d["query_score"] == 0.12345678
    assert d["channel_snapshot"] is snap and isinstance(d["detected_at"], float)
    assert e.to_dict() is not d
    e.query_score = 2
    assert same(e.to_dict()["query_score"], 2.0)
    with pytest.raises(AttributeError, match="cannot delete attribute 'query_score'"):
        del e.query_score

    class Tagged(AnomalyEvent):
        pass

    t = Tagged("d", "t", 1, "F", 1.0, 1.0, {})
    t.tag = "subclasses take extra attributes"
    assert t.to_dict()["dominant_outcome"] == "F" and t.tag.startswith("sub")
    assert e != AnomalyEvent("d", "t", 3, "FAULT", 1.0, 0.12345678, snap)


class TaggedEvent(AnomalyEvent):
    pass


def test_events_copy_and_pickle():
    e = AnomalyEvent("d", "t", 2, "FAULT", 0.75, 0.5, {"a": 1.0})
    t = TaggedEvent("d", "t", 2, "FAULT", 0.75, 0.5, {})
    t.tag = "kept"
    for original in (e, t):
        for clone in (copy.copy(original), copy.deepcopy(original), pickle.loads(pickle.dumps(original))):
            assert type(clone) is type(original) and clone is not original
            assert same(clone.to_dict(), original.to_dict())  # detected_at included
    assert pickle.loads(pickle.dumps(t)).tag == "kept"
    assert copy.copy(e).channel_snapshot is e.channel_snapshot
    with pytest.raises(TypeError, match=re.escape(M.format("timestamp", "str", "int"))):
        AnomalyEvent.__new__(AnomalyEvent).__setstate__({"timestamp": 5})
    with pytest.raises(AttributeError, match="has no attribute 'device_id'"):
        AnomalyEvent.__new__(AnomalyEvent).to_dict()


def test_detected_at_follows_the_host_clock(monkeypatch):
    import time

    monkeypatch.setattr(time, "time", lambda: 1234.5)
    assert AnomalyEvent("d", "t", 1, "F", 1.0, 1.0, {}).detected_at == 1234.5
    assert AnomalyDetector(Client(), "d")._analyse_hits("t", {}, [h("F")], 1.0).detected_at == 1234.5


def test_buffer_keeps_last_thousand(consts):
    det = AnomalyDetector(Client(), "d")
    assert det.get_events() == []
    assert isinstance(det.events, deque) and det.events.maxlen == 1000
    for i in range(1001):
        det._analyse_hits(str(i), {}, [h("F")], 1.0)
    got = det.get_events()
    assert len(got) == 1000 and got[0]["timestamp"] == "1" and got[-1]["timestamp"] == "1000"
    assert got[5]["channel_snapshot"] is det.events[5].channel_snapshot


def test_lock_is_not_reentrant_and_guards_events(consts):
    det = AnomalyDetector(Client(), "d")
    with det._lock:
        assert det._lock.locked()
        with pytest.raises(RuntimeError):
            det.get_events()
        with pytest.raises(RuntimeError):
            det._analyse_hits("t", {}, [h("F")], 1.0)
    assert not det._lock.locked() and len(det.events) == 0


M = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.observe("t", {}), "observe() takes exactly 4 positional arguments (3 given)"),
        (lambda d: d.observe("t", {}, 1, 2), "observe() takes exactly 4 positional arguments (5 given)"),
        (lambda d: d.observe("t", {}, 1, extra=2), "observe() got an unexpected keyword argument 'extra'"),
        (
            lambda d: d.observe("t", {}, 1, timestamp="x"),
            "observe() got multiple values for keyword argument 'timestamp'",
        ),
        (lambda d: d.observe(None, {}, 1.0), M.format("timestamp", "str", "NoneType")),
        (lambda d: d.observe("t", OrderedDict(), 1.0), M.format("payload", "dict", "OrderedDict")),
        (lambda d: d.observe("t", {}, "1.0"), "must be real number, not str"),
        (lambda d: d._build_query(), "_build_query() takes exactly 2 positional arguments (1 given)"),
        (lambda d: d._build_query([]), M.format("payload", "dict", "list")),
        (lambda d: d._analyse_hits("t", {}, []), "_analyse_hits() takes exactly 5 positional arguments (4 given)"),
        (lambda d: d._analyse_hits("t", {}, None, 1.0), M.format("hits", "list", "NoneType")),
        (lambda d: d._analyse_hits("t", {}, type("L", (list,), {})(), 1.0), M.format("hits", "list", "L")),
        (lambda d: d._analyse_hits(b"t", {}, [], 1.0), M.format("timestamp", "str", "bytes")),
        (lambda d: d._analyse_hits("t", {}, [], None), "must be real number, not NoneType"),
        (lambda d: d.get_events(1), "get_events() takes exactly 1 positional argument (2 given)"),
        (lambda d: AnomalyDetector(None), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda d: AnomalyDetector(None, 5), M.format("device_id", "str", "int")),
        (lambda d: AnomalyEvent("d", "t", "3", "F", 1.0, 1.0, {}), M.format("similar_episode_count", "int", "str")),
        (lambda d: AnomalyEvent("d", "t", 3, "F", 1.0, 1.0, []), M.format("channel_snapshot", "dict", "list")),
        (lambda d: AnomalyEvent("d", "t", 3, "F", 1.0, "x", {}), "must be real number, not str"),
        (
            lambda d: AnomalyEvent("d", "t", 3, "F", 1.0, 1.0),
            "__init__() takes exactly 8 positional arguments (7 given)",
        ),
        (
            lambda d: AnomalyEvent("d", "t", 3, "F", 1.0, 1.0, {}).to_dict(1),
            "to_dict() takes exactly 1 positional argument (2 given)",
        ),
        (lambda d: setattr(d, "device_id", None), M.format("device_id", "str", "NoneType")),
    ],
)
def test_argument_messages(call, message):
    det = AnomalyDetector(Client(), "d")
    with pytest.raises(TypeError) as info:
        call(det)
    assert str(info.value) == message


def test_keywords_accepted():
    det = AnomalyDetector(brain=Client(), device_id="d")
    assert det.observe(timestamp="t", payload={}, confidence=0.0) is None
    e = AnomalyEvent(
        channel_snapshot={},
        query_score=0,
        confidence=0,
        dominant_outcome="F",
        similar_episode_count=1,
        timestamp="t",
        device_id="d",
    )
    assert e.dominant_outcome == "F"


def test_missing_constant_fails_import():
    code = (
        "import orvane.config as c; del c.DETECTOR_TOP_K\n"
        "try:\n import orvane.brenlow.detector\n"
        "except ImportError as e: print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "cannot import name DETECTOR_TOP_K"


def test_stub_names_match_the_module():
    import ast
    from pathlib import Path

    stub = ast.parse((Path(D.__file__).parent / "detector.pyi").read_text())
    classes = {n.name: n for n in stub.body if isinstance(n, ast.ClassDef)}
    assert {"AnomalyEvent", "AnomalyDetector"} <= set(classes)
    for name in ("AnomalyEvent", "AnomalyDetector"):
        declared = {
            getattr(item, "name", None) or getattr(getattr(item, "target", None), "id", None)
            for item in classes[name].body
        }
        runtime = {a for a in vars(getattr(D, name)) if not a.startswith("__") or a in ("__getstate__", "__setstate__")}
        assert runtime - {"__doc__"} <= declared | {"__init__"}, runtime - declared
        assert declared - {"__init__"} <= runtime, declared - runtime
    for n in stub.body:
        if isinstance(n, ast.AnnAssign):
            assert hasattr(D, n.target.id)
