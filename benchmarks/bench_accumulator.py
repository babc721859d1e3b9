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
  thread).

    python benchmarks/bench_accumulator.py
"""

import statistics
import threading
import time
import timeit
import uuid
from collections import deque

from orvane import config
from orvane.brenlow import accumulator as compiled  # its configuration, to check it matches
from orvane.brenlow.accumulator import EpisodeAccumulator

ACCUMULATOR_WINDOW_SIZE = config.ACCUMULATOR_WINDOW_SIZE
ACCUMULATOR_BATCH_SIZE = config.ACCUMULATOR_BATCH_SIZE
ACCUMULATOR_FLUSH_MAX_AGE_S = config.ACCUMULATOR_FLUSH_MAX_AGE_S


class PyEpisodeAccumulator:
    """The same rules in plain Python: argument checks, lock, window, episode, batching."""

    def __init__(self, brain, device_id):
        if type(device_id) is not str:
            raise TypeError(f"Argument 'device_id' has incorrect type (expected str, got {type(device_id).__name__})")
        self.brain = brain
        self.device_id = device_id
        self.window = deque(maxlen=ACCUMULATOR_WINDOW_SIZE)
        self.pending_batch = []
        self.total_episodes = 0
        self.total_ingested = 0
        self._last_flush_ts = time.time()
        self._lock = threading.Lock()
        self._count_lock = threading.Lock()

    @staticmethod
    def _check(value, name, expected, allow_none=False):
        if type(value) is not expected and not (allow_none and value is None):
            raise TypeError(f"Argument '{name}' has incorrect type "
                            f"(expected {expected.__name__}, got {type(value).__name__})")

    def observe(self, timestamp, payload, context=None):
        self._check(timestamp, "timestamp", str)
        self._check(payload, "payload", dict)
        self._check(context, "context", dict, True)
        with self._lock:
            self.window.append({"timestamp": timestamp, "payload": payload})
            episode = self._build_episode(timestamp, payload, context=context)
            self.pending_batch.append(episode)
            self.total_episodes += 1
            now_ts = time.time()
            due_batch = len(self.pending_batch) >= ACCUMULATOR_BATCH_SIZE
            due_age = (ACCUMULATOR_FLUSH_MAX_AGE_S > 0
                       and now_ts - self._last_flush_ts >= float(ACCUMULATOR_FLUSH_MAX_AGE_S))
            if due_batch or due_age:
                self._flush_locked(now_ts=now_ts)
            return episode

    def flush(self):
        with self._lock:
            self._flush_locked()

    def _flush_locked(self, now_ts=None):
        if not self.pending_batch:
            return
        batch = list(self.pending_batch)
        self.pending_batch = []
        self._last_flush_ts = float(now_ts) if now_ts is not None else time.time()
        threading.Thread(target=self._post_batch, args=(batch,), daemon=True).start()

    def _post_batch(self, batch):
        try:
            self.brain.ingest(batch, device_id=self.device_id)
            with self._count_lock:
                self.total_ingested += len(batch)
        except Exception as e:
            print(f"[ACCUMULATOR] Batch ingest failed for {self.device_id}: {e}")

    def _build_episode(self, timestamp, payload, context=None):
        self._check(timestamp, "timestamp", str)
        self._check(payload, "payload", dict)
        self._check(context, "context", dict, True)
        prev = self.window[-2]["payload"] if len(self.window) >= 2 else payload
        ctx = context if context is not None else {}
        source_text = str(ctx.get("source_text") or "").strip()
        source_kind = str(ctx.get("source_kind") or "").strip().lower()
        source_category = str(ctx.get("source_category") or "").strip()
        source_product = str(ctx.get("source_product") or "").strip()
        raw_tags = ctx.get("source_tags")
        source_tags = [s for s in (str(t).strip() for t in raw_tags) if s] if isinstance(raw_tags, list) else []
        raw_meta = ctx.get("source_meta")
        source_meta = raw_meta if isinstance(raw_meta, dict) else {}

        deltas = {}
        for key, value in payload.items():
            if key in prev:
                try:
                    deltas[key] = round(float(value) - float(prev[key]), 6)
                except (TypeError, ValueError):
                    deltas[key] = 0.0
        keys = list(payload.keys())
        modality_count = int(round(float(payload["modality_count"]))) if "modality_count" in payload else 0
        has_text = float(payload.get("nl_text_len", 0.0) or 0.0) > 0.0
        preview = source_text[:480]
        multimodal = source_kind.startswith("multimodal")
        device_id = self.device_id
        if preview:
            canonical = (f"Brenlow multimodal episode for device {device_id} at {timestamp}. "
                         f"Channels: {len(payload)}. Modality count: {modality_count}. Source text: {preview}")
        else:
            canonical = (f"Brenlow sensor episode for device {device_id} at {timestamp}. "
                         f"Channels: {len(payload)}. Modality count: {modality_count}. "
                         f"Natural language present: {'yes' if has_text else 'no'}. "
                         f"Feature keys: {', '.join(keys[:16])}.")
        state_meta = {"channel_count": len(payload), "source_kind": source_kind}
        state_meta.update(source_meta)
        tags = ["brenlow", "sensor", device_id]
        if multimodal and "multimodal" not in tags:
            tags.append("multimodal")
        for tag in source_tags:
            if tag not in tags:
                tags.append(tag)
        return {
            "episode_id": f"{device_id}_{timestamp}_{uuid.uuid4().hex[:8]}",
            "product": source_product or ("brenlow_multimodal" if multimodal else "brenlow_sensor"),
            "category": source_category or f"device_{device_id}",
            "state": {
                "description": f"{'Multimodal reading' if multimodal else 'Sensor reading'} at {timestamp}",
                "context": {k: float(v) for k, v in payload.items()},
                "timestamp": timestamp,
                "metadata": state_meta,
            },
            "action": {
                "description": ("Multimodal channel deltas from previous reading" if multimodal
                                else "Channel deltas from previous reading"),
                "steps": [f"delta_{k}={d}" for k, d in list(deltas.items())[:15]],
                "commands": [],
                "metadata": {"deltas": deltas},
            },
            "outcome": {"result": "pending", "success": None, "metrics": {},
                        "metadata": {"pending": True, "device_id": device_id}},
            "embeddings": {"text": canonical},
            "metadata": {"tags": tags, "source": "edge_stream"},
        }


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


def report(label, times):
    py, cc = times
    print(f"  {label:<44} plain Python {py * 1e6:7.2f} us   orvane {cc * 1e6:6.2f} us   ratio {py / cc:5.1f}x")


def main():
    batch = ACCUMULATOR_BATCH_SIZE
    assert batch == compiled.ACCUMULATOR_BATCH_SIZE and batch > 1
    print("EpisodeAccumulator.observe, 10-channel reading, client that does nothing:")
    report("per reading (no flush due)", compare(time.perf_counter, True, number=batch - 1, repeat=300))
    report(f"batch of {batch}, posting threads, CPU time", compare(time.process_time, False, number=4000, repeat=7))
    report(f"batch of {batch}, posting threads, wall time", compare(time.perf_counter, False, number=4000, repeat=7))


if __name__ == "__main__":
    main()
