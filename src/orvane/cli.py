"""The ``orvane`` command line: ``demo``, ``serve``, ``migrate`` and ``profile``."""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import signal
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, TextIO, Tuple

from .server import DEFAULT_MAX_BODY, DEFAULT_MAX_CONNECTIONS

__all__ = ["main", "build_parser", "profile_rows", "read_csv_readings", "schema_table"]

#: Header names taken as the timestamp column when none is named.
TIMESTAMP_NAMES = ("timestamp", "time", "ts", "datetime", "date")


class CommandError(Exception):
    """A problem with the user's input: printed as one line, exit status 2."""


# -- tables ----------------------------------------------------------------------


def _num(x: Any) -> str:
    if isinstance(x, bool) or not isinstance(x, (int, float)):
        return str(x)
    if isinstance(x, int):
        return str(x)
    if not math.isfinite(x):
        return str(x)
    if x == 0:
        return "0"
    mag = abs(x)
    if 1e-3 <= mag < 1e6:
        text = f"{x:.4f}".rstrip("0").rstrip(".")
        return text if text not in ("", "-0") else "0"
    return f"{x:.3e}"


def format_table(headers: Sequence[str], rows: Iterable[Sequence[str]], *, align_right: Sequence[bool] = ()) -> str:
    """A plain text table with a rule under the header."""
    rows = [list(map(str, row)) for row in rows]
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    right = list(align_right) + [False] * (len(headers) - len(align_right))

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            out.append(cell.rjust(widths[i]) if right[i] else cell.ljust(widths[i]))
        return "  ".join(out).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


