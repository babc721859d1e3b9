"""Reports calls to C API functions that are deprecated or soft-deprecated
but whose declarations carry no deprecation attribute, so that the compiler
stays silent about them.

Each source in a build's compile_commands.json is preprocessed with that
build's own flags, so a call kept behind a version check for an older
interpreter is not reported, only one that the interpreter built against
would compile. Only lines that come from files under SOURCE_ROOT count.

    python tools/capi_scan.py SOURCE_ROOT BUILD/compile_commands.json

Prints one line per finding (path:line: name is deprecated; use ...) and
exits with 1 when there is any, 0 otherwise.
"""

from __future__ import annotations

import argparse
import json
import re
import shlex
import subprocess
import sys
from collections.abc import Iterable

UNMARKED = {
    "PyErr_Fetch": "PyErr_GetRaisedException",
    "PyErr_Restore": "PyErr_SetRaisedException",
    "PyErr_NormalizeException": "PyErr_GetRaisedException",
    "PyErr_Display": "PyErr_DisplayException",
    "PyEval_GetLocals": "PyEval_GetFrameLocals",
    "PySlice_GetIndicesEx": "PySlice_Unpack and PySlice_AdjustIndices",
    "PyUnicode_READY": "nothing (strings are always ready)",
    "Py_TPFLAGS_HAVE_FINALIZE": "nothing (tp_finalize needs no flag)",
}

_IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
_MARKER = re.compile(r'^# (\d+) "([^"]*)"')


def preprocess_argv(entry: dict) -> list[str]:
    """The entry's compiler command turned into one that preprocesses to
    standard output: the output file and dependency-file options dropped,
    -E added."""
    argv = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out = []
    skip = False
    for a in argv:
        if skip:
            skip = False
        elif a in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
        elif a in ("-c", "-MD", "-MMD") or a.startswith(("-o", "-MT", "-MF", "-MQ")):
            continue
        else:
            out.append(a)
    return out + ["-E"]


def scan_preprocessed(text: str, source_root: str) -> set[tuple[str, int, str]]:
    """(path relative to source_root, line, name) for every unmarked
    deprecated name in preprocessor output, counting only lines that the
    line markers place in files under source_root."""
    root = source_root.rstrip("/") + "/"
    found = set()
    name, line = "", 0
    for raw in text.splitlines():
        m = _MARKER.match(raw)
        if m:
            line, name = int(m.group(1)), m.group(2)
            continue
        if name.startswith(root):
            for word in _IDENT.findall(raw):
                if word in UNMARKED:
                    found.add((name[len(root) :], line, word))
        line += 1
    return found


def scan(source_root: str, entries: Iterable[dict]) -> set[tuple[str, int, str]]:
    found = set()
    for entry in entries:
        text = subprocess.run(
            preprocess_argv(entry), cwd=entry["directory"], check=True, capture_output=True, text=True
        ).stdout
        found |= scan_preprocessed(text, source_root)
    return found


def report(found: Iterable[tuple[str, int, str]]) -> list[str]:
    return [f"{path}:{line}: {word} is deprecated; use {UNMARKED[word]}" for path, line, word in sorted(found)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source_root", help="only files under this folder are reported")
    parser.add_argument("compile_commands", help="the build's compile_commands.json")
    args = parser.parse_args(argv)
    with open(args.compile_commands) as f:
        entries = json.load(f)
    lines = report(scan(args.source_root, entries))
    for text in lines:
        print(text)
    return 1 if lines else 0


if __name__ == "__main__":
    sys.exit(main())
