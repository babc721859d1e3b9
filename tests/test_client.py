"""Brenlow: in-process and over HTTP, the same behaviour and the same errors."""

import socket
import threading
import time

import pytest

from orvane.client import Brenlow, EmbeddedResolver, ResolverError
from orvane.resolver import LocalResolver, make_server


def episode(eid, **values):
    return {
        "episode_id": eid,
        "state": {"context": {k: float(v) for k, v in values.items()}},
        "outcome": {"result": "pending"},
    }


@pytest.fixture
def served():
    """A resolver served on an ephemeral loopback port; yields a factory of (url, resolver)."""
    servers = []

    def start(vectors=True):
        r = LocalResolver(vectors=vectors)
        srv = make_server(r, "127.0.0.1", 0)
        thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        thread.start()
        servers.append((srv, thread, r))
        return srv.url, r

    yield start
    for srv, thread, r in servers:
        srv.shutdown()
        srv.server_close()
        thread.join()
        r.close()


@pytest.fixture(params=["local", "http"])
def client(request, served):
    if request.param == "local":
        c = Brenlow("dev-1")
    else:
        url, _ = served()
        c = Brenlow("dev-1", url=url)
    yield c
    c.close()


def test_round_trip(client):
    assert client.config.device_id == "dev-1"
    assert client.ingest([episode("a", x=1), episode("b", x=5)]) == {"accepted": 2, "stored": 2}
    client.ingest([episode("c", x=5)], device_id="dev-2")
    client.record_outcome("b", "failure", "FAULT")
    hits = client.query("sensor state x=5.0", k=2, device_id="dev-1", include_episode=True, prefer_success=True)
    assert [h["episode_id"] for h in hits] == ["b", "a"]
    assert hits[0]["outcome"] == {"result": "failure", "metrics": {"health_label": "FAULT"}}
    assert hits[0]["episode"]["state"]["context"] == {"x": 5.0}
    assert [h["episode_id"] for h in client.query("x=5", k=5, device_id="dev-2")] == ["c"]
    vid = client._request(
        "POST", "/qx/ingest", json={"device_id": "dev-1", "embedding": [1.0, 0.0], "metadata": {"m": 1}}
    )["id"]
    out = client._request("POST", "/qx/query", json={"device_id": "dev-1", "embedding": [1.0, 0.1], "k": 3})
    assert out["results"][0]["id"] == vid and out["results"][0]["metadata"] == {"m": 1}
    assert client.stats()["episodes"] == {"dev-1": 2, "dev-2": 1}


@pytest.mark.parametrize(
    "call, status",
    [
        (lambda c: c.ingest("nope"), 400),
        (lambda c: c.ingest([episode("a", x=1)], device_id=""), None),  # empty id: falls back to the configured one
        (lambda c: c.record_outcome("", "x"), 400),
        (lambda c: c._request("POST", "/qx/ingest", json={"embedding": []}), 422),
        (lambda c: c._request("POST", "/qx/elsewhere", json={}), 404),
    ],
)
def test_errors_carry_status_code(client, call, status):
    if status is None:
        assert call(client)["accepted"] == 1
        return
    with pytest.raises(ResolverError) as info:
        call(client)
    assert info.value.status_code == status
    assert str(info.value)


@pytest.mark.parametrize("path", ["/qx/ingest", "/qx/query"])
def test_resolver_without_vectors_gives_404_both_ways(served, path):
    url, _ = served(vectors=False)
    for c in (Brenlow(url=url), Brenlow(resolver=EmbeddedResolver(vectors=False)), Brenlow(vectors=False)):
        with pytest.raises(ResolverError) as info:
            c._request("POST", path, json={"device_id": "d", "embedding": [1.0], "k": 1})
        assert info.value.status_code == 404


def test_constructor_compatibility_and_choices(tmp_path):
    shared = EmbeddedResolver()
    a, b = Brenlow("a", shared), Brenlow(device_id="b", resolver=shared)
    a.ingest([episode("e", x=1)])
    assert b.query("x=1", device_id="a")[0]["episode_id"] == "e"
    assert Brenlow().config.device_id == "default-device"
    with pytest.raises(ValueError):
        Brenlow(url="http://127.0.0.1:1", resolver=shared)
    with pytest.raises(ValueError):
        Brenlow(url="ftp://example")
    with pytest.raises(ValueError):
        Brenlow(resolver=shared, db_path=str(tmp_path / "x.db"))
    path = str(tmp_path / "store.db")
    with Brenlow("d", db_path=path) as c:
        c.ingest([episode("kept", x=3)])
    with Brenlow("d", db_path=path) as c:
        assert c.query("x=3")[0]["episode_id"] == "kept"
    # closing a client never closes a resolver it was handed
    Brenlow("a", shared).close()
    assert shared.stats()["episodes"] == {"a": 1}


