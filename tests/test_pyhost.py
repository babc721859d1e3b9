"""The shared host rules against the interpreter itself."""

import math
import os
import random
import struct
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

from reference.host import neumaier_sum as neumaier

h = pytest.importorskip("orvane._pyhost")

# Each conversion is checked on batches: a list that hypothesis draws (and
# shrinks) plus 100 values spread from a seed it draws, so that 1,000
# examples cover over 100,000 values per conversion.
# ORVANE_HOST_EXAMPLES raises the number of examples for a longer run.
BATCHES = settings(max_examples=int(os.environ.get("ORVANE_HOST_EXAMPLES", "1000")), deadline=None)
SPREAD = 100


def any_double():
    """Every double: bit patterns (NaNs, subnormals, signed zeros) plus floats()."""
    bits = st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0])
    special = st.sampled_from(
        [
            0.0,
            -0.0,
            math.inf,
            -math.inf,
            math.nan,
            5e-324,
            -5e-324,
            2.2250738585072014e-308,
            1.7976931348623157e308,
            1e16,
            1e-4,
            9.999999999999999e15,
            0.0001,
            1e-05,
        ]
    )
    return st.one_of(bits, st.floats(), special, st.floats(-1e6, 1e6))


def double_batches():
    def expand(args):
        drawn, seed = args
        rng = random.Random(seed)
        spread = []
        for _ in range(SPREAD):
            pick = rng.random()
            if pick < 0.6:
                spread.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
            elif pick < 0.8:
                spread.append(rng.uniform(-1e6, 1e6))
            else:
                spread.append(round(rng.uniform(-1e4, 1e4), rng.randint(0, 8)))
        return drawn + spread

    return st.tuples(st.lists(any_double(), max_size=20), st.integers(0, 2**32)).map(expand)


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


@BATCHES
@given(double_batches())
def test_float_repr_matches_repr(values):
    for x in values:
        assert h.float_repr(x) == repr(x) == str(x)


@BATCHES
@given(double_batches(), st.integers(0, 2**32))
def test_round_matches_builtin(values, seed):
    rng = random.Random(seed)
    for x in values:
        n = rng.randint(0, 17)
        assert same_float(h.round_half_even(x, n), round(x, n)), (x, n)


@BATCHES
@given(
    st.lists(st.tuples(st.integers(-(10**6), 10**6), st.integers(0, 5), st.integers(0, 9999)), max_size=20),
    st.integers(0, 2**32),
)
def test_round_halfway_cases_match_builtin(drawn, seed):
    # Texts ending in 5 one place beyond the rounding position: the decision
    # rests on the exact binary value, ties going to the even neighbour.
    rng = random.Random(seed)
    cases = drawn + [(rng.randint(-(10**6), 10**6), rng.randint(0, 5), rng.randint(0, 9999)) for _ in range(SPREAD)]
    for whole, n, frac in cases:
        text = f"{whole}.{str(frac).zfill(4)[:n]}5"
        x = float(text)
        assert same_float(h.round_half_even(x, n), round(x, n)), (text, n)
        assert same_float(h.round_half_even(-x, n), round(-x, n)), (text, n)


def test_round_edges():
    assert h.round_half_even(2.675, 2) == 2.67  # binary value lies below the tie
    assert h.round_half_even(0.125, 2) == 0.12  # exact tie goes to even
    assert h.round_half_even(0.375, 2) == 0.38
    assert math.copysign(1.0, h.round_half_even(-0.00001, 4)) == -1.0
    assert math.isnan(h.round_half_even(math.nan, 3))
    assert h.round_half_even(-math.inf, 3) == -math.inf
    assert h.round_half_even(1.7976931348623157e308, 6) == 1.7976931348623157e308
    assert h.round_half_even(12345.678, -2) == round(12345.678, -2)
    with pytest.raises(OverflowError):
        h.round_half_even(1.7976931348623157e308, -308)


def numeric_texts():
    digits = st.text("0123456789", min_size=1, max_size=12)
    underscored = st.lists(st.text("0123456789", min_size=1, max_size=3), min_size=1, max_size=4).map("_".join)
    mantissa = st.one_of(
        digits,
        underscored,
        st.tuples(digits, digits).map(lambda p: f"{p[0]}.{p[1]}"),
        digits.map(lambda d: f".{d}"),
        digits.map(lambda d: f"{d}."),
    )
    exponent = st.one_of(
        st.just(""),
        st.tuples(st.sampled_from("eE"), st.sampled_from(["", "+", "-"]), st.integers(0, 400)).map(
            lambda t: f"{t[0]}{t[1]}{t[2]}"
        ),
    )
    words = st.sampled_from(["inf", "INF", "Infinity", "iNfInItY", "nan", "NaN", "nAn", "infinit", "na"])
    core = st.one_of(st.tuples(mantissa, exponent).map("".join), words)
    space = st.sampled_from(["", " ", "\t", "\n ", "\u2003", "\x1c"])
    sign = st.sampled_from(["", "+", "-", "--", "+-"])
    junk = st.sampled_from(["", "", "", "_", "x", "__", "1_", " 1", "e", "\u0663"])
    return st.tuples(space, sign, core, junk, space).map("".join)


