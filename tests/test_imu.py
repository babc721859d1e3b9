import dataclasses
import pathlib
import types

import pytest

np = pytest.importorskip("numpy")
torch = pytest.importorskip("torch")
nn = torch.nn
F = torch.nn.functional

from orvane.qx.encoders import imu  # noqa: E402
from orvane.qx.encoders.base import BaseEncoder  # noqa: E402
from orvane.qx.encoders.imu import IMUEncoder, IMUEncoderConfig, _IMUModel, _MSBranch  # noqa: E402
from reference.imu import Model as RefModel  # noqa: E402


def expected_layout(kernels=(8, 32, 128)):
    rows = []
    for i, k in enumerate(kernels):
        p = f"branches.{i}.net."
        rows += [(p + "0.weight", (64, 6, k)), (p + "0.bias", (64,))]
        rows += [(p + "1." + n, (64,)) for n in ("weight", "bias", "running_mean", "running_var")]
        rows.append((p + "1.num_batches_tracked", ()))
    rows += [
        ("to_tokens.weight", (1152, 6144)),
        ("to_tokens.bias", (1152,)),
        ("attn.in_proj_weight", (576, 192)),
        ("attn.in_proj_bias", (576,)),
        ("attn.out_proj.weight", (192, 192)),
        ("attn.out_proj.bias", (192,)),
        ("ln1.weight", (192,)),
        ("ln1.bias", (192,)),
        ("ff.0.weight", (384, 192)),
        ("ff.0.bias", (384,)),
        ("ff.2.weight", (192, 384)),
        ("ff.2.bias", (192,)),
        ("ln2.weight", (192,)),
        ("ln2.bias", (192,)),
        ("proj.0.weight", (512, 192)),
        ("proj.0.bias", (512,)),
        ("proj.1.weight", (512,)),
        ("proj.1.bias", (512,)),
        ("proj.3.weight", (256, 512)),
        ("proj.3.bias", (256,)),
    ]
    return rows


@pytest.fixture(scope="module")
def trained_state():
    """Weights unlike the default start, with batch-norm statistics that matter."""
    gen = torch.Generator().manual_seed(7)
    ref = RefModel(IMUEncoderConfig())
    state = {}
    for key, value in ref.state_dict().items():
        if key.endswith("num_batches_tracked"):
            state[key] = torch.tensor(12, dtype=torch.int64)
        elif key.endswith("running_var"):
            state[key] = torch.rand(value.shape, generator=gen) + 0.5
        elif key.endswith("running_mean"):
            state[key] = torch.randn(value.shape, generator=gen) * 0.1
        else:
            state[key] = value + 0.01 * torch.randn(value.shape, generator=gen)
    return state


@pytest.fixture(scope="module")
def reference(trained_state):
    ref = RefModel(IMUEncoderConfig())
    ref.load_state_dict(trained_state)
    return ref.eval()


@pytest.fixture(scope="module")
def network(trained_state):
    model = _IMUModel(IMUEncoderConfig())
    model.load_state_dict(trained_state)
    return model.eval()


@pytest.fixture(scope="module")
def checkpoint(tmp_path_factory, trained_state):
    path = tmp_path_factory.mktemp("imu") / "bare.pt"
    torch.save(trained_state, path)
    return str(path)


@pytest.fixture(scope="module")
def encoder(checkpoint):
    return IMUEncoder(checkpoint)


def window(t, seed=0):
    return np.random.default_rng(seed).standard_normal((t, 6)).astype(np.float32)


def same_weights(model, state):
    current = model.state_dict()
    return list(current) == list(state) and all(torch.equal(current[k], state[k]) for k in state)


# --- module and configuration ------------------------------------------------


