"""The resolver on PostgreSQL: schema versions, several resolvers and servers
on one database following each other, commit order, kill -9 during ingest,
and copying a SQLite store across. The resolver's own suite runs on both
backends in test_resolver.py; this file covers what only a shared database has.
"""

import json
import signal
import subprocess
import sys
import threading
import time

import pytest

from orvane.client import Brenlow
from orvane.resolver import LocalResolver, ResolverError
import pg_support

pg_url = pg_support.pg_url  # the fixture: a database URL of a fresh schema

import serve_support  # noqa: E402
from serve_support import ENV, stop_server  # noqa: E402


def episode(eid, **values):
    return {"episode_id": eid, "state": {"context": {k: float(v) for k, v in values.items()}}}


def sql(url, statement, *params):
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        cur = conn.execute(statement, params)
        return cur.fetchall() if cur.description else None


def eventually(check, timeout=1.0):
    """Polls ``check`` until it is true; answers the seconds that took (fails past ``timeout``)."""
    start = time.monotonic()
    while True:
        value = check()
        if value:
            return time.monotonic() - start
        if time.monotonic() - start > timeout:
            pytest.fail(f"not seen within {timeout} s; last answer {value!r}")
        time.sleep(0.01)


def ids_of(hits):
    return [h["episode_id"] for h in hits]


# -- schema ------------------------------------------------------------------------------


def test_schema_created_once_versioned_and_newer_one_refused(pg_url):
    from orvane import resolver_pg

    with LocalResolver(pg_url) as first, LocalResolver(pg_url) as second:
        first.ingest([episode("a", x=1)], "d")
        assert second.query("x=1", 1, "d", False, True)[0]["episode_id"] == "a"
    assert sql(pg_url, "SELECT value FROM orvane_meta WHERE key = 'schema_version'") == [
        (str(resolver_pg.SCHEMA_VERSION),)
    ]
    sql(pg_url, "UPDATE orvane_meta SET value = '99' WHERE key = 'schema_version'")
    with pytest.raises(ResolverError, match="version 99, newer than this release"):
        LocalResolver(pg_url)


def test_servers_starting_together_create_the_tables_once(pg_url):
    opened, errors = [], []

    def start():
        try:
            opened.append(LocalResolver(pg_url))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=start) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    try:
        assert errors == [] and len(opened) == 6
    finally:
        for r in opened:
            r.close()


def test_urls_of_both_spellings_and_the_client(pg_url):
    assert pg_url.startswith("postgresql://")
    short = "postgres://" + pg_url[len("postgresql://") :]
    with Brenlow("pump", db_path=short) as brain:
        brain.ingest([episode("p1", t=20), episode("p2", t=30)])
        brain.record_outcome("p2", "failure", "OVERHEAT")
        assert ids_of(brain.query("t=29", k=1)) == ["p2"]
        assert brain.query("t=29", k=1)[0]["outcome"]["result"] == "failure"
    assert sql(pg_url, "SELECT count(*) FROM episodes") == [(2,)]


def test_an_unreachable_database_is_a_503_and_one_line_from_serve(pg_url):
    import socket

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        dead = f"postgresql://postgres@127.0.0.1:{s.getsockname()[1]}/orvane"
    with pytest.raises(ResolverError, match="the database is unavailable") as info:
        LocalResolver(dead)
    assert info.value.status_code == 503
    run = subprocess.run(
        [sys.executable, "-m", "orvane", "serve", "--port", "0", "--db", dead],
        capture_output=True,
        text=True,
        env=ENV,
        timeout=60,
    )
    assert (
        run.returncode == 2
        and run.stderr.startswith("orvane serve: the database is unavailable")
        and run.stderr.count("\n") == 1
    ), run.stderr


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.ingest([episode("ok", x=1)], "dev\x00ice"),
        lambda r: r.ingest([episode("ok", x=1), episode("n\x00ul", x=2)], "d"),
        lambda r: r.record_outcome("e\x00", "success", device_id="d"),
        lambda r: r.record_outcome("e", "success", device_id="d\x00"),
        lambda r: r.query("x=1", 1, "d\ud800", False, True),
    ],
)
def test_text_the_database_cannot_hold_is_refused_with_400(pg_url, call):
    with LocalResolver(pg_url) as r:
        with pytest.raises(ResolverError) as info:
            call(r)
        assert info.value.status_code == 400
        assert r.stats()["episodes"] == {} and r.stats()["outcomes"] == 0


