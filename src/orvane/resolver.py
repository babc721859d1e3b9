"""A local resolver: episode store, similarity query, outcomes and vector store.

:class:`LocalResolver` is what :class:`orvane.client.Brenlow` talks to when it
is given no ``url``, and what ``orvane serve`` offers over HTTP
(:mod:`orvane.server`) so that several processes can share one store.

Everything is kept in SQLite, in memory by default or in a file when a path
is given; a file opened again brings its episodes, outcomes and vectors back.
A ``postgresql://`` (or ``postgres://``) path keeps them in PostgreSQL
instead, shared by several resolvers (:mod:`orvane.resolver_pg`).
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
import threading
import time
import uuid
from typing import Any, Dict, Iterator, List, Optional, Tuple

from ._search import EpisodeIndex, VectorIndex, load_episodes
from .resolver_store import SQLiteStore, StoreError, pack_channels

__all__ = [
    "ResolverError",
    "LocalResolver",
    "channel_values",
    "VECTOR_PATHS",
]

#: The vector endpoints; a resolver started without vectors answers 404 there.
VECTOR_PATHS = ("/qx/ingest", "/qx/query")
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


#: Most ``name=value`` pairs a query text may hold.
MAX_QUERY_PAIRS = 1024

# A pair is a whitespace-delimited token holding "=" after its first
# character and before its last: the name runs to the first such "=", the
# value is the rest of the token ("a==b" is a = "=b", "=a=b" is "=a" = "b").
# The text is split in pieces cut between tokens, so a long text costs a few
# C-speed passes over each character and the tokens of one piece at a time.
_PIECE = 1 << 16


def _pairs(text: str) -> Iterator[Tuple[str, str]]:
    """The ``name=value`` pairs of a text, in order (names may repeat)."""
    pos, n = 0, len(text)
    if "=" not in text:
        return
    while pos < n:
        width = _PIECE
        while True:
            piece = text[pos : pos + width]
            if pos + width >= n or piece[-1].isspace() or text[pos + width].isspace():
                used = len(piece)
                break
            # The piece ends inside a token: leave that token to the next piece.
            used = len(piece) - len(piece.rsplit(None, 1)[-1])
            if used:
                piece = piece[:used]
                break
            width *= 2  # one token longer than the piece: widen it
        pos += used
        if "=" not in piece:
            continue
        for token in piece.split():
            if "=" in token:
                split = token.find("=", 1, len(token) - 1)
                if split >= 0:
                    yield token[:split], token[split + 1 :]


def channel_values(text: str, limit: Optional[int] = None) -> Dict[str, float]:
    """Finite channel values spelled as ``name=value`` in a text.

    With ``limit``, a text holding more than that many ``name=value`` pairs
    (numeric or not) raises ValueError; reading stops at the first one over.
    """
    out: Dict[str, float] = {}
    seen = 0
    for key, raw in _pairs(text):
        seen += 1
        if limit is not None and seen > limit:
            raise ValueError(f"more than {limit} name=value pairs")
        try:
            value = float(raw.rstrip(".,;"))
        except ValueError:
            continue
        if math.isfinite(value):
            out[key] = value
    return out


#: Most channels of one episode that the index holds (the episode is stored whole).
MAX_INDEXED_CHANNELS = 1024
#: Longest channel name the index holds.
MAX_CHANNEL_NAME = 256


def _episode_values(episode: dict) -> Dict[str, float]:
    """The channel values an episode is indexed by: its first MAX_INDEXED_CHANNELS usable ones.

    An episode may carry any number of payload entries, and a refused batch
    would be lost whole, so wide episodes are stored as they are and only
    their index entry is bounded; names over MAX_CHANNEL_NAME characters are
    not indexed.
    """
    state = episode.get("state")
    context = state.get("context") if isinstance(state, dict) else None
    out: Dict[str, float] = {}
    if isinstance(context, dict) and context:
        for key, value in context.items():
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                value = float(value)
                key = str(key)
                if math.isfinite(value) and len(key) <= MAX_CHANNEL_NAME:
                    out[key] = value
                    if len(out) == MAX_INDEXED_CHANNELS:
                        break
        return out
    emb = episode.get("embeddings")
    text = emb.get("text") if isinstance(emb, dict) else None
    if isinstance(text, str):
        for key, value in channel_values(text).items():
            if len(key) <= MAX_CHANNEL_NAME:
                out[key] = value
                if len(out) == MAX_INDEXED_CHANNELS:
                    break
    return out


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
    database, or a ``postgresql://`` URL (:mod:`orvane.resolver_pg`). ``vectors=False`` makes the vector endpoints answer 404, as a
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
        # device -> episode id -> outcome; _unplaced: outcomes of an older store
        # (keyed by episode id alone) whose episode has not arrived yet.
        self._outcomes: Dict[str, Dict[str, dict]] = {}
        self._unplaced: Dict[str, Tuple[str, Optional[str]]] = {}
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
        for device_id, episode_id, result, label in self._store.outcomes():
            self._outcomes.setdefault(device_id, {})[episode_id] = _outcome_record(result, label)
        for episode_id, result, label in self._store.unplaced_outcomes():
            self._unplaced[episode_id] = (result, label)
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
            added = self._store.add_episodes(device_id, rows, now, self._unplaced)
            self._devices.setdefault(device_id, index)
            for rowid, j in added:
                index.append(rowid, rows[j][2])
            if self._unplaced:
                for _, j in added:
                    old = self._unplaced.pop(rows[j][0], None) if rows[j][0] is not None else None
                    if old is not None:
                        self._outcomes.setdefault(device_id, {}).setdefault(rows[j][0], _outcome_record(*old))
        return len(added)

    def record_outcome(self, episode_id: Any, result: Any, health_label: Any = None, device_id: Any = None) -> dict:
        """Records what became of one of a device's episodes (a later record replaces an earlier one).

        Outcomes are kept per device (default "default-device"): another
        device's episode of the same id keeps its own. The episode need not
        have arrived yet: episodes are sent in the background, and the
        outcome applies whenever it does.
        """
        device_id = _device("default-device" if device_id is None else device_id)
        if not isinstance(episode_id, str) or not episode_id:
            raise ResolverError("episode_id must be a non-empty string", 400)
        if not isinstance(result, str) or not result:
            raise ResolverError("result must be a non-empty string", 400)
        if health_label is not None and not isinstance(health_label, str):
            raise ResolverError("health_label must be a string or null", 400)
        self._keep_outcome(device_id, episode_id, result, health_label, time.time())
        return {"episode_id": episode_id, "device_id": device_id, "recorded": True}

    def _keep_outcome(
        self, device_id: str, episode_id: str, result: str, health_label: Optional[str], now: float
    ) -> None:
        with self._lock:
            self._check_open()
            self._store.put_outcome(device_id, episode_id, result, health_label, now)
            self._outcomes.setdefault(device_id, {})[episode_id] = _outcome_record(result, health_label)

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
        try:
            probe = channel_values(text, MAX_QUERY_PAIRS)
        except ValueError as exc:
            raise ResolverError(f"query_text holds {exc} (at most {MAX_QUERY_PAIRS})", 400) from None
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
            outcomes = self._outcomes.get(device_id, {})
            recorded = [outcomes.get(records[rowid][0]) for _, rowid in found]
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
    def stats(self, device_id: Optional[str] = None) -> dict:
        """Counts per device of episodes and vectors, and the outcomes recorded; with ``device_id``, that device's only."""
        with self._lock:
            self._check_open()
            if device_id is not None:
                index, vectors = self._devices.get(device_id), self._vectors.get(device_id)
                return {
                    "episodes": {device_id: len(index)} if index is not None else {},
                    "outcomes": len(self._outcomes.get(device_id, ())),
                    "vectors": {device_id: len(vectors)} if vectors is not None else {},
                    "vectors_enabled": self.vectors_enabled,
                }
            return {
                "episodes": {device: len(index) for device, index in self._devices.items()},
                "outcomes": sum(map(len, self._outcomes.values())),
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
    def outcomes(self) -> Dict[str, Dict[str, dict]]:
        """Recorded outcomes per device, by episode id (fresh copies)."""
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


# The HTTP server lives in orvane.server; its names stay reachable from here.
_SERVER_NAMES = ("ResolverHTTPServer", "make_server", "DEFAULT_MAX_BODY")


def __getattr__(name: str) -> Any:
    if name in _SERVER_NAMES:
        from . import server

        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
