"""The command line: profile a CSV; serve a resolver to several processes at once."""

import json
import os
import subprocess
import sys
import textwrap

import pytest


from orvane.cli import main, read_csv_readings

import serve_support
from serve_support import ENV, start_server

CSV = textwrap.dedent(
    """\
    time,temp,mode,rpm,note,pressure
    t0,20.5,auto,1500,,101.2
    t1,20.7,auto,,started,101.0
    t2,,manual,1510,warm up, 100.9
    t3,21.1,auto,n/a,ok,
    t4, 21.4 ,auto,1490,ok,101.3
    t5,21.0,manual,1500,,101.1
    t6,20.9,auto,1505,done,100.8
    t7,2.1e1,auto,1_502,x,101.0
    """
)


def by_hand():
    """The same readings, typed in by a person: numbers as numbers, text as text, gaps left out."""
    return [
        {"temp": 20.5, "mode": "auto", "rpm": 1500, "pressure": 101.2},
        {"temp": 20.7, "mode": "auto", "note": "started", "pressure": 101.0},
        {"mode": "manual", "rpm": 1510, "note": "warm up", "pressure": 100.9},
        {"temp": 21.1, "mode": "auto", "rpm": "n/a", "note": "ok"},
        {"temp": 21.4, "mode": "auto", "rpm": 1490, "note": "ok", "pressure": 101.3},
        {"temp": 21.0, "mode": "manual", "rpm": 1500, "pressure": 101.1},
        {"temp": 20.9, "mode": "auto", "rpm": 1505, "note": "done", "pressure": 100.8},
        {"temp": 21.0, "mode": "auto", "rpm": 1502, "note": "x", "pressure": 101.0},
    ]


@pytest.fixture
def csv_file(tmp_path):
    path = tmp_path / "readings.csv"
    path.write_text(CSV)
    return str(path)


def test_csv_reading_keeps_cells_as_written():
    import io

    ts, channels, readings = read_csv_readings(io.StringIO(CSV))
    readings = list(readings)
    assert ts == "time" and channels == ["temp", "mode", "rpm", "note", "pressure"]
    assert readings[2] == ("t2", {"mode": "manual", "rpm": "1510", "note": "warm up", "pressure": " 100.9"})
    assert readings[3][1] == {"temp": "21.1", "mode": "auto", "rpm": "n/a", "note": "ok"}


def test_profile_json_matches_the_profiler_fed_by_hand(csv_file, capsys):
    profiler = pytest.importorskip("orvane.brenlow.profiler")
    classifier = pytest.importorskip("orvane.brenlow.classifier")
    assert main(["profile", csv_file, "--json", "--device-id", "bench-7"]) == 0
    got = json.loads(capsys.readouterr().out)
    p = profiler.StatisticalProfiler("bench-7")
    for payload in by_hand():
        p.observe(payload)
    snapshot = p.snapshot()
    schema = classifier.SchemaClassifier().classify(snapshot)
    assert got["schema"] == json.loads(json.dumps(schema))
    assert list(got["snapshot"]["channels"]) == ["temp", "rpm", "pressure"]  # mode and note hold no number
    assert got["snapshot"]["channels"]["temp"]["count"] == 7 and got["snapshot"]["channels"]["rpm"]["count"] == 6
    assert got["snapshot"] == json.loads(json.dumps(snapshot))
    assert got["snapshot"]["total_observations"] == snapshot["total_observations"] == 8


def test_profile_table(csv_file, capsys):
    pytest.importorskip("orvane.brenlow.profiler")
    pytest.importorskip("orvane.brenlow.classifier")
    assert main(["profile", csv_file]) == 0
    out = capsys.readouterr().out
    assert "8 readings, timestamp column 'time'" in out
    assert "device readings: 8 readings, 3 channels" in out
    lines = out.splitlines()
    rule = next(i for i, line in enumerate(lines) if line.startswith("-----"))
    assert [line.split()[0] for line in lines[rule + 1 : rule + 4]] == ["temp", "rpm", "pressure"]
    assert lines[rule + 4] == ""
    assert "columns without a single numeric value (not channels): mode, note" in out