def outcome(fn, arg):
    try:
        return ("ok", fn(arg))
    except Exception as exc:  # the exception type is part of what must agree
        return ("err", type(exc))


@BATCHES
def spread_text(rng):
    """A numeric-looking text: sign, digits, underscores, point, exponent, words, junk."""

    def digits():
        return "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 8)))

    shape = rng.randrange(6)
    if shape == 0:
        core = digits()
    elif shape == 1:
        core = "_".join(digits() for _ in range(rng.randint(1, 3)))
    elif shape == 2:
        core = f"{digits()}.{digits()}"
    elif shape == 3:
        core = rng.choice([f".{digits()}", f"{digits()}."])
    elif shape == 4:
        core = "".join(
            c.upper() if rng.random() < 0.5 else c for c in rng.choice(["inf", "infinity", "nan", "infinit"])
        )
    else:
        core = "".join(chr(rng.randint(32, 0x2100)) for _ in range(rng.randint(0, 4)))
    if shape < 4 and rng.random() < 0.5:
        core += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 400))

    def space():
        return rng.choice(["", "", " ", "\t", "\u2003", "\x1c"])

    junk = rng.choice(["", "", "", "", "_", "x", "e", "\u0663", "1_"])
    return space() + rng.choice(["", "", "+", "-", "--"]) + core + junk + space()


@BATCHES
@given(st.lists(st.one_of(numeric_texts(), st.text(max_size=8)), max_size=20), st.integers(0, 2**32))
def test_host_float_of_texts_matches_float(drawn, seed):
    rng = random.Random(seed)
    for text in drawn + [spread_text(rng) for _ in range(SPREAD)]:
        got, want = outcome(h.host_float, text), outcome(float, text)
        assert got[0] == want[0], text
        if got[0] == "ok":
            assert same_float(got[1], want[1]), text
        else:
            assert got[1] is want[1], text
        assert (
            outcome(h.host_float, text.encode("utf-8", "surrogatepass"))[0]
            == outcome(float, text.encode("utf-8", "surrogatepass"))[0]
        )


@BATCHES
@given(
    st.lists(st.one_of(st.integers(), st.integers(-(2**1100), 2**1100), st.booleans()), max_size=20), double_batches()
)
def test_host_float_of_numbers_matches_float(numbers, doubles):
    for v in numbers + doubles:
        got, want = outcome(h.host_float, v), outcome(float, v)
        assert got[0] == want[0] and (same_float(got[1], want[1]) if got[0] == "ok" else got[1] is want[1]), v


class WithFloat:
    def __float__(self):
        return 2.5


class WithIndex:
    def __index__(self):
        return 7


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("no")


@pytest.mark.parametrize(
    "value", [WithFloat(), WithIndex(), BadFloat(), None, [], {}, "1.5", b" 2 ", bytearray(b"3"), 10**400, True, 3 + 0j]
)
def test_conversion_protocols_match_interpreter(value):
    got, want = outcome(h.host_float, value), outcome(float, value)
    assert got == want or (got[0] == want[0] == "ok" and same_float(got[1], want[1]))


@pytest.mark.parametrize("value, ok", [(WithFloat(), 2.5), (WithIndex(), 7.0), (True, 1.0), (3, 3.0)])
def test_real_float_reads_numbers(value, ok):
    assert h.real_float(value) == ok


@pytest.mark.parametrize("value", ["1.5", b"2", None, [1.0]])
def test_real_float_refuses_texts_and_others(value):
    with pytest.raises(TypeError):
        h.real_float(value)


@BATCHES
@given(st.lists(any_double(), max_size=60))
def test_compensated_sum_follows_neumaier(values):
    assert same_float(h.compensated_sum(values), neumaier(values))
    if sys.version_info >= (3, 12):
        assert same_float(h.compensated_sum(values), sum(values))


@pytest.mark.parametrize(
    "values, want",
    [
        ([0.1] * 10, 1.0),
        ([1e100, 1.0, -1e100], 1.0),
        ([math.inf, 1.0], math.inf),
        ([math.inf, -math.inf], math.nan),
        ([1.7976931348623157e308, 1.7976931348623157e308, -1.0], math.inf),
        ([-0.0], 0.0),
        ([], 0.0),
    ],
)
def test_compensated_sum_edges(values, want):
    assert same_float(h.compensated_sum(values), want)


