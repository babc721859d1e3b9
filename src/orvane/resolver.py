"""A local resolver: episode store, similarity query, outcomes and vector store.

:class:`LocalResolver` is what :class:`orvane.client.Brenlow` talks to when it
is given no ``url``, and what ``orvane serve`` offers over HTTP
(:func:`make_server`) so that several processes can share one store.

Everything is kept in SQLite, in memory by default or in a file when a path
is given; a file opened again brings its episodes, outcomes and vectors back.
Beside the tables the resolver keeps in-memory indexes (each episode's
channel values as native columns, each vector scaled to unit length) so that
a query never re-reads or re-parses stored records; only the hits it returns
are read back. Opening a file loads the indexes from packed channel values
kept beside the JSON bodies, without parsing any JSON.

Similarity of episodes: the query text spells channel values as
``name=value`` (``"sensor state temp=21.4568 rpm=1500.0"``); an episode's own
values are its state context (``state.context``), or the ``name=value`` pairs
of its text when it has none. Each channel's difference is measured in units
of that channel's spread over the device's stored episodes, so a channel that
moves in thousands and one that moves in hundredths weigh alike. The score is
``1 / (1 + d)`` where ``d`` is the root mean square of those differences over
the query's channels (each capped at ``_Z_CAP``; a channel the episode lacks
counts as the cap): 1.0 for identical values, falling toward 0. A query
with no channel values scores every episode 0.

Which episodes a query returns: the k best scores among the device's newest
``max_episodes_per_device`` episodes, compared exactly (the hits show them
rounded to six places). Where more episodes share a score than places are
left, the newer ones are taken: newer by arrival at this resolver (the
store's row order), not by any time written in the episode, since batches
may arrive out of order. ``prefer_success`` never changes which episodes are
chosen; it only orders the chosen ones, putting a successful outcome before
any other of equal score (and otherwise keeping newer first). So a state
that recently ended in failure is never hidden behind older successes at
the same values.

Vectors are compared by cosine similarity, per device, among vectors of the
query's length; they are held as float32, so scores carry float32 rounding.
Equal scores put newer vectors first.

The scans run in compiled code (:mod:`orvane._search`) without holding the
interpreter's lock; storage is :mod:`orvane.resolver_store`.
"""

from __future__ import annotations

import array
import json
import math
import re
import threading
import time
import uuid
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, Optional, Tuple

from ._search import EpisodeIndex, VectorIndex, load_episodes
from .resolver_store import SQLiteStore, StoreError, pack_channels

__all__ = [
    "ResolverError",
    "LocalResolver",
    "ResolverHTTPServer",
    "make_server",
    "channel_values",
    "VECTOR_PATHS",
]

#: The vector endpoints; a resolver started without vectors answers 404 there.
VECTOR_PATHS = ("/qx/ingest", "/qx/query")
#: Largest request body the HTTP server reads.
MAX_BODY_BYTES = 64 * 1024 * 1024
#: Largest number of hits a query returns, whatever k asks for.
MAX_K = 1000
#: Cap, in units of a channel's spread, of one channel's difference.
_Z_CAP = 10.0
#: Newest episodes per device that a query considers, unless told otherwise.
DEFAULT_MAX_EPISODES_PER_DEVICE = 1_000_000


class ResolverError(Exception):
    """A request the resolver refused; ``status_code`` is the HTTP status.

    Failures to reach a resolver at all (no HTTP answer) carry
    ``status_code`` None.
    """

    def __init__(self, message: str, status_code: Optional[int] = 500):
        super().__init__(message)
        self.status_code = status_code


_PAIR = re.compile(r"(\S+?)=(\S+)")


def channel_values(text: str) -> Dict[str, float]:
    """Finite channel values spelled as ``name=value`` in a text."""
    out: Dict[str, float] = {}
    for key, raw in _PAIR.findall(text):
        try:
            value = float(raw.rstrip(".,;"))
        except ValueError:
            continue
        if math.isfinite(value):
            out[key] = value
    return out


def _episode_values(episode: dict) -> Dict[str, float]:
    state = episode.get("state")
    context = state.get("context") if isinstance(state, dict) else None
    if isinstance(context, dict) and context:
        out: Dict[str, float] = {}
        for key, value in context.items():
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                value = float(value)
                if math.isfinite(value):
                    out[str(key)] = value
        return out
    emb = episode.get("embeddings")
    text = emb.get("text") if isinstance(emb, dict) else None
    return channel_values(text) if isinstance(text, str) else {}