@pytest.mark.parametrize(
    "content, args, message",
    [
        ("", [], "the file is empty"),
        ("a,b,a\n1,2,3\n", [], "names column 'a' twice"),
        ("ts,a\nt0,1,2\n", [], "line 2: 3 cells"),
        ("ts,a\nt0,1\n", ["--timestamp-column", "when"], "no column 'when'"),
    ],
)
def test_profile_input_errors(tmp_path, capsys, content, args, message):
    path = tmp_path / "bad.csv"
    path.write_text(content)
    assert main(["profile", str(path), *args]) == 2
    assert message in capsys.readouterr().err


def test_profile_missing_file(tmp_path, capsys):
    assert main(["profile", str(tmp_path / "absent.csv")]) == 2
    assert "cannot read" in capsys.readouterr().err


# -- serve -----------------------------------------------------------------------------

CLIENT = textwrap.dedent(
    """\
    import json, sys
    from orvane.client import Brenlow
    url, name = sys.argv[1], sys.argv[2]
    brain = Brenlow(name, url=url)
    answered = 0
    for b in range(25):
        batch = [{"episode_id": f"{name}-{b}-{i}", "state": {"context": {"x": float(i), "b": float(b)}}} for i in range(8)]
        assert brain.ingest(batch)["accepted"] == 8
        brain.record_outcome(f"{name}-{b}-0", "success", "HEALTHY")
        hits = brain.query(f"sensor state x=3.0 b={b}.0", k=5)
        assert hits and hits[0]["episode_id"] == f"{name}-{b}-3", hits[0]
        vid = brain._request("POST", "/qx/ingest", json={"device_id": name, "embedding": [1.0, float(b)], "metadata": {"b": b}})["id"]
        assert brain._request("POST", "/qx/query", json={"device_id": name, "embedding": [1.0, float(b)], "k": 1})["results"][0]["id"] == vid
        answered += 6
    print(json.dumps({"answered": answered}))
    """
)


def stop_server(proc):
    assert "orvane resolver stopped" in serve_support.stop_server(proc, timeout=20)


def test_serve_many_processes_at_once_lose_nothing(tmp_path):
    db = str(tmp_path / "shared.sqlite")
    proc, url = start_server("--db", db)
    try:
        clients = [
            subprocess.Popen(
                [sys.executable, "-c", CLIENT, url, f"proc{n}"],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                env=ENV,
            )
            for n in range(4)
        ]
        results = [c.communicate(timeout=120) for c in clients]
        for c, (out, err) in zip(clients, results):
            assert c.returncode == 0, err
            assert json.loads(out) == {"answered": 150}
        from orvane.client import Brenlow

        stats = Brenlow(url=url).stats()
        assert stats["episodes"] == {f"proc{n}": 200 for n in range(4)}
        assert stats["vectors"] == {f"proc{n}": 25 for n in range(4)}
        assert stats["outcomes"] == 100
    finally:
        stop_server(proc)
    # the file holds everything after the server is gone
    from orvane.resolver import LocalResolver

    with LocalResolver(db) as r:
        assert sum(r.stats()["episodes"].values()) == 800


def test_serve_bounds_the_episodes_a_query_considers():
    from orvane.client import Brenlow

    proc, url = start_server("--max-episodes-per-device", "5")
    try:
        brain = Brenlow("d", url=url)
        brain.ingest([{"episode_id": f"e{i}", "state": {"context": {"x": float(i)}}} for i in range(20)])
        assert [h["episode_id"] for h in brain.query("x=0", k=10)] == ["e15", "e16", "e17", "e18", "e19"]
    finally:
        stop_server(proc)
    bad = subprocess.run(
        [sys.executable, "-m", "orvane", "serve", "--max-episodes-per-device", "0"],
        capture_output=True,
        text=True,
        env=ENV,
        timeout=30,
    )
    assert bad.returncode == 2 and "positive" in bad.stderr


def test_serve_refuses_a_port_in_use():
    proc, url = start_server()
    try:
        port = url.rsplit(":", 1)[1]
        busy = subprocess.run(
            [sys.executable, "-m", "orvane", "serve", "--port", port],
            capture_output=True,
            text=True,
            env=ENV,
            timeout=30,
        )
        assert busy.returncode == 2 and "cannot listen" in busy.stderr
    finally:
        stop_server(proc)


