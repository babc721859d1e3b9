"""CrossModalRetriever: request bodies, response rules and the 404 translation."""

import struct
from types import SimpleNamespace

import numpy as np
import pytest

from orvane.client import Brenlow, EmbeddedResolver, ResolverError
from orvane.qx.retrieval import CrossModalRetriever, RetrievalNotAvailable

NOT_AVAILABLE = (
    "The resolver has no {} endpoint -- either it's running code from before QX retrieval existed, "
    "or this really is a 404. See orvane/qx/retrieval."
)


class FakeClient:
    """Records every request; answers with `response` or raises `error`."""

    def __init__(self, response=None, error=None, device_id="configured"):
        self.config = SimpleNamespace(device_id=device_id)
        self.response = {} if response is None else response
        self.error = error
        self.calls = []

    def _request(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.response

    @property
    def body(self):
        ((args, kwargs),) = self.calls
        assert args[0] == "POST" and list(kwargs) == ["json"]
        return args[1], kwargs["json"]


class StatusError(Exception):
    def __init__(self, status_code):
        super().__init__(f"status {status_code!r}")
        self.status_code = status_code


def bits(values):
    return [struct.pack("<d", v) for v in values]


def widened(values):
    """float32 values widened exactly to doubles, as the resolver must receive them."""
    return [float(x) for x in np.asarray(values, dtype=np.float32).reshape(-1)]


# -- vector form ---------------------------------------------------------------


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize(
    "embedding",
    [
        np.array([0.1, 0.2, 1 / 3], dtype=np.float64),
        np.arange(6, dtype=np.float32).reshape(2, 3),
        np.asfortranarray(np.arange(6, dtype=np.float64).reshape(2, 3) / 7),
        np.arange(20, dtype=np.float32)[::3],
        np.array([1e-45, -0.0, np.inf, 3.4e38, 1e39], dtype=np.float64),
        np.array([], dtype=np.float32),
        np.array(2.5),
        np.array([1, 2, 3], dtype=np.int64),
        np.array([0.5, 1.5], dtype=">f4"),
        [[0.1, 0.2], [0.3, 0.4]],
        0.1,
        7,
    ],
)
def test_vector_form(embedding):
    client = FakeClient({"id": "v"})
    CrossModalRetriever(client).ingest(embedding)
    sent = client.body[1]["embedding"]
    assert type(sent) is list and all(type(x) is float for x in sent)
    assert bits(sent) == bits(widened(embedding))


def test_vector_form_widens_exactly():
    client = FakeClient({"id": "v"})
    CrossModalRetriever(client).ingest([0.1])
    assert client.body[1]["embedding"] == [0.10000000149011612]


def test_nan_survives_the_vector_form():
    client = FakeClient({"results": []})
    CrossModalRetriever(client).retrieve([float("nan"), 1.0])
    sent = client.body[1]["embedding"]
    assert sent[0] != sent[0] and sent[1] == 1.0


# -- ingest --------------------------------------------------------------------


@pytest.mark.parametrize("device_id, sent", [(None, "configured"), ("", "configured"), ("dev-7", "dev-7")])
def test_ingest_body(device_id, sent):
    client = FakeClient({"id": "abc"})
    meta = {"source": "imu", "n": 3}
    assert CrossModalRetriever(client).ingest(np.ones(2), device_id=device_id, metadata=meta) == "abc"
    path, body = client.body
    assert path == "/qx/ingest"
    assert list(body.items()) == [("device_id", sent), ("embedding", [1.0, 1.0]), ("metadata", meta)]
    assert body["metadata"] is meta


@pytest.mark.parametrize("metadata", [None, {}])
def test_ingest_without_metadata_sends_a_new_empty_mapping(metadata):
    client = FakeClient({"id": "abc"})
    CrossModalRetriever(client).ingest([1.0], metadata=metadata)
    assert client.body[1]["metadata"] == {} and client.body[1]["metadata"] is not metadata


def test_configured_device_id_is_read_at_each_request():
    client = FakeClient({"id": "x"})
    r = CrossModalRetriever(client)
    r.ingest([1.0])
    client.config.device_id = "renamed"
    r.ingest([1.0])
    assert [kw["json"]["device_id"] for _, kw in client.calls] == ["configured", "renamed"]


@pytest.mark.parametrize(
    "response, expected",
    [
        ({}, ""),
        ({"id": None}, ""),
        ({"id": ""}, ""),
        ({"id": 0}, ""),
        ({"id": 42}, "42"),
        ({"id": "v-1"}, "v-1"),
        ({"id": 4.5}, "4.5"),
    ],
)
def test_ingest_result(response, expected):
    result = CrossModalRetriever(FakeClient(response)).ingest([1.0])
    assert type(result) is str and result == expected


# -- ingest_batch --------------------------------------------------------------


def test_ingest_batch_body():
    items = [
        {"episode_type": "fused", "embedding": np.array([0.1, 0.2]), "metadata": {"a": 1}},
        {"state_id": "s1", "device_id": "other"},  # no embedding: added last, as null
        {"embedding": None, "action_id": "a9"},  # null embedding keeps its place
        {"embedding": [[1, 2], [3, 4]]},
    ]
    before = [dict(i) for i in items]
    client = FakeClient({"episode_ids": ["e1", None, None, "e4"]})
    assert CrossModalRetriever(client).ingest_batch(items, device_id="dev-2") == ["e1", None, None, "e4"]
    path, body = client.body
    assert path == "/qx/ingest" and list(body) == ["device_id", "items"] and body["device_id"] == "dev-2"
    sent = body["items"]
    assert [list(s) for s in sent] == [
        ["episode_type", "embedding", "metadata"],
        ["state_id", "device_id", "embedding"],
        ["embedding", "action_id"],
        ["embedding"],
    ]
    assert bits(sent[0]["embedding"]) == bits(widened([0.1, 0.2]))
    assert sent[1]["embedding"] is None and sent[2]["embedding"] is None
    assert sent[3]["embedding"] == [1.0, 2.0, 3.0, 4.0]
    assert sent[0]["metadata"] is items[0]["metadata"] and sent[1]["device_id"] == "other"
    assert all(s is not i for s, i in zip(sent, items))
    assert [list(i) for i in items] == [list(b) for b in before] and items[1] == before[1]


def test_ingest_batch_empty_still_posts_once():
    client = FakeClient({"episode_ids": []})
    assert CrossModalRetriever(client).ingest_batch([]) == []
    assert client.body == ("/qx/ingest", {"device_id": "configured", "items": []})


@pytest.mark.parametrize("response", [{}, {"episode_ids": None}, {"episode_ids": []}, {"episode_ids": 0}])
def test_ingest_batch_without_ids_returns_a_new_list(response):
    result = CrossModalRetriever(FakeClient(response)).ingest_batch([{"embedding": [1.0]}])
    assert result == [] and result is not response.get("episode_ids")


def test_ingest_batch_returns_the_ids_list_itself():
    ids = ["x", None]
    assert CrossModalRetriever(FakeClient({"episode_ids": ids})).ingest_batch([{}, {}]) is ids


@pytest.mark.parametrize("ids, name", [("abc", "str"), ({"a": 1}, "dict"), (("a",), "tuple"), (5, "int")])
def test_ingest_batch_ids_must_be_a_list(ids, name):
    with pytest.raises(TypeError, match=rf"^Expected list, got {name}$"):
        CrossModalRetriever(FakeClient({"episode_ids": ids})).ingest_batch([])


@pytest.mark.parametrize(
    "items, error",
    [
        ([{"embedding": [1.0]}, {"embedding": "abc"}], ValueError),
        ([{"embedding": [[1.0, 2.0], [3.0]]}], ValueError),
        ([{"embedding": [1.0]}, 3], AttributeError),
        ([None], AttributeError),
    ],
)
def test_ingest_batch_fails_before_any_request(items, error):
    client = FakeClient({"episode_ids": []})
    with pytest.raises(error):
        CrossModalRetriever(client).ingest_batch(items)
    assert client.calls == []


def test_ingest_batch_non_mapping_item_message():
    with pytest.raises(AttributeError, match=r"^'int' object has no attribute 'get'$"):
        CrossModalRetriever(FakeClient()).ingest_batch([3])


# -- retrieve ------------------------------------------------------------------


@pytest.mark.parametrize("k, sent", [(None, 10), (3, 3), (3.7, 3), (-2.9, -2), (True, 1), (np.int64(4), 4)])
def test_retrieve_body(k, sent):
    client = FakeClient({"results": []})
    r = CrossModalRetriever(client)
    r.retrieve(np.zeros((1, 2)), device_id="d") if k is None else r.retrieve(np.zeros((1, 2)), "d", k)
    path, body = client.body
    assert path == "/qx/query"
    assert list(body.items()) == [("device_id", "d"), ("embedding", [0.0, 0.0]), ("k", sent)]
    assert type(body["k"]) is int


def test_retrieve_results():
    hits = [{"id": "a", "score": 0.9}]
    assert CrossModalRetriever(FakeClient({"results": hits})).retrieve([1.0]) is hits
    assert CrossModalRetriever(FakeClient({})).retrieve([1.0]) == []
    assert CrossModalRetriever(FakeClient({"results": None})).retrieve([1.0]) is None
    with pytest.raises(TypeError, match=r"^Expected list, got dict$"):
        CrossModalRetriever(FakeClient({"results": {}})).retrieve([1.0])


@pytest.mark.parametrize("k", ["3", None, [1], 1j])
def test_retrieve_k_must_be_a_number(k):
    client = FakeClient()
    with pytest.raises(TypeError) as e:
        CrossModalRetriever(client).retrieve([1.0], k=k)
    assert str(e.value) == f"Argument 'k' has incorrect type (expected int, got {type(k).__name__})"
    assert client.calls == []


# -- argument checks -----------------------------------------------------------


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.ingest([1.0], device_id=5), "Argument 'device_id' has incorrect type (expected str, got int)"),
        (lambda r: r.ingest([1.0], StrSub("x")), "Argument 'device_id' has incorrect type (expected str, got StrSub)"),
        (lambda r: r.ingest([1.0], None, []), "Argument 'metadata' has incorrect type (expected dict, got list)"),
        (lambda r: r.ingest_batch(({},)), "Argument 'items' has incorrect type (expected list, got tuple)"),
        (lambda r: r.ingest_batch([], b"d"), "Argument 'device_id' has incorrect type (expected str, got bytes)"),
        (lambda r: r.retrieve([1.0], 1), "Argument 'device_id' has incorrect type (expected str, got int)"),
        (lambda r: r._post(b"/qx/query", {}), "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda r: r._post("/qx/query", []), "Argument 'payload' has incorrect type (expected dict, got list)"),
        (lambda r: r.ingest(), "ingest() takes at least 2 positional arguments (1 given)"),
        (lambda r: r.ingest(1, None, None, 4), "ingest() takes at most 4 positional arguments (5 given)"),
        (lambda r: r.ingest_batch(), "ingest_batch() takes at least 2 positional arguments (1 given)"),
        (lambda r: r.retrieve([1.0], kk=3), "retrieve() got an unexpected keyword argument 'kk'"),
        (lambda r: r._post("/qx/query"), "_post() takes exactly 3 positional arguments (2 given)"),
        (lambda r: CrossModalRetriever(), "__init__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    client = FakeClient()
    with pytest.raises(TypeError) as e:
        call(CrossModalRetriever(client))
    assert str(e.value) == message
    assert client.calls == []


@pytest.mark.parametrize("embedding", ["abc", [[1.0, 2.0], [3.0]], {"a": 1}, [1.0, "x"]])
def test_unconvertible_embedding_fails_before_the_request(embedding):
    client = FakeClient()
    with pytest.raises((ValueError, TypeError)):
        CrossModalRetriever(client).ingest(embedding)
    assert client.calls == []


# -- _post and the 404 translation ---------------------------------------------


@pytest.mark.parametrize("status", [404, "404", np.int64(404)])
@pytest.mark.parametrize(
    "call, path",
    [
        (lambda r: r.ingest([1.0]), "/qx/ingest"),
        (lambda r: r.ingest_batch([]), "/qx/ingest"),
        (lambda r: r.retrieve([1.0]), "/qx/query"),
    ],
)
def test_404_becomes_retrieval_not_available(status, call, path):
    error = StatusError(status)
    with pytest.raises(RetrievalNotAvailable) as e:
        call(CrossModalRetriever(FakeClient(error=error)))
    assert str(e.value) == NOT_AVAILABLE.format(path)
    assert e.value.__cause__ is error and e.value.__context__ is error and e.value.__suppress_context__


@pytest.mark.parametrize(
    "error",
    [
        StatusError(500),
        StatusError(404.0),
        StatusError(None),
        StatusError(" 404"),
        ValueError("no status"),
        ResolverError("boom", 401),
    ],
)
def test_other_errors_propagate_unchanged(error):
    with pytest.raises(type(error)) as e:
        CrossModalRetriever(FakeClient(error=error)).retrieve([1.0])
    assert e.value is error and e.value.__cause__ is None and e.value.__context__ is None


def test_interrupts_are_not_examined():
    class Probe(KeyboardInterrupt):
        @property
        def status_code(self):
            raise AssertionError("examined")

    with pytest.raises(Probe):
        CrossModalRetriever(FakeClient(error=Probe())).ingest([1.0])


def test_error_while_reading_the_status_is_chained():
    class Broken(Exception):
        @property
        def status_code(self):
            raise LookupError("no status here")

    original = Broken()
    with pytest.raises(LookupError) as e:
        CrossModalRetriever(FakeClient(error=original)).ingest([1.0])
    assert e.value.__context__ is original


def test_handled_exception_is_restored():
    import sys

    r = CrossModalRetriever(FakeClient(error=StatusError(404)))
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(RetrievalNotAvailable):
            r.ingest([1.0])
        assert sys.exc_info()[1] is outer


@pytest.mark.parametrize("response, name", [([], "list"), ("{}", "str"), (1, "int")])
def test_post_requires_a_mapping_or_none(response, name):
    r = CrossModalRetriever(FakeClient(response))
    with pytest.raises(TypeError, match=rf"^Expected dict, got {name}$"):
        r._post("/qx/query", {"k": 1})


def test_post_passes_the_body_and_returns_the_answer():
    answer = {"anything": [1]}
    client = FakeClient(answer)
    payload = {"b": 1, "a": 2}
    assert CrossModalRetriever(client)._post("/x", payload) is answer
    ((args, kwargs),) = client.calls
    assert args == ("POST", "/x") and kwargs["json"] is payload


def test_null_response_fails_when_its_field_is_read():
    client = FakeClient()
    client.response = None
    r = CrossModalRetriever(client)
    assert r._post("/qx/ingest", {}) is None
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'get'$"):
        r.ingest([1.0])


# -- the object ----------------------------------------------------------------


def test_brain_is_a_plain_attribute_and_post_can_be_overridden():
    first, second = FakeClient({"id": "1"}), FakeClient({"id": "2"})
    r = CrossModalRetriever(first)
    assert r.brain is first
    r.brain = second
    assert r.ingest([1.0]) == "2" and first.calls == []

    class Logged(CrossModalRetriever):
        def _post(self, path, payload):
            self.seen = path
            return {"results": [path]}

    log = Logged(first)
    assert log.retrieve([1.0]) == ["/qx/query"] and log.seen == "/qx/query"
    del r.brain
    with pytest.raises(AttributeError, match="brain"):
        r.ingest([1.0])


# -- against the embedded client -----------------------------------------------


def test_embedded_client_round_trip():
    client = Brenlow(device_id="dev-e")
    r = CrossModalRetriever(client)
    a = np.array([1.0, 0.0, 0.0], dtype=np.float32)
    first = r.ingest(a, metadata={"tag": "a"})
    assert isinstance(first, str) and first
    ids = r.ingest_batch([{"embedding": [0.0, 1.0, 0.0], "metadata": {"tag": "b"}}, {"metadata": {"tag": "none"}}])
    assert len(ids) == 2 and isinstance(ids[0], str) and ids[1] is None
    hits = r.retrieve(a, k=2)
    assert [h["id"] for h in hits] == [first, ids[0]]
    assert hits[0]["metadata"] == {"tag": "a"}
    assert r.retrieve(a, device_id="someone-else") == []


def test_embedded_client_without_vector_endpoints():
    r = CrossModalRetriever(Brenlow(resolver=EmbeddedResolver(vectors=False)))
    for call, path in [(lambda: r.ingest([1.0]), "/qx/ingest"), (lambda: r.retrieve([1.0]), "/qx/query")]:
        with pytest.raises(RetrievalNotAvailable) as e:
            call()
        assert str(e.value) == NOT_AVAILABLE.format(path)
        assert isinstance(e.value.__cause__, ResolverError) and e.value.__cause__.status_code == 404


def test_embedded_client_other_errors_pass_through():
    # The embedded resolver refuses an ingest without an embedding (422).
    r = CrossModalRetriever(Brenlow())
    with pytest.raises(ResolverError) as e:
        r._post("/qx/ingest", {"device_id": "d"})
    assert e.value.status_code == 422


def test_exception_class():
    assert RetrievalNotAvailable.__bases__ == (Exception,)
    assert RetrievalNotAvailable.__module__ == "orvane.qx.retrieval"
    assert str(RetrievalNotAvailable("m")) == "m"
