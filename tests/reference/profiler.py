"""ChannelStats and StatisticalProfiler in plain Python.

The configuration constants are read from the compiled module at each use,
as the compiled code reads them, so that a test rebinding one there changes
both sides alike.
"""

import math
import threading
from collections import deque

import orvane.brenlow.profiler as P

from .host import check, neumaier_sum, real


class ChannelStats:
    def __init__(self, name):
        self.name = check(name, str, "name")
        self.count = 0
        self.min_val = math.inf
        self.max_val = -math.inf
        self.mean = 0.0
        self.M2 = 0.0
        self.prev_value = None
        self.delta_sum = 0.0
        self.delta_count = 0
        self.outlier_count = 0
        self.history = deque(maxlen=P.PROFILER_CORRELATION_WINDOW)

    def update(self, value):
        value = real(value)
        self.count += 1
        if value < self.min_val:
            self.min_val = value
        if value > self.max_val:
            self.max_val = value
        delta = value - self.mean
        self.mean += delta / self.count
        delta2 = value - self.mean
        self.M2 += delta * delta2
        if self.prev_value is not None:
            self.delta_sum += abs(value - self.prev_value)
            self.delta_count += 1
        self.prev_value = value
        self.history.append(value)

    @property
    def variance(self):
        return 0.0 if self.count < 2 else self.M2 / (self.count - 1)

    @property
    def std(self):
        return math.sqrt(self.variance)

    @property
    def value_range(self):
        return 0.0 if self.count == 0 else self.max_val - self.min_val

    @property
    def mean_rate_of_change(self):
        return 0.0 if self.delta_count == 0 else self.delta_sum / self.delta_count

    @property
    def outlier_frequency(self):
        return 0.0 if self.count == 0 else self.outlier_count / self.count

    def check_outlier(self, value):
        value = real(value)
        if self.count < P.PROFILER_MIN_DATAPOINTS:
            return False
        std = self.std
        if std == 0:
            return False
        z = abs(value - self.mean) / std
        is_outlier = z > P.PROFILER_OUTLIER_ZSCORE
        if is_outlier:
            self.outlier_count += 1
        return is_outlier

    @property
    def periodicity_score(self):
        vals = list(self.history)
        n = len(vals)
        if n < P.PROFILER_PERIODICITY_MIN_POINTS:
            return 0.0
        mean_v = neumaier_sum(vals) / n
        centered = [v - mean_v for v in vals]
        amps = []
        for k in range(1, max(2, n // 2)):
            re = im = 0.0
            for t in range(n):
                ang = 2.0 * math.pi * k * t / n
                re += centered[t] * math.cos(ang)
                im -= centered[t] * math.sin(ang)
            amps.append(math.sqrt(re * re + im * im))
        total = neumaier_sum(amps)
        if total == 0:
            return 0.0
        return round(max(amps) / total, 4)

    def to_dict(self):
        return {
            "name": self.name,
            "count": self.count,
            "min": self.min_val,
            "max": self.max_val,
            "mean": self.mean,
            "variance": self.variance,
            "std": self.std,
            "value_range": self.value_range,
            "mean_rate_of_change": self.mean_rate_of_change,
            "outlier_frequency": self.outlier_frequency,
            "periodicity_score": self.periodicity_score,
        }


class StatisticalProfiler:
    def __init__(self, device_id):
        self.device_id = check(device_id, str, "device_id")
        self.channels = {}
        self.total_observations = 0
        self._lock = threading.Lock()

    def observe(self, payload):
        check(payload, dict, "payload")
        with self._lock:
            self.total_observations += 1
            for key, value in payload.items():
                try:
                    v = float(value)
                except (TypeError, ValueError):
                    continue
                if key not in self.channels:
                    self.channels[key] = ChannelStats(key)
                self.channels[key].update(v)
                self.channels[key].check_outlier(v)

    @property
    def confidence_score(self):
        if self.total_observations <= 0:
            return 0.0
        ratio = self.total_observations / max(P.PROFILER_MIN_DATAPOINTS, 1)
        raw = 1.0 - 1.0 / (1.0 + (ratio / 4.0) ** 1.5)
        return round(min(raw, 0.99), 4)

    def compute_correlations(self):
        with self._lock:
            keys = [k for k, c in self.channels.items() if len(c.history) >= 10]
            if len(keys) < 2:
                return {}
            result = {}
            for k1 in keys:
                result[k1] = {}
                h1 = list(self.channels[k1].history)
                n = len(h1)
                m1 = neumaier_sum(h1) / n
                for k2 in keys:
                    if k2 == k1:
                        result[k1][k2] = 1.0
                        continue
                    h2 = list(self.channels[k2].history)[-n:]
                    if len(h2) < n:
                        continue
                    m2 = neumaier_sum(h2) / n
                    num = neumaier_sum((h1[i] - m1) * (h2[i] - m2) for i in range(n))
                    d1 = math.sqrt(neumaier_sum((a - m1) ** 2 for a in h1))
                    d2 = math.sqrt(neumaier_sum((b - m2) ** 2 for b in h2))
                    result[k1][k2] = round(num / (d1 * d2), 4) if d1 and d2 else 0.0
            return result

    def snapshot(self):
        with self._lock:
            records = {k: c.to_dict() for k, c in self.channels.items()}
            total = self.total_observations
        return {
            "device_id": self.device_id,
            "total_observations": total,
            "confidence_score": self.confidence_score,
            "channel_count": len(records),
            "channels": records,
            "correlations": self.compute_correlations(),
        }
