"""Hostile input for CompositeStateBuilder and the composite helpers (see
support.py)."""

import hashlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .support import (
    ALLOCATION_ABORTS,
    FEW,
    HOSTILE,
    Boom,
    FalsyRaising,
    IntSub,
    ListSub,
    Mutator,
    RaisingFloat,
    RaisingIndex,
    StrSub,
    build_value,
    allocatable,
    check_refuses_bad_calls,
    expect,
    hostile_args,
    make_odd,
    value_specs,
)

np = pytest.importorskip("numpy")

# NumPy's own warnings for the odd values fed to it (complex to real, float32
# overflow) are part of its conversion, not something to report here.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Casting complex values:Warning", "ignore:overflow encountered:RuntimeWarning"
)
composite = pytest.importorskip("orvane.qx.composite")
Builder = composite.CompositeStateBuilder
Config = composite.CompositeConfig

# numpy's own conversion errors (RuntimeError for a list that changed while
# numpy read it), the host's, the user's, and MemoryError for a dimension no
# machine holds.
ERRORS = (TypeError, ValueError, OverflowError, AttributeError, RuntimeError, MemoryError, Boom)
WEIGHTS = ("w_imu", "w_vision", "w_audio", "w_depth", "w_thermal", "w_text")
MODALITIES = ("imu_emb", "vision_emb", "audio_emb", "depth_emb", "thermal_emb", "text_emb")

# Dimensions: small numbers, the odd ones, and one that cannot be allocated
# (MemoryError), except where AddressSanitizer would abort on the attempt
# instead of failing the allocation.
UNALLOCATABLE = [] if ALLOCATION_ABORTS else [2**45]
dims = st.one_of(
    st.integers(-3, 40),
    st.sampled_from(
        [2.9, "4", None, True, IntSub(6), 10**400, 2**64, float("nan"), float("inf"), 1j, b"3"] + UNALLOCATABLE
    ),
    st.sampled_from([RaisingIndex, RaisingFloat, lambda: Mutator("grow")]).map(lambda make: make()),
)


def embedding_from(spec, mutators):
    kind, payload = spec
    if kind == "list":
        values = [build_value(v, mutators) for v in payload]
        for m in mutators:
            m.target = values
        return values
    if kind == "array":
        dtype, shape = payload
        return (np.arange(int(np.prod(shape))) % 3).astype(dtype).reshape(shape)
    return make_odd(payload) if kind == "odd" else payload


embedding_specs = st.one_of(
    st.lists(value_specs, max_size=6).map(lambda v: ("list", v)),
    st.tuples(
        st.sampled_from(["float32", "float64", "int64", "bool", "complex64", "object", "float16", "uint8"]),
        st.sampled_from([(0,), (1,), (5,), (2, 3), (1, 1, 4), ()]),
    ).map(lambda v: ("array", v)),
    st.sampled_from(["nested", "raising_float", "none", "dict", "strsub", "listsub", "bytes"]).map(
        lambda k: ("odd", k)
    ),
    st.sampled_from([3.5, 10**400, float("nan"), "1.5", "abc", "", [[1.0, 2.0], [3.0]], [[]], np.float32(2.0)]).map(
        lambda v: ("plain", v)
    ),
)


def check_vector(out, length):
    assert isinstance(out, np.ndarray) and out.dtype == np.float32 and out.ndim == 1
    assert out.shape == (length,)
    norm = float(np.linalg.norm(out.astype(np.float64)))
    # Unit length, all zeros, or NaN from NaN input; the 1e-8 added to the
    # divisor leaves a vector of tiny norm a little short of 1.
    assert np.isnan(norm) or 0.0 <= norm <= 1.0 + 1e-4


def check_usable(builder):
    cfg = builder.cfg
    try:
        builder.cfg = Config(per_modality_dim=8, fused_dim=16)
        v = builder.project([1.0, 2.0, 3.0], "imu")
        check_vector(v, 8)
        assert np.array_equal(v, composite._project(composite._to_np_1d([1.0, 2.0, 3.0]), 8, "imu"))
        check_vector(builder.fuse(v, text_emb=v), 16)
    finally:
        builder.cfg = cfg


@HOSTILE
@given(
    embedding_specs,
    st.one_of(
        st.sampled_from(["imu", "text", "", "é" * 100]),
        st.just("\ud800"),
        st.sampled_from([StrSub("imu"), None, 3, b"imu"]),
    ),
    dims,
)
def test_project_hostile(spec, name, dim):
    mutators: list = []
    raw = embedding_from(spec, mutators)
    builder = Builder(Config(per_modality_dim=dim))
    ok, out = expect(ERRORS, builder.project, raw, name)
    if ok:
        check_vector(out, int(dim))
        assert type(name) is str
    elif type(name) is not str:
        assert type(out) is TypeError or isinstance(out, ERRORS)
    check_usable(builder)


@HOSTILE
@given(
    st.lists(st.tuples(st.sampled_from(MODALITIES), embedding_specs), max_size=4, unique_by=lambda t: t[0]),
    st.dictionaries(
        st.sampled_from(WEIGHTS + ("fused_dim",)), st.one_of(dims, hostile_args.map(allocatable)), max_size=3
    ),
)
def test_fuse_hostile(modalities, cfg_values):
    mutators: list = []
    kwargs = {name: embedding_from(spec, mutators) for name, spec in modalities}
    cfg = Config(per_modality_dim=8, fused_dim=12)
    for k, v in cfg_values.items():
        setattr(cfg, k, v)
    builder = Builder(cfg)
    ok, out = expect(ERRORS, builder.fuse, **kwargs)
    if ok:
        check_vector(out, int(cfg.fused_dim))
    check_usable(builder)


