"""The resolver's compiled search: against the plain-Python scan, ties, history bound, store layout."""

import array
import math
import random
import sqlite3
import threading

import pytest
from hypothesis import given, settings, strategies as st

from orvane import _search, resolver as resolver_mod
from orvane.brenlow import detector as detector_mod
from orvane.brenlow.detector import AnomalyDetector
from orvane.client import Brenlow
from orvane.resolver import LocalResolver, ResolverError
from orvane.resolver_store import SCHEMA_VERSION, pack_channels
from reference.search import order_preferring_success, search_episodes, search_vectors

CAP = resolver_mod._Z_CAP

# Few distinct values so that equal scores are common; a few wide ones for overflow paths.
values = st.one_of(
    st.sampled_from([0.0, 1.0, 1.5, -2.0, 3.25, 1e-13]),
    st.floats(allow_nan=False, allow_infinity=False, width=64),
)
names = st.sampled_from(["a", "b", "c", "rare", "ü"])
rows_st = st.lists(st.dictionaries(names, values, max_size=4), max_size=60)
probe_st = st.dictionaries(st.sampled_from(["a", "b", "c", "rare", "ü", "never"]), values, max_size=4)


def index_of(rows, rowid=lambda i: 7 + 3 * i):
    index = _search.EpisodeIndex()
    for i, row in enumerate(rows):
        index.append(rowid(i), pack_channels(row))
    return index


def compiled(index, probe, k, limit):
    return index.search([n.encode() for n in probe], list(probe.values()), k, limit, CAP)


@settings(max_examples=300, deadline=None)
@given(rows_st, probe_st, st.integers(0, 12), st.integers(1, 70))
def test_episode_scan_equals_reference(rows, probe, k, limit):
    got = compiled(index_of(rows), probe, k, limit)
    want = search_episodes(rows, probe, k, limit, CAP)
    assert got == [(score, 7 + 3 * i) for score, i in want]


@pytest.mark.parametrize("seed", range(4))
def test_long_scans_with_many_ties_equal_reference(seed):
    # Past the first block of rows, with k-th best scores shared by many rows
    # and totals near zero, where rows are passed over without a score.
    rng = random.Random(seed)
    pool = [0.0, 1.0, 1.0 + 2**-40, 2.0, 5e-17, -3.0]
    rows = [{c: rng.choice(pool) for c in "abc" if rng.random() < 0.9} for _ in range(6000)]
    index = index_of(rows)
    for probe in ({"a": 1.0, "b": 1.0}, {"a": 0.0, "b": 5e-17, "c": 2.0}, {"c": 1.0 + 2**-40, "zz": 0.0}):
        for k in (1, 7, 40):
            assert compiled(index, probe, k, 5000) == [
                (sc, 7 + 3 * i) for sc, i in search_episodes(rows, probe, k, 5000, CAP)
            ]


def test_sparse_names_cost_their_values_and_score_alike():
    # 50 rarely used names (each every 350 rows) and one channel present everywhere
    rows = [{"base": float(i % 5)} for i in range(2000)]
    for i in range(0, 2000, 7):
        rows[i][f"name{(i // 7) % 50}"] = float(i)
    index = index_of(rows, rowid=lambda i: i)
    present = sum(len(r) for r in rows)
    channels, slots = index.footprint()
    assert channels == 51 and slots <= present + 64  # not 51 columns of 2000
    for probe in ({"name7": 7.0, "base": 2.0}, {"name0": 0.0}, {"never": 1.0, "base": 1.0}):
        assert compiled(index, probe, 10, 10**9) == search_episodes(rows, probe, 10, 10**9, CAP)


@settings(max_examples=100, deadline=None)
@given(
    st.lists(
        st.lists(st.sampled_from([0.0, 1.0, -1.0, 0.5, 2.0, 1e-3]), min_size=1, max_size=5).filter(any),
        max_size=40,
    ),
    st.lists(st.sampled_from([0.0, 1.0, -1.0, 0.5, 3.0]), min_size=1, max_size=5),
    st.integers(1, 12),
)
def test_vector_scan_equals_reference(vectors, raw_probe, k):
    units = [[x / math.hypot(*v) for x in v] for v in vectors]
    norm = math.hypot(*raw_probe)
    probe = [x / norm for x in raw_probe] if norm > 0 else [0.0] * len(raw_probe)
    index = _search.VectorIndex()
    for i, unit in enumerate(units):
        index.append(100 + i, array.array("d", unit).tobytes())
    got = index.search(array.array("d", probe).tobytes(), k)
    want = search_vectors(units, probe, k)
    assert len(got) == len(want)
    for (gs, grow), (ws, wi) in zip(got, want):
        assert math.isclose(gs, ws, rel_tol=1e-6, abs_tol=1e-12)
        if grow != 100 + wi:  # a different hit only where the scores are within rounding
            assert math.isclose(gs, search_vectors([units[grow - 100]], probe, 1)[0][0], rel_tol=1e-6, abs_tol=1e-12)


