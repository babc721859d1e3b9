"""PostgreSQL store of the resolver: several servers sharing one database.

``LocalResolver("postgresql://USER@HOST:PORT/DB")`` (also ``postgres://``)
keeps episodes, outcomes and vectors in PostgreSQL tables instead of SQLite,
so that any number of ``orvane serve`` processes on any number of hosts serve
one fleet from one durable store. Each process keeps in-memory indexes only
for the devices it has been asked about, loads a device from its tables on
first use, and follows what the other processes write through a change feed.

Commit order
------------
Ids from a sequence are handed out at insert time, but transactions commit
in their own order: a reader asking for "ids above the last one I saw" can
pass over a row whose transaction was still open and never look back. So
the tables carry, beside each row's id, the id of the transaction that wrote
it (``xact``), and every write draws its ids under one advisory lock, taken
as the transaction's first step (which also gives it its transaction id)
and let go once its rows are written, before the commit. Writers therefore
take transaction ids and row ids in one order, while their commits, the slow
part (the log flush), still run side by side and share flushes.

A follower reads, in one snapshot, the rows past its cursor in id order and
takes them up to the first row whose ``xact`` is at or above the snapshot's
``xmin`` (the oldest transaction still running): every row before that point
is final, since any writer still running drew its ids after them, and that
row and the ones after it wait for a later poll. Applied rows thus
reach every index in the database's id order, with none passed over, so
"newest first" means the same on every server. ``episodes.id``,
``vectors.seq`` and ``outcomes.seq`` (a fresh number at every insert or
replacement of an outcome) are the three feeds. We chose this over holding
the lock through the commit, which would make the visible rows a plain
prefix of the ids but queue every commit's log flush behind the one before
it (a fifth of the ingest rate on this machine's disk), and over re-reading a
window below the last id, which cannot know how long a window is enough.

Following the other servers
---------------------------
A background thread polls every ``POLL_INTERVAL`` seconds and applies the
rows of the devices this process holds. A write made through this process
waits, before it is acknowledged, until its rows have been applied the same
way (one poll serves every request waiting at that moment), so a client reads
its own writes at once and every row enters an index through one path, in id
order. Should another session keep a transaction open for long, a write is
acknowledged once committed anyway after ``CATCH_UP_WAIT`` seconds and
appears here when that transaction ends. Loading a device and polling take
the same lock: a device is loaded up to the cursor and the next poll brings
the rest.

An ingest is acknowledged only after its transaction has committed; a
resolver killed at any moment loses nothing it acknowledged, and a batch sent
again after a lost answer is not stored twice (episode ids are unique per
device).
"""

from __future__ import annotations

import array
import json
import os
import sqlite3
import threading
import time
import urllib.parse
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

__all__ = ["is_postgres_url", "PostgresStore", "PostgresResolver", "SCHEMA_VERSION", "migrate_sqlite", "MigrationError"]

#: Version of the tables this release writes; older ones are brought up to it.
SCHEMA_VERSION = 1
#: Seconds between two polls of the change feed: another server's write is
#: found within about this long.
POLL_INTERVAL = 0.1
#: Seconds a write waits to see its rows applied before it is acknowledged anyway.
CATCH_UP_WAIT = 5.0
#: Rows one poll reads from each feed at most (the next poll reads on).
POLL_ROWS = 20000
#: Seconds a write waits for the write lock before it is refused with 503.
LOCK_WAIT = 15.0
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


