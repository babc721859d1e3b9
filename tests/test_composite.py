"""orvane.qx.composite against the NumPy formulation of the same operations."""

import dataclasses
import pickle
import signal
import subprocess
import sys
import threading
import tracemalloc
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane.qx import composite as c
from reference.composite import fuse as ref_fuse, l2 as ref_l2, project as ref_project, stable_seed as ref_seed

F32 = np.float32
TAIL_START = 3.6541528853610087963519472518  # |x| beyond this only comes from the ziggurat tail
ATOL = 2.0**-22  # "the last bits" of a unit-length float32 vector


def assert_close(ours, ref):
    assert ours.dtype == F32 and ours.shape == ref.shape
    np.testing.assert_allclose(ours, ref, rtol=0, atol=ATOL)


def assert_unit_or_zero(v):
    norm = float(np.linalg.norm(v.astype(np.float64)))
    assert norm == 0.0 or abs(norm - 1.0) < 1e-5


# --- seeds -------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, seed",
    [(("imu", 64, 256), 3543557085), (("composite_fused", 256, 1024), 44678330)],
)
def test_known_seeds(args, seed):
    assert c._stable_seed(*args) == seed


@pytest.mark.parametrize(
    "name, a, b",
    [("", 0, 0), ("text", -3, 7), ("ünï/ç☃de", 1, 2), ("x" * 200, 10**30, -(10**25)), ("imu", True, 2)],
)
def test_seed_text_matches_sha1(name, a, b):
    assert c._stable_seed(name, a, b) == ref_seed(name, int(a), int(b))


def test_seed_truncates_numbers_and_checks_types():
    assert c._stable_seed("imu", 64.9, 256.2) == 3543557085
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got bytes\)$"):
        c._stable_seed(b"imu", 64, 256)
    with pytest.raises(TypeError, match=r"^Argument 'in_dim' has incorrect type \(expected int, got str\)$"):
        c._stable_seed("imu", "64", 256)
    with pytest.raises(UnicodeEncodeError):
        c._stable_seed("imu\ud800", 1, 2)


# --- the generator -------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 1, 2, 12345, 44678330, 3543557085, 2**32 - 1])
def test_draws_equal_numpy_bit_for_bit(seed):
    n = 400_000  # about 5,000 wedge tests and 100 tail draws per seed
    ours = c._standard_normal_f32(seed, n)
    ref = np.random.default_rng(seed).standard_normal(n, dtype=F32)
    assert ours.dtype == F32
    mismatch = np.flatnonzero(ours.view(np.uint32) != ref.view(np.uint32))
    assert mismatch.size == 0, f"first mismatch at draw {mismatch[:1]}"
    assert (np.abs(ref) > TAIL_START).any()  # the tail path was taken


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_short_draws(n):
    assert np.array_equal(c._standard_normal_f32(7, n), np.random.default_rng(7).standard_normal(n, dtype=F32))


@pytest.mark.parametrize("seed", [-1, 2**32])
def test_draw_seed_range(seed):
    with pytest.raises(ValueError):
        c._standard_normal_f32(seed, 1)


# --- projection ------------------------------------------------------------------

SHAPES = [
    (1, 1),
    (1, 7),
    (1, 1024),
    (7, 1),
    (300, 1),
    (2, 3),
    (64, 256),
    (3, 1024),
    (513, 2),
    (0, 5),
    (5, 0),
    (1, 0),
    (256, 256),
    (40, 40),
]


@pytest.mark.parametrize("in_dim, out_dim", SHAPES)
@pytest.mark.parametrize("name", ["imu", "text"])
def test_project_matches_numpy(in_dim, out_dim, name):
    vec = np.random.default_rng(in_dim * 1000 + out_dim).standard_normal(in_dim).astype(F32)
    ours = c._project(vec, out_dim, name)
    assert_close(ours, ref_project(vec, out_dim, name))
    assert_unit_or_zero(ours)