SCHEMA_HEADERS = [
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


def schema_rows(snapshot: Dict[str, Any], schema: Dict[str, Any], num: Callable[[Any], str] = _num) -> List[List[str]]:
    """One row per channel: its statistics from the snapshot and its labels from the schema."""
    classifications = schema.get("classifications", {})
    significant = set(schema.get("significant_channels", ()))
    rows = []
    for name, rec in snapshot.get("channels", {}).items():
        cls = classifications.get(name, {})
        rows.append(
            [
                name + (" *" if name in significant else ""),
                num(rec.get("count")),
                num(rec.get("mean")),
                num(rec.get("std")),
                num(rec.get("min")),
                num(rec.get("max")),
                num(rec.get("periodicity_score")),
                num(rec.get("outlier_frequency")),
                ", ".join(cls.get("labels", ())),
                num(cls.get("significance_score", 0.0)),
                ", ".join(cls.get("correlated_with", ())) or "-",
            ]
        )
    return rows


def schema_table(snapshot: Dict[str, Any], schema: Dict[str, Any]) -> str:
    return format_table(
        SCHEMA_HEADERS, schema_rows(snapshot, schema), align_right=[False] + [True] * 7 + [False, True, False]
    )


def snapshot_heading(snapshot: Dict[str, Any], schema: Dict[str, Any]) -> str:
    return (
        f"device {snapshot.get('device_id')}: {snapshot.get('total_observations')} readings, "
        f"{snapshot.get('channel_count')} channels, confidence {_num(snapshot.get('confidence_score'))}; "
        f"significant (*): {', '.join(schema.get('significant_channels', ())) or 'none'}; "
        f"stable: {', '.join(schema.get('stable_channels', ())) or 'none'}"
    )


# -- profile -----------------------------------------------------------------------


#: Longest line of a CSV file read, in characters.
MAX_LINE = 1 << 20
#: Delimiters guessed from the header row, in order of preference on a tie.
DELIMITERS = (",", ";", "\t", "|")


def _lines(stream: TextIO, limit: int = MAX_LINE) -> Iterator[str]:
    """The lines of a stream, each read with a bound: a longer one is an error, not a memory hog."""
    number = 0
    while True:
        line = stream.readline(limit + 1)
        if not line:
            return
        number += 1
        if len(line) > limit:
            raise CommandError(f"line {number} is longer than {limit:,} characters (not a CSV of readings?)")
        yield line


def guess_delimiter(header_line: str) -> str:
    """The delimiter a header row most likely uses: the most frequent of DELIMITERS (ties go to the earlier)."""
    counts = [(header_line.count(d), -i, d) for i, d in enumerate(DELIMITERS)]
    best = max(counts)
    return best[2] if best[0] > 0 else ","


def read_csv_readings(
    stream: TextIO, timestamp_column: Optional[str] = None, delimiter: Optional[str] = None
) -> Tuple[str, List[str], Iterator[Tuple[str, Dict[str, str]]]]:
    """(timestamp column, channel columns, readings) of a CSV: :func:`read_csv` without the delimiter."""
    return read_csv(stream, timestamp_column, delimiter)[1:]


def read_csv(
    stream: TextIO, timestamp_column: Optional[str] = None, delimiter: Optional[str] = None
) -> Tuple[str, str, List[str], Iterator[Tuple[str, Dict[str, str]]]]:
    """Reads a CSV of readings: a header row, a timestamp column, channel columns.

    Answers (delimiter, timestamp column, channel columns, readings). The header is read
    at once; the readings are read from ``stream`` as they are iterated, so a
    file of any length is profiled in constant memory (lines are read with a
    bound of MAX_LINE characters). Each reading is a (timestamp, payload)
    pair whose payload maps channel to the cell's text exactly as written.
    Empty cells and cells missing at the end of a short row are left out of
    the payload: the channel had no reading then. Without ``delimiter`` it is
    guessed from the header row (see :func:`guess_delimiter`).
    """
    lines = _lines(stream)
    first = next(lines, None)
    if delimiter is None:
        delimiter = guess_delimiter(first or "")
    reader = csv.reader(lines if first is None else _chain(first, lines), delimiter=delimiter)
    try:
        header = next(reader)
    except StopIteration:
        raise CommandError("the file is empty: a header row is needed") from None
    except csv.Error as exc:
        raise CommandError(f"line 1: {exc}") from None
    header = [h.strip() for h in header]
    seen = set()
    for name in header:
        if not name:
            raise CommandError("the header row has an empty column name")
        if name in seen:
            raise CommandError(f"the header row names column {name!r} twice")
        seen.add(name)
    if timestamp_column is None:
        lowered = [h.lower() for h in header]
        ts_index = next((lowered.index(n) for n in TIMESTAMP_NAMES if n in lowered), 0)
    elif timestamp_column in header:
        ts_index = header.index(timestamp_column)
    else:
        raise CommandError(f"no column {timestamp_column!r} in the header ({', '.join(header)})")
    channels = [h for i, h in enumerate(header) if i != ts_index]

    def readings() -> Iterator[Tuple[str, Dict[str, str]]]:
        try:
            for row in reader:
                if not row or all(not cell.strip() for cell in row):
                    continue
                if len(row) > len(header):
                    raise CommandError(
                        f"line {reader.line_num}: {len(row)} cells, but the header has {len(header)} columns"
                    )
                timestamp = row[ts_index].strip() if ts_index < len(row) else ""
                payload = {}
                for i, cell in enumerate(row):
                    if i != ts_index and cell.strip():
                        payload[header[i]] = cell
                yield timestamp, payload
        except csv.Error as exc:
            raise CommandError(f"line {reader.line_num}: {exc}") from None

    return delimiter, header[ts_index], channels, readings()


def _chain(first: str, rest: Iterator[str]) -> Iterator[str]:
    yield first
    yield from rest


def profile_rows(
    payloads: Iterable[Dict[str, Any]], device_id: str, profiler: Any = None
) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """Feeds payloads to a new profiler (or continues ``profiler``); answers its snapshot and the classified schema."""
    from .brenlow.classifier import SchemaClassifier
    from .brenlow.profiler import StatisticalProfiler

    if profiler is None:
        profiler = StatisticalProfiler(device_id)
    for payload in payloads:
        profiler.observe(payload)
    snapshot = profiler.snapshot()
    return snapshot, SchemaClassifier().classify(snapshot)


def _json_safe(value: Any) -> Any:
    """JSON cannot spell inf or nan: they are written as the strings "inf", "-inf", "nan"."""
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_safe(v) for v in value]
    return value


# -- saved profiles (profile --state) ------------------------------------------------