def test_module_binds_its_libraries():
    assert imu.np is np and imu.torch is torch and imu.nn is nn and imu.F is F
    assert imu.dataclass is dataclasses.dataclass and imu.BaseEncoder is BaseEncoder
    from typing import Optional

    assert imu.Optional is Optional
    assert issubclass(_MSBranch, nn.Module) and issubclass(_IMUModel, nn.Module)
    assert issubclass(IMUEncoder, BaseEncoder) and IMUEncoder.name == "imu"


def test_config_is_a_dataclass():
    assert dataclasses.is_dataclass(IMUEncoderConfig)
    fields = [(f.name, f.type, f.default) for f in dataclasses.fields(IMUEncoderConfig)]
    assert fields == [
        ("in_channels", int, 6),
        ("branch_filters", int, 64),
        ("branch_pool_steps", int, 32),
        ("kernels", tuple, (8, 32, 128)),
        ("strides", tuple, (1, 4, 16)),
        ("token_dim", int, 192),
        ("heads", int, 4),
        ("proj_hidden", int, 512),
        ("out_dim", int, 256),
    ]
    c = IMUEncoderConfig(3, 8, out_dim=16)
    assert (c.in_channels, c.branch_filters, c.out_dim, c.heads) == (3, 8, 16, 4)
    assert c == IMUEncoderConfig(3, 8, out_dim=16) and c != IMUEncoderConfig()
    assert repr(IMUEncoderConfig()).startswith("IMUEncoderConfig(in_channels=6, branch_filters=64,")
    c.heads = "not validated"
    assert c.heads == "not validated"
    with pytest.raises(TypeError):
        hash(IMUEncoderConfig())
    assert IMUEncoderConfig.__module__ == "orvane.qx.encoders.imu"


# --- network -------------------------------------------------------------------


def test_state_dict_layout():
    state = _IMUModel(IMUEncoderConfig()).state_dict()
    assert [(k, tuple(v.shape)) for k, v in state.items()] == expected_layout()
    for key, value in state.items():
        assert value.dtype == (torch.int64 if key.endswith("num_batches_tracked") else torch.float32), key


def test_layout_follows_the_config():
    c = IMUEncoderConfig(
        in_channels=3,
        branch_filters=4,
        branch_pool_steps=5,
        kernels=(3, 5),
        strides=(1, 2, 9),
        token_dim=8,
        heads=2,
        proj_hidden=10,
        out_dim=7,
    )
    shapes = {k: tuple(v.shape) for k, v in _IMUModel(c).state_dict().items()}
    assert shapes["branches.1.net.0.weight"] == (4, 3, 5)
    assert "branches.2.net.0.weight" not in shapes
    assert shapes["to_tokens.weight"] == (24, 40)
    assert shapes["attn.in_proj_weight"] == (24, 8)
    assert shapes["proj.3.weight"] == (7, 10)


def test_same_seed_same_initial_weights():
    torch.manual_seed(123)
    ours = _IMUModel(IMUEncoderConfig())
    torch.manual_seed(123)
    ref = RefModel(IMUEncoderConfig())
    assert same_weights(ours, ref.state_dict())


def test_model_keeps_the_config_object():
    c = IMUEncoderConfig()
    assert _IMUModel(c).cfg is c


@pytest.mark.parametrize(
    "missing", [("kernels", "strides"), ("in_channels", "branch_filters", "branch_pool_steps"), ("token_dim", "heads")]
)
def test_config_lacking_fields_names_the_first_one_read(missing):
    # As the reference reads them: the first missing field is the one reported,
    # not one looked up afterwards while its error was still pending.
    fields = {k: v for k, v in dataclasses.asdict(IMUEncoderConfig()).items() if k not in missing}
    for model in (_IMUModel, RefModel):
        with pytest.raises(AttributeError, match=rf"has no attribute '{missing[0]}'$"):
            model(types.SimpleNamespace(**fields))