@settings(max_examples=40, deadline=None)
@given(
    st.integers(0, 40),
    st.integers(0, 40),
    st.text(max_size=8),
    st.integers(0, 2**31),
)
def test_project_matches_numpy_random(in_dim, out_dim, name, data_seed):
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return
    vec = (np.random.default_rng(data_seed).standard_normal(in_dim) * 10.0).astype(F32)
    assert_close(c._project(vec, out_dim, name), ref_project(vec, out_dim, name))


def test_project_without_matrix_is_exact():
    # Integer values: every sum of squares is exact, so nothing is left to
    # summation order and the results must be identical.
    v = np.arange(-128, 128, dtype=F32)
    assert np.array_equal(c._project(v, 256, "imu"), ref_l2(v))
    b = c.CompositeStateBuilder()
    assert np.array_equal(b.project(v.astype(np.int64), "anything"), ref_l2(v))


@pytest.mark.parametrize(
    "raw",
    [
        np.zeros(64, dtype=F32),
        0.0,
        [0, 0, 0],
        np.zeros((4, 8)),
    ],
)
def test_zero_embeddings_give_zeros(raw):
    out = c.CompositeStateBuilder().project(raw, "imu")
    assert out.dtype == F32 and out.shape == (256,) and not out.any()


def test_scalar_embedding_is_projected_from_length_one():
    out = c.CompositeStateBuilder().project(2.5, "imu")
    assert_close(out, ref_project(np.array([2.5], dtype=F32), 256, "imu"))


def strided_copy(m):
    wide = np.zeros((m.shape[0], 2 * m.shape[1]), dtype=m.dtype)
    wide[:, ::2] = m
    return wide[:, ::2]


@pytest.mark.parametrize(
    "make",
    [
        lambda m: m,
        lambda m: np.asfortranarray(m),
        lambda m: m.tolist(),
        lambda m: m.astype(np.float64),
        lambda m: strided_copy(m),
    ],
    ids=["c-order", "fortran", "list", "float64", "strided"],
)
def test_embedding_is_flattened_row_by_row(make):
    m = np.random.default_rng(3).standard_normal((4, 8)).astype(F32)
    b = c.CompositeStateBuilder()
    expected = ref_project(m.ravel(), 256, "imu")
    assert_close(b.project(make(m), "imu"), expected)


def test_names_select_independent_matrices_and_calls_repeat():
    b = c.CompositeStateBuilder()
    v = np.random.default_rng(1).standard_normal(64).astype(F32)
    first = b.project(v, "imu")
    assert np.array_equal(first, b.project(v, "imu"))
    assert not np.allclose(first, b.project(v, "text"))


