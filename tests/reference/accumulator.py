"""EpisodeAccumulator in plain Python: argument checks, lock, window, episode
record and batching.

`build_episode` is the episode rule alone, over a window of readings; the
class reads its configuration from the compiled module at each use, as the
compiled code reads its module globals.
"""

import importlib
import threading
import time
import uuid
from collections import deque

from .host import check


def build_episode(window, device_id, timestamp, payload, context=None, suffix=None):
    """The episode record for the newest reading of `window` (already
    appended); `suffix` is the id's random part, a fresh one when None."""
    prev = window[-2]["payload"] if len(window) >= 2 else payload
    ctx = context if context is not None else {}

    def text(key):
        return str(ctx.get(key) or "").strip()

    source_text = text("source_text")
    source_kind = text("source_kind").lower()
    source_category = text("source_category")
    source_product = text("source_product")
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
    product = source_product or ("brenlow_multimodal" if multimodal else "brenlow_sensor")
    category = source_category or "device_" + device_id
    head = f"for device {device_id} at {timestamp}. Channels: {len(payload)}. Modality count: {modality_count}. "
    if preview:
        canonical = "Brenlow multimodal episode " + head + "Source text: " + preview
    else:
        canonical = (
            "Brenlow sensor episode "
            + head
            + "Natural language present: "
            + ("yes" if has_text else "no")
            + ". Feature keys: "
            + ", ".join(keys[:16])
            + "."
        )
    context_values = {k: float(v) for k, v in payload.items()}
    state_meta = {"channel_count": len(payload), "source_kind": source_kind}
    state_meta.update(source_meta)
    steps = [f"delta_{k}={d}" for k, d in list(deltas.items())[:15]]
    tags = ["brenlow", "sensor", device_id]
    if multimodal and "multimodal" not in tags:
        tags.append("multimodal")
    for tag in source_tags:
        if tag not in tags:
            tags.append(tag)
    if suffix is None:
        suffix = uuid.uuid4().hex[:8]
    return {
        "episode_id": f"{device_id}_{timestamp}_{suffix}",
        "product": product,
        "category": category,
        "state": {
            "description": ("Multimodal reading" if multimodal else "Sensor reading") + " at " + timestamp,
            "context": context_values,
            "timestamp": timestamp,
            "metadata": state_meta,
        },
        "action": {
            "description": (
                "Multimodal channel deltas from previous reading"
                if multimodal
                else "Channel deltas from previous reading"
            ),
            "steps": steps,
            "commands": [],
            "metadata": {"deltas": deltas},
        },
        "outcome": {
            "result": "pending",
            "success": None,
            "metrics": {},
            "metadata": {"pending": True, "device_id": device_id},
        },
        "embeddings": {"text": canonical},
        "metadata": {"tags": tags, "source": "edge_stream"},
    }


class EpisodeAccumulator:
    def __init__(self, brain, device_id):
        self._k = importlib.import_module("orvane.brenlow.accumulator")
        self.brain = brain
        self.device_id = check(device_id, str, "device_id")
        self.window = deque(maxlen=self._k.ACCUMULATOR_WINDOW_SIZE)
        self.pending_batch = []
        self.total_episodes = 0
        self.total_ingested = 0
        self._last_flush_ts = time.time()
        self._lock = threading.Lock()
        self._count_lock = threading.Lock()

    def observe(self, timestamp, payload, context=None):
        check(timestamp, str, "timestamp")
        check(payload, dict, "payload")
        check(context, dict, "context", allow_none=True)
        with self._lock:
            self.window.append({"timestamp": timestamp, "payload": payload})
            episode = self._build_episode(timestamp, payload, context=context)
            self.pending_batch.append(episode)
            self.total_episodes += 1
            now_ts = time.time()
            k = self._k
            due_batch = len(self.pending_batch) >= k.ACCUMULATOR_BATCH_SIZE
            max_age = k.ACCUMULATOR_FLUSH_MAX_AGE_S
            due_age = max_age > 0 and now_ts - self._last_flush_ts >= float(max_age)
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
        check(timestamp, str, "timestamp")
        check(payload, dict, "payload")
        check(context, dict, "context", allow_none=True)
        return build_episode(self.window, self.device_id, timestamp, payload, context)