@pytest.mark.parametrize("batch,t", [(1, 1), (2, 2), (3, 17), (2, 100), (1, 512)])
def test_forward_matches_reference(network, reference, batch, t):
    model = network
    x = torch.from_numpy(np.random.default_rng(t).standard_normal((batch, 6, t)).astype(np.float32))
    with torch.no_grad():
        got, want = model(x), reference(x)
    assert got.shape == (batch, 256)
    torch.testing.assert_close(got, want, atol=1e-5, rtol=0)
    torch.testing.assert_close(got.norm(dim=1), torch.ones(batch), atol=1e-5, rtol=0)


@pytest.mark.parametrize(
    "shape,message",
    [
        ((6, 100), "Expected [B,6,T], got shape=(6, 100)"),
        ((100,), "Expected [B,6,T], got shape=(100,)"),
        ((1, 1, 6, 100), "Expected [B,6,T], got shape=(1, 1, 6, 100)"),
        ((2, 5, 100), "Expected channels=6, got=5"),
    ],
)
def test_forward_shape_errors(network, shape, message):
    with pytest.raises(ValueError) as info:
        network(torch.zeros(shape))
    assert str(info.value) == message


def test_forward_reads_the_config_at_each_call():
    model = _IMUModel(IMUEncoderConfig())
    model.cfg.in_channels = 5
    with pytest.raises(ValueError, match=r"^Expected channels=5, got=6$"):
        model(torch.zeros(1, 6, 10))


def test_branch_arguments():
    a, b = _MSBranch(6, 4, 8.0, 1.9, 32), _MSBranch(6, 4, 8, 1, 32)
    for branch in (a, b):
        conv = branch.net[0]
        assert (conv.kernel_size, conv.stride, conv.padding) == ((8,), (1,), (4,))
        assert isinstance(branch.net[2], nn.ReLU) and branch.net[2].inplace
        assert branch.net[3].output_size == 32
    assert _MSBranch(6, 4, 1, 1, 2).net[0].padding == (0,)
    three = _MSBranch(in_channels=6, out_channels=4, kernel=3, stride=1, pool_steps=2)
    assert three.net[0].padding == (1,)
    assert three.net[0](torch.zeros(1, 6, 11)).shape == (1, 4, 11)
    assert three(torch.zeros(2, 6, 11)).shape == (2, 4, 2)


@pytest.mark.parametrize(
    "args,message",
    [
        ((6, 4, "8", 1, 32), "Argument 'kernel' has incorrect type (expected int, got str)"),
        ((6, None, 8, 1, 32), "Argument 'out_channels' has incorrect type (expected int, got NoneType)"),
        ((6, 4, 8, 1), "__init__() takes exactly 6 positional arguments (5 given)"),
    ],
)
def test_branch_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        _MSBranch(*args)
    assert str(info.value) == message


def test_subclasses_behave_like_modules():
    class Tagged(_IMUModel):
        pass

    model = Tagged(IMUEncoderConfig())
    assert isinstance(model.branches[0], _MSBranch)
    calls = []
    model.register_forward_hook(lambda mod, args, out: calls.append(out.shape))
    model.eval()
    with torch.no_grad():
        model(torch.zeros(1, 6, 20))
    assert calls == [(1, 256)]


# --- encoder -----------------------------------------------------------------


def test_fresh_encoder():
    enc = IMUEncoder()
    assert (enc.weights_loaded, enc.device, enc.name) == (False, "cpu", "imu")
    assert enc.cfg == IMUEncoderConfig() and enc._model.cfg is enc.cfg
    assert not enc._model.training
    out = enc.encode(np.zeros((100, 6), np.float32))
    assert out.shape == (256,) and out.dtype == np.float32
    assert abs(float(np.linalg.norm(out)) - 1.0) < 1e-5
    assert "IMUEncoder" in repr(enc)