def test_projection_is_the_same_in_another_process():
    code = (
        "import numpy as np, sys\n"
        "from orvane.qx.composite import CompositeStateBuilder\n"
        "b = CompositeStateBuilder()\n"
        "v = np.arange(64, dtype=np.float32) / 7\n"
        "sys.stdout.write((b.project(v, 'imu').tobytes() + b.fuse(b.project(v, 'imu')).tobytes()).hex())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    b = c.CompositeStateBuilder()
    v = np.arange(64, dtype=F32) / 7
    assert bytes.fromhex(out) == b.project(v, "imu").tobytes() + b.fuse(b.project(v, "imu")).tobytes()


def test_projection_holds_no_matrix():
    v = np.random.default_rng(5).standard_normal(1024).astype(F32)
    c._project(v, 2048, "imu")  # warm up
    tracemalloc.start()
    try:
        c._project(v, 2048, "imu")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 256 * 1024  # the matrix alone would be 8 MiB


def test_projection_from_threads_agrees():
    v = np.random.default_rng(6).standard_normal(512).astype(F32)
    expected = c._project(v, 1024, "imu")
    results = []

    def work():
        results.extend(c._project(v, 1024, "imu") for _ in range(3))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 12 and all(np.array_equal(r, expected) for r in results)


class Stop(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_long_projection_can_be_interrupted():
    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            c._project(np.ones(40_000, F32), 40_001, "imu")  # 1.6e9 deviates: many seconds
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# --- module helpers ----------------------------------------------------------------


def test_to_np_1d():
    assert c._to_np_1d(3).shape == (1,)
    m = np.arange(32, dtype=F32).reshape(4, 8)
    flat = c._to_np_1d(m)
    assert flat.dtype == F32 and np.array_equal(flat, m.ravel())
    assert np.shares_memory(flat, m)  # a float32 array is used as it is
    assert c._to_np_1d([[1, 2], [3, 4]]).dtype == F32


def test_l2_keeps_shape_and_handles_zeros():
    m = np.array([[3.0, 4.0], [0.0, 0.0]], dtype=F32)
    assert np.array_equal(c._l2(m), ref_l2(m)) and c._l2(m).shape == (2, 2)
    assert not c._l2(np.zeros(5, dtype=F32)).any()
    strided = np.arange(20, dtype=F32)[::2]
    assert np.array_equal(c._l2(strided), ref_l2(strided.copy()))
    wide = np.array([3.0, 4.0])
    assert c._l2(wide).dtype == F32 and np.allclose(c._l2(wide), [0.6, 0.8])


# --- fusion ------------------------------------------------------------------------


def vecs(n, length=256, seed=11):
    rng = np.random.default_rng(seed)
    return [c._project(rng.standard_normal(64).astype(F32), length, f"m{i}") for i in range(n)]


FIELDS = ["w_imu", "w_vision", "w_audio", "w_depth", "w_thermal", "w_text"]


@pytest.mark.parametrize("count", [1, 2, 3, 5, 6])
def test_fuse_projects_other_totals(count):
    cfg = c.CompositeConfig(w_imu=0.5, w_audio=-2.0, w_text=0.1)
    b = c.CompositeStateBuilder(cfg)
    pieces = vecs(count)
    ours = b.fuse(*pieces)
    assert_close(ours, ref_fuse(cfg, list(zip(FIELDS, pieces))))
    assert ours.shape == (1024,)
    assert_unit_or_zero(ours)


def test_fuse_one_modality_uses_the_fused_seed():
    v = vecs(1)[0]
    cfg = c.CompositeConfig()
    out = c.CompositeStateBuilder().fuse(imu_emb=v)
    n = np.random.default_rng(44678330).standard_normal((256, 1024), dtype=F32)
    y = (ref_l2(v).astype(np.float64) @ (n.astype(np.float64) / 16.0)).astype(F32)
    assert_close(out, ref_l2(y))
    assert_close(out, ref_fuse(cfg, [("w_imu", v)]))


def test_fuse_four_modalities_is_exact_without_matrix():
    # Constant blocks keep every norm exact: each block comes out with length 0.5.
    blocks = [np.full(256, k, dtype=F32) for k in (1.0, 2.0, 3.0, 4.0)]
    out = c.CompositeStateBuilder().fuse(*blocks[:2], depth_emb=blocks[3], audio_emb=blocks[2])
    expected = ref_fuse(c.CompositeConfig(), list(zip(FIELDS[:4], blocks)))
    assert np.array_equal(out, expected)
    assert np.allclose([np.linalg.norm(out[i : i + 256]) for i in range(0, 1024, 256)], 0.5)


def test_fuse_orders_pieces_by_modality():
    a, b = vecs(2)
    builder = c.CompositeStateBuilder()
    out = builder.fuse(text_emb=a, imu_emb=b)
    assert np.array_equal(out, builder.fuse(b, None, None, None, None, a))
    assert_close(out, ref_fuse(builder.cfg, [("w_imu", b), ("w_text", a)]))


def test_fuse_weights_zero_negative_and_absent():
    v = np.random.default_rng(2).standard_normal(256).astype(F32)
    # Only the present modalities' weights are read; 0 leaves a zero block.
    cfg = types.SimpleNamespace(fused_dim=512, w_imu=0, w_text=-1)
    out = c.CompositeStateBuilder(cfg).fuse(imu_emb=v, text_emb=v)
    assert not out[:256].any()
    assert_close(out, ref_fuse(cfg, [("w_imu", v), ("w_text", v)]))
    assert_close(out[256:], -ref_l2(v))
    cfg.w_text = "0.1"  # converted with float()
    out = c.CompositeStateBuilder(cfg).fuse(imu_emb=v, text_emb=v)
    assert_close(out, ref_fuse(cfg, [("w_imu", v), ("w_text", v)]))


def test_fuse_nothing_and_zero_pieces():
    builder = c.CompositeStateBuilder(c.CompositeConfig(fused_dim=12))
    out = builder.fuse()
    assert out.dtype == F32 and out.shape == (12,) and not out.any()
    assert not builder.fuse(np.zeros(12, F32)).any()
    builder.cfg.fused_dim = 20  # read at each call
    assert builder.fuse().shape == (20,)


# --- configuration and builder -------------------------------------------------------


def test_config_is_a_dataclass():
    cfg = c.CompositeConfig()
    assert dataclasses.is_dataclass(c.CompositeConfig)
    assert [(f.name, f.type, f.default) for f in dataclasses.fields(cfg)] == [
        ("per_modality_dim", int, 256),
        ("fused_dim", int, 1024),
    ] + [(w, float, 1.0) for w in FIELDS]
    assert repr(c.CompositeConfig(8, w_text=2.0)) == (
        "CompositeConfig(per_modality_dim=8, fused_dim=1024, w_imu=1.0, w_vision=1.0, "
        "w_audio=1.0, w_depth=1.0, w_thermal=1.0, w_text=2.0)"
    )
    assert cfg == c.CompositeConfig() and cfg != c.CompositeConfig(fused_dim=8)
    with pytest.raises(TypeError):
        hash(cfg)
    assert pickle.loads(pickle.dumps(cfg)) == cfg


@pytest.mark.parametrize("given, kept", [(None, False), ({}, False), (0, False), ("cfg", True)])
def test_builder_keeps_only_a_true_cfg(given, kept):
    b = c.CompositeStateBuilder(given)
    if kept:
        assert b.cfg is given
    else:
        assert b.cfg == c.CompositeConfig()
    assert c.CompositeStateBuilder(cfg=c.CompositeConfig(fused_dim=3)).cfg.fused_dim == 3


def test_builder_is_a_plain_class():
    class Sub(c.CompositeStateBuilder):
        pass

    s = Sub(c.CompositeConfig(per_modality_dim=8))
    s.note = "x"
    assert vars(s) == {"cfg": c.CompositeConfig(per_modality_dim=8), "note": "x"}
    assert s.project(np.ones(3), "imu").shape == (8,)


# --- failures --------------------------------------------------------------------------

B = c.CompositeStateBuilder()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: B.project([1.0], None),
            TypeError,
            r"^Argument 'name' has incorrect type \(expected str, got NoneType\)$",
        ),
        (
            lambda: c._project(np.ones(3, F32), "8", "imu"),
            TypeError,
            r"^Argument 'out_dim' has incorrect type \(expected int, got str\)$",
        ),
        (lambda: B.fuse(*[None] * 7), TypeError, r"^fuse\(\) takes at most 7 positional arguments \(8 given\)$"),
        (lambda: B.fuse(sound_emb=1), TypeError, "sound_emb"),
        (
            lambda: c.CompositeStateBuilder(None, None),
            TypeError,
            r"^__init__\(\) takes at most 2 positional arguments \(3 given\)$",
        ),
        (lambda: B.project([[1.0], [2.0, 3.0]], "imu"), ValueError, None),
        (lambda: B.project("abc", "imu"), ValueError, None),
        (lambda: B.project(np.ones(3), "imu\ud800"), UnicodeEncodeError, None),
        (lambda: c._project(np.ones(3, F32), -2, "imu"), ValueError, "negative dimensions"),
        (lambda: B.fuse(np.float32(1.0), np.ones(3)), ValueError, "zero-dimensional"),
        (lambda: c.CompositeStateBuilder(types.SimpleNamespace(w_imu="heavy")).fuse(np.ones(3)), ValueError, None),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_project_refuses_missing_cfg():
    b = c.CompositeStateBuilder()
    del b.cfg
    with pytest.raises(AttributeError):
        b.project([1.0], "imu")
