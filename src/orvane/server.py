"""HTTP front of a :class:`~orvane.resolver.LocalResolver`: what ``orvane serve`` runs.

Routes (JSON in, JSON out; errors are ``{"error": message}`` with the status
of the failure):

========  ======================  =========================================
GET       /v1/health              ``{"status": "ok", "vectors": bool}`` (never needs a token)
GET       /v1/stats               :meth:`LocalResolver.stats` (a device token sees its own device)
POST      /v1/episodes/ingest     ``{"device_id", "batch"}``
POST      /v1/episodes/query      ``{"query_text", "k", "device_id", "include_episode", "prefer_success"}`` -> ``{"hits"}``
POST      /v1/episodes/outcome    ``{"episode_id", "result", "health_label", "device_id"}``
POST      /qx/ingest, /qx/query   the vector endpoints (404 without vectors)
========  ======================  =========================================

JSON is Python's: requests may carry ``NaN``, ``Infinity`` and ``-Infinity``
as :func:`json.dumps` writes them (an episode may legitimately hold them), and
answers write them the same way.

The server is written for clients that may be hostile, each limit answered
with a plain status:

* Requests: a ``POST`` body must be ``application/json`` (415), have a
  ``Content-Length`` (411) of at most ``max_body`` bytes (413, default
  16 MiB) and nest at most :data:`MAX_DEPTH` levels (400); other methods take
  no body (400). A query text holds at most 1,024 ``name=value`` pairs (400).
* ``Host`` must name a loopback address, the address the server is bound to
  (any address literal when bound to all of them), or a name given in
  ``allow_hosts`` (421), so a web page cannot reach the server through DNS
  rebinding; no CORS headers are ever sent, and as a ``POST`` needs a JSON
  content type, a browser never sends one cross-origin without asking first.
* Tokens (``tokens``, see :class:`Tokens`): every route but the health check
  needs ``Authorization: Bearer <token>`` (401); a device's token reaches
  that device's data only (403), the fleet token ``"*"`` every device's. A
  vector item naming a device its token may not reach is refused as that
  item (id null).
* Work: a fixed ceiling of worker threads, one per admitted connection
  (``max_connections``, default 128), a short queue of accepted connections
  behind them (``queue_size``) and an immediate 503 beyond; the request head
  must arrive within :data:`HEAD_TIMEOUT` (within :data:`SQUEEZE_AFTER` while
  every place is taken), a body at a modest minimum rate, and an idle
  connection is closed. Bodies being read and parsed at once are
  capped at twice ``max_body`` in all (503 beyond), which bounds memory.
  Large bodies are parsed so that other threads get the interpreter lock at
  short intervals, so a health check stays quick while they are read.

Worker threads are one per admitted connection rather than a small pool
shared by many connections: a slow or idle client then holds only its own
thread until its deadline, never a worker others are waiting for.
"""

from __future__ import annotations

import collections
import gc
import hashlib
import hmac
import ipaddress
import json
import re
import socket
import socketserver
import threading
import time
from http import HTTPStatus
from itertools import accumulate
from http.server import BaseHTTPRequestHandler
from typing import Any, Callable, Deque, Dict, Iterable, List, Optional, Tuple

from .resolver import VECTOR_PATHS, LocalResolver, ResolverError

__all__ = [
    "ResolverHTTPServer",
    "Tokens",
    "make_server",
    "decode_json",
    "is_loopback",
    "host_allowed",
    "DEFAULT_MAX_BODY",
    "DEFAULT_MAX_CONNECTIONS",
    "MAX_DEPTH",
]

#: Largest request body read by default.
DEFAULT_MAX_BODY = 16 * 1024 * 1024
#: Connections served at once by default; a short queue waits behind them.
DEFAULT_MAX_CONNECTIONS = 128
#: Accepted connections that may wait for a worker by default; beyond, 503.
DEFAULT_QUEUE_SIZE = 32
#: Deepest nesting of arrays and objects a request body may have.
MAX_DEPTH = 64
#: Seconds for a request line and headers to arrive (also an idle connection's life).
HEAD_TIMEOUT = 10.0
#: When every place is taken, a connection that has waited this long for its request head is ended.
SQUEEZE_AFTER = 1.0
#: A body gets this many seconds plus one per BODY_RATE bytes.
BODY_TIMEOUT = 10.0
BODY_RATE = 256 * 1024
#: An answer gets this many seconds plus one per BODY_RATE bytes to be taken.
WRITE_TIMEOUT = 10.0
#: Bodies up to this size are parsed in one go; larger ones in steps.
_ONE_GO = 64 * 1024
#: Seconds a refused connection is kept half-open so that its 503 arrives.
_LINGER = 1.0


