"""The demo: every module on a simulated fleet, scored against the faults it injected."""

import io
import os
import re
import subprocess
import sys
import threading

import pytest

import orvane

for _name in ("profiler", "classifier", "provisioner", "accumulator", "detector"):
    pytest.importorskip(f"orvane.brenlow.{_name}")

from orvane.demo import DemoConfig, check_config, run_demo  # noqa: E402

# Child processes import the same orvane as this one: the installed package,
# or the source tree of a developer build.
SRC = os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__)))
ENV = {**os.environ, "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}


def figure(text, label):
    """The text of one summary line, after its label."""
    line = next(line for line in text.splitlines() if line.strip().startswith(label))
    return line.strip()[len(label) :].strip()


def test_small_fleet_finds_the_faults_and_reports_its_own_figures():
    out, err = io.StringIO(), io.StringIO()
    r = run_demo(DemoConfig(devices=3, readings=800, seed=3), out=out, err=err)
    text = out.getvalue()
    assert r.targets_met, text
    assert r.faults_scored == 6 + 6 + 4 and r.recall >= 0.8 and r.false_share <= 0.1
    # nothing lost between the accumulators and the resolver
    assert r.episodes_built == r.episodes_ingested == r.episodes_stored == 3 * 800
    assert r.outcomes_recorded == 3 * (800 - DemoConfig().outcome_lag)
    # the printed figures are the measured ones
    assert figure(text, "recall").startswith(
        f"{r.recall * 100:.1f}% ({r.faults_found} of {r.faults_scored} faults found"
    )
    assert f"{r.events_scored - r.events_true} of {r.events_scored}" in figure(text, "false events")
    assert f"{r.readings_per_s:,.0f} readings/s" in figure(text, "readings")
    assert "0 lost" in figure(text, "episodes")
    if r.retrieval_agreement is not None:
        assert figure(text, "retrieval agreement").startswith(
            f"{r.retrieval_agreement * 100:.1f}% ({r.states_agreeing} of {r.states_retrieved}"
        )
    # a schema table per device, the text-bearing line last, and a progress bar
    assert len(re.findall(r"^device \S+: 800 readings", text, re.M)) == 3
    assert "device line-cam-01: 800 readings, 5 channels" in text
    assert "supply_v" in text and "stable" in text
    assert "100.0%" in err.getvalue() and "2,400/2,400 readings" in err.getvalue()


@pytest.mark.parametrize(
    "cfg, message",
    [
        (DemoConfig(readings=799), "at least 800 readings"),
        (DemoConfig(devices=0), "at least one device"),
        (DemoConfig(readings=900, history_share=0.1), "history"),
        (DemoConfig(readings=900, fault_length=90), "cannot hold"),
    ],
)
def test_config_checks(cfg, message):
    with pytest.raises(ValueError, match=message):
        check_config(cfg)


def test_without_torch_the_imu_part_is_skipped_with_a_note():
    pytest.importorskip("orvane.qx.composite")
    code = "import sys; sys.modules['torch'] = None\nfrom orvane.cli import main\nsys.exit(main(sys.argv[1:]))"
    run = subprocess.run(
        [
            sys.executable,
            "-c",
            code,
            "demo",
            "--devices",
            "2",
            "--readings",
            "800",
            "--no-tables",
            "--no-progress",
            "--check",
        ],
        capture_output=True,
        text=True,
        env=ENV,
        timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "note: IMU encoder skipped" in run.stdout
    assert "no IMU windows" in run.stdout and "retrieval agreement" in run.stdout


def test_against_a_served_resolver_without_vectors():
    from orvane.resolver import LocalResolver, make_server

    resolver = LocalResolver(vectors=False)
    server = make_server(resolver, "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        out = io.StringIO()
        r = run_demo(
            DemoConfig(devices=2, readings=800, seed=5, url=server.url, imu=False, tables=False, progress=False),
            out=out,
        )
        assert r.targets_met, out.getvalue()
        stored = resolver.stats()["episodes"]
        assert sorted(stored.values()) == [800, 800] and all(d.startswith(("pump-01-", "line-cam-01-")) for d in stored)
        if r.states:  # the embedding half ran: retrieval met the 404s and stepped aside
            assert r.retrieval_agreement is None
            assert "retrieval skipped: The resolver has no /qx/ingest endpoint" in out.getvalue()
    finally:
        server.shutdown()
        server.server_close()
        resolver.close()
