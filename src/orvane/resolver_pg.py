"""PostgreSQL store of the resolver: several servers sharing one database.

``LocalResolver("postgresql://USER@HOST:PORT/DB")`` (also ``postgres://``)
keeps episodes, outcomes and vectors in PostgreSQL tables instead of SQLite,
so that any number of ``orvane serve`` processes on any number of hosts serve
one fleet from one durable store. Each process keeps in-memory indexes only
for the devices it has been asked about, loads a device from its tables on
first use, and follows what the other processes write through a change feed.

Commit order
------------
Ids from a sequence are handed out at insert time, and concurrent
transactions may commit in another order than their ids: a reader that asks
for "ids above the last one I saw" can pass over a row whose transaction was
still open and never look back. Every write here therefore runs under one
transaction-scoped advisory lock, taken before the first id is drawn and held
until the commit is visible to others. Ids are then drawn and made visible in
the same order, so at any moment the rows anyone can see form a prefix of the
id order (gaps only where a transaction rolled back or skipped a duplicate),
and "ids above the last seen" misses nothing. The tables themselves are the
commit-ordered change log: ``episodes.id``, ``vectors.seq``, and
``outcomes.seq`` (a fresh number at every insert or replacement of an
outcome). The lock covers only the inserts and the commit, which for a batch
of episodes is about a millisecond; the request's parsing and encoding happen
before it. We chose this over re-reading a window below the last id because
it also gives every index the database's id order without re-sorting: a row
always reaches an index after every row with a smaller id, on every server,
so "newest first" means the same everywhere.

Following the other servers
---------------------------
A background thread polls the three tables every ``POLL_INTERVAL`` seconds
for rows past its cursors, in one repeatable-read snapshot, and applies those
of the devices this process holds; the cursors move to the largest visible
id whether or not a row was of interest. A write made through this process
waits, before it is acknowledged, until its rows have been applied the same
way (one poll serves every request waiting at that moment), so a client reads
its own writes at once and every row enters an index through one path, in id
order. Loading a device and polling take the same lock: a device is loaded up
to the cursor (every id at or below it is committed, by the prefix rule) and
the next poll brings the rest.

An ingest is acknowledged only after its transaction has committed; a
resolver killed at any moment loses nothing it acknowledged, and a batch sent
again after a lost answer is not stored twice (episode ids are unique per
device).
"""

from __future__ import annotations

import array
import json
import math
import os
import sqlite3
import sys
import threading
import time
import urllib.parse
import uuid
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

__all__ = ["is_postgres_url", "PostgresStore", "PostgresResolver", "SCHEMA_VERSION", "migrate_sqlite", "MigrationError"]

#: Version of the tables this release writes; older ones are brought up to it.
SCHEMA_VERSION = 1
#: Seconds between two polls of the change feed: another server's write is
#: found within about this long.
POLL_INTERVAL = 0.1
#: Connections one resolver keeps open at most.
POOL_SIZE = 16
#: Seconds a request waits for a free connection before it is refused with 503.
POOL_WAIT = 30.0

# Second key of the advisory locks (the first is a hash of the schema name,
# so stores in different schemas of one database do not wait on each other).
_WRITE_LOCK = 1
_SCHEMA_LOCK = 2


def is_postgres_url(path: Any) -> bool:
    """Whether a store path names a PostgreSQL database."""
    return isinstance(path, str) and path.startswith(("postgresql://", "postgres://"))


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError:
        from .resolver import ResolverError

        raise ResolverError(
            "a postgresql:// store needs psycopg 3: pip install 'orvane[postgres]'", 500
        ) from None
    return psycopg


def _error(message: str, status: int) -> Exception:
    from .resolver import ResolverError

    return ResolverError(message, status)


def check_text(value: Any, what: str) -> None:
    """PostgreSQL text holds neither NUL characters nor lone surrogates: refuse them plainly."""
    if isinstance(value, str):
        if "\x00" in value:
            raise _error(f"{what} cannot contain NUL characters", 400)
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise _error(f"{what} is not valid Unicode text (lone surrogate)", 400) from None


@contextmanager
def _db_errors() -> Iterator[None]:
    """Database failures as resolver errors: unreachable or failed over is 503."""
    psycopg = _psycopg()
    try:
        yield
    except psycopg.OperationalError as exc:
        raise _error(f"the database is unavailable: {_first_line(exc)}", 503) from None
    except psycopg.DataError as exc:
        raise _error(f"the database refused a value: {_first_line(exc)}", 400) from None


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


