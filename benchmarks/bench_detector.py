"""AnomalyDetector hot paths against a plain-Python detector with the same rules.

    python benchmarks/bench_detector.py

Prints, for each case, how many times faster the compiled module is than the
baseline (median of timeit.repeat, both measured in this run).
"""

import os
import statistics
import sys
import timeit

import orvane.brenlow.detector as D
from orvane.brenlow.detector import AnomalyDetector

# The baseline: the plain-Python reference the tests hold the module to
# (tests/reference/detector.py), argument checks included. Both read the
# configuration from the compiled module.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference import detector as ref  # noqa: E402

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
    # A cadence that is never reached, so that every counted reading is a
    # non-query reading on both sides.
    D.DETECTOR_CHECK_EVERY = 10**9
    ours, base = AnomalyDetector(None, "dev"), ref.AnomalyDetector(None, "dev")
    a = ours._analyse_hits("t", PAYLOAD, HITS, 0.8).to_dict()
    b = base._analyse_hits("t", PAYLOAD, HITS, 0.8).to_dict()
    del a["detected_at"], b["detected_at"]
    if a != b or [type(v) for v in a.values()] != [type(v) for v in b.values()]:
        sys.exit("events differ: the benchmark would compare different work")

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
