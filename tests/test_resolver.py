"""The local resolver: episode store and similarity, outcomes, vectors, SQLite files, HTTP."""

import http.client
import json
import math
import re
import threading

import pytest

from orvane import resolver as resolver_mod
from orvane.resolver import LocalResolver, ResolverError, channel_values, make_server
import pg_support

pg_url = pg_support.pg_url  # the fixture: a database URL of a fresh schema (PostgreSQL runs)


def episode(eid, **values):
    return {
        "episode_id": eid,
        "state": {"context": {k: float(v) for k, v in values.items()}},
        "outcome": {"result": "pending", "success": None, "metrics": {}, "metadata": {"pending": True}},
        "embeddings": {"text": f"episode {eid}"},
    }


@pytest.fixture(params=["sqlite", "postgres"])
def resolver_backend(request):
    """The store every resolver of a test uses: None (SQLite in memory) or a PostgreSQL URL."""
    return request.getfixturevalue("pg_url") if request.param == "postgres" else None


@pytest.fixture
def res(resolver_backend):
    r = LocalResolver(resolver_backend)
    yield r
    r.close()


def test_query_ranks_by_channel_values_and_uses_recorded_outcomes(res):
    res.ingest(
        [episode("a", temp=20, rpm=1500), episode("b", temp=30, rpm=1500), episode("c", temp=40, rpm=1400)], "d1"
    )
    res.record_outcome("b", "failure", "OVERHEAT", device_id="d1")
    hits = res.query("sensor state temp=29.0 rpm=1500.0", 2, "d1", True, True)
    assert [h["episode_id"] for h in hits] == ["b", "a"]
    assert hits[0]["outcome"] == {"result": "failure", "metrics": {"health_label": "OVERHEAT"}}
    assert hits[1]["outcome"]["result"] == "pending"  # the episode's own outcome until one is recorded
    assert hits[0]["score"] > hits[1]["score"] > 0
    assert hits[0]["episode"]["state"]["context"] == {"temp": 30.0, "rpm": 1500.0}
    bare = res.query("sensor state temp=29.0 rpm=1500.0", 5, "d1", False, True)
    assert len(bare) == 3 and all("episode" not in h for h in bare)
    # identical values score 1.0; other devices see nothing
    assert res.query("sensor state temp=40 rpm=1400", 1, "d1", False, True)[0]["score"] == 1.0
    assert res.query("sensor state temp=29.0", 5, "other", True, True) == []
    assert res.query("sensor state temp=29.0", 0, "d1", True, True) == []


def test_channel_spread_makes_units_irrelevant(res):
    # rpm moves in hundreds, temp in tenths: the nearest episode is the one
    # closest in each channel's own spread, not in raw numbers.
    eps = [episode(f"e{i}", temp=20 + 0.1 * (i % 5), rpm=1000 + 100 * (i % 7)) for i in range(35)]
    eps.append(episode("target", temp=25.0, rpm=1300))
    res.ingest(eps, "d")
    hits = res.query("sensor state temp=25.0 rpm=1350", 1, "d", False, True)
    assert hits[0]["episode_id"] == "target"


def test_prefer_success_orders_equal_scores_then_newer_first(res):
    res.ingest([episode("old-ok", x=1), episode("mid-bad", x=1), episode("new-pending", x=1)], "d")
    res.record_outcome("old-ok", "success", "HEALTHY", device_id="d")
    res.record_outcome("mid-bad", "failure", "FAULT", device_id="d")
    assert [h["episode_id"] for h in res.query("x=1", 3, "d", False, True)] == ["old-ok", "new-pending", "mid-bad"]
    assert [h["episode_id"] for h in res.query("x=1", 3, "d", False, False)] == ["new-pending", "mid-bad", "old-ok"]