def test_unreachable_resolver_has_no_status_code():
    resolver = LocalResolver()
    probe = make_server(resolver, "127.0.0.1", 0)
    dead = probe.url
    probe.server_close()  # bound, then closed: nothing listens there now
    resolver.close()
    with pytest.raises(ResolverError) as info:
        Brenlow(url=dead, timeout=2).ingest([episode("a", x=1)])
    assert info.value.status_code is None and "unreachable" in str(info.value)


def test_accumulator_and_detector_through_http(served):
    accumulator = pytest.importorskip("orvane.brenlow.accumulator")
    detector = pytest.importorskip("orvane.brenlow.detector")
    url, resolver = served()
    brain = Brenlow("pump", url=url)
    acc = accumulator.EpisodeAccumulator(brain, "pump")
    eps = [acc.observe(f"t{i}", {"temp": 20.0 + (i % 5) * 0.1 if i < 40 else 60.0, "rpm": 1500.0}) for i in range(50)]
    acc.flush()
    deadline = time.monotonic() + 10
    while acc.total_ingested < 50 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert acc.total_ingested == 50 and resolver.stats()["episodes"] == {"pump": 50}
    for i, ep in enumerate(eps):
        brain.record_outcome(
            ep["episode_id"], "failure" if i >= 40 else "success", "OVERHEAT" if i >= 40 else "HEALTHY"
        )
    det = detector.AnomalyDetector(brain, "pump")
    events = [det.observe("now", {"temp": 60.0, "rpm": 1500.0}, 0.9) for _ in range(detector.DETECTOR_CHECK_EVERY)]
    assert events[-1] is not None and events[-1].dominant_outcome == "OVERHEAT"
    quiet = [det.observe("later", {"temp": 20.2, "rpm": 1500.0}, 0.9) for _ in range(detector.DETECTOR_CHECK_EVERY)]
    assert quiet[-1] is None


# -- transport failures and a busy server ----------------------------------------------


def canned_server(answers):
    """A loopback socket server answering each connection with the next raw bytes (then closing)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    seen = []

    def serve():
        for answer in answers:
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(5)
                data = b""
                while b"\r\n\r\n" not in data:
                    data += conn.recv(65536)
                seen.append(data)
                conn.sendall(answer)
        listener.close()

    threading.Thread(target=serve, daemon=True).start()
    return f"http://127.0.0.1:{listener.getsockname()[1]}", seen


@pytest.mark.parametrize(
    "answer",
    [
        b'HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{"status"',  # cut short: IncompleteRead
        b"garbage, not HTTP at all\r\n\r\n",  # BadStatusLine
        b"",  # closed without a word: RemoteDisconnected
        b"HTTP/1.1 500 Oops\r\nContent-Length: 50\r\n\r\n{",  # error answer cut short
    ],
)
def test_every_transport_failure_is_a_resolver_error_without_status(answer):
    url, _ = canned_server([answer])
    with pytest.raises(ResolverError) as info:
        Brenlow(url=url, timeout=5).stats()
    assert info.value.status_code is None or (answer.startswith(b"HTTP/1.1 500") and info.value.status_code == 500)


def test_busy_answers_are_retried_with_pauses():
    busy = b'HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 17\r\nConnection: close\r\n\r\n{"error": "busy"}'
    ok = b'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 28\r\nConnection: close\r\n\r\n{"accepted": 1, "stored": 1}'
    url, seen = canned_server([busy, busy, ok])
    assert Brenlow("d", url=url, token="tok-1").ingest([episode("a", x=1)]) == {"accepted": 1, "stored": 1}
    assert len(seen) == 3 and all(b"Authorization: Bearer tok-1" in s for s in seen)
    url, seen = canned_server([busy] * 5)
    with pytest.raises(ResolverError) as info:
        Brenlow("d", url=url).ingest([episode("a", x=1)])
    assert info.value.status_code == 503 and len(seen) == 5


def test_outcomes_belong_to_the_device(client):
    client.ingest([episode("same", x=1)])
    client.ingest([episode("same", x=1)], device_id="dev-2")
    client.record_outcome("same", "failure", "LEAK", device_id="dev-2")
    client.record_outcome("same", "success")  # the client's own device
    assert client.query("x=1")[0]["outcome"] == {"result": "success"}
    assert client.query("x=1", device_id="dev-2")[0]["outcome"] == {
        "result": "failure",
        "metrics": {"health_label": "LEAK"},
    }
