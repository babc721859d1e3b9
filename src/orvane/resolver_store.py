"""Storage of the local resolver: what is kept, in SQLite.

:class:`SQLiteStore` is the only code that speaks SQL. The resolver keeps its
indexes in memory and asks the store for four things: to keep a batch
(whole or not at all), to hand every row back at start in arrival order, to
read a few rows by id, and to record outcomes. Another backend offers the
same methods.

The layout carries a version (table ``schema_version``). A store written
with an older layout is brought up to date once, when it is opened, by the
steps in ``_MIGRATIONS``; a store from a newer release is refused.

Version 1 (no ``schema_version`` table): episodes as JSON bodies, outcomes,
vectors. Version 2 adds ``episode_channels``: each episode's channel values
in packed form (:func:`pack_channels`), so that opening a store loads the
index without parsing any JSON. Version 3 keeps outcomes per device
(``device_outcomes``): an outcome of version 2 and before, keyed by episode
id alone, goes to every device holding that episode; one whose episode no
device holds yet stays in ``outcomes`` until the episode arrives and is then
given to the device that sent it.
"""

from __future__ import annotations

import sqlite3
import struct
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

__all__ = ["SCHEMA_VERSION", "SQLiteStore", "StoreError", "pack_channels"]

#: The layout this release writes.
SCHEMA_VERSION = 3

_U32 = struct.Struct("<I")
_F64 = struct.Struct("<d")


def pack_channels(values: Dict[str, float]) -> bytes:
    """Channel values as the index loads them: per channel, u32 length, UTF-8 name, f64 value (little-endian)."""
    parts = []
    for name, value in values.items():
        raw = name.encode("utf-8", "surrogatepass")
        parts.append(_U32.pack(len(raw)))
        parts.append(raw)
        parts.append(_F64.pack(value))
    return b"".join(parts)


class StoreError(Exception):
    """The store cannot be used: held by another process, or written by a newer release."""


_TABLES_V1 = """
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
CREATE TABLE IF NOT EXISTS vectors (
    rowid INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    device_id TEXT NOT NULL,
    embedding BLOB NOT NULL,
    metadata TEXT NOT NULL
);
"""

# Beside the bodies, apart from them: loading reads only these small rows.
_TABLES_V2 = """
CREATE TABLE IF NOT EXISTS episode_channels (
    rowid INTEGER PRIMARY KEY,
    device_id TEXT NOT NULL,
    packed BLOB NOT NULL
);
"""


_TABLES_V3 = """
CREATE TABLE IF NOT EXISTS device_outcomes (
    device_id TEXT NOT NULL,
    episode_id TEXT NOT NULL,
    result TEXT NOT NULL,
    health_label TEXT,
    recorded_at REAL NOT NULL,
    PRIMARY KEY (device_id, episode_id)
);
"""


def _run_script(db: sqlite3.Connection, script: str) -> None:
    # executescript() would commit the open transaction: run statement by statement.
    for statement in script.split(";"):
        if statement.strip():
            db.execute(statement)


def _migrate_1_to_2(db: sqlite3.Connection, channels_of_body: Callable[[str], bytes]) -> None:
    _run_script(db, _TABLES_V2)
    rows = db.execute("SELECT rowid, device_id, body FROM episodes ORDER BY rowid")
    db.executemany(
        "INSERT INTO episode_channels (rowid, device_id, packed) VALUES (?, ?, ?)",
        ((rowid, device_id, channels_of_body(body)) for rowid, device_id, body in rows),
    )


def _migrate_2_to_3(db: sqlite3.Connection, channels_of_body: Callable[[str], bytes]) -> None:
    _run_script(db, _TABLES_V3)
    db.execute(
        "INSERT OR IGNORE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
        " SELECT DISTINCT e.device_id, o.episode_id, o.result, o.health_label, o.recorded_at"
        " FROM outcomes o JOIN episodes e ON e.episode_id = o.episode_id"
    )
    db.execute("DELETE FROM outcomes WHERE episode_id IN (SELECT episode_id FROM episodes)")


#: Step from version N to N + 1, applied in order inside one transaction.
_MIGRATIONS: Dict[int, Callable[[sqlite3.Connection, Callable[[str], bytes]], None]] = {
    1: _migrate_1_to_2,
    2: _migrate_2_to_3,
}


