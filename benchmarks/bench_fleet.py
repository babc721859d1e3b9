"""`orvane serve` on PostgreSQL next to `orvane serve` on SQLite, over HTTP.

    python benchmarks/bench_fleet.py [--pg-url postgresql://...] [--quick]

1. Ingest: 20 client processes post batches of 50 episodes (the
   accumulator's batch size) for a fixed time, as fast as they are answered:
   through one server on a SQLite file, and through two servers sharing one
   PostgreSQL database (10 clients each); for comparison also through one
   server on PostgreSQL. Episodes acknowledged per second, median of the runs
   (each run on a fresh store).
2. Query: one device holding 100k episodes of 7 channels; one client asks
   for the 10 most similar episodes, one query after another, through one
   server on each backend. Median and 90th percentile latency per query.

The SQLite server is the baseline: the ratios printed are PostgreSQL over
SQLite, measured in the same run. Without --pg-url (or ORVANE_PG_URL) a
throwaway cluster is started with tools/pg-throwaway and removed at the end.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SRC = os.path.join(ROOT, "src")
ENV = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
sys.path.insert(0, SRC)

CHANNELS = [f"c{i}" for i in range(7)]

# One client: says it is ready, reads the common start and end times, posts
# until the end, prints the episodes acknowledged within [start, end).
CLIENT = r"""
import sys, time, random
from orvane.client import Brenlow, ResolverError
url, name, batch = sys.argv[1], sys.argv[2], int(sys.argv[3])
brain = Brenlow(name, url=url, timeout=30)
brain.stats()
rng = random.Random(name)
print("ready", flush=True)
start, end = map(float, sys.stdin.readline().split())
while time.time() < start:
    time.sleep(0.001)
acked = 0
n = 0
while True:
    eps = []
    for _ in range(batch):
        ctx = {f"c{i}": round(rng.gauss(50.0, 10.0), 3) for i in range(7)}
        eps.append({"episode_id": f"{name}-{n}", "timestamp": str(n), "state": {"context": ctx},
                    "action": {"type": "observe"}, "outcome": {"result": "pending"}})
        n += 1
    brain.ingest(eps)
    if time.time() >= end:
        break
    acked += batch