# -- argument parsing ---------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: h.probe(), "probe() takes at least 1 positional argument (0 given)"),
        (lambda: h.probe("a", None, None, 1, 2.0, 3), "probe() takes at most 5 positional arguments (6 given)"),
        (lambda: h.probe(mapping={}), "probe() takes at least 1 positional argument (0 given)"),
        (lambda: h.probe("a", colour=1), "probe() got an unexpected keyword argument 'colour'"),
        (lambda: h.probe("a", text="b"), "probe() got multiple values for keyword argument 'text'"),
        (lambda: h.probe(1), "Argument 'text' has incorrect type (expected str, got int)"),
        (lambda: h.probe(type("S", (str,), {})("x")), "Argument 'text' has incorrect type (expected str, got S)"),
        (lambda: h.probe("a", mapping=[]), "Argument 'mapping' has incorrect type (expected dict, got list)"),
        (lambda: h.probe("a", items=()), "Argument 'items' has incorrect type (expected list, got tuple)"),
        (lambda: h.probe("a", count="3"), "Argument 'count' has incorrect type (expected int, got str)"),
        (lambda: h.probe("a", ratio="0.5"), "Argument 'ratio' has incorrect type (expected float, got str)"),
        (lambda: h.probe("a", ratio=None), "Argument 'ratio' has incorrect type (expected float, got NoneType)"),
        (lambda: h.method_probe("t", {}), "observe() takes exactly 4 positional arguments (3 given)"),
        (lambda: h.method_probe("t", {}, 1.0, 2), "observe() takes exactly 4 positional arguments (5 given)"),
        # a missing parameter is reported by its position, as compiled extensions do
        (lambda: h.method_probe("t", confidence=1.0), "observe() takes exactly 4 positional arguments (2 given)"),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_argument_conversions():
    assert h.probe("a") == ("a", None, None, 0, 0.0)
    assert h.probe("a", {"k": 1}, [1], 5.9, 2) == ("a", {"k": 1}, [1], 5, 2.0)
    assert h.probe(ratio=True, count=-2.5, text="t") == ("t", None, None, -2, 1.0)
    assert h.probe("a", None, None, WithIndex(), WithFloat()) == ("a", None, None, 7, 2.5)
    assert h.probe("a", count=10**30)[3] == 10**30
    with pytest.raises(ValueError):
        h.probe("a", count=math.nan)
    assert h.method_probe(payload={}, confidence=0.5, timestamp="t") == ("t", {}, 0.5)


# -- configuration constants ---------------------------------------------------


def test_bind_constants_and_lookup_at_use(tmp_path, monkeypatch):
    import types

    source = types.ModuleType("fake_config")
    source.ALPHA, source.BETA = 1.5, 3
    monkeypatch.setitem(sys.modules, "fake_config", source)
    target = types.ModuleType("target")
    h.bind_constants(target, "fake_config", ["ALPHA", "BETA"])
    assert (target.ALPHA, target.BETA) == (1.5, 3)
    assert h.module_float(target, "ALPHA") == 1.5
    target.ALPHA = "2.25"  # rebinding on the module takes effect at the next use
    assert h.module_float(target, "ALPHA") == 2.25
    del target.ALPHA
    with pytest.raises(NameError, match="name 'ALPHA' is not defined"):
        h.module_float(target, "ALPHA")
    with pytest.raises(ImportError) as info:
        h.bind_constants(types.ModuleType("other"), "fake_config", ["ALPHA", "GAMMA"])
    assert str(info.value) == "cannot import name GAMMA"


# -- the lock ------------------------------------------------------------------


def test_lock_behaves_like_a_plain_lock():
    lock = h.new_lock()
    assert not lock.locked()
    assert lock.acquire() is True
    assert lock.locked()
    assert lock.acquire(False) is False
    assert lock.acquire(blocking=False) is False
    with pytest.raises(RuntimeError, match="already held"):
        lock.acquire()  # re-entry raises instead of hanging
    lock.release()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        lock.release()
    with lock:
        assert lock.locked()
    assert not lock.locked()
    with pytest.raises(ValueError):
        lock.acquire(False, 1.0)
    with pytest.raises(TypeError):
        type(lock)()


def test_lock_waits_without_holding_the_gil():
    lock = h.new_lock()
    lock.acquire()
    got = []

    def contender():
        got.append(lock.acquire(timeout=5))
        lock.release()

    t = threading.Thread(target=contender)
    t.start()
    # The waiting thread must have released the GIL: this thread keeps running
    # Python code while it waits, then lets it in.
    busy = sum(range(10000))
    time.sleep(0.05)
    assert busy and not got
    lock.release()
    t.join(5)
    assert got == [True]
    lock.acquire()
    assert lock.acquire(timeout=0.01) is False
    lock.release()


def test_lock_may_be_released_by_another_thread():
    lock = h.new_lock()
    lock.acquire()
    t = threading.Thread(target=lock.release)
    t.start()
    t.join(5)
    assert not lock.locked()
    assert lock.acquire(timeout=1) is True
    lock.release()


def test_lock_counts_exactly_under_contention():
    lock = h.new_lock()
    counter = [0]

    def work():
        for _ in range(2000):
            with lock:
                v = counter[0]
                counter[0] = v + 1

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert counter[0] == 16000


def test_uuid4_hex_is_random_version4():
    import uuid

    ids = {h.uuid4_hex() for _ in range(1000)}
    assert len(ids) == 1000
    for text in list(ids)[:50]:
        u = uuid.UUID(hex=text)
        assert u.version == 4 and u.variant == uuid.RFC_4122 and u.hex == text
