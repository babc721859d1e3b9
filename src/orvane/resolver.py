"""A local resolver: episode store, similarity query, outcomes and vector store.

:class:`LocalResolver` is what :class:`orvane.client.Brenlow` talks to when it
is given no ``url``, and what ``orvane serve`` offers over HTTP
(:mod:`orvane.server`) so that several processes can share one store.

Everything is kept in SQLite, in memory by default or in a file when a path
is given; a file opened again brings its episodes, outcomes and vectors back.
Beside the tables the resolver keeps small in-memory indexes (each episode's
channel values, each vector scaled to unit length) so that a query never
re-reads or re-parses stored records; only the hits it returns are read back.

Similarity of episodes: the query text spells channel values as
``name=value`` (``"sensor state temp=21.4568 rpm=1500.0"``); an episode's own
values are its state context (``state.context``), or the ``name=value`` pairs
of its text when it has none. Each channel's difference is measured in units
of that channel's spread over the device's stored episodes, so a channel that
moves in thousands and one that moves in hundredths weigh alike. The score is
``1 / (1 + d)`` where ``d`` is the root mean square of those differences over
the query's channels (each capped at ``_Z_CAP``; a channel the episode lacks
counts as the cap): 1.0 for identical values, falling toward 0.

Vectors are compared by cosine similarity, per device, among vectors of the
query's length.
"""

from __future__ import annotations

import array
import heapq
import json
import math
from operator import add as _add, mul as _mul
import sqlite3
import threading
import time
import uuid
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple

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


def _dot(a: List[float], b: Tuple[float, ...]) -> float:
    return sum(map(_mul, a, b))


class _ChannelSpread:
    """Running mean and variance (Welford) of one channel over a device's episodes."""

    __slots__ = ("n", "mean", "m2")

    def __init__(self) -> None:
        self.n = 0
        self.mean = 0.0
        self.m2 = 0.0

    def add(self, x: float) -> None:
        self.n += 1
        d = x - self.mean
        self.mean += d / self.n
        self.m2 += d * (x - self.mean)

    def inverse_scale(self) -> float:
        if self.n < 2:
            return 1.0
        std = math.sqrt(self.m2 / (self.n - 1))
        return 1.0 / std if std > 1e-12 else 1.0


class _DeviceEpisodes:
    """In-memory index of one device's episodes; every list is only appended to.

    Channel values are kept as columns (NaN where an episode lacks the
    channel), so a query runs one tight loop per channel.
    """

    def __init__(self) -> None:
        self.rowids: List[int] = []
        self.episode_ids: List[Optional[str]] = []
        # Native doubles: no float object per value, so nothing small and
        # long-lived is scattered among a request's short-lived objects.
        self.columns: Dict[str, "array.array[float]"] = {}
        self.spread: Dict[str, _ChannelSpread] = {}

    def add(self, rowid: int, episode_id: Optional[str], values: Dict[str, float]) -> None:
        n = len(self.rowids)
        for key in values:
            if key not in self.columns:
                self.columns[key] = array.array("d", [_NAN]) * n
                self.spread[key] = _ChannelSpread()
        for key, column in self.columns.items():
            x = values.get(key)
            if x is None:
                column.append(_NAN)
            else:
                column.append(x)
                self.spread[key].add(x)
        self.rowids.append(rowid)
        self.episode_ids.append(episode_id)


_NAN = float("nan")


_SCHEMA = """
CREATE TABLE IF NOT EXISTS episodes (
    rowid INTEGER PRIMARY KEY,
    device_id TEXT NOT NULL,
    episode_id TEXT,
    body TEXT NOT NULL,
    ingested_at REAL NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS episodes_by_id ON episodes (device_id, episode_id);
CREATE TABLE IF NOT EXISTS outcomes (
    episode_id TEXT PRIMARY KEY,
    result TEXT NOT NULL,
    health_label TEXT,
    recorded_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS device_outcomes (
    device_id TEXT NOT NULL,
    episode_id TEXT NOT NULL,
    result TEXT NOT NULL,
    health_label TEXT,
    recorded_at REAL NOT NULL,
    PRIMARY KEY (device_id, episode_id)
);
CREATE TABLE IF NOT EXISTS vectors (
    rowid INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    device_id TEXT NOT NULL,
    embedding BLOB NOT NULL,
    metadata TEXT NOT NULL
);
"""


