"""Leak-check cases, one block per module. Registered through leak_check.case."""

from leak_check import case, raising

from orvane.brenlow import provisioner

# --- provisioner -------------------------------------------------------------
_ID = "  pump-7  "
_LONG = "x" * 300


@case("provisioner.ensure_device_id(given)", _ID)
def _():
    provisioner.ensure_device_id(_ID)


@case("provisioner.ensure_device_id(long)", _LONG)
def _():
    provisioner.ensure_device_id(_LONG)


@case("provisioner.ensure_device_id(None)")
def _():
    provisioner.ensure_device_id(None)


_BAD = [1]


@case("provisioner.ensure_device_id(wrong type)", _BAD)
def _():
    raising(lambda: provisioner.ensure_device_id(_BAD), TypeError)()


@case("provisioner.ensure_device_id(bad keyword)", _ID)
def _():
    raising(lambda: provisioner.ensure_device_id(_ID, device_id=_ID), TypeError)()