#: Version of the saved-profile file that ``profile --state`` reads and writes.
STATE_FILE_VERSION = 1
STATE_FILE_FORMAT = "orvane-profile"
# The float entries of a channel's state: JSON spells their non-finite values as text.
_STATE_FLOATS = ("min_val", "max_val", "mean", "M2", "prev_value", "delta_sum")
_NON_FINITE = {"inf": math.inf, "-inf": -math.inf, "nan": math.nan}


def _revive(value: Any) -> Any:
    return _NON_FINITE.get(value, value) if isinstance(value, str) else value


def load_profile_state(path: str) -> Any:
    """The profiler saved in ``path``, or None when there is no such file."""
    from .brenlow.profiler import StatisticalProfiler

    try:
        with open(path, encoding="utf-8") as stream:
            saved = json.load(stream)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise CommandError(f"{path} is not a saved profile: {exc}") from None
    if not isinstance(saved, dict) or saved.get("format") != STATE_FILE_FORMAT:
        raise CommandError(f'{path} is not a saved profile (no "format": "{STATE_FILE_FORMAT}")')
    if saved.get("version") != STATE_FILE_VERSION:
        raise CommandError(
            f"{path}: saved-profile version {saved.get('version')!r} is not supported (this orvane reads version {STATE_FILE_VERSION})"
        )
    state = saved.get("profile")
    # The profiler checks the state in full; here only the texts that stand
    # for non-finite numbers become floats again.
    pairs = state.get("channels") if isinstance(state, dict) else None
    for pair in pairs if isinstance(pairs, list) else ():
        channel = pair[1] if isinstance(pair, list) and len(pair) == 2 and isinstance(pair[1], dict) else {}
        for key in _STATE_FLOATS:
            if key in channel:
                channel[key] = _revive(channel[key])
        if isinstance(channel.get("window"), list):
            channel["window"] = [_revive(v) for v in channel["window"]]
    try:
        profiler = StatisticalProfiler.__new__(StatisticalProfiler)
        profiler.__setstate__(state)
    except (TypeError, ValueError) as exc:
        raise CommandError(f"{path} is not a saved profile: {exc}") from None
    return profiler


