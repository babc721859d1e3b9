"""StatisticalProfiler.observe and snapshot against a plain-Python profiler of the same rules.

observe: one 10-channel payload of floats into a warmed-up profiler.
snapshot: 10 channels whose windows are full (100 values each).

    python benchmarks/bench_profiler.py

The baseline is the plain-Python reference the tests hold the module to
(tests/reference/profiler.py). Its sums are compensated as Python 3.12+'s
sum() is: on 3.12 and later the builtin sum() takes their place (the same
rule, as a plain-Python profiler would call it), on 3.11 they stay written
out in Python, since 3.11's sum() is not compensated. Either way the
snapshots of both sides are checked to be equal, float bits included, before
anything is timed.
"""

import math
import os
import random
import statistics
import struct
import sys
import timeit

import orvane.brenlow.profiler as P

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference import profiler as ref  # noqa: E402

if sys.version_info >= (3, 12):
    ref.neumaier_sum = sum  # the same summation, as the interpreter does it


def per_call(stmt, number, repeat=7):
    times = timeit.repeat(stmt, number=number, repeat=repeat)
    return statistics.median(times) / number


def readings(rng, names, rounds):
    return [{n: math.sin(r / (i + 2)) * 10 + rng.random() for i, n in enumerate(names)} for r in range(rounds)]


def warmed(cls, rows):
    p = cls("bench-device")
    for row in rows:
        p.observe(row)
    return p


def same(a, b):
    """Equal in type, key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def main():
    rng = random.Random(7)
    names = [f"channel_{i}" for i in range(10)]
    payloads = [{n: rng.gauss(0.0, 1.0) for n in names} for _ in range(64)]

    rows = readings(rng, names, 300)
    ours, base = warmed(P.StatisticalProfiler, rows), warmed(ref.StatisticalProfiler, rows)
    if not same(ours.snapshot(), base.snapshot()):
        sys.exit("snapshots differ: the benchmark would compare different work")

    it_ours, it_base = iter(range(10**12)), iter(range(10**12))

    def observe_ours():
        ours.observe(payloads[next(it_ours) & 63])

    def observe_base():
        base.observe(payloads[next(it_base) & 63])

    t_base = per_call(observe_base, 2000)
    t_ours = per_call(observe_ours, 2000)
    print(
        f"observe, 10-channel payload: {t_base / t_ours:6.1f}x faster "
        f"(plain Python {t_base * 1e6:.2f} us, compiled {t_ours * 1e6:.3f} us)"
    )

    rows = readings(rng, names, 150)
    full_ours, full_base = warmed(P.StatisticalProfiler, rows), warmed(ref.StatisticalProfiler, rows)
    assert all(len(c.history) == 100 for c in full_ours.channels.values())
    if not same(full_ours.snapshot(), full_base.snapshot()):
        sys.exit("snapshots differ: the benchmark would compare different work")
    t_base = per_call(full_base.snapshot, 3, repeat=5)
    t_ours = per_call(full_ours.snapshot, 200)
    print(
        f"snapshot, 10 full channels:  {t_base / t_ours:6.1f}x faster "
        f"(plain Python {t_base * 1e3:.2f} ms, compiled {t_ours * 1e6:.1f} us)"
    )


if __name__ == "__main__":
    main()
