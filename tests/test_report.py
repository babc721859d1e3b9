"""HTML reports of `orvane demo` and `orvane profile`: reduced lines, the command line, and the
reports as a real browser shows them (headless chromium, network off, driven over its pipe).

The browser tests skip where chromium or matplotlib is missing, unless
ORVANE_REQUIRE_BROWSER=1 (CI), where they fail instead.
"""

import base64
import contextlib
import fcntl
import io
import json
import math
import os
import random
import re
import select
import shutil
import subprocess
import sys
import time

import pytest

from orvane.cli import main

REQUIRE_BROWSER = os.environ.get("ORVANE_REQUIRE_BROWSER") == "1"


def _needs(ok, why):
    if not ok:
        (pytest.fail if REQUIRE_BROWSER else pytest.skip)(why)


def _have(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def _matplotlib():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # A C++ exception thrown inside matplotlib's font module aborts the preloaded ASan
        # runtime; the reports are plain Python, so a sanitized run has nothing to find here.
        pytest.skip("matplotlib does not run under a preloaded ASan runtime")
    _needs(_have("matplotlib") and _have("numpy"), "matplotlib is not installed (pip install '.[report]')")


# -- reduced lines -------------------------------------------------------------------------


def brute_envelope(values, columns):
    """Per column, the min and max of the finite values it covers, the column width doubling as the reducer's does."""
    width = 1
    while len(values) > columns * width:
        width *= 2
    used = -(-len(values) // width)
    lo, hi = [], []
    for c in range(used):
        part = [v for v in values[c * width : (c + 1) * width] if math.isfinite(v)]
        lo.append(min(part) if part else math.nan)
        hi.append(max(part) if part else math.nan)
    return width, lo, hi


def same(a, b):
    return len(a) == len(b) and all((x == y) or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 63, 64, 65, 1000, 4097])
def test_envelope_keeps_every_columns_extremes_fed_in_any_pieces(n):
    pytest.importorskip("numpy")
    import numpy as np

    from orvane.report import LineEnvelope

    rng = random.Random(n)
    values = [rng.gauss(0, 1) for _ in range(n)]
    for i in rng.sample(range(n), min(n, 5)):  # spikes of one reading, and gaps
        values[i] = rng.choice([50.0, -50.0, math.nan, math.inf, -math.inf])
    env = LineEnvelope(columns=8, start=3)  # a line that starts at its fourth position
    values = [math.nan] * 3 + values
    n += 3
    i = 3
    while i < n:
        step = rng.randint(1, 40)
        env.extend(np.array(values[i : i + step]))
        i += step
    x, lo, hi = env.line()
    width, want_lo, want_hi = brute_envelope(values, 8)
    assert env.count == n and env.width == width and len(env.lo) == 8
    assert same(lo.tolist(), want_lo) and same(hi.tolist(), want_hi)
    assert x.tolist() == [c * width for c in range(len(want_lo))]


def test_envelope_checks_its_columns_and_converts_text_as_float_does():
    pytest.importorskip("numpy")
    from orvane.report import LineEnvelope, to_floats

    with pytest.raises(ValueError):
        LineEnvelope(columns=7)
    cells = ["1.5", " 2 ", "1_000", "n/a", "", None, "inf", "-0.0", True, "1e400"]
    got = to_floats(cells).tolist()
    assert got[:3] == [1.5, 2.0, 1000.0] and all(math.isnan(v) for v in got[3:6])
    assert (
        got[6] == math.inf and got[7] == 0.0 and math.copysign(1, got[7]) == -1 and got[8] == 1.0 and got[9] == math.inf
    )


def test_profiler_series_matches_the_cells_with_gaps_text_and_late_channels():
    """Values read back from the profiler's window equal the cells converted one by one, at their rows."""
    pytest.importorskip("numpy")
    profiler_mod = pytest.importorskip("orvane.brenlow.profiler")
    import orvane.report as report

    rng = random.Random(4)
    payloads = []
    for t in range(2600):
        p = {"a": f"{rng.gauss(10, 2):.3f}", "b": str(t % 97)}
        if 700 <= t < 760 or rng.random() < 0.01:
            del p["a"]  # an empty cell
        if t == 1500:
            p["b"] = "jammed"  # text in a numeric column
        if t >= 1234:
            p["late"] = f"{math.sin(t / 30):.4f}"
        payloads.append(p)
    profiler = profiler_mod.StatisticalProfiler("dev")
    series = report.ProfilerSeries(profiler, columns=64, block=100)
    for p in payloads:  # as ProfileReport.watch does: add, then the profiler observes
        if len(series.payloads) >= series.block:
            series.collect()
        series.payloads.append(p)
        profiler.observe(p)
    series.collect()
    for name in ("a", "b", "late"):
        column = []
        for p in payloads:
            try:
                column.append(float(p[name]))
            except (KeyError, ValueError):
                column.append(math.nan)
        width, want_lo, want_hi = brute_envelope(column, 64)
        x, lo, hi = series.line(name)
        assert series.envelopes[name].count == len(payloads) and series.envelopes[name].width == width
        assert same(lo.tolist(), want_lo) and same(hi.tolist(), want_hi), name


# -- the command line ------------------------------------------------------------------------

CSV_HEAD = "time,temp,pressure,mode,flow\n"


def write_csv(path, rows=3000):
    rng = random.Random(9)
    with open(path, "w") as f:
        f.write(CSV_HEAD)
        for t in range(rows):
            temp = 50 + 4 * math.sin(t / 40) + rng.gauss(0, 0.3) + (25 if t == 1777 else 0)
            pressure = 300 + 3 * math.sin(t / 15) + rng.gauss(0, 0.5)
            flow = "" if t % 500 == 3 else f"{120 + 0.4 * (pressure - 300) + rng.gauss(0, 0.2):.3f}"
            f.write(f"t{t},{temp:.3f},{pressure:.3f},{'auto' if t % 2 else 'manual'},{flow}\n")
    return str(path)


def test_report_without_matplotlib_says_how_to_install_it_in_one_line(tmp_path, capsys, monkeypatch):
    csv_path = write_csv(tmp_path / "r.csv", rows=20)
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    for argv in (
        ["profile", csv_path, "--report", str(tmp_path / "p.html")],
        ["demo", "--report", str(tmp_path / "d.html")],
    ):
        assert main(argv) == 2
        captured = capsys.readouterr()
        lines = captured.err.strip().splitlines()
        assert len(lines) == 1 and "pip install 'orvane[report]'" in lines[0], captured.err
        assert captured.out == ""  # refused before any work
    assert os.listdir(tmp_path) == ["r.csv"]


def test_report_into_a_missing_folder_is_refused_before_the_work(tmp_path, capsys):
    _matplotlib()
    csv_path = write_csv(tmp_path / "r.csv", rows=20)
    assert main(["profile", csv_path, "--report", str(tmp_path / "nowhere" / "p.html")]) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and "no folder" in captured.err and len(captured.err.strip().splitlines()) == 1


OUTSIDE = re.compile(r"""\b(?:src|href|srcset|action|data|poster)\s*=\s*(?!["']?data:)""", re.I)


def check_self_contained(text):
    """No reference leaves the file: every src is a data: URI, no href, no url(), no script, and the policy forbids the rest."""
    assert "default-src 'none'; img-src data:; style-src 'unsafe-inline'" in text
    assert not OUTSIDE.search(text.replace('http-equiv="Content-Security-Policy"', ""))
    assert "url(" not in text and "@import" not in text and "<script" not in text.lower()
    assert not re.search(r"https?://", text)


@pytest.fixture(scope="module")
def profile_report(tmp_path_factory):
    _matplotlib()
    pytest.importorskip("orvane.brenlow.profiler")
    folder = tmp_path_factory.mktemp("profile-report")
    csv_path = write_csv(folder / "pump.csv")
    out = folder / "pump.html"
    assert main(["profile", csv_path, "--report", str(out), "--device-id", "pump-report"]) == 0
    return out


@pytest.fixture(scope="module")
def demo_report(tmp_path_factory):
    """`orvane demo --report` on a small fleet, and the run's result."""
    _matplotlib()
    for name in ("profiler", "classifier", "provisioner", "accumulator", "detector"):
        pytest.importorskip(f"orvane.brenlow.{name}")
    import orvane.demo

    out = tmp_path_factory.mktemp("demo-report") / "demo.html"
    results = []
    original = orvane.demo.run_demo

    def run_demo(*args, **kwargs):
        results.append(original(*args, **kwargs))
        return results[-1]

    argv = [
        "demo",
        "--devices",
        "2",
        "--readings",
        "800",
        "--seed",
        "3",
        "--no-imu",
        "--no-progress",
        "--no-tables",
        "--report",
        str(out),
    ]
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(orvane.demo, "run_demo", run_demo)
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as err:
            assert main(argv) == 0
    assert err.getvalue() == f"report written to {out}\n"
    return out, results[0]


def test_profile_report_holds_the_table_the_lines_the_heat_map_and_the_periodicity(profile_report, capsys):
    text = profile_report.read_text()
    check_self_contained(text)
    assert os.path.getsize(profile_report) < 5_000_000
    assert "<title>orvane profile: pump.csv</title>" in text and "3,000 readings" in text and "from t0 to t2999" in text
    table = text[text.index("<h2>Channels</h2>") : text.index("<h2>Each channel")]
    assert [m for m in re.findall(r'<td class="l">(\w+)(?: \*)?</td><td>', table)] == ["temp", "pressure", "flow"]
    assert "periodic" in table or "dynamic" in table
    assert "Columns without a single numeric value (not channels): mode" in text
    alts = re.findall(r'<img src="data:image/png;base64,[A-Za-z0-9+/=]+" alt="([^"]*)"', text)
    assert alts == [
        "each of temp, pressure, flow over time",
        "correlation heat map of the channels",
        "periodicity score of each channel",
    ]
    for uri in re.findall(r'src="data:image/png;base64,([^"]+)"', text):
        assert base64.b64decode(uri).startswith(b"\x89PNG\r\n\x1a\n")


def test_demo_report_holds_the_summary_each_device_its_faults_events_and_schema(demo_report):
    path, result = demo_report
    text = path.read_text()
    check_self_contained(text)
    assert f"<td>{result.recall * 100:.1f}%</td>" in text and f"<td>{result.false_share * 100:.1f}%</td>" in text
    assert "episodes lost" in text and "retrieval agreement" in text
    for device in result.devices:
        assert f"<h3>{device}</h3>" in text and f'alt="channels of {device} over time with faults and events"' in text
        events = sum(1 for d, _, _ in result.events if d == device)
        assert f"{sum(1 for f in result.faults if f.device == device)} faults injected; {events} anomaly events" in text
    assert result.events and "supply_v" in text and "stable" in text and "belt_speed_mps" in text
    assert len(re.findall(r"<img ", text)) == 1 + len(result.devices)


# -- in a real browser ------------------------------------------------------------------------


def _chromium():
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    _needs(exe is not None, "chromium is not installed (apt-get install -y chromium)")
    return exe


class Chromium:
    """Headless chromium driven over --remote-debugging-pipe: JSON messages ending in NUL on fds 3 and 4."""

    def __init__(self, exe, profile_dir, timeout=60.0):
        self.timeout = timeout
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()
        args = [
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--remote-debugging-pipe",
            f"--user-data-dir={profile_dir}",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-extensions",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--hide-scrollbars",
            # Nothing can leave the machine: every name resolves nowhere and every proxy is a closed port.
            "--host-resolver-rules=MAP * ~NOTFOUND",
            "--proxy-server=127.0.0.1:9",
            "about:blank",
        ]

        def pipes_on_3_and_4():
            # Out of the way first, so that neither end is overwritten by the other's dup2.
            read_end = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 10)
            write_end = fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 10)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        # The browser is not under test: it runs without the sanitizer runtimes a sanitized run preloads.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self.proc = subprocess.Popen(
            [exe, *args],
            close_fds=False,
            preexec_fn=pipes_on_3_and_4,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(to_child_r)
        os.close(from_child_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("chromium did not answer in time")
            ready, _, _ = select.select([self.from_child], [], [], left)
            if ready:
                chunk = os.read(self.from_child, 1 << 20)
                if not chunk:
                    raise RuntimeError(f"chromium closed its pipe (exit status {self.proc.poll()})")
                self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self.to_child, data) :]
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._message(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]
            self.events.append(answer)

    def wait_for(self, method):
        deadline = time.monotonic() + self.timeout
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self._message(deadline))

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.to_child)
        os.close(self.from_child)