def _similarities(columns: List[Tuple[float, float, Optional[List[float]]]], n: int) -> List[float]:
    """``1 / (1 + d)`` per episode, d the RMS of capped scaled differences (module docstring)."""
    cap2 = _Z_CAP * _Z_CAP
    if not columns:
        return [0.0] * n
    # A channel the device never had counts as the cap for every episode: once, not per channel.
    totals = [cap2 * sum(1 for _, _, column in columns if column is None)] * n
    for x, inv, column in columns:
        if column is None:
            continue
        # A missing value is NaN, whose square fails the comparison: it counts as the cap.
        part = [z if (z := ((x - v) * inv) ** 2) < cap2 else cap2 for v in column]
        totals = list(map(_add, totals, part))
    m = float(len(columns))
    return [1.0 / (1.0 + math.sqrt(t / m)) for t in totals]


class _NoScores:
    """Scores of a query without channels: 0.0 for every episode."""

    def __getitem__(self, i: int) -> float:
        return 0.0


_NO_SCORES = _NoScores()


def _newest(episode_ids: List[Optional[str]], k: int, outcomes: Optional[Dict[str, dict]]) -> List[int]:
    """The k newest positions; with ``outcomes``, successful ones first (newest first in each group)."""
    n = len(episode_ids)
    if outcomes is None:
        return list(range(n - 1, max(n - k, 0) - 1, -1))
    good: List[int] = []
    rest: List[int] = []
    for i in range(n - 1, -1, -1):
        if _is_success(outcomes.get(episode_ids[i])):
            good.append(i)
            if len(good) == k:
                break
        elif len(rest) < k:
            rest.append(i)
    return (good + rest)[:k]


