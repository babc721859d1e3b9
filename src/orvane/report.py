"""HTML reports of ``orvane demo`` and ``orvane profile``.

A report is one HTML file that opens offline: its plots are PNG images inside
the file as data URIs, its style sits in the page, and its content security
policy lets it load nothing else. Plots are drawn with matplotlib's Agg
renderer on figures of their own (never pyplot's global state), so writing a
report does not disturb a program that uses matplotlib itself.

Lines of any length are reduced while they are read: `LineEnvelope` keeps the
minimum and maximum of the values under each pixel column, in a fixed number
of columns, so a profile of millions of rows plots in constant memory and a
spike of a single reading stays visible.
"""

from __future__ import annotations

import base64
import html
import io
import math
import os
import tempfile
from datetime import datetime, timezone
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

__all__ = [
    "INSTALL_HINT",
    "ReportError",
    "LineEnvelope",
    "SeriesRecorder",
    "ProfilerSeries",
    "ProfileReport",
    "DemoRecorder",
    "check_report_path",
]

INSTALL_HINT = "writing a report needs matplotlib: pip install 'orvane[report]'"

#: Columns of an envelope: at least the pixel width of a plot, which is drawn 1000 pixels wide.
COLUMNS = 2048
#: Readings gathered before their values are converted and folded into the envelopes at once.
CHUNK = 4096
#: Channels per figure of lines over time.
CHANNELS_PER_FIGURE = 8
DPI = 100
FIG_WIDTH = 10.0  # inches: 1000 pixels at DPI

_NAN = math.nan


class ReportError(Exception):
    """The report cannot be written (matplotlib missing, output folder missing): one line for the user."""


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ReportError(INSTALL_HINT) from None
    return numpy


def check_report_path(path: str) -> None:
    """Raises ReportError before any work is done when the report could not be written at all."""
    try:
        import matplotlib  # noqa: F401
        import numpy  # noqa: F401
    except ImportError:
        raise ReportError(INSTALL_HINT) from None
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ReportError(f"cannot write the report {path}: no folder {folder}")
    if os.path.isdir(path):
        raise ReportError(f"cannot write the report {path}: it is a folder")
    if not os.access(folder, os.W_OK):
        raise ReportError(f"cannot write the report {path}: the folder {folder} is not writable")


# -- reducing lines -----------------------------------------------------------------


