"""Hostile input for SchemaClassifier.classify (see support.py)."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    Boom,
    DictSub,
    StrSub,
    build_value,
    armed_keys,
    build_payload,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    make_odd,
    payload_specs,
    value_specs,
)

classifier = pytest.importorskip("orvane.brenlow.classifier")

ERRORS = (TypeError, ValueError, AttributeError, OverflowError, RuntimeError, Boom)
STAT_KEYS = ["count", "variance", "mean_rate_of_change", "outlier_frequency", "periodicity_score"]
ORDINARY = {
    "confidence_score": 0.5,
    "channels": {
        "a": {"count": 10, "variance": 0.02, "mean_rate_of_change": 0.1},
        "b": {"count": 10, "variance": 0.00001},
    },
    "correlations": {"a": {"b": 0.9}, "b": {"a": 0.9}},
}


def check_usable(clf):
    out = clf.classify(ORDINARY)
    assert out["channel_count"] == 2
    assert out["classifications"]["a"]["labels"] == ["dynamic", "correlated"]
    assert out["stable_channels"] == ["b"]
    assert out["significant_channels"] == ["a"]


def check_record(out, channels):
    assert list(out) == ["confidence", "channel_count", "significant_channels", "stable_channels", "classifications"]
    assert out["channel_count"] == len(out["classifications"])
    for name in out["significant_channels"] + out["stable_channels"]:
        assert name in out["classifications"]
    for rec in out["classifications"].values():
        assert rec["labels"] and all(type(x) is str for x in rec["labels"])
        assert 0.0 <= rec["significance_score"] <= 1.0


stats_specs = st.dictionaries(
    st.sampled_from(STAT_KEYS + ["other"]),
    st.one_of(value_specs, st.integers(0, 20).map(lambda v: ("plain", v))),
    max_size=6,
)


def _bind(mutators, target):
    for m in mutators:
        m.target = target


@HOSTILE
@given(
    st.lists(st.tuples(st.text(max_size=3), stats_specs), max_size=5),
    st.one_of(value_specs, st.just(("plain", 0.8))),
    st.sampled_from(["channels", "stats", "correlations", "snapshot"]),
    st.booleans(),
)
def test_classify_hostile_snapshot(channel_specs, confidence_spec, mutate_what, subclass_records):
    mutators: list = []
    channels = {}
    for name, stats in channel_specs:
        rec = {k: build_value(v, mutators) for k, v in stats.items()}
        channels[name] = DictSub(rec) if subclass_records else rec
    correlations = {name: {other: build_value(("plain", 0.75), mutators) for other in channels} for name in channels}
    snapshot = {
        "confidence_score": build_value(confidence_spec, mutators),
        "channels": channels,
        "correlations": correlations,
    }
    target = {
        "channels": channels,
        "correlations": correlations,
        "snapshot": snapshot,
        "stats": next(iter(channels.values()), None),
    }[mutate_what]
    _bind(mutators, target)
    clf = classifier.SchemaClassifier()
    ok, out = expect(ERRORS, clf.classify, snapshot)
    if ok:
        check_record(out, channels)
    check_usable(clf)


@HOSTILE
@given(payload_specs)
def test_classify_hostile_top_level_and_partners(spec):
    """Arbitrary keys and values at the top level, as channel records and as
    correlation partners."""
    clf = classifier.SchemaClassifier()
    payload = build_payload(spec)
    for snapshot in (
        payload,
        {"channels": payload},
        {"channels": {"a": payload}},
        {"channels": {"a": {"count": 9}}, "correlations": {"a": payload}},
    ):
        with armed_keys():
            ok, out = expect(ERRORS, clf.classify, snapshot)
        if ok:
            check_record(out, snapshot.get("channels"))
    check_usable(clf)


class ItemsRaise(dict):
    def items(self):
        raise Boom("items")


class GetRaise(dict):
    def get(self, *a):
        raise Boom("get")


class ItemsMutate(dict):
    def items(self):
        self.clear()
        return [("gone", {"count": 9})]


@pytest.mark.parametrize("where", ["channels", "record", "correlations", "partners"])
@pytest.mark.parametrize("cls", [ItemsRaise, GetRaise, ItemsMutate, StrSub, list, type(None)])
def test_classify_mapping_operations_that_misbehave(where, cls):
    clf = classifier.SchemaClassifier()
    good_rec = {"count": 9, "variance": 0.02, "mean_rate_of_change": 0.2}
    if cls is StrSub:
        odd = StrSub("abc")
    elif cls is type(None):
        odd = None
    elif cls is list:
        odd = [("a", 1)]
    else:
        odd = cls({"a": good_rec} if where == "channels" else good_rec if where == "record" else {"x": 0.9})
    snap = {"channels": {"a": good_rec, "x": dict(good_rec)}, "correlations": {"a": {"x": 0.9}}}
    if where == "channels":
        snap["channels"] = odd
    elif where == "record":
        snap["channels"]["a"] = odd
    elif where == "correlations":
        snap["correlations"] = odd
    else:
        snap["correlations"]["a"] = odd
    ok, out = expect(ERRORS, clf.classify, snap)
    if ok:
        check_record(out, snap["channels"])
    check_usable(clf)


@FEW
@given(hostile_args)
def test_classify_refuses_non_dict(value):
    clf = classifier.SchemaClassifier()
    if type(value) is dict:
        return
    with pytest.raises(TypeError, match="Argument 'profiler_snapshot' has incorrect type"):
        clf.classify(value)
    check_usable(clf)


@HOSTILE
@given(
    st.sampled_from(
        [
            "DYNAMIC_VARIANCE_THRESHOLD",
            "STABLE_VARIANCE_THRESHOLD",
            "HIGH_ROC_THRESHOLD",
            "CORRELATION_THRESHOLD",
            "OUTLIER_FREQUENCY_THRESHOLD",
            "PERIODICITY_THRESHOLD",
        ]
    ),
    hostile_args,
)
def test_classify_with_rebound_thresholds(name, value):
    saved = getattr(classifier, name)
    clf = classifier.SchemaClassifier()
    try:
        setattr(classifier, name, value)
        ok, out = expect(ERRORS, clf.classify, ORDINARY)
        if ok:
            check_record(out, ORDINARY["channels"])
    finally:
        setattr(classifier, name, saved)
    check_usable(clf)


def test_classify_deeply_nested_and_huge():
    clf = classifier.SchemaClassifier()
    deep = make_odd("deep_dict")
    for snap in (
        {"channels": deep},
        {"channels": {"a": deep}},
        {"correlations": {"a": deep}, "channels": {"a": {}}},
        {"channels": {"a": {"count": 10**400}}},
        {"channels": {"a": {"count": float("inf")}}},
        {"channels": {"a": {"count": float("nan")}}},
        {"channels": {"a": {"count": 9, "variance": 10**400}}},
        {"confidence_score": 10**400},
        {"channels": {str(i): {"count": 9} for i in range(2000)}},
    ):
        ok, out = expect(ERRORS, clf.classify, snap)
        if ok:
            check_record(out, snap.get("channels"))
    check_usable(clf)


def test_classifier_bad_calls():
    check_refuses_bad_calls(classifier.SchemaClassifier, 0, ())
    clf = classifier.SchemaClassifier()
    check_refuses_bad_calls(clf.classify, 1, ("profiler_snapshot",))
    check_usable(clf)