def is_loopback(host: str) -> bool:
    """Whether ``host`` (an address or a name) means this machine only."""
    host = host.strip("[]").lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def host_allowed(header: str, allowed: Iterable[str], wildcard: bool = False) -> bool:
    """Whether a Host header names this server: a loopback address or name, one in ``allowed``,
    or, on a server bound to every address (``wildcard``), any address literal.

    A DNS-rebinding page reaches the server under the page's own name, never
    an address literal, so literals are safe to accept where they reach us.
    """
    host = header.strip().lower()
    if host.startswith("["):
        host = host[1 : host.find("]")] if "]" in host else host
    elif host.count(":") == 1:
        host = host.split(":", 1)[0]
    host = host.rstrip(".")
    if host in allowed or is_loopback(host):
        return True
    if wildcard:
        try:
            ipaddress.ip_address(host)
            return True
        except ValueError:
            pass
    return False


# -- tokens ------------------------------------------------------------------------


class Tokens:
    """Device tokens: a flat mapping of device id to token; key ``"*"`` is the fleet token.

    Tokens are looked up by their SHA-256 digest and the match is confirmed
    with :func:`hmac.compare_digest`, so the time taken does not depend on how
    much of a guess is right.
    """

    FLEET = "*"

    def __init__(self, mapping: Dict[str, str]):
        if not isinstance(mapping, dict) or not mapping:
            raise ValueError("tokens must be a non-empty JSON object mapping device id to token")
        self._by_digest: Dict[bytes, Tuple[bytes, str]] = {}
        for device, token in mapping.items():
            if not isinstance(device, str) or not device:
                raise ValueError("every device id must be a non-empty string")
            if (
                not isinstance(token, str)
                or not token.strip()
                or token != token.strip()
                or any(c.isspace() for c in token)
            ):
                raise ValueError(f"the token of {device!r} must be a non-empty string without spaces")
            raw = token.encode("utf-8")
            digest = hashlib.sha256(raw).digest()
            if digest in self._by_digest:
                raise ValueError(f"devices {self._by_digest[digest][1]!r} and {device!r} share a token")
            self._by_digest[digest] = (raw, device)

    @classmethod
    def load(cls, path: str) -> "Tokens":
        """Reads a tokens file; OSError or ValueError (with a readable message) when unusable."""
        with open(path, "rb") as f:
            data = f.read(1 << 24)
        try:
            mapping = json.loads(data)
        except (UnicodeDecodeError, ValueError) as exc:
            raise ValueError(f"not a JSON object: {exc}") from None
        return cls(mapping)

    def identify(self, token: str) -> Optional[str]:
        """The device id a token belongs to ("*" for the fleet token), or None."""
        raw = token.encode("utf-8", "surrogatepass")
        entry = self._by_digest.get(hashlib.sha256(raw).digest())
        if entry is None or not hmac.compare_digest(entry[0], raw):
            return None
        return entry[1]


def _reaches(who: Optional[str], device: Any) -> bool:
    return who is None or who == Tokens.FLEET or who == device


def _check_device(who: Optional[str], device: Any) -> None:
    if not _reaches(who, device):
        raise ResolverError(f"this token may not reach device {device!r}", 403)


# -- JSON --------------------------------------------------------------------------

_NOT_STRUCTURAL = bytes(b for b in range(256) if b not in b'[]{}"')


_STEP = [0] * 256
_STEP[ord("[")] = _STEP[ord("{")] = 1
_STEP[ord("]")] = _STEP[ord("}")] = -1


