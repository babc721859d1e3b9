"""Hostile input, shared support: the objects that misbehave, the hypothesis
strategies that build payloads from them, and the checks every entry point
goes through. The test modules of this package import these.

The rule under test: whatever Python object a caller passes, an entry point
either returns or raises one of the exceptions its contract allows (or the
one a user's own special method raised, unchanged); it never crashes, never
hangs, and the object it was called on keeps working afterwards.
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st


# Every hostile test runs under these settings: a few dozen examples each keeps
# all the hostile files well under a minute on two cores. A longer search
# (say under tools/test-sanitized) sets ORVANE_HOSTILE_EXAMPLES.
EXAMPLES = int(os.environ.get("ORVANE_HOSTILE_EXAMPLES", "60"))
HOSTILE = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
FEW = settings(HOSTILE, max_examples=max(15, EXAMPLES // 4))


class Boom(Exception):
    """Raised by the hostile special methods below; must come out unchanged."""


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class RaisingFloat:
    """__float__ raises Boom."""

    def __float__(self):
        raise Boom("float")


class RaisingIndex:
    """__index__ raises Boom (float() falls back to __index__)."""

    def __index__(self):
        raise Boom("index")


class ValueErrorFloat:
    """__float__ raises ValueError: a conversion failure like any other."""

    def __float__(self):
        raise ValueError("no number here")


class WrongFloat:
    """__float__ returns a text: the host's TypeError."""

    def __float__(self):
        return "1.0"


class RaisingStr:
    """str() raises Boom; float() fails with TypeError."""

    def __str__(self):
        raise Boom("str")

    __repr__ = __str__


class FalsyRaising:
    """Truth test raises Boom."""

    def __bool__(self):
        raise Boom("bool")


class Mutator:
    """A number whose conversion changes the container being read.

    `target` is bound after the container is built. Modes: "clear" empties it,
    "grow" adds entries, "shrink" drops one, "replace" rebinds every value (so
    that the values being read lose their last reference).
    """

    def __init__(self, mode: str, value: float = 1.5):
        self.mode = mode
        self.value = value
        self.target = None
        self.calls = 0

    def _mutate(self):
        self.calls += 1
        t = self.target
        if t is None or self.calls > 3:
            return
        if isinstance(t, dict):
            if self.mode == "clear":
                t.clear()
            elif self.mode == "grow":
                for i in range(40):
                    t[f"grown_{self.calls}_{i}"] = float(i)
            elif self.mode == "shrink" and t:
                t.pop(next(iter(t)))
            elif self.mode == "replace":
                for k in list(t):
                    t[k] = [object()]  # unconvertible, and the old value is released
        elif isinstance(t, list):
            if self.mode == "clear":
                t.clear()
            elif self.mode == "grow":
                t.extend(range(40))
            elif self.mode == "shrink" and t:
                t.pop()
            elif self.mode == "replace":
                t[:] = [object() for _ in t]

    def __float__(self):
        self._mutate()
        return self.value

    def __index__(self):
        self._mutate()
        return int(self.value)

    def __str__(self):
        self._mutate()
        return "mutator"

    __repr__ = __str__


# Keys that misbehave once inside a payload. Their hash equals that of a name
# the modules look up, so that a lookup of that name compares against them.
class EvilEqKey:
    """Hashes like `twin`; __eq__ raises Boom."""

    def __init__(self, twin: str):
        self.twin = twin

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        if other is self:
            return True
        raise Boom("eq")

    def __str__(self):
        return f"evil<{self.twin}>"


class ArmedHashKey:
    """Hashes normally until `armed`, then __hash__ raises Boom."""

    armed = False

    def __init__(self, name: str):
        self.name = name

    def __hash__(self):
        if ArmedHashKey.armed:
            raise Boom("hash")
        return hash(self.name)

    def __eq__(self, other):
        return other is self

    def __str__(self):
        return self.name


class TwinStrKey(str):
    """A str subclass whose __eq__ raises: looks like text, is not exactly text."""

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__


