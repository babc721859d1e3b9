"""A real ``orvane serve`` in a child process, on a loopback port of its choosing."""

import os
import signal
import subprocess
import sys

import orvane

# Child processes import the same orvane as this one: the installed package,
# or the source tree of a developer build.
SRC = os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__)))
ENV = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}


def start_server(*extra):
    """Starts ``orvane serve --port 0`` with the extra arguments; returns the process and its URL."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvane", "serve", "--port", "0", "--quiet", *extra],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    line = proc.stdout.readline()
    assert line.startswith("orvane resolver listening on http://127.0.0.1:"), line + proc.stderr.read()
    return proc, line.split()[4]


def stop_server(proc, timeout=30):
    """Stops the server as an operator would (SIGTERM); it must exit cleanly. Returns its output."""
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, err
    return out