def _outcome_record(result: str, health_label: Optional[str]) -> dict:
    outcome: Dict[str, Any] = {"result": result}
    if health_label is not None:
        outcome["metrics"] = {"health_label": health_label}
    return outcome


def _is_success(outcome: Any) -> bool:
    return isinstance(outcome, dict) and outcome.get("result") == "success"


def _device(value: Any, what: str = "device_id") -> str:
    if not isinstance(value, str) or not value:
        raise ResolverError(f"{what} must be a non-empty string", 400)
    return value


def _count(value: Any, what: str, status: int = 400) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ResolverError(f"{what} must be a number", status)
    return min(max(int(value), 0), MAX_K)


def _unit_vector(embedding: Any) -> Tuple[List[float], float]:
    """The embedding as floats and its Euclidean norm; ValueError when unusable."""
    if not isinstance(embedding, (list, tuple)) or not embedding:
        raise ValueError("embedding must be a non-empty list of numbers")
    for x in embedding:
        if type(x) is not float and (isinstance(x, bool) or not isinstance(x, (int, float))):
            raise ValueError("embedding must hold only numbers")
    vec = [float(x) for x in embedding]
    norm = math.hypot(*vec)  # scales internally: no overflow for large finite values
    if not math.isfinite(norm):
        raise ValueError("embedding must hold only finite numbers")
    return vec, norm


def _channels_of_body(body: str) -> bytes:
    """Packed channel values of a stored episode body (used when an older store is brought up to date)."""
    try:
        episode = json.loads(body)
    except ValueError:
        return b""
    return pack_channels(_episode_values(episode)) if isinstance(episode, dict) else b""