def _nesting_over(raw: bytes, limit: int) -> bool:
    """Whether the JSON text nests arrays and objects deeper than ``limit``.

    Escapes and everything but quotes and brackets are dropped in C-speed
    passes; the rest is walked in slices (string contents left out by the
    parity of quotes), stopping at the first bracket past the limit, so that
    no step holds the interpreter lock for long. A text that is not JSON may
    be misjudged; the parser refuses it anyway.
    """
    if raw.count(b"[") + raw.count(b"{") <= limit:
        return False
    marks = raw.replace(b"\\\\", b"").replace(b'\\"', b"").translate(None, _NOT_STRUCTURAL)
    depth = 0
    in_string = False
    step = _STEP.__getitem__
    for start in range(0, len(marks), 1 << 15):
        parts = marks[start : start + (1 << 15)].split(b'"')
        outside = b"".join(parts[1::2] if in_string else parts[::2])
        if len(parts) % 2 == 0:
            in_string = not in_string
        if max(accumulate(map(step, outside), initial=depth)) > limit:
            return True
        depth += outside.count(b"[") + outside.count(b"{") - outside.count(b"]") - outside.count(b"}")
    return False


#: Bytes an object that a string or a container becomes holds at least, and
#: the most a body's values may hold per byte of the body (above _ONE_GO).
_VALUE_BYTES = 64
_MAX_BLOWUP = 10


def _values_over(raw: bytes) -> bool:
    """Whether a body packs so many strings and containers that parsing it would take over _MAX_BLOWUP times its size."""
    if len(raw) <= _ONE_GO:
        return False
    values = raw.count(b'"') // 2 + raw.count(b"[") + raw.count(b"{")
    return values * _VALUE_BYTES > _MAX_BLOWUP * len(raw)


# Python-level hooks: the parser calls back into the interpreter at every
# number and object, where a waiting thread may take the interpreter lock.
def _float(text: str) -> float:
    return float(text)


def _int(text: str) -> int:
    return int(text)


def _object(pairs: List[Tuple[str, Any]]) -> dict:
    return dict(pairs)


def decode_json(raw: bytes, max_depth: int = MAX_DEPTH) -> Any:
    """The value of a UTF-8 JSON request body; ResolverError 400 when it is not one."""
    if _nesting_over(raw, max_depth):
        raise ResolverError(f"request body nests deeper than {max_depth} levels", 400)
    if _values_over(raw):
        raise ResolverError(f"request body packs too many strings, arrays and objects for its {len(raw)} bytes", 413)
    try:
        text = raw.decode("utf-8")
        if len(raw) <= _ONE_GO:
            return json.loads(text)
        return json.loads(text, parse_float=_float, parse_int=_int, object_pairs_hook=_object)
    except (UnicodeDecodeError, ValueError) as exc:
        raise ResolverError(f"request body is not JSON: {exc}", 400) from None
    except RecursionError:
        raise ResolverError(f"request body nests deeper than {max_depth} levels", 400) from None


def _release(value: Any, level: int = 0) -> None:
    """Frees a parsed body's long lists a slice at a time: freeing one whole is a single long step under the lock."""
    if isinstance(value, dict) and level < 2:
        for item in value.values():
            _release(item, level + 1)
    elif isinstance(value, list):
        while len(value) > 1024:
            del value[-1024:]


def _encode(answer: Any) -> bytes:
    return json.dumps(answer).encode("utf-8")


# -- routes ------------------------------------------------------------------------


def _health_route(resolver: LocalResolver, body: Any, who: Optional[str]) -> dict:
    return {"status": "ok", "vectors": resolver.vectors_enabled}


def _stats_route(resolver: LocalResolver, body: Any, who: Optional[str]) -> dict:
    if who is None or who == Tokens.FLEET:
        return resolver.stats()
    return resolver.stats(device_id=who)


def _ingest_route(resolver: LocalResolver, body: dict, who: Optional[str]) -> dict:
    device = body.get("device_id")
    if isinstance(device, str) and device:
        _check_device(who, device)
    return resolver.ingest(body.get("batch"), device)


def _query_route(resolver: LocalResolver, body: dict, who: Optional[str]) -> dict:
    device = body.get("device_id")
    if isinstance(device, str) and device:
        _check_device(who, device)
    hits = resolver.query(
        body.get("query_text"),
        body.get("k", 10),
        device,
        bool(body.get("include_episode", True)),
        bool(body.get("prefer_success", True)),
    )
    return {"hits": hits}


