"""The resolver client, with an embedded in-memory resolver.

``Brenlow`` is what the compiled modules are handed as their ``brain``:

* ``ingest(batch, device_id=...)`` stores a batch of episode records;
* ``query(text, k=..., device_id=..., include_episode=True, prefer_success=True)``
  returns the device's most similar past episodes as hit mappings with
  "score", "outcome" and (optionally) "episode";
* ``_request("POST", path, json=body)`` serves the vector endpoints
  "/qx/ingest" and "/qx/query";
* ``config.device_id`` is the configured device id.

Without a ``url`` the client keeps everything in this process, which is what
tests and single-process programs want. Errors are :class:`ResolverError`
with the HTTP-style ``status_code`` of the failure.
"""

from __future__ import annotations

import math
import re
import threading
import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

__all__ = ["Brenlow", "ClientConfig", "ResolverError", "EmbeddedResolver"]


class ResolverError(Exception):
    """A request the resolver refused; ``status_code`` says why."""

    def __init__(self, message: str, status_code: int = 500):
        super().__init__(message)
        self.status_code = status_code


@dataclass
class ClientConfig:
    device_id: str = "default-device"


_PAIR = re.compile(r"(\S+?)=(\S+)")


def _channel_values(text: str) -> Dict[str, float]:
    """Channel values spelled as ``name=value`` in an episode or query text."""
    out: Dict[str, float] = {}
    for key, raw in _PAIR.findall(text):
        try:
            value = float(raw.rstrip(".,;"))
        except ValueError:
            continue
        if math.isfinite(value):
            out[key] = value
    return out


def _similarity(a: Dict[str, float], b: Dict[str, float]) -> float:
    """1 for identical channel values, falling toward 0 as they differ."""
    keys = set(a) | set(b)
    if not keys:
        return 0.0
    total = 0.0
    for key in keys:
        if key not in a or key not in b:
            total += 1.0
            continue
        x, y = a[key], b[key]
        scale = max(abs(x), abs(y), 1e-9)
        total += min(abs(x - y) / scale, 1.0)
    return 1.0 - total / len(keys)


def _episode_text(episode: Any) -> str:
    if isinstance(episode, dict):
        emb = episode.get("embeddings")
        if isinstance(emb, dict) and isinstance(emb.get("text"), str):
            return emb["text"]
        state = episode.get("state")
        if isinstance(state, dict):
            ctx = state.get("context")
            if isinstance(ctx, dict):
                return " ".join(f"{k}={v}" for k, v in ctx.items())
    return str(episode)