class LocalResolver:
    """Episodes, outcomes and vectors of many devices in one SQLite database.

    ``path`` is a database file, or None / ":memory:" for a private in-memory
    database. ``vectors=False`` makes the vector endpoints answer 404, as a
    resolver from before vector retrieval does. ``max_episodes_per_device``
    bounds the work of a query: only a device's newest N episodes are
    candidates (the channel spreads still count every stored episode, and
    nothing is deleted). Every operation is safe to call from several
    threads at once.
    """

    def __new__(cls, path: Optional[str] = None, *args: Any, **kwargs: Any) -> "LocalResolver":
        # A postgresql:// (or postgres://) path is a database several servers share.
        if cls is LocalResolver and isinstance(path, str) and path.startswith(("postgresql://", "postgres://")):
            from .resolver_pg import PostgresResolver

            return super().__new__(PostgresResolver)
        return super().__new__(cls)

    def __init__(
        self,
        path: Optional[str] = None,
        *,
        vectors: bool = True,
        max_episodes_per_device: int = DEFAULT_MAX_EPISODES_PER_DEVICE,
    ):
        if (
            isinstance(max_episodes_per_device, bool)
            or not isinstance(max_episodes_per_device, int)
            or max_episodes_per_device < 1
        ):
            raise ValueError(f"max_episodes_per_device must be a positive int, got {max_episodes_per_device!r}")
        self.path = path or ":memory:"
        self.vectors_enabled = bool(vectors)
        self.max_episodes_per_device = max_episodes_per_device
        self._store = self._open_store()
        self._lock = threading.Lock()
        self._closed = False
        self._devices: Dict[str, EpisodeIndex] = {}
        self._outcomes: Dict[str, dict] = {}
        self._vectors: Dict[str, VectorIndex] = {}
        try:
            self._load()
        except BaseException:
            self._store.close()
            raise

    # -- lifecycle --------------------------------------------------------------
    # The hooks _open_store, _load, _keep_*, _episode_index and _vector_index
    # are where a store shared by several resolvers (orvane.resolver_pg)
    # differs: it loads devices on first use and feeds its indexes itself.
    def _open_store(self) -> Any:
        # The store is used under _lock only: an in-memory database lives in
        # its one connection, and one writer keeps SQLite's own locking simple.
        try:
            return SQLiteStore(self.path, _channels_of_body)
        except StoreError as exc:
            raise ResolverError(str(exc), 409) from None

    def _load(self) -> None:
        load_episodes(self._store.episode_channels(), self._devices)
        for episode_id, result, label in self._store.outcomes():
            self._outcomes[episode_id] = _outcome_record(result, label)
        for rowid, device_id, blob in self._store.vector_units():
            index = self._vectors.get(device_id)
            if index is None:
                index = self._vectors[device_id] = VectorIndex()
            index.append(rowid, blob)

    def close(self) -> None:
        """Closes the database; later calls raise ResolverError 503."""
        with self._lock:
            if not self._closed:
                self._closed = True
                self._store.close()

    def __enter__(self) -> "LocalResolver":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ResolverError("the resolver is closed", 503)

    # -- episodes ---------------------------------------------------------------
    def ingest(self, batch: Any, device_id: Any) -> dict:
        """Stores a batch of episode records for a device.

        The batch is stored whole or not at all. An episode whose
        "episode_id" the device already holds is not stored twice, so a batch
        sent again after a lost answer does no harm. Answers the number of
        episodes accepted and the number newly stored.
        """
        device_id = _device(device_id)
        if not isinstance(batch, list):
            raise ResolverError("batch must be a list of episode records", 400)
        rows = []
        for i, episode in enumerate(batch):
            if not isinstance(episode, dict):
                raise ResolverError(f"batch[{i}] must be an episode record (an object)", 400)
            try:
                body = json.dumps(episode)
                # The stored form is what queries return: decode it back so that
                # the index sees exactly that, not the caller's live objects.
                stored = json.loads(body)
            except (TypeError, ValueError) as exc:
                raise ResolverError(f"batch[{i}] cannot be stored as JSON: {exc}", 400) from None
            episode_id = stored.get("episode_id")
            if episode_id is not None and not isinstance(episode_id, str):
                episode_id = str(episode_id)
            rows.append((episode_id, body, pack_channels(_episode_values(stored))))
        return {"accepted": len(batch), "stored": self._keep_episodes(device_id, rows, time.time())}

    def _keep_episodes(self, device_id: str, rows: List[Tuple[Optional[str], str, bytes]], now: float) -> int:
        """Stores (episode_id, body, packed channels) rows and indexes them; answers how many were new."""
        with self._lock:
            self._check_open()
            index = self._devices.get(device_id)
            if index is None:
                index = EpisodeIndex()
            added = self._store.add_episodes(device_id, rows, now)
            self._devices.setdefault(device_id, index)
            for rowid, j in added:
                index.append(rowid, rows[j][2])
        return len(added)

    def record_outcome(self, episode_id: Any, result: Any, health_label: Any = None) -> dict:
        """Records what became of an episode (a later record replaces an earlier one).

        The episode need not have arrived yet: episodes are sent in the
        background, and the outcome applies whenever it does.
        """
        if not isinstance(episode_id, str) or not episode_id:
            raise ResolverError("episode_id must be a non-empty string", 400)
        if not isinstance(result, str) or not result:
            raise ResolverError("result must be a non-empty string", 400)
        if health_label is not None and not isinstance(health_label, str):
            raise ResolverError("health_label must be a string or null", 400)
        self._keep_outcome(episode_id, result, health_label, time.time())
        return {"episode_id": episode_id, "recorded": True}

    def _keep_outcome(self, episode_id: str, result: str, health_label: Optional[str], now: float) -> None:
        with self._lock:
            self._check_open()
            self._store.put_outcome(episode_id, result, health_label, now)
            self._outcomes[episode_id] = _outcome_record(result, health_label)

    def query(
        self,
        text: Any,
        k: Any = 10,
        device_id: Any = "default-device",
        include_episode: bool = True,
        prefer_success: bool = True,
    ) -> List[dict]:
        """The device's k stored episodes most similar to the channel values of ``text``.

        Each hit holds "score", "episode_id", "outcome" (the recorded outcome,
        else the episode's own) and, with ``include_episode``, "episode".
        Which k are chosen is decided by score alone, ties newest first (see
        the module's notes); ``prefer_success`` then only orders them: among
        equal scores a successful outcome before the others.
        """
        if not isinstance(text, str):
            raise ResolverError("query_text must be a string", 400)
        k = _count(k, "k")
        device_id = _device(device_id)
        probe = channel_values(text)
        index = self._episode_index(device_id)
        if index is None or k == 0:
            return []
        names = [name.encode("utf-8", "surrogatepass") for name in probe]
        # The scan runs without the interpreter's lock and without _lock:
        # ingests and other queries go on meanwhile.
        found = index.search(names, list(probe.values()), k, self.max_episodes_per_device, _Z_CAP)
        if not found:
            return []
        with self._lock:
            self._check_open()
            records = self._store.episode_records([rowid for _, rowid in found])
            recorded = [self._outcomes.get(records[rowid][0]) for _, rowid in found]
        hits = []
        for (score, rowid), outcome in zip(found, recorded):
            episode_id, body = records[rowid]
            episode = json.loads(body)
            if outcome is None:
                outcome = episode.get("outcome")
            hit: Dict[str, Any] = {
                "score": round(score, 6),
                "episode_id": episode_id,
                "outcome": json.loads(json.dumps(outcome)),
            }
            if include_episode:
                hit["episode"] = episode
            hits.append(hit)
        if prefer_success:
            # Stable: within equal score and success, newest first stays.
            order = sorted(range(len(hits)), key=lambda j: (-found[j][0], not _is_success(hits[j]["outcome"])))
            hits = [hits[j] for j in order]
        return hits

    def _episode_index(self, device_id: str) -> Optional[EpisodeIndex]:
        with self._lock:
            self._check_open()
            return self._devices.get(device_id)

    # -- vectors ----------------------------------------------------------------
    def request(self, method: str, path: str, body: Any) -> dict:
        """Serves a vector endpoint: POST "/qx/ingest" or "/qx/query"."""
        if not self.vectors_enabled or path not in VECTOR_PATHS:
            raise ResolverError(f"{method} {path}: not found", 404)
        if method != "POST":
            raise ResolverError(f"{method} {path}: method not allowed", 405)
        if not isinstance(body, dict):
            raise ResolverError("the request body must be a JSON object", 400)
        device = body.get("device_id") or "default-device"
        device = _device(device)
        if path == "/qx/ingest":
            if "items" in body:
                items = body["items"]
                if not isinstance(items, list):
                    raise ResolverError("items must be a list", 422)
                return {"episode_ids": self._store_items(items, device)}
            try:
                vec, norm = _unit_vector(body.get("embedding"))
            except ValueError as exc:
                raise ResolverError(str(exc), 422) from None
            metadata = body.get("metadata")
            if metadata is None:
                metadata = {}
            if not isinstance(metadata, dict):
                raise ResolverError("metadata must be an object", 422)
            return {"id": self._store_vectors([(device, vec, norm, metadata)])[0]}
        k = _count(body.get("k", 10), "k", 422)
        try:
            vec, norm = _unit_vector(body.get("embedding"))
        except ValueError as exc:
            raise ResolverError(str(exc), 422) from None
        return {"results": self._nearest(device, vec, norm, k)}

    def _store_items(self, items: List[Any], device: str) -> List[Optional[str]]:
        """Stores each usable item; an item it refuses gets the id None."""
        accepted = []
        slots: List[Optional[int]] = []
        for item in items:
            slot = None
            if isinstance(item, dict):
                item_device = item.get("device_id") or device
                metadata = item.get("metadata")
                if metadata is None:
                    metadata = {}
                if isinstance(item_device, str) and isinstance(metadata, dict):
                    try:
                        vec, norm = _unit_vector(item.get("embedding"))
                    except ValueError:
                        pass
                    else:
                        extra = {key: item[key] for key in ("episode_type", "state_id", "action_id") if key in item}
                        if extra:
                            metadata = {**metadata, **extra}
                        slot = len(accepted)
                        accepted.append((item_device, vec, norm, metadata))
            slots.append(slot)
        ids = self._store_vectors(accepted) if accepted else []
        return [None if slot is None else ids[slot] for slot in slots]

    def _store_vectors(self, entries: List[Tuple[str, List[float], float, dict]]) -> List[str]:
        rows = []
        for device, vec, norm, metadata in entries:
            try:
                meta = json.dumps(metadata)
            except (TypeError, ValueError) as exc:
                raise ResolverError(f"metadata cannot be stored as JSON: {exc}", 422) from None
            unit = array.array("d", [x / norm for x in vec] if norm > 0.0 else [0.0] * len(vec))
            rows.append((uuid.uuid4().hex, device, unit.tobytes(), meta))
        self._keep_vectors(rows)
        return [vid for vid, _, _, _ in rows]

    def _keep_vectors(self, rows: List[Tuple[str, str, bytes, str]]) -> None:
        """Stores (id, device id, unit vector as doubles, metadata JSON) rows and indexes them."""
        with self._lock:
            self._check_open()
            rowids = self._store.add_vectors(rows)
            for rowid, (_, device, blob, _) in zip(rowids, rows):
                index = self._vectors.get(device)
                if index is None:
                    index = self._vectors[device] = VectorIndex()
                index.append(rowid, blob)

    def _vector_index(self, device: str) -> Optional[VectorIndex]:
        with self._lock:
            self._check_open()
            return self._vectors.get(device)

    def _nearest(self, device: str, vec: List[float], norm: float, k: int) -> List[dict]:
        index = self._vector_index(device)
        if k == 0 or index is None:
            return []
        probe = array.array("d", [x / norm for x in vec] if norm > 0.0 else [0.0] * len(vec))
        found = index.search(probe.tobytes(), k)
        if not found:
            return []
        with self._lock:
            self._check_open()
            records = self._store.vector_records([rowid for _, rowid in found])
        return [
            {"id": records[rowid][0], "score": score, "metadata": json.loads(records[rowid][1])}
            for score, rowid in found
        ]

    # -- inspection -------------------------------------------------------------
    def stats(self) -> dict:
        """Counts per device: episodes, outcomes recorded and vectors."""
        with self._lock:
            self._check_open()
            return {
                "episodes": {device: len(index) for device, index in self._devices.items()},
                "outcomes": len(self._outcomes),
                "vectors": {device: len(index) for device, index in self._vectors.items()},
                "vectors_enabled": self.vectors_enabled,
            }

    @property
    def episodes(self) -> Dict[str, List[dict]]:
        """Every stored episode, per device, in arrival order (fresh copies)."""
        with self._lock:
            self._check_open()
            out: Dict[str, List[dict]] = {}
            for device, body in self._store.episode_bodies():
                out.setdefault(device, []).append(json.loads(body))
        return out

    @property
    def outcomes(self) -> Dict[str, dict]:
        """Recorded outcomes by episode id (fresh copies)."""
        with self._lock:
            return json.loads(json.dumps(self._outcomes))

    @property
    def vectors(self) -> Dict[str, List[Tuple[str, List[float], dict]]]:
        """Stored vectors per device as (id, unit vector, metadata), in arrival order."""
        with self._lock:
            self._check_open()
            out: Dict[str, List[Tuple[str, List[float], dict]]] = {}
            for device, vid, blob, meta in self._store.all_vectors():
                unit = array.array("d")
                unit.frombytes(blob)
                out.setdefault(device, []).append((vid, unit.tolist(), json.loads(meta)))
        return out