def _outcome_route(resolver: LocalResolver, body: dict, who: Optional[str]) -> dict:
    device = body.get("device_id")
    if device is None and who is not None and who != Tokens.FLEET:
        device = who  # a device's token speaks for that device
    if isinstance(device, str) and device:
        _check_device(who, device)
    return resolver.record_outcome(
        body.get("episode_id"), body.get("result"), body.get("health_label"), device_id=device
    )


def _vector_route(path: str) -> Callable[[LocalResolver, dict, Optional[str]], Any]:
    def route(resolver: LocalResolver, body: dict, who: Optional[str]) -> Any:
        device = body.get("device_id") or "default-device"
        if isinstance(device, str):
            _check_device(who, device)
        items = body.get("items")
        if who is not None and path == "/qx/ingest" and isinstance(items, list):
            # An item may name its own device; one this token may not reach
            # is refused as that item, the rest of the batch is stored.
            body = dict(body)
            body["items"] = [
                item if not isinstance(item, dict) or _reaches(who, item.get("device_id") or device) else None
                for item in items
            ]
        return resolver.request("POST", path, body)

    return route


Route = Tuple[str, Callable[[LocalResolver, Any, Optional[str]], Any], bool]

#: path -> (method, handler, needs a token when tokens are in use)
_ROUTES: Dict[str, Route] = {
    "/v1/health": ("GET", _health_route, False),
    "/v1/stats": ("GET", _stats_route, True),
    "/v1/episodes/ingest": ("POST", _ingest_route, True),
    "/v1/episodes/query": ("POST", _query_route, True),
    "/v1/episodes/outcome": ("POST", _outcome_route, True),
    **{path: ("POST", _vector_route(path), True) for path in VECTOR_PATHS},
}


def _canned(status: int, message: str, *headers: str) -> bytes:
    """A whole answer, written by the accepting thread or the watchdog without a worker."""
    body = _encode({"error": message})
    head = [f"HTTP/1.1 {status} {HTTPStatus(status).phrase}", "Content-Type: application/json", *headers]
    head += ["Connection: close", f"Content-Length: {len(body)}", "", ""]
    return "\r\n".join(head).encode("ascii") + body


_BUSY = _canned(503, "the resolver is busy, retry later", "Retry-After: 1")
_TIMED_OUT = _canned(408, "request not received in time")


# -- server ------------------------------------------------------------------------


