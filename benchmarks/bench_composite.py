"""Speed and memory of orvane.qx.composite against its NumPy formulation.

    python benchmarks/bench_composite.py

Times CompositeStateBuilder.project and .fuse against the same operations
written with NumPy (tests/reference/composite.py, with the same argument checks), in the same run,
and prints median per-call times and their ratio. Then measures the peak extra
memory of one projection from 4096 to 2048 values, each side in a fresh
subprocess:

- tracemalloc peak: NumPy reports its array buffers to tracemalloc, and the
  compiled module takes its scratch memory from PyMem_RawMalloc, which
  tracemalloc also traces; so this is the peak of everything either side
  allocates during the call.
- resident-set peak: /proc/self/clear_refs is written with "5" to reset the
  kernel's high-water mark (VmHWM) to the current resident set, the call is
  made, and VmHWM minus the resident set before the call is reported. This
  catches memory tracemalloc cannot see. Where the reset is not available
  the process's ru_maxrss growth is reported instead.
"""

from __future__ import annotations

import os
import resource
import statistics
import subprocess
import sys
import timeit
import tracemalloc

import numpy as np

from orvane.qx import composite


# --- the NumPy formulation ----------------------------------------------------
# The plain reference the tests hold the module to (tests/reference/composite.py),
# argument checks included.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference.composite import CompositeStateBuilder as NpCompositeStateBuilder  # noqa: E402
from reference.composite import project as np_project  # noqa: E402


# --- timing ------------------------------------------------------------------------


def median_call(fn, number, repeat=7):
    return statistics.median(timeit.repeat(fn, number=number, repeat=repeat)) / number


def compare(label, ours_fn, base_fn, number, target=None):
    a, b = ours_fn(), base_fn()
    assert a.dtype == b.dtype == np.float32 and a.shape == b.shape
    assert np.abs(a - b).max() <= 2.0**-22, "results differ"
    ours = median_call(ours_fn, number)
    base = median_call(base_fn, number)
    ratio = base / ours
    goal = f"  (goal >= {target}x: {'met' if ratio >= target else 'NOT met'})" if target else ""
    print(f"{label:<46} numpy {base * 1e6:9.1f} us  orvane {ours * 1e6:8.1f} us  ratio {ratio:6.1f}x{goal}")
    return ratio


def run_timings():
    rng = np.random.default_rng(0)
    ours, base = composite.CompositeStateBuilder(), NpCompositeStateBuilder()
    e64 = rng.standard_normal(64).astype(np.float32)
    e256 = rng.standard_normal(256).astype(np.float32)
    quad = [rng.standard_normal(256).astype(np.float32) for _ in range(4)]
    compare("project 64 -> 256", lambda: ours.project(e64, "imu"), lambda: base.project(e64, "imu"), 200, 3)
    compare(
        "fuse one 256-value modality -> 1024", lambda: ours.fuse(imu_emb=e256), lambda: base.fuse(imu_emb=e256), 20, 2
    )
    compare(
        "project 256 -> 256 (no matrix)", lambda: ours.project(e256, "imu"), lambda: base.project(e256, "imu"), 2000
    )
    compare("fuse four 256-value modalities (no matrix)", lambda: ours.fuse(*quad), lambda: base.fuse(*quad), 2000)


# --- memory ------------------------------------------------------------------------


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def memory_probe(side):
    """Runs in a fresh subprocess: peak extra memory of one 4096 -> 2048 projection."""
    vec = np.random.default_rng(1).standard_normal(4096).astype(np.float32)
    small = vec[:64].copy()
    if side == "orvane":
        call = lambda v: composite._project(v, 2048, "imu")  # noqa: E731
    else:
        call = lambda v: np_project(v, 2048, "imu")  # noqa: E731
    call(small)  # load code and warm up allocators
    tracemalloc.start()
    call(small)
    tracemalloc.stop()

    tracemalloc.start()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        rss_before = _status_kib("VmRSS")
        how = "VmHWM"
    except OSError:
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        how = "ru_maxrss"
    out = call(vec)
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    if how == "VmHWM":
        rss_peak = _status_kib("VmHWM") - rss_before
    else:
        rss_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
    assert out.shape == (2048,)
    print(f"{traced_peak} {max(rss_peak, 0) * 1024} {how}")


def run_memory():
    results = {}
    for side in ("numpy", "orvane"):
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--memory-probe", side],
            check=True,
            capture_output=True,
            text=True,
            env=os.environ.copy(),
        )
        traced, rss, how = proc.stdout.split()
        results[side] = (int(traced), int(rss), how)
    mib = 1024 * 1024
    for side, (traced, rss, how) in results.items():
        print(
            f"project 4096 -> 2048, peak extra memory, {side:<6}: tracemalloc {traced / mib:8.3f} MiB, "
            f"resident ({how}) {rss / mib:8.3f} MiB"
        )
    traced, rss, _ = results["orvane"]
    worst = max(traced, rss)
    print(f"orvane peak extra memory {worst / mib:.3f} MiB (goal < 1 MiB: {'met' if worst < mib else 'NOT met'})")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--memory-probe":
        memory_probe(sys.argv[2])
    else:
        run_timings()
        run_memory()
