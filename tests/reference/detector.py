"""AnomalyEvent and AnomalyDetector in plain Python.

The configuration constants are read from the compiled module at each use,
as the compiled code reads them.
"""

import threading
import time
from collections import deque

import orvane.brenlow.detector as D

from .host import check, neumaier_sum, real, type_error

HEALTHY = ("HEALTHY", "NORMAL", "OK", "NOMINAL")


def _int(value, name):
    if type(value) is int:
        return value
    tp = type(value)
    if isinstance(value, (str, bytes, complex)) or not (
        hasattr(tp, "__int__") or hasattr(tp, "__index__") or hasattr(tp, "__float__")
    ):
        raise type_error(name, "int", value)
    return int(value)


def build_query(payload):
    parts = []
    for key, value in list(payload.items())[:20]:
        try:
            v = round(float(value), 4)
        except (TypeError, ValueError):
            continue
        parts.append(f"{key}={v}")
    return "sensor state " + " ".join(parts)


def analyse_hits(device_id, timestamp, payload, hits, confidence):
    """The event's to_dict() without detected_at, or None."""
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
            label = str(outcome)
        if label:
            outcomes.append(label)
            scores.append(score)
    if not outcomes:
        return None
    counts = {}
    for label in outcomes:
        counts[label] = counts.get(label, 0) + 1
    dominant = max(counts, key=counts.get)
    ratio = counts[dominant] / len(outcomes)
    threshold = max(D.DETECTOR_CLUSTER_THRESHOLD * confidence, 0.4)
    if ratio < threshold:
        return None
    if dominant.upper() in HEALTHY:
        return None
    avg = neumaier_sum(scores) / len(scores)
    return {
        "device_id": device_id,
        "timestamp": timestamp,
        "similar_episode_count": len(outcomes),
        "dominant_outcome": dominant,
        "confidence": float(confidence),
        "query_score": round(avg, 4),
        "channel_snapshot": {k: float(v) for k, v in list(payload.items())[:20]},
    }


class AnomalyEvent:
    def __init__(
        self, device_id, timestamp, similar_episode_count, dominant_outcome, confidence, query_score, channel_snapshot
    ):
        self.device_id = check(device_id, str, "device_id")
        self.timestamp = check(timestamp, str, "timestamp")
        self.similar_episode_count = _int(similar_episode_count, "similar_episode_count")
        self.dominant_outcome = check(dominant_outcome, str, "dominant_outcome")
        self.confidence = real(confidence)
        self.query_score = real(query_score)
        self.channel_snapshot = check(channel_snapshot, dict, "channel_snapshot")
        self.detected_at = time.time()

    def to_dict(self):
        return {
            "device_id": self.device_id,
            "timestamp": self.timestamp,
            "similar_episode_count": self.similar_episode_count,
            "dominant_outcome": self.dominant_outcome,
            "confidence": self.confidence,
            "query_score": self.query_score,
            "channel_snapshot": self.channel_snapshot,
            "detected_at": self.detected_at,
        }


class AnomalyDetector:
    def __init__(self, brain, device_id):
        self.brain = brain
        self.device_id = check(device_id, str, "device_id")
        self.events = deque(maxlen=1000)
        self._lock = threading.Lock()
        self._check_counter = 0

    def observe(self, timestamp, payload, confidence):
        check(timestamp, str, "timestamp")
        check(payload, dict, "payload")
        confidence = real(confidence)
        if confidence < D.DETECTOR_MIN_CONFIDENCE:
            return None
        self._check_counter += 1
        if self._check_counter % D.DETECTOR_CHECK_EVERY != 0:
            return None
        text = self._build_query(payload)
        try:
            hits = self.brain.query(
                text, k=D.DETECTOR_TOP_K, device_id=self.device_id, include_episode=True, prefer_success=True
            )
        except Exception:
            return None
        if not hits:
            return None
        return self._analyse_hits(timestamp, payload, hits, confidence)

    def _build_query(self, payload):
        return build_query(check(payload, dict, "payload"))

    def _analyse_hits(self, timestamp, payload, hits, confidence):
        check(timestamp, str, "timestamp")
        check(payload, dict, "payload")
        check(hits, list, "hits")
        record = analyse_hits(self.device_id, timestamp, payload, hits, real(confidence))
        if record is None:
            return None
        event = AnomalyEvent(**record)
        with self._lock:
            self.events.append(event)
        return event

    def get_events(self):
        with self._lock:
            return [e.to_dict() for e in self.events]