# In the page: each image decoded, drawn on a canvas, and the variance of its pixels' brightness.
PLOTS_JS = """
(async () => {
  const images = [];
  for (const img of Array.from(document.images)) {
    let decoded = true;
    try { await img.decode(); } catch (e) { decoded = false; }
    const rect = img.getBoundingClientRect();
    const item = {alt: img.alt, decoded, width: img.naturalWidth, height: img.naturalHeight,
                  shownWidth: rect.width, shownHeight: rect.height, variance: null, error: null};
    if (decoded && img.naturalWidth > 0) {
      try {
        const canvas = document.createElement('canvas');
        canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
        const ctx = canvas.getContext('2d');
        ctx.drawImage(img, 0, 0);
        const data = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
        let sum = 0, sq = 0, n = 0;
        for (let i = 0; i < data.length; i += 4) {
          const y = 0.299 * data[i] + 0.587 * data[i + 1] + 0.114 * data[i + 2];
          sum += y; sq += y * y; n += 1;
        }
        item.variance = sq / n - (sum / n) * (sum / n);
      } catch (e) { item.error = String(e); }
    }
    images.push(item);
  }
  return {readyState: document.readyState, title: document.title, images,
          scrollWidth: document.documentElement.scrollWidth, innerWidth: window.innerWidth};
})()
"""