@pytest.mark.parametrize(
    "batch, message",
    [
        ("not a list", "batch must be a list"),
        ([episode("ok", x=1), "not a record"], "batch[1]"),
        ([episode("ok", x=1), {"episode_id": "bad", "v": object()}], "batch[1] cannot be stored as JSON"),
    ],
)
def test_bad_batch_is_refused_whole(res, batch, message):
    with pytest.raises(ResolverError, match=re.escape(message)) as info:
        res.ingest(batch, "d")
    assert info.value.status_code == 400
    assert res.stats()["episodes"].get("d", 0) == 0


@pytest.mark.parametrize("device", [None, "", 5])
def test_device_id_required(res, device):
    with pytest.raises(ResolverError) as info:
        res.ingest([], device)
    assert info.value.status_code == 400


def test_resent_batch_is_not_stored_twice_and_stored_copy_is_independent(res):
    ep = episode("same", x=1)
    assert res.ingest([ep], "d") == {"accepted": 1, "stored": 1}
    assert res.ingest([ep, episode("other", x=2)], "d") == {"accepted": 2, "stored": 1}
    ep["state"]["context"]["x"] = 99.0  # the caller's record changes after ingest
    assert res.episodes["d"][0]["state"]["context"]["x"] == 1.0
    assert res.stats()["episodes"] == {"d": 2}


def test_outcome_validation_and_replacement(res):
    res.record_outcome("e1", "failure", "FAULT")
    res.record_outcome("e1", "success")
    assert res.outcomes == {"default-device": {"e1": {"result": "success"}}}
    for args in [("", "ok"), ("e1", ""), ("e1", "ok", 3), (None, "ok"), ("e1", "ok", None, ""), ("e1", "ok", None, 7)]:
        with pytest.raises(ResolverError) as info:
            res.record_outcome(*args)
        assert info.value.status_code == 400


def test_episodes_without_context_use_their_text(res):
    res.ingest([{"episode_id": "t", "embeddings": {"text": "temp=20 rpm=1500"}}], "d")
    assert res.query("temp=20 rpm=1500", 1, "d", False, True)[0]["score"] == 1.0


def test_channel_values_parsing():
    assert channel_values("sensor state temp=21.4568 rpm=1500.0 mode=auto x=nan y=1e+16,") == {
        "temp": 21.4568,
        "rpm": 1500.0,
        "y": 1e16,
    }


# -- vectors -----------------------------------------------------------------------


def test_vector_ingest_and_cosine_query(res):
    ids = [
        res.request("POST", "/qx/ingest", {"device_id": "d", "embedding": v, "metadata": {"n": i}})["id"]
        for i, v in enumerate([[1, 0, 0], [0, 1, 0], [1, 1, 0]])
    ]
    res.request(
        "POST", "/qx/ingest", {"device_id": "d", "embedding": [1, 0], "metadata": {}}
    )  # other length: never a hit
    res.request("POST", "/qx/ingest", {"device_id": "e", "embedding": [1, 0, 0]})  # other device
    out = res.request("POST", "/qx/query", {"device_id": "d", "embedding": [2, 0.1, 0], "k": 2})["results"]
    assert [h["id"] for h in out] == [ids[0], ids[2]]
    assert out[0]["metadata"] == {"n": 0}
    # stored vectors are float32: the score carries their rounding
    assert math.isclose(out[1]["score"], (2 + 0.1) / math.hypot(2, 0.1) / math.sqrt(2), rel_tol=1e-7)
    assert len(res.request("POST", "/qx/query", {"device_id": "d", "embedding": [0, 0, 1], "k": 10})["results"]) == 3


def test_vector_batch_refuses_bad_items_one_by_one(res):
    items = [
        {"embedding": [1.0, 2.0], "metadata": {"a": 1}, "state_id": "s1"},
        {"embedding": None},
        {"embedding": [float("nan")]},
        "not an item",
        {"embedding": [0.5], "device_id": "elsewhere"},
    ]
    ids = res.request("POST", "/qx/ingest", {"device_id": "d", "items": items})["episode_ids"]
    assert [i is not None for i in ids] == [True, False, False, False, True]
    assert res.stats()["vectors"] == {"d": 1, "elsewhere": 1}
    assert res.vectors["d"][0][2] == {"a": 1, "state_id": "s1"}