# True under tools/test-sanitized.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# AddressSanitizer aborts on an allocation it cannot serve unless told to
# fail it (allocator_may_return_null=1), where the normal build raises
# MemoryError: such runs keep sizes allocatable.
ALLOCATION_ABORTS = SANITIZED and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", "")


def allocatable(value):
    """`value`, or a small size in its place where an allocation of that many
    elements would abort the sanitized run."""
    if not ALLOCATION_ABORTS:
        return value
    size = value
    if isinstance(value, (str, bytes, bytearray)):
        try:
            size = int(value)  # int() takes numeric text, as a size argument does
        except ValueError:
            return value
    if isinstance(size, (int, float)) and 2**24 < abs(size) < 2**64:
        return 7
    return value


USER_ERRORS = (Boom,)
MUTATION_ERRORS = (RuntimeError,)

LOOKED_UP = [
    "modality_count",
    "nl_text_len",
    "score",
    "outcome",
    "result",
    "metrics",
    "health_label",
    "channels",
    "correlations",
    "count",
    "variance",
    "source_text",
    "source_tags",
    "embedding",
    "id",
    "results",
    "episode_ids",
    "a",
    "temp",
]

# -- strategies -------------------------------------------------------------------

finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
plain_numbers = st.one_of(
    st.floats(width=64),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from(
        [
            10**400,
            -(10**400),
            2**63 - 1,
            -(2**63),
            2**64,
            float("nan"),
            float("inf"),
            float("-inf"),
            -0.0,
            5e-324,
            1.7976931348623157e308,
            True,
            False,
        ]
    ),
)
texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from([" 1_000 ", "nan", "-inf", "Infinity", "1e999", "\ud800", "٣", "", "  ", "0x10", "1__0"]),
)


def _nested(depth: int):
    value: object = 1.0
    for _ in range(depth):
        value = [value]
    return value


def _deep_dict(depth: int):
    value: object = 1.0
    for _ in range(depth):
        value = {"a": value}
    return value


odd_objects = st.sampled_from(
    [
        "raising_float",
        "raising_index",
        "value_error_float",
        "wrong_float",
        "raising_str",
        "falsy_raising",
        "none",
        "list",
        "dict",
        "tuple",
        "bytes",
        "bytearray",
        "complex",
        "object",
        "nested",
        "deep_dict",
        "strsub",
        "intsub",
        "floatsub",
        "listsub",
        "dictsub",
    ]
)


def make_odd(kind: str):
    return {
        "raising_float": RaisingFloat,
        "raising_index": RaisingIndex,
        "value_error_float": ValueErrorFloat,
        "wrong_float": WrongFloat,
        "raising_str": RaisingStr,
        "falsy_raising": FalsyRaising,
        "none": lambda: None,
        "list": lambda: [1.0, "x"],
        "dict": lambda: {"x": 1.0},
        "tuple": lambda: (1.0,),
        "bytes": lambda: b"2.5",
        "bytearray": lambda: bytearray(b" 7 "),
        "complex": lambda: 1j,
        "object": object,
        "nested": lambda: _nested(200),
        "deep_dict": lambda: _deep_dict(200),
        "strsub": lambda: StrSub("3.5"),
        "intsub": lambda: IntSub(7),
        "floatsub": lambda: FloatSub(2.5),
        "listsub": lambda: ListSub([1.0]),
        "dictsub": lambda: DictSub(a=1.0),
    }[kind]()


MUTATIONS = ["clear", "grow", "shrink", "replace"]

# A value spec is drawn as data and turned into objects by `build_payload`, so
# that mutators can be bound to the very dict they belong to.
value_specs = st.one_of(
    plain_numbers.map(lambda v: ("plain", v)),
    texts.map(lambda v: ("plain", v)),
    odd_objects.map(lambda k: ("odd", k)),
    st.sampled_from(MUTATIONS).map(lambda m: ("mutate", m)),
)
key_specs = st.one_of(
    st.text(max_size=8).map(lambda k: ("plain", k)),
    st.text(st.characters(exclude_categories=()), max_size=4).map(lambda k: ("plain", k)),  # lone surrogates
    st.sampled_from(LOOKED_UP).map(lambda k: ("plain", k)),
    st.integers(-3, 3).map(lambda k: ("plain", k)),
    st.sampled_from([None, (1, 2), 2.5, float("nan"), b"k"]).map(lambda k: ("plain", k)),
    st.sampled_from(LOOKED_UP).map(lambda k: ("strsub", k)),
    st.sampled_from(LOOKED_UP).map(lambda k: ("evil_eq", k)),
    st.sampled_from(LOOKED_UP).map(lambda k: ("twin", k)),
    st.sampled_from(LOOKED_UP).map(lambda k: ("armed", k)),
)
payload_specs = st.lists(st.tuples(key_specs, value_specs), max_size=8)