# -- following other resolvers -------------------------------------------------------------


def test_resolvers_on_one_database_see_each_others_writes(pg_url):
    with LocalResolver(pg_url) as a, LocalResolver(pg_url) as b:
        # b serves the device before a writes anything
        assert b.query("x=1", 5, "d", False, True) == []
        assert b.request("POST", "/qx/query", {"device_id": "d", "embedding": [1.0, 0.0], "k": 3})["results"] == []
        a.ingest([episode("e1", x=1), episode("e2", x=2)], "d")
        assert ids_of(a.query("x=1", 5, "d", False, True)) == ["e1", "e2"]  # its own writes at once
        eventually(lambda: ids_of(b.query("x=1", 5, "d", False, True)) == ["e1", "e2"])
        a.record_outcome("e2", "failure", "FAULT", device_id="d")
        eventually(
            lambda: (
                b.query("x=2", 1, "d", False, True)[0]["outcome"]
                == {"result": "failure", "metrics": {"health_label": "FAULT"}}
            )
        )
        vid = a.request("POST", "/qx/ingest", {"device_id": "d", "embedding": [0.0, 2.0]})["id"]
        eventually(
            lambda: (
                [
                    h["id"]
                    for h in b.request("POST", "/qx/query", {"device_id": "d", "embedding": [0.0, 1.0], "k": 1})[
                        "results"
                    ]
                ]
                == [vid]
            )
        )
        # and the other way round, a later outcome replacing an earlier one
        b.ingest([episode("e3", x=1)], "d")
        b.record_outcome("e2", "success", "HEALTHY", device_id="d")
        eventually(lambda: ids_of(a.query("x=1", 1, "d", False, True)) == ["e3"])
        eventually(lambda: a.query("x=2", 1, "d", False, True)[0]["outcome"]["result"] == "success")
        # equal scores: newest (the database's id order) first on both
        assert (
            ids_of(a.query("x=1", 2, "d", False, False)) == ids_of(b.query("x=1", 2, "d", False, False)) == ["e3", "e1"]
        )


def test_a_resolver_holds_only_the_devices_it_served(pg_url):
    with LocalResolver(pg_url) as writer, LocalResolver(pg_url) as reader:
        for n in range(5):
            writer.ingest([episode(f"{n}-{i}", x=i) for i in range(20)], f"dev{n}")
        assert reader.query("x=3", 1, "dev2", False, True)[0]["episode_id"] == "2-3"
        assert set(reader._devices) == {"dev2"} and len(reader._devices["dev2"]) == 20
        assert writer._devices == {}  # ingest alone loads nothing
        assert reader.stats()["episodes"] == {f"dev{n}": 20 for n in range(5)}


def test_concurrent_writers_through_two_resolvers_keep_one_id_order(pg_url):
    """Batches committed at once through two resolvers reach every index in the database's id order."""
    with LocalResolver(pg_url) as a, LocalResolver(pg_url) as b, LocalResolver(pg_url) as watcher:
        for r in (a, b, watcher):
            r.query("x=0", 1, "d", False, True)
        errors = []

        def work(n):
            try:
                for j in range(15):
                    (a if (n + j) % 2 else b).ingest([episode(f"w{n}-{j}-{i}", x=1) for i in range(8)], "d")
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        # every score ties: the hits are the device's episodes, newest (largest id) first
        newest_first = [
            row[0] for row in sql(pg_url, "SELECT episode_id FROM episodes WHERE device_id = 'd' ORDER BY id DESC")
        ]
        assert len(newest_first) == 8 * 15 * 8
        for r in (a, b, watcher):
            eventually(lambda: len(r.query("x=1", 1000, "d", False, False)) == len(newest_first))
            assert ids_of(r.query("x=1", 1000, "d", False, False)) == newest_first


