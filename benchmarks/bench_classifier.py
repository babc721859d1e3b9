"""SchemaClassifier.classify against a plain-Python classifier of the same rules.

The input is the snapshot of a 10-channel device whose windows are full
(100 values each): from the profiler when it is built, otherwise a record of
the same shape made here.

    python benchmarks/bench_classifier.py
"""

import math
import statistics
import sys
import time
import timeit

import orvane.brenlow.classifier as C

# The baseline's thresholds are its own module globals, read at each use,
# as a plain-Python classifier module would hold them.
DYNAMIC_VARIANCE_THRESHOLD = C.DYNAMIC_VARIANCE_THRESHOLD
STABLE_VARIANCE_THRESHOLD = C.STABLE_VARIANCE_THRESHOLD
HIGH_ROC_THRESHOLD = C.HIGH_ROC_THRESHOLD
CORRELATION_THRESHOLD = C.CORRELATION_THRESHOLD
OUTLIER_FREQUENCY_THRESHOLD = C.OUTLIER_FREQUENCY_THRESHOLD
PERIODICITY_THRESHOLD = C.PERIODICITY_THRESHOLD


class PySchemaClassifier:
    """The classifier in plain Python, argument check included."""

    def classify(self, profiler_snapshot):
        if type(profiler_snapshot) is not dict:
            raise TypeError("Argument 'profiler_snapshot' has incorrect type (expected dict, got %s)"
                            % type(profiler_snapshot).__name__)
        channels = profiler_snapshot.get("channels", {})
        correlations = profiler_snapshot.get("correlations", {})
        confidence = float(profiler_snapshot.get("confidence_score", 0.0) or 0.0)
        classifications = {}
        for ch_name, stats in channels.items():
            labels = []
            count = int(stats.get("count", 0))
            variance = float(stats.get("variance", 0.0) or 0.0)
            roc = float(stats.get("mean_rate_of_change", 0.0) or 0.0)
            outlier_freq = float(stats.get("outlier_frequency", 0.0) or 0.0)
            periodicity = float(stats.get("periodicity_score", 0.0) or 0.0)
            if count < 5:
                classifications[ch_name] = {"labels": ["unknown"], "significance_score": 0.0,
                                            "confidence": confidence}
                continue
            significance = 0.0
            if variance > DYNAMIC_VARIANCE_THRESHOLD and roc > HIGH_ROC_THRESHOLD:
                labels.append("dynamic")
                significance += 0.4
            if variance <= STABLE_VARIANCE_THRESHOLD:
                labels.append("stable")
            elif variance <= DYNAMIC_VARIANCE_THRESHOLD and roc <= HIGH_ROC_THRESHOLD:
                labels.append("slow_moving")
                significance += 0.1
            if periodicity >= PERIODICITY_THRESHOLD:
                labels.append("periodic")
                significance += 0.2
            if outlier_freq > OUTLIER_FREQUENCY_THRESHOLD:
                labels.append("outlier_prone")
                significance += 0.2
            correlated_with = []
            partners = correlations.get(ch_name, {})
            if isinstance(partners, dict):
                for other, value in partners.items():
                    if other != ch_name and abs(float(value)) >= CORRELATION_THRESHOLD:
                        correlated_with.append(other)
            if correlated_with:
                labels.append("correlated")
                significance += 0.2
            if not labels:
                labels.append("unknown")
            classifications[ch_name] = {
                "labels": labels,
                "significance_score": round(min(significance, 1.0), 4),
                "confidence": confidence,
                "correlated_with": correlated_with,
                "stats_summary": {
                    "variance": round(variance, 6),
                    "mean_roc": round(roc, 6),
                    "outlier_freq": round(outlier_freq, 4),
                    "periodicity_score": round(periodicity, 4),
                },
            }
        ranked = sorted(classifications.items(), key=lambda x: x[1]["significance_score"], reverse=True)
        return {
            "confidence": confidence,
            "channel_count": len(classifications),
            "significant_channels": [n for n, c in ranked if c["significance_score"] > 0.2],
            "stable_channels": [n for n, c in classifications.items() if "stable" in c["labels"]],
            "classifications": classifications,
        }


def channel_values(i, n=100):
    """Ten kinds of channel: waves, ramps, noise-like, flat."""
    out = []
    for t in range(n):
        if i < 3:
            out.append(math.sin(t / (2 + i)) * (1 + i))
        elif i < 5:
            out.append(0.01 * t * (i - 2))
        elif i < 8:
            out.append(((t * 7919 + i * 104729) % 1000) / 1000.0)
        else:
            out.append(20.0 + (t % 2) * 1e-4)
    return out


def made_snapshot(windows=100, channels=10):
    """A snapshot record with the profiler's shape, computed from full windows."""
    series = {f"ch{i}": channel_values(i, windows) for i in range(channels)}
    recs = {}
    for name, xs in series.items():
        mean = sum(xs) / len(xs)
        var = sum((x - mean) ** 2 for x in xs) / (len(xs) - 1)
        roc = sum(abs(b - a) for a, b in zip(xs, xs[1:])) / (len(xs) - 1)
        recs[name] = {"name": name, "count": len(xs), "min": min(xs), "max": max(xs), "mean": mean,
                      "variance": var, "std": math.sqrt(var), "value_range": max(xs) - min(xs),
                      "mean_rate_of_change": roc, "outlier_frequency": 0.06 if name == "ch5" else 0.0,
                      "periodicity_score": 0.45 if name in ("ch0", "ch1") else 0.1}
    corr = {}
    for a, xa in series.items():
        corr[a] = {}
        for b, xb in series.items():
            if a == b:
                corr[a][b] = 1.0
                continue
            ma, mb = sum(xa) / len(xa), sum(xb) / len(xb)
            num = sum((x - ma) * (y - mb) for x, y in zip(xa, xb))
            da = math.sqrt(sum((x - ma) ** 2 for x in xa))
            db = math.sqrt(sum((y - mb) ** 2 for y in xb))
            corr[a][b] = round(num / (da * db), 4) if da and db else 0.0
    return {"device_id": "bench", "total_observations": windows, "confidence_score": 0.5829,
            "channel_count": channels, "channels": recs, "correlations": corr}


def profiler_snapshot():
    try:
        from orvane.brenlow.profiler import StatisticalProfiler
    except ImportError:
        return None
    p = StatisticalProfiler("bench")
    series = [channel_values(i, 150) for i in range(10)]
    for t in range(150):
        p.observe({f"ch{i}": series[i][t] for i in range(10)})
    return p.snapshot()


def median_ratio(baseline, ours, number=300, rounds=31):
    """Median over rounds of baseline time / our time, each round timing the
    two back to back. The clock is this process's CPU time, so that time
    spent waiting for a busy machine's cores counts for neither."""
    ratios = []
    for _ in range(rounds):
        t_base = timeit.repeat(baseline, number=number, repeat=1, timer=time.process_time)[0]
        t_ours = timeit.repeat(ours, number=number, repeat=1, timer=time.process_time)[0]
        ratios.append(t_base / t_ours)
    return statistics.median(ratios)


def main():
    snap = profiler_snapshot()
    source = "profiler"
    if snap is None:
        snap, source = made_snapshot(), "hand-built"
    ours, base = C.SchemaClassifier(), PySchemaClassifier()
    if ours.classify(snap) != base.classify(snap):
        sys.exit("results differ: the benchmark would compare different work")
    ratio = median_ratio(lambda: base.classify(snap), lambda: ours.classify(snap))
    print(f"classify, 10 channels x 100 values ({source} snapshot): {ratio:.1f}x faster than plain Python")


if __name__ == "__main__":
    main()