class SQLiteStore:
    """Episodes, outcomes and vectors in one SQLite database (a file, or private memory).

    ``channels_of_body`` turns a stored episode body (JSON text) into its
    packed channel values; it is used only to bring an older store up to
    date. Not thread-safe: the resolver calls it under its own lock.
    """

    def __init__(self, path: str, channels_of_body: Callable[[str], bytes]):
        self.path = path
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None, timeout=1.0)
        try:
            if path != ":memory:":
                # The indexes live in the resolver's process, so a second
                # resolver on the same file would never see this one's writes:
                # hold the file exclusively (from the first write on) until close().
                self._db.execute("PRAGMA locking_mode=EXCLUSIVE")
                self._db.execute("PRAGMA journal_mode=WAL")
                self._db.execute("PRAGMA synchronous=NORMAL")
            self._open(channels_of_body)
        except sqlite3.OperationalError as exc:
            self._db.close()
            if "locked" in str(exc):
                raise StoreError(f"the store {path} is in use by another resolver") from None
            raise
        except BaseException:
            self._db.close()
            raise

    # -- layout -----------------------------------------------------------------
    def _version(self) -> int:
        names = {name for (name,) in self._db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if "schema_version" in names:
            row = self._db.execute("SELECT version FROM schema_version").fetchone()
            return int(row[0]) if row else 0
        return 1 if "episodes" in names else 0

    def _open(self, channels_of_body: Callable[[str], bytes]) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            version = self._version()
            if version > SCHEMA_VERSION:
                raise StoreError(
                    f"the store {self.path} has layout version {version}; this release reads up to {SCHEMA_VERSION}"
                )
            if version == 0:  # a new store
                _run_script(db, _TABLES_V1)
                _run_script(db, _TABLES_V2)
                _run_script(db, _TABLES_V3)
                self._set_version(SCHEMA_VERSION)
            elif version < SCHEMA_VERSION:
                while version < SCHEMA_VERSION:
                    _MIGRATIONS[version](db, channels_of_body)
                    version += 1
                self._set_version(SCHEMA_VERSION)
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise

    def _set_version(self, version: int) -> None:
        self._db.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
        self._db.execute("DELETE FROM schema_version")
        self._db.execute("INSERT INTO schema_version (version) VALUES (?)", (version,))

    def schema_version(self) -> int:
        return self._version()

    def close(self) -> None:
        self._db.close()

    # -- episodes ---------------------------------------------------------------
    def add_episodes(
        self,
        device_id: str,
        rows: Sequence[Tuple[Optional[str], str, bytes]],
        now: float,
        unplaced: Optional[Dict[str, Tuple[str, Optional[str]]]] = None,
    ) -> List[Tuple[int, int]]:
        """Keeps (episode_id, body, packed channels) rows, skipping ids the device holds.

        All or nothing. Answers (row id, position in ``rows``) of each row kept.
        An outcome in ``unplaced`` (episode id -> (result, health label), from
        an older store) whose episode is kept here becomes this device's.
        """
        cur = self._db.cursor()
        cur.execute("BEGIN")
        try:
            # Which ids the device holds already, then the new rows in two
            # executemany calls: row ids are given explicitly (the next after
            # the largest, as SQLite itself would choose) so both tables agree.
            ids = [episode_id for episode_id, _, _ in rows if episode_id is not None]
            held = set()
            for start in range(0, len(ids), 500):
                part = ids[start : start + 500]
                marks = ",".join("?" * len(part))
                held.update(
                    episode_id
                    for (episode_id,) in cur.execute(
                        f"SELECT episode_id FROM episodes WHERE device_id = ? AND episode_id IN ({marks})",
                        [device_id, *part],
                    )
                )
            (last,) = cur.execute("SELECT COALESCE(MAX(rowid), 0) FROM episodes").fetchone()
            added, episodes, channels = [], [], []
            for j, (episode_id, body, packed) in enumerate(rows):
                if episode_id is not None:
                    if episode_id in held:
                        continue
                    held.add(episode_id)
                last += 1
                added.append((last, j))
                episodes.append((last, device_id, episode_id, body, now))
                channels.append((last, device_id, packed))
            cur.executemany(
                "INSERT INTO episodes (rowid, device_id, episode_id, body, ingested_at) VALUES (?, ?, ?, ?, ?)",
                episodes,
            )
            cur.executemany("INSERT INTO episode_channels (rowid, device_id, packed) VALUES (?, ?, ?)", channels)
            if unplaced:
                placed = [
                    (device_id, rows[j][0], *unplaced[rows[j][0]], now) for _, j in added if rows[j][0] in unplaced
                ]
                cur.executemany(
                    "INSERT OR IGNORE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
                    " VALUES (?, ?, ?, ?, ?)",
                    placed,
                )
                cur.executemany("DELETE FROM outcomes WHERE episode_id = ?", [(p[1],) for p in placed])
            cur.execute("COMMIT")
        except BaseException:
            cur.execute("ROLLBACK")
            raise
        return added

    def episode_channels(self) -> sqlite3.Cursor:
        """(row id, device id, packed channels) of every episode, in arrival order."""
        return self._db.execute("SELECT rowid, device_id, packed FROM episode_channels ORDER BY rowid")

    def episode_records(self, rowids: Sequence[int]) -> Dict[int, Tuple[Optional[str], str]]:
        """(episode_id, body) by row id."""
        out: Dict[int, Tuple[Optional[str], str]] = {}
        for start in range(0, len(rowids), 500):
            part = list(rowids[start : start + 500])
            marks = ",".join("?" * len(part))
            for rowid, episode_id, body in self._db.execute(
                f"SELECT rowid, episode_id, body FROM episodes WHERE rowid IN ({marks})", part
            ):
                out[rowid] = (episode_id, body)
        return out

    def episode_bodies(self) -> Iterator[Tuple[str, str]]:
        """(device id, body) of every episode, in arrival order."""
        return self._db.execute("SELECT device_id, body FROM episodes ORDER BY rowid")

    # -- outcomes ---------------------------------------------------------------
    def put_outcome(
        self, device_id: str, episode_id: str, result: str, health_label: Optional[str], now: float
    ) -> None:
        self._db.execute(
            "INSERT OR REPLACE INTO device_outcomes (device_id, episode_id, result, health_label, recorded_at)"
            " VALUES (?, ?, ?, ?, ?)",
            (device_id, episode_id, result, health_label, now),
        )

    def outcomes(self) -> Iterator[Tuple[str, str, str, Optional[str]]]:
        """(device id, episode id, result, health label) of every outcome."""
        return self._db.execute("SELECT device_id, episode_id, result, health_label FROM device_outcomes")

    def unplaced_outcomes(self) -> Iterator[Tuple[str, str, Optional[str]]]:
        """(episode id, result, health label) of outcomes from an older store whose episode has not arrived."""
        return self._db.execute("SELECT episode_id, result, health_label FROM outcomes")

    # -- vectors ----------------------------------------------------------------
    def add_vectors(self, rows: Iterable[Tuple[str, str, bytes, str]]) -> List[int]:
        """Keeps (id, device id, unit vector as native doubles, metadata JSON) rows; all or nothing."""
        cur = self._db.cursor()
        cur.execute("BEGIN")
        try:
            rowids = []
            for vid, device_id, blob, metadata in rows:
                cur.execute(
                    "INSERT INTO vectors (id, device_id, embedding, metadata) VALUES (?, ?, ?, ?)",
                    (vid, device_id, blob, metadata),
                )
                rowids.append(cur.lastrowid)
            cur.execute("COMMIT")
        except BaseException:
            cur.execute("ROLLBACK")
            raise
        return rowids

    def vector_units(self) -> Iterator[Tuple[int, str, bytes]]:
        """(row id, device id, unit vector) of every vector, in arrival order."""
        return self._db.execute("SELECT rowid, device_id, embedding FROM vectors ORDER BY rowid")

    def vector_records(self, rowids: Sequence[int]) -> Dict[int, Tuple[str, str]]:
        """(id, metadata JSON) by row id."""
        out: Dict[int, Tuple[str, str]] = {}
        for start in range(0, len(rowids), 500):
            part = list(rowids[start : start + 500])
            marks = ",".join("?" * len(part))
            for rowid, vid, metadata in self._db.execute(
                f"SELECT rowid, id, metadata FROM vectors WHERE rowid IN ({marks})", part
            ):
                out[rowid] = (vid, metadata)
        return out

    def all_vectors(self) -> Iterator[Tuple[str, str, bytes, str]]:
        """(device id, id, unit vector, metadata JSON) of every vector, in arrival order."""
        return self._db.execute("SELECT device_id, id, embedding, metadata FROM vectors ORDER BY rowid")
