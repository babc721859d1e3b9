"""How the IMU encoder module imports where torch cannot be loaded.

These run in a child interpreter, so they also run where torch is not
installed at all; they need only NumPy and the compiled module.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy")

MESSAGE = "orvane.qx requires the 'qx' extra: pip install orvane[qx]"


def run_child(setup):
    code = textwrap.dedent(setup) + textwrap.dedent(
        """
        try:
            import orvane.qx.encoders.imu
        except BaseException as e:
            cause = e.__cause__
            print(type(e).__name__, repr(str(e)), type(cause).__name__, e.__suppress_context__, sep="|")
        else:
            print("imported")
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=os.environ.copy(), timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip().splitlines()[-1]


@pytest.mark.parametrize(
    "setup,cause",
    [
        # torch not installed
        ("import sys; sys.modules['torch'] = None", "ModuleNotFoundError"),
        # torch present but broken below its top level
        ("import sys, types; sys.modules['torch'] = types.ModuleType('torch')", "ModuleNotFoundError"),
    ],
)
def test_missing_torch_gives_the_install_hint(setup, cause):
    assert run_child(setup) == f"ImportError|{MESSAGE!r}|{cause}|True"


def test_other_import_failures_propagate_unchanged():
    setup = """
        import sys

        class Broken:
            def find_spec(self, name, path=None, target=None):
                if name == "torch":
                    raise RuntimeError("torch is broken")

        sys.modules.pop("torch", None)
        sys.meta_path.insert(0, Broken())
    """
    assert run_child(setup) == "RuntimeError|'torch is broken'|NoneType|False"
