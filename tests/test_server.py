"""A real `orvane serve` on loopback, tried as a hostile client would: each attempt gets its status, nothing stored is lost."""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import orvane
from orvane.client import Brenlow, ResolverError

SRC = os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__)))
ENV = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
ENV.pop("ORVANE_TOKEN", None)

TOKENS = {"pump-a": "token-a-5f1e", "pump-b": "token-b-93c0", "*": "fleet-77d2"}


class Served:
    """One `orvane serve` subprocess; raw HTTP requests to it."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "orvane", "serve", "--port", "0", "--quiet", *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=ENV,
        )
        line = self.proc.stdout.readline()
        assert line.startswith("orvane resolver listening on http://"), line + self.proc.stderr.read()
        self.url = line.split()[4]
        host, port = self.url[len("http://") :].rsplit(":", 1)
        self.host, self.port = host.strip("[]"), int(port)

    def connect(self, timeout=10):
        return socket.create_connection((self.host, self.port), timeout=timeout)

    def raw(self, data, timeout=10):
        """Sends bytes on a fresh connection; answers everything received until the server closes it."""
        with self.connect(timeout) as s:
            s.sendall(data)
            return read_all(s)

    def request(self, method, path, body=None, headers=None, token=None, raw_body=None):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            hdrs = {"Content-Type": "application/json"} if (body is not None or raw_body is not None) else {}
            if token is not None:
                hdrs["Authorization"] = f"Bearer {token}"
            hdrs.update(headers or {})
            data = raw_body if raw_body is not None else (None if body is None else json.dumps(body).encode())
            conn.request(method, path, body=data, headers=hdrs)
            resp = conn.getresponse()
            payload = resp.read()
            return resp.status, (json.loads(payload) if payload else None), dict(resp.getheaders())
        finally:
            conn.close()

    def threads(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        out, err = self.proc.communicate(timeout=30)
        assert self.proc.returncode == 0, err
        return out, err


def read_all(sock):
    out = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            out += chunk
    except (socket.timeout, ConnectionResetError):
        pass
    return out


def status_of(answer):
    return int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/1.1 ") else None


def episode(eid, **values):
    return {
        "episode_id": eid,
        "state": {"context": {k: float(v) for k, v in values.items()}},
        "outcome": {"result": "pending"},
    }


@pytest.fixture(scope="module")
def open_server():
    s = Served("--max-body", "200000")
    yield s
    s.stop()


@pytest.fixture(scope="module")
def token_server(tmp_path_factory):
    path = tmp_path_factory.mktemp("tokens") / "tokens.json"
    path.write_text(json.dumps(TOKENS))
    s = Served("--tokens", str(path))
    yield s
    s.stop()


def post(path, body, **headers):
    data = json.dumps(body).encode()
    head = "".join(
        f"{k}: {v}\r\n" for k, v in {"Host": "127.0.0.1", "Content-Type": "application/json", **headers}.items()
    )
    return f"POST {path} HTTP/1.1\r\n{head}Content-Length: {len(data)}\r\nConnection: close\r\n\r\n".encode() + data


# -- 1 and 2: work bounded per request ----------------------------------------------


def test_long_tokens_without_equals_and_many_pairs(open_server):
    s = open_server
    assert s.request("POST", "/v1/episodes/ingest", {"device_id": "q", "batch": [episode("e", x=1)]})[0] == 200
    status, answer, _ = s.request("POST", "/v1/episodes/query", {"query_text": "a" * 150_000, "device_id": "q", "k": 3})
    assert status == 200 and [h["episode_id"] for h in answer["hits"]] == ["e"]
    many = " ".join(f"c{i}=1" for i in range(1025))
    status, answer, _ = s.request("POST", "/v1/episodes/query", {"query_text": many, "device_id": "q"})
    assert status == 400 and "1024" in answer["error"]
    status, answer, _ = s.request(
        "POST", "/v1/episodes/query", {"query_text": many.rsplit(" ", 1)[0], "device_id": "q"}
    )
    assert status == 200


@pytest.mark.parametrize(
    "head, status",
    [
        (b"Content-Length: -5\r\n", 400),
        (b"Content-Length: +5\r\n", 400),
        (b"Content-Length: 5_0\r\n", 400),
        (b"Content-Length: 2\r\nContent-Length: 3\r\n", 400),
        (b"Transfer-Encoding: chunked\r\n", 411),
        (b"", 411),
        (b"Content-Length: 200001\r\n", 413),
    ],
)
def test_body_framing(open_server, head, status):
    answer = open_server.raw(
        b"POST /v1/episodes/query HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n" + head + b"\r\n{}"
    )
    assert status_of(answer) == status and b'"error"' in answer


def test_body_over_the_limit_is_refused_and_nothing_stored(open_server):
    s = open_server
    batch = [episode(f"big-{i}", x=i) for i in range(3000)]
    status, answer, _ = s.request("POST", "/v1/episodes/ingest", {"device_id": "big", "batch": batch})
    assert status == 413 and "200000" in answer["error"]
    assert "big" not in s.request("GET", "/v1/stats")[1]["episodes"]


def test_deep_json_is_refused_and_the_server_goes_on(open_server):
    s = open_server
    deep = b"[" * 90_000 + b"]" * 90_000
    status, answer, _ = s.request("POST", "/v1/episodes/query", raw_body=deep)
    assert status == 400 and "nests deeper than 64" in answer["error"]
    nested = {"device_id": "deep", "batch": [{"episode_id": "n", "x": json.loads("[" * 60 + "]" * 60)}]}
    assert s.request("POST", "/v1/episodes/ingest", nested)[0] == 200
    nested["batch"][0]["x"] = json.loads("[" * 70 + "]" * 70)
    assert s.request("POST", "/v1/episodes/ingest", nested)[0] == 400
    # brackets inside strings are not nesting
    text = {"device_id": "deep", "batch": [{"episode_id": "s", "note": "[[[{{{" * 100 + '\\"[' * 50}]}
    assert s.request("POST", "/v1/episodes/ingest", text)[0] == 200
    assert s.request("GET", "/v1/health")[0] == 200


def test_nan_and_infinity_travel_as_python_writes_them(open_server):
    s = open_server
    ep = {"episode_id": "n", "state": {"context": {"t": float("nan"), "u": float("inf"), "v": 2.0}}}
    answer = s.raw(post("/v1/episodes/ingest", {"device_id": "nan", "batch": [ep]}))
    assert status_of(answer) == 200
    answer = s.raw(post("/v1/episodes/query", {"device_id": "nan", "query_text": "v=2"}))
    assert status_of(answer) == 200 and b'{"t": NaN, "u": Infinity, "v": 2.0}' in answer


# -- 3: requests from web pages -----------------------------------------------------


@pytest.mark.parametrize(
    "ctype",
    ["text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x", None, "application/jsonp"],
)
def test_post_needs_a_json_content_type(open_server, ctype):
    s = open_server
    headers = {"Content-Type": ctype} if ctype else {}
    data = json.dumps({"device_id": "web", "batch": [episode("w", x=1)]}).encode()
    conn = http.client.HTTPConnection(s.host, s.port, timeout=10)
    conn.putrequest("POST", "/v1/episodes/ingest")
    for k, v in headers.items():
        conn.putheader(k, v)
    conn.putheader("Content-Length", str(len(data)))
    conn.endheaders(data)
    resp = conn.getresponse()
    assert resp.status == 415 and "application/json" in json.loads(resp.read())["error"]
    # the body was read and dropped: the same connection serves the next request
    conn.request("GET", "/v1/stats")
    resp = conn.getresponse()
    assert resp.status == 200 and "web" not in json.loads(resp.read())["episodes"]
    conn.close()
    data = json.dumps({"device_id": "web-ok", "batch": [episode("w", x=1)]}).encode()
    assert (
        s.request(
            "POST", "/v1/episodes/ingest", raw_body=data, headers={"Content-Type": "Application/JSON; charset=utf-8"}
        )[0]
        == 200
    )


@pytest.mark.parametrize(
    "host, status",
    [
        ("evil.example", 421),
        ("evil.example:{port}", 421),
        ("127.0.0.1.nip.io", 421),
        ("localhost:{port}", 200),
        ("127.0.0.1:{port}", 200),
        ("127.1.2.3", 200),
        ("[::1]:{port}", 200),
    ],
)
def test_host_must_be_loopback_or_allowed(open_server, host, status):
    s = open_server
    got = s.raw(f"GET /v1/health HTTP/1.1\r\nHost: {host.format(port=s.port)}\r\nConnection: close\r\n\r\n".encode())
    assert status_of(got) == status
    assert b"access-control" not in got.lower()


def test_missing_host_and_allow_host():
    s = Served("--allow-host", "resolver.lan")
    try:
        assert status_of(s.raw(b"GET /v1/health HTTP/1.0\r\n\r\n")) == 400
        assert (
            status_of(s.raw(b"GET /v1/health HTTP/1.1\r\nHost: resolver.lan:8765\r\nConnection: close\r\n\r\n")) == 200
        )
        assert status_of(s.raw(b"GET /v1/health HTTP/1.1\r\nHost: other.lan\r\nConnection: close\r\n\r\n")) == 421
    finally:
        s.stop()


# -- 7: status codes ---------------------------------------------------------------


def test_get_with_a_body_is_not_read_as_a_second_request(open_server):
    s = open_server
    smuggled = b"POST /v1/episodes/ingest HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: 60\r\n\r\n"
    smuggled += json.dumps({"device_id": "smuggled", "batch": [{"episode_id": "s"}]}).encode().ljust(60)
    first = b"GET /v1/health HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % len(smuggled) + smuggled
    answer = s.raw(first + b"GET /v1/stats HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
    parts = answer.split(b"HTTP/1.1 ")[1:]
    assert [int(p.split(b" ", 1)[0]) for p in parts] == [400, 200]
    assert b"smuggled" not in parts[1].split(b"\r\n\r\n", 1)[1]


def test_options_head_and_unknown_methods(open_server):
    s = open_server
    status, body, headers = s.request("OPTIONS", "/v1/episodes/query", headers={"Origin": "http://evil.example"})
    assert status == 204 and body is None and headers["Allow"] == "POST, OPTIONS"
    assert not any(k.lower().startswith("access-control") for k in headers)
    status, body, headers = s.request("HEAD", "/v1/health")
    assert status == 200 and body is None and int(headers["Content-Length"]) > 0
    status, body, headers = s.request("HEAD", "/v1/episodes/query")
    assert status == 405 and headers["Allow"] == "POST, OPTIONS"
    status, body, _ = s.request("PUT", "/v1/episodes/query", body={})
    assert status == 405 and body["error"]
    answer = s.raw(b"BREW /v1/health HTTP/1.1\r\nHost: localhost\r\n\r\n")
    assert status_of(answer) == 501 and answer.endswith(b"}") and b"<html" not in answer.lower()


# -- 4: devices kept apart, tokens --------------------------------------------------


def test_tokens_keep_devices_apart(token_server):
    s = token_server
    a, b, fleet = TOKENS["pump-a"], TOKENS["pump-b"], TOKENS["*"]
    assert s.request("GET", "/v1/health")[0] == 200
    status, _, headers = s.request("GET", "/v1/stats")
    assert status == 401 and headers["WWW-Authenticate"] == "Bearer"
    assert s.request("GET", "/v1/stats", token="token-a-5f1f")[0] == 401
    assert s.request("GET", "/v1/stats", headers={"Authorization": f"Basic {a}"})[0] == 401
    assert (
        s.request("POST", "/v1/episodes/ingest", {"device_id": "pump-a", "batch": [episode("e1", x=1)]}, token=a)[0]
        == 200
    )
    assert (
        s.request("POST", "/v1/episodes/ingest", {"device_id": "pump-b", "batch": [episode("e1", x=1)]}, token=b)[0]
        == 200
    )
    assert (
        s.request(
            "POST", "/v1/episodes/outcome", {"device_id": "pump-a", "episode_id": "e1", "result": "success"}, token=a
        )[0]
        == 200
    )
    # B may neither write A's outcome nor its episodes, nor read them
    assert (
        s.request(
            "POST", "/v1/episodes/outcome", {"device_id": "pump-a", "episode_id": "e1", "result": "failure"}, token=b
        )[0]
        == 403
    )
    assert (
        s.request("POST", "/v1/episodes/ingest", {"device_id": "pump-a", "batch": [episode("e9", x=1)]}, token=b)[0]
        == 403
    )
    assert s.request("POST", "/v1/episodes/query", {"device_id": "pump-a", "query_text": "x=1"}, token=b)[0] == 403
    # B's own outcome for an episode of the same id stays B's
    status, answer, _ = s.request(
        "POST", "/v1/episodes/outcome", {"episode_id": "e1", "result": "failure", "health_label": "LEAK"}, token=b
    )
    assert status == 200 and answer["device_id"] == "pump-b"
    hits = s.request("POST", "/v1/episodes/query", {"device_id": "pump-a", "query_text": "x=1"}, token=a)[1]["hits"]
    assert hits[0]["outcome"] == {"result": "success"}
    hits = s.request("POST", "/v1/episodes/query", {"device_id": "pump-b", "query_text": "x=1"}, token=fleet)[1]["hits"]
    assert hits[0]["outcome"] == {"result": "failure", "metrics": {"health_label": "LEAK"}}
    # stats: a device sees itself, the fleet sees everyone
    assert s.request("GET", "/v1/stats", token=b)[1]["episodes"] == {"pump-b": 1}
    assert s.request("GET", "/v1/stats", token=fleet)[1]["episodes"] == {"pump-a": 1, "pump-b": 1}


def test_tokens_on_vector_items(token_server):
    s = token_server
    a, b = TOKENS["pump-a"], TOKENS["pump-b"]
    assert s.request("POST", "/qx/ingest", {"device_id": "pump-a", "embedding": [1.0, 0.0]}, token=b)[0] == 403
    assert s.request("POST", "/qx/query", {"device_id": "pump-a", "embedding": [1.0, 0.0]}, token=b)[0] == 403
    items = [
        {"embedding": [1.0, 0.0], "metadata": {"n": 0}},
        {"embedding": [0.0, 1.0], "device_id": "pump-a"},  # somebody else's device
        {"embedding": [0.5, 0.5], "device_id": "pump-b"},
    ]
    status, answer, _ = s.request("POST", "/qx/ingest", {"device_id": "pump-b", "items": items}, token=b)
    assert status == 200 and [i is not None for i in answer["episode_ids"]] == [True, False, True]
    assert s.request("GET", "/v1/stats", token=TOKENS["*"])[1]["vectors"] == {"pump-b": 2}
    assert s.request("POST", "/qx/query", {"device_id": "pump-a", "embedding": [0.0, 1.0]}, token=a)[1]["results"] == []


def test_client_sends_its_token(token_server, monkeypatch):
    s = token_server
    with pytest.raises(ResolverError) as info:
        Brenlow("pump-a", url=s.url).stats()
    assert info.value.status_code == 401
    assert Brenlow("pump-a", url=s.url, token=TOKENS["pump-a"]).stats()["episodes"].keys() <= {"pump-a"}
    monkeypatch.setenv("ORVANE_TOKEN", TOKENS["pump-b"])
    client = Brenlow("pump-b", url=s.url)
    client.ingest([episode("env", x=3)])
    with pytest.raises(ResolverError) as info:
        client.ingest([episode("env", x=3)], device_id="pump-a")
    assert info.value.status_code == 403
    with pytest.raises(ValueError):
        Brenlow(token="t")


def test_without_vectors_404_comes_before_the_token(tmp_path):
    path = tmp_path / "tokens.json"
    path.write_text(json.dumps(TOKENS))
    s = Served("--tokens", str(path), "--no-vectors")
    try:
        assert s.request("POST", "/qx/query", {"embedding": [1.0]})[0] == 404
        assert s.request("POST", "/v1/episodes/query", {"query_text": "x=1"})[0] == 401
    finally:
        s.stop()


@pytest.mark.parametrize(
    "content, message",
    [
        ("[1, 2]", "non-empty JSON object"),
        ('{"a": 5}', "token of 'a'"),
        ('{"a": "same", "b": "same"}', "share a token"),
        ("{nope", "not a JSON object"),
    ],
)
def test_bad_tokens_file_is_one_line(tmp_path, content, message):
    path = tmp_path / "tokens.json"
    path.write_text(content)
    run = subprocess.run(
        [sys.executable, "-m", "orvane", "serve", "--port", "0", "--tokens", str(path)],
        capture_output=True,
        text=True,
        env=ENV,
        timeout=30,
    )
    assert run.returncode == 2 and message in run.stderr and len(run.stderr.splitlines()) == 1


def test_non_loopback_needs_tokens_or_insecure():
    run = subprocess.run(
        [sys.executable, "-m", "orvane", "serve", "--host", "0.0.0.0", "--port", "0"],
        capture_output=True,
        text=True,
        env=ENV,
        timeout=30,
    )
    assert run.returncode == 2 and "--tokens" in run.stderr and "--insecure" in run.stderr
    assert len(run.stderr.splitlines()) == 1


def test_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    s = Served("--host", "::1")
    try:
        assert s.url.startswith("http://[::1]:")
        client = Brenlow("v6", url=s.url)
        client.ingest([episode("six", x=6)])
        assert client.query("x=6")[0]["episode_id"] == "six"
    finally:
        s.stop()


# -- 5: bounded concurrency ---------------------------------------------------------


def test_connections_beyond_the_limit_get_503_and_threads_stay_bounded():
    s = Served("--max-connections", "4")
    idle = []
    try:
        base = s.threads()
        for _ in range(60):  # 4 served + 32 queued, the rest refused at once
            idle.append(s.connect())
        refused = 0
        for sock in idle[40:]:
            sock.settimeout(5)
            answer = read_all(sock)
            refused += status_of(answer) == 503 and b"Retry-After: 1" in answer
        assert refused == 20
        assert s.threads() <= base + 4
        # Every place is held by a client that never sends a request: past a
        # second, a refused newcomer makes the server end those, and the
        # client's retry of its 503 gets through: its pauses (about 3 s in
        # all) end long before those clients' own 10 s deadline would.
        time.sleep(1.2)
        assert Brenlow("late", url=s.url).health()["status"] == "ok"
        for sock in idle[:36]:
            sock.settimeout(5)
            assert status_of(read_all(sock)) == 408
    finally:
        for sock in idle:
            sock.close()
        s.stop()


def test_many_clients_share_a_small_pool_and_lose_nothing():
    s = Served("--max-connections", "2")
    try:
        errors = []

        def client(n):
            try:
                brain = Brenlow(f"dev{n}", url=s.url)
                for b in range(10):
                    brain.ingest([episode(f"{n}-{b}-{i}", x=i) for i in range(5)])
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=client, args=(n,)) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert Brenlow(url=s.url).stats()["episodes"] == {f"dev{n}": 50 for n in range(12)}
    finally:
        s.stop()


def test_slow_and_idle_clients_are_timed_out(monkeypatch):
    from orvane import server as server_mod
    from orvane.resolver import LocalResolver

    monkeypatch.setattr(server_mod, "HEAD_TIMEOUT", 0.5)
    monkeypatch.setattr(server_mod, "BODY_TIMEOUT", 0.5)
    resolver = LocalResolver()
    srv = server_mod.make_server(resolver, "127.0.0.1", 0)
    thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        host, port = srv.server_address[:2]
        with socket.create_connection((host, port), timeout=10) as slow:
            slow.sendall(b"GET /v1/health HTTP/1.1\r\nHost: loc")  # and then nothing more
            assert status_of(read_all(slow)) == 408
        with socket.create_connection((host, port), timeout=10) as slow_body:
            slow_body.sendall(
                b"POST /v1/episodes/query HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{"
            )
            assert status_of(read_all(slow_body)) == 408
        with socket.create_connection((host, port), timeout=10) as idle:
            assert status_of(read_all(idle)) == 408  # connected, never spoke: told and closed
    finally:
        srv.shutdown()
        srv.server_close()
        thread.join()
        resolver.close()


def test_stopping_finishes_requests_and_keeps_every_acknowledged_episode(tmp_path):
    db = str(tmp_path / "store.sqlite")
    s = Served("--db", db)
    brain = Brenlow("keep", url=s.url)
    for b in range(20):
        brain.ingest([episode(f"k{b}-{i}", x=i) for i in range(10)])
    s.stop()
    from orvane.resolver import LocalResolver

    with LocalResolver(db) as r:
        assert r.stats()["episodes"] == {"keep": 200}


@pytest.mark.parametrize(
    "header, allowed, wildcard, ok",
    [
        ("127.0.0.1:8765", (), False, True),
        ("localhost", (), False, True),
        ("[::1]:80", (), False, True),
        ("resolver.lan:8765", ("resolver.lan",), False, True),
        ("RESOLVER.LAN.", ("resolver.lan",), False, True),
        ("attacker.example", ("resolver.lan",), True, False),  # rebinding: a name, never a literal
        ("192.168.1.5:8765", (), False, False),
        ("192.168.1.5:8765", (), True, True),
        ("[fe80::1]:8765", (), True, True),
        ("", (), True, False),
    ],
)
def test_host_rule(header, allowed, wildcard, ok):
    from orvane.server import host_allowed

    assert host_allowed(header, allowed, wildcard) is ok