@HOSTILE
@given(st.one_of(st.text(max_size=6), st.just("\ud800x")), hostile_args, hostile_args)
def test_stable_seed_against_sha1(name, in_dim, out_dim):
    ok, out = expect(ERRORS, composite._stable_seed, name, in_dim, out_dim)
    if ok:
        text = f"{name}:{int(in_dim)}:{int(out_dim)}"
        assert out == int(hashlib.sha1(text.encode()).hexdigest()[:8], 16)


@HOSTILE
@given(
    st.one_of(st.integers(0, 2**32 - 1), hostile_args), st.one_of(st.integers(-2, 50), hostile_args.map(allocatable))
)
def test_standard_normal_against_numpy(seed, n):
    ok, out = expect(ERRORS, composite._standard_normal_f32, seed, n)
    if ok:
        ref = np.random.default_rng(int(seed)).standard_normal(int(n), dtype=np.float32)
        assert np.array_equal(out, ref)


@HOSTILE
@given(embedding_specs, st.one_of(st.integers(-2, 20), dims), st.sampled_from(["x", "composite_fused", StrSub("x")]))
def test_module_helpers_hostile(spec, out_dim, name):
    mutators: list = []
    raw = embedding_from(spec, mutators)
    ok, vec = expect(ERRORS, composite._to_np_1d, raw)
    if ok:
        assert vec.dtype == np.float32 and vec.ndim == 1
        ok, out = expect(ERRORS, composite._l2, vec)
        if ok:
            assert out.shape == vec.shape and out.dtype == np.float32
        ok, out = expect(ERRORS, composite._project, vec, out_dim, name)
        if ok:
            check_vector(out, int(out_dim))
    ok, _ = expect(ERRORS, composite._l2, raw)
    check_usable(Builder())


@pytest.mark.parametrize("cfg", [None, 0, "", [], Config(), FalsyRaising(), ListSub(), object(), "x"])
def test_builder_config_of_any_kind(cfg):
    ok, builder = expect((Boom,), Builder, cfg)
    if not ok:
        assert isinstance(cfg, FalsyRaising)
        return
    if not cfg:
        assert builder.cfg == Config()
    else:
        assert builder.cfg is cfg
        expect((AttributeError, TypeError, ValueError), builder.project, [1.0], "x")
        expect((AttributeError, TypeError, ValueError), builder.fuse, [1.0])
    check_usable(builder)


class ArrayRaising:
    def __array__(self, dtype=None, copy=None):
        raise Boom("array")


class LenLies:
    def __len__(self):
        return 10**6

    def __getitem__(self, i):
        if i > 2:
            raise IndexError(i)
        return 1.0


@pytest.mark.parametrize(
    "raw",
    [
        ArrayRaising(),
        LenLies(),
        np.ones((3, 4), np.float32)[:, ::2],
        np.ones(8, np.float32)[::-1],
        np.ones(4, ">f4"),
        np.ma.masked_array([1.0, 2.0]),
        memoryview(b"\x00\x00\x80?" * 3).cast("f"),
        range(5),
    ],
)
def test_project_and_fuse_on_odd_array_likes(raw):
    builder = Builder(Config(per_modality_dim=8, fused_dim=12))
    ok, out = expect(ERRORS, builder.project, raw, "imu")
    if ok:
        check_vector(out, 8)
        assert np.array_equal(out, composite._project(np.asarray(raw, np.float32).reshape(-1), 8, "imu"))
    ok, out = expect(ERRORS, builder.fuse, raw)
    if ok:
        check_vector(out, 12)
    check_usable(builder)


def test_composite_bad_calls():
    check_refuses_bad_calls(Builder, 0, ("cfg",))
    builder = Builder()
    check_refuses_bad_calls(builder.project, 2, ("raw_embedding", "name"))
    with pytest.raises(TypeError, match=r"fuse\(\) takes at most 7 positional arguments \(8 given\)"):
        builder.fuse(*([None] * 7))
    with pytest.raises(TypeError):
        builder.fuse(nope=1)
    check_refuses_bad_calls(composite._to_np_1d, 1, ("x",))
    check_refuses_bad_calls(composite._l2, 1, ("v",))
    check_refuses_bad_calls(composite._stable_seed, 3, ("name", "in_dim", "out_dim"))
    check_refuses_bad_calls(composite._project, 3, ("vec", "out_dim", "name"))
    check_usable(builder)


@FEW
@given(hostile_args)
def test_fuse_weight_whose_conversion_changes_the_config(value):
    cfg = Config(per_modality_dim=4, fused_dim=8)
    m = Mutator("grow")
    m.target = cfg.__dict__
    cfg.w_imu = m
    cfg.w_text = value
    builder = Builder(cfg)
    ok, out = expect(ERRORS, builder.fuse, np.ones(4, np.float32), text_emb=np.ones(4, np.float32))
    if ok:
        check_vector(out, 8)
    check_usable(builder)
