import re

import pytest

from orvane.brenlow.provisioner import ensure_device_id

FRESH = re.compile(r"device_[0-9a-f]{12}")


@pytest.mark.parametrize("value", [None, "", " ", " \t\n ", "\u2003\u00a0", "\x1c\x1d\x1e\x1f", "\u3000"])
def test_missing_ids_get_a_fresh_one(value):
    first, second = ensure_device_id(value), ensure_device_id(device_id=value)
    assert FRESH.fullmatch(first) and FRESH.fullmatch(second)
    assert first != second


@pytest.mark.parametrize(
    "given, kept",
    [
        ("  pump-7  ", "pump-7"),
        ("\tline 2 / cell A\n", "line 2 / cell A"),
        ("user@example.com:9000/#x?y=1", "user@example.com:9000/#x?y=1"),
        ("\x1cid\u2003", "id"),
        ("Ünïcødé-✓", "Ünïcødé-✓"),
    ],
)
def test_given_ids_are_only_trimmed(given, kept):
    assert ensure_device_id(given) == kept


def test_ids_are_capped_at_128_code_points():
    assert ensure_device_id("x" * 200) == "x" * 128
    exact = "é" * 128
    assert ensure_device_id(exact) == exact
    # the cap counts what is left after trimming, in code points
    assert ensure_device_id("  " + "😀" * 130 + "  ") == "😀" * 128
    assert ensure_device_id(" " + "a" * 127 + " b ") == "a" * 127 + " "


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ensure_device_id(), "ensure_device_id() takes exactly 1 positional argument (0 given)"),
        (lambda: ensure_device_id("a", "b"), "ensure_device_id() takes exactly 1 positional argument (2 given)"),
        (
            lambda: ensure_device_id(device_id="a", name="b"),
            "ensure_device_id() got an unexpected keyword argument 'name'",
        ),
        (
            lambda: ensure_device_id("a", device_id="b"),
            "ensure_device_id() got multiple values for keyword argument 'device_id'",
        ),
        (lambda: ensure_device_id(1), "Argument 'device_id' has incorrect type (expected str, got int)"),
        (lambda: ensure_device_id(b"id"), "Argument 'device_id' has incorrect type (expected str, got bytes)"),
        (lambda: ensure_device_id(Text("id")), "Argument 'device_id' has incorrect type (expected str, got Text)"),
    ],
)
def test_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_module_has_uuid_loaded():
    import orvane.brenlow.provisioner as p
    import uuid

    assert p.uuid is uuid