# -- HTTP ----------------------------------------------------------------------


class ResolverHTTPServer(ThreadingHTTPServer):
    """HTTP front of a :class:`LocalResolver`, one thread per connection.

    Routes (JSON in, JSON out; errors are ``{"error": message}`` with the
    status of the failure):

    ========  ======================  =========================================
    GET       /v1/health              ``{"status": "ok", "vectors": bool}``
    GET       /v1/stats               :meth:`LocalResolver.stats`
    POST      /v1/episodes/ingest     ``{"device_id", "batch"}``
    POST      /v1/episodes/query      ``{"query_text", "k", "device_id", "include_episode", "prefer_success"}`` -> ``{"hits"}``
    POST      /v1/episodes/outcome    ``{"episode_id", "result", "health_label"}``
    POST      /qx/ingest, /qx/query   the vector endpoints (404 without vectors)
    ========  ======================  =========================================
    """

    daemon_threads = True
    allow_reuse_address = True
    # Many clients connect at once; the default backlog of 5 drops their SYNs.
    request_queue_size = 128

    def __init__(self, address: Tuple[str, int], resolver: LocalResolver, *, log: Optional[Callable[[str], None]] = None):
        self.resolver = resolver
        self.log = log
        self._active = 0
        self._idle = threading.Condition()
        super().__init__(address, _Handler)

    def _enter_request(self) -> None:
        with self._idle:
            self._active += 1

    def _leave_request(self) -> None:
        with self._idle:
            self._active -= 1
            if self._active == 0:
                self._idle.notify_all()

    def wait_idle(self, timeout: float) -> bool:
        """Waits until no request is being served (idle keep-alive connections do not count)."""
        with self._idle:
            return self._idle.wait_for(lambda: self._active == 0, timeout)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{port}"


