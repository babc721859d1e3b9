"""The resolver client.

``Brenlow`` is what the compiled modules are handed as their ``brain``:

* ``ingest(batch, device_id=...)`` stores a batch of episode records;
* ``query(text, k=..., device_id=..., include_episode=True, prefer_success=True)``
  returns the device's most similar past episodes as hit mappings with
  "score", "outcome" and (optionally) "episode";
* ``_request("POST", path, json=body)`` serves the vector endpoints
  "/qx/ingest" and "/qx/query";
* ``config.device_id`` is the configured device id;
* ``record_outcome(episode_id, result, health_label=None, device_id=None)``
  tells the resolver what became of one of a device's episodes (by default
  the client's own device), once that is known.

Without a ``url`` the client keeps everything in this process, in a
:class:`~orvane.resolver.LocalResolver` (SQLite in memory, or in the file
``db_path``, or the PostgreSQL database a ``postgresql://`` ``db_path`` names). With ``url="http://127.0.0.1:8765"`` it talks to a resolver
that ``orvane serve`` offers over HTTP, which several processes can share;
``token=`` (or the environment variable ``ORVANE_TOKEN``) is sent as
``Authorization: Bearer <token>`` to a server started with ``--tokens``.
A server that answers 503 (busy) is asked again a few times, with growing
pauses of about 3 s in all, so the SDK's posting threads are not turned
away by a moment's crowd. Errors are :class:`ResolverError` carrying the HTTP
``status_code`` of the failure; every failure to get an HTTP answer at all
(refused, reset, cut short, garbled, timed out) carries ``status_code`` None.
"""

from __future__ import annotations

import http.client
import json as _json
import os
import random
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

from .resolver import LocalResolver, ResolverError

__all__ = ["Brenlow", "ClientConfig", "ResolverError", "LocalResolver", "EmbeddedResolver", "HTTPTransport"]


@dataclass
class ClientConfig:
    device_id: str = "default-device"


class EmbeddedResolver(LocalResolver):
    """An in-memory :class:`LocalResolver`; ``vectors=False`` turns off the vector endpoints."""

    def __init__(self, vectors: bool = True, path: Optional[str] = None):
        super().__init__(path, vectors=vectors)


_LOOPBACK = {"127.0.0.1", "localhost", "::1"}


#: Pauses before asking a busy (503) resolver again, in seconds (each shortened by up to half at random).
RETRY_PAUSES = (0.1, 0.3, 0.9, 1.8)


class HTTPTransport:
    """JSON over HTTP to a resolver at ``url`` (standard library only).

    Each request opens its own connection, so one transport serves any
    number of threads. Loopback addresses bypass any configured proxy.
    """

    def __init__(self, url: str, timeout: float = 30.0, token: Optional[str] = None):
        scheme = host = None
        if isinstance(url, str):
            try:
                parts = urllib.parse.urlsplit(url)
                scheme, host = parts.scheme, parts.hostname
                parts.port  # a port that is not a number raises here
            except ValueError:
                host = None
        if scheme not in ("http", "https") or not host:
            raise ValueError(f"resolver url must be http:// or https:// with a host, got {url!r}")
        if token is not None and (
            not isinstance(token, str) or not token or any(c.isspace() or not c.isprintable() for c in token)
        ):
            raise ValueError("token must be a non-empty string of printable characters without spaces")
        self.url = url.rstrip("/")
        self.timeout = float(timeout)
        self._token = token
        handlers = [urllib.request.ProxyHandler({})] if host in _LOOPBACK else []
        self._opener = urllib.request.build_opener(*handlers)

    def call(self, method: str, path: str, body: Any = None) -> Any:
        data = None if body is None else _json.dumps(body).encode("utf-8")
        for pause in RETRY_PAUSES + (None,):
            try:
                return self._call_once(method, path, data)
            except ResolverError as exc:
                if exc.status_code != 503 or pause is None:
                    raise
            time.sleep(pause * random.uniform(0.5, 1.0))
        raise AssertionError("unreachable")  # pragma: no cover

    def _call_once(self, method: str, path: str, data: Optional[bytes]) -> Any:
        request = urllib.request.Request(self.url + path, data=data, method=method)
        request.add_header("Accept", "application/json")
        if data is not None:
            request.add_header("Content-Type", "application/json")
        if self._token is not None:
            request.add_header("Authorization", f"Bearer {self._token}")
        try:
            with self._opener.open(request, timeout=self.timeout) as response:
                raw = response.read()
        except urllib.error.HTTPError as exc:
            try:
                raw = exc.read()
            except (OSError, http.client.HTTPException):
                raw = b""
            finally:
                exc.close()
            raise ResolverError(_error_text(raw, f"{method} {path}: HTTP {exc.code}"), exc.code) from None
        except (urllib.error.URLError, OSError, http.client.HTTPException, ValueError) as exc:
            # Refused, reset, timed out, cut short (IncompleteRead), not HTTP
            # at all (BadStatusLine): no answer came.
            reason = getattr(exc, "reason", None) or f"{type(exc).__name__}: {exc}"
            raise ResolverError(f"resolver at {self.url} unreachable: {reason}", None) from exc
        if not raw:
            return None
        try:
            return _json.loads(raw)
        except ValueError as exc:
            raise ResolverError(f"{method} {path}: the resolver's answer is not JSON: {exc}", 502) from None


