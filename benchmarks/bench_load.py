"""`orvane serve` under load, and killed with SIGKILL mid-load: nothing acknowledged is lost.

    python benchmarks/bench_load.py [--clients 20] [--seconds 60] [--kill-after 10]

Load: CLIENTS processes, each a Brenlow of its own device posting batches of
50 episodes (the SDK's batch size) as fast as answers come, for SECONDS.
Every acknowledged batch is logged by its client; at the end the server's
count must equal the acknowledged episodes, and so must the file store
reopened after the server stopped.

Kill: the same load against a fresh store; after KILL_AFTER seconds the
server gets SIGKILL. Clients stop at their first failure. The store is then
opened again and every acknowledged episode must be in it.

Baseline: the same batches ingested in this process by a LocalResolver on a
file store (no HTTP), for the ratio of served to in-process throughput.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")
ENV = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}
BATCH = 50

CLIENT = textwrap.dedent(
    """\
    import sys, time
    from orvane.client import Brenlow, ResolverError
    url, name, seconds, log = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
    brain = Brenlow(name, url=url, timeout=30)
    deadline = time.monotonic() + seconds
    b = 0
    with open(log, "w", buffering=1) as out:
        while time.monotonic() < deadline:
            batch = [{"episode_id": f"{name}-{b}-{i}", "timestamp": "2026-01-05T06:00:00Z",
                      "state": {"context": {"temp": 20.0 + i * 0.1, "rpm": 1500.0 + b % 17, "flow": 3.0}},
                      "outcome": {"result": "pending", "success": None, "metrics": {}, "metadata": {"pending": True}},
                      "embeddings": {"text": f"sensor state temp={20.0 + i * 0.1} rpm={1500.0 + b % 17}"}} for i in range(BATCH_SIZE)]
            try:
                brain.ingest(batch)
            except ResolverError as exc:
                print(f"{name}: stopped at batch {b}: {exc}", file=sys.stderr)
                break
            out.write(f"{b}\\n")  # acknowledged
            b += 1
    """.replace("BATCH_SIZE", str(BATCH))
)


def serve(db: str) -> tuple:
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvane", "serve", "--port", "0", "--quiet", "--db", db],
        stdout=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    url = proc.stdout.readline().split()[4]
    return proc, url


def load(url: str, clients: int, seconds: float, logs: str) -> list:
    procs = []
    for n in range(clients):
        log = os.path.join(logs, f"c{n}.log")
        procs.append(
            (
                f"c{n}",
                log,
                subprocess.Popen(
                    [sys.executable, "-c", CLIENT, url, f"c{n}", str(seconds), log],
                    stderr=subprocess.PIPE,
                    text=True,
                    env=ENV,
                ),
            )
        )
    return procs


def acknowledged(procs: list) -> dict:
    acked = {}
    for name, log, proc in procs:
        proc.wait(timeout=600)
        with open(log) as f:
            acked[name] = sum(1 for line in f if line.strip())
    return acked


def stored_ids(db: str) -> dict:
    con = sqlite3.connect(db)
    try:
        out: dict = {}
        for device, eid in con.execute("SELECT device_id, episode_id FROM episodes"):
            out.setdefault(device, set()).add(eid)
        return out
    finally:
        con.close()


def missing(acked: dict, stored: dict) -> int:
    lost = 0
    for name, batches in acked.items():
        have = stored.get(name, set())
        lost += sum(1 for b in range(batches) for i in range(BATCH) if f"{name}-{b}-{i}" not in have)
    return lost


def baseline(seconds: float, tmp: str) -> float:
    sys.path.insert(0, SRC)
    from orvane.resolver import LocalResolver

    r = LocalResolver(os.path.join(tmp, "baseline.sqlite"))
    n = b = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        batch = [
            {
                "episode_id": f"x-{b}-{i}",
                "timestamp": "2026-01-05T06:00:00Z",
                "state": {"context": {"temp": 20.0 + i * 0.1, "rpm": 1500.0 + b % 17, "flow": 3.0}},
                "outcome": {"result": "pending", "success": None, "metrics": {}, "metadata": {"pending": True}},
                "embeddings": {"text": f"sensor state temp={20.0 + i * 0.1} rpm={1500.0 + b % 17}"},
            }
            for i in range(BATCH)
        ]
        # the client's encoding and the server's decoding are part of the work
        n += r.ingest(json.loads(json.dumps(batch)), "x")["stored"]
        b += 1
    rate = n / (time.perf_counter() - start)
    r.close()
    return rate


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--kill-after", type=float, default=10.0)
    parser.add_argument("--src", help="serve (and run the clients) from another source tree, e.g. an older release")
    parser.add_argument("--no-kill", action="store_true", help="only the load")
    args = parser.parse_args()
    if args.src:
        ENV["PYTHONPATH"] = os.path.abspath(args.src) + os.pathsep + os.environ.get("PYTHONPATH", "")
    with tempfile.TemporaryDirectory() as tmp:
        base = baseline(5.0, tmp)
        print(f"baseline: in-process LocalResolver on a file store, one thread: {base:,.0f} episodes/s")

        # -- load
        db = os.path.join(tmp, "load.sqlite")
        proc, url = serve(db)
        logs = os.path.join(tmp, "load")
        os.mkdir(logs)
        started = time.perf_counter()
        procs = load(url, args.clients, args.seconds, logs)
        acked = acknowledged(procs)
        wall = time.perf_counter() - started
        errors = [p.stderr.read().strip() for _, _, p in procs]
        sys.path.insert(0, SRC)
        stats = subprocess.run(
            [
                sys.executable,
                "-c",
                "import json, sys; from orvane.client import Brenlow; print(json.dumps(Brenlow(url=sys.argv[1]).stats()))",
                url,
            ],
            capture_output=True,
            text=True,
            env=ENV,
            check=True,
        )
        served_count = sum(json.loads(stats.stdout)["episodes"].values())
        proc.send_signal(signal.SIGTERM)
        proc.wait(60)
        total = sum(acked.values()) * BATCH
        lost = missing(acked, stored_ids(db))
        print(
            f"load: {args.clients} clients x {args.seconds:.0f} s: {total:,} episodes acknowledged in {wall:.1f} s"
            f" ({total / wall:,.0f}/s, {total / wall / base:.2f}x the in-process baseline); server counted {served_count:,};"
            f" lost after restart: {lost}; client errors: {sum(1 for e in errors if e)}"
        )

        if args.no_kill:
            return
        # -- kill -9
        db = os.path.join(tmp, "kill.sqlite")
        proc, url = serve(db)
        logs = os.path.join(tmp, "kill")
        os.mkdir(logs)
        procs = load(url, args.clients, args.kill_after + 30, logs)
        time.sleep(args.kill_after)
        proc.send_signal(signal.SIGKILL)
        proc.wait(30)
        acked = acknowledged(procs)
        total = sum(acked.values()) * BATCH
        stored = stored_ids(db)
        lost = missing(acked, stored)
        extra = sum(map(len, stored.values())) - total
        print(
            f"kill -9 after {args.kill_after:.0f} s of load: {total:,} episodes acknowledged, {sum(map(len, stored.values())):,} in the"
            f" reopened store ({extra:,} stored but unacknowledged when the answer was lost); acknowledged but lost: {lost}"
        )


if __name__ == "__main__":
    main()