def open_in_browser(exe, path, workdir):
    """Loads the file headless with the network off; answers what the page holds and what happened."""
    browser = Chromium(exe, str(workdir / "chromium-profile"))
    try:
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            browser.call(f"{domain}.enable", session=session)
        browser.call(
            "Network.emulateNetworkConditions",
            {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1},
            session,
        )
        # A laptop screen.
        browser.call(
            "Emulation.setDeviceMetricsOverride",
            {"width": 1366, "height": 768, "deviceScaleFactor": 1, "mobile": False},
            session,
        )
        url = path.resolve().as_uri()
        browser.call("Page.navigate", {"url": url}, session)
        browser.wait_for("Page.loadEventFired")
        page = browser.call(
            "Runtime.evaluate", {"expression": PLOTS_JS, "awaitPromise": True, "returnByValue": True}, session
        )["result"]["value"]
        shot = base64.b64decode(browser.call("Page.captureScreenshot", {"format": "png"}, session)["data"])
        pdf = base64.b64decode(browser.call("Page.printToPDF", {"printBackground": True}, session)["data"])
        browser.call("Runtime.evaluate", {"expression": "0"}, session)  # the events so far are in
    finally:
        browser.close()
    fetched = [e["params"]["request"]["url"] for e in browser.events if e.get("method") == "Network.requestWillBeSent"]
    errors = [
        e["params"]
        for e in browser.events
        if e.get("method") in ("Runtime.exceptionThrown", "Network.loadingFailed")
        or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")
        or (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error")
    ]
    return {
        "url": url,
        "page": page,
        "screenshot": shot,
        "pdf": pdf,
        "fetched": [u for u in fetched if u != url and not u.startswith("data:")],
        "errors": errors,
    }


def check_in_browser(seen, plots):
    page = seen["page"]
    assert seen["errors"] == [] and seen["fetched"] == []
    assert page["readyState"] == "complete"
    assert len(page["images"]) == plots
    for image in page["images"]:
        assert image["decoded"] and image["error"] is None, image
        assert image["width"] >= 400 and image["height"] >= 100, image
        assert 0 < image["shownWidth"] <= page["innerWidth"] and image["shownHeight"] > 50, image
        assert image["variance"] > 100, image  # a blank plot is one colour
    assert page["scrollWidth"] <= page["innerWidth"]  # nothing wider than a laptop screen
    assert seen["screenshot"].startswith(b"\x89PNG") and len(seen["screenshot"]) > 20_000
    assert seen["pdf"].startswith(b"%PDF") and seen["pdf"].count(b"/Type /Page") >= 2


def test_profile_report_in_a_browser(profile_report, tmp_path):
    seen = open_in_browser(_chromium(), profile_report, tmp_path)
    (tmp_path / "profile.png").write_bytes(seen["screenshot"])
    check_in_browser(seen, plots=3)
    assert seen["page"]["title"] == "orvane profile: pump.csv"


def test_demo_report_in_a_browser(demo_report, tmp_path):
    path, result = demo_report
    seen = open_in_browser(_chromium(), path, tmp_path)
    (tmp_path / "demo.png").write_bytes(seen["screenshot"])
    check_in_browser(seen, plots=1 + len(result.devices))


def test_the_browser_check_catches_fetches_errors_and_blank_plots(tmp_path):
    """The checks above would fail on a page that fetches, fails or shows a blank image."""
    _matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(5, 2))
    FigureCanvasAgg(fig)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")  # a white rectangle
    blank = base64.b64encode(buf.getvalue()).decode()
    page = tmp_path / "bad.html"
    page.write_text(
        f'<!DOCTYPE html><html><head><title>bad</title><link rel="stylesheet" href="http://example.invalid/s.css"></head>'
        f'<body><img src="data:image/png;base64,{blank}" alt="blank"><img src="http://127.0.0.1:9/x.png" alt="far">'
        "<script>undefined_function()</script></body></html>"
    )
    seen = open_in_browser(_chromium(), page, tmp_path)
    assert any("example.invalid" in u for u in seen["fetched"]) and any("127.0.0.1:9" in u for u in seen["fetched"])
    assert any(e.get("exceptionDetails") for e in seen["errors"])
    blank_seen = next(i for i in seen["page"]["images"] if i["alt"] == "blank")
    assert blank_seen["variance"] == 0
    with pytest.raises(AssertionError):
        check_in_browser(seen, plots=2)
