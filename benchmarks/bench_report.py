"""What ``--report`` costs: ``orvane profile`` of a big CSV and ``orvane demo``, with and without it.

    python benchmarks/bench_report.py [--mb 200] [--csv /tmp/orvane-bench-200mb.csv] [--runs 1]

Writes the CSV (8 channels, about 68 bytes a row) once, outside the
repository, and reuses it on later runs. Prints for each command the median
CPU time and wall time without and with ``--report`` (runs alternate), what
the report added, and the report's size. On a shared machine the CPU times
are the steadier figures.

Recording the lines while profiling is also timed against a plain-Python
recorder of the same behaviour (each cell converted with float(), a min/max
per pixel column), on the same payloads in the same run.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")
sys.path.insert(0, SRC)

CHANNELS = ("temp_c", "pressure_kpa", "flow_lpm", "current_a", "vibration_rms", "supply_v", "mode_level", "drift_walk")


def write_csv(path: str, target_bytes: int, seed: int = 3) -> int:
    """A CSV of plausible readings of at least target_bytes; answers its row count."""
    import numpy as np

    rng = np.random.default_rng(seed)
    rows = 0
    start = 1_767_592_800
    walk = 0.0
    chunk = 100_000
    with open(path + ".part", "w", newline="") as f:
        f.write("timestamp," + ",".join(CHANNELS) + "\n")
        while f.tell() < target_bytes:
            t = np.arange(rows, rows + chunk, dtype=np.float64)
            temp = 55 + 3 * np.sin(2 * np.pi * t / 600) + 1e-6 * t + rng.normal(0, 0.3, chunk)
            press = 300 + 2 * np.sin(2 * np.pi * t / 45) + rng.normal(0, 1.0, chunk)
            flow = 120 + 0.4 * (press - 300) + rng.normal(0, 0.3, chunk)
            current = 12 + 0.5 * np.sin(2 * np.pi * t / 600) + rng.normal(0, 0.05, chunk)
            vib = 0.8 + rng.normal(0, 0.05, chunk)
            spikes = rng.random(chunk) < 2e-5
            vib[spikes] += rng.uniform(2, 6, spikes.sum())
            supply = 24 + rng.normal(0, 0.002, chunk)
            mode = np.floor(((t // 250_000) % 3)) * 10 + rng.normal(0, 0.1, chunk)
            steps = rng.normal(0, 0.05, chunk)
            drift = walk + np.cumsum(steps)
            walk = float(drift[-1])
            cols = [(t + start).astype(np.int64).astype(str)]
            cols += [np.char.mod("%.3f", c) for c in (temp, press, flow, current, vib, supply, mode, drift)]
            lines = [",".join(r) for r in zip(*cols)]
            f.write("\n".join(lines) + "\n")
            rows += chunk
    os.replace(path + ".part", path)
    return rows


def _run(cmd: list) -> tuple:
    """Wall time and CPU time (user + system, all threads) of one run of the command."""
    env = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


class PyEnvelopes:
    """Plain Python: each cell converted with float(), and per column of pixels the min and max of its values."""

    def __init__(self, columns: int = 2048):
        self.columns = columns
        self.width = 1
        self.count = 0
        self.lo: dict = {}
        self.hi: dict = {}

    def add(self, payload: dict) -> None:
        while self.count >= self.width * self.columns:
            for d, pick in ((self.lo, min), (self.hi, max)):
                for name, col in d.items():
                    d[name] = [pick(col[j], col[j + 1]) for j in range(0, self.columns, 2)] + [math.nan] * (
                        self.columns // 2
                    )
            self.width *= 2
        b = self.count // self.width
        for name, cell in payload.items():
            try:
                v = float(cell)
            except ValueError:
                continue
            if not math.isfinite(v):
                continue
            lo = self.lo.get(name)
            if lo is None:
                lo = self.lo[name] = [math.nan] * self.columns
                self.hi[name] = [math.nan] * self.columns
            hi = self.hi[name]
            if not lo[b] <= v:  # NaN (an empty column) compares false
                lo[b] = v
            if not hi[b] >= v:
                hi[b] = v
        self.count += 1


def bench_recording(rows: int = 200_000) -> None:
    """What recording the lines adds to a profile of text payloads: ours against plain Python."""
    from orvane.brenlow.profiler import StatisticalProfiler
    from orvane.report import ProfilerSeries

    rng = random.Random(5)
    payloads = [{c: f"{rng.gauss(50, 3):.3f}" for c in CHANNELS} for _ in range(rows)]

    def bare() -> None:
        p = StatisticalProfiler("b")
        for payload in payloads:
            p.observe(payload)

    def ours() -> None:
        p = StatisticalProfiler("b")
        series = ProfilerSeries(p)
        pending, block = series.payloads, series.block
        for payload in payloads:
            if len(pending) >= block:
                series.collect()
            pending.append(payload)
            p.observe(payload)
        series.collect()
        series.flush()

    def plain() -> None:
        p = StatisticalProfiler("b")
        env = PyEnvelopes()
        for payload in payloads:
            env.add(payload)
            p.observe(payload)

    times: dict = {bare: [], ours: [], plain: []}
    for _ in range(5):
        for fn in times:
            times[fn].append(_once(fn))
    t_bare = statistics.median(times[bare])
    t_ours = statistics.median(times[ours]) - t_bare
    t_base = statistics.median(times[plain]) - t_bare
    cells = rows * len(CHANNELS)
    print(
        f"recording the lines of {rows:,} readings x {len(CHANNELS)} text cells: {t_base / t_ours:5.1f}x faster than "
        f"plain Python ({t_ours * 1e9 / cells:.0f} ns vs {t_base * 1e9 / cells:.0f} ns a cell, on top of "
        f"{t_bare * 1e9 / cells:.0f} ns a cell for the profiler itself)"
    )


def _once(fn) -> float:
    # CPU time of this process: on a shared machine it moves far less with the load than wall time.
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=200.0, help="size of the CSV in MB (10^6 bytes; default 200)")
    parser.add_argument("--csv", help="where the CSV lives (default: in the temporary folder)")
    parser.add_argument("--runs", type=int, default=1, help="runs of each command; the median is printed")
    parser.add_argument("--skip-demo", action="store_true")
    args = parser.parse_args()
    path = args.csv or os.path.join(tempfile.gettempdir(), f"orvane-bench-{args.mb:g}mb.csv")
    target = int(args.mb * 1e6)
    if not os.path.exists(path) or os.path.getsize(path) < target:
        t0 = time.perf_counter()
        rows = write_csv(path, target)
        print(f"wrote {path}: {rows:,} rows, {os.path.getsize(path) / 1e6:.0f} MB in {time.perf_counter() - t0:.0f} s")
    else:
        with open(path, "rb") as f:
            rows = sum(1 for _ in f) - 1
        print(f"using {path}: {rows:,} rows, {os.path.getsize(path) / 1e6:.0f} MB")

    bench_recording()

    out = tempfile.mkdtemp(prefix="orvane-bench-report-")
    py = sys.executable
    cases = [("profile", [py, "-m", "orvane", "profile", path, "--device-id", "bench"])]
    if not args.skip_demo:
        cases.append(("demo", [py, "-m", "orvane", "demo", "--no-progress", "--no-tables"]))
    for name, cmd in cases:
        report = os.path.join(out, f"{name}.html")
        # Runs alternate, so that a change in the machine's load falls on both alike.
        plain, with_report = [], []
        for _ in range(args.runs):
            plain.append(_run(cmd))
            with_report.append(_run(cmd + ["--report", report]))
        size = os.path.getsize(report)
        print(f"orvane {name}: report {size / 1e6:.2f} MB ({report}); medians of {args.runs} runs each")
        for i, what in ((1, "CPU time"), (0, "wall time")):
            p = statistics.median(r[i] for r in plain)
            w = statistics.median(r[i] for r in with_report)
            added = statistics.median(b[i] - a[i] for a, b in zip(plain, with_report))
            print(
                f"  {what:9}: {p:6.1f} s without --report, {w:6.1f} s with it; added {added:+.1f} s (median of the pairs), {w / p:.2f}x"
            )


if __name__ == "__main__":
    main()
