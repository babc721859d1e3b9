"""EpisodeAccumulator.observe against a plain-Python accumulator of the same behaviour.

One 10-channel reading per call and a client whose ingest does nothing. Two
measurements, each the median of repeated timeit runs, ours and the baseline
alternating in the same process:

* per reading: runs of one reading fewer than the batch size, the pending
  batch emptied between runs, so that no flush falls due: the work that
  every reading costs;
* with the configured batch size (50): every 50th call also starts a posting
  thread, and the sent episodes are freed on it. Both sides pay the same for
  the thread and the freeing, so this ratio is lower; it is given in CPU time
  of all threads (the work done) and in wall-clock time (which on a busy
  machine also holds the scheduler's delays in handing over to each new
  thread);
* cost per reading while the queue fills from empty to 50, 500 and 5,000
  pending episodes (the batch size raised so that none is sent): queued
  episodes stay alive, so the cyclic collector walks them and new ones land
  in colder memory.

    python benchmarks/bench_accumulator.py
"""

import os
import statistics
import sys
import time
import timeit

from orvane import config
from orvane.brenlow import accumulator as compiled  # its configuration, to check it matches
from orvane.brenlow.accumulator import EpisodeAccumulator

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
# The baseline: the plain-Python reference the tests hold the module to
# (tests/reference/accumulator.py): argument checks, lock, window, episode,
# batching, with the configuration read from the compiled module.
from reference.accumulator import EpisodeAccumulator as PyEpisodeAccumulator  # noqa: E402


class NullClient:
    def ingest(self, batch, device_id=None):
        return None


PAYLOADS = [{f"ch{c}": 20.0 + 0.37 * c + 0.011 * i for c in range(10)} for i in range(64)]
TIMESTAMP = "2024-06-01T12:00:00Z"


def per_call(acc, timer, fresh_batch, number, repeat):
    """Median seconds per observe call."""
    state = {"i": 0}

    def one():
        i = state["i"] = state["i"] + 1
        acc.observe(TIMESTAMP, PAYLOADS[i & 63])

    def setup():
        if fresh_batch:
            acc.pending_batch = []
            acc._last_flush_ts = time.time()

    return statistics.median(timeit.repeat(one, setup=setup, number=number, repeat=repeat, timer=timer)) / number


def compare(timer, fresh_batch, number, repeat, rounds=3):
    plain = PyEpisodeAccumulator(NullClient(), "bench-device")
    ours = EpisodeAccumulator(NullClient(), "bench-device")
    t_plain, t_ours = [], []
    for _ in range(rounds):  # alternate, so that machine noise falls on both alike
        t_plain.append(per_call(plain, timer, fresh_batch, number, repeat))
        t_ours.append(per_call(ours, timer, fresh_batch, number, repeat))
    plain.flush()
    ours.flush()
    return statistics.median(t_plain), statistics.median(t_ours)


def with_pending(pending, rounds=5):
    """Median seconds per observe call over filling an empty queue up to
    `pending` episodes (none sent: the batch size is raised meanwhile)."""
    saved = compiled.ACCUMULATOR_BATCH_SIZE
    compiled.ACCUMULATOR_BATCH_SIZE = 10**9  # both read it from the compiled module
    try:
        accs = [cls(NullClient(), "bench-device") for cls in (PyEpisodeAccumulator, EpisodeAccumulator)]
        times = [[], []]
        for _ in range(rounds):  # alternate, so that machine noise falls on both alike
            for acc, t in zip(accs, times):
                acc.pending_batch = []
                acc._last_flush_ts = time.time()
                start = time.perf_counter()
                for i in range(pending):
                    acc.observe(TIMESTAMP, PAYLOADS[i & 63])
                t.append((time.perf_counter() - start) / pending)
        for acc in accs:
            acc.pending_batch = []
        return statistics.median(times[0]), statistics.median(times[1])
    finally:
        compiled.ACCUMULATOR_BATCH_SIZE = saved


def report(label, times):
    py, cc = times
    print(f"  {label:<44} plain Python {py * 1e6:7.2f} us   orvane {cc * 1e6:6.2f} us   ratio {py / cc:5.1f}x")


def main():
    batch = config.ACCUMULATOR_BATCH_SIZE
    assert batch == compiled.ACCUMULATOR_BATCH_SIZE and batch > 1
    ours = EpisodeAccumulator(NullClient(), "bench-device").observe(TIMESTAMP, PAYLOADS[0])
    base = PyEpisodeAccumulator(NullClient(), "bench-device").observe(TIMESTAMP, PAYLOADS[0])
    base["episode_id"] = base["episode_id"][:-8] + ours["episode_id"][-8:]  # the random part
    if ours != base:
        sys.exit("episodes differ: the benchmark would compare different work")
    print("EpisodeAccumulator.observe, 10-channel reading, client that does nothing:")
    report("per reading (no flush due)", compare(time.perf_counter, True, number=batch - 1, repeat=300))
    report(f"batch of {batch}, posting threads, CPU time", compare(time.process_time, False, number=4000, repeat=7))
    report(f"batch of {batch}, posting threads, wall time", compare(time.perf_counter, False, number=4000, repeat=7))
    for pending in (50, 500, 5000):
        report(f"per reading, filling the queue to {pending:,}", with_pending(pending, rounds=max(5, 20000 // pending)))


if __name__ == "__main__":
    main()