def redact_url(path: str) -> str:
    """A store path fit to print: a database URL's password is replaced by "***"."""
    if not is_postgres_url(path):
        return path
    parts = urllib.parse.urlsplit(path)
    if parts.password is None:
        return path
    user = urllib.parse.quote(parts.username or "", safe="")
    host = parts.netloc.rsplit("@", 1)[1]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}:***@{host}"))


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError:
        from .resolver import ResolverError

        raise ResolverError("a postgresql:// store needs psycopg 3: pip install 'orvane[postgres]'", 500) from None
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
    """Database failures as resolver errors: unreachable, failed over or busy is 503."""
    psycopg = _psycopg()
    try:
        yield
    except psycopg.OperationalError as exc:
        raise _error(f"the database is unavailable: {_first_line(exc)}", 503) from None
    except psycopg.DataError as exc:
        raise _error(f"the database refused a value: {_first_line(exc)}", 400) from None
    except psycopg.Error as exc:
        raise _error(f"the database failed: {type(exc).__name__}: {_first_line(exc)}", 500) from None


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
            conn = psycopg.connect(self._url, autocommit=True, connect_timeout=10)
            try:
                # A writer stuck behind the write lock gives up with a 503
                # rather than waiting forever, and a session that stops half
                # way through a transaction (a stopped process) is ended by
                # the server, letting the lock go.
                conn.execute(f"SET lock_timeout = '{LOCK_WAIT * 1000:.0f}ms'")
                conn.execute("SET idle_in_transaction_session_timeout = '60s'")
            except BaseException:
                conn.close()
                raise
            return conn

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
        healthy = (
            not conn.broken and not conn.closed and conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
        )
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
            xact XID8 NOT NULL DEFAULT pg_current_xact_id(),
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
            xact XID8 NOT NULL DEFAULT pg_current_xact_id(),
            PRIMARY KEY (device_id, episode_id)
        )""",
        "CREATE UNIQUE INDEX outcomes_by_seq ON outcomes (seq)",
        """CREATE TABLE vectors (
            seq BIGSERIAL PRIMARY KEY,
            id TEXT NOT NULL UNIQUE,
            device_id TEXT NOT NULL,
            embedding BYTEA NOT NULL,
            metadata TEXT NOT NULL,
            xact XID8 NOT NULL DEFAULT pg_current_xact_id()
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
FROM unnest(%(d)b::text[], %(e)b::text[], %(b)b::text[], %(v)b::bytea[], %(at)b::float8[])
    WITH ORDINALITY AS t(d, e, b, v, at, n)
ORDER BY t.n
ON CONFLICT (device_id, episode_id) DO NOTHING
RETURNING id
"""

# Episodes, and outcomes kept aside (device "") for the episodes just stored:
# they become the storing device's, unless it has recorded its own.
_INSERT_EPISODES_PLACING = (
    """
WITH kept AS (
"""
    + _INSERT_EPISODES.strip().replace("RETURNING id", "RETURNING id, episode_id")
    + """
), moved AS (
    DELETE FROM outcomes o USING kept WHERE o.device_id = '' AND o.episode_id = kept.episode_id
    RETURNING o.episode_id, o.result, o.health_label
), placed AS (
    INSERT INTO outcomes (device_id, episode_id, result, health_label, recorded_at, seq)
    SELECT %(d1)b::text, moved.episode_id, moved.result, moved.health_label, %(now)b::float8, nextval('outcome_seq')
    FROM moved
    ON CONFLICT (device_id, episode_id) DO NOTHING
    RETURNING seq
)
SELECT id, NULL::bigint FROM kept UNION ALL SELECT NULL::bigint, seq FROM placed
"""
)

_UPSERT_OUTCOMES = """
INSERT INTO outcomes (device_id, episode_id, result, health_label, recorded_at, seq)
SELECT t.d, t.e, t.r, t.h, t.at, nextval('outcome_seq')
FROM unnest(%(d)b::text[], %(e)b::text[], %(r)b::text[], %(h)b::text[], %(at)b::float8[])
    WITH ORDINALITY AS t(d, e, r, h, at, n)
ORDER BY t.n
ON CONFLICT (device_id, episode_id) DO {action}
RETURNING seq
"""

_REPLACE_OUTCOME = (
    "UPDATE SET result = EXCLUDED.result, health_label = EXCLUDED.health_label,"
    " recorded_at = EXCLUDED.recorded_at, seq = EXCLUDED.seq, xact = EXCLUDED.xact"
)

_INSERT_VECTORS = """
INSERT INTO vectors (id, device_id, embedding, metadata)
SELECT t.i, t.d, t.emb, t.m
FROM unnest(%(i)b::text[], %(d)b::text[], %(emb)b::bytea[], %(m)b::text[]) WITH ORDINALITY AS t(i, d, emb, m, n)
ORDER BY t.n
ON CONFLICT (id) DO NOTHING
RETURNING seq
"""

# The three feeds: (table, order column, payload columns).
_FEEDS = {
    "episodes": ("episodes", "id", "channels"),
    "outcomes": ("outcomes", "seq", "episode_id, result, health_label"),
    "vectors": ("vectors", "seq", "embedding"),
}


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


@contextmanager
def ordered_write(conn: Any, lock_key: int) -> Iterator[Any]:
    """A write transaction in the store's id order (module docstring); commits on leaving.

    The lock is held while the body writes and let go before the commit. The
    statements go out as one pipeline, so the lock is held only while the
    server runs them, never across a round trip to this process: read the
    results of the body's statements after leaving. On any failure the
    connection is closed: that rolls back and ends the session's hold on
    the lock, whatever state the failure left.
    """
    try:
        with conn.pipeline(), conn.transaction():
            conn.execute("SELECT pg_advisory_lock(%s, %s), pg_current_xact_id()", (lock_key, _WRITE_LOCK))
            yield conn
            conn.execute("SELECT pg_advisory_unlock(%s, %s)", (lock_key, _WRITE_LOCK))
    except BaseException:
        try:
            conn.close()
        except Exception:
            pass
        raise


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
        self._apply = {"episodes": on_episodes, "outcomes": on_outcomes, "vectors": on_vectors}
        self._poll_interval = poll_interval
        self._log = log
        self._pool = _Pool(url, POOL_SIZE)
        self._feed_lock = threading.Lock()
        # Devices followed per feed, and each feed's cursor: every row at or
        # below it is final and has been applied (for the devices followed).
        self._followed: Dict[str, set] = {kind: set() for kind in _FEEDS}
        with self._pool.connection() as conn:
            self._lock_key = prepare_tables(conn)
            self._cursor = self._start_cursors(conn)
            # Outcomes kept aside by `orvane migrate` (of an old store, their
            # episode in no device yet) are placed as their episodes arrive.
            (self._unplaced,) = conn.execute("SELECT EXISTS (SELECT 1 FROM outcomes WHERE device_id = '')").fetchone()
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._follow, name="orvane-pg-feed", daemon=True)
        self._thread.start()

    @staticmethod
    def _start_cursors(conn: Any) -> Dict[str, int]:
        """Where each feed starts: the last row written before the oldest transaction still running.

        Every writer still running drew its ids after that row (it took the
        lock later), so every row at or below it is final.
        """
        cursors = {}
        with conn.transaction():
            conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
            (xmin,) = conn.execute("SELECT pg_snapshot_xmin(pg_current_snapshot())::text").fetchone()
            for kind, (table, order, _) in _FEEDS.items():
                (cursors[kind],) = conn.execute(
                    f"SELECT coalesce((SELECT {order} FROM {table} WHERE xact < %s::xid8 ORDER BY {order} DESC LIMIT 1), 0)",
                    (xmin,),
                ).fetchone()
        return cursors

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
        placing = self._unplaced
        if placing:
            params.update(d1=device_id, now=now)
        with self._pool.connection() as conn:
            with ordered_write(conn, self._lock_key):
                cur = conn.execute(_INSERT_EPISODES_PLACING if placing else _INSERT_EPISODES, params, binary=True)
            if placing:
                rows_out = cur.fetchall()
                ids = [rowid for rowid, _ in rows_out if rowid is not None]
                seqs = [seq for _, seq in rows_out if seq is not None]
            else:
                ids, seqs = [row[0] for row in cur.fetchall()], []
        if ids:
            self._applied("episodes", (device_id,), max(ids))
        if seqs:
            self._applied("outcomes", (device_id,), max(seqs))
        return len(ids)

    def put_outcome(
        self, device_id: str, episode_id: str, result: str, health_label: Optional[str], now: float
    ) -> None:
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
        sql = _UPSERT_OUTCOMES.format(action=_REPLACE_OUTCOME if replace else "NOTHING")
        with self._pool.connection() as conn:
            with ordered_write(conn, self._lock_key):
                cur = conn.execute(sql, params, binary=True)
            seqs = [row[0] for row in cur.fetchall()]
        if seqs:
            self._applied("outcomes", {r[0] for r in rows}, max(seqs))
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
        with self._pool.connection() as conn:
            with ordered_write(conn, self._lock_key):
                cur = conn.execute(_INSERT_VECTORS, params, binary=True)
            seqs = [row[0] for row in cur.fetchall()]
        if seqs:
            self._applied("vectors", {r[1] for r in rows}, max(seqs))
        return len(seqs)

    # -- loading a device -----------------------------------------------------------
    def follow_episodes(self, device_id: str) -> bool:
        """Loads a device's episodes and outcomes through the callbacks and follows it from now on.

        Answers False when the device was already followed (nothing loaded).
        """
        if device_id in self._followed["episodes"]:
            return False  # devices are never dropped: no need to wait for a poll under way
        with self._feed_lock:
            if device_id in self._followed["episodes"]:
                return False
            # Bring the cursors up to now first, so that the load holds every
            # row committed before this call (a client reads its own writes).
            self._poll_locked()
            with self._pool.connection() as conn:
                # A server-side cursor: a large device arrives a slice at a
                # time, never whole in this process's memory.
                with conn.transaction(), conn.cursor("orvane_load", binary=True) as cur:
                    cur.execute(
                        "SELECT id, channels FROM episodes WHERE device_id = %s AND id <= %s ORDER BY id",
                        (device_id, self._cursor["episodes"]),
                    )
                    while True:
                        chunk = cur.fetchmany(20000)
                        if not chunk:
                            break
                        self._apply["episodes"](device_id, chunk)
                rows = conn.execute(
                    "SELECT episode_id, result, health_label FROM outcomes WHERE device_id = %s AND seq <= %s ORDER BY seq",
                    (device_id, self._cursor["outcomes"]),
                ).fetchall()
                if rows:
                    self._apply["outcomes"](device_id, rows)
            self._followed["episodes"].add(device_id)
            self._followed["outcomes"].add(device_id)
        return True

    def follow_vectors(self, device_id: str) -> bool:
        """Loads a device's vectors through the callback and follows them from now on."""
        if device_id in self._followed["vectors"]:
            return False
        with self._feed_lock:
            if device_id in self._followed["vectors"]:
                return False
            self._poll_locked()
            with self._pool.connection() as conn:
                rows = conn.execute(
                    "SELECT seq, embedding FROM vectors WHERE device_id = %s AND seq <= %s ORDER BY seq",
                    (device_id, self._cursor["vectors"]),
                    binary=True,
                ).fetchall()
            if rows:
                self._apply["vectors"](device_id, rows)
            self._followed["vectors"].add(device_id)
        return True

    # -- the change feed ------------------------------------------------------------
    def _applied(self, kind: str, devices: Any, upto: int) -> None:
        """After a commit: returns once rows up to ``upto`` are in the indexes of the devices followed here.

        The membership test runs under the feed lock, so a device whose load
        is under way either loads these rows or is followed by the time a
        poll brings them. Rows wait behind writers that drew their ids
        earlier and are still committing: poll again shortly.
        """
        deadline = time.monotonic() + CATCH_UP_WAIT
        pause = 0.001
        while True:
            with self._feed_lock:
                if not any(device in self._followed[kind] for device in devices):
                    return
                if self._cursor[kind] < upto:
                    self._poll_locked()
                if self._cursor[kind] >= upto:
                    return
            if time.monotonic() >= deadline:
                return  # committed: acknowledged; the feed applies it when the writer ahead ends
            time.sleep(pause)
            pause = min(pause * 2, 0.05)

    def poll(self) -> None:
        """Applies every row that has become final since the last poll (for the devices followed)."""
        with self._feed_lock:
            self._poll_locked()

    def _poll_locked(self) -> None:
        while True:
            more = False
            with self._pool.connection() as conn:
                with conn.transaction():
                    # One snapshot for the whole poll, and its oldest running transaction.
                    conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                    (xmin,) = conn.execute("SELECT pg_snapshot_xmin(pg_current_snapshot())::text::bigint").fetchone()
                    batches = {}
                    for kind, (table, order, payload) in _FEEDS.items():
                        followed = list(self._followed[kind])
                        rows = conn.execute(
                            f"SELECT {order}, xact::text::bigint, device_id,"
                            f" CASE WHEN device_id = ANY(%s) THEN ROW({payload}) END"
                            f" FROM {table} WHERE {order} > %s ORDER BY {order} LIMIT %s",
                            (followed, self._cursor[kind], POLL_ROWS),
                            binary=True,
                        ).fetchall()
                        batches[kind] = rows
            for kind, rows in batches.items():
                groups: Dict[str, List[Any]] = {}
                last = self._cursor[kind]
                for order, xact, device, payload in rows:
                    if xact >= xmin:
                        # A writer still running may have drawn ids below this
                        # row: it and the rows after it wait for a later poll.
                        break
                    last = order
                    if payload is not None:
                        item = (order, *payload) if kind != "outcomes" else tuple(payload)
                        groups.setdefault(device, []).append(item)
                for device, items in groups.items():
                    self._apply[kind](device, items)
                self._cursor[kind] = last
                more = more or (len(rows) == POLL_ROWS and last == rows[-1][0])
            if not more:
                return

    def _follow(self) -> None:
        failing = False
        while not self._stop.is_set():
            self._wake.wait(self._poll_interval)
            self._wake.clear()
            if self._stop.is_set():
                break
            if not any(self._followed.values()):
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
            rows = conn.execute(
                "SELECT id, episode_id, body FROM episodes WHERE id = ANY(%s)", (list(rowids),)
            ).fetchall()
        return {rowid: (episode_id, body) for rowid, episode_id, body in rows}

    def vector_records(self, rowids: Sequence[int]) -> Dict[int, Tuple[str, str]]:
        """(id, metadata JSON) by seq."""
        if not rowids:
            return {}
        with self._pool.connection() as conn:
            rows = conn.execute("SELECT seq, id, metadata FROM vectors WHERE seq = ANY(%s)", (list(rowids),)).fetchall()
        return {seq: (vid, metadata) for seq, vid, metadata in rows}

    def _counts(self, table: str, device_id: Optional[str]) -> Dict[str, int]:
        with self._pool.connection() as conn:
            if device_id is None:
                rows = conn.execute(f"SELECT device_id, count(*) FROM {table} GROUP BY device_id ORDER BY device_id")
            else:
                rows = conn.execute(
                    f"SELECT device_id, count(*) FROM {table} WHERE device_id = %s GROUP BY device_id", (device_id,)
                )
            return dict(rows.fetchall())

    def episode_counts(self, device_id: Optional[str] = None) -> Dict[str, int]:
        """Episodes per device (only ``device_id``'s when given)."""
        return self._counts("episodes", device_id)

    def vector_counts(self, device_id: Optional[str] = None) -> Dict[str, int]:
        """Vectors per device (only ``device_id``'s when given)."""
        return self._counts("vectors", device_id)

    def outcome_count(self, device_id: Optional[str] = None) -> int:
        """Outcomes recorded for devices (only ``device_id``'s when given); those kept aside do not count."""
        with self._pool.connection() as conn:
            if device_id is None:
                return conn.execute("SELECT count(*) FROM outcomes WHERE device_id <> ''").fetchone()[0]
            return conn.execute("SELECT count(*) FROM outcomes WHERE device_id = %s", (device_id,)).fetchone()[0]

    def episode_bodies(self) -> Iterator[Tuple[str, str]]:
        """(device_id, body) of every episode in id order."""
        with self._pool.connection() as conn:
            cur = conn.cursor()
            cur.execute("SELECT device_id, body FROM episodes ORDER BY id")
            yield from cur

    def outcomes(self) -> List[Tuple[str, str, str, Optional[str]]]:
        """(device_id, episode_id, result, health_label) of every outcome recorded for a device."""
        with self._pool.connection() as conn:
            return conn.execute(
                "SELECT device_id, episode_id, result, health_label FROM outcomes WHERE device_id <> '' ORDER BY seq"
            ).fetchall()

    def unplaced_outcomes(self) -> List[Tuple[str, str, Optional[str]]]:
        """(episode_id, result, health_label) of outcomes kept aside until their episode arrives."""
        with self._pool.connection() as conn:
            return conn.execute(
                "SELECT episode_id, result, health_label FROM outcomes WHERE device_id = '' ORDER BY seq"
            ).fetchall()

    def all_vectors(self) -> List[Tuple[str, str, bytes, str]]:
        """(device id, id, unit vector, metadata JSON) of every vector in order."""
        with self._pool.connection() as conn:
            return [
                (device, vid, bytes(emb), meta)
                for device, vid, emb, meta in conn.execute(
                    "SELECT device_id, id, embedding, metadata FROM vectors ORDER BY seq"
                )
            ]


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
            raise MigrationError(f"cannot reach {redact_url(url)}: {_first_line(exc)}") from None
        with target, _db_errors():
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
                    chunk = src.execute(
                        select + " WHERE rowid > ? ORDER BY rowid LIMIT ?", (last, batch_size)
                    ).fetchall()
                    if not chunk:
                        break
                    with ordered_write(target, lock_key):
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
                return len(conn.execute(_INSERT_EPISODES, params, binary=True).fetchall())

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

            def write_outcomes(conn: Any, chunk: List[Any]) -> int:
                params: Dict[str, List[Any]] = {"d": [], "e": [], "r": [], "h": [], "at": []}
                for _, device, episode_id, result, label, at in chunk:
                    # An outcome of a store from before per-device outcomes goes
                    # to every device holding its episode; one whose episode no
                    # device holds is kept aside under the device "".
                    for owner in [device] if device is not None else owners.get(episode_id, [""]):
                        params["d"].append(owner)
                        params["e"].append(episode_id)
                        params["r"].append(result)
                        params["h"].append(label)
                        params["at"].append(at)
                sql = _UPSERT_OUTCOMES.format(action="NOTHING")
                return len(conn.execute(sql, params, binary=True).fetchall())

            owners: Dict[str, List[str]] = {}
            if "device_outcomes" in tables:
                copy(
                    "device_outcomes",
                    "SELECT rowid, device_id, episode_id, result, health_label, recorded_at FROM device_outcomes",
                    write_outcomes,
                )
            if "outcomes" in tables:
                has_device = "device_id" in _sqlite_columns(src, "outcomes")
                if not has_device:
                    wanted = {row[0] for row in src.execute("SELECT episode_id FROM outcomes")}
                    for episode_id, device in src.execute("SELECT episode_id, device_id FROM episodes ORDER BY rowid"):
                        if episode_id in wanted and device not in owners.setdefault(episode_id, []):
                            owners[episode_id].append(device)
                device_column = "device_id" if has_device else "NULL"
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
                    return len(conn.execute(_INSERT_VECTORS, params, binary=True).fetchall())

                copy("vectors", "SELECT rowid, id, device_id, embedding, metadata FROM vectors", write_vectors)

            # Verification: every device's episodes, the outcomes and the vectors.
            result: Dict[str, Any] = {"episodes": {}, "outcomes": 0, "vectors": 0}
            problems = []
            src_counts = dict(src.execute("SELECT device_id, count(*) FROM episodes GROUP BY device_id"))
            dst_counts = dict(
                target.execute(
                    "SELECT device_id, count(*) FROM episodes WHERE device_id = ANY(%s) GROUP BY device_id",
                    (list(src_counts),),
                ).fetchall()
            )
            for device, n in sorted(src_counts.items()):
                got = dst_counts.get(device, 0)
                result["episodes"][device] = got
                if got < n:
                    problems.append(f"device {device!r}: {n} episodes in the source, {got} in the target")
            for kind, sources in (("outcomes", ("outcomes", "device_outcomes")), ("vectors", ("vectors",))):
                n = sum(src.execute(f"SELECT count(*) FROM {t}").fetchone()[0] for t in sources if t in tables)
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
            if device_id not in self._devices:
                self._devices[device_id] = _resolver.EpisodeIndex()
            _resolver.load_episodes([(rowid, device_id, packed) for rowid, packed in rows], self._devices)

    def _apply_outcomes(self, device_id: str, rows: List[Tuple[str, str, Optional[str]]]) -> None:
        with self._lock:
            outcomes = self._outcomes.setdefault(device_id, {})
            for episode_id, result, label in rows:
                outcomes[episode_id] = _resolver._outcome_record(result, label)

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

    def _keep_outcome(
        self, device_id: str, episode_id: str, result: str, health_label: Optional[str], now: float
    ) -> None:
        for value, what in (
            (device_id, "device_id"),
            (episode_id, "episode_id"),
            (result, "result"),
            (health_label, "health_label"),
        ):
            check_text(value, what)
        self._check_open()
        self._store.put_outcome(device_id, episode_id, result, health_label, now)

    def _episode_index(self, device_id: str) -> Optional[Any]:
        check_text(device_id, "device_id")
        self._check_open()
        self._store.follow_episodes(device_id)
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
    def stats(self, device_id: Optional[str] = None) -> dict:
        """Counts from the tables (every device, or ``device_id``'s only), not from the indexes held here."""
        self._check_open()
        return {
            "episodes": self._store.episode_counts(device_id),
            "outcomes": self._store.outcome_count(device_id),
            "vectors": self._store.vector_counts(device_id),
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
    def outcomes(self) -> Dict[str, Dict[str, dict]]:
        self._check_open()
        out: Dict[str, Dict[str, dict]] = {}
        for device, eid, result, label in self._store.outcomes():
            out.setdefault(device, {})[eid] = _resolver._outcome_record(result, label)
        return out

    @property
    def vectors(self) -> Dict[str, List[Tuple[str, List[float], dict]]]:
        self._check_open()
        out: Dict[str, List[Tuple[str, List[float], dict]]] = {}
        for device, vid, blob, meta in self._store.all_vectors():
            unit = array.array("d")
            unit.frombytes(blob)
            out.setdefault(device, []).append((vid, list(unit), json.loads(meta)))
        return out