@pytest.mark.parametrize(
    "body",
    [
        {"embedding": []},
        {"embedding": "1,2"},
        {"embedding": [1, "2"]},
        {"embedding": [True, 1.0]},
        {"embedding": [1.0, float("inf")]},
        {"embedding": [1.0], "metadata": [1]},
        {"items": {"embedding": [1.0]}},
    ],
)
def test_vector_ingest_validation(res, body):
    with pytest.raises(ResolverError) as info:
        res.request("POST", "/qx/ingest", body)
    assert info.value.status_code == 422


@pytest.mark.parametrize("path", ["/qx/ingest", "/qx/query"])
def test_resolver_without_vectors_answers_404(path, resolver_backend):
    with LocalResolver(resolver_backend, vectors=False) as r:
        with pytest.raises(ResolverError) as info:
            r.request("POST", path, {"embedding": [1.0]})
        assert info.value.status_code == 404


def test_unknown_path_and_method(res):
    with pytest.raises(ResolverError) as info:
        res.request("POST", "/qx/other", {})
    assert info.value.status_code == 404
    with pytest.raises(ResolverError) as info:
        res.request("GET", "/qx/query", None)
    assert info.value.status_code == 405


def test_file_store_survives_reopening(tmp_path, resolver_backend):
    path = resolver_backend or str(tmp_path / "store.sqlite")
    with LocalResolver(path) as r:
        r.ingest([episode("a", x=1), episode("b", x=5)], "d")
        r.record_outcome("b", "failure", "FAULT", device_id="d")
        vid = r.request("POST", "/qx/ingest", {"device_id": "d", "embedding": [0.6, 0.8], "metadata": {"k": "v"}})["id"]
    with LocalResolver(path) as r:
        hits = r.query("x=5", 1, "d", True, True)
        assert hits[0]["episode_id"] == "b" and hits[0]["outcome"]["metrics"]["health_label"] == "FAULT"
        out = r.request("POST", "/qx/query", {"device_id": "d", "embedding": [3, 4], "k": 1})["results"]
        assert out[0]["id"] == vid and math.isclose(out[0]["score"], 1.0) and out[0]["metadata"] == {"k": "v"}
        # new episodes after reopening join the old ones in the same index
        r.ingest([episode("c", x=9)], "d")
        assert [h["episode_id"] for h in r.query("x=9", 3, "d", False, True)][0] == "c"


def test_a_store_file_has_one_resolver_at_a_time(tmp_path):
    path = str(tmp_path / "store.sqlite")
    first = LocalResolver(path)
    with pytest.raises(ResolverError, match="in use by another resolver"):
        LocalResolver(path)
    first.ingest([episode("a", x=1)], "d")
    first.close()
    with LocalResolver(path) as again:
        assert again.stats()["episodes"] == {"d": 1}


def test_closed_resolver_refuses(resolver_backend):
    r = LocalResolver(resolver_backend)
    r.close()
    r.close()  # twice is harmless
    with pytest.raises(ResolverError) as info:
        r.ingest([], "d")
    assert info.value.status_code == 503


def test_concurrent_ingest_and_query_lose_nothing(res):
    errors = []

    def worker(w):
        try:
            for b in range(20):
                res.ingest([episode(f"w{w}-{b}-{i}", x=i, y=w) for i in range(10)], "d")
                res.query(f"x={b % 10} y={w}", 5, "d", True, True)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert res.stats()["episodes"] == {"d": 6 * 20 * 10}


# -- HTTP --------------------------------------------------------------------------


@pytest.fixture
def server(resolver_backend):
    r = LocalResolver(resolver_backend)
    srv = make_server(r, "127.0.0.1", 0)
    thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()
    thread.join()
    r.close()


