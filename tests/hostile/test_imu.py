"""Hostile input for IMUEncoder, _to_tensor and encode (see support.py).
A forward pass costs a good fraction of a second on a busy machine, so the
cases that run the network are few; _to_tensor gets the broad search."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from .support import (
    FEW,
    HOSTILE,
    Boom,
    ListSub,
    Mutator,
    RaisingFloat,
    StrSub,
    build_value,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    value_specs,
)

np = pytest.importorskip("numpy")

# NumPy's own warnings for the odd values fed to it (complex to real, float32
# overflow) are part of its conversion, not something to report here.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Casting complex values:Warning", "ignore:overflow encountered:RuntimeWarning"
)
torch = pytest.importorskip("torch")
imu = pytest.importorskip("orvane.qx.encoders.imu")

CONVERSION = (TypeError, ValueError, OverflowError, RuntimeError, Boom)


@pytest.fixture(scope="module")
def encoder():
    torch.manual_seed(0)
    return imu.IMUEncoder()


@pytest.fixture(scope="module")
def reference(encoder):
    window = np.linspace(-1.0, 1.0, 6 * 16, dtype=np.float32).reshape(6, 16)
    return window, encoder.encode(window)


def check_usable(encoder, reference):
    window, expected = reference
    assert encoder.weights_loaded is False
    assert not encoder._model.training
    assert np.array_equal(encoder.encode(window), expected)


def raw_from(spec, mutators):
    kind, v = spec
    if kind == "rows":
        rows = [[build_value(x, mutators) for x in row] for row in v]
        for m in mutators:
            m.target = rows[0] if rows else None
        return rows
    if kind == "array":
        dtype, shape = v
        return (np.arange(int(np.prod(shape))) % 5).astype(dtype).reshape(shape)
    return v


shapes = st.sampled_from([(6, 4), (4, 6), (6, 6), (6,), (6, 0), (0, 6), (1, 6, 4), (5, 7), (6, 1), ()])
raw_specs = st.one_of(
    st.tuples(st.sampled_from(["float32", "float64", "int8", "bool", "object", "complex64", "uint64"]), shapes).map(
        lambda v: ("array", v)
    ),
    st.lists(st.lists(value_specs, min_size=1, max_size=4), min_size=1, max_size=7).map(lambda v: ("rows", v)),
    st.sampled_from(
        [
            None,
            "abc",
            3.0,
            10**400,
            [[1.0] * 4] * 5 + [[1.0] * 3],
            ListSub([[1.0] * 4] * 6),
            {"a": 1},
            np.ones((4, 6), np.float32).T,
            np.ones((6, 8), np.float32)[:, ::2],
            np.ones((6, 4), ">f4"),
        ]
    ).map(lambda v: ("plain", v)),
)


@HOSTILE
@given(raw_specs)
def test_to_tensor_hostile(encoder, reference, spec):
    mutators: list = []
    raw = raw_from(spec, mutators)
    ok, out = expect(CONVERSION, encoder._to_tensor, raw)
    if ok:
        assert isinstance(out, torch.Tensor) and out.dtype == torch.float32
        assert out.dim() == 3 and out.shape[0] == 1 and out.shape[1] == 6
    elif isinstance(out, ValueError) and str(out).startswith("Expected"):
        assert str(out).startswith(
            ("Expected 2D [T,6] or [6,T] array, got shape=", "Expected a channel dimension of 6, got shape=")
        )


@settings(FEW, max_examples=max(6, FEW.max_examples // 10))
@given(raw_specs)
def test_encode_hostile(encoder, reference, spec):
    mutators: list = []
    raw = raw_from(spec, mutators)
    ok, out = expect(CONVERSION, encoder.encode, raw)
    if ok:
        assert isinstance(out, np.ndarray) and out.dtype == np.float32 and out.shape == (256,)
    check_usable(encoder, reference)


@pytest.mark.parametrize(
    "raw",
    [
        [[1.0, RaisingFloat()] * 2] * 6,
        np.full((6, 8), np.nan, np.float32),
        np.full((6, 8), 1e39),
        np.ones((6, 0), np.float32),
        "mutating",
    ],
)
def test_encode_odd_windows(encoder, reference, raw):
    if isinstance(raw, str):
        m = Mutator("clear")
        row = [1.0, m, 2.0, 3.0]
        m.target = row
        raw = [list(row) for _ in range(5)] + [row]
    ok, out = expect(CONVERSION, encoder.encode, raw)
    if ok:
        assert out.shape == (256,) and out.dtype == np.float32
    check_usable(encoder, reference)


@FEW
@given(st.one_of(hostile_args, st.sampled_from(["", "/nonexistent/x.pt", "\0", "/etc/hostname", "/tmp", "é\ud800"])))
def test_load_checkpoint_hostile_path(encoder, reference, path):
    before = encoder.weights_loaded
    # The loader's own error for whatever the file holds; TypeError for a path
    # that is not exactly text.
    ok, out = expect((Exception,), encoder.load_checkpoint, path)
    assert not ok
    if type(path) is not str:
        assert type(out) is TypeError and "Argument 'path' has incorrect type (expected str, got " in str(out)
    assert encoder.weights_loaded is before
    check_usable(encoder, reference)


@pytest.mark.parametrize(
    "state", ["truncated", "missing_key", "wrong_shape", "not_a_dict", "extra_key", "foreign_state"]
)
def test_load_checkpoint_hostile_files(encoder, reference, tmp_path, state):
    good = encoder._model.state_dict()
    path = tmp_path / "ckpt.pt"
    if state == "truncated":
        torch.save(good, path)
        path.write_bytes(path.read_bytes()[:100])
    elif state == "missing_key":
        sd = dict(good)
        sd.pop(next(iter(sd)))
        torch.save(sd, path)
    elif state == "wrong_shape":
        sd = dict(good)
        key = next(iter(sd))
        sd[key] = torch.zeros(3)
        torch.save(sd, path)
    elif state == "not_a_dict":
        torch.save([1, 2, 3], path)
    elif state == "extra_key":
        sd = dict(good)
        sd["unexpected"] = torch.zeros(1)
        torch.save({"model_state_dict": sd}, path)
    else:
        torch.save({"model_state_dict": {"x": torch.zeros(1)}}, path)
    with pytest.raises(Exception):
        encoder.load_checkpoint(str(path))
    assert encoder.weights_loaded is False
    check_usable(encoder, reference)


@pytest.mark.parametrize(
    "args,kwargs",
    [
        ((None, None), {}),
        ((StrSub("x"),), {}),
        ((), {"device": 5}),
        ((b"x",), {}),
        ((1, "cpu"), {}),
        ((), {"device": "bogus"}),
    ],
)
def test_constructor_hostile_arguments(args, kwargs):
    with pytest.raises((TypeError, RuntimeError)):
        imu.IMUEncoder(*args, **kwargs)


def test_imu_bad_calls(encoder, reference):
    check_refuses_bad_calls(imu.IMUEncoder, 0, ("checkpoint_path", "device"))
    check_refuses_bad_calls(encoder.encode, 1, ("raw",))
    check_refuses_bad_calls(encoder._to_tensor, 1, ("raw",))
    check_refuses_bad_calls(encoder.load_checkpoint, 1, ("path",))
    check_usable(encoder, reference)