class ResolverHTTPServer(socketserver.TCPServer):
    """Serves a :class:`LocalResolver` over HTTP under the limits of the module docstring.

    ``serve_forever()`` accepts connections on the calling thread and hands
    each to a worker thread; ``shutdown()`` from another thread stops it,
    ``server_close()`` closes the socket and ends idle connections, and
    :meth:`wait_idle` waits for requests still being served.
    """

    allow_reuse_address = True
    # Many clients connect at once; the default backlog of 5 drops their SYNs.
    request_queue_size = 128

    def __init__(
        self,
        address: Tuple[str, int],
        resolver: LocalResolver,
        *,
        log: Optional[Callable[[str], None]] = None,
        tokens: Optional[Tokens] = None,
        allow_hosts: Iterable[str] = (),
        max_body: int = DEFAULT_MAX_BODY,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        queue_size: int = DEFAULT_QUEUE_SIZE,
        manage_gc: bool = False,
    ):
        if max_body < 1 or max_connections < 1 or queue_size < 0:
            raise ValueError("max_body and max_connections must be positive, queue_size not negative")
        self.address_family = _family(address[0])
        self.resolver = resolver
        self.log = log
        self.tokens = tokens
        self.max_body = int(max_body)
        self.max_connections = int(max_connections)
        self.queue_size = int(queue_size)
        hosts = {h.strip("[]").lower().rstrip(".") for h in allow_hosts}
        hosts.add(address[0].strip("[]").lower().rstrip("."))
        self._lock = threading.Condition()
        self._pending: Deque[Tuple[socket.socket, Any]] = collections.deque()
        self._workers: List[threading.Thread] = []
        self._idle_workers = 0
        self._open = 0  # admitted connections: waiting plus being served
        self._active = 0  # requests being served
        self._body_bytes = 0  # bodies being read and parsed
        self._closing = False
        # socket -> (deadline, answer 408 when it passes, waiting for a request head, armed at)
        self._deadlines: Dict[socket.socket, Tuple[float, bool, bool, float]] = {}
        self._last_squeeze = 0.0
        self._linger: set = set()  # connections closed with a body left unread
        self._lingering: Deque[Tuple[float, socket.socket]] = collections.deque()
        self._manage_gc = manage_gc
        self._last_full_gc = time.monotonic()
        super().__init__(address, _Handler)
        if manage_gc:
            # A full collection walks every object alive, and a large request
            # keeps hundreds of thousands alive: done automatically, it held
            # the interpreter lock for 150-300 ms in the middle of requests
            # (a 16 MiB batch here). Young generations stay automatic; the
            # full one runs from the watchdog between requests instead.
            young, middle, _ = gc.get_threshold()
            gc.set_threshold(young, middle, 1 << 30)
        bound = self.server_address[0]
        hosts.add(bound.lower())
        self.allowed_hosts = frozenset(hosts)
        self.wildcard = bound in ("0.0.0.0", "::")
        self._watchdog = threading.Thread(target=self._watch, name="orvane-server-watchdog", daemon=True)
        self._watchdog.start()

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{port}"

    # -- admission --------------------------------------------------------------
    def process_request(self, request: socket.socket, client_address: Any) -> None:
        with self._lock:
            admitted = not self._closing and self._open < self.max_connections + self.queue_size
            if admitted:
                self._open += 1
                self._pending.append((request, client_address))
                # The first request head must arrive in time, counted from now:
                # waiting in the queue counts.
                now = time.monotonic()
                self._deadlines[request] = (now + HEAD_TIMEOUT, True, True, now)
                # Idle workers already woken for earlier connections are not free:
                # compare with everything waiting.
                if len(self._pending) > self._idle_workers and len(self._workers) < self.max_connections:
                    worker = threading.Thread(
                        target=self._work, name=f"orvane-server-{len(self._workers)}", daemon=True
                    )
                    self._workers.append(worker)
                    worker.start()
                self._lock.notify()
        if not admitted:
            self._refuse(request)
            self._squeeze()

    def _squeeze(self) -> None:
        """Every place is taken: connections that have waited over SQUEEZE_AFTER for a request head lose theirs.

        Slow or idle clients could otherwise hold every place until their
        deadline; refused clients retry and find room once these are gone.
        """
        now = time.monotonic()
        with self._lock:
            if now - self._last_squeeze < 0.5:
                return
            self._last_squeeze = now
            for sock, (deadline, answer, waiting, armed) in self._deadlines.items():
                if waiting and now - armed > SQUEEZE_AFTER and deadline > now:
                    self._deadlines[sock] = (now, answer, waiting, armed)

    def _refuse(self, request: socket.socket) -> None:
        """503 at once, without a worker; the socket lingers half-open so that the answer arrives."""
        try:
            request.setblocking(False)
            _drain_ready(request)
            request.send(_BUSY)
            request.shutdown(socket.SHUT_WR)
        except OSError:
            request.close()
            return
        if len(self._lingering) >= 256:
            request.close()
        else:
            self._lingering.append((time.monotonic() + _LINGER, request))

    def service_actions(self) -> None:
        now = time.monotonic()
        while self._lingering and self._lingering[0][0] <= now:
            _, sock = self._lingering.popleft()
            _drain_ready(sock)
            sock.close()

    def _work(self) -> None:
        while True:
            with self._lock:
                self._idle_workers += 1
                while not self._pending and not self._closing:
                    self._lock.wait()
                self._idle_workers -= 1
                if not self._pending:
                    return
                request, client_address = self._pending.popleft()
            try:
                if self._closing:
                    continue
                self.finish_request(request, client_address)
            except Exception:
                self.handle_error(request, client_address)
            finally:
                self._forget(request)
                self.shutdown_request(request)
                with self._lock:
                    self._open -= 1

    def shutdown_request(self, request: socket.socket) -> None:
        """Closes a connection; one whose body went unread is drained a moment first.

        Closing with unread data would reset the connection, and the client
        could lose the answer it was sent.
        """
        try:
            request.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        if request in self._linger:
            self._linger.discard(request)
            try:
                request.settimeout(0.2)
                end = time.monotonic() + _LINGER
                while time.monotonic() < end and request.recv(65536):
                    pass
            except OSError:
                pass
        request.close()

    def handle_error(self, request: Any, client_address: Any) -> None:
        if self.log is not None:
            import traceback

            self.log(f"error on a connection from {client_address}: {traceback.format_exc(limit=3).strip()}")

    # -- deadlines --------------------------------------------------------------
    def _arm(self, sock: socket.socket, seconds: float, answer_timeout: bool, waiting: bool = False) -> None:
        with self._lock:
            now = time.monotonic()
            self._deadlines[sock] = (now + seconds, answer_timeout, waiting, now)

    def _forget(self, sock: socket.socket) -> None:
        with self._lock:
            self._deadlines.pop(sock, None)

    def _watch(self) -> None:
        """Ends connections past their deadline: the worker blocked on them then sees the end."""
        while True:
            time.sleep(0.1)
            now = time.monotonic()
            if self._manage_gc:
                self._collect(now)
            with self._lock:
                expired = [(s, answer) for s, (t, answer, _, _) in self._deadlines.items() if t <= now]
                for s, _ in expired:
                    del self._deadlines[s]
            for sock, answer in expired:
                try:
                    if answer:
                        sock.send(_TIMED_OUT, socket.MSG_DONTWAIT)
                except OSError:
                    pass
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def _collect(self, now: float) -> None:
        """A full collection when no request is being served (at most every 5 s), else at least once a minute."""
        since = now - self._last_full_gc
        if since < 5.0 or gc.get_count()[2] == 0:
            return
        if self._active and since < 60.0:
            return
        gc.collect()
        _trim_heap()
        self._last_full_gc = time.monotonic()

    # -- memory -----------------------------------------------------------------
    def _take_body(self, size: int) -> bool:
        """Reserves room for a body; False when the bodies in hand would pass twice the limit."""
        with self._lock:
            if self._body_bytes and self._body_bytes + size > 2 * self.max_body:
                return False
            self._body_bytes += size
            return True

    def _give_body(self, size: int) -> None:
        with self._lock:
            self._body_bytes -= size

    # -- requests ---------------------------------------------------------------
    def _enter_request(self) -> None:
        with self._lock:
            self._active += 1

    def _leave_request(self) -> None:
        with self._lock:
            self._active -= 1
            if self._active == 0:
                self._lock.notify_all()

    def wait_idle(self, timeout: float) -> bool:
        """Waits until no request is being served (idle keep-alive connections do not count)."""
        with self._lock:
            return self._lock.wait_for(lambda: self._active == 0, timeout)

    def server_close(self) -> None:
        """Closes the listening socket; idle and queued connections are closed, requests finish."""
        super().server_close()
        with self._lock:
            self._closing = True
            self._lock.notify_all()
            waiting = list(self._pending)
            self._pending.clear()
            self._open -= len(waiting)
            idle = [s for s, (_, _, waiting, _) in self._deadlines.items() if waiting]
        for sock, _ in waiting:
            sock.close()
        for sock in idle:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        while self._lingering:
            self._lingering.popleft()[1].close()