def call(srv, method, path, body=None, raw=None, headers=None):
    conn = http.client.HTTPConnection(*srv.server_address[:2], timeout=10)
    try:
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        if headers is None:
            headers = {"Content-Type": "application/json"} if data is not None else {}
        conn.request(method, path, body=data, headers=headers)
        resp = conn.getresponse()
        return resp.status, json.loads(resp.read())
    finally:
        conn.close()


def test_http_routes(server):
    assert call(server, "GET", "/v1/health") == (200, {"status": "ok", "vectors": True})
    assert call(server, "POST", "/v1/episodes/ingest", {"device_id": "d", "batch": [episode("a", x=1)]}) == (
        200,
        {"accepted": 1, "stored": 1},
    )
    assert (
        call(
            server,
            "POST",
            "/v1/episodes/outcome",
            {"episode_id": "a", "result": "failure", "health_label": "F", "device_id": "d"},
        )[0]
        == 200
    )
    status, answer = call(
        server, "POST", "/v1/episodes/query", {"query_text": "x=1", "k": 3, "device_id": "d", "include_episode": False}
    )
    assert (
        status == 200
        and answer["hits"][0]["outcome"]["metrics"] == {"health_label": "F"}
        and "episode" not in answer["hits"][0]
    )
    assert call(server, "GET", "/v1/stats")[1]["episodes"] == {"d": 1}


@pytest.mark.parametrize(
    "method, path, kwargs, status",
    [
        ("GET", "/nowhere", {}, 404),
        ("POST", "/v1/health", {"body": {}}, 405),
        ("DELETE", "/v1/stats", {}, 405),
        ("POST", "/v1/episodes/query", {"raw": b"{not json"}, 400),
        ("POST", "/v1/episodes/query", {"body": [1, 2]}, 400),
        ("POST", "/v1/episodes/ingest", {"body": {"device_id": "d", "batch": "x"}}, 400),
        ("POST", "/qx/query", {"body": {"embedding": "x"}}, 422),
    ],
)
def test_http_errors_answer_with_status_and_message(server, method, path, kwargs, status):
    got, answer = call(server, method, path, **kwargs)
    assert got == status and isinstance(answer["error"], str) and answer["error"]


def test_http_body_limits(server):
    conn = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    conn.putrequest("POST", "/v1/episodes/query")
    conn.endheaders()  # no Content-Length
    resp = conn.getresponse()
    assert resp.status == 411
    conn.close()
    server.max_body = 100
    status, answer = call(server, "POST", "/v1/episodes/ingest", {"device_id": "d", "batch": [episode("a" * 200, x=1)]})
    assert status == 413 and server.resolver.stats()["episodes"] == {}


def test_http_server_without_vectors_answers_404_there_only(resolver_backend):
    r = LocalResolver(resolver_backend, vectors=False)
    srv = make_server(r, "127.0.0.1", 0)
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    try:
        assert call(srv, "POST", "/qx/query", {"embedding": [1.0], "k": 1})[0] == 404
        assert call(srv, "POST", "/qx/ingest", {"embedding": [1.0]})[0] == 404
        assert call(srv, "GET", "/v1/health")[1] == {"status": "ok", "vectors": False}
    finally:
        srv.shutdown()
        srv.server_close()
        r.close()


# -- the pair parser: linear, and the same pairs as the regular expression it replaced --------

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from orvane.resolver import _pairs  # noqa: E402

_OLD_PAIR = re.compile(r"(\S+?)=(\S+)")  # quadratic on long tokens without "=", kept here as the reference
_TEXT = st.text(alphabet=st.sampled_from("ab=1.;,-e \t\n\x0b\x1c\x1f\x85\xa0\u2028\u3000x"), max_size=40)


@given(_TEXT)
@settings(max_examples=3000, deadline=None)
def test_pairs_match_the_old_expression(text):
    assert list(_pairs(text)) == _OLD_PAIR.findall(text)


