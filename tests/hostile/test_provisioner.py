"""Hostile input to the provisioner."""

import pytest
from hypothesis import given

from .support import HOSTILE, StrSub, check_refuses_bad_calls, expect, hostile_args


@HOSTILE
@given(value=hostile_args)
def test_ensure_device_id_hostile(provisioner, value):
    ok, out = expect((TypeError,), provisioner.ensure_device_id, value)
    if ok:
        assert type(value) is str or value is None
        assert type(out) is str and 0 < len(out) <= 128
    else:
        assert type(value) is not str and value is not None
        assert "Argument 'device_id' has incorrect type (expected str, got " in str(out)
    assert provisioner.ensure_device_id(" pump ") == "pump"


@pytest.mark.parametrize("value", ["\ud800x", "a\x00b", " \x1c\u3000id\u2029 ", "é" * 500, StrSub("x")])
def test_ensure_device_id_odd_text(provisioner, value):
    ok, out = expect((TypeError,), provisioner.ensure_device_id, value)
    if type(value) is StrSub:
        assert not ok
    else:
        assert ok and out == value.strip()[:128]


def test_ensure_device_id_bad_calls(provisioner):
    check_refuses_bad_calls(provisioner.ensure_device_id, 1, ("device_id",))
    with pytest.raises(TypeError):
        provisioner.ensure_device_id(device_id="x", other=1)
    assert provisioner.ensure_device_id(device_id=" x ") == "x"