def _error_text(raw: bytes, fallback: str) -> str:
    try:
        answer = _json.loads(raw)
    except ValueError:
        return fallback
    if isinstance(answer, dict) and isinstance(answer.get("error"), str):
        return answer["error"]
    return fallback


class Brenlow:
    """The resolver client that the compiled modules call.

    ``Brenlow()`` keeps a private in-memory resolver; ``resolver=`` shares a
    :class:`LocalResolver` between clients of one process; ``db_path=``
    keeps the store in a SQLite file (or PostgreSQL, for a ``postgresql://``
    URL); ``url=`` talks to ``orvane serve``,
    with ``token=`` (default: the environment variable ``ORVANE_TOKEN``)
    when the server wants one.
    """

    def __init__(
        self,
        device_id: str = "default-device",
        resolver: Optional[LocalResolver] = None,
        *,
        url: Optional[str] = None,
        db_path: Optional[str] = None,
        vectors: bool = True,
        timeout: float = 30.0,
        token: Optional[str] = None,
    ):
        if url is not None and (resolver is not None or db_path is not None):
            raise ValueError("give either url or a local resolver (resolver / db_path), not both")
        if resolver is not None and db_path is not None:
            raise ValueError("give either resolver or db_path, not both")
        if token is not None and url is None:
            raise ValueError("token is for a resolver at url=; a local resolver takes none")
        if url is not None and token is None:
            token = os.environ.get("ORVANE_TOKEN") or None
        self.config = ClientConfig(device_id=device_id)
        self.url = url
        self._http = HTTPTransport(url, timeout, token) if url is not None else None
        self._owns_resolver = self._http is None and resolver is None
        if self._owns_resolver:
            resolver = LocalResolver(db_path, vectors=vectors)
        self.resolver = resolver

    # -- the operations the compiled modules use --------------------------------
    def ingest(self, batch: List[dict], device_id: Optional[str] = None) -> dict:
        device = device_id or self.config.device_id
        if self._http is not None:
            return self._http.call("POST", "/v1/episodes/ingest", {"device_id": device, "batch": batch})
        return self.resolver.ingest(batch, device)

    def query(
        self,
        query_text: str,
        k: int = 10,
        device_id: Optional[str] = None,
        include_episode: bool = True,
        prefer_success: bool = True,
    ) -> List[dict]:
        device = device_id or self.config.device_id
        if self._http is not None:
            answer = self._http.call(
                "POST",
                "/v1/episodes/query",
                {
                    "query_text": query_text,
                    "k": k,
                    "device_id": device,
                    "include_episode": bool(include_episode),
                    "prefer_success": bool(prefer_success),
                },
            )
            return answer.get("hits", []) if isinstance(answer, dict) else []
        return self.resolver.query(query_text, k, device, include_episode, prefer_success)

    def _request(self, method: str, path: str, json: Optional[dict] = None) -> Any:
        if self._http is not None:
            return self._http.call(method, path, json)
        return self.resolver.request(method, path, json)

    # -- beyond what the modules need ---------------------------------------------
    def record_outcome(
        self, episode_id: str, result: str, health_label: Optional[str] = None, device_id: Optional[str] = None
    ) -> dict:
        """Records what became of a device's episode, e.g. ("failure", "OVERHEAT") or ("success", "HEALTHY").

        ``device_id`` defaults to the client's configured device.
        """
        device = device_id or self.config.device_id
        if self._http is not None:
            return self._http.call(
                "POST",
                "/v1/episodes/outcome",
                {"episode_id": episode_id, "result": result, "health_label": health_label, "device_id": device},
            )
        return self.resolver.record_outcome(episode_id, result, health_label, device_id=device)

    def health(self) -> Dict[str, Any]:
        """The resolver's health answer, ``{"status": "ok", "vectors": bool}``; ResolverError when unreachable."""
        if self._http is not None:
            return self._http.call("GET", "/v1/health")
        self.resolver.stats()  # raises when the resolver is closed
        return {"status": "ok", "vectors": self.resolver.vectors_enabled}

    def stats(self) -> Dict[str, Any]:
        """Counts per device of stored episodes and vectors, and outcomes recorded."""
        if self._http is not None:
            return self._http.call("GET", "/v1/stats")
        return self.resolver.stats()

    def close(self) -> None:
        """Closes a resolver this client made for itself (never a shared one or a server)."""
        if self._http is None and self._owns_resolver:
            self.resolver.close()

    def __enter__(self) -> "Brenlow":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        where = self.url if self._http is not None else f"local:{self.resolver.path}"
        return f"Brenlow(device_id={self.config.device_id!r}, resolver={where!r})"