def make_server(
    resolver: LocalResolver,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    log: Optional[Callable[[str], None]] = None,
) -> ResolverHTTPServer:
    """A bound (not yet serving) HTTP server for ``resolver``; port 0 picks a free port."""
    return ResolverHTTPServer((host, port), resolver, log=log)


class _Handler(BaseHTTPRequestHandler):
    server: ResolverHTTPServer
    protocol_version = "HTTP/1.1"
    server_version = "orvane-resolver/1"
    # A connection that sends nothing for this long is closed, so idle
    # keep-alive clients cannot hold a thread forever.
    timeout = 60

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        if self.server.log is not None:
            self.server.log("%s %s" % (self.address_string(), format % args))

    # Every method gets an answer; unknown ones a 405 from _dispatch.
    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_PUT(self) -> None:
        self._dispatch("PUT")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def do_PATCH(self) -> None:
        self._dispatch("PATCH")

    def _dispatch(self, method: str) -> None:
        self.server._enter_request()
        try:
            self._serve(method)
        finally:
            self.server._leave_request()

    def _serve(self, method: str) -> None:
        path = self.path.split("?", 1)[0]
        try:
            body = self._read_body() if method in ("POST", "PUT", "PATCH") else None
            status, answer = HTTPStatus.OK, self._route(method, path, body)
        except ResolverError as exc:
            status, answer = exc.status_code or 500, {"error": str(exc)}
        except Exception as exc:  # a bug must still answer, and not kill the server
            status, answer = HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"{type(exc).__name__}: {exc}"}
            if self.server.log is not None:
                self.server.log(f"error serving {method} {path}: {type(exc).__name__}: {exc}")
        self._send(int(status), answer)

    def _read_body(self) -> Any:
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked" or length is None:
            self.close_connection = True
            raise ResolverError("a request body needs a Content-Length", 411)
        try:
            size = int(length)
        except ValueError:
            self.close_connection = True
            raise ResolverError("bad Content-Length", 400) from None
        if size < 0 or size > MAX_BODY_BYTES:
            self.close_connection = True
            raise ResolverError(f"request body over {MAX_BODY_BYTES} bytes", 413)
        raw = self.rfile.read(size)
        if len(raw) != size:
            self.close_connection = True
            raise ResolverError("request body cut short", 400)
        if not raw:
            return None
        try:
            return json.loads(raw)
        except (UnicodeDecodeError, ValueError) as exc:
            raise ResolverError(f"request body is not JSON: {exc}", 400) from None

    def _route(self, method: str, path: str, body: Any) -> Any:
        resolver = self.server.resolver
        if path in VECTOR_PATHS:
            return resolver.request(method, path, body)
        route = _ROUTES.get(path)
        if route is None:
            raise ResolverError(f"{method} {path}: not found", 404)
        want, call = route
        if method != want:
            raise ResolverError(f"{method} {path}: method not allowed", 405)
        if want == "POST" and not isinstance(body, dict):
            raise ResolverError("the request body must be a JSON object", 400)
        return call(resolver, body)

    def _send(self, status: int, answer: Any) -> None:
        data = json.dumps(answer).encode("utf-8")
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            if self.close_connection:
                self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


def _ingest_route(resolver: LocalResolver, body: dict) -> dict:
    return resolver.ingest(body.get("batch"), body.get("device_id"))


def _query_route(resolver: LocalResolver, body: dict) -> dict:
    hits = resolver.query(
        body.get("query_text"),
        body.get("k", 10),
        body.get("device_id"),
        bool(body.get("include_episode", True)),
        bool(body.get("prefer_success", True)),
    )
    return {"hits": hits}


def _outcome_route(resolver: LocalResolver, body: dict) -> dict:
    return resolver.record_outcome(body.get("episode_id"), body.get("result"), body.get("health_label"))


_ROUTES: Dict[str, Tuple[str, Callable[[LocalResolver, Any], Any]]] = {
    "/v1/health": ("GET", lambda r, _: {"status": "ok", "vectors": r.vectors_enabled}),
    "/v1/stats": ("GET", lambda r, _: r.stats()),
    "/v1/episodes/ingest": ("POST", _ingest_route),
    "/v1/episodes/query": ("POST", _query_route),
    "/v1/episodes/outcome": ("POST", _outcome_route),
}
