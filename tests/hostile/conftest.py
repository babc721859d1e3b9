"""Fixtures of the hostile tests."""

import pytest

from .support import ArmedHashKey


@pytest.fixture(scope="module")
def provisioner():
    # Not imported at module level: a missing build skips these tests alone.
    return pytest.importorskip("orvane.brenlow.provisioner")


@pytest.fixture(autouse=True)
def disarmed_keys():
    """No test starts, or leaves the next one, with hash-refusing keys armed."""
    ArmedHashKey.armed = False
    yield
    ArmedHashKey.armed = False