def fresh(v):
    """A new object equal to v, so that the payload holds the only reference
    and a conversion that drops it from the payload really frees it."""
    if type(v) is float:
        return v * 1.0
    if type(v) is int:
        return -(-v)
    if type(v) is str and len(v) > 1:
        return v.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    return v


def build_value(spec, mutators):
    tag, v = spec
    if tag == "plain":
        return fresh(v)
    if tag == "odd":
        return make_odd(v)
    m = Mutator(v)
    mutators.append(m)
    return m


def _build_key(spec):
    tag, k = spec
    if tag == "plain":
        return fresh(k)
    if tag == "strsub":
        return StrSub(k)
    if tag == "evil_eq":
        return EvilEqKey(k)
    if tag == "twin":
        return TwinStrKey(k)
    return ArmedHashKey(k)


def build_payload(spec, container=dict):
    """Builds a payload dict from drawn specs; binds every mutator to it."""
    ArmedHashKey.armed = False
    mutators: list = []
    payload = container()
    for kspec, vspec in spec:
        key = _build_key(kspec)
        value = build_value(vspec, mutators)
        try:
            payload[key] = value
        except Boom:  # a TwinStrKey or EvilEqKey colliding while building
            continue
    for m in mutators:
        m.target = payload
    return payload


class armed_keys:
    """Within the block, ArmedHashKey keys refuse to hash."""

    def __enter__(self):
        ArmedHashKey.armed = True

    def __exit__(self, *exc):
        ArmedHashKey.armed = False


hostile_args = st.one_of(
    plain_numbers,
    texts,
    odd_objects.map(make_odd),
    st.sampled_from(MUTATIONS).map(Mutator),
)


def expect(allowed, fn, *args, **kwargs):
    """Calls fn; returns (True, result) or (False, exception) when it raised
    one of `allowed`; anything else fails the test with the exception."""
    try:
        return True, fn(*args, **kwargs)
    except allowed as exc:  # noqa: PERF203
        return False, exc


# Wrong argument counts and keywords: every entry point gets the same battery.
def call_shapes(n_required: int, names: tuple):
    """(args, kwargs) tuples that a function with `n_required` positional
    parameters named `names` must refuse with TypeError."""
    shapes = []
    if n_required:
        shapes.append(((), {}))
        shapes.append(((1,) * (n_required - 1), {}))
    shapes.append(((1,) * (len(names) + 1), {}))
    shapes.append(((), {"no_such_keyword": 1}))
    if names:
        shapes.append(((1,) * max(n_required, 1), {names[0]: 1}))  # given twice
    return shapes


def check_refuses_bad_calls(fn, n_required: int, names: tuple):
    for args, kwargs in call_shapes(n_required, names):
        with pytest.raises(TypeError):
            fn(*args, **kwargs)


class Acts:
    """A number (and text, and comparison operand) whose every use runs
    `fn`: used to change an object's own fields while one of its
    operations is reading them."""

    def __init__(self, fn, value=1.5):
        self.fn = fn
        self.value = value

    def __float__(self):
        self.fn()
        return self.value

    def __index__(self):
        self.fn()
        return int(self.value)

    def __str__(self):
        self.fn()
        return "acts"

    def _cmp(self, other):
        self.fn()
        return False

    __lt__ = __le__ = __gt__ = __ge__ = _cmp

    def __mul__(self, other):
        self.fn()
        return self.value

    __rmul__ = __truediv__ = __rtruediv__ = __mul__
