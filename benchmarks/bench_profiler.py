"""StatisticalProfiler.observe and snapshot against a plain-Python profiler of the same rules.

observe: one 10-channel payload of floats into a warmed-up profiler.
snapshot: 10 channels whose windows are full (100 values each).

    python benchmarks/bench_profiler.py

The baseline uses the builtin sum(), which is what a plain-Python profiler
would call (compensated from Python 3.12 on).
"""

import math
import random
import statistics
import threading
import timeit
from collections import deque

import orvane.brenlow.profiler as P

PROFILER_CORRELATION_WINDOW = P.PROFILER_CORRELATION_WINDOW
PROFILER_MIN_DATAPOINTS = P.PROFILER_MIN_DATAPOINTS
PROFILER_OUTLIER_ZSCORE = P.PROFILER_OUTLIER_ZSCORE
PROFILER_PERIODICITY_MIN_POINTS = P.PROFILER_PERIODICITY_MIN_POINTS


def _type_error(arg, expected, value):
    return TypeError("Argument '%s' has incorrect type (expected %s, got %s)"
                     % (arg, expected, type(value).__name__))


class PyChannelStats:
    def __init__(self, name):
        if type(name) is not str:
            raise _type_error("name", "str", name)
        self.name = name
        self.count = 0
        self.min_val = math.inf
        self.max_val = -math.inf
        self.mean = 0.0
        self.M2 = 0.0
        self.prev_value = None
        self.delta_sum = 0.0
        self.delta_count = 0
        self.outlier_count = 0
        self.history = deque(maxlen=PROFILER_CORRELATION_WINDOW)

    def update(self, value):
        if isinstance(value, str):
            raise _type_error("value", "float", value)
        value = float(value)
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
        if self.count < 2:
            return 0.0
        return self.M2 / (self.count - 1)

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
        if isinstance(value, str):
            raise _type_error("value", "float", value)
        value = float(value)
        if self.count < PROFILER_MIN_DATAPOINTS:
            return False
        std = self.std
        if std == 0:
            return False
        z = abs(value - self.mean) / std
        is_outlier = z > PROFILER_OUTLIER_ZSCORE
        if is_outlier:
            self.outlier_count += 1
        return is_outlier

    @property
    def periodicity_score(self):
        vals = list(self.history)
        n = len(vals)
        if n < PROFILER_PERIODICITY_MIN_POINTS:
            return 0.0
        mean_v = sum(vals) / n
        centered = [v - mean_v for v in vals]
        amps = []
        for k in range(1, max(2, n // 2)):
            re = 0.0
            im = 0.0
            for t in range(n):
                ang = 2.0 * math.pi * k * t / n
                re += centered[t] * math.cos(ang)
                im -= centered[t] * math.sin(ang)
            amps.append(math.sqrt(re * re + im * im))
        total = sum(amps)
        if total == 0:
            return 0.0
        return round(max(amps) / total, 4)

    def to_dict(self):
        return {"name": self.name, "count": self.count, "min": self.min_val, "max": self.max_val,
                "mean": self.mean, "variance": self.variance, "std": self.std,
                "value_range": self.value_range, "mean_rate_of_change": self.mean_rate_of_change,
                "outlier_frequency": self.outlier_frequency, "periodicity_score": self.periodicity_score}


class PyStatisticalProfiler:
    def __init__(self, device_id):
        if type(device_id) is not str:
            raise _type_error("device_id", "str", device_id)
        self.device_id = device_id
        self.channels = {}
        self.total_observations = 0
        self._lock = threading.Lock()

    def observe(self, payload):
        if type(payload) is not dict:
            raise _type_error("payload", "dict", payload)
        with self._lock:
            self.total_observations += 1
            for key, value in payload.items():
                try:
                    v = float(value)
                except (TypeError, ValueError):
                    continue
                if key not in self.channels:
                    self.channels[key] = PyChannelStats(key)
                self.channels[key].update(v)
                self.channels[key].check_outlier(v)

    @property
    def confidence_score(self):
        if self.total_observations <= 0:
            return 0.0
        ratio = self.total_observations / max(PROFILER_MIN_DATAPOINTS, 1)
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
                m1 = sum(h1) / n
                for k2 in keys:
                    if k2 == k1:
                        result[k1][k2] = 1.0
                        continue
                    h2 = list(self.channels[k2].history)[-n:]
                    if len(h2) < n:
                        continue
                    m2 = sum(h2) / n
                    num = sum((h1[i] - m1) * (h2[i] - m2) for i in range(n))
                    d1 = math.sqrt(sum((a - m1) ** 2 for a in h1))
                    d2 = math.sqrt(sum((b - m2) ** 2 for b in h2))
                    result[k1][k2] = round(num / (d1 * d2), 4) if d1 and d2 else 0.0
            return result

    def snapshot(self):
        with self._lock:
            records = {k: c.to_dict() for k, c in self.channels.items()}
            total = self.total_observations
        return {"device_id": self.device_id, "total_observations": total,
                "confidence_score": self.confidence_score, "channel_count": len(records),
                "channels": records, "correlations": self.compute_correlations()}


def per_call(stmt, number, repeat=7):
    times = timeit.repeat(stmt, number=number, repeat=repeat)
    return statistics.median(times) / number


def warmed(cls, rng, names, rounds):
    p = cls("bench-device")
    for r in range(rounds):
        p.observe({n: math.sin(r / (i + 2)) * 10 + rng.random() for i, n in enumerate(names)})
    return p


def main():
    rng = random.Random(7)
    names = [f"channel_{i}" for i in range(10)]
    payloads = [{n: rng.gauss(0.0, 1.0) for n in names} for _ in range(64)]

    ours, base = warmed(P.StatisticalProfiler, rng, names, 300), warmed(PyStatisticalProfiler, rng, names, 300)
    assert ours.snapshot()["channels"].keys() == base.snapshot()["channels"].keys()

    it_ours, it_base = iter(range(10**12)), iter(range(10**12))

    def observe_ours():
        ours.observe(payloads[next(it_ours) & 63])

    def observe_base():
        base.observe(payloads[next(it_base) & 63])

    t_base = per_call(observe_base, 2000)
    t_ours = per_call(observe_ours, 2000)
    print(f"observe, 10-channel payload: {t_base / t_ours:6.1f}x faster "
          f"(plain Python {t_base * 1e6:.2f} us, compiled {t_ours * 1e6:.3f} us)")

    full_ours = warmed(P.StatisticalProfiler, rng, names, 150)
    full_base = warmed(PyStatisticalProfiler, rng, names, 150)
    assert all(len(c.history) == 100 for c in full_ours.channels.values())
    t_base = per_call(full_base.snapshot, 3, repeat=5)
    t_ours = per_call(full_ours.snapshot, 200)
    print(f"snapshot, 10 full channels:  {t_base / t_ours:6.1f}x faster "
          f"(plain Python {t_base * 1e3:.2f} ms, compiled {t_ours * 1e6:.1f} us)")


if __name__ == "__main__":
    main()