def _trim_heap() -> None:
    """Hands memory that the C allocator keeps after a large request back to the system (glibc only)."""
    global _malloc_trim
    if _malloc_trim is None:
        try:
            import ctypes

            _malloc_trim = ctypes.CDLL("libc.so.6").malloc_trim
        except (OSError, AttributeError):
            _malloc_trim = False
    if _malloc_trim:
        _malloc_trim(0)


_malloc_trim: Any = None


def _drain_ready(sock: socket.socket) -> None:
    """Reads and drops what has already arrived on a non-blocking socket."""
    try:
        sock.setblocking(False)
        for _ in range(64):
            if not sock.recv(65536):
                return
    except OSError:
        return


def _family(host: str) -> socket.AddressFamily:
    try:
        return socket.AF_INET6 if ipaddress.ip_address(host.strip("[]")).version == 6 else socket.AF_INET
    except ValueError:
        pass
    try:
        infos = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
    except OSError:
        return socket.AF_INET
    return infos[0][0] if infos else socket.AF_INET


def make_server(
    resolver: LocalResolver,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    log: Optional[Callable[[str], None]] = None,
    tokens: Optional[Tokens] = None,
    allow_hosts: Iterable[str] = (),
    max_body: int = DEFAULT_MAX_BODY,
    max_connections: int = DEFAULT_MAX_CONNECTIONS,
    queue_size: int = DEFAULT_QUEUE_SIZE,
    manage_gc: bool = False,
) -> ResolverHTTPServer:
    """A bound (not yet serving) HTTP server for ``resolver``; port 0 picks a free port.

    ``manage_gc`` (for a process that only serves, as ``orvane serve``) moves
    the garbage collector's full collections between requests.
    """
    return ResolverHTTPServer(
        (host.strip("[]"), port),
        resolver,
        log=log,
        tokens=tokens,
        allow_hosts=allow_hosts,
        max_body=max_body,
        max_connections=max_connections,
        queue_size=queue_size,
        manage_gc=manage_gc,
    )


