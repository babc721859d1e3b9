"""Leak-check cases, one block per module. Registered through leak_check.case.

Every case calls one public operation with ordinary or with failing input and
names the objects it hands in, whose reference counts must not move. Modules
that are not importable here register nothing.

A few operations cost far more than a microsecond (a snapshot over full
windows, a forward pass of the IMU network, a posting thread): their cases
run the operation on one call in N, named "(1 in N)", so that the short mode
stays quick; the rest of the calls are the cheap paths of the same object.
Cases leave no thread running and no queue growing: the accumulator's cases
empty `pending_batch` and join the posting threads they start.
"""

from __future__ import annotations

import importlib
import io
import sys
import threading

from leak_check import case, raising


def _module(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def every(n, fn, otherwise=None):
    """Runs fn on one call in n (otherwise, if given, on the others)."""
    state = {"i": 0}

    def call():
        state["i"] += 1
        if state["i"] % n == 0:
            return fn()
        if otherwise is not None:
            return otherwise()
        return None

    return call


class Boom(Exception):
    pass


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class StrSub(str):
    pass


class DictSub(dict):
    pass


class NullOut(io.TextIOBase):
    """Swallows the accumulator's failure lines."""

    def write(self, s):
        return len(s)


def quiet(fn):
    def call():
        saved = sys.stdout
        sys.stdout = NullOut()
        try:
            return fn()
        finally:
            sys.stdout = saved

    return call


def join_threads():
    for t in threading.enumerate():
        if t is not threading.current_thread() and t.daemon:
            t.join(5)


# Clients raise a fresh error per call: raising one exception object again
# and again would grow its traceback without end.

# Shared inputs: distinct objects (not small cached ints), so that a reference
# leaked on any of them shows in its count.
_F1, _F2 = 1234.5678, -0.000321
_HUGE = 10**400
_BAD_TEXT = "not a number"
_NONE_LIST = [None]
_RAISING = RaisingFloat()
_DEV = "dev-" + "leak" * 3
_TS = "2026-01-01T00:00:00Z" + ""

# --- provisioner ---------------------------------------------------------------
provisioner = _module("orvane.brenlow.provisioner")
if provisioner is not None:
    _ID = "  pump-7  "
    _LONG = "x" * 300
    _SUB = StrSub("pump")

    @case("provisioner.ensure_device_id(given)", _ID)
    def _():
        provisioner.ensure_device_id(_ID)

    @case("provisioner.ensure_device_id(long)", _LONG)
    def _():
        provisioner.ensure_device_id(_LONG)

    @case("provisioner.ensure_device_id(None)")
    def _():
        provisioner.ensure_device_id(None)

    _BAD = [1]

    @case("provisioner.ensure_device_id(wrong type)", _BAD)
    def _():
        raising(lambda: provisioner.ensure_device_id(_BAD), TypeError)()

    @case("provisioner.ensure_device_id(str subclass)", _SUB)
    def _():
        raising(lambda: provisioner.ensure_device_id(_SUB), TypeError)()

    @case("provisioner.ensure_device_id(bad keyword)", _ID)
    def _():
        raising(lambda: provisioner.ensure_device_id(_ID, device_id=_ID), TypeError)()


# --- profiler ------------------------------------------------------------------
profiler = _module("orvane.brenlow.profiler")
if profiler is not None:
    _P = profiler.StatisticalProfiler(_DEV)
    _PAYLOAD = {"temp": _F1, "rpm": 1500 + 10**6, "text": "2.5e1", "flag": True}
    _SKIPPED = {"none": None, "text": _BAD_TEXT, "list": _NONE_LIST, "temp": _F2}
    _OVERFLOW = {"temp": _F1, "big": _HUGE}
    _USER_ERR = {"temp": _F1, "bad": _RAISING}
    _KEY = 12345678
    _INT_KEY = {"temp": _F1, _KEY: _F2}
    _SUB_PAYLOAD = DictSub(temp=_F1)

    @case("profiler.StatisticalProfiler.observe(ordinary)", _P, _PAYLOAD, _F1)
    def _():
        _P.observe(_PAYLOAD)

    @case("profiler.StatisticalProfiler.observe(skipped values)", _P, _SKIPPED, _BAD_TEXT, _NONE_LIST)
    def _():
        _P.observe(_SKIPPED)

    @case("profiler.StatisticalProfiler.observe(huge int)", _P, _OVERFLOW, _HUGE)
    def _():
        raising(lambda: _P.observe(_OVERFLOW), OverflowError)()

    @case("profiler.StatisticalProfiler.observe(__float__ raises)", _P, _USER_ERR, _RAISING)
    def _():
        raising(lambda: _P.observe(_USER_ERR), Boom)()

    @case("profiler.StatisticalProfiler.observe(int key)", _P, _INT_KEY, _KEY)
    def _():
        raising(lambda: _P.observe(_INT_KEY), TypeError)()

    @case("profiler.StatisticalProfiler.observe(dict subclass)", _P, _SUB_PAYLOAD)
    def _():
        raising(lambda: _P.observe(_SUB_PAYLOAD), TypeError)()

    @case("profiler.StatisticalProfiler.confidence_score", _P)
    def _():
        return _P.confidence_score

    _SNAP_P = profiler.StatisticalProfiler(_DEV)
    for _i in range(150):
        _SNAP_P.observe({"a": float(_i % 7), "b": float(_i % 5), "c": _i * 0.5})

    _snapshot_1_in_20 = every(20, _SNAP_P.snapshot)
    _correlations_1_in_5 = every(5, _SNAP_P.compute_correlations)

    @case("profiler.StatisticalProfiler.snapshot (1 in 20)", _SNAP_P)
    def _():
        _snapshot_1_in_20()

    @case("profiler.StatisticalProfiler.compute_correlations (1 in 5)", _SNAP_P)
    def _():
        _correlations_1_in_5()

    @case("profiler.StatisticalProfiler(device_id)", _DEV)
    def _():
        profiler.StatisticalProfiler(_DEV)

    @case("profiler.StatisticalProfiler(wrong type)", _NONE_LIST)
    def _():
        raising(lambda: profiler.StatisticalProfiler(_NONE_LIST), TypeError)()

    _CH = profiler.ChannelStats("ch")
    for _i in range(200):
        _CH.update(float(_i % 11))

    @case("profiler.ChannelStats.update/check_outlier", _CH, _F1)
    def _():
        _CH.update(_F1)
        _CH.check_outlier(_F1)

    @case("profiler.ChannelStats.update(text)", _CH, _BAD_TEXT)
    def _():
        raising(lambda: _CH.update(_BAD_TEXT), TypeError)()

    @case("profiler.ChannelStats.check_outlier(__float__ raises)", _CH, _RAISING)
    def _():
        raising(lambda: _CH.check_outlier(_RAISING), Boom)()

    @case("profiler.ChannelStats properties", _CH)
    def _():
        return (_CH.variance, _CH.std, _CH.value_range, _CH.mean_rate_of_change, _CH.outlier_frequency, _CH.history)

    _periodicity_1_in_10 = every(10, lambda: _CH.periodicity_score)
    _to_dict_1_in_10 = every(10, _CH.to_dict)

    @case("profiler.ChannelStats.periodicity_score/to_dict (1 in 10)", _CH)
    def _():
        _periodicity_1_in_10()
        _to_dict_1_in_10()

    _SNAP_P.note = [_F1]
    _STATE = _SNAP_P.__getstate__()
    _pickle_1_in_10 = every(10, lambda: __import__("pickle").loads(__import__("pickle").dumps(_SNAP_P)))

    @case("profiler.StatisticalProfiler.__getstate__/__setstate__", _SNAP_P, _STATE)
    def _():
        _SNAP_P.__getstate__()
        profiler.StatisticalProfiler.__new__(profiler.StatisticalProfiler).__setstate__(_STATE)

    @case("profiler.StatisticalProfiler pickle round trip (1 in 10)", _SNAP_P)
    def _():
        _pickle_1_in_10()

    _BAD_STATE = dict(_STATE, version=99)

    @case("profiler.StatisticalProfiler.__setstate__(unknown version)", _BAD_STATE)
    def _():
        raising(
            lambda: profiler.StatisticalProfiler.__new__(profiler.StatisticalProfiler).__setstate__(_BAD_STATE),
            ValueError,
        )()

    _CH_STATE = _CH.__getstate__()

    @case("profiler.ChannelStats.__getstate__/__setstate__", _CH, _CH_STATE)
    def _():
        _CH.__getstate__()
        profiler.ChannelStats.__new__(profiler.ChannelStats).__setstate__(_CH_STATE)

    _HIST = [float(i % 9) for i in range(120)]

    @case("profiler.ChannelStats.history = list", _HIST)
    def _():
        ch = profiler.ChannelStats("h")
        ch.history = _HIST

    _HIST_BAD = [1.0, 2.0, _RAISING]

    @case("profiler.ChannelStats.history = list(__float__ raises)", _HIST_BAD, _RAISING)
    def _():
        raising(lambda: setattr(_CH, "history", _HIST_BAD), Boom)()

    @case("profiler.ChannelStats(wrong type)", _SUB_PAYLOAD)
    def _():
        raising(lambda: profiler.ChannelStats(_SUB_PAYLOAD), TypeError)()


# --- classifier ----------------------------------------------------------------
classifier = _module("orvane.brenlow.classifier")
if classifier is not None:
    _CLF = classifier.SchemaClassifier()
    _REC = {
        "count": 10,
        "variance": 0.02,
        "mean_rate_of_change": 0.1,
        "outlier_frequency": 0.2,
        "periodicity_score": 0.5,
    }
    _SNAPSHOT = {
        "confidence_score": 0.75,
        "channels": {f"ch{i}": dict(_REC, variance=0.0001 * i) for i in range(12)},
        "correlations": {f"ch{i}": {f"ch{j}": 0.8 for j in range(12)} for i in range(12)},
    }
    _BAD_COUNT = {"channels": {"a": {"count": _BAD_TEXT}}}
    _BAD_STAT = {"channels": {"a": {"count": 9, "variance": _RAISING}}}
    _NONE_CHANNELS = {"channels": None}

    @case("classifier.SchemaClassifier.classify(ordinary)", _CLF, _SNAPSHOT)
    def _():
        _CLF.classify(_SNAPSHOT)

    @case("classifier.SchemaClassifier.classify(bad count)", _BAD_COUNT, _BAD_TEXT)
    def _():
        raising(lambda: _CLF.classify(_BAD_COUNT), ValueError)()

    @case("classifier.SchemaClassifier.classify(__float__ raises)", _BAD_STAT, _RAISING)
    def _():
        raising(lambda: _CLF.classify(_BAD_STAT), Boom)()

    @case("classifier.SchemaClassifier.classify(channels None)", _NONE_CHANNELS)
    def _():
        raising(lambda: _CLF.classify(_NONE_CHANNELS), AttributeError)()

    _C_SUB = DictSub(channels={})

    @case("classifier.SchemaClassifier.classify(wrong type)", _C_SUB)
    def _():
        raising(lambda: _CLF.classify(_C_SUB), TypeError)()


# --- accumulator ---------------------------------------------------------------
accumulator = _module("orvane.brenlow.accumulator")
if accumulator is not None:
    # No flush unless a case asks for one: no thread per call.
    accumulator.ACCUMULATOR_BATCH_SIZE = 10**12
    accumulator.ACCUMULATOR_FLUSH_MAX_AGE_S = 0

    class IngestClient:
        def __init__(self, fail=None):
            self.fail = fail
            self.accepted = 0

        def ingest(self, batch, device_id=None):
            if self.fail is not None:
                raise self.fail()
            self.accepted += len(batch)

    _ACLIENT = IngestClient()
    _ACC = accumulator.EpisodeAccumulator(_ACLIENT, _DEV)
    _A_PAYLOAD = {"temp": _F1, "rpm": 1500 + 10**6, "text": "2.5", "nl_text_len": 3, "modality_count": 2.5}
    _A_CONTEXT = {
        "source_text": "a reading " * 60,
        "source_kind": " MultiModal/vision ",
        "source_tags": ["x", " y "],
        "source_meta": {"site": "north"},
    }
    _A_BAD = {"temp": _F1, "bad": _BAD_TEXT}
    _A_USER = {"temp": _F1, "bad": _RAISING}

    def _observe(payload, context=None):
        try:
            return _ACC.observe(_TS, payload, context)
        finally:
            _ACC.pending_batch.clear()

    @case("accumulator.EpisodeAccumulator.observe(ordinary)", _ACC, _A_PAYLOAD, _TS, _F1)
    def _():
        _observe(_A_PAYLOAD)

    @case("accumulator.EpisodeAccumulator.observe(context)", _ACC, _A_PAYLOAD, _A_CONTEXT)
    def _():
        _observe(_A_PAYLOAD, _A_CONTEXT)

    @case("accumulator.EpisodeAccumulator.observe(unconvertible value)", _ACC, _A_BAD, _BAD_TEXT)
    def _():
        raising(lambda: _observe(_A_BAD), ValueError)()

    @case("accumulator.EpisodeAccumulator.observe(__float__ raises)", _ACC, _A_USER, _RAISING)
    def _():
        raising(lambda: _observe(_A_USER), Boom)()

    @case("accumulator.EpisodeAccumulator.observe(wrong type)", _ACC, _NONE_LIST)
    def _():
        raising(lambda: _ACC.observe(_TS, _NONE_LIST), TypeError)()

    @case("accumulator.EpisodeAccumulator._build_episode", _ACC, _A_PAYLOAD, _A_CONTEXT)
    def _():
        _ACC._build_episode(_TS, _A_PAYLOAD, context=_A_CONTEXT)

    @case("accumulator.EpisodeAccumulator.flush(empty)", _ACC)
    def _():
        _ACC.flush()

    @case("accumulator.EpisodeAccumulator._flush_locked(wrong type)", _ACC, _BAD_TEXT)
    def _():
        with _ACC._lock:
            raising(lambda: _ACC._flush_locked(now_ts=_BAD_TEXT), TypeError)()

    _BATCH = [{"episode_id": "e1"}, {"episode_id": "e2"}]

    @case("accumulator.EpisodeAccumulator._post_batch(accepted)", _ACC, _BATCH, _ACLIENT)
    def _():
        _ACC._post_batch(_BATCH)

    _FAILING = IngestClient(lambda: ConnectionError("resolver down"))
    _ACC_FAIL = accumulator.EpisodeAccumulator(_FAILING, _DEV)

    @case("accumulator.EpisodeAccumulator._post_batch(client error)", _ACC_FAIL, _BATCH, _FAILING)
    def _():
        quiet(lambda: _ACC_FAIL._post_batch(_BATCH))()

    # Its own accumulator, its window already full of this one payload, so
    # that the payload's count stays put however often it is observed.
    _FLUSH_CLIENT = IngestClient()
    _ACC_FLUSH = accumulator.EpisodeAccumulator(_FLUSH_CLIENT, _DEV)
    _F_PAYLOAD = {"temp": _F2, "rpm": 7 + 10**6}
    for _ in range(accumulator.ACCUMULATOR_WINDOW_SIZE + 1):
        _ACC_FLUSH.observe(_TS, _F_PAYLOAD)
    _ACC_FLUSH.pending_batch.clear()

    def _flush_with_thread():
        _ACC_FLUSH.observe(_TS, _F_PAYLOAD)
        _ACC_FLUSH.flush()
        join_threads()

    _flush_1_in_200 = every(200, _flush_with_thread)

    @case(
        "accumulator.EpisodeAccumulator.observe+flush, posting thread (1 in 200)", _ACC_FLUSH, _F_PAYLOAD, _FLUSH_CLIENT
    )
    def _():
        _flush_1_in_200()

    def _drain_at_exit():
        # What the exit hook does: post what is pending, wait for threads.
        _ACC_FLUSH.observe(_TS, _F_PAYLOAD)
        _ACC_FLUSH.flush()
        _ACC_FLUSH.observe(_TS, _F_PAYLOAD)
        accumulator._exit_drain()
        join_threads()

    _drain_1_in_200 = every(200, quiet(_drain_at_exit))

    @case("accumulator._exit_drain (1 in 200)", _ACC_FLUSH, _F_PAYLOAD, _FLUSH_CLIENT)
    def _():
        _drain_1_in_200()

    @case("accumulator.EpisodeAccumulator(brain, device_id)", _ACLIENT, _DEV)
    def _():
        accumulator.EpisodeAccumulator(_ACLIENT, _DEV)

    @case("accumulator.EpisodeAccumulator(wrong type)", _ACLIENT, _NONE_LIST)
    def _():
        raising(lambda: accumulator.EpisodeAccumulator(_ACLIENT, _NONE_LIST), TypeError)()


# --- detector ------------------------------------------------------------------
detector = _module("orvane.brenlow.detector")
if detector is not None:
    detector.DETECTOR_CHECK_EVERY = 1

    class QueryClient:
        def __init__(self, hits=None, fail=None):
            self.hits = hits
            self.fail = fail

        def query(self, text, k=10, device_id=None, include_episode=True, prefer_success=True):
            if self.fail is not None:
                raise self.fail()
            return self.hits

    _HITS = [
        {"score": 0.9, "outcome": "FAULT"},
        {"score": "0.7", "outcome": {"result": "done", "metrics": {"health_label": "FAULT"}}},
        {"score": 0.5, "outcome": "pending"},
        {"score": None},
    ] * 3
    _QCLIENT = QueryClient(_HITS)
    _DET = detector.AnomalyDetector(_QCLIENT, _DEV)
    _D_PAYLOAD = {f"ch{i}": _F1 + i for i in range(25)}
    _D_PAYLOAD["odd"] = _BAD_TEXT
    _CONF = 0.875

    def _detect(det, payload):
        try:
            return det.observe(_TS, payload, _CONF)
        finally:
            det.events.clear()

    @case("detector.AnomalyDetector.observe(event)", _DET, _QCLIENT, _D_PAYLOAD, _HITS, _CONF)
    def _():
        _detect(_DET, _D_PAYLOAD)

    _D_CLIENT_ERR = QueryClient(fail=lambda: TimeoutError("slow"))
    _DET_ERR = detector.AnomalyDetector(_D_CLIENT_ERR, _DEV)

    @case("detector.AnomalyDetector.observe(client error)", _DET_ERR, _D_CLIENT_ERR, _D_PAYLOAD)
    def _():
        _detect(_DET_ERR, _D_PAYLOAD)

    _D_CLIENT_TUPLE = QueryClient(tuple(_HITS))
    _DET_TUPLE = detector.AnomalyDetector(_D_CLIENT_TUPLE, _DEV)

    @case("detector.AnomalyDetector.observe(hits not a list)", _DET_TUPLE, _D_PAYLOAD)
    def _():
        raising(lambda: _detect(_DET_TUPLE, _D_PAYLOAD), TypeError)()

    _BAD_HITS = [{"score": _BAD_TEXT, "outcome": "FAULT"}]

    @case("detector.AnomalyDetector._analyse_hits(bad score)", _DET, _BAD_HITS, _BAD_TEXT)
    def _():
        raising(lambda: _DET._analyse_hits(_TS, _D_PAYLOAD, _BAD_HITS, _CONF), ValueError)()

    _NONE_HIT = [None]

    @case("detector.AnomalyDetector._analyse_hits(hit without get)", _DET, _NONE_HIT)
    def _():
        raising(lambda: _DET._analyse_hits(_TS, _D_PAYLOAD, _NONE_HIT, _CONF), AttributeError)()

    _D_USER = {"a": _RAISING}

    @case("detector.AnomalyDetector._build_query(ordinary)", _DET, _D_PAYLOAD)
    def _():
        _DET._build_query(_D_PAYLOAD)

    @case("detector.AnomalyDetector._build_query(__float__ raises)", _DET, _D_USER, _RAISING)
    def _():
        raising(lambda: _DET._build_query(_D_USER), Boom)()

    @case("detector.AnomalyDetector.observe(confidence not a number)", _DET, _BAD_TEXT)
    def _():
        raising(lambda: _DET.observe(_TS, _D_PAYLOAD, _BAD_TEXT), TypeError)()

    @case("detector.AnomalyDetector.observe(below the gate)", _DET, _D_PAYLOAD)
    def _():
        _DET.observe(_TS, _D_PAYLOAD, 0.0)

    _EV_DET = detector.AnomalyDetector(_QCLIENT, _DEV)
    for _ in range(50):
        _EV_DET.observe(_TS, _D_PAYLOAD, _CONF)

    @case("detector.AnomalyDetector.get_events", _EV_DET)
    def _():
        _EV_DET.get_events()

    _SNAP = {"a": _F1}

    @case("detector.AnomalyEvent + to_dict", _SNAP, _TS, _DEV)
    def _():
        detector.AnomalyEvent(_DEV, _TS, 3, "FAULT", _CONF, 0.5, _SNAP).to_dict()

    @case("detector.AnomalyEvent(wrong type)", _NONE_LIST)
    def _():
        raising(lambda: detector.AnomalyEvent(_DEV, _TS, 3, "FAULT", _CONF, 0.5, _NONE_LIST), TypeError)()

    @case("detector.AnomalyDetector(brain, device_id)", _QCLIENT, _DEV)
    def _():
        detector.AnomalyDetector(_QCLIENT, _DEV)


# --- composite -----------------------------------------------------------------
composite = _module("orvane.qx.composite")
np = _module("numpy")
if composite is not None and np is not None:
    _B = composite.CompositeStateBuilder(composite.CompositeConfig(per_modality_dim=16, fused_dim=32))
    _RAW = np.linspace(-1, 1, 24, dtype=np.float64).reshape(4, 6)
    _RAW_LIST = [0.5, -1.25, 2.0, 3.5]
    _PIECE = np.linspace(0, 1, 16, dtype=np.float32)

    @case("composite.CompositeStateBuilder.project(array)", _B, _RAW)
    def _():
        _B.project(_RAW, "imu")

    @case("composite.CompositeStateBuilder.project(list)", _B, _RAW_LIST)
    def _():
        _B.project(_RAW_LIST, "text")

    _RAGGED = [[1.0, 2.0], [3.0]]

    @case("composite.CompositeStateBuilder.project(ragged)", _B, _RAGGED)
    def _():
        raising(lambda: _B.project(_RAGGED, "imu"), ValueError)()

    _R_USER = [1.0, _RAISING]

    @case("composite.CompositeStateBuilder.project(__float__ raises)", _B, _R_USER, _RAISING)
    def _():
        raising(lambda: _B.project(_R_USER, "imu"), Boom)()

    @case("composite.CompositeStateBuilder.project(name not text)", _B, _RAW_LIST, _NONE_LIST)
    def _():
        raising(lambda: _B.project(_RAW_LIST, _NONE_LIST), TypeError)()

    @case("composite.CompositeStateBuilder.fuse(two, projected)", _B, _PIECE)
    def _():
        _B.fuse(_PIECE, text_emb=_PIECE)

    @case("composite.CompositeStateBuilder.fuse(two, same length)", _B, _PIECE)
    def _():
        _B.fuse(_PIECE, _PIECE)

    @case("composite.CompositeStateBuilder.fuse(none)", _B)
    def _():
        _B.fuse()

    _SCALAR = np.float32(1.0)

    @case("composite.CompositeStateBuilder.fuse(scalar piece)", _B, _SCALAR, _PIECE)
    def _():
        raising(lambda: _B.fuse(_SCALAR, _PIECE), ValueError)()

    _BAD_CFG = composite.CompositeConfig(w_imu=_BAD_TEXT)
    _B_BAD = composite.CompositeStateBuilder(_BAD_CFG)

    @case("composite.CompositeStateBuilder.fuse(bad weight)", _B_BAD, _BAD_CFG, _BAD_TEXT, _PIECE)
    def _():
        raising(lambda: _B_BAD.fuse(_PIECE), ValueError)()

    _SURROGATE = "\ud800" + "x"

    @case("composite._stable_seed / _to_np_1d / _l2", _RAW_LIST, _PIECE)
    def _():
        composite._stable_seed("imu", 64, 256)
        composite._l2(composite._to_np_1d(_RAW_LIST))
        composite._l2(_PIECE)

    @case("composite._stable_seed(lone surrogate)", _SURROGATE)
    def _():
        raising(lambda: composite._stable_seed(_SURROGATE, 1, 2), UnicodeEncodeError)()

    @case("composite._project", _PIECE)
    def _():
        composite._project(_PIECE, 8, "x")

    @case("composite.CompositeStateBuilder(cfg)", _BAD_CFG)
    def _():
        composite.CompositeStateBuilder(_BAD_CFG)


# --- retrieval -----------------------------------------------------------------
retrieval = _module("orvane.qx.retrieval")
if retrieval is not None and np is not None:

    class StatusError(Exception):
        def __init__(self, code):
            super().__init__(f"status {code}")
            self.status_code = code

    class VectorClient:
        class config:
            device_id = "cfg-dev"

        def __init__(self, response=None, fail=None):
            self.response = response
            self.fail = fail

        def _request(self, method, path, json=None):
            if self.fail is not None:
                raise self.fail()
            return self.response

    _RESP = {"id": "v-1", "episode_ids": ["a", None], "results": [{"score": 0.5}]}
    _VCLIENT = VectorClient(_RESP)
    _RET = retrieval.CrossModalRetriever(_VCLIENT)
    _EMB = np.linspace(0, 1, 32, dtype=np.float32)
    _META = {"site": "north"}
    _ITEMS = [{"embedding": _EMB, "metadata": _META}, {"embedding": None, "state_id": "s"}, {"x": 1}]

    @case("retrieval.CrossModalRetriever.ingest", _RET, _VCLIENT, _EMB, _META, _RESP)
    def _():
        _RET.ingest(_EMB, _DEV, _META)

    @case("retrieval.CrossModalRetriever.ingest_batch", _RET, _ITEMS, _EMB, _META)
    def _():
        _RET.ingest_batch(_ITEMS, _DEV)

    @case("retrieval.CrossModalRetriever.retrieve", _RET, _EMB)
    def _():
        _RET.retrieve(_EMB, None, 5.9)

    _V404 = VectorClient(fail=lambda: StatusError(404))
    _RET404 = retrieval.CrossModalRetriever(_V404)

    @case("retrieval.CrossModalRetriever.retrieve(404)", _RET404, _V404, _EMB)
    def _():
        raising(lambda: _RET404.retrieve(_EMB), retrieval.RetrievalNotAvailable)()

    _V500 = VectorClient(fail=lambda: StatusError(500))
    _RET500 = retrieval.CrossModalRetriever(_V500)

    @case("retrieval.CrossModalRetriever.ingest(500)", _RET500, _V500, _EMB)
    def _():
        raising(lambda: _RET500.ingest(_EMB), StatusError)()

    _VBAD = VectorClient({"episode_ids": ("a",), "results": "x"})
    _RETBAD = retrieval.CrossModalRetriever(_VBAD)

    @case("retrieval.CrossModalRetriever(response field of the wrong type)", _RETBAD, _ITEMS)
    def _():
        raising(lambda: _RETBAD.ingest_batch(_ITEMS), TypeError)()
        raising(lambda: _RETBAD.retrieve(_EMB), TypeError)()

    _RAGGED_ITEMS = [{"embedding": [[1.0], [1.0, 2.0]]}]

    @case("retrieval.CrossModalRetriever.ingest_batch(bad embedding)", _RET, _RAGGED_ITEMS)
    def _():
        raising(lambda: _RET.ingest_batch(_RAGGED_ITEMS), ValueError)()

    @case("retrieval.CrossModalRetriever(argument types)", _RET, _NONE_LIST)
    def _():
        raising(lambda: _RET.ingest(_EMB, _NONE_LIST), TypeError)()
        raising(lambda: _RET.retrieve(_EMB, k=_NONE_LIST), TypeError)()
        raising(lambda: _RET._post("/qx/query", _NONE_LIST), TypeError)()

    @case("retrieval.CrossModalRetriever._post", _RET, _META)
    def _():
        _RET._post("/qx/ingest", _META)


# --- imu -----------------------------------------------------------------------
imu = _module("orvane.qx.encoders.imu") if np is not None else None
if imu is not None:
    _ENC = imu.IMUEncoder()
    _WINDOW = np.linspace(-1, 1, 6 * 32, dtype=np.float32).reshape(32, 6)
    _WIN_LIST = _WINDOW.T.tolist()
    _BAD_WINDOW = np.ones((5, 7), np.float32)

    for _ in range(3):  # torch sets up its kernels and pools on the first passes
        _ENC.encode(_WINDOW)
    _encode_1_in_5000 = every(5000, lambda: _ENC.encode(_WINDOW))

    @case("imu.IMUEncoder.encode (1 in 5000)", _ENC, _WINDOW)
    def _():
        _encode_1_in_5000()

    @case("imu.IMUEncoder._to_tensor(array)", _ENC, _WINDOW)
    def _():
        _ENC._to_tensor(_WINDOW)

    _to_tensor_list_1_in_20 = every(20, lambda: _ENC._to_tensor(_WIN_LIST))

    @case("imu.IMUEncoder._to_tensor(nested lists) (1 in 20)", _ENC, _WIN_LIST)
    def _():
        _to_tensor_list_1_in_20()

    @case("imu.IMUEncoder._to_tensor(wrong shape)", _ENC, _BAD_WINDOW)
    def _():
        raising(lambda: _ENC._to_tensor(_BAD_WINDOW), ValueError)()

    _T_USER = [[1.0, _RAISING]] * 6

    @case("imu.IMUEncoder.encode(__float__ raises)", _ENC, _T_USER, _RAISING)
    def _():
        raising(lambda: _ENC.encode(_T_USER), Boom)()

    _MISSING = "/nonexistent/checkpoint.pt"

    _load_1_in_50 = every(50, lambda: raising(lambda: _ENC.load_checkpoint(_MISSING), FileNotFoundError)())

    @case("imu.IMUEncoder.load_checkpoint(missing file) (1 in 50)", _ENC, _MISSING)
    def _():
        _load_1_in_50()

    @case("imu.IMUEncoder.load_checkpoint(wrong type)", _ENC, _NONE_LIST)
    def _():
        raising(lambda: _ENC.load_checkpoint(_NONE_LIST), TypeError)()

    @case("imu.IMUEncoder(wrong type)", _NONE_LIST)
    def _():
        raising(lambda: imu.IMUEncoder(device=_NONE_LIST), TypeError)()