def test_a_row_committed_late_below_a_newer_one_is_not_passed_over(pg_url):
    """A writer draws the smaller id but commits last: followers take neither row out of order, and miss neither."""
    import psycopg

    from orvane.resolver_store import pack_channels

    with LocalResolver(pg_url) as follower, LocalResolver(pg_url) as writer:
        assert follower.query("x=1", 5, "d", False, True) == []
        slow = psycopg.connect(pg_url, autocommit=True)
        try:
            (key,) = slow.execute("SELECT hashtext('orvane:' || current_schema())").fetchone()
            # A writer's statements as resolver_pg.ordered_write sends them, held before the commit.
            slow.execute("BEGIN")
            slow.execute("SELECT pg_advisory_lock(%s, 1), pg_current_xact_id()", (key,))
            slow.execute(
                "INSERT INTO episodes (device_id, episode_id, body, channels, ingested_at) VALUES ('d', 'early', %s, %s, 0)",
                (json.dumps(episode("early", x=1)), pack_channels({"x": 1.0})),
            )
            slow.execute("SELECT pg_advisory_unlock(%s, 1)", (key,))
            writer.ingest([episode("late", x=1)], "d")  # a larger id, committed first
            opened_meanwhile = LocalResolver(pg_url)
            time.sleep(0.5)
            for r in (follower, opened_meanwhile):
                assert r.query("x=1", 5, "d", False, True) == []  # "late" waits behind "early"
            slow.execute("COMMIT")
        finally:
            slow.close()
        with opened_meanwhile, LocalResolver(pg_url) as opened_after:
            for r in (follower, opened_meanwhile, opened_after):
                eventually(lambda: ids_of(r.query("x=1", 5, "d", False, True)) == ["late", "early"])


def test_a_writer_stuck_holding_the_write_lock_costs_others_a_503_not_a_hang(pg_url, monkeypatch):
    import psycopg

    from orvane import resolver_pg

    monkeypatch.setattr(resolver_pg, "LOCK_WAIT", 0.3)
    with LocalResolver(pg_url) as r:
        stuck = psycopg.connect(pg_url, autocommit=True)
        (key,) = stuck.execute("SELECT hashtext('orvane:' || current_schema())").fetchone()
        stuck.execute("SELECT pg_advisory_lock(%s, 1)", (key,))
        with pytest.raises(ResolverError, match="lock timeout") as info:
            r.ingest([episode("a", x=1)], "d")
        assert info.value.status_code == 503
        stuck.close()  # its session ends, and the lock with it
        assert r.ingest([episode("a", x=1)], "d") == {"accepted": 1, "stored": 1}


# -- servers -----------------------------------------------------------------------------


def start_server(db, *extra):
    return serve_support.start_server("--db", db, *extra)


def test_serve_names_the_database_without_its_password(pg_url):
    user, rest = pg_url[len("postgresql://") :].split("@", 1)
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvane", "serve", "--port", "0", "--db", f"postgresql://{user}:s3cret@{rest}"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    line = proc.stdout.readline()
    stop_server(proc)
    assert f"store: postgresql://{user}:***@{rest}" in line and "s3cret" not in line, line


def test_two_servers_on_one_database_see_each_others_episodes_and_outcomes(pg_url):
    first, url1 = start_server(pg_url)
    second, url2 = start_server(pg_url)
    try:
        one, two = Brenlow("pump", url=url1), Brenlow("pump", url=url2)
        assert two.query("t=50", k=3) == []  # the second server has served the device already
        one.ingest([episode("p1", t=50), episode("p2", t=60)])
        took = eventually(lambda: ids_of(two.query("t=50", k=3)) == ["p1", "p2"])
        assert took < 1.0
        one.record_outcome("p1", "failure", "OVERHEAT")
        eventually(
            lambda: (
                two.query("t=50", k=1)[0]["outcome"] == {"result": "failure", "metrics": {"health_label": "OVERHEAT"}}
            )
        )
        two.ingest([episode("p3", t=50)])
        two.record_outcome("p3", "success", "HEALTHY")
        eventually(lambda: ids_of(one.query("t=50", k=1, prefer_success=False)) == ["p3"])
        eventually(lambda: one.query("t=50", k=1)[0]["outcome"]["result"] == "success")
        assert one.stats()["episodes"] == two.stats()["episodes"] == {"pump": 3}
    finally:
        stop_server(first)
        stop_server(second)