_DIGITS = re.compile(r"[0-9]{1,18}")


class _Handler(BaseHTTPRequestHandler):
    server: ResolverHTTPServer
    protocol_version = "HTTP/1.1"
    server_version = "orvane-resolver/1"
    # Each read and write on the socket waits at most this long; the
    # watchdog's deadlines bound whole requests.
    timeout = HEAD_TIMEOUT

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        if self.server.log is not None:
            self.server.log("%s %s" % (self.address_string(), format % args))

    def setup(self) -> None:
        super().setup()
        try:
            # Answers go out in one write; no waiting for the client's ACK.
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def handle(self) -> None:
        first = True
        self.close_connection = True
        while True:
            # The next request's head must arrive in time (the first one's
            # deadline runs from admission); only a first request is told so
            # (a later wait is an idle keep-alive).
            if not first:
                self.server._arm(self.connection, HEAD_TIMEOUT, False, waiting=True)
            self.handle_one_request()
            first = False
            if self.close_connection or self.server._closing:
                break

    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_HEAD(self) -> None:
        self._dispatch("HEAD")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_PUT(self) -> None:
        self._dispatch("PUT")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def do_PATCH(self) -> None:
        self._dispatch("PATCH")

    def do_OPTIONS(self) -> None:
        self._dispatch("OPTIONS")

    def _dispatch(self, method: str) -> None:
        self.server._enter_request()
        self._unread = 0
        extra: Dict[str, str] = {}
        try:
            status, answer = HTTPStatus.OK, self._serve(method, extra)
        except ResolverError as exc:
            status, answer = exc.status_code or 500, {"error": str(exc)}
        except Exception as exc:  # a bug must still answer, and not kill the server
            status, answer = HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"{type(exc).__name__}: {exc}"}
            if self.server.log is not None:
                self.server.log(f"error serving {method} {self.path}: {type(exc).__name__}: {exc}")
        try:
            if self._unread:
                self._settle_unread()
            if status == 401:
                extra["WWW-Authenticate"] = "Bearer"
            self._send(int(status), answer, extra)
        finally:
            self.server._leave_request()

    # -- the request, step by step ----------------------------------------------
    def _serve(self, method: str, extra: Dict[str, str]) -> Any:
        size = self._framing(method)
        self._check_host()
        path = self.path.split("?", 1)[0]
        resolver = self.server.resolver
        route = _ROUTES.get(path)
        if route is None or (path in VECTOR_PATHS and not resolver.vectors_enabled):
            raise ResolverError(f"{method} {path}: not found", 404)
        want, call, needs_token = route
        allowed = f"{want}, HEAD, OPTIONS" if want == "GET" else f"{want}, OPTIONS"
        if method == "OPTIONS":
            extra["Allow"] = allowed
            return None
        if method != want and not (method == "HEAD" and want == "GET"):
            extra["Allow"] = allowed
            raise ResolverError(f"{method} {path}: method not allowed", 405)
        if want != "POST" and size:
            raise ResolverError(f"a {method} request takes no body", 400)
        who = self._authorize() if needs_token else None
        body = self._read_body(size) if want == "POST" else None
        if want == "POST" and not isinstance(body, dict):
            raise ResolverError("the request body must be a JSON object", 400)
        try:
            return call(resolver, body, who)
        except RecursionError:
            raise ResolverError(f"request body nests deeper than {MAX_DEPTH} levels", 400) from None
        finally:
            _release(body)

    def _framing(self, method: str) -> int:
        """The declared body size; a request whose body cannot be framed ends its connection."""
        if "Transfer-Encoding" in self.headers:
            self.close_connection = True
            raise ResolverError("a request body needs a Content-Length (no Transfer-Encoding)", 411)
        lengths = self.headers.get_all("Content-Length") or []
        if not lengths:
            if method == "POST":
                self.close_connection = True
                raise ResolverError("a request body needs a Content-Length", 411)
            return 0
        text = lengths[0].strip()
        if any(other.strip() != text for other in lengths) or not _DIGITS.fullmatch(text):
            self.close_connection = True
            raise ResolverError(f"bad Content-Length {lengths[0]!r}", 400)
        size = int(text)
        self._unread = size
        if size > self.server.max_body:
            self.close_connection = True
            raise ResolverError(f"request body of {size} bytes is over the limit of {self.server.max_body}", 413)
        self.server._arm(self.connection, BODY_TIMEOUT + size / BODY_RATE, True)
        return size

    def _check_host(self) -> None:
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1:
            raise ResolverError("a request needs exactly one Host header", 400)
        if not host_allowed(hosts[0], self.server.allowed_hosts, self.server.wildcard):
            raise ResolverError(f"Host {hosts[0]!r} is not served here (orvane serve --allow-host adds a name)", 421)

    def _authorize(self) -> Optional[str]:
        tokens = self.server.tokens
        if tokens is None:
            return None
        header = self.headers.get("Authorization", "")
        scheme, _, token = header.strip().partition(" ")
        token = token.strip()
        if scheme.lower() != "bearer" or not token:
            raise ResolverError("a token is needed: Authorization: Bearer <token>", 401)
        who = tokens.identify(token)
        if who is None:
            raise ResolverError("unknown token", 401)
        return who

    def _read_body(self, size: int) -> Any:
        media = self.headers.get("Content-Type", "").split(";", 1)[0].strip().lower()
        if media != "application/json":
            raise ResolverError("a request body must be sent as Content-Type: application/json", 415)
        if not self.server._take_body(size):
            raise ResolverError("the resolver is busy reading other bodies, retry later", 503)
        try:
            raw = self.rfile.read(size)
            self._unread = 0
            if len(raw) != size:
                self.close_connection = True
                raise ResolverError("request body cut short", 400)
            if not raw:
                return None
            return decode_json(raw)
        finally:
            self.server._give_body(size)

    def _settle_unread(self) -> None:
        """Reads and drops a body the answer did not need, so the connection can go on."""
        left, self._unread = self._unread, 0
        if self.close_connection:
            self.server._linger.add(self.connection)
            return
        try:
            while left > 0:
                chunk = self.rfile.read(min(left, 65536))
                if not chunk:
                    break
                left -= len(chunk)
        except OSError:
            pass
        if left:
            self.close_connection = True

    def _send(self, status: int, answer: Any, extra: Optional[Dict[str, str]] = None) -> None:
        data = b"" if status == 204 else _encode(answer)
        if self.command == "OPTIONS" and status == 200:
            status, data = 204, b""
        try:
            self.server._arm(self.connection, WRITE_TIMEOUT + len(data) / BODY_RATE, False)
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            for name, value in (extra or {}).items():
                self.send_header(name, value)
            if self.close_connection or self.server._closing:
                self.close_connection = True
                self.send_header("Connection", "close")
            if not hasattr(self, "_headers_buffer"):
                self._headers_buffer = []
            self._headers_buffer.append(b"\r\n")
            if self.command != "HEAD":
                self._headers_buffer.append(data)
            self.flush_headers()
        except OSError:
            self.close_connection = True

    def send_error(self, code: int, message: Optional[str] = None, explain: Optional[str] = None) -> None:
        """Errors found while reading the request line and headers: JSON like every other answer."""
        self.close_connection = True
        try:
            phrase = HTTPStatus(code).phrase
        except ValueError:
            phrase = "error"
        self.log_error("code %d, message %s", code, message)
        self._send(code, {"error": message or phrase})