print(acked)
"""


class Server:
    def __init__(self, db: str):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "orvane", "serve", "--port", "0", "--quiet", "--db", db],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=ENV,
        )
        line = self.proc.stdout.readline()
        if "listening on" not in line:
            raise RuntimeError(f"server did not start: {line}{self.proc.stderr.read()}")
        self.url = line.split()[4]

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.communicate(timeout=60)


def with_schema(url: str, schema: str) -> str:
    sep = "&" if "?" in url else "?"
    return f"{url}{sep}options=-c%20search_path%3D{schema}"


def fresh_schema(base: str) -> str:
    import psycopg

    schema = "bench_" + uuid.uuid4().hex[:12]
    with psycopg.connect(base, autocommit=True) as conn:
        conn.execute(f'CREATE SCHEMA "{schema}"')
    return with_schema(base, schema)


def drop_schemas(base: str) -> None:
    import psycopg

    with psycopg.connect(base, autocommit=True) as conn:
        for (name,) in conn.execute("SELECT nspname FROM pg_namespace WHERE nspname LIKE 'bench\\_%'").fetchall():
            conn.execute(f'DROP SCHEMA "{name}" CASCADE')


def ingest_run(urls: list, clients: int, seconds: float, batch: int) -> float:
    """Episodes per second acknowledged by ``clients`` processes spread over ``urls``."""
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT, urls[n % len(urls)], f"dev{n}", str(batch)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=ENV,
        )
        for n in range(clients)
    ]
    for p in procs:  # every client started and connected before the clock runs
        line = p.stdout.readline()
        if line.strip() != "ready":
            raise RuntimeError(f"client did not start: {line}{p.stderr.read()}")
    start = time.time() + 0.5
    times = f"{start} {start + seconds}\n"
    total = 0
    for p in procs:
        out, err = p.communicate(times, timeout=seconds + 120)
        if p.returncode != 0:
            raise RuntimeError(f"client failed: {err}")
        total += int(out.strip())
    return total / seconds


def fill(path: str, n: int) -> None:
    """One device ("probe") holding n episodes of 7 channels, stored in-process before a server opens the store."""
    from orvane.resolver import LocalResolver

    rng = random.Random(7)
    with LocalResolver(path) as r:
        for start in range(0, n, 2000):
            r.ingest(
                [
                    {
                        "episode_id": f"p{i}",
                        "state": {"context": {c: round(rng.gauss(50.0, 10.0), 3) for c in CHANNELS}},
                        "outcome": {"result": "success" if i % 5 else "failure"},
                    }
                    for i in range(start, min(n, start + 2000))
                ],
                "probe",
            )


def query_latencies(url: str, count: int) -> list:
    from orvane.client import Brenlow

    brain = Brenlow("probe", url=url)
    rng = random.Random(11)
    texts = [
        "sensor state " + " ".join(f"{c}={rng.gauss(50.0, 10.0):.3f}" for c in CHANNELS) for _ in range(count + 20)
    ]
    for text in texts[:20]:  # warm up (a PostgreSQL server loads the device on its first query)
        hits = brain.query(text, k=10)
        assert len(hits) == 10
    out = []
    for text in texts[20:]:
        t0 = time.perf_counter()
        brain.query(text, k=10)
        out.append(time.perf_counter() - t0)
    return out


def pct(values: list, q: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pg-url", default=os.environ.get("ORVANE_PG_URL"))
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--stored", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--quick", action="store_true", help="short runs (a smoke test of this script)")
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.runs, args.stored, args.queries = 3.0, 1, 5000, 50

    state = None
    base = args.pg_url
    if not base:
        state = tempfile.mkdtemp(prefix="bench-fleet-pg-")
        base = subprocess.run(
            [os.path.join(ROOT, "tools", "pg-throwaway"), "start", state], check=True, capture_output=True, text=True
        ).stdout.strip()
    tmp = tempfile.mkdtemp(prefix="bench-fleet-")
    try:
        print(
            f"machine: {os.cpu_count()} cores; {args.clients} client processes, batches of 50, {args.seconds:.0f} s per run"
        )
        sqlite_rates, pg_rates, pg1_rates = [], [], []
        for run in range(args.runs):
            server = Server(os.path.join(tmp, f"ingest{run}.sqlite"))
            try:
                sqlite_rates.append(ingest_run([server.url], args.clients, args.seconds, 50))
            finally:
                server.stop()
            url = fresh_schema(base)
            servers = [Server(url), Server(url)]
            try:
                pg_rates.append(ingest_run([s.url for s in servers], args.clients, args.seconds, 50))
            finally:
                for s in servers:
                    s.stop()
            # For comparison: one server on PostgreSQL (the cost of the database
            # apart from that of a second server process on the same cores).
            url = fresh_schema(base)
            server = Server(url)
            try:
                pg1_rates.append(ingest_run([server.url], args.clients, args.seconds, 50))
            finally:
                server.stop()
            print(
                f"  run {run + 1}: SQLite, one server {sqlite_rates[-1]:,.0f} episodes/s; PostgreSQL, two servers "
                f"{pg_rates[-1]:,.0f} episodes/s (one server {pg1_rates[-1]:,.0f})"
            )
        s_med, p_med, p1_med = (
            statistics.median(sqlite_rates),
            statistics.median(pg_rates),
            statistics.median(pg1_rates),
        )
        print(
            f"ingest (median of {args.runs}): SQLite one server {s_med:,.0f} episodes/s; "
            f"PostgreSQL two servers {p_med:,.0f} episodes/s; ratio {p_med / s_med:.2f} "
            f"(PostgreSQL one server {p1_med:,.0f} episodes/s, ratio {p1_med / s_med:.2f})"
        )

        sqlite_path = os.path.join(tmp, "query.sqlite")
        pg_url = fresh_schema(base)
        t0 = time.perf_counter()
        fill(sqlite_path, args.stored)
        t1 = time.perf_counter()
        fill(pg_url, args.stored)
        t2 = time.perf_counter()
        print(
            f"stored {args.stored:,} episodes: SQLite {t1 - t0:.1f} s, PostgreSQL {t2 - t1:.1f} s (in-process ingest)"
        )
        results = {}
        for name, db in (("SQLite", sqlite_path), ("PostgreSQL", pg_url)):
            server = Server(db)
            try:
                t0 = time.perf_counter()
                lat = query_latencies(server.url, args.queries)
                results[name] = lat
            finally:
                server.stop()
            print(
                f"  {name}: median {statistics.median(lat) * 1e3:.2f} ms, p90 {pct(lat, 0.9) * 1e3:.2f} ms over {len(lat)} queries"
            )
        s_q, p_q = statistics.median(results["SQLite"]), statistics.median(results["PostgreSQL"])
        print(
            f"query at {args.stored:,} stored (median): SQLite {s_q * 1e3:.2f} ms, PostgreSQL {p_q * 1e3:.2f} ms; "
            f"ratio {p_q / s_q:.2f}, difference {(p_q - s_q) * 1e3:+.2f} ms"
        )
    finally:
        try:
            drop_schemas(base)
        except Exception as exc:  # the cluster may be gone already
            print(f"(could not drop the benchmark schemas: {exc})", file=sys.stderr)
        if state is not None:
            subprocess.run([os.path.join(ROOT, "tools", "pg-throwaway"), "stop", state], check=False)
        subprocess.run(["rm", "-rf", tmp], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
