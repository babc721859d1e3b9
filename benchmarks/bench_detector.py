"""AnomalyDetector hot paths against a plain-Python detector with the same rules.

    python benchmarks/bench_detector.py

Prints, for each case, how many times faster the compiled module is than the
baseline (median of timeit.repeat, both measured in this run).
"""

import math
import statistics
import threading
import time
import timeit
from collections import deque

import orvane.brenlow.detector as D
from orvane.brenlow.detector import AnomalyDetector

# -- baseline: the same behaviour in plain Python, argument checks included ---

DETECTOR_CHECK_EVERY = 10
DETECTOR_MIN_CONFIDENCE = 0.5
DETECTOR_TOP_K = 10
DETECTOR_CLUSTER_THRESHOLD = 0.6
HEALTHY = ("HEALTHY", "NORMAL", "OK", "NOMINAL")


def _type_error(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _check(value, tp, name):
    if type(value) is not tp:
        raise _type_error(name, tp.__name__, value)
    return value


def _real(value):
    if type(value) is float:
        return value
    if isinstance(value, (str, bytes, complex)) or not (
        hasattr(type(value), "__float__") or hasattr(type(value), "__index__")
    ):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


def _int(value, name):
    if type(value) is int:
        return value
    if isinstance(value, (str, bytes, complex)) or not (
        hasattr(type(value), "__int__") or hasattr(type(value), "__index__") or hasattr(type(value), "__float__")
    ):
        raise _type_error(name, "int", value)
    return int(value)


def _fsum(values):
    s = c = 0.0
    for x in values:
        t = s + x
        if abs(s) >= abs(x):
            c += (s - t) + x
        else:
            c += (x - t) + s
        s = t
    return s + c if c and math.isfinite(c) else s


class PyAnomalyEvent:
    def __init__(
        self, device_id, timestamp, similar_episode_count, dominant_outcome, confidence, query_score, channel_snapshot
    ):
        self.device_id = _check(device_id, str, "device_id")
        self.timestamp = _check(timestamp, str, "timestamp")
        self.similar_episode_count = _int(similar_episode_count, "similar_episode_count")
        self.dominant_outcome = _check(dominant_outcome, str, "dominant_outcome")
        self.confidence = _real(confidence)
        self.query_score = _real(query_score)
        self.channel_snapshot = _check(channel_snapshot, dict, "channel_snapshot")
        self.detected_at = time.time()


class PyAnomalyDetector:
    def __init__(self, brain, device_id):
        self.brain = brain
        self.device_id = _check(device_id, str, "device_id")
        self.events = deque(maxlen=1000)
        self._lock = threading.Lock()
        self._check_counter = 0

    def observe(self, timestamp, payload, confidence):
        _check(timestamp, str, "timestamp")
        _check(payload, dict, "payload")
        confidence = _real(confidence)
        if confidence < DETECTOR_MIN_CONFIDENCE:
            return None
        self._check_counter += 1
        if self._check_counter % DETECTOR_CHECK_EVERY != 0:
            return None
        query_text = self._build_query(payload)
        try:
            result = self.brain.query(
                query_text, k=DETECTOR_TOP_K, device_id=self.device_id, include_episode=True, prefer_success=True
            )
        except Exception:
            return None
        if not result:
            return None
        return self._analyse_hits(timestamp, payload, result, confidence)

    def _build_query(self, payload):
        _check(payload, dict, "payload")
        parts = []
        for key, value in list(payload.items())[:20]:
            try:
                v = round(float(value), 4)
            except (TypeError, ValueError):
                continue
            parts.append(f"{key}={v}")
        return "sensor state " + " ".join(parts)

    def _analyse_hits(self, timestamp, payload, hits, confidence):
        _check(timestamp, str, "timestamp")
        _check(payload, dict, "payload")
        _check(hits, list, "hits")
        confidence = _real(confidence)
        outcomes, scores = [], []
        for hit in hits:
            score = float(hit.get("score") or 0.0)
            outcome = hit.get("outcome")
            label = None
            if isinstance(outcome, dict):
                result = outcome.get("result", "")
                if isinstance(result, str) and result and result != "pending":
                    metrics = outcome.get("metrics")
                    metrics = metrics if isinstance(metrics, dict) else {}
                    label = str(metrics.get("health_label", result))
            elif isinstance(outcome, str) and outcome != "pending":
                label = outcome
            if label:
                outcomes.append(label)
                scores.append(score)
        if not outcomes:
            return None
        counts = {}
        for label in outcomes:
            counts[label] = counts.get(label, 0) + 1
        dominant = max(counts, key=counts.get)
        if counts[dominant] / len(outcomes) < max(DETECTOR_CLUSTER_THRESHOLD * confidence, 0.4):
            return None
        if dominant.upper() in HEALTHY:
            return None
        event = PyAnomalyEvent(
            device_id=self.device_id,
            timestamp=timestamp,
            similar_episode_count=len(outcomes),
            dominant_outcome=dominant,
            confidence=confidence,
            query_score=round(_fsum(scores) / len(scores), 4),
            channel_snapshot={k: float(v) for k, v in list(payload.items())[:20]},
        )
        with self._lock:
            self.events.append(event)
        return event


# -- cases -------------------------------------------------------------------

PAYLOAD = {"temp": 21.456789, "rpm": 1500, "pressure": 101.325, "vibration": 0.0123, "load": 0.5}
HITS = [
    {"score": 0.91, "outcome": "FAULT", "episode": None},
    {"score": 0.88, "outcome": {"result": "done", "metrics": {"health_label": "FAULT"}}, "episode": None},
    {"score": 0.86, "outcome": "FAULT", "episode": None},
    {"score": 0.84, "outcome": "pending", "episode": None},
    {"score": 0.81, "outcome": {"result": "overheat"}, "episode": None},
    {"score": 0.79, "outcome": "FAULT", "episode": None},
    {"score": "0.75", "outcome": {"result": "done", "metrics": {"health_label": "FAULT"}}, "episode": None},
    {"score": 0.72, "outcome": "FAULT", "episode": None},
    {"score": None, "outcome": "healthy", "episode": None},
    {"score": 0.66, "outcome": "FAULT", "episode": None},
]


def speedup(stmt, base, ours, number, rounds=21):
    """Median over rounds of baseline time / our time.

    Each round times both back to back with timeit.repeat and keeps the best
    of 5 short runs of each, so that a time slice lost to another process
    (a few ms on a busy machine) does not land in the ratio.
    """
    ratios = []
    for _ in range(rounds):
        t_base = min(timeit.repeat(stmt, number=number, repeat=5, globals={"d": base, **CASE_GLOBALS}))
        t_ours = min(timeit.repeat(stmt, number=number, repeat=5, globals={"d": ours, **CASE_GLOBALS}))
        ratios.append(t_base / t_ours)
    return statistics.median(ratios)


CASE_GLOBALS = {"PAYLOAD": PAYLOAD, "HITS": HITS}


def main():
    global DETECTOR_CHECK_EVERY
    # A cadence that is never reached, so that every counted reading is a
    # non-query reading on both sides.
    DETECTOR_CHECK_EVERY = D.DETECTOR_CHECK_EVERY = 10**9
    ours, base = AnomalyDetector(None, "dev"), PyAnomalyDetector(None, "dev")
    a = ours._analyse_hits("t", PAYLOAD, HITS, 0.8)
    b = base._analyse_hits("t", PAYLOAD, HITS, 0.8)
    assert (a.dominant_outcome, a.similar_episode_count, a.query_score) == (
        b.dominant_outcome, b.similar_episode_count, b.query_score)

    cases = [
        ("observe, below the confidence gate", 'd.observe("t", PAYLOAD, 0.2)', 2_000),
        ("observe, counted non-query reading", 'd.observe("t", PAYLOAD, 0.9)', 2_000),
        ("_analyse_hits, 10 hits -> event", 'd._analyse_hits("t", PAYLOAD, HITS, 0.8)', 20),
    ]
    print(f"{'case':40s} {'speed-up':>9s}")
    for name, stmt, number in cases:
        print(f"{name:40s} {speedup(stmt, base, ours, number):8.1f}x")


if __name__ == "__main__":
    main()
