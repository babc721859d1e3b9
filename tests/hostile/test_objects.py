"""Objects of every class that never ran __init__, and reference cycles
through them."""

import pytest

from .support import expect


class _Client:
    class config:
        device_id = "cfg"

    def ingest(self, batch, device_id=None):
        return None

    def query(self, *args, **kwargs):
        return [{"score": 1.0, "outcome": "FAULT"}] * 2

    def _request(self, method, path, json=None):
        return {"id": "x"}


# (module, class, constructor arguments, operations to try on the instance)
CLASSES = [
    (
        "orvane.brenlow.profiler",
        "ChannelStats",
        ("c",),
        lambda o: (o.update(1.0), o.check_outlier(1.0), o.to_dict(), o.variance, o.periodicity_score, o.history),
    ),
    (
        "orvane.brenlow.profiler",
        "StatisticalProfiler",
        ("d",),
        lambda o: (o.observe({"a": 1.0}), o.snapshot(), o.confidence_score, o.compute_correlations()),
    ),
    ("orvane.brenlow.classifier", "SchemaClassifier", (), lambda o: o.classify({})),
    (
        "orvane.brenlow.accumulator",
        "EpisodeAccumulator",
        (_Client(), "d"),
        lambda o: (o.observe("t", {"a": 1}), o._build_episode("t", {}), o._post_batch([]), o.flush()),
    ),
    ("orvane.brenlow.detector", "AnomalyEvent", ("d", "t", 1, "F", 0.5, 0.5, {}), lambda o: o.to_dict()),
    (
        "orvane.brenlow.detector",
        "AnomalyDetector",
        (_Client(), "d"),
        lambda o: (
            o.observe("t", {"a": 1.0}, 0.9),
            o.get_events(),
            o._build_query({}),
            o._analyse_hits("t", {}, [], 0.5),
        ),
    ),
    ("orvane.qx.composite", "CompositeStateBuilder", (), lambda o: (o.project([1.0], "x"), o.fuse([1.0]))),
    (
        "orvane.qx.retrieval",
        "CrossModalRetriever",
        (_Client(),),
        lambda o: (o.ingest([1.0]), o.retrieve([1.0]), o.ingest_batch([])),
    ),
]


@pytest.mark.parametrize("how", ["subclass_skipping_init", "bare_new"])
@pytest.mark.parametrize("module_name,class_name,args,use", CLASSES, ids=[c[1] for c in CLASSES])
def test_objects_that_never_ran_init(module_name, class_name, args, use, how):
    """Plain Python classes let a subclass skip __init__ and let __new__ run
    alone; every operation on such an object raises, none crashes."""
    import copy

    cls = getattr(pytest.importorskip(module_name), class_name)
    if how == "bare_new":
        obj = cls.__new__(cls)
    else:
        obj = type("Sub" + class_name, (cls,), {"__init__": lambda self, *a, **k: None})()
    expect((AttributeError, TypeError, RuntimeError), use, obj)
    for name in dir(obj):
        if not name.startswith("__"):
            expect((AttributeError, TypeError), getattr, obj, name)
    expect((AttributeError, TypeError), repr, obj)
    expect((AttributeError, TypeError), copy.copy, obj)
    expect((AttributeError, TypeError), copy.deepcopy, obj)
    # Running __init__ late makes it a normal object.
    cls.__init__(obj, *args)
    use(obj)


@pytest.mark.parametrize("module_name,class_name,args,use", CLASSES, ids=[c[1] for c in CLASSES])
def test_reference_cycles_through_objects_are_collected(module_name, class_name, args, use):
    import gc
    import weakref

    cls = getattr(pytest.importorskip(module_name), class_name)

    class Holder:
        pass

    holder = Holder()
    obj = cls(*(dict(a) if isinstance(a, dict) else a for a in args))  # nothing shared with the table
    use(obj)
    holder.obj = obj
    for field in ("brain", "cfg"):
        if hasattr(obj, field):
            setattr(obj, field, holder)  # object -> holder -> object
    for field in ("channels", "channel_snapshot"):
        if isinstance(getattr(obj, field, None), dict):
            getattr(obj, field)["self"] = holder
    for field in ("window", "events", "pending_batch"):
        if hasattr(getattr(obj, field, None), "append"):
            getattr(obj, field).append(holder)
    try:
        ref = weakref.ref(obj)
    except TypeError:
        ref = weakref.ref(holder)
    del obj, holder
    gc.collect()
    assert ref() is None