class LineEnvelope:
    """The minimum and maximum of a line's values per column, for a line of any length.

    Each column covers `width` consecutive positions; when the line outgrows
    the columns, neighbouring columns are merged pairwise and `width` doubles,
    so memory stays at `columns` pairs however long the line. Missing values
    (NaN; non-finite values count as missing) leave their column untouched.
    """

    def __init__(self, columns: int = COLUMNS, start: int = 0):
        if columns < 2 or columns % 2:
            raise ValueError("columns must be an even number of at least 2")
        np = _numpy()
        self._np = np
        self.columns = columns
        self.width = 1
        self.count = 0
        self.lo = np.full(columns, np.nan)
        self.hi = np.full(columns, np.nan)
        self.skip(start)

    def skip(self, n: int) -> None:
        """Moves on by n positions without a value (a line that starts late)."""
        end = self.count + n
        while end > self.columns * self.width:
            self._halve()
        self.count = end

    def extend(self, values: Any) -> None:
        """Folds an array of floats in, at the positions after those already seen."""
        np = self._np
        n = len(values)
        if n == 0:
            return
        end = self.count + n
        while end > self.columns * self.width:
            self._halve()
        width = self.width
        first = self.count // width
        # Offsets into values where a new column begins.
        starts = np.arange((first + 1) * width - self.count, n, width)
        starts = np.concatenate(([0], starts))
        cols = np.arange(first, first + len(starts))
        finite = np.isfinite(values)
        if not finite.all():
            # Infinities cannot be drawn: they count as missing, as NaN does.
            values = np.where(finite, values, np.nan)
        lo = np.fmin.reduceat(values, starts)
        hi = np.fmax.reduceat(values, starts)
        self.lo[cols] = np.fmin(self.lo[cols], lo)
        self.hi[cols] = np.fmax(self.hi[cols], hi)
        self.count = end

    def _halve(self) -> None:
        np = self._np
        half = self.columns // 2
        self.lo[:half] = np.fmin(self.lo[0::2], self.lo[1::2])
        self.hi[:half] = np.fmax(self.hi[0::2], self.hi[1::2])
        self.lo[half:] = np.nan
        self.hi[half:] = np.nan
        self.width *= 2

    def line(self) -> Tuple[Any, Any, Any]:
        """(x, lo, hi) of the columns in use; x is the first position each column covers."""
        np = self._np
        used = -(-self.count // self.width)
        x = np.arange(used, dtype=np.float64) * self.width
        return x, self.lo[:used].copy(), self.hi[:used].copy()


def to_floats(values: Sequence[Any]) -> Any:
    """Values as an array of floats, each converted as float() does; what does not convert is NaN."""
    np = _numpy()
    try:
        return np.array(values, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        pass
    out = np.empty(len(values), dtype=np.float64)
    for i, value in enumerate(values):
        try:
            out[i] = float(value)
        except (TypeError, ValueError, OverflowError):
            out[i] = _NAN
    return out


class SeriesRecorder:
    """Envelopes of the channels of a stream of payloads (mappings of channel to value).

    Payloads are kept in chunks of `CHUNK` and converted a channel at a time,
    which keeps the work per reading to one list append. A channel first seen
    later in the stream starts its envelope at that reading.
    """

    def __init__(self, columns: int = COLUMNS):
        self.columns = columns
        self.envelopes: Dict[str, LineEnvelope] = {}
        self.rows = 0
        self._chunk: List[Dict[str, Any]] = []

    def add(self, payload: Dict[str, Any]) -> None:
        self._chunk.append(payload)
        if len(self._chunk) >= CHUNK:
            self.flush()

    def flush(self) -> None:
        chunk = self._chunk
        if not chunk:
            return
        seen: Dict[str, None] = {}  # in order of appearance
        for payload in chunk:
            seen.update(dict.fromkeys(payload))
        for name in seen:
            if name not in self.envelopes and isinstance(name, str):
                self.envelopes[name] = LineEnvelope(self.columns, start=self.rows)
        for name, envelope in self.envelopes.items():
            envelope.extend(to_floats([p.get(name, _NAN) for p in chunk]))
        self.rows += len(chunk)
        self._chunk = []

    def line(self, name: str) -> Tuple[Any, Any, Any]:
        self.flush()
        return self.envelopes[name].line()


# -- drawing ----------------------------------------------------------------------------


def _figure(height: float, layout: Optional[str] = "constrained") -> Any:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(FIG_WIDTH, height), dpi=DPI, layout=layout)
    FigureCanvasAgg(fig)
    return fig


def _stacked_axes(heights: Sequence[float], top: float, bottom: float = 0.5) -> Tuple[Any, Any]:
    """A figure of axes stacked on one x axis, `heights` and margins in inches.

    The margins are fixed rather than worked out by a layout engine, which
    took half the drawing time of a figure of many axes; the channel names
    go inside the axes, so no margin depends on how long they are.
    """
    gap = 0.12
    total = top + bottom + sum(heights) + gap * (len(heights) - 1)
    fig = _figure(total, layout=None)
    grid = {
        "height_ratios": list(heights),
        "left": 0.8 / FIG_WIDTH,
        "right": 1.0 - 0.2 / FIG_WIDTH,
        "top": 1.0 - top / total,
        "bottom": bottom / total,
        "hspace": gap / (sum(heights) / len(heights)),
    }
    axes = fig.subplots(len(heights), 1, sharex=True, squeeze=False, gridspec_kw=grid)[:, 0]
    return fig, axes


def _name_axes(ax: Any, name: str) -> None:
    ax.text(
        0.004,
        0.95,
        name,
        transform=ax.transAxes,
        ha="left",
        va="top",
        fontsize=8.5,
        zorder=5,
        bbox={"boxstyle": "round,pad=0.2", "facecolor": "white", "edgecolor": "none", "alpha": 0.85},
    )


def _png(fig: Any) -> str:
    """The figure as a data URI of a PNG with a palette of 256 colours (a third of the size of full colour)."""
    buf = io.BytesIO()
    try:
        from PIL import Image
    except ImportError:
        fig.savefig(buf, format="png", dpi=DPI)
    else:
        canvas = fig.canvas
        canvas.draw()
        width, height = canvas.get_width_height()
        image = Image.frombuffer("RGBA", (width, height), canvas.buffer_rgba(), "raw", "RGBA", 0, 1)
        image.convert("RGB").quantize(colors=256, method=Image.Quantize.FASTOCTREE).save(buf, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode("ascii")


def _draw_line(ax: Any, x: Any, lo: Any, hi: Any, width: int, color: str) -> None:
    if width == 1:
        ax.plot(x, lo, color=color, linewidth=0.9)
    else:
        # The envelope of each pixel column: thin where the line is calm, tall where it jumps.
        ax.fill_between(x, lo, hi, color=color, linewidth=0.6, edgecolor=color)
    ax.margins(x=0)
    # Values as they are on the axis, not as an offset from a constant ("+2.4e1").
    ax.ticklabel_format(axis="y", useOffset=False)
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.tick_params(labelsize=8)


_LINE_COLOR = "#1f5f99"


def _lines_figures(recorder: Any, names: Sequence[str], xlabel: str) -> List[Tuple[str, str]]:
    """(data URI, alt text) per figure of up to CHANNELS_PER_FIGURE channels, one axis each."""
    out: List[Tuple[str, str]] = []
    if not names:
        return out
    figures = -(-len(names) // CHANNELS_PER_FIGURE)
    per = -(-len(names) // max(figures, 1))  # as even a share per figure as can be
    for i in range(0, len(names), per):
        group = list(names[i : i + per])
        fig, axes = _stacked_axes([1.2] * len(group), top=0.15)
        for ax, name in zip(axes, group):
            x, lo, hi = recorder.line(name)
            _draw_line(ax, x, lo, hi, recorder.envelopes[name].width, _LINE_COLOR)
            _name_axes(ax, name)
        axes[-1].set_xlabel(xlabel, fontsize=9)
        out.append((_png(fig), "each of " + ", ".join(group) + " over time"))
    return out


# -- HTML ---------------------------------------------------------------------------------

_STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d1d1d;
       max-width: 1040px; margin: 1.2em auto; padding: 0 1em; }
h1 { font-size: 1.45em; margin: 0.2em 0; } h2 { font-size: 1.2em; margin-top: 1.6em;
     border-bottom: 1px solid #ccc; } h3 { font-size: 1.05em; margin-bottom: 0.3em; }
p.meta { color: #555; margin: 0.2em 0; }
table { border-collapse: collapse; font-size: 12.5px; margin: 0.4em 0; }
th, td { padding: 2px 7px; border-bottom: 1px solid #e2e2e2; text-align: right; vertical-align: top; }
th { background: #f3f3f3; } .l { text-align: left; }
.wrap { overflow-x: auto; }
figure { margin: 0.6em 0 1.2em; break-inside: avoid; }
figure img { display: block; max-width: 100%; height: auto; }
figcaption { color: #555; font-size: 12.5px; }
.note { color: #7a4b00; }
@media print {
  body { max-width: none; margin: 0; font-size: 11px; }
  .wrap { overflow: visible; }
  tr, figure { break-inside: avoid; }
  h2, h3 { break-after: avoid; }
}
"""

_CSP = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"


def _e(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _num(x: Any) -> str:
    if isinstance(x, bool) or not isinstance(x, (int, float)):
        return "-" if x is None else str(x)
    if isinstance(x, int) or not math.isfinite(x):
        return str(x)
    if x == 0:
        return "0"
    if 1e-3 <= abs(x) < 1e6:
        return f"{x:.4f}".rstrip("0").rstrip(".")
    return f"{x:.3e}"


def _table(headers: Sequence[str], rows: Iterable[Sequence[Any]], left: Sequence[int] = (0,)) -> str:
    head = "".join(f'<th class="l">{_e(h)}</th>' if i in left else f"<th>{_e(h)}</th>" for i, h in enumerate(headers))
    body = []
    for row in rows:
        cells = "".join(f'<td class="l">{_e(c)}</td>' if i in left else f"<td>{_e(c)}</td>" for i, c in enumerate(row))
        body.append(f"<tr>{cells}</tr>")
    return f'<div class="wrap"><table><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table></div>'


def _img(uri: str, alt: str, caption: str = "") -> str:
    cap = f"<figcaption>{_e(caption)}</figcaption>" if caption else ""
    return f'<figure><img src="{uri}" alt="{_e(alt)}">{cap}</figure>'


def _page(title: str, body: Sequence[str]) -> str:
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    from . import __version__

    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f'<meta http-equiv="Content-Security-Policy" content="{_CSP}">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{_e(title)}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
        f'<h1>{_e(title)}</h1>\n<p class="meta">written by orvane {_e(__version__)} on {made}</p>\n'
        + "\n".join(body)
        + "\n</body>\n</html>\n"
    )


def _write(path: str, text: str) -> None:
    """Writes the whole file or nothing: a failed write leaves no half report behind."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".orvane-report-", suffix=".html", dir=folder)
    except OSError as exc:
        raise ReportError(f"cannot write the report {path}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except OSError as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise ReportError(f"cannot write the report {path}: {exc.strerror or exc}") from None


def _schema_rows(snapshot: Dict[str, Any], schema: Dict[str, Any]) -> List[List[str]]:
    classifications = schema.get("classifications", {})
    significant = set(schema.get("significant_channels", ()))
    rows = []
    for name, rec in snapshot.get("channels", {}).items():
        cls = classifications.get(name, {})
        rows.append(
            [
                name + (" *" if name in significant else ""),
                _num(rec.get("count")),
                _num(rec.get("mean")),
                _num(rec.get("std")),
                _num(rec.get("min")),
                _num(rec.get("max")),
                _num(rec.get("periodicity_score")),
                _num(rec.get("outlier_frequency")),
                ", ".join(cls.get("labels", ())),
                _num(cls.get("significance_score", 0.0)),
                ", ".join(cls.get("correlated_with", ())) or "-",
            ]
        )
    return rows


_SCHEMA_HEADERS = [
    "channel",
    "count",
    "mean",
    "std",
    "min",
    "max",
    "periodicity",
    "outliers",
    "labels",
    "significance",
    "correlated with",
]


def _schema_table(snapshot: Dict[str, Any], schema: Dict[str, Any]) -> str:
    return _table(_SCHEMA_HEADERS, _schema_rows(snapshot, schema), left=(0, 8, 10))


def _schema_heading(snapshot: Dict[str, Any], schema: Dict[str, Any]) -> str:
    return (
        f"{snapshot.get('total_observations')} readings, {snapshot.get('channel_count')} channels, "
        f"confidence {_num(snapshot.get('confidence_score'))}; significant (*): "
        f"{', '.join(schema.get('significant_channels', ())) or 'none'}; "
        f"stable: {', '.join(schema.get('stable_channels', ())) or 'none'}"
    )


def _correlation_figure(snapshot: Dict[str, Any]) -> Optional[str]:
    np = _numpy()
    corr = snapshot.get("correlations") or {}
    names = [n for n in snapshot.get("channels", {}) if n in corr]
    if len(names) < 2:
        return None
    m = np.full((len(names), len(names)), np.nan)
    for i, a in enumerate(names):
        for j, b in enumerate(names):
            value = corr.get(a, {}).get(b, corr.get(b, {}).get(a))
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                m[i, j] = value
    side = min(9.0, 2.2 + 0.45 * len(names))
    fig = _figure(side * 0.82)
    ax = fig.add_subplot()
    cmap = _colormap("RdBu_r").with_extremes(bad="#bbbbbb")
    image = ax.imshow(np.ma.masked_invalid(m), cmap=cmap, vmin=-1.0, vmax=1.0)
    ax.set_xticks(range(len(names)), names, rotation=45, ha="right", fontsize=8)
    ax.set_yticks(range(len(names)), names, fontsize=8)
    if len(names) <= 14:
        for i in range(len(names)):
            for j in range(len(names)):
                if math.isfinite(m[i, j]):
                    ax.text(
                        j,
                        i,
                        f"{m[i, j]:.2f}",
                        ha="center",
                        va="center",
                        fontsize=7,
                        color="white" if abs(m[i, j]) > 0.6 else "#222",
                    )
    fig.colorbar(image, ax=ax, shrink=0.8, label="correlation")
    return _png(fig)


def _colormap(name: str) -> Any:
    import matplotlib

    return matplotlib.colormaps[name].copy()


def _periodicity_figure(snapshot: Dict[str, Any]) -> Optional[str]:
    channels = snapshot.get("channels", {})
    names = list(channels)
    if not names:
        return None
    scores = []
    for n in names:
        s = channels[n].get("periodicity_score")
        scores.append(float(s) if isinstance(s, (int, float)) and math.isfinite(s) else 0.0)
    fig = _figure(0.9 + 0.28 * len(names))
    ax = fig.add_subplot()
    y = list(range(len(names)))
    ax.barh(y, scores, color="#3a7d44", height=0.6)
    ax.set_yticks(y, names, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlim(0, max(1.0, max(scores) * 1.05))
    ax.set_xlabel("periodicity score (0: none, 1: one frequency carries the whole signal)", fontsize=9)
    ax.grid(True, axis="x", color="#e4e4e4")
    for yi, s in zip(y, scores):
        ax.text(s + 0.01, yi, f"{s:.3f}", va="center", fontsize=7)
    return _png(fig)


# -- profile ------------------------------------------------------------------------------


class ProfilerSeries:
    """Envelopes of the channels of a profiler, read from the values it converted itself.

    Every `block` readings (at most the profiler's window) the values each
    channel received since the last look are taken from the end of its window:
    the cell texts are converted once, by the profiler. When a channel did not
    get a value in every reading of the block (an empty or non-numeric cell),
    its positions are not known from the window, and that block's cells of
    the channel are converted here instead, as the profiler converts them.
    """

    def __init__(self, profiler: Any, columns: int = COLUMNS, block: int = 100):
        self.profiler = profiler
        self.columns = columns
        self.block = block
        self.envelopes: Dict[str, LineEnvelope] = {}
        self.rows = 0  # readings taken from the window so far
        self._flushed = 0  # readings already folded into the envelopes
        self._counts: Dict[str, int] = {}
        self._pending: Dict[str, List[float]] = {}
        #: The payloads handed to the profiler since the last `collect`, at most `block`.
        self.payloads: List[Dict[str, Any]] = []

    def collect(self) -> None:
        """Takes the values of the payloads added since the last call; all of them must have been observed."""
        payloads = self.payloads
        n = len(payloads)
        if not n:
            return
        for name, stats in self.profiler.channels.items():
            pending = self._pending.get(name)
            if pending is None:
                pending = self._pending[name] = [_NAN] * (self.rows - self._flushed)
                self.envelopes[name] = LineEnvelope(self.columns, start=self._flushed)
                self._counts[name] = 0
            count = stats.count
            got = count - self._counts[name]
            self._counts[name] = count
            if got == 0:
                pending.extend([_NAN] * n)
                continue
            window = stats.history
            if got == n and n <= len(window):
                if n < len(window):
                    window = list(window)[-n:]
                pending.extend(window)
            else:
                pending.extend(to_floats([p.get(name, _NAN) for p in payloads]).tolist())
        self.rows += n
        payloads.clear()
        if self.rows - self._flushed >= CHUNK:
            self.flush()

    def flush(self) -> None:
        np = _numpy()
        for name, pending in self._pending.items():
            if pending:
                # fromiter: half the time of np.array on a list of floats.
                self.envelopes[name].extend(np.fromiter(pending, dtype=np.float64, count=len(pending)))
                pending.clear()
        self._flushed = self.rows

    def line(self, name: str) -> Tuple[Any, Any, Any]:
        self.flush()
        return self.envelopes[name].line()


class ProfileReport:
    """Watches the readings of ``orvane profile`` and writes their report.

    `profiler` is the profiler the readings go to, for `watch` reads the
    converted values back from it.
    """

    def __init__(self, device_id: str):
        from .brenlow.profiler import StatisticalProfiler

        self.profiler = StatisticalProfiler(device_id)
        self.series = ProfilerSeries(self.profiler)
        self.first: Optional[str] = None
        self.last: Optional[str] = None

    def watch(self, readings: Iterable[Tuple[str, Dict[str, str]]]) -> Iterator[Tuple[str, Dict[str, str]]]:
        """Passes the (timestamp, payload) readings through to the profiler, recording each channel's line.

        The next reading is asked for only once the profiler observed the last
        one, so the values of the readings before it are in the profiler.
        """
        series = self.series
        payloads = series.payloads
        append = payloads.append
        block = series.block
        last = None
        try:
            for timestamp, payload in readings:
                if len(payloads) >= block:
                    series.collect()
                elif last is None:
                    self.first = timestamp
                append(payload)
                last = timestamp
                yield timestamp, payload
            series.collect()
        finally:
            self.last = last
            series.flush()

    def write(
        self,
        path: str,
        *,
        source: str,
        timestamp_column: str,
        columns: Sequence[str],
        snapshot: Dict[str, Any],
        schema: Dict[str, Any],
    ) -> None:
        channels = [n for n in snapshot.get("channels", {}) if n in self.series.envelopes]
        rows = snapshot.get("total_observations", self.series.rows)
        body = [
            f'<p class="meta">{rows:,} readings; timestamp column {_e(timestamp_column)!s}'
            + (f" from {_e(self.first)} to {_e(self.last)}" if self.first is not None else "")
            + f"; device id {_e(snapshot.get('device_id'))}</p>",
            "<h2>Channels</h2>",
            f"<p>{_e(_schema_heading(snapshot, schema))}</p>",
            _schema_table(snapshot, schema),
        ]
        unused = [c for c in columns if c not in snapshot.get("channels", {})]
        if unused:
            body.append(
                f'<p class="note">Columns without a single numeric value (not channels): {_e(", ".join(unused))}</p>'
            )
        if channels:
            body.append("<h2>Each channel over time</h2>")
            width = max(self.series.envelopes[c].width for c in channels)
            how = (
                "every reading drawn"
                if width == 1
                else f"each column of pixels shows the lowest and highest of the {width:,} readings it covers"
            )
            for uri, alt in _lines_figures(self.series, channels, "reading number"):
                body.append(_img(uri, alt, f"x: reading number in the file; {how}."))
        heat = _correlation_figure(snapshot)
        body.append("<h2>Correlations</h2>")
        if heat is not None:
            body.append(
                _img(
                    heat,
                    "correlation heat map of the channels",
                    "Correlation of each pair of channels over the profiler's recent window (grey: not defined).",
                )
            )
        else:
            body.append("<p>Fewer than two channels: no correlations.</p>")
        bars = _periodicity_figure(snapshot)
        body.append("<h2>Periodicity</h2>")
        if bars is not None:
            body.append(
                _img(
                    bars,
                    "periodicity score of each channel",
                    "Share of the signal carried by its strongest frequency over the profiler's recent window.",
                )
            )
        else:
            body.append("<p>No channels.</p>")
        _write(path, _page(f"orvane profile: {os.path.basename(source)}", body))


# -- demo --------------------------------------------------------------------------------

_KIND_COLORS = ["#d62728", "#9467bd", "#1f77b4", "#ff7f0e", "#8c564b", "#e377c2", "#17becf", "#bcbd22"]


class DemoRecorder:
    """Records what ``orvane demo`` needs for its report while the readings go by."""

    def __init__(self) -> None:
        self.series: Dict[str, SeriesRecorder] = {}
        self.snapshots: Dict[str, Dict[str, Any]] = {}
        self.result: Any = None

    def reading(self, device: str, payload: Dict[str, Any]) -> None:
        recorder = self.series.get(device)
        if recorder is None:
            recorder = self.series[device] = SeriesRecorder()
        recorder.add(payload)

    def finish(self, result: Any, snapshots: Dict[str, Dict[str, Any]]) -> None:
        self.result = result
        self.snapshots = snapshots
        for recorder in self.series.values():
            recorder.flush()

    def write(self, path: str) -> None:
        from .brenlow.classifier import SchemaClassifier

        r = self.result
        if r is None:
            raise ReportError("the demo did not finish: nothing to report")
        kinds = sorted({f.kind for f in r.faults} | {label for _, _, label in r.events})
        colors = {k: _KIND_COLORS[i % len(_KIND_COLORS)] for i, k in enumerate(kinds)}
        body = [
            f'<p class="meta">{len(r.devices)} devices x {r.readings // max(len(r.devices), 1):,} readings; '
            f"the first {r.history_end:,} readings of each device build the labelled history, the rest is scored.</p>",
            "<h2>Summary</h2>",
            _table(["figure", "value", "what it counts"], self._summary_rows(r), left=(0, 2)),
        ]
        for note in r.notes:
            body.append(f'<p class="note">note: {_e(note)}</p>')
        kinds_fig = self._faults_figure(r, colors)
        if kinds_fig is not None:
            body.append(
                _img(
                    kinds_fig,
                    "scored faults found and missed, per kind",
                    "Scored faults per kind: found (an event during the fault) and missed.",
                )
            )
        classifier = SchemaClassifier()
        body.append("<h2>Devices</h2>")
        body.append(
            "<p>Each channel over time. Shaded: injected faults, coloured by kind. "
            "Triangles above the channels: anomaly events, coloured by the outcome they name "
            "(filled: during a fault; hollow: outside any fault). Dashed line: end of the history.</p>"
        )
        for device in r.devices:
            series = self.series.get(device)
            snapshot = self.snapshots.get(device)
            body.append(f"<h3>{_e(device)}</h3>")
            faults = [f for f in r.faults if f.device == device]
            events = [(t, label) for d, t, label in r.events if d == device]
            counts: Dict[str, int] = {}
            for _, label in events:
                counts[label] = counts.get(label, 0) + 1
            body.append(
                f"<p>{len(faults)} faults injected; {len(events)} anomaly events"
                + (" (" + ", ".join(f"{_e(k)} {v}" for k, v in sorted(counts.items())) + ")" if counts else "")
                + "</p>"
            )
            if series is not None and series.envelopes:
                names = [n for n in (snapshot or {}).get("channels", series.envelopes) if n in series.envelopes]
                uri = self._device_figure(series, names, faults, events, r.history_end, colors)
                body.append(_img(uri, f"channels of {device} over time with faults and events"))
            if snapshot is not None:
                schema = classifier.classify(snapshot)
                body.append(f"<p>Channel schema: {_e(_schema_heading(snapshot, schema))}</p>")
                body.append(_schema_table(snapshot, schema))
        _write(path, _page("orvane demo", body))

    @staticmethod
    def _summary_rows(r: Any) -> List[List[str]]:
        lost = r.episodes_built - r.episodes_stored
        stream_rate = r.readings / r.stream_seconds if r.stream_seconds else 0.0
        rows = [
            [
                "recall",
                f"{r.recall * 100:.1f}%",
                f"{r.faults_found} of {r.faults_scored} scored faults found (target at least 80%)",
            ],
            [
                "false events",
                f"{r.false_share * 100:.1f}%",
                f"{r.events_scored - r.events_true} of {r.events_scored} scored events outside any fault (target at most 10%)",
            ],
            [
                "precision",
                f"{r.precision * 100:.1f}%",
                f"{r.events_named_right} of {r.events_true} true events name the fault right",
            ],
            ["readings/s end to end", f"{r.readings_per_s:,.0f}", f"{r.readings:,} readings in {r.seconds:.2f} s"],
            ["readings/s stream modules", f"{stream_rate:,.0f}", "profiler + accumulator + detector only"],
            [
                "episodes lost",
                f"{lost:,}",
                f"{r.episodes_built:,} built, {r.episodes_ingested:,} ingested, {r.episodes_stored:,} stored",
            ],
            ["outcomes recorded", f"{r.outcomes_recorded:,}", "episodes whose outcome the run recorded"],
            [
                "faults injected",
                f"{len(r.faults)}",
                f"{len(r.faults) - r.faults_scored} in the history, {r.faults_scored} scored",
            ],
            ["events in the history", f"{r.events_history}", "not scored"],
        ]
        if r.retrieval_agreement is not None:
            rows.append(
                [
                    "retrieval agreement",
                    f"{r.retrieval_agreement * 100:.1f}%",
                    f"{r.states_agreeing} of {r.states_retrieved} states: majority label of the nearest stored states is the true one",
                ]
            )
        else:
            rows.append(["retrieval agreement", "not measured", "see the notes"])
        rows.append(["composite states", f"{r.states:,}", f"{r.imu_windows:,} IMU windows encoded"])
        return rows

    @staticmethod
    def _faults_figure(r: Any, colors: Dict[str, str]) -> Optional[str]:
        scored = [f for f in r.faults if f.start >= r.history_end]
        if not scored:
            return None
        found_at = {(d, t) for d, t, _ in r.events}
        kinds = sorted({f.kind for f in scored})
        found = []
        missed = []
        for kind in kinds:
            of_kind = [f for f in scored if f.kind == kind]
            hit = sum(1 for f in of_kind if any((f.device, t) in found_at for t in range(f.start, f.end)))
            found.append(hit)
            missed.append(len(of_kind) - hit)
        fig = _figure(0.9 + 0.4 * len(kinds))
        ax = fig.add_subplot()
        y = list(range(len(kinds)))
        ax.barh(y, found, color=[colors.get(k, "#555") for k in kinds], height=0.6, label="found")
        ax.barh(y, missed, left=found, color="#dddddd", edgecolor="#999999", height=0.6, label="missed")
        ax.set_yticks(y, kinds, fontsize=9)
        ax.invert_yaxis()
        ax.set_xlabel("scored faults", fontsize=9)
        ax.xaxis.get_major_locator().set_params(integer=True)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)
        ax.grid(True, axis="x", color="#e4e4e4")
        return _png(fig)

    @staticmethod
    def _device_figure(
        series: SeriesRecorder,
        names: Sequence[str],
        faults: Sequence[Any],
        events: Sequence[Tuple[int, str]],
        history_end: int,
        colors: Dict[str, str],
    ) -> str:
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch

        fig, axes = _stacked_axes([0.4] + [1.05] * len(names), top=0.4)
        strip, chans = axes[0], axes[1:]
        covering = {}
        for f in faults:
            for t in range(f.start, f.end):
                covering[t] = f.kind
        for label in sorted({label for _, label in events}):
            ts = [t for t, lab in events if lab == label]
            inside = [t for t in ts if t in covering]
            outside = [t for t in ts if t not in covering]
            color = colors.get(label, "#555")
            if inside:
                strip.scatter(inside, [0.0] * len(inside), marker="v", s=28, color=color, zorder=3)
            if outside:
                strip.scatter(
                    outside, [0.0] * len(outside), marker="v", s=28, facecolors="none", edgecolors=color, zorder=3
                )
        strip.set_yticks([])
        strip.set_ylim(-1, 1)
        _name_axes(strip, "events")
        for ax in axes:
            for f in faults:
                ax.axvspan(f.start, f.end, color=colors.get(f.kind, "#999"), alpha=0.2, linewidth=0)
            ax.axvline(history_end, color="#444", linestyle="--", linewidth=0.8)
        for ax, name in zip(chans, names):
            x, lo, hi = series.line(name)
            _draw_line(ax, x, lo, hi, series.envelopes[name].width, _LINE_COLOR)
            _name_axes(ax, name)
        strip.tick_params(labelsize=8)
        strip.margins(x=0)
        chans[-1].set_xlabel("reading (one a second)", fontsize=9)
        used = sorted({f.kind for f in faults} | {label for _, label in events})
        handles = [
            Patch(color=colors.get(k, "#999"), alpha=0.35, label=f"fault {k}") for k in sorted({f.kind for f in faults})
        ]
        handles += [
            Line2D([], [], marker="v", linestyle="", color=colors.get(k, "#555"), label=f"event {k}")
            for k in sorted({label for _, label in events})
        ]
        if used:
            fig.legend(
                handles=handles,
                loc="upper center",
                bbox_to_anchor=(0.5, 1.0),
                ncol=min(len(handles), 6),
                fontsize=8,
                frameon=False,
            )
        return _png(fig)
