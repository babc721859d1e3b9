"""Many threads sharing one profiler, accumulator and detector, with a client
that fails and stalls at random and payload values whose conversion runs
Python code: no deadlock, and every count exact afterwards."""

import random
import threading
import time

import pytest

profiler = pytest.importorskip("orvane.brenlow.profiler")
accumulator = pytest.importorskip("orvane.brenlow.accumulator")
detector = pytest.importorskip("orvane.brenlow.detector")

THREADS = 8
READINGS = 300  # per thread


class Chatty:
    """A value whose float() runs Python code that lets other threads in."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)  # gives up the GIL in the middle of a conversion
        return self.value


class ChaoticClient:
    """Fails about a quarter of the calls and stalls now and then."""

    class config:
        device_id = "stress"

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.guard = threading.Lock()
        self.accepted = 0
        self.rejected = 0
        self.rejected_batches = 0
        self.queries = 0

    def _roll(self):
        with self.guard:
            return self.rng.random(), self.rng.random()

    def ingest(self, batch, device_id=None):
        fail, stall = self._roll()
        if stall < 0.2:
            time.sleep(stall / 50)
        with self.guard:
            if fail < 0.25:
                self.rejected += len(batch)
                self.rejected_batches += 1
                raise ConnectionError(f"dropped {len(batch)}")
            self.accepted += len(batch)

    def query(self, text, k=10, device_id=None, include_episode=True, prefer_success=True):
        fail, stall = self._roll()
        with self.guard:
            self.queries += 1
        if stall < 0.1:
            time.sleep(stall / 50)
        if fail < 0.3:
            raise TimeoutError("slow resolver")
        return [{"score": 0.9, "outcome": {"result": "failure", "metrics": {"health_label": "FAULT"}}}] * 5


def payload_for(rng, i):
    return {"temp": 20.0 + rng.random(), "rpm": 1500 + i % 7, "load": Chatty(rng.random())}


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def test_shared_objects_keep_exact_counts(monkeypatch, capsys):
    monkeypatch.setattr(accumulator, "ACCUMULATOR_BATCH_SIZE", 7)
    monkeypatch.setattr(accumulator, "ACCUMULATOR_FLUSH_MAX_AGE_S", 0.001)
    monkeypatch.setattr(detector, "DETECTOR_CHECK_EVERY", 3)
    monkeypatch.setattr(detector, "DETECTOR_MIN_CONFIDENCE", 0.0)
    client = ChaoticClient(1)
    prof = profiler.StatisticalProfiler("stress")
    acc = accumulator.EpisodeAccumulator(client, "stress")
    det = detector.AnomalyDetector(client, "stress")
    errors = []
    barrier = threading.Barrier(THREADS + 2)

    def reader(seed):
        rng = random.Random(seed)
        barrier.wait()
        try:
            for i in range(READINGS):
                p = payload_for(rng, i)
                # text values are skipped by the profiler (episodes need numbers)
                prof.observe(dict(p, mode="auto") if i % 5 == 0 else p)
                acc.observe(f"t{seed}-{i}", p, None)
                det.observe(f"t{seed}-{i}", p, 1.0)
                if i % 50 == 0:
                    acc.flush()
        except BaseException as exc:  # any error here is a failure of the test
            errors.append(exc)

    def watcher():
        barrier.wait()
        try:
            for _ in range(40):
                snap = prof.snapshot()
                assert snap["total_observations"] <= THREADS * READINGS
                prof.compute_correlations()
                det.get_events()
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=reader, args=(s,)) for s in range(THREADS)]
    threads += [threading.Thread(target=watcher) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "deadlock: a worker never finished"
    assert not errors, errors

    total = THREADS * READINGS
    assert prof.total_observations == total
    assert {name: prof.channels[name].count for name in ("temp", "rpm", "load")} == {
        "temp": total,
        "rpm": total,
        "load": total,
    }
    assert "mode" not in prof.channels

    acc.flush()
    assert acc.total_episodes == total
    # every episode is accepted or reported exactly once, none counted twice
    assert wait_for(lambda: client.accepted + client.rejected == total)
    assert wait_for(lambda: acc.total_ingested == client.accepted)
    assert acc.pending_batch == []
    lines = [l for l in capsys.readouterr().out.splitlines() if l.startswith("[ACCUMULATOR] Batch ingest failed for ")]
    assert len(lines) == client.rejected_batches
    assert all(l.startswith("[ACCUMULATOR] Batch ingest failed for stress: dropped ") for l in lines)

    # every third confident reading queried, exactly; answered queries produce events
    assert det._check_counter == total
    assert client.queries == total // 3
    assert 0 < len(det.get_events()) <= 1000
    assert not acc._lock.locked() and not det._lock.locked() and not prof._lock.locked()


def test_conversion_that_reenters_the_profiler_fails_instead_of_hanging():
    prof = profiler.StatisticalProfiler("reentry")

    class Sneaky:
        def __float__(self):
            prof.snapshot()  # needs the lock observe holds
            return 1.0

    prof.observe({"a": 1.0})
    done = []

    def run():
        try:
            prof.observe({"a": Sneaky()})
        except RuntimeError:
            done.append("raised")
        else:
            done.append("returned")

    t = threading.Thread(target=run)
    t.start()
    t.join(10)
    assert done, "observe hung on a re-entrant conversion"
    assert not prof._lock.locked()
    prof.observe({"a": 2.0})  # still usable
    assert prof.channels["a"].count >= 2
