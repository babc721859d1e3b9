"""Leak check: every public operation, called many times with ordinary and
with failing inputs, must leave memory and the reference counts of its inputs
where they started.

    python tools/leak_check.py [--calls N] [--only NAME ...]

Each case runs a warm-up, then N calls; the resident set may not grow by more
than a small allowance, and each watched input's reference count must be
unchanged. Prints one line per case and a summary; exits 1 on any failure.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
from typing import Callable, Dict, List, Tuple

# A case: (name, call, objects whose reference counts must not change)
Case = Tuple[str, Callable[[], object], List[object]]
CASES: List[Case] = []


def case(name: str, *watched: object):
    def register(fn: Callable[[], object]) -> Callable[[], object]:
        CASES.append((name, fn, list(watched)))
        return fn

    return register


def raising(fn: Callable[[], object], *errors: type) -> Callable[[], object]:
    """Wraps a call that must fail with one of `errors`."""

    def call() -> object:
        try:
            fn()
        except errors:
            return None
        raise AssertionError("expected an error")

    return call


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


# --- the cases -----------------------------------------------------------------
# Modules register their cases in leak_cases.py files beside this script.


def load_cases() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    # Run as a script, this module is __main__; the cases import it by name.
    sys.modules.setdefault("leak_check", sys.modules[__name__])
    import leak_cases  # noqa: F401  (registers through `case`)


def run(calls: int, only: List[str]) -> int:
    failures = 0
    results: Dict[str, Tuple[int, int]] = {}
    for name, fn, watched in CASES:
        if only and not any(o in name for o in only):
            continue
        for _ in range(max(calls // 20, 100)):
            fn()
        gc.collect()
        before_refs = [sys.getrefcount(o) for o in watched]
        before = rss_kib()
        for _ in range(calls):
            fn()
        gc.collect()
        grown = rss_kib() - before
        after_refs = [sys.getrefcount(o) for o in watched]
        # A leak of even 16 bytes a call shows as calls * 16 bytes; allow a
        # little for the allocator's own bookkeeping.
        allowance = max(512, calls * 2 // 1024)
        ok = grown <= allowance and before_refs == after_refs
        results[name] = (grown, calls)
        status = "ok  " if ok else "FAIL"
        print(f"{status} {name:<55} {calls:>8} calls  rss {grown:+6d} KiB  refs {before_refs} -> {after_refs}")
        failures += not ok
    print(f"{len(results)} cases, {failures} failed; rss now {rss_kib()} KiB")
    return 1 if failures else 0


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=200_000)
    ap.add_argument("--only", nargs="*", default=[])
    args = ap.parse_args()
    load_cases()
    return run(args.calls, args.only)


if __name__ == "__main__":
    sys.exit(main())