class _Pool:
    """A small pool of autocommit connections, opened as needed up to ``size``.

    A connection that comes back broken or inside a transaction (a failure
    half way) is closed rather than handed out again.
    """

    def __init__(self, url: str, size: int):
        self._url = url
        self._size = size
        self._idle: List[Any] = []
        self._count = 0
        self._cond = threading.Condition()
        self._closed = False

    def _connect(self) -> Any:
        psycopg = _psycopg()
        with _db_errors():
            return psycopg.connect(self._url, autocommit=True, connect_timeout=10)

    def _take(self, timeout: float) -> Any:
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                if self._closed:
                    raise _error("the resolver is closed", 503)
                if self._idle:
                    return self._idle.pop()
                if self._count < self._size:
                    self._count += 1
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    raise _error("the database connections are all busy", 503)
                self._cond.wait(left)
        try:
            return self._connect()
        except BaseException:
            with self._cond:
                self._count -= 1
                self._cond.notify()
            raise

    def _give(self, conn: Any) -> None:
        psycopg = _psycopg()
        healthy = not conn.broken and not conn.closed and conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
        with self._cond:
            if healthy and not self._closed:
                self._idle.append(conn)
                self._cond.notify()
                return
            self._count -= 1
            self._cond.notify()
        try:
            conn.close()
        except Exception:
            pass

    @contextmanager
    def connection(self, timeout: float = POOL_WAIT) -> Iterator[Any]:
        conn = self._take(timeout)
        try:
            with _db_errors():
                yield conn
        finally:
            self._give(conn)

    def close(self) -> None:
        with self._cond:
            self._closed = True
            idle, self._idle = self._idle, []
            self._count -= len(idle)
            self._cond.notify_all()
        for conn in idle:
            try:
                conn.close()
            except Exception:
                pass


# -- tables ---------------------------------------------------------------------

# Migration steps: _STEPS[v] brings tables of version v-1 to version v.
_STEPS: Dict[int, List[str]] = {
    1: [
        """CREATE TABLE episodes (
            id BIGSERIAL PRIMARY KEY,
            device_id TEXT NOT NULL,
            episode_id TEXT,
            body TEXT NOT NULL,
            channels BYTEA NOT NULL,
            ingested_at DOUBLE PRECISION NOT NULL,
            UNIQUE (device_id, episode_id)
        )""",
        "CREATE INDEX episodes_by_device ON episodes (device_id, id)",
        "CREATE SEQUENCE outcome_seq",
        """CREATE TABLE outcomes (
            device_id TEXT NOT NULL,
            episode_id TEXT NOT NULL,
            result TEXT NOT NULL,
            health_label TEXT,
            recorded_at DOUBLE PRECISION NOT NULL,
            seq BIGINT NOT NULL,
            PRIMARY KEY (device_id, episode_id)
        )""",
        "CREATE INDEX outcomes_by_seq ON outcomes (seq)",
        """CREATE TABLE vectors (
            seq BIGSERIAL PRIMARY KEY,
            id TEXT NOT NULL UNIQUE,
            device_id TEXT NOT NULL,
            embedding BYTEA NOT NULL,
            metadata TEXT NOT NULL
        )""",
        "CREATE INDEX vectors_by_device ON vectors (device_id, seq)",
        """CREATE TABLE orvane_migrations (
            source TEXT NOT NULL,
            kind TEXT NOT NULL,
            last_rowid BIGINT NOT NULL,
            copied BIGINT NOT NULL,
            PRIMARY KEY (source, kind)
        )""",
    ],
}

_INSERT_EPISODES = """
INSERT INTO episodes (device_id, episode_id, body, channels, ingested_at)
SELECT t.d, t.e, t.b, t.v, t.at
FROM unnest(%(d)s::text[], %(e)s::text[], %(b)s::text[], %(v)s::bytea[], %(at)s::float8[])
    WITH ORDINALITY AS t(d, e, b, v, at, n)
ORDER BY t.n
ON CONFLICT (device_id, episode_id) DO NOTHING
RETURNING id
"""

_UPSERT_OUTCOMES = """
INSERT INTO outcomes (device_id, episode_id, result, health_label, recorded_at, seq)
SELECT t.d, t.e, t.r, t.h, t.at, nextval('outcome_seq')
FROM unnest(%(d)s::text[], %(e)s::text[], %(r)s::text[], %(h)s::text[], %(at)s::float8[]) WITH ORDINALITY AS t(d, e, r, h, at, n)
ORDER BY t.n
ON CONFLICT (device_id, episode_id) DO {action}
RETURNING seq
"""

_INSERT_VECTORS = """
INSERT INTO vectors (id, device_id, embedding, metadata)
SELECT t.i, t.d, t.emb, t.m
FROM unnest(%(i)s::text[], %(d)s::text[], %(emb)s::bytea[], %(m)s::text[]) WITH ORDINALITY AS t(i, d, emb, m, n)
ORDER BY t.n
ON CONFLICT (id) DO NOTHING
RETURNING seq
"""