class LocalResolver:
    """Episodes, outcomes and vectors of many devices in one SQLite database.

    ``path`` is a database file, or None / ":memory:" for a private in-memory
    database. ``vectors=False`` makes the vector endpoints answer 404, as a
    resolver from before vector retrieval does. Every operation is safe to
    call from several threads at once.
    """

    def __init__(self, path: Optional[str] = None, *, vectors: bool = True):
        self.path = path or ":memory:"
        self.vectors_enabled = bool(vectors)
        # One connection, used under _lock only: an in-memory database lives
        # in its connection, and one writer keeps SQLite's own locking simple.
        self._db = sqlite3.connect(self.path, check_same_thread=False, isolation_level=None, timeout=1.0)
        self._lock = threading.Lock()
        self._closed = False
        try:
            if self.path != ":memory:":
                # The indexes live in this process, so a second resolver on the
                # same file would never see this one's writes: hold the file
                # exclusively (from the first write on) until close().
                self._db.execute("PRAGMA locking_mode=EXCLUSIVE")
                self._db.execute("PRAGMA journal_mode=WAL")
                self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.executescript(_SCHEMA)
        except sqlite3.OperationalError as exc:
            self._db.close()
            if "locked" in str(exc):
                raise ResolverError(f"the store {self.path} is in use by another resolver", 409) from None
            raise
        self._devices: Dict[str, _DeviceEpisodes] = {}
        # device -> episode id -> outcome; _unplaced: outcomes of an older store
        # (keyed by episode id alone) whose episode has not arrived yet.
        self._outcomes: Dict[str, Dict[str, dict]] = {}
        self._unplaced: Dict[str, dict] = {}
        self._vectors: Dict[str, List[Tuple[int, str, Tuple[float, ...], str]]] = {}
        self._load()

    # -- lifecycle --------------------------------------------------------------
    def _load(self) -> None:
        for rowid, device_id, episode_id, body in self._db.execute(
            "SELECT rowid, device_id, episode_id, body FROM episodes ORDER BY rowid"
        ):
            episode = json.loads(body)
            self._device_index(device_id).add(rowid, episode_id, _episode_values(episode))
        self._place_old_outcomes()
        for device_id, episode_id, result, label in self._db.execute(
            "SELECT device_id, episode_id, result, health_label FROM device_outcomes"
        ):
            self._outcomes.setdefault(device_id, {})[episode_id] = _outcome_record(result, label)
        for episode_id, result, label in self._db.execute("SELECT episode_id, result, health_label FROM outcomes"):
            self._unplaced[episode_id] = _outcome_record(result, label)
        for rowid, vid, device_id, blob, metadata in self._db.execute(
            "SELECT rowid, id, device_id, embedding, metadata FROM vectors ORDER BY rowid"
        ):
            unit = array.array("d")
            unit.frombytes(blob)
            self._vectors.setdefault(device_id, []).append((rowid, vid, tuple(unit), metadata))

    def _place_old_outcomes(self) -> None:
        """Outcomes of an older store were keyed by episode id alone: each goes to the devices holding its episode.

        One whose episode no device holds yet stays in the old table until
        that episode arrives (see ingest).
        """
        if self._db.execute("SELECT 1 FROM outcomes LIMIT 1").fetchone() is None:
            return
        cur = self._db.cursor()
        cur.execute("BEGIN")
        try:
            cur.execute(
                "INSERT OR IGNORE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
                " SELECT DISTINCT e.device_id, o.episode_id, o.result, o.health_label, o.recorded_at"
                " FROM outcomes o JOIN episodes e ON e.episode_id = o.episode_id"
            )
            cur.execute("DELETE FROM outcomes WHERE episode_id IN (SELECT episode_id FROM episodes)")
            cur.execute("COMMIT")
        except BaseException:
            cur.execute("ROLLBACK")
            raise

    def close(self) -> None:
        """Closes the database; later calls raise ResolverError 503."""
        with self._lock:
            if not self._closed:
                self._closed = True
                self._db.close()

    def __enter__(self) -> "LocalResolver":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ResolverError("the resolver is closed", 503)

    def _device_index(self, device_id: str) -> _DeviceEpisodes:
        index = self._devices.get(device_id)
        if index is None:
            index = self._devices[device_id] = _DeviceEpisodes()
        return index

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
            rows.append((episode_id, body, _episode_values(stored)))
        now = time.time()
        stored_count = 0
        with self._lock:
            self._check_open()
            index = self._device_index(device_id)
            added = []
            cur = self._db.cursor()
            cur.execute("BEGIN")
            try:
                for episode_id, body, values in rows:
                    cur.execute(
                        "INSERT OR IGNORE INTO episodes (device_id, episode_id, body, ingested_at) VALUES (?, ?, ?, ?)",
                        (device_id, episode_id, body, now),
                    )
                    if cur.rowcount:
                        added.append((cur.lastrowid, episode_id, values))
                placed = [eid for _, eid, _ in added if eid in self._unplaced] if self._unplaced else []
                for eid in placed:
                    record = self._unplaced[eid]
                    label = record.get("metrics", {}).get("health_label")
                    cur.execute(
                        "INSERT OR IGNORE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
                        " VALUES (?, ?, ?, ?, ?)",
                        (device_id, eid, record["result"], label, now),
                    )
                    cur.execute("DELETE FROM outcomes WHERE episode_id = ?", (eid,))
                cur.execute("COMMIT")
            except BaseException:
                cur.execute("ROLLBACK")
                raise
            for rowid, episode_id, values in added:
                index.add(rowid, episode_id, values)
            for eid in placed:
                self._outcomes.setdefault(device_id, {}).setdefault(eid, self._unplaced.pop(eid))
            stored_count = len(added)
        return {"accepted": len(batch), "stored": stored_count}

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
        with self._lock:
            self._check_open()
            self._db.execute(
                "INSERT OR REPLACE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
                " VALUES (?, ?, ?, ?, ?)",
                (device_id, episode_id, result, health_label, time.time()),
            )
            self._outcomes.setdefault(device_id, {})[episode_id] = _outcome_record(result, health_label)
        return {"episode_id": episode_id, "device_id": device_id, "recorded": True}

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
        Best first; equal scores put successful outcomes first when
        ``prefer_success``, then newer episodes first.
        """
        if not isinstance(text, str):
            raise ResolverError("query_text must be a string", 400)
        k = _count(k, "k")
        device_id = _device(device_id)
        try:
            probe = channel_values(text, MAX_QUERY_PAIRS)
        except ValueError as exc:
            raise ResolverError(f"query_text holds {exc} (at most {MAX_QUERY_PAIRS})", 400) from None
        with self._lock:
            self._check_open()
            index = self._devices.get(device_id)
            if index is None or k == 0:
                return []
            n = len(index.rowids)
            rowids = index.rowids[:n]
            episode_ids = index.episode_ids[:n]
            columns = []
            for key, x in probe.items():
                column = index.columns.get(key)
                inv = index.spread[key].inverse_scale() if column is not None else 1.0
                columns.append((x, inv, column[:n] if column is not None else None))
        if n == 0:
            return []
        outcomes = self._outcomes.get(device_id, {})
        if not columns:
            # No channel to compare: every episode scores 0.0 and only the tie order counts.
            scores = _NO_SCORES
            chosen = _newest(episode_ids, k, outcomes if prefer_success else None)
        else:
            scores = _similarities(columns, n)
            # Best k by score; among scores equal to the k-th best, successful
            # outcomes first (when asked), then newer episodes.
            top = heapq.nlargest(k, range(n), key=scores.__getitem__)
            floor = scores[top[-1]]
            tied = [i for i in range(n) if scores[i] >= floor]
            if prefer_success:
                tied.sort(key=lambda i: (scores[i], _is_success(outcomes.get(episode_ids[i])), rowids[i]), reverse=True)
            else:
                tied.sort(key=lambda i: (scores[i], rowids[i]), reverse=True)
            chosen = tied[:k]
        with self._lock:
            self._check_open()
            bodies = {}
            wanted = [rowids[i] for i in chosen]
            for start in range(0, len(wanted), 500):
                part = wanted[start : start + 500]
                marks = ",".join("?" * len(part))
                for rowid, body in self._db.execute(f"SELECT rowid, body FROM episodes WHERE rowid IN ({marks})", part):
                    bodies[rowid] = body
            recorded = {episode_ids[i]: outcomes.get(episode_ids[i]) for i in chosen}
        hits = []
        for i in chosen:
            score, rowid = scores[i], rowids[i]
            episode = json.loads(bodies[rowid])
            outcome = recorded.get(episode_ids[i])
            if outcome is None:
                outcome = episode.get("outcome")
            hit: Dict[str, Any] = {
                "score": round(score, 6),
                "episode_id": episode_ids[i],
                "outcome": json.loads(json.dumps(outcome)),
            }
            if include_episode:
                hit["episode"] = episode
            hits.append(hit)
        return hits

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
            unit = tuple(x / norm for x in vec) if norm > 0.0 else tuple(0.0 for _ in vec)
            rows.append((uuid.uuid4().hex, device, unit, meta))
        with self._lock:
            self._check_open()
            cur = self._db.cursor()
            cur.execute("BEGIN")
            try:
                stored = []
                for vid, device, unit, meta in rows:
                    cur.execute(
                        "INSERT INTO vectors (id, device_id, embedding, metadata) VALUES (?, ?, ?, ?)",
                        (vid, device, array.array("d", unit).tobytes(), meta),
                    )
                    stored.append((device, (cur.lastrowid, vid, unit, meta)))
                cur.execute("COMMIT")
            except BaseException:
                cur.execute("ROLLBACK")
                raise
            for device, entry in stored:
                self._vectors.setdefault(device, []).append(entry)
        return [vid for vid, _, _, _ in rows]

    def _nearest(self, device: str, vec: List[float], norm: float, k: int) -> List[dict]:
        with self._lock:
            self._check_open()
            stored = self._vectors.get(device, [])
            n = len(stored)
        if k == 0 or n == 0:
            return []
        dim = len(vec)
        probe = [x / norm for x in vec] if norm > 0.0 else [0.0] * dim
        dot = _dot

        def scored() -> Iterable[Tuple[float, int, int]]:
            for i in range(n):
                unit = stored[i][2]
                if len(unit) == dim:
                    yield (dot(probe, unit), -stored[i][0], i)

        top = heapq.nlargest(k, scored())
        return [{"id": stored[i][1], "score": score, "metadata": json.loads(stored[i][3])} for score, _, i in top]

    # -- inspection -------------------------------------------------------------
    def stats(self, device_id: Optional[str] = None) -> dict:
        """Counts per device of episodes and vectors, and the outcomes recorded; with ``device_id``, that device's only."""
        with self._lock:
            self._check_open()
            if device_id is not None:
                index, vectors = self._devices.get(device_id), self._vectors.get(device_id)
                return {
                    "episodes": {device_id: len(index.rowids)} if index is not None else {},
                    "outcomes": len(self._outcomes.get(device_id, ())),
                    "vectors": {device_id: len(vectors)} if vectors is not None else {},
                    "vectors_enabled": self.vectors_enabled,
                }
            return {
                "episodes": {device: len(index.rowids) for device, index in self._devices.items()},
                "outcomes": sum(map(len, self._outcomes.values())),
                "vectors": {device: len(entries) for device, entries in self._vectors.items()},
                "vectors_enabled": self.vectors_enabled,
            }

    @property
    def episodes(self) -> Dict[str, List[dict]]:
        """Every stored episode, per device, in arrival order (fresh copies)."""
        with self._lock:
            self._check_open()
            out: Dict[str, List[dict]] = {}
            for device, body in self._db.execute("SELECT device_id, body FROM episodes ORDER BY rowid"):
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
            return {
                device: [(vid, list(unit), json.loads(meta)) for _, vid, unit, meta in entries]
                for device, entries in self._vectors.items()
            }


# The HTTP server lives in orvane.server; its names stay reachable from here.
_SERVER_NAMES = ("ResolverHTTPServer", "make_server", "DEFAULT_MAX_BODY")


def __getattr__(name: str) -> Any:
    if name in _SERVER_NAMES:
        from . import server

        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