@pytest.mark.parametrize("t", [1, 5, 100, 512])
def test_encode_matches_reference_in_both_orientations(encoder, reference, t):
    w = window(t, seed=t)
    with torch.no_grad():
        want = reference(torch.from_numpy(np.ascontiguousarray(w.T))[None])[0].numpy()
    for raw in (w, np.ascontiguousarray(w.T), w.T, w.astype(np.float64), w.tolist()):
        got = encoder.encode(raw)
        assert got.shape == (256,) and got.dtype == np.float32
        np.testing.assert_allclose(got, want, atol=1e-5, rtol=0)


def test_square_window_keeps_rows_as_channels(encoder, reference):
    w = window(6, seed=3)
    with torch.no_grad():
        want = reference(torch.from_numpy(w)[None])[0].numpy()
    np.testing.assert_allclose(encoder.encode(w), want, atol=1e-5, rtol=0)


def test_to_tensor_shares_float32_memory(encoder):
    w = window(50)
    for raw in (w, np.ascontiguousarray(w.T)):
        t = encoder._to_tensor(raw)
        assert t.shape == (1, 6, 50) and t.dtype == torch.float32 and t.device.type == "cpu"
        assert t.data_ptr() == raw.ctypes.data
        raw[0, 0] = 42.0
        assert t[0, 0, 0].item() == 42.0


def test_to_tensor_accepts_reversed_views(encoder):
    w = window(30)
    t = encoder._to_tensor(w[::-1])
    assert torch.equal(t[0], torch.from_numpy(np.ascontiguousarray(w[::-1].T)))
    np.testing.assert_array_equal(encoder.encode(w[::-1]), encoder.encode(w[::-1].copy()))


@pytest.mark.parametrize(
    "raw,message",
    [
        (np.zeros(100), "Expected 2D [T,6] or [6,T] array, got shape=(100,)"),
        (np.zeros((2, 100, 6)), "Expected 2D [T,6] or [6,T] array, got shape=(2, 100, 6)"),
        (3.0, "Expected 2D [T,6] or [6,T] array, got shape=()"),
        (np.zeros((5, 7)), "Expected a channel dimension of 6, got shape=(5, 7)"),
        ([[1.0] * 6] * 0, "Expected 2D [T,6] or [6,T] array, got shape=(0,)"),
    ],
)
def test_encode_shape_errors(encoder, raw, message):
    with pytest.raises(ValueError) as info:
        encoder.encode(raw)
    assert str(info.value) == message
    assert torch.is_grad_enabled()
    assert encoder.encode(window(10)).shape == (256,)


def test_encode_unconvertible_input(encoder):
    with pytest.raises(ValueError):
        encoder.encode([["a"] * 6] * 4)
    with pytest.raises((TypeError, ValueError)):
        encoder.encode(object())


def test_encode_runs_without_gradients_and_restores_the_mode(checkpoint):
    seen = []

    class Recording(IMUEncoder):
        def _to_tensor(self, raw):
            seen.append(torch.is_grad_enabled())
            return super()._to_tensor(raw)

    enc = Recording(checkpoint)
    out = enc.encode(window(20))
    assert seen == [False] and torch.is_grad_enabled()
    with torch.no_grad():
        enc.encode(window(20))
        assert not torch.is_grad_enabled()
    assert out.flags.writeable and out.flags.owndata


@pytest.mark.parametrize(
    "kwargs,message",
    [
        ({"device": None}, "Argument 'device' has incorrect type (expected str, got NoneType)"),
        ({"checkpoint_path": 3}, "Argument 'checkpoint_path' has incorrect type (expected str, got int)"),
        (
            {"checkpoint_path": pathlib.Path("x.pt")},
            "Argument 'checkpoint_path' has incorrect type (expected str, got PosixPath)",
        ),
        ({"device": type("Name", (str,), {})("cpu")}, "Argument 'device' has incorrect type (expected str, got Name)"),
        ({"config": None}, "__init__() got an unexpected keyword argument 'config'"),
    ],
)
def test_constructor_argument_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        IMUEncoder(**kwargs)
    assert str(info.value) == message