def test_tokens_keep_devices_apart_across_servers(pg_url, tmp_path):
    tokens = tmp_path / "tokens.json"
    tokens.write_text(json.dumps({"pump-a": "token-a", "pump-b": "token-b", "*": "token-fleet"}))
    first, url1 = start_server(pg_url, "--tokens", str(tokens))
    second, url2 = start_server(pg_url, "--tokens", str(tokens))
    try:
        a1, b2 = Brenlow("pump-a", url=url1, token="token-a"), Brenlow("pump-b", url=url2, token="token-b")
        a1.ingest([episode("e1", x=1)])
        b2.ingest([episode("e1", x=1)])
        a1.record_outcome("e1", "success")
        b2.record_outcome("e1", "failure", "LEAK")  # the same episode id, B's own
        with pytest.raises(ResolverError) as info:
            Brenlow("pump-a", url=url2, token="token-b").query("x=1")
        assert info.value.status_code == 403
        a2, fleet1 = Brenlow("pump-a", url=url2, token="token-a"), Brenlow("pump-b", url=url1, token="token-fleet")
        eventually(lambda: a2.query("x=1", k=1)[0]["outcome"] == {"result": "success"})
        eventually(
            lambda: fleet1.query("x=1", k=1)[0]["outcome"] == {"result": "failure", "metrics": {"health_label": "LEAK"}}
        )
        assert a2.stats()["episodes"] == {"pump-a": 1} and a2.stats()["outcomes"] == 1
        assert fleet1.stats()["episodes"] == {"pump-a": 1, "pump-b": 1} and fleet1.stats()["outcomes"] == 2
    finally:
        stop_server(first)
        stop_server(second)


KILL_CLIENT = """
import json, sys
from orvane.client import Brenlow
url, name = sys.argv[1], sys.argv[2]
brain = Brenlow(name, url=url, timeout=10)
for b in range(100000):
    batch = [{"episode_id": f"{name}-{b}-{i}", "state": {"context": {"x": float(b), "i": float(i)}}} for i in range(10)]
    try:
        brain.ingest(batch)
    except Exception:  # the server is gone: this batch is not acknowledged
        break
    print(json.dumps([e["episode_id"] for e in batch]), flush=True)
"""