def save_profile_state(path: str, profiler: Any) -> None:
    """Writes the profile to ``path`` atomically: a temporary file beside it, then a rename."""
    saved = {"format": STATE_FILE_FORMAT, "version": STATE_FILE_VERSION, "profile": profiler.__getstate__()}
    text = json.dumps(_json_safe(saved), allow_nan=False)
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(prefix=".orvane-profile-", suffix=".tmp", dir=directory)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text + "\n")
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temp, path)
    except BaseException as exc:
        try:
            os.unlink(temp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None
        raise


def cmd_profile(args: argparse.Namespace, out: TextIO) -> int:
    device_id = args.device_id
    profiler = load_profile_state(args.state) if args.state is not None else None
    if profiler is not None:
        # The saved profile's device, whatever this CSV is called.
        if device_id is not None and device_id != profiler.device_id:
            raise CommandError(f"{args.state} holds the profile of device {profiler.device_id!r}, not {device_id!r}")
        device_id = profiler.device_id
    if device_id is None:
        from .brenlow.provisioner import ensure_device_id

        device_id = ensure_device_id(os.path.splitext(os.path.basename(args.file))[0])
    if args.state is not None and profiler is None:
        from .brenlow.profiler import StatisticalProfiler

        profiler = StatisticalProfiler(device_id)
    wants_report = _report_check(args.report)
    if wants_report and args.state is not None:
        # The report draws the readings of one run from a profiler it starts itself.
        raise CommandError("--report and --state cannot be used together")
    report = None
    try:
        with open(args.file, newline="", encoding="utf-8-sig") as stream:
            delimiter, ts_column, channels, readings = read_csv(stream, args.timestamp_column, args.delimiter)
            if wants_report:
                from .report import ProfileReport

                report = ProfileReport(device_id)
                readings = report.watch(readings)
                profiler = report.profiler
            progress = _FileProgress(args.file, stream, sys.stderr)
            snapshot, schema = profile_rows(progress.payloads(readings), device_id, profiler)
            progress.finish()
    except OSError as exc:
        raise CommandError(f"cannot read {args.file}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise CommandError(f"{args.file} is not UTF-8 text: {exc}") from None
    if not snapshot["channels"] and snapshot["total_observations"]:
        raise CommandError(
            f"no column holds a number when cells are split at {_delimiter_name(delimiter)}"
            f" (header: {', '.join([ts_column, *channels])}); give the right one with --delimiter"
        )
    if args.state is not None:
        save_profile_state(args.state, profiler)
    if report is not None:
        _report_write(
            report.write,
            args.report,
            source=args.file,
            timestamp_column=ts_column,
            columns=channels,
            snapshot=snapshot,
            schema=schema,
        )
    if args.json:
        json.dump(_json_safe({"snapshot": snapshot, "schema": schema}), out, indent=2, allow_nan=False)
        out.write("\n")
        return 0
    unused = [c for c in channels if c not in snapshot["channels"]]
    out.write(
        f"{args.file}: {snapshot['total_observations']} readings, timestamp column {ts_column!r}, delimiter {_delimiter_name(delimiter)}\n"
    )
    out.write(snapshot_heading(snapshot, schema) + "\n\n")
    out.write(schema_table(snapshot, schema) + "\n")
    if unused:
        out.write(f"\ncolumns without a single numeric value (not channels): {', '.join(unused)}\n")
    correlations = snapshot.get("correlations", {})
    pairs = []
    names = list(correlations)
    for i, a in enumerate(names):
        for b in names[i + 1 :]:
            value = correlations[a].get(b, correlations.get(b, {}).get(a))
            if value is not None:
                pairs.append((abs(value), a, b, value))
    pairs.sort(key=lambda p: p[0], reverse=True)
    if pairs:
        out.write("\nstrongest correlations: " + "; ".join(f"{a} ~ {b} {_num(v)}" for _, a, b, v in pairs[:5]) + "\n")
    return 0


def _delimiter_name(delimiter: str) -> str:
    return {"\t": "tab", " ": "space"}.get(delimiter, repr(delimiter))


def _delimiter(text: str) -> str:
    text = {"tab": "\t", "\\t": "\t", "space": " "}.get(text, text)
    if len(text) != 1 or text in '"\r\n':
        raise argparse.ArgumentTypeError("must be one character (or 'tab'), not a quote or line break")
    return text


class _FileProgress:
    """Progress of a long profile on stderr: nothing for the first second, then bytes read and readings."""

    def __init__(self, name: str, stream: Any, err: TextIO):
        self.name = name
        self.err = err
        self.tty = hasattr(err, "isatty") and err.isatty()
        self.buffer = getattr(stream, "buffer", None)
        try:
            self.size = os.fstat(stream.fileno()).st_size
        except (OSError, AttributeError, ValueError):
            self.size = 0
        self.started = time.monotonic()
        self.next_report = self.started + 1.0
        self.shown = False

    def payloads(self, readings: Iterable[Tuple[str, Dict[str, str]]]) -> Iterator[Dict[str, str]]:
        count = 0
        for _, payload in readings:
            count += 1
            if not count & 1023 and time.monotonic() >= self.next_report:
                self.report(count)
            yield payload

    def report(self, count: int) -> None:
        now = time.monotonic()
        self.next_report = now + (0.5 if self.tty else 5.0)
        done = self.buffer.tell() if self.buffer is not None else 0
        share = f" of {self.size / 1e6:,.1f} MB ({100.0 * done / self.size:.0f}%)" if self.size else ""
        line = f"profiling {self.name}: {done / 1e6:,.1f} MB{share}, {count:,} readings, {now - self.started:.0f} s"
        try:
            self.err.write(("\r" + line) if self.tty else (line + "\n"))
            self.err.flush()
        except (OSError, ValueError):
            pass
        self.shown = True

    def finish(self) -> None:
        if self.shown and self.tty:
            try:
                self.err.write("\n")
            except (OSError, ValueError):
                pass


def _report_check(path: Optional[str]) -> bool:
    """True when a report is asked for and can be written; a one-line error before any work when not."""
    if path is None:
        return False
    from .report import ReportError, check_report_path

    try:
        check_report_path(path)
    except ReportError as exc:
        raise CommandError(str(exc)) from None
    return True


def _report_write(write: Any, path: str, **kwargs: Any) -> None:
    from .report import ReportError

    try:
        write(path, **kwargs)
    except ReportError as exc:
        raise CommandError(str(exc)) from None
    print(f"report written to {path}", file=sys.stderr)


# -- serve -------------------------------------------------------------------------


def cmd_serve(args: argparse.Namespace, out: TextIO) -> int:
    import sqlite3

    from .resolver import LocalResolver, ResolverError
    from .resolver_pg import redact_url
    from .server import Tokens, is_loopback, make_server

    tokens = None
    if args.tokens is not None:
        try:
            tokens = Tokens.load(args.tokens)
        except OSError as exc:
            raise CommandError(f"cannot read the tokens file {args.tokens}: {exc.strerror or exc}") from None
        except ValueError as exc:
            raise CommandError(f"the tokens file {args.tokens}: {exc}") from None
    host = args.host.strip("[]")
    if not is_loopback(host):
        if tokens is None and not args.insecure:
            raise CommandError(
                f"{args.host} is not a loopback address: give --tokens FILE, or --insecure to let every client there"
                " read and change every device's data"
            )
        if tokens is None:
            print(
                f"orvane serve: warning: serving {args.host} without tokens (--insecure)", file=sys.stderr, flush=True
            )
    log = None if args.quiet else (lambda line: print(line, file=sys.stderr, flush=True))
    try:
        resolver = LocalResolver(
            args.db, vectors=not args.no_vectors, max_episodes_per_device=args.max_episodes_per_device
        )
    except ResolverError as exc:
        raise CommandError(str(exc)) from None
    except sqlite3.Error as exc:
        raise CommandError(f"cannot open the store {args.db}: {exc}") from None
    try:
        try:
            server = make_server(
                resolver,
                host,
                args.port,
                log=log,
                tokens=tokens,
                allow_hosts=args.allow_host,
                max_body=args.max_body,
                max_connections=args.max_connections,
                manage_gc=True,
            )
        except OSError as exc:
            raise CommandError(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}") from None
        stopping = threading.Event()

        def stop(signum: int, frame: Any) -> None:
            # shutdown() waits for serve_forever to return, so it must run
            # on another thread than the one serving.
            if not stopping.is_set():
                stopping.set()
                threading.Thread(target=server.shutdown, daemon=True).start()

        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGTERM, stop)
            signal.signal(signal.SIGINT, stop)
        store = redact_url(args.db) if args.db else "memory"
        vectors = "off" if args.no_vectors else "on"
        auth = f"tokens from {args.tokens}" if tokens is not None else "none"
        out.write(
            f"orvane resolver listening on {server.url} (store: {store}; vector endpoints: {vectors}; tokens: {auth})\n"
        )
        out.flush()
        try:
            server.serve_forever(poll_interval=0.2)
        finally:
            server.server_close()
            # Requests already being served finish before the store closes.
            server.wait_idle(10.0)
        out.write("orvane resolver stopped\n")
        out.flush()
    finally:
        resolver.close()
    return 0


# -- migrate -----------------------------------------------------------------------


def cmd_migrate(args: argparse.Namespace, out: TextIO) -> int:
    from .resolver import ResolverError
    from .resolver_pg import MigrationError, is_postgres_url, migrate_sqlite

    if not is_postgres_url(args.url):
        raise CommandError(f"the target must be a postgresql:// or postgres:// URL, got {args.url!r}")
    try:
        migrate_sqlite(args.file, args.url, batch_size=args.batch_size, out=out)
    except (MigrationError, ResolverError) as exc:
        raise CommandError(str(exc)) from None
    return 0


# -- demo --------------------------------------------------------------------------


def _available_memory() -> int:
    """Bytes of memory this process may still take, as the system tells (0 when unknown)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return 0


#: Rough bytes the demo holds per reading (timestamps) and per device-reading
#: (an episode kept by an in-process resolver, or only bookkeeping with --url).
_DEMO_BYTES_PER_READING = 300
_DEMO_BYTES_PER_EPISODE = 2000
_DEMO_BYTES_PER_EPISODE_REMOTE = 200


def _check_demo_size(devices: int, readings: int, remote: bool) -> None:
    per_episode = _DEMO_BYTES_PER_EPISODE_REMOTE if remote else _DEMO_BYTES_PER_EPISODE
    need = readings * _DEMO_BYTES_PER_READING + devices * readings * per_episode + devices * 100_000
    available = _available_memory()
    if available and need > 0.8 * available:
        raise CommandError(
            f"{devices:,} devices x {readings:,} readings would need about {need / 1e9:,.1f} GB of memory;"
            f" {available / 1e9:,.1f} GB is available"
        )


def cmd_demo(args: argparse.Namespace, out: TextIO) -> int:
    from .demo import DemoConfig, check_config, run_demo

    cfg = DemoConfig(
        devices=args.devices,
        readings=args.readings,
        seed=args.seed,
        imu=not args.no_imu,
        url=args.url,
        progress=not args.no_progress,
        tables=not args.no_tables,
    )
    try:
        check_config(cfg)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    _check_demo_size(cfg.devices, cfg.readings, cfg.url is not None)
    if cfg.url is not None:
        from .client import Brenlow, ResolverError

        try:
            brain = Brenlow(url=cfg.url, timeout=10.0)
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        try:
            brain.health()
            brain.stats()  # needs a token where the server wants one
        except ResolverError as exc:
            raise CommandError(f"the resolver at {cfg.url}: {exc}") from None
    recorder = None
    if _report_check(args.report):
        from .report import DemoRecorder

        recorder = DemoRecorder()
    result = run_demo(cfg, out=out, err=sys.stderr, recorder=recorder)
    if recorder is not None:
        _report_write(recorder.write, args.report)
    if args.check and not result.targets_met:
        out.write("demo targets not met\n")
        return 1
    return 0


# -- entry point ---------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on stderr (``orvane demo: ...``), exit status 2."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[override]
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _positive(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a positive integer")
    return value


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or a positive integer")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("must be 0 to 65535")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="orvane", description="orvane device SDK: demo, local resolver, CSV profiling")
    from . import __version__

    parser.add_argument("--version", action="version", version=f"orvane {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser("demo", help="run a simulated fleet through every module and report what was found")
    demo.add_argument(
        "--devices", type=_positive, default=6, help="devices in the fleet (default 6; the last one carries text)"
    )
    demo.add_argument(
        "--readings", type=_positive, default=1200, help="readings per device (default 1200, at least 800)"
    )
    demo.add_argument("--seed", type=_non_negative, default=7, help="seed of the simulation, 0 or more (default 7)")
    demo.add_argument("--no-imu", action="store_true", help="skip the IMU encoder even when torch is installed")
    demo.add_argument(
        "--url",
        help="use the resolver served at URL (orvane serve) instead of an in-process one; a token is read from ORVANE_TOKEN",
    )
    demo.add_argument("--no-progress", action="store_true", help="no progress bar")
    demo.add_argument("--no-tables", action="store_true", help="no per-device channel tables")
    demo.add_argument(
        "--check", action="store_true", help="exit with status 1 when recall or precision misses its target"
    )
    demo.add_argument(
        "--report", metavar="FILE.html", help="also write an HTML report with plots (needs the 'report' extra)"
    )
    demo.set_defaults(func=cmd_demo)

    serve = sub.add_parser("serve", help="offer a local resolver over HTTP for several processes")
    serve.add_argument(
        "--host",
        default="127.0.0.1",
        help="address to listen on (default 127.0.0.1, loopback only; ::1 for IPv6); any other needs --tokens or --insecure",
    )
    serve.add_argument("--port", type=_port, default=8765, help="port (default 8765; 0 picks a free one)")
    serve.add_argument(
        "--db",
        help="SQLite file to keep the store in (default: in memory, gone at exit), or postgresql://USER@HOST:PORT/DB shared by several servers",
    )
    serve.add_argument(
        "--no-vectors",
        action="store_true",
        help="answer 404 on /qx/ingest and /qx/query, like a resolver without vector retrieval",
    )
    serve.add_argument("--quiet", action="store_true", help="do not log requests")
    serve.add_argument(
        "--tokens",
        metavar="FILE",
        help='JSON object mapping device id to its token ("*": a fleet token for every device); every route but /v1/health then needs "Authorization: Bearer TOKEN"',
    )
    serve.add_argument(
        "--allow-host",
        action="append",
        default=[],
        metavar="NAME",
        help="also serve requests whose Host header names NAME (besides loopback and the bound address); repeatable",
    )
    serve.add_argument("--insecure", action="store_true", help="serve a non-loopback address without --tokens")
    serve.add_argument(
        "--max-body",
        type=_positive,
        default=DEFAULT_MAX_BODY,
        metavar="BYTES",
        help=f"largest request body (default {DEFAULT_MAX_BODY})",
    )
    serve.add_argument(
        "--max-connections",
        type=_positive,
        default=DEFAULT_MAX_CONNECTIONS,
        metavar="N",
        help=f"connections served at once; a short queue waits behind them, beyond it 503 (default {DEFAULT_MAX_CONNECTIONS})",
    )
    serve.add_argument(
        "--max-episodes-per-device",
        type=_positive,
        default=1_000_000,
        metavar="N",
        help="a query considers each device's newest N episodes (default 1,000,000; older ones stay stored)",
    )
    serve.set_defaults(func=cmd_serve)

    migrate = sub.add_parser("migrate", help="copy a SQLite store into PostgreSQL (resumable; counts verified)")
    migrate.add_argument("file", metavar="SQLITE_FILE")
    migrate.add_argument("url", metavar="postgresql://USER@HOST:PORT/DB")
    migrate.add_argument("--batch-size", type=_positive, default=5000, help="rows per committed batch (default 5000)")
    migrate.set_defaults(func=cmd_migrate)

    profile = sub.add_parser("profile", help="profile a CSV of readings and print the channel schema")
    profile.add_argument("file", metavar="FILE.csv")
    profile.add_argument("--json", action="store_true", help="print the snapshot and the schema as JSON")
    profile.add_argument(
        "--timestamp-column",
        help="name of the timestamp column (default: one named timestamp/time/ts/datetime/date, else the first)",
    )
    profile.add_argument(
        "--device-id", help="device id to profile under (default: the file's name without its extension)"
    )
    profile.add_argument(
        "--delimiter",
        type=_delimiter,
        help="cell delimiter, one character or 'tab' (default: guessed from the header row among , ; tab |)",
    )
    profile.add_argument(
        "--report", metavar="FILE.html", help="also write an HTML report with plots (needs the 'report' extra)"
    )
    profile.add_argument(
        "--state",
        metavar="FILE",
        help="continue the profile saved in FILE (JSON) if it exists, then save the profile there; its device id wins over the file name",
    )
    profile.set_defaults(func=cmd_profile)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    from .resolver import ResolverError

    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = args.func(args, sys.stdout)
        sys.stdout.flush()
        return status
    except CommandError as exc:
        print(f"orvane {args.command}: {exc}", file=sys.stderr)
        return 2
    except ResolverError as exc:
        print(f"orvane {args.command}: resolver: {exc}", file=sys.stderr)
        return 1
    except ImportError as exc:
        # A build without its compiled modules, or without NumPy where they need it.
        print(
            f"orvane {args.command}: {exc} (install the package, or build it with tools/build-inplace)", file=sys.stderr
        )
        return 2
    except KeyboardInterrupt:
        print(f"orvane {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        _quiet_stdout()
        return 0
    except OSError as exc:
        # Typically the output cannot be written (a full disk, /dev/full).
        _quiet_stdout()
        where = f" ({exc.filename})" if exc.filename else ""
        print(f"orvane {args.command}: {exc.strerror or exc}{where}", file=sys.stderr)
        return 1


def _quiet_stdout() -> None:
    """Points stdout at /dev/null so that the exit's flush of unwritable output raises nothing more."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