def prepare_tables(conn: Any) -> int:
    """Creates the tables on first start, brings older ones up to this release,
    and answers the key of this store's advisory locks.

    Several servers starting at once take turns under an advisory lock.
    """
    if conn.execute("SELECT current_schema()").fetchone()[0] is None:
        raise _error("the database connection has no schema to create tables in (check search_path)", 500)
    (lock_key,) = conn.execute("SELECT hashtext('orvane:' || current_schema())").fetchone()
    with conn.transaction():
        conn.execute("SELECT pg_advisory_xact_lock(%s, %s)", (lock_key, _SCHEMA_LOCK))
        conn.execute("CREATE TABLE IF NOT EXISTS orvane_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
        row = conn.execute("SELECT value FROM orvane_meta WHERE key = 'schema_version'").fetchone()
        version = int(row[0]) if row else 0
        if version > SCHEMA_VERSION:
            raise _error(
                f"the database holds orvane tables of version {version}, newer than this release "
                f"understands ({SCHEMA_VERSION}): upgrade orvane",
                500,
            )
        for step in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _STEPS[step]:
                conn.execute(statement)
        if version != SCHEMA_VERSION:
            conn.execute(
                "INSERT INTO orvane_meta (key, value) VALUES ('schema_version', %s)"
                " ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
                (str(SCHEMA_VERSION),),
            )
    return lock_key


class PostgresStore:
    """The tables of one resolver store and the change feed over them.

    Indexes are kept by the caller; the store hands rows to three callbacks,
    always in id order per kind and under the feed lock:

    * ``on_episodes(device_id, [(id, packed channel values), ...])``
    * ``on_outcomes(device_id, [(episode_id, result, health_label), ...])``
    * ``on_vectors(device_id, [(seq, unit vector as float64 bytes), ...])``

    Only devices registered with :meth:`follow_episodes` /
    :meth:`follow_vectors` are followed; every other device costs this
    process nothing. The rest of its methods are those of
    :class:`orvane.resolver_store.SQLiteStore`, safe to call from any thread.
    """

    def __init__(
        self,
        url: str,
        *,
        on_episodes: Callable[[str, List[Tuple[int, bytes]]], None],
        on_outcomes: Callable[[str, List[Tuple[str, str, Optional[str]]]], None],
        on_vectors: Callable[[str, List[Tuple[int, bytes]]], None],
        poll_interval: float = POLL_INTERVAL,
        log: Optional[Callable[[str], None]] = None,
    ):
        self.url = url
        self._on_episodes = on_episodes
        self._on_outcomes = on_outcomes
        self._on_vectors = on_vectors
        self._poll_interval = poll_interval
        self._log = log
        self._pool = _Pool(url, POOL_SIZE)
        self._feed_lock = threading.Lock()
        self._episode_devices: set = set()
        self._outcome_devices: set = set()
        self._vector_devices: set = set()
        with self._pool.connection() as conn:
            self._lock_key = prepare_tables(conn)
            self._cursor_e, self._cursor_o, self._cursor_v = conn.execute(
                "SELECT (SELECT coalesce(max(id), 0) FROM episodes),"
                " (SELECT coalesce(max(seq), 0) FROM outcomes),"
                " (SELECT coalesce(max(seq), 0) FROM vectors)"
            ).fetchone()
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._follow, name="orvane-pg-feed", daemon=True)
        self._thread.start()

    def schema_version(self) -> int:
        with self._pool.connection() as conn:
            (value,) = conn.execute("SELECT value FROM orvane_meta WHERE key = 'schema_version'").fetchone()
        return int(value)

    # -- lifecycle ------------------------------------------------------------------
    def close(self) -> None:
        self._stop.set()
        self._wake.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(10.0)
        self._pool.close()

    # -- writes ---------------------------------------------------------------------
    @contextmanager
    def _writing(self) -> Iterator[Any]:
        """A transaction holding the write lock (see the module docstring): commits on leaving."""
        with self._pool.connection() as conn:
            with conn.transaction():
                conn.execute("SELECT pg_advisory_xact_lock(%s, %s)", (self._lock_key, _WRITE_LOCK))
                yield conn

    def add_episodes(self, device_id: str, rows: Sequence[Tuple[Optional[str], str, bytes]], now: float) -> int:
        """Stores (episode_id, body, packed channels) rows of one device; answers how many were new.

        All or nothing; an episode id the device holds already is skipped.
        Returns once the rows are committed and, for a device this process
        follows, applied to its index.
        """
        if not rows:
            return 0
        params = {
            "at": [now] * len(rows),
            "d": [device_id] * len(rows),
            "e": [episode_id for episode_id, _, _ in rows],
            "b": [body for _, body, _ in rows],
            "v": [packed for _, _, packed in rows],
        }
        with self._writing() as conn:
            ids = [row[0] for row in conn.execute(_INSERT_EPISODES, params).fetchall()]
        if ids:
            self._applied(self._episode_devices, (device_id,), episodes=max(ids))
        return len(ids)

    def put_outcome(self, device_id: str, episode_id: str, result: str, health_label: Optional[str], now: float) -> None:
        """Records an outcome (replacing the device's earlier one for that episode)."""
        self.put_outcomes([(device_id, episode_id, result, health_label)], now)

    def put_outcomes(
        self, rows: Sequence[Tuple[str, str, str, Optional[str]]], now: float, *, replace: bool = True
    ) -> int:
        """Stores (device_id, episode_id, result, health_label) rows; with ``replace`` a later one replaces an earlier one."""
        if not rows:
            return 0
        params = {
            "d": [r[0] for r in rows],
            "e": [r[1] for r in rows],
            "r": [r[2] for r in rows],
            "h": [r[3] for r in rows],
            "at": [now] * len(rows),
        }
        action = (
            "UPDATE SET result = EXCLUDED.result, health_label = EXCLUDED.health_label,"
            " recorded_at = EXCLUDED.recorded_at, seq = EXCLUDED.seq"
            if replace
            else "NOTHING"
        )
        with self._writing() as conn:
            seqs = [row[0] for row in conn.execute(_UPSERT_OUTCOMES.format(action=action), params).fetchall()]
        if seqs:
            self._applied(self._outcome_devices, {r[0] for r in rows}, outcomes=max(seqs))
        return len(seqs)

    def add_vectors(self, rows: Sequence[Tuple[str, str, bytes, str]]) -> int:
        """Stores (id, device_id, unit vector as float64 bytes, metadata JSON) rows; all or nothing."""
        if not rows:
            return 0
        params = {
            "i": [r[0] for r in rows],
            "d": [r[1] for r in rows],
            "emb": [r[2] for r in rows],
            "m": [r[3] for r in rows],
        }
        with self._writing() as conn:
            seqs = [row[0] for row in conn.execute(_INSERT_VECTORS, params).fetchall()]
        if seqs:
            self._applied(self._vector_devices, {r[1] for r in rows}, vectors=max(seqs))
        return len(seqs)

    # -- loading a device -----------------------------------------------------------
    def follow_episodes(self, device_id: str, outcomes_device: Optional[str] = None) -> bool:
        """Loads a device's episodes and outcomes through the callbacks and follows it from now on.

        Answers False when the device was already followed (nothing loaded).
        ``outcomes_device`` names the outcome rows to load with it (default:
        the device's own).
        """
        outcomes_device = device_id if outcomes_device is None else outcomes_device
        with self._feed_lock:
            if device_id in self._episode_devices:
                return False
            # Bring the cursor up to now first, so that the load holds every
            # row committed before this call (a client reads its own writes).
            self._poll_locked()
            with self._pool.connection() as conn:
                # Every id at or below the cursor is committed (commit order
                # equals id order): the next poll brings the rest.
                cur = conn.cursor()
                cur.execute(
                    "SELECT id, channels FROM episodes WHERE device_id = %s AND id <= %s ORDER BY id",
                    (device_id, self._cursor_e),
                )
                while True:
                    chunk = cur.fetchmany(10000)
                    if not chunk:
                        break
                    self._on_episodes(device_id, chunk)
                if outcomes_device not in self._outcome_devices:
                    # Outcomes are replaced in place: the current rows are the
                    # latest, and a poll that brings the same row again is harmless.
                    rows = conn.execute(
                        "SELECT episode_id, result, health_label FROM outcomes WHERE device_id = %s ORDER BY seq",
                        (outcomes_device,),
                    ).fetchall()
                    if rows:
                        self._on_outcomes(outcomes_device, rows)
            self._episode_devices.add(device_id)
            self._outcome_devices.add(outcomes_device)
        self._wake.set()
        return True

    def follow_vectors(self, device_id: str) -> bool:
        """Loads a device's vectors through the callback and follows them from now on."""
        with self._feed_lock:
            if device_id in self._vector_devices:
                return False
            self._poll_locked()
            with self._pool.connection() as conn:
                rows = conn.execute(
                    "SELECT seq, embedding FROM vectors WHERE device_id = %s AND seq <= %s ORDER BY seq",
                    (device_id, self._cursor_v),
                ).fetchall()
            if rows:
                self._on_vectors(device_id, rows)
            self._vector_devices.add(device_id)
        self._wake.set()
        return True

    # -- the change feed ------------------------------------------------------------
    def _applied(self, followed: set, devices: Any, **upto: int) -> None:
        """After a commit: waits until the rows are in the indexes of the devices followed here.

        The membership test runs under the feed lock, so a device whose load
        is under way either loads these rows or is followed by the time the
        next poll brings them.
        """
        with self._feed_lock:
            if any(device in followed for device in devices):
                self._catch_up_locked(**upto)

    def catch_up(self, episodes: int = 0, outcomes: int = 0, vectors: int = 0) -> None:
        """Returns once rows up to the given ids have been applied (a poll runs if needed)."""
        with self._feed_lock:
            self._catch_up_locked(episodes, outcomes, vectors)

    def _catch_up_locked(self, episodes: int = 0, outcomes: int = 0, vectors: int = 0) -> None:
        if self._cursor_e < episodes or self._cursor_o < outcomes or self._cursor_v < vectors:
            self._poll_locked()

    def poll(self) -> None:
        """Applies every row committed since the last poll (for the devices followed)."""
        with self._feed_lock:
            self._poll_locked()

    def _poll_locked(self) -> None:
        with self._pool.connection() as conn:
            with conn.transaction():
                # One snapshot for the whole poll: the visible rows of each
                # table form a prefix of its ids, so the cursor can move to the
                # largest visible id.
                conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                top_e, top_o, top_v = conn.execute(
                    "SELECT (SELECT max(id) FROM episodes WHERE id > %s),"
                    " (SELECT max(seq) FROM outcomes WHERE seq > %s),"
                    " (SELECT max(seq) FROM vectors WHERE seq > %s)",
                    (self._cursor_e, self._cursor_o, self._cursor_v),
                ).fetchone()
                episodes = outcomes = vectors = ()
                if top_e is not None and self._episode_devices:
                    episodes = conn.execute(
                        "SELECT id, device_id, channels FROM episodes"
                        " WHERE id > %s AND id <= %s AND device_id = ANY(%s) ORDER BY id",
                        (self._cursor_e, top_e, list(self._episode_devices)),
                    ).fetchall()
                if top_o is not None and self._outcome_devices:
                    outcomes = conn.execute(
                        "SELECT device_id, episode_id, result, health_label FROM outcomes"
                        " WHERE seq > %s AND seq <= %s AND device_id = ANY(%s) ORDER BY seq",
                        (self._cursor_o, top_o, list(self._outcome_devices)),
                    ).fetchall()
                if top_v is not None and self._vector_devices:
                    vectors = conn.execute(
                        "SELECT seq, device_id, embedding FROM vectors"
                        " WHERE seq > %s AND seq <= %s AND device_id = ANY(%s) ORDER BY seq",
                        (self._cursor_v, top_v, list(self._vector_devices)),
                    ).fetchall()
        for device, rows in _by_device(episodes, lambda r: (r[1], (r[0], r[2]))):
            self._on_episodes(device, rows)
        for device, rows in _by_device(outcomes, lambda r: (r[0], (r[1], r[2], r[3]))):
            self._on_outcomes(device, rows)
        for device, rows in _by_device(vectors, lambda r: (r[1], (r[0], r[2]))):
            self._on_vectors(device, rows)
        if top_e is not None:
            self._cursor_e = top_e
        if top_o is not None:
            self._cursor_o = top_o
        if top_v is not None:
            self._cursor_v = top_v

    def _follow(self) -> None:
        failing = False
        while not self._stop.is_set():
            self._wake.wait(self._poll_interval)
            self._wake.clear()
            if self._stop.is_set():
                break
            if not (self._episode_devices or self._vector_devices or self._outcome_devices):
                continue
            try:
                self.poll()
            except Exception as exc:  # the database may be away for a while: keep trying
                if not failing and self._log is not None:
                    self._log(f"change feed: {type(exc).__name__}: {exc}; retrying")
                failing = True
                self._stop.wait(min(1.0, self._poll_interval * 10))
            else:
                if failing and self._log is not None:
                    self._log("change feed: the database answers again")
                failing = False

    # -- reads ----------------------------------------------------------------------
    def episode_records(self, rowids: Sequence[int]) -> Dict[int, Tuple[Optional[str], str]]:
        """(episode_id, body) by id."""
        if not rowids:
            return {}
        with self._pool.connection() as conn:
            rows = conn.execute("SELECT id, episode_id, body FROM episodes WHERE id = ANY(%s)", (list(rowids),)).fetchall()
        return {rowid: (episode_id, body) for rowid, episode_id, body in rows}

    def vector_records(self, rowids: Sequence[int]) -> Dict[int, Tuple[str, str]]:
        """(id, metadata JSON) by seq."""
        if not rowids:
            return {}
        with self._pool.connection() as conn:
            rows = conn.execute("SELECT seq, id, metadata FROM vectors WHERE seq = ANY(%s)", (list(rowids),)).fetchall()
        return {seq: (vid, metadata) for seq, vid, metadata in rows}

    def episode_counts(self) -> Dict[str, int]:
        with self._pool.connection() as conn:
            return dict(conn.execute("SELECT device_id, count(*) FROM episodes GROUP BY device_id ORDER BY device_id").fetchall())

    def vector_counts(self) -> Dict[str, int]:
        with self._pool.connection() as conn:
            return dict(conn.execute("SELECT device_id, count(*) FROM vectors GROUP BY device_id ORDER BY device_id").fetchall())

    def outcome_count(self, device_id: Optional[str] = None) -> int:
        with self._pool.connection() as conn:
            if device_id is None:
                return conn.execute("SELECT count(*) FROM outcomes").fetchone()[0]
            return conn.execute("SELECT count(*) FROM outcomes WHERE device_id = %s", (device_id,)).fetchone()[0]

    def episode_bodies(self) -> Iterator[Tuple[str, str]]:
        """(device_id, body) of every episode in id order."""
        with self._pool.connection() as conn:
            cur = conn.cursor()
            cur.execute("SELECT device_id, body FROM episodes ORDER BY id")
            yield from cur

    def outcomes(self) -> List[Tuple[str, str, str, Optional[str]]]:
        """(device_id, episode_id, result, health_label) of every outcome."""
        with self._pool.connection() as conn:
            return conn.execute("SELECT device_id, episode_id, result, health_label FROM outcomes ORDER BY seq").fetchall()

    def all_vectors(self) -> List[Tuple[str, str, bytes, str]]:
        """(device id, id, unit vector, metadata JSON) of every vector in order."""
        with self._pool.connection() as conn:
            return [
                (device, vid, bytes(emb), meta)
                for device, vid, emb, meta in conn.execute("SELECT device_id, id, embedding, metadata FROM vectors ORDER BY seq")
            ]