def test_index_refuses_bad_input_and_keeps_its_rows(monkeypatch):
    index = index_of([{"a": 1.0}])
    for packed in (b"\x01", b"\x05\x00\x00\x00ab", pack_channels({"a": 2.0})[:-1]):
        with pytest.raises(ValueError, match="malformed"):
            index.append(9, packed)
    assert len(index) == 1
    with pytest.raises(TypeError):
        index.append("9", b"")
    with pytest.raises(TypeError):
        index.search(["a"], [1.0], 1, 1, CAP)  # names are UTF-8 bytes
    with pytest.raises(ValueError):
        index.search([b"a"], [1.0], -1, 1, CAP)
    with pytest.raises(ValueError):
        _search.VectorIndex().append(1, b"1234")
    indexes = {"d": index}
    for rows, exc in (([(1, "d")], TypeError), ([(1, 5, b"")], TypeError), ([(1, "d", b"\x01")], ValueError)):
        with pytest.raises(exc):
            _search.load_episodes(rows, indexes)
    with pytest.raises(TypeError):
        _search.load_episodes([(1, "e", b"")], {"e": object()})
    _search.load_episodes(iter([(8, "d", b""), (4, "new", pack_channels({"a": 1.0}))]), indexes)
    assert len(index) == 2 and len(indexes["new"]) == 1
    monkeypatch.setattr(_search, "EpisodeIndex", dict)  # makes its own kind of index whatever the name holds
    _search.load_episodes([(5, "other", b"")], indexes)
    assert type(indexes["other"]) is type(index)
    # non-finite values are skipped, a repeated name keeps its first value
    index.append(10, pack_channels({"a": 1.0}) + pack_channels({"a": 5.0, "b": math.inf}))
    assert compiled(index, {"a": 1.0}, 2, 10) == [(1.0, 10), (1.0, 7)]
    assert compiled(index, {"b": 1.0}, 5, 10)[0][1] == 10  # no row has b: all equal, newest first


# -- through the resolver --------------------------------------------------------------


def episode(eid, **values):
    return {"episode_id": eid, "state": {"context": values}, "outcome": {"result": "pending"}}


def test_recent_failures_are_not_hidden_and_the_detector_fires(monkeypatch):
    res = LocalResolver()
    res.ingest([episode(f"ok{i}", value=1.0) for i in range(10)], "d")
    res.ingest([episode(f"bad{i}", value=1.0) for i in range(40)], "d")
    res.ingest([episode(f"other{i}", value=2.0 + i) for i in range(50)], "d")
    for i in range(10):
        res.record_outcome(f"ok{i}", "success", "HEALTHY", device_id="d")
    for i in range(40):
        res.record_outcome(f"bad{i}", "failure", "FAULT", device_id="d")
    for i in range(50):
        res.record_outcome(f"other{i}", "success", "HEALTHY", device_id="d")
    hits = res.query("sensor state value=1.0", 10, "d", False, True)
    assert [h["episode_id"] for h in hits] == [f"bad{i}" for i in range(39, 29, -1)]
    assert {h["outcome"]["result"] for h in hits} == {"failure"}
    monkeypatch.setattr(detector_mod, "DETECTOR_CHECK_EVERY", 1)
    det = AnomalyDetector(Brenlow(resolver=res), "d")
    event = det.observe("t", {"value": 1.0}, 0.99)
    assert event is not None and event.dominant_outcome == "FAULT" and event.similar_episode_count == 10
    res.close()


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.dictionaries(names, values, max_size=3), st.sampled_from([None, "success", "failure"])),
        max_size=40,
    ),
    probe_st,
    st.integers(0, 12),
    st.integers(1, 50),
    st.booleans(),
)
def test_resolver_query_equals_reference(rows, probe, k, limit, prefer):
    res = LocalResolver(max_episodes_per_device=limit)
    res.ingest([episode(f"e{i}", **ctx) for i, (ctx, _) in enumerate(rows)], "d")
    for i, (_, result) in enumerate(rows):
        if result:
            res.record_outcome(f"e{i}", result, device_id="d")
    text = "sensor state " + " ".join(f"{n}={v!r}" for n, v in probe.items())
    probe = resolver_mod.channel_values(text)
    hits = res.query(text, k, "d", False, prefer)
    found = search_episodes([ctx for ctx, _ in rows], probe, k, limit, CAP)
    order = order_preferring_success(found, [r == "success" for _, r in rows]) if prefer else [i for _, i in found]
    assert [h["episode_id"] for h in hits] == [f"e{i}" for i in order]
    assert [h["score"] for h in hits] == [round(s, 6) for s, _ in sorted(found, key=lambda p: -p[0])]
    res.close()


