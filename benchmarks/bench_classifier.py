"""SchemaClassifier.classify against a plain-Python classifier of the same rules.

The input is the snapshot of a 10-channel device whose windows are full
(100 values each): from the profiler when it is built, otherwise a record of
the same shape made here.

    python benchmarks/bench_classifier.py
"""

import math
import os
import statistics
import sys
import time
import timeit

import orvane.brenlow.classifier as C

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
# The baseline: the plain-Python reference the tests hold the module to
# (tests/reference/classifier.py), argument check included; it reads the
# thresholds from the compiled module at each use, as the compiled code does.
from reference.classifier import SchemaClassifier as PySchemaClassifier  # noqa: E402


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
        recs[name] = {
            "name": name,
            "count": len(xs),
            "min": min(xs),
            "max": max(xs),
            "mean": mean,
            "variance": var,
            "std": math.sqrt(var),
            "value_range": max(xs) - min(xs),
            "mean_rate_of_change": roc,
            "outlier_frequency": 0.06 if name == "ch5" else 0.0,
            "periodicity_score": 0.45 if name in ("ch0", "ch1") else 0.1,
        }
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
    return {
        "device_id": "bench",
        "total_observations": windows,
        "confidence_score": 0.5829,
        "channel_count": channels,
        "channels": recs,
        "correlations": corr,
    }


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