def _by_device(rows: Sequence[Any], split: Callable[[Any], Tuple[str, Any]]) -> List[Tuple[str, List[Any]]]:
    """Rows grouped by device, each group keeping the rows' order."""
    groups: Dict[str, List[Any]] = {}
    for row in rows:
        device, item = split(row)
        groups.setdefault(device, []).append(item)
    return list(groups.items())


# -- copying an embedded store ------------------------------------------------------


class MigrationError(Exception):
    """A migration that cannot start or whose copy does not add up."""


def _sqlite_columns(db: sqlite3.Connection, table: str) -> List[str]:
    return [row[1] for row in db.execute(f"PRAGMA table_info({table})")]


def _open_sqlite_readonly(path: str) -> sqlite3.Connection:
    if not os.path.isfile(path):
        raise MigrationError(f"{path}: no such file")
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    try:
        db = sqlite3.connect(uri, uri=True, timeout=1.0)
        tables = {row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    except sqlite3.DatabaseError as exc:
        if "locked" in str(exc):
            raise MigrationError(f"{path} is in use by a running resolver: stop it first") from None
        raise MigrationError(f"{path} is not a resolver store: {exc}") from None
    if "episodes" not in tables:
        db.close()
        raise MigrationError(f"{path} is not a resolver store (no episodes table)")
    return db


def migrate_sqlite(
    sqlite_path: str,
    url: str,
    *,
    batch_size: int = 5000,
    out: Optional[TextIO] = None,
    progress_every: float = 1.0,
    _after_batch: Optional[Callable[[str, int], None]] = None,
) -> Dict[str, Any]:
    """Copies an embedded (SQLite) store into a PostgreSQL one.

    Episodes keep their order (the database hands out ids in the store's
    row order), outcomes and vectors come along. Each batch commits
    together with the position reached in the source, so an interrupted
    copy started again goes on where it stopped, and nothing is copied
    twice. At the end the episode count of every device, the outcome count
    and the vector count of each side are compared: MigrationError when the
    target holds fewer than the source. Progress is written to ``out`` about
    every ``progress_every`` seconds. Answers the counts.
    """
    from .resolver import _channels_of_body

    if batch_size < 1:
        raise MigrationError("the batch size must be at least 1")
    source = os.path.realpath(sqlite_path)
    src = _open_sqlite_readonly(sqlite_path)
    psycopg = _psycopg()
    try:
        try:
            target = psycopg.connect(url, autocommit=True, connect_timeout=10)
        except psycopg.Error as exc:
            raise MigrationError(f"cannot reach {url}: {_first_line(exc)}") from None
        with target:
            lock_key = prepare_tables(target)
            tables = {row[0] for row in src.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            report = _Progress(out, progress_every)

            def copy(kind: str, select: str, write: Callable[[Any, List[Any]], int]) -> None:
                row = target.execute(
                    "SELECT last_rowid, copied FROM orvane_migrations WHERE source = %s AND kind = %s", (source, kind)
                ).fetchone()
                last, copied = row if row else (0, 0)
                total = src.execute(f"SELECT count(*) FROM {kind}").fetchone()[0]
                done = src.execute(f"SELECT count(*) FROM {kind} WHERE rowid <= ?", (last,)).fetchone()[0]
                if last:
                    report.line(f"{kind}: resuming after {done} of {total}")
                else:
                    report.step(kind, done, total, force=True)
                while True:
                    chunk = src.execute(select + " WHERE rowid > ? ORDER BY rowid LIMIT ?", (last, batch_size)).fetchall()
                    if not chunk:
                        break
                    with target.transaction():
                        target.execute("SELECT pg_advisory_xact_lock(%s, %s)", (lock_key, _WRITE_LOCK))
                        copied += write(target, chunk)
                        last = chunk[-1][0]
                        target.execute(
                            "INSERT INTO orvane_migrations (source, kind, last_rowid, copied) VALUES (%s, %s, %s, %s)"
                            " ON CONFLICT (source, kind) DO UPDATE SET last_rowid = EXCLUDED.last_rowid, copied = EXCLUDED.copied",
                            (source, kind, last, copied),
                        )
                    done += len(chunk)
                    report.step(kind, done, total)
                    if _after_batch is not None:
                        _after_batch(kind, done)
                report.step(kind, done, total, force=True)

            def write_episodes(conn: Any, chunk: List[Any]) -> int:
                # The source's own arrival times are kept; its packed channel
                # values too, where it has them (else they come from the body).
                params: Dict[str, Any] = {
                    "d": [row[1] for row in chunk],
                    "e": [row[2] for row in chunk],
                    "b": [row[3] for row in chunk],
                    "v": [row[5] if row[5] is not None else _channels_of_body(row[3]) for row in chunk],
                    "at": [row[4] for row in chunk],
                }
                return len(conn.execute(_INSERT_EPISODES, params).fetchall())

            packed = (
                "(SELECT c.packed FROM episode_channels c WHERE c.rowid = episodes.rowid)"
                if "episode_channels" in tables
                else "NULL"
            )
            copy(
                "episodes",
                f"SELECT rowid, device_id, episode_id, body, ingested_at, {packed} FROM episodes",
                write_episodes,
            )

            if "outcomes" in tables:
                has_device = "device_id" in _sqlite_columns(src, "outcomes")
                owners: Dict[str, str] = {}
                if not has_device:
                    # Outcomes of stores from before per-device outcomes go to
                    # the device that holds the episode.
                    wanted = {row[0] for row in src.execute("SELECT episode_id FROM outcomes")}
                    for episode_id, device in src.execute("SELECT episode_id, device_id FROM episodes ORDER BY rowid DESC"):
                        if episode_id in wanted:
                            owners[episode_id] = device
                device_column = "device_id" if has_device else "NULL"

                def write_outcomes(conn: Any, chunk: List[Any]) -> int:
                    params = {"d": [], "e": [], "r": [], "h": [], "at": []}
                    for _, device, episode_id, result, label, at in chunk:
                        params["d"].append(device if device is not None else owners.get(episode_id, ""))
                        params["e"].append(episode_id)
                        params["r"].append(result)
                        params["h"].append(label)
                        params["at"].append(at)
                    return len(conn.execute(_UPSERT_OUTCOMES.format(action="NOTHING"), params).fetchall())

                copy(
                    "outcomes",
                    f"SELECT rowid, {device_column}, episode_id, result, health_label, recorded_at FROM outcomes",
                    write_outcomes,
                )

            if "vectors" in tables:

                def write_vectors(conn: Any, chunk: List[Any]) -> int:
                    params = {
                        "i": [row[1] for row in chunk],
                        "d": [row[2] for row in chunk],
                        "emb": [bytes(row[3]) for row in chunk],
                        "m": [row[4] for row in chunk],
                    }
                    return len(conn.execute(_INSERT_VECTORS, params).fetchall())

                copy("vectors", "SELECT rowid, id, device_id, embedding, metadata FROM vectors", write_vectors)

            # Verification: every device's episodes, the outcomes and the vectors.
            result: Dict[str, Any] = {"episodes": {}, "outcomes": 0, "vectors": 0}
            problems = []
            src_counts = dict(src.execute("SELECT device_id, count(*) FROM episodes GROUP BY device_id"))
            dst_counts = dict(
                target.execute(
                    "SELECT device_id, count(*) FROM episodes WHERE device_id = ANY(%s) GROUP BY device_id", (list(src_counts),)
                ).fetchall()
            )
            for device, n in sorted(src_counts.items()):
                got = dst_counts.get(device, 0)
                result["episodes"][device] = got
                if got < n:
                    problems.append(f"device {device!r}: {n} episodes in the source, {got} in the target")
            for kind in ("outcomes", "vectors"):
                if kind in tables:
                    n = src.execute(f"SELECT count(*) FROM {kind}").fetchone()[0]
                    got = target.execute(f"SELECT count(*) FROM {kind}").fetchone()[0]
                    result[kind] = got
                    if got < n:
                        problems.append(f"{n} {kind} in the source, {got} in the target")
            if problems:
                raise MigrationError("the copy does not add up: " + "; ".join(problems))
            report.line(
                f"verified: {sum(src_counts.values())} episodes of {len(src_counts)} devices, "
                f"{result['outcomes']} outcomes, {result['vectors']} vectors in the target"
            )
            return result
    finally:
        src.close()


class _Progress:
    def __init__(self, out: Optional[TextIO], every: float):
        self.out = out
        self.every = every
        self.last = 0.0
        self.said = ""

    def line(self, text: str) -> None:
        if self.out is not None and text != self.said:
            self.said = text
            self.out.write(text + "\n")
            self.out.flush()

    def step(self, kind: str, done: int, total: int, force: bool = False) -> None:
        now = time.monotonic()
        if force or now - self.last >= self.every:
            self.last = now
            share = f" ({100.0 * done / total:.0f}%)" if total else ""
            self.line(f"{kind}: {done}/{total}{share}")


# -- the resolver on PostgreSQL ----------------------------------------------------

from . import resolver as _resolver  # noqa: E402 - resolver imports this module lazily


class PostgresResolver(_resolver.LocalResolver):
    """:class:`~orvane.resolver.LocalResolver` over a PostgreSQL store.

    ``LocalResolver("postgresql://...")`` makes one. Same operations and
    answers as over SQLite; a device's indexes are built on its first query
    and kept current from the change feed (module docstring), through which
    this resolver's own writes reach them too.
    """

    def _open_store(self) -> PostgresStore:
        return PostgresStore(
            self.path,
            on_episodes=self._apply_episodes,
            on_outcomes=self._apply_outcomes,
            on_vectors=self._apply_vectors,
        )

    def _load(self) -> None:
        pass  # devices load on first use

    def close(self) -> None:
        # The feed thread takes _lock to apply rows: stop it without holding _lock.
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._store.close()

    # -- the store's callbacks: rows in id order, under its feed lock -------------------
    def _apply_episodes(self, device_id: str, rows: List[Tuple[int, bytes]]) -> None:
        with self._lock:
            index = self._devices.get(device_id)
            if index is None:
                index = self._devices[device_id] = _resolver.EpisodeIndex()
            for rowid, packed in rows:
                index.append(rowid, packed)

    def _apply_outcomes(self, device_id: str, rows: List[Tuple[str, str, Optional[str]]]) -> None:
        with self._lock:
            for episode_id, result, label in rows:
                self._outcomes[episode_id] = _resolver._outcome_record(result, label)

    def _apply_vectors(self, device_id: str, rows: List[Tuple[int, bytes]]) -> None:
        with self._lock:
            index = self._vectors.get(device_id)
            if index is None:
                index = self._vectors[device_id] = _resolver.VectorIndex()
            for seq, blob in rows:
                index.append(seq, blob)

    # -- hooks of LocalResolver ---------------------------------------------------------
    def _keep_episodes(self, device_id: str, rows: List[Tuple[Optional[str], str, bytes]], now: float) -> int:
        check_text(device_id, "device_id")
        for i, (episode_id, _, _) in enumerate(rows):
            check_text(episode_id, f"batch[{i}] episode_id")
        self._check_open()
        return self._store.add_episodes(device_id, rows, now)

    def _keep_outcome(self, episode_id: str, result: str, health_label: Optional[str], now: float) -> None:
        for value, what in ((episode_id, "episode_id"), (result, "result"), (health_label, "health_label")):
            check_text(value, what)
        self._check_open()
        self._store.put_outcome("", episode_id, result, health_label, now)

    def _episode_index(self, device_id: str) -> Optional[Any]:
        check_text(device_id, "device_id")
        self._check_open()
        self._store.follow_episodes(device_id, outcomes_device="")
        return super()._episode_index(device_id)

    def _keep_vectors(self, rows: List[Tuple[str, str, bytes, str]]) -> None:
        for _, device, _, _ in rows:
            check_text(device, "device_id")
        self._check_open()
        self._store.add_vectors(rows)

    def _vector_index(self, device: str) -> Optional[Any]:
        check_text(device, "device_id")
        self._check_open()
        self._store.follow_vectors(device)
        return super()._vector_index(device)

    # -- inspection: the whole database, not only the devices served here -----------------
    def stats(self) -> dict:
        self._check_open()
        return {
            "episodes": self._store.episode_counts(),
            "outcomes": self._store.outcome_count(),
            "vectors": self._store.vector_counts(),
            "vectors_enabled": self.vectors_enabled,
        }

    @property
    def episodes(self) -> Dict[str, List[dict]]:
        self._check_open()
        out: Dict[str, List[dict]] = {}
        for device, body in self._store.episode_bodies():
            out.setdefault(device, []).append(json.loads(body))
        return out

    @property
    def outcomes(self) -> Dict[str, dict]:
        self._check_open()
        return {eid: _resolver._outcome_record(result, label) for _, eid, result, label in self._store.outcomes()}

    @property
    def vectors(self) -> Dict[str, List[Tuple[str, List[float], dict]]]:
        self._check_open()
        out: Dict[str, List[Tuple[str, List[float], dict]]] = {}
        for device, vid, blob, meta in self._store.all_vectors():
            unit = array.array("d")
            unit.frombytes(blob)
            out.setdefault(device, []).append((vid, list(unit), json.loads(meta)))
        return out