def test_kill_9_during_ingest_loses_no_acknowledged_episode(pg_url):
    proc, url = start_server(pg_url)
    clients = [
        subprocess.Popen(
            [sys.executable, "-c", KILL_CLIENT, url, f"c{n}"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=ENV,
        )
        for n in range(20)
    ]
    try:
        eventually(lambda: sql(pg_url, "SELECT count(*) FROM episodes")[0][0] >= 2000, timeout=60)
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
    acknowledged = set()
    for c in clients:
        out, err = c.communicate(timeout=60)
        assert c.returncode == 0, err
        for line in out.splitlines():
            acknowledged.update(json.loads(line))
    assert len(acknowledged) >= 1000
    stored = {row[0] for row in sql(pg_url, "SELECT episode_id FROM episodes")}
    assert acknowledged <= stored, sorted(acknowledged - stored)[:10]
    # a new server serves everything from the table
    proc, url = start_server(pg_url)
    try:
        probe = Brenlow("c7", url=url)
        for eid in sorted(e for e in acknowledged if e.startswith("c7-"))[:5]:
            _, b, i = eid.split("-")
            assert probe.query(f"x={b} i={i}", k=1, include_episode=False)[0]["episode_id"] == eid
        counts = dict(sql(pg_url, "SELECT device_id, count(*) FROM episodes GROUP BY device_id"))
        assert probe.stats()["episodes"] == counts
    finally:
        stop_server(proc)
    # the index a resolver builds is the table, row for row, in id order: a
    # query without channels ties every episode, newest first
    with LocalResolver(pg_url) as r:
        for device in ("c0", "c13"):
            table = [
                row[0]
                for row in sql(pg_url, "SELECT episode_id FROM episodes WHERE device_id = %s ORDER BY id DESC", device)
            ]
            assert 0 < len(table) <= 1000
            assert ids_of(r.query("no channels", 1000, device, False, False)) == table


# -- copying a SQLite store ----------------------------------------------------------------


def make_sqlite_store(path):
    with LocalResolver(path) as r:
        for b in range(12):
            r.ingest([episode(f"e{b}-{i}", x=i, y=b) for i in range(25)], f"dev{b % 3}")
        r.ingest([{"embeddings": {"text": "x=3 y=1"}}], "dev1")  # no episode id
        r.record_outcome("e4-3", "failure", "FAULT", device_id="dev1")
        r.record_outcome("e5-3", "success", "HEALTHY", device_id="dev2")
        r.record_outcome("e0-1", "failure", "NOT-THIS-ONE", device_id="dev2")  # dev0 holds e0-1
        vid = r.request("POST", "/qx/ingest", {"device_id": "dev1", "embedding": [0.6, 0.8], "metadata": {"k": 1}})[
            "id"
        ]
    return vid


def test_migrate_copies_resumes_and_verifies(tmp_path, pg_url):
    from orvane.resolver_pg import migrate_sqlite

    path = str(tmp_path / "store.sqlite")
    vid = make_sqlite_store(path)

    class Interrupted(Exception):
        pass

    def interrupt(kind, done):
        if kind == "episodes" and done >= 100:
            raise Interrupted

    with pytest.raises(Interrupted):
        migrate_sqlite(path, pg_url, batch_size=40, _after_batch=interrupt)
    assert sql(pg_url, "SELECT count(*) FROM episodes") == [(120,)]  # three batches committed
    import io

    out = io.StringIO()
    counts = migrate_sqlite(path, pg_url, batch_size=40, out=out)
    assert counts == {"episodes": {"dev0": 100, "dev1": 101, "dev2": 100}, "outcomes": 3, "vectors": 1}
    assert "episodes: resuming after 120 of 301" in out.getvalue()
    assert "verified: 301 episodes of 3 devices" in out.getvalue()
    # nothing twice, order kept, and the same answers from both stores
    assert sql(pg_url, "SELECT count(*), count(DISTINCT episode_id) FROM episodes") == [(301, 300)]
    with LocalResolver(path) as old, LocalResolver(pg_url) as new:
        assert new.episodes == old.episodes
        for device, text in [("dev1", "x=3 y=1"), ("dev0", "x=7"), ("dev2", "y=5 x=24")]:
            assert new.query(text, 10, device, True, False) == old.query(text, 10, device, True, False)
        out = new.request("POST", "/qx/query", {"device_id": "dev1", "embedding": [3, 4], "k": 1})["results"]
        assert out[0]["id"] == vid and out[0]["metadata"] == {"k": 1}
    outcomes = {row[1]: row for row in sql(pg_url, "SELECT device_id, episode_id, result, health_label FROM outcomes")}
    assert outcomes["e4-3"] == ("dev1", "e4-3", "failure", "FAULT")
    assert outcomes["e5-3"] == ("dev2", "e5-3", "success", "HEALTHY")
    assert outcomes["e0-1"] == ("dev2", "e0-1", "failure", "NOT-THIS-ONE")  # kept for the device that recorded it
    # run again: nothing left to copy, counts still verified
    assert migrate_sqlite(path, pg_url, batch_size=40) == counts


def test_migrate_a_store_of_the_first_layout(tmp_path, pg_url):
    """Bodies only (channel values come from them) and outcomes keyed by episode id alone."""
    import sqlite3

    from orvane.resolver_pg import migrate_sqlite

    path = str(tmp_path / "old.sqlite")
    db = sqlite3.connect(path)
    db.executescript(
        """
        CREATE TABLE episodes (rowid INTEGER PRIMARY KEY, device_id TEXT NOT NULL, episode_id TEXT, body TEXT NOT NULL, ingested_at REAL NOT NULL);
        CREATE UNIQUE INDEX episodes_by_id ON episodes (device_id, episode_id);
        CREATE TABLE outcomes (episode_id TEXT PRIMARY KEY, result TEXT NOT NULL, health_label TEXT, recorded_at REAL NOT NULL);
        """
    )
    rows = [("a", "e1", episode("e1", t=20)), ("a", "e2", episode("e2", t=30)), ("b", "e1", episode("e1", t=40))]
    db.executemany(
        "INSERT INTO episodes (device_id, episode_id, body, ingested_at) VALUES (?, ?, ?, 1.0)",
        [(d, e, json.dumps(b)) for d, e, b in rows],
    )
    db.executemany(
        "INSERT INTO outcomes VALUES (?, ?, ?, 2.0)", [("e1", "failure", "FAULT"), ("lost", "success", None)]
    )
    db.commit()
    db.close()
    assert migrate_sqlite(path, pg_url) == {"episodes": {"a": 2, "b": 1}, "outcomes": 3, "vectors": 0}
    placed = sorted(sql(pg_url, "SELECT device_id, episode_id, result FROM outcomes"))
    assert placed == [("", "lost", "success"), ("a", "e1", "failure"), ("b", "e1", "failure")]
    with LocalResolver(pg_url) as r:
        assert ids_of(r.query("t=29", 2, "a", False, False)) == ["e2", "e1"]
        assert r.query("t=40", 1, "b", False, False)[0]["outcome"] == {
            "result": "failure",
            "metrics": {"health_label": "FAULT"},
        }
        assert r.outcomes == {
            "a": {"e1": {"result": "failure", "metrics": {"health_label": "FAULT"}}},
            "b": {"e1": {"result": "failure", "metrics": {"health_label": "FAULT"}}},
        }
        # the outcome kept aside goes to the device whose episode arrives first
        r.query("t=1", 1, "c", False, False)
        r.ingest([episode("lost", t=1)], "c")
        assert r.query("t=1", 1, "c", False, False)[0]["outcome"] == {"result": "success"}
        r.ingest([episode("lost", t=1)], "d")
        assert r.query("t=1", 1, "d", False, False)[0]["outcome"] is None
    assert sorted(sql(pg_url, "SELECT device_id, episode_id FROM outcomes")) == [
        ("a", "e1"),
        ("b", "e1"),
        ("c", "lost"),
    ]


def test_migrate_command_line(tmp_path, pg_url):
    path = str(tmp_path / "store.sqlite")
    make_sqlite_store(path)
    run = subprocess.run(
        [sys.executable, "-m", "orvane", "migrate", path, pg_url], capture_output=True, text=True, env=ENV, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert "episodes: 301/301 (100%)" in run.stdout and "verified:" in run.stdout
    for args, message in [
        ([str(tmp_path / "missing.sqlite"), pg_url], "no such file"),
        ([path, "sqlite:///x"], "must be a postgresql://"),
    ]:
        run = subprocess.run(
            [sys.executable, "-m", "orvane", "migrate", *args], capture_output=True, text=True, env=ENV, timeout=60
        )
        assert run.returncode == 2 and message in run.stderr and run.stderr.count("\n") == 1, run.stderr
    held = LocalResolver(path)
    held.ingest([episode("late", x=1)], "dev0")  # a running resolver holds its file
    try:
        run = subprocess.run(
            [sys.executable, "-m", "orvane", "migrate", path, pg_url],
            capture_output=True,
            text=True,
            env=ENV,
            timeout=60,
        )
        assert run.returncode == 2 and "in use" in run.stderr, run.stderr
    finally:
        held.close()