def test_constructor_counts_and_empty_path():
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 3 positional arguments \(4 given\)$"):
        IMUEncoder(None, "cpu", 1)
    assert IMUEncoder("", "cpu").weights_loaded is False


def test_unknown_device_fails_in_the_constructor():
    with pytest.raises(RuntimeError):
        IMUEncoder(device="no-such-device")


# --- checkpoints ---------------------------------------------------------------


def test_bare_checkpoint(encoder, trained_state):
    assert encoder.weights_loaded is True
    assert same_weights(encoder._model, trained_state)


def test_training_checkpoint(tmp_path, trained_state):
    path = tmp_path / "train.pt"
    torch.save({"epoch": 4, "model_state_dict": trained_state, "optimizer_state_dict": {"lr": 0.1}}, path)
    enc = IMUEncoder()
    assert enc.load_checkpoint(str(path)) is None
    assert enc.weights_loaded is True and same_weights(enc._model, trained_state)


def test_checkpoint_from_another_device(tmp_path, trained_state, monkeypatch, reference):
    # Tag every stored tensor with an accelerator the test machine lacks.
    path = tmp_path / "accel.pt"
    with monkeypatch.context() as m:
        m.setattr(torch.serialization, "location_tag", lambda storage: "cuda:0")
        torch.save(trained_state, path)
    if not torch.cuda.is_available():
        with pytest.raises(RuntimeError):
            torch.load(path)
    enc = IMUEncoder(str(path))
    assert enc.weights_loaded and same_weights(enc._model, trained_state)
    w = window(40)
    with torch.no_grad():
        want = reference(torch.from_numpy(np.ascontiguousarray(w.T))[None])[0].numpy()
    np.testing.assert_allclose(enc.encode(w), want, atol=1e-5, rtol=0)


def broken_states(state):
    missing = dict(state)
    del missing["ln2.bias"]
    extra = dict(state, **{"head.weight": torch.zeros(1)})
    misshapen = dict(state, **{"proj.3.bias": torch.zeros(255)})
    return {"missing": missing, "extra": extra, "misshapen": misshapen}


@pytest.mark.parametrize("kind,nested", [("missing", False), ("extra", True), ("misshapen", False)])
def test_strict_loading_failure_changes_nothing(tmp_path, trained_state, kind, nested):
    state = broken_states(trained_state)[kind]
    path = tmp_path / "bad.pt"
    torch.save({"model_state_dict": state} if nested else state, path)
    enc = IMUEncoder()
    before = {k: v.clone() for k, v in enc._model.state_dict().items()}
    with pytest.raises(RuntimeError, match="Error\\(s\\) in loading state_dict"):
        enc.load_checkpoint(str(path))
    assert enc.weights_loaded is False
    assert same_weights(enc._model, before)


def test_failed_load_after_a_good_one(tmp_path, checkpoint, trained_state):
    enc = IMUEncoder(checkpoint)
    with pytest.raises(FileNotFoundError):
        enc.load_checkpoint(str(tmp_path / "absent.pt"))
    (tmp_path / "junk.pt").write_bytes(b"not a checkpoint")
    with pytest.raises(Exception):
        enc.load_checkpoint(str(tmp_path / "junk.pt"))
    assert enc.weights_loaded is True and same_weights(enc._model, trained_state)


def test_failing_checkpoint_fails_the_constructor(tmp_path):
    with pytest.raises(FileNotFoundError):
        IMUEncoder(str(tmp_path / "absent.pt"))


@pytest.mark.parametrize("path", [pathlib.Path("x.pt"), None, b"x.pt"])
def test_load_checkpoint_wants_a_str(path):
    enc = IMUEncoder.__new__(IMUEncoder)
    with pytest.raises(TypeError) as info:
        enc.load_checkpoint(path)
    assert str(info.value).startswith("Argument 'path' has incorrect type (expected str, got ")