@given(_TEXT, st.integers(1, 6))
@settings(max_examples=500, deadline=None)
def test_pairs_across_piece_boundaries(text, piece):
    original = resolver_mod._PIECE
    resolver_mod._PIECE = piece  # tokens straddle many piece boundaries
    try:
        assert list(_pairs(text)) == _OLD_PAIR.findall(text)
    finally:
        resolver_mod._PIECE = original


def test_channel_values_limit():
    text = " ".join(f"c{i}=x" for i in range(1024))
    assert channel_values(text, 1024) == {}
    with pytest.raises(ValueError, match="more than 1024"):
        channel_values(text + " last=1", 1024)
    with LocalResolver() as r:
        with pytest.raises(ResolverError) as info:
            r.query(text + " last=1", 5, "d", True, True)
        assert info.value.status_code == 400


def test_query_without_channels_takes_the_newest(res):
    res.ingest([episode(f"e{i}", x=i) for i in range(6)], "d")
    res.record_outcome("e1", "success", device_id="d")
    res.record_outcome("e4", "success", device_id="d")
    res.record_outcome("e5", "failure", device_id="d")
    # every score is 0: the newest are chosen, prefer_success only orders them
    assert [h["episode_id"] for h in res.query("no channels here", 4, "d", False, True)] == ["e4", "e5", "e3", "e2"]
    assert [h["episode_id"] for h in res.query("nothing", 3, "d", False, False)] == ["e5", "e4", "e3"]
    assert all(h["score"] == 0.0 for h in res.query("", 10, "d", False, True))


def test_outcomes_of_an_older_store_go_to_the_devices_holding_the_episode(tmp_path):
    import sqlite3

    path = str(tmp_path / "old.sqlite")
    with LocalResolver(path) as r:
        r.ingest([episode("shared", x=1), episode("only-a", x=2)], "a")
        r.ingest([episode("shared", x=1)], "b")
    db = sqlite3.connect(path)
    db.execute("DROP TABLE device_outcomes")  # as the layout of version 2 left the file
    db.execute("UPDATE schema_version SET version = 2")
    db.executemany(
        "INSERT INTO outcomes VALUES (?, ?, ?, 0)",
        [("shared", "failure", "LEAK"), ("only-a", "success", None), ("later", "failure", "JAM")],
    )
    db.commit()
    db.close()
    with LocalResolver(path) as r:
        assert r.outcomes == {
            "a": {
                "shared": {"result": "failure", "metrics": {"health_label": "LEAK"}},
                "only-a": {"result": "success"},
            },
            "b": {"shared": {"result": "failure", "metrics": {"health_label": "LEAK"}}},
        }
        r.ingest([episode("later", x=3)], "c")  # the outcome came before its episode
        assert r.query("x=3", 1, "c", False, True)[0]["outcome"] == {
            "result": "failure",
            "metrics": {"health_label": "JAM"},
        }
    with LocalResolver(path) as r:
        assert r.outcomes["c"] == {"later": {"result": "failure", "metrics": {"health_label": "JAM"}}}
        assert r.stats()["outcomes"] == 4 and r.stats("a")["outcomes"] == 2


def test_wide_episodes_are_stored_whole_and_indexed_in_part(res):
    context = {f"c{i}": float(i) for i in range(3000)}
    context = {"n" * 300: 1.0, **context}  # a name too long to index
    res.ingest([{"episode_id": "wide", "state": {"context": context}}], "d")
    assert res.episodes["d"][0]["state"]["context"] == context  # nothing dropped from the record

    def exact(text, device="d"):
        return res.query(text, 1, device, False, True)[0]["score"] == 1.0

    assert exact("c0=0") and exact("c1023=1023")
    assert not exact("c1024=1024") and not exact("c2999=2999")  # past the first 1,024: not indexed
    assert not exact("n" * 300 + "=1.0")
    res.ingest([{"episode_id": "text", "embeddings": {"text": " ".join(f"t{i}={i}" for i in range(1500))}}], "e")
    assert exact("t1023=1023", "e") and not exact("t1024=1024", "e")
