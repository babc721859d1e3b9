"""Hostile input for AnomalyEvent and AnomalyDetector (see support.py)."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    MUTATIONS,
    Boom,
    DictSub,
    ListSub,
    Mutator,
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

detector = pytest.importorskip("orvane.brenlow.detector")
AnomalyDetector = detector.AnomalyDetector
AnomalyEvent = detector.AnomalyEvent

ERRORS = (TypeError, ValueError, AttributeError, OverflowError, RuntimeError, Boom)
FAULT_HITS = [{"score": 0.9, "outcome": "FAULT"}] * 3


@pytest.fixture(autouse=True)
def query_every_reading(monkeypatch):
    monkeypatch.setattr(detector, "DETECTOR_CHECK_EVERY", 1)
    monkeypatch.setattr(detector, "DETECTOR_MIN_CONFIDENCE", 0.5)


class Client:
    def __init__(self, result=None, fail=None):
        self.result = result
        self.fail = fail
        self.calls = 0

    def query(self, text, k=10, device_id=None, include_episode=True, prefer_success=True):
        self.calls += 1
        if self.fail is not None:
            raise self.fail
        return self.result


def check_usable(det):
    assert not det._lock.locked()
    client = det.brain
    saved = (getattr(client, "result", None), getattr(client, "fail", None))
    det.brain = Client(FAULT_HITS)
    counter, events = det._check_counter, len(det.events)
    assert det.observe("t-ok", {"probe": 1.0}, 0.1) is None
    assert det._check_counter == counter
    ev = det.observe("t-ok", {"probe": 1.0}, 0.9)
    assert det._check_counter == counter + 1
    assert isinstance(ev, AnomalyEvent) and ev.dominant_outcome == "FAULT"
    assert len(det.events) == min(events + 1, 1000) and det.events[-1] is ev
    assert det.get_events()[-1]["timestamp"] == "t-ok"
    det.brain = client
    if isinstance(client, Client):
        client.result, client.fail = saved
    assert not det._lock.locked()


outcome_specs = st.one_of(
    value_specs,
    st.fixed_dictionaries(
        {},
        optional={
            "result": value_specs,
            "metrics": st.one_of(
                value_specs,
                st.fixed_dictionaries({}, optional={"health_label": value_specs}).map(lambda d: ("metrics", d)),
            ),
        },
    ).map(lambda d: ("outcome", d)),
    st.sampled_from(["FAULT", "fault", "pending", "ok", "HEALTHY", "", "ǅ"]).map(lambda v: ("plain", v)),
)
hit_specs = st.one_of(
    st.fixed_dictionaries({}, optional={"score": value_specs, "outcome": outcome_specs}).map(lambda d: ("hit", d)),
    value_specs,
)


def build_hits(specs, mutators, subclass):
    def outcome(spec):
        tag, v = spec
        if tag == "outcome":
            return {k: (metrics(x) if k == "metrics" else build_value(x, mutators)) for k, x in v.items()}
        return build_value(spec, mutators)

    def metrics(spec):
        tag, v = spec
        if tag == "metrics":
            return {k: build_value(x, mutators) for k, x in v.items()}
        return build_value(spec, mutators)

    hits = []
    for tag, v in specs:
        if tag == "hit":
            hit = {k: (outcome(x) if k == "outcome" else build_value(x, mutators)) for k, x in v.items()}
            hits.append(DictSub(hit) if subclass else hit)
        else:
            hits.append(build_value((tag, v), mutators))
    return hits


@HOSTILE
@given(st.lists(hit_specs, max_size=6), payload_specs, st.booleans(), st.sampled_from(["hits", "payload", "hit"]))
def test_observe_hostile_hits_and_payload(hit_spec, spec, subclass, mutate_what):
    mutators: list = []
    hits = build_hits(hit_spec, mutators, subclass)
    payload = build_payload(spec)
    target = {"hits": hits, "payload": payload, "hit": next((h for h in hits if isinstance(h, dict)), None)}
    for m in mutators + [m for m in payload.values() if isinstance(m, Mutator)]:
        m.target = target[mutate_what]
    det = AnomalyDetector(Client(hits), "dev")
    with armed_keys():
        ok, out = expect(ERRORS, det.observe, "t", payload, 0.9)
    assert det._check_counter == 1
    if ok and out is not None:
        assert det.events[-1] is out and len(det.events) == 1
        assert type(out.dominant_outcome) is str and out.dominant_outcome
        assert len(out.channel_snapshot) <= 20
    elif not ok:
        assert len(det.events) == 0
    check_usable(det)


@HOSTILE
@given(st.lists(hit_specs, max_size=6), payload_specs, hostile_args)
def test_analyse_hits_direct(hit_spec, spec, confidence):
    mutators: list = []
    hits = build_hits(hit_spec, mutators, False)
    payload = build_payload(spec)
    for m in mutators:
        m.target = hits
    det = AnomalyDetector(Client(), "dev")
    with armed_keys():
        ok, out = expect(ERRORS, det._analyse_hits, "t", payload, hits, confidence)
    assert det._check_counter == 0
    assert len(det.events) == (1 if ok and out is not None else 0)
    check_usable(det)


@HOSTILE
@given(payload_specs, st.booleans())
def test_build_query_hostile_payload(spec, armed):
    det = AnomalyDetector(Client(), "dev")
    payload = build_payload(spec)
    if armed:
        with armed_keys():
            ok, out = expect(ERRORS, det._build_query, payload)
    else:
        ok, out = expect(ERRORS, det._build_query, payload)
    if ok:
        assert type(out) is str
    assert det._check_counter == 0 and len(det.events) == 0
    check_usable(det)


class StrRaisingError(Exception):
    def __str__(self):
        raise Boom("str")


@pytest.mark.parametrize(
    "result",
    [
        None,
        [],
        (),
        {},
        0,
        "",
        FAULT_HITS,
        tuple(FAULT_HITS),
        ListSub(FAULT_HITS),
        DictSub(a=1),
        "FAULT",
        5,
        [None],
        [[1]],
        [StrSub("x")],
        iter(FAULT_HITS),
    ],
)
@pytest.mark.parametrize(
    "fail",
    [
        None,
        ConnectionError("x"),
        Boom("q"),
        StrRaisingError(),
        MemoryError(),
        RecursionError(),
        KeyboardInterrupt(),
        SystemExit(1),
    ],
)
def test_observe_with_odd_client_results(result, fail):
    det = AnomalyDetector(Client(result, fail), "dev")
    allowed = ERRORS + (KeyboardInterrupt, SystemExit)
    ok, out = expect(allowed, det.observe, "t", {"a": 1.0}, 0.9)
    assert det._check_counter == 1
    if isinstance(fail, (KeyboardInterrupt, SystemExit)):
        assert not ok and out is fail  # outside the ordinary family: not absorbed
    elif fail is not None:
        assert ok and out is None  # ordinary client errors are absorbed
    elif not result:
        assert ok and out is None
    elif type(result) is not list:
        assert not ok and type(out) is TypeError and "Argument 'hits' has incorrect type" in str(out)
    check_usable(det)


@pytest.mark.parametrize("brain", [None, object(), 5, "client"])
def test_observe_with_a_brain_that_is_no_client(brain):
    det = AnomalyDetector(brain, "dev")
    assert det.observe("t", {"a": 1.0}, 0.9) is None
    assert det._check_counter == 1
    check_usable(det)


@HOSTILE
@given(hostile_args)
def test_observe_hostile_confidence(confidence):
    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    ok, out = expect((TypeError, ValueError, OverflowError, Boom), det.observe, "t", {"a": 1.0}, confidence)
    if not ok:
        assert det._check_counter == 0 and len(det.events) == 0
        if isinstance(confidence, str):
            assert type(out) is TypeError
    check_usable(det)


@HOSTILE
@given(st.integers(0, 6), hostile_args)
def test_event_constructor_hostile_argument(position, value):
    args = ["dev", "t", 3, "FAULT", 0.9, 0.8, {"a": 1.0}]
    args[position] = value
    ok, out = expect((TypeError, ValueError, OverflowError, Boom), AnomalyEvent, *args)
    if ok:
        record = out.to_dict()
        assert list(record) == [
            "device_id",
            "timestamp",
            "similar_episode_count",
            "dominant_outcome",
            "confidence",
            "query_score",
            "channel_snapshot",
            "detected_at",
        ]
        assert type(record["similar_episode_count"]) is int
        assert type(record["confidence"]) is float and type(record["query_score"]) is float
    elif position in (0, 1, 3, 6):
        assert type(out) is TypeError


@HOSTILE
@given(
    st.sampled_from(
        ["DETECTOR_CHECK_EVERY", "DETECTOR_MIN_CONFIDENCE", "DETECTOR_TOP_K", "DETECTOR_CLUSTER_THRESHOLD"]
    ),
    hostile_args,
)
def test_rebound_constants_of_any_type(name, value):
    saved = getattr(detector, name)
    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    try:
        setattr(detector, name, value)
        for _ in range(3):
            expect(ERRORS + (ZeroDivisionError,), det.observe, "t", {"a": 1.0}, 0.9)
        assert not det._lock.locked()
    finally:
        setattr(detector, name, saved)
    check_usable(det)


@pytest.mark.parametrize("mode", MUTATIONS)
def test_events_changed_while_read(mode):
    """get_events converts each event with to_dict; an event's field that is
    a mapping the caller changed is returned as it is."""
    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    for _ in range(5):
        det.observe("t", {"a": 1.0, "b": Mutator(mode)}, 0.9)
    for ev in det.events:
        ev.channel_snapshot["x"] = 1.0
    events = det.get_events()
    assert len(events) == 5 and all(e["channel_snapshot"]["x"] == 1.0 for e in events)
    check_usable(det)


def test_detector_bad_calls():
    check_refuses_bad_calls(AnomalyDetector, 2, ("brain", "device_id"))
    check_refuses_bad_calls(
        AnomalyEvent,
        7,
        (
            "device_id",
            "timestamp",
            "similar_episode_count",
            "dominant_outcome",
            "confidence",
            "query_score",
            "channel_snapshot",
        ),
    )
    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    check_refuses_bad_calls(det.observe, 3, ("timestamp", "payload", "confidence"))
    check_refuses_bad_calls(det._build_query, 1, ("payload",))
    check_refuses_bad_calls(det._analyse_hits, 4, ("timestamp", "payload", "hits", "confidence"))
    check_refuses_bad_calls(det.get_events, 0, ())
    for args in (("t", DictSub(), 0.9), (StrSub("t"), {}, 0.9), (None, {}, 0.9), ("t", None, 0.9)):
        with pytest.raises(TypeError):
            det.observe(*args)
    for args in (("t", {}, ListSub(), 0.9), ("t", {}, (), 0.9), ("t", DictSub(), [], 0.9)):
        with pytest.raises(TypeError):
            det._analyse_hits(*args)
    assert det._check_counter == 0
    check_usable(det)


@FEW
@given(hostile_args)
def test_detector_constructor_hostile_device_id(value):
    ok, out = expect((TypeError,), AnomalyDetector, Client(), value)
    if type(value) is str:
        assert ok
        check_usable(out)
    else:
        assert not ok and "Argument 'device_id' has incorrect type" in str(out)


def test_check_counter_at_the_native_limit():
    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    det._check_counter = 2**63 - 1
    expect((OverflowError,), det.observe, "t", {"a": 1.0}, 0.9)
    assert det._check_counter in (2**63 - 1, 2**63)


@pytest.mark.parametrize("action", ["clear", "rebind", "none"])
@pytest.mark.parametrize("where", ["payload", "DETECTOR_CLUSTER_THRESHOLD", "DETECTOR_TOP_K"])
def test_events_changed_while_observe_runs(action, where):
    import collections

    from .support import Acts

    det = AnomalyDetector(Client(FAULT_HITS), "dev")
    det.observe("t0", {"a": 1.0}, 0.9)

    def act():
        if action == "clear":
            det.events.clear()
        elif action == "rebind":
            det.events = collections.deque(maxlen=2)
        else:
            det.events = None

    saved = getattr(detector, where, None)
    try:
        if where == "payload":
            ok, out = expect(ERRORS, det.observe, "t", {"a": Acts(act), "b": 2.0}, 0.9)
        else:
            setattr(detector, where, Acts(act, 0.5 if where == "DETECTOR_CLUSTER_THRESHOLD" else 5))
            ok, out = expect(ERRORS, det.observe, "t", {"a": 1.0}, 0.9)
    finally:
        if saved is not None:
            setattr(detector, where, saved)
    assert det._check_counter == 2 and not det._lock.locked()
    if ok and out is not None and det.events is not None:
        assert det.events[-1] is out
    det.events = collections.deque(maxlen=1000)
    check_usable(det)