def test_retrieval_through_real_http_404(tmp_path):
    retrieval = pytest.importorskip("orvane.qx.retrieval")
    from orvane.client import Brenlow, ResolverError

    proc, url = start_server("--no-vectors")
    try:
        retriever = retrieval.CrossModalRetriever(Brenlow("cam", url=url))
        for call, path in [
            (lambda: retriever.retrieve([0.1, 0.2, 0.3], k=3), "/qx/query"),
            (lambda: retriever.ingest([0.1, 0.2, 0.3]), "/qx/ingest"),
            (lambda: retriever.ingest_batch([{"embedding": [1.0]}]), "/qx/ingest"),
        ]:
            with pytest.raises(retrieval.RetrievalNotAvailable, match=path) as info:
                call()
            assert isinstance(info.value.__cause__, ResolverError) and info.value.__cause__.status_code == 404
    finally:
        stop_server(proc)


# -- failures: one line on stderr, a non-zero exit --------------------------------------


def one_line_failure(args, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    run = subprocess.run(
        [sys.executable, "-m", "orvane", *args], stderr=subprocess.PIPE, text=True, env=ENV, timeout=60, **kwargs
    )
    assert run.returncode != 0, run.stdout
    assert "Traceback" not in run.stderr and len(run.stderr.strip().splitlines()) == 1, run.stderr
    return run.stderr


def test_serve_failures_are_one_line(tmp_path):
    assert "cannot open the store" in one_line_failure(["serve", "--port", "0", "--db", "/nonexistent/dir/x.db"])
    assert "cannot open the store" in one_line_failure(["serve", "--port", "0", "--db", str(tmp_path)])
    junk = tmp_path / "junk.db"
    junk.write_bytes(b"this is not a database, only text\n" * 100)
    assert "not a database" in one_line_failure(["serve", "--port", "0", "--db", str(junk)])
    assert junk.read_bytes() == b"this is not a database, only text\n" * 100
    db = str(tmp_path / "shared.sqlite")
    proc, url = start_server("--db", db)
    try:
        assert "in use by another resolver" in one_line_failure(["serve", "--port", "0", "--db", db])
    finally:
        stop_server(proc)


def test_demo_failures_are_one_line():
    assert "--seed" in one_line_failure(["demo", "--seed", "-1"])
    assert "unreachable" in one_line_failure(["demo", "--url", "http://127.0.0.1:1", "--no-progress"])
    assert "url must be http" in one_line_failure(["demo", "--url", "notaurl"])
    assert "GB of memory" in one_line_failure(["demo", "--readings", "10000000000000000000"])
    assert "GB of memory" in one_line_failure(["demo", "--devices", "100000000000", "--readings", "800"])


def test_profile_to_a_full_disk_is_one_line(csv_file):
    pytest.importorskip("orvane.brenlow.profiler")
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    with open("/dev/full", "w") as full:
        stderr = one_line_failure(["profile", csv_file], stdout=full)
    assert "No space left" in stderr


def test_profile_line_cap_and_delimiters(tmp_path, capsys):
    pytest.importorskip("orvane.brenlow.profiler")
    if os.path.exists("/dev/zero"):
        assert "longer than" in one_line_failure(["profile", "/dev/zero", "--device-id", "z"])
    semi = tmp_path / "semi.csv"
    semi.write_text(CSV.replace(",", ";"))
    assert main(["profile", str(semi)]) == 0
    out = capsys.readouterr().out
    assert "delimiter ';'" in out and "3 channels" in out
    tabs = tmp_path / "tabs.csv"
    tabs.write_text(CSV.replace(",", "\t"))
    assert main(["profile", str(tabs), "--json"]) == 0
    assert list(json.loads(capsys.readouterr().out)["snapshot"]["channels"]) == ["temp", "rpm", "pressure"]
    # told the wrong delimiter: no number anywhere, said so instead of "0 channels"
    assert main(["profile", str(semi), "--delimiter", "|"]) == 2
    err = capsys.readouterr().err
    assert "no column holds a number" in err and "'|'" in err
    assert main(["profile", str(tabs), "--delimiter", "tab"]) == 0


def test_profile_progress_after_a_second(csv_file, monkeypatch):
    import io

    from orvane import cli

    clock = iter(range(0, 10_000, 2))
    monkeypatch.setattr(cli.time, "monotonic", lambda: float(next(clock)))
    err = io.StringIO()
    with open(csv_file, newline="") as stream:
        progress = cli._FileProgress("readings.csv", stream, err)
        payloads = list(progress.payloads((str(i), {"x": "1"}) for i in range(3000)))
    assert len(payloads) == 3000
    lines = err.getvalue().splitlines()
    assert lines and lines[0].startswith("profiling readings.csv:") and "1,024 readings" in lines[0]