def test_history_bound_keeps_spread_over_everything():
    res = LocalResolver(max_episodes_per_device=3)
    rows = [{"x": float(i)} for i in range(10)]
    res.ingest([episode(f"e{i}", **r) for i, r in enumerate(rows)], "d")
    hits = res.query("x=0", 10, "d", False, False)
    assert [h["episode_id"] for h in hits] == ["e7", "e8", "e9"]
    assert [h["score"] for h in hits] == [round(s, 6) for s, _ in search_episodes(rows, {"x": 0.0}, 10, 3, CAP)]
    assert res.stats()["episodes"] == {"d": 10}  # nothing deleted
    for bad in (0, -1, 1.5, True, "10"):
        with pytest.raises(ValueError):
            LocalResolver(max_episodes_per_device=bad)


def test_ingest_during_queries_from_other_threads():
    res = LocalResolver()
    res.ingest([episode(f"s{i}", x=float(i % 10)) for i in range(5000)], "d")
    errors = []

    def ask():
        try:
            for _ in range(30):
                hits = res.query("x=3 y=1", 5, "d", False, True)
                assert len(hits) == 5 and all(h["episode_id"] for h in hits)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=ask) for _ in range(3)]
    for t in threads:
        t.start()
    for j in range(30):
        res.ingest([episode(f"n{j}-{i}", x=float(i), y=1.0) for i in range(50)], "d")
    for t in threads:
        t.join()
    assert not errors
    assert res.stats()["episodes"]["d"] == 6500
    res.close()


# -- the store ------------------------------------------------------------------------

_OLD_LAYOUT = """
CREATE TABLE episodes (rowid INTEGER PRIMARY KEY, device_id TEXT NOT NULL, episode_id TEXT,
                       body TEXT NOT NULL, ingested_at REAL NOT NULL);
CREATE UNIQUE INDEX episodes_by_id ON episodes (device_id, episode_id);
CREATE TABLE outcomes (episode_id TEXT PRIMARY KEY, result TEXT NOT NULL, health_label TEXT, recorded_at REAL NOT NULL);
CREATE TABLE vectors (rowid INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, device_id TEXT NOT NULL,
                      embedding BLOB NOT NULL, metadata TEXT NOT NULL);
"""


def test_store_from_before_layout_versions_is_back_filled_once(tmp_path, monkeypatch):
    import json

    path = str(tmp_path / "old.db")
    db = sqlite3.connect(path)
    db.executescript(_OLD_LAYOUT)
    bodies = [
        episode("a", t=20.0, r=1500.0),
        {"episode_id": "b", "embeddings": {"text": "t=30 r=1400"}},
        episode("c", t=25.0),
    ]
    for i, body in enumerate(bodies):
        db.execute(
            "INSERT INTO episodes (device_id, episode_id, body, ingested_at) VALUES (?, ?, ?, 0)",
            ("d", body["episode_id"], json.dumps(body)),
        )
    db.execute("INSERT INTO outcomes VALUES ('b', 'failure', 'FAULT', 0)")
    db.execute("INSERT INTO vectors VALUES (1, 'v1', 'd', ?, '{}')", (array.array("d", [0.6, 0.8]).tobytes(),))
    db.commit()
    db.close()

    with LocalResolver(path) as res:
        hits = res.query("t=29 r=1400", 3, "d", False, True)
        assert [h["episode_id"] for h in hits] == ["b", "a", "c"]
        assert hits[0]["outcome"]["result"] == "failure"
        assert res.request("POST", "/qx/query", {"device_id": "d", "embedding": [3, 4]})["results"][0]["id"] == "v1"
        res.ingest([episode("e", t=29.0, r=1400.0)], "d")
    db = sqlite3.connect(path)
    assert db.execute("SELECT version FROM schema_version").fetchall() == [(SCHEMA_VERSION,)]
    assert db.execute("SELECT COUNT(*) FROM episode_channels").fetchone() == (4,)
    db.close()

    def refuse(*args):
        raise AssertionError("migrated twice")

    from orvane import resolver_store

    monkeypatch.setitem(resolver_store._MIGRATIONS, 1, refuse)
    with LocalResolver(path) as res:
        assert [h["episode_id"] for h in res.query("t=29 r=1400", 2, "d", False, True)] == ["e", "b"]


def test_store_from_a_newer_release_is_refused(tmp_path):
    path = str(tmp_path / "new.db")
    LocalResolver(path).close()
    db = sqlite3.connect(path)
    db.execute("UPDATE schema_version SET version = ?", (SCHEMA_VERSION + 1,))
    db.commit()
    db.close()
    with pytest.raises(ResolverError, match="layout version") as info:
        LocalResolver(path)
    assert info.value.status_code == 409


def test_reopened_store_answers_alike(tmp_path):
    path = str(tmp_path / "s.db")
    rows = [{"a": float(i % 13), "b": float(i % 7) * 0.5} for i in range(300)]
    with LocalResolver(path) as res:
        res.ingest([episode(f"e{i}", **r) for i, r in enumerate(rows)], "d")
        before = res.query("a=3 b=1.5", 20, "d", False, False)
    with LocalResolver(path) as res:
        assert res.query("a=3 b=1.5", 20, "d", False, False) == before
