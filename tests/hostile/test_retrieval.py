"""Hostile input for CrossModalRetriever (see support.py)."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    MUTATIONS,
    Boom,
    DictSub,
    IntSub,
    ListSub,
    Mutator,
    RaisingStr,
    StrSub,
    build_value,
    build_payload,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    payload_specs,
    value_specs,
)

np = pytest.importorskip("numpy")

# NumPy's own warnings for the odd values fed to it (complex to real, float32
# overflow) are part of its conversion, not something to report here.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Casting complex values:Warning", "ignore:overflow encountered:RuntimeWarning"
)
retrieval = pytest.importorskip("orvane.qx.retrieval")
Retriever = retrieval.CrossModalRetriever
NotAvailable = retrieval.RetrievalNotAvailable

CONVERSION = (TypeError, ValueError, OverflowError, AttributeError, RuntimeError, MemoryError, Boom)


class ClientError(Exception):
    def __init__(self, code):
        super().__init__(f"status {code!r}" if not isinstance(code, RaisingStr) else "status ?")
        self.status_code = code


class CodeRaises(Exception):
    @property
    def status_code(self):
        raise Boom("status_code")


class Client:
    class config:
        device_id = "cfg-dev"

    def __init__(self, response=None, fail=None):
        self.response = response
        self.fail = fail
        self.calls = []

    def _request(self, method, path, json=None):
        self.calls.append((method, path, json))
        if self.fail is not None:
            raise self.fail
        return self.response


def check_usable(r):
    saved = r.brain
    client = Client({"id": "v1", "episode_ids": ["e1"], "results": [{"score": 1.0}]})
    r.brain = client
    try:
        assert r.ingest([0.5, 0.25], "dev") == "v1"
        assert client.calls[-1] == (
            "POST",
            "/qx/ingest",
            {"device_id": "dev", "embedding": [0.5, 0.25], "metadata": {}},
        )
        assert r.ingest_batch([{"embedding": [1.0]}]) == ["e1"]
        assert r.retrieve(np.ones(2, np.float32), k=3) == [{"score": 1.0}]
        assert client.calls[-1][2] == {"device_id": "cfg-dev", "embedding": [1.0, 1.0], "k": 3}
    finally:
        r.brain = saved


embedding_values = st.one_of(
    st.lists(value_specs, max_size=5).map(lambda v: ("list", v)),
    st.sampled_from(
        [
            np.ones((2, 3)),
            np.zeros(0),
            np.float64(2.5),
            3,
            10**400,
            "1.5",
            "abc",
            None,
            [[1.0], []],
            {"a": 1},
            np.array(["x"]),
            np.ones(3, dtype=complex),
        ]
    ).map(lambda v: ("plain", v)),
)


def embedding_from(spec, mutators, target=None):
    kind, v = spec
    if kind == "list":
        values = [build_value(x, mutators) for x in v]
        for m in mutators:
            m.target = values if target is None else target
        return values
    return v


responses = st.one_of(
    st.sampled_from(
        [
            None,
            {},
            [],
            "x",
            5,
            DictSub(id="x"),
            {"id": None},
            {"id": 0},
            {"id": ""},
            {"id": 10**400},
            {"id": RaisingStr()},
            {"id": b"x"},
            {"episode_ids": None},
            {"episode_ids": []},
            {"episode_ids": ("a",)},
            {"episode_ids": ListSub(["a"])},
            {"episode_ids": "ab"},
            {"results": None},
            {"results": ()},
            {"results": [1, None]},
            {"results": ListSub()},
            {"id": "ok", "episode_ids": ["a", None], "results": [{}]},
        ]
    ),
    payload_specs.map(build_payload),
)
failures = st.one_of(
    st.none(),
    st.sampled_from(
        [404, "404", 404.0, IntSub(404), StrSub("404"), " 404", 500, None, b"404", RaisingStr(), "mutator"]
    ).map(lambda c: ClientError(Mutator("clear") if c == "mutator" else c)),
    st.sampled_from([CodeRaises("x"), ConnectionError("down"), TimeoutError(), Boom("client")]),
)


def _outcome_check(ok, out, fail, path, client):
    if fail is None or ok or not client.calls:  # failed before any request
        return
    code = getattr(fail, "status_code", "") if not isinstance(fail, CodeRaises) else None
    if isinstance(fail, CodeRaises):
        assert type(out) is Boom
    elif isinstance(code, RaisingStr):
        assert type(out) is Boom
    elif str(code) == "404":
        assert type(out) is NotAvailable and out.__cause__ is fail
        assert str(out) == (
            f"The resolver has no {path} endpoint -- either it's running code from before QX "
            "retrieval existed, or this really is a 404. See orvane/qx/retrieval."
        )
    else:
        assert out is fail  # unchanged


@HOSTILE
@given(
    embedding_values,
    st.one_of(st.none(), st.just(""), st.just("dev"), hostile_args),
    st.one_of(st.none(), payload_specs.map(build_payload), hostile_args),
    responses,
    failures,
)
def test_ingest_hostile(embedding_spec, device_id, metadata, response, fail):
    mutators: list = []
    embedding = embedding_from(embedding_spec, mutators)
    client = Client(response, fail)
    r = Retriever(client)
    allowed = CONVERSION + (NotAvailable, ConnectionError, TimeoutError, ClientError)
    ok, out = expect(allowed, r.ingest, embedding, device_id, metadata)
    if device_id is not None and type(device_id) is not str:
        assert not ok and "Argument 'device_id' has incorrect type" in str(out) and not client.calls
    elif metadata is not None and type(metadata) is not dict:
        assert not ok and "Argument 'metadata' has incorrect type" in str(out) and not client.calls
    elif ok:
        assert type(out) is str and len(client.calls) == 1
        body = client.calls[0][2]
        assert list(body) == ["device_id", "embedding", "metadata"]
        assert all(type(x) is float for x in body["embedding"])
    else:
        _outcome_check(ok, out, fail, "/qx/ingest", client)
    check_usable(r)


@HOSTILE
@given(
    st.lists(
        st.one_of(
            st.tuples(embedding_values, payload_specs).map(lambda t: ("item", t)), value_specs.map(lambda v: ("odd", v))
        ),
        max_size=4,
    ),
    st.sampled_from(["items", "item"]),
    responses,
    failures,
)
def test_ingest_batch_hostile(item_specs, mutate_what, response, fail):
    mutators: list = []
    items = []
    for tag, spec in item_specs:
        if tag == "item":
            emb_spec, extra = spec
            item = build_payload(extra)
            try:
                item["embedding"] = embedding_from(emb_spec, mutators, target=item)
            except Boom:  # a key that hashes like "embedding" and refuses comparison
                pass
            items.append(item)
        else:
            items.append(build_value(spec, mutators))
    if mutate_what == "items":
        for m in mutators:
            m.target = items
    client = Client(response, fail)
    r = Retriever(client)
    allowed = CONVERSION + (NotAvailable, ConnectionError, TimeoutError, ClientError)
    ok, out = expect(allowed, r.ingest_batch, items)
    if ok:
        assert type(out) is list and len(client.calls) == 1
        for sent in client.calls[0][2]["items"]:
            assert sent["embedding"] is None or all(type(x) is float for x in sent["embedding"])
    else:
        _outcome_check(ok, out, fail, "/qx/ingest", client)
    check_usable(r)


@HOSTILE
@given(embedding_values, st.one_of(st.integers(-5, 50), hostile_args), responses, failures)
def test_retrieve_hostile(embedding_spec, k, response, fail):
    mutators: list = []
    embedding = embedding_from(embedding_spec, mutators)
    client = Client(response, fail)
    r = Retriever(client)
    allowed = CONVERSION + (NotAvailable, ConnectionError, TimeoutError, ClientError)
    ok, out = expect(allowed, r.retrieve, embedding, None, k)
    if ok:
        assert out is None or type(out) is list
        assert type(client.calls[0][2]["k"]) is int and client.calls[0][2]["k"] == int(k)
    else:
        _outcome_check(ok, out, fail, "/qx/query", client)
    check_usable(r)


@HOSTILE
@given(
    st.one_of(st.sampled_from(["/qx/ingest", "/qx/query", "", "\ud800"]), hostile_args),
    st.one_of(payload_specs.map(build_payload), hostile_args),
    responses,
    failures,
)
def test_post_hostile(path, payload, response, fail):
    client = Client(response, fail)
    r = Retriever(client)
    allowed = CONVERSION + (NotAvailable, ConnectionError, TimeoutError, ClientError)
    ok, out = expect(allowed, r._post, path, payload)
    if type(path) is not str or type(payload) is not dict:
        assert not ok and type(out) is TypeError and not client.calls
    elif ok:
        assert out is None or type(out) is dict
        assert client.calls == [("POST", path, payload)]
    else:
        _outcome_check(ok, out, fail, path, client)
    check_usable(r)


@pytest.mark.parametrize("fail", [KeyboardInterrupt(), SystemExit(2)])
def test_interrupts_from_the_client_pass_through(fail):
    r = Retriever(Client(fail=fail))
    for call in (lambda: r.ingest([1.0]), lambda: r.ingest_batch([]), lambda: r.retrieve([1.0])):
        with pytest.raises(type(fail)) as info:
            call()
        assert info.value is fail
    check_usable(r)


@pytest.mark.parametrize("brain", [None, object(), "client", 5])
def test_a_brain_that_is_no_client(brain):
    r = Retriever(brain)
    for call in (
        lambda: r.ingest([1.0], "dev"),
        lambda: r.ingest([1.0]),
        lambda: r.retrieve([1.0], "d"),
        lambda: r.ingest_batch([], "d"),
    ):
        with pytest.raises(AttributeError):
            call()
    check_usable(r)


@pytest.mark.parametrize("mode", MUTATIONS)
def test_client_that_changes_the_body(mode):
    class Mutating(Client):
        def _request(self, method, path, json=None):
            m = Mutator(mode)
            m.target = json
            m.__float__()
            return super()._request(method, path, json)

    r = Retriever(Mutating({"id": "x", "episode_ids": ["a"], "results": []}))
    assert r.ingest([1.0]) == "x"
    assert r.ingest_batch([{"embedding": [1.0]}]) == ["a"]
    assert r.retrieve([1.0]) == []
    check_usable(r)


def test_retrieval_bad_calls():
    check_refuses_bad_calls(Retriever, 1, ("brain",))
    r = Retriever(Client({}))
    check_refuses_bad_calls(r.ingest, 1, ("embedding", "device_id", "metadata"))
    check_refuses_bad_calls(r.ingest_batch, 1, ("items", "device_id"))
    check_refuses_bad_calls(r.retrieve, 1, ("embedding", "device_id", "k"))
    check_refuses_bad_calls(r._post, 2, ("path", "payload"))
    for call in (
        lambda: r.ingest_batch(ListSub()),
        lambda: r.ingest_batch(None),
        lambda: r.ingest_batch((1,)),
        lambda: r.retrieve([1.0], k="3"),
        lambda: r.retrieve([1.0], k=None),
        lambda: r.ingest([1.0], metadata=DictSub()),
    ):
        with pytest.raises(TypeError):
            call()
    assert r.brain.calls == []
    check_usable(r)


@FEW
@given(hostile_args)
def test_not_available_is_an_ordinary_exception(value):
    err = NotAvailable(value)
    assert isinstance(err, Exception) and err.args == (value,)