class EmbeddedResolver:
    """An in-memory resolver: episodes per device and a vector store."""

    def __init__(self, vectors: bool = True):
        self.vectors_enabled = vectors
        self._lock = threading.Lock()
        self.episodes: Dict[str, List[dict]] = {}
        self._episode_values: Dict[str, List[Dict[str, float]]] = {}
        self.vectors: Dict[str, List[tuple]] = {}
        self.outcomes: Dict[str, dict] = {}

    # -- episodes -----------------------------------------------------------
    def ingest(self, batch: List[dict], device_id: str) -> dict:
        if not isinstance(batch, list):
            raise ResolverError("batch must be a list", 400)
        with self._lock:
            store = self.episodes.setdefault(device_id, [])
            values = self._episode_values.setdefault(device_id, [])
            for ep in batch:
                store.append(ep)
                values.append(_channel_values(_episode_text(ep)))
        return {"accepted": len(batch)}

    def record_outcome(self, episode_id: str, result: str, health_label: Optional[str] = None) -> None:
        """Records what became of an episode, as the service does once it is known."""
        outcome: Dict[str, Any] = {"result": result}
        if health_label is not None:
            outcome["metrics"] = {"health_label": health_label}
        with self._lock:
            self.outcomes[episode_id] = outcome

    def query(self, text: str, k: int, device_id: str, include_episode: bool, prefer_success: bool) -> List[dict]:
        probe = _channel_values(text)
        with self._lock:
            eps = list(self.episodes.get(device_id, ()))
            vals = list(self._episode_values.get(device_id, ()))
            outcomes = dict(self.outcomes)
        scored = []
        for ep, v in zip(eps, vals):
            ep_id = ep.get("episode_id") if isinstance(ep, dict) else None
            outcome = outcomes.get(ep_id) if ep_id is not None else None
            if outcome is None and isinstance(ep, dict):
                outcome = ep.get("outcome")
            scored.append((_similarity(probe, v), ep, outcome))
        scored.sort(key=lambda s: s[0], reverse=True)
        hits = []
        for score, ep, outcome in scored[: max(int(k), 0)]:
            hit: Dict[str, Any] = {"score": round(score, 6), "outcome": outcome}
            if include_episode:
                hit["episode"] = ep
            hits.append(hit)
        return hits

    # -- vectors ------------------------------------------------------------
    def request(self, method: str, path: str, body: Optional[dict]) -> dict:
        if not self.vectors_enabled or path not in ("/qx/ingest", "/qx/query"):
            raise ResolverError(f"{method} {path}: not found", 404)
        if method != "POST":
            raise ResolverError(f"{method} {path}: method not allowed", 405)
        if not isinstance(body, dict):
            raise ResolverError("body must be a JSON object", 400)
        device = body.get("device_id") or "default-device"
        if path == "/qx/ingest":
            if "items" in body:
                ids = []
                for item in body["items"] or []:
                    emb = item.get("embedding") if isinstance(item, dict) else None
                    if emb is None:
                        ids.append(None)
                        continue
                    ids.append(self._store(item.get("device_id") or device, emb, item.get("metadata") or {}))
                return {"episode_ids": ids}
            if body.get("embedding") is None:
                raise ResolverError("embedding is required", 422)
            return {"id": self._store(device, body["embedding"], body.get("metadata") or {})}
        return {"results": self._nearest(device, body.get("embedding") or [], int(body.get("k", 10)))}

    def _store(self, device: str, embedding: List[float], metadata: dict) -> str:
        vec = [float(x) for x in embedding]
        vid = uuid.uuid4().hex
        with self._lock:
            self.vectors.setdefault(device, []).append((vid, vec, metadata))
        return vid

    def _nearest(self, device: str, embedding: List[float], k: int) -> List[dict]:
        probe = [float(x) for x in embedding]
        pn = math.sqrt(sum(x * x for x in probe))
        with self._lock:
            stored = list(self.vectors.get(device, ()))
        scored = []
        for vid, vec, meta in stored:
            if len(vec) != len(probe):
                continue
            vn = math.sqrt(sum(x * x for x in vec))
            cos = sum(a * b for a, b in zip(probe, vec)) / (pn * vn) if pn and vn else 0.0
            scored.append({"id": vid, "score": cos, "metadata": meta})
        scored.sort(key=lambda h: h["score"], reverse=True)
        return scored[: max(k, 0)]


class Brenlow:
    """The resolver client that the compiled modules call."""

    def __init__(self, device_id: str = "default-device", resolver: Optional[EmbeddedResolver] = None):
        self.config = ClientConfig(device_id=device_id)
        self.resolver = resolver if resolver is not None else EmbeddedResolver()

    def ingest(self, batch: List[dict], device_id: Optional[str] = None) -> dict:
        return self.resolver.ingest(batch, device_id or self.config.device_id)

    def query(
        self,
        query_text: str,
        k: int = 10,
        device_id: Optional[str] = None,
        include_episode: bool = True,
        prefer_success: bool = True,
    ) -> List[dict]:
        return self.resolver.query(query_text, k, device_id or self.config.device_id, include_episode, prefer_success)

    def _request(self, method: str, path: str, json: Optional[dict] = None) -> dict:
        return self.resolver.request(method, path, json)
