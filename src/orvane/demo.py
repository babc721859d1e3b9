"""``orvane demo``: a simulated fleet through every module, scored against its own injected faults.

The fleet: pumps (periodic, noisy, slowly drifting and correlated channels,
and one channel that barely moves) and, as the last device, a packaging line
whose camera adds a caption text to every reading (a multimodal source).
Every device also has an IMU (six-axis vibration windows) and a microphone
(32 band energies). Faults are injected at known times: overheating, bearing
wear and leaks on the pumps, jams and overheating on the line.

Each reading goes through the stream half as an SDK program would use it:
``StatisticalProfiler.observe``; ``EpisodeAccumulator.observe``, whose
batches go to the resolver on background threads; and
``AnomalyDetector.observe`` with the profiler's confidence. The run plays the
maker's service: some readings after an episode, when its outcome is known,
it records that outcome ("success"/HEALTHY, or "failure" with the fault's
name as health label). The detector finds an anomaly when the past
episodes most similar to a reading agree on an unhealthy outcome, so the
first part of the run (the history) teaches the resolver what each fault
looks like and the rest is scored.

On every tenth reading the embedding half builds a composite state: the IMU
window through ``IMUEncoder`` (skipped without torch), the band energies, the
temperatures and the caption are projected by ``CompositeStateBuilder`` and
fused; ``CrossModalRetriever`` stores the history's states with their
labels, and for each later state retrieves the nearest stored ones, whose
majority label is compared with the state's true one.

Every figure printed is measured by the run itself.
"""

from __future__ import annotations

import math
import random
import sys
import time
import uuid
import zlib
from collections import Counter, deque
from contextlib import contextmanager
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Any, Dict, Iterator, List, Optional, TextIO, Tuple

__all__ = ["DemoConfig", "DemoResult", "Fault", "check_config", "run_demo", "MIN_READINGS"]

#: Fewest readings per device the demo accepts: a warm-up, a history and a scored part.
MIN_READINGS = 800
HEALTHY = "HEALTHY"
PUMP_FAULTS = ("OVERHEAT", "BEARING_WEAR", "LEAK")
LINE_FAULTS = ("JAM", "OVERHEAT")

_LINE_NOTES = {
    HEALTHY: (
        "belt running clean, cartons aligned",
        "routine pass, labels straight, no debris",
        "product spacing even at station 3",
        "all clear, seal bar closing normally",
        "steady flow, no operator action needed",
    ),
    "JAM": (
        "carton jammed at the infeed, product piling up",
        "belt stalled, boxes stacking behind station 3",
        "jam at the diverter, operator called",
        "cartons crushed against the guide rail, line blocked",
    ),
    "OVERHEAT": (
        "smell of hot insulation near the drive motor",
        "motor housing too hot to touch, fan noisy",
        "heat shimmer above the drive, guard warm",
    ),
}


@dataclass
class DemoConfig:
    devices: int = 6
    readings: int = 1200
    seed: int = 7
    imu: bool = True
    url: Optional[str] = None
    progress: bool = True
    tables: bool = True
    #: Readings each fault lasts.
    fault_length: int = 30
    #: Readings before the first fault: the profiler's confidence must first reach the detector's minimum.
    warmup: int = 150
    #: Share of the readings, after the warm-up, that form the history (faults there are not scored).
    history_share: float = 0.45
    #: Readings after which an episode's outcome is known and recorded.
    outcome_lag: int = 60
    #: A composite state is built on every n-th reading.
    state_every: int = 10
    #: Nearest stored states asked for per retrieval.
    retrieval_k: int = 5


@dataclass
class Fault:
    device: str
    kind: str
    start: int
    end: int  # exclusive
    #: Strength of this occurrence relative to the kind's usual one.
    severity: float = 1.0

    def covers(self, t: int) -> bool:
        return self.start <= t < self.end


@dataclass
class DemoResult:
    devices: List[str]
    readings: int
    seconds: float
    stream_seconds: float
    episodes_built: int
    episodes_ingested: int
    episodes_stored: int
    outcomes_recorded: int
    history_end: int
    faults: List[Fault]
    faults_scored: int
    faults_found: int
    events_scored: int
    events_true: int
    events_named_right: int
    events_history: int
    states: int
    states_stored: int
    states_retrieved: int
    states_agreeing: int
    imu_windows: int
    notes: List[str] = field(default_factory=list)
    #: Every anomaly event of the run: (device, reading index, dominant outcome).
    events: List[Tuple[str, int, str]] = field(default_factory=list)

    @property
    def readings_per_s(self) -> float:
        return self.readings / self.seconds if self.seconds > 0 else 0.0

    @property
    def recall(self) -> float:
        return self.faults_found / self.faults_scored if self.faults_scored else 0.0

    @property
    def false_share(self) -> float:
        return (self.events_scored - self.events_true) / self.events_scored if self.events_scored else 0.0

    @property
    def precision(self) -> float:
        return self.events_true / self.events_scored if self.events_scored else 0.0

    @property
    def retrieval_agreement(self) -> Optional[float]:
        return self.states_agreeing / self.states_retrieved if self.states_retrieved else None

    @property
    def targets_met(self) -> bool:
        return self.recall >= 0.8 and self.false_share <= 0.10


# -- simulation ------------------------------------------------------------------


class _Device:
    """One simulated device: its channels, its fault schedule, its IMU and microphone."""

    def __init__(self, name: str, line: bool, seed: int, cfg: DemoConfig, history_end: int):
        self.name = name
        self.line = line
        self.rng = random.Random(seed)
        rng = self.rng
        self.kinds = LINE_FAULTS if line else PUMP_FAULTS
        self.temp_period = rng.uniform(50.0, 70.0)
        self.press_period = rng.uniform(35.0, 55.0)
        self.phase = rng.uniform(0.0, 2 * math.pi)
        self.phase2 = rng.uniform(0.0, 2 * math.pi)
        self.base_temp = rng.uniform(48.0, 60.0) if not line else rng.uniform(40.0, 46.0)
        self.drift = rng.uniform(0.001, 0.003)
        self.rotation = rng.uniform(5.0, 9.0)  # vibration cycles per IMU window
        self.faults = self._schedule(cfg, history_end)

    def _schedule(self, cfg: DemoConfig, history_end: int) -> List[Fault]:
        """Each fault kind twice in the history and twice in the scored part, at random slots."""
        faults = []
        for lo, hi in ((cfg.warmup, history_end), (history_end, cfg.readings)):
            kinds = list(self.kinds) * 2
            self.rng.shuffle(kinds)
            slot = (hi - lo) / len(kinds)
            for i, kind in enumerate(kinds):
                room = int(slot) - cfg.fault_length - 10
                start = int(lo + i * slot) + 5 + (self.rng.randrange(room) if room > 0 else 0)
                severity = self.rng.uniform(0.6, 1.2)
                faults.append(Fault(self.name, kind, start, min(start + cfg.fault_length, hi), severity))
        return faults

    def fault_at(self, t: int) -> Optional[Fault]:
        for fault in self.faults:
            if fault.covers(t):
                return fault
        return None

    def reading(self, t: int, kind: str, s: float = 1.0) -> Tuple[Dict[str, float], Optional[Dict[str, Any]]]:
        """One reading at time t under a fault of this kind (or HEALTHY) of severity s."""
        g = self.rng.gauss
        cycle = math.sin(2 * math.pi * t / self.temp_period + self.phase)
        if self.line:
            speed = 1.2 + 0.05 * math.sin(2 * math.pi * t / 40.0 + self.phase2) + g(0, 0.01)
            motor_temp = self.base_temp + 2.0 * cycle + self.drift * t + g(0, 0.3)
            current = 6.0 + 4.0 * (speed - 1.2) + g(0, 0.05)
            if kind == "JAM":
                speed = 0.1 + g(0, 0.02)
                current += 3.0 * s
                motor_temp += 6.0 * s
            elif kind == "OVERHEAT":
                motor_temp += 12.0 * s
                current += 1.0 * s
            note = self.rng.choice(_LINE_NOTES[kind])
            payload = {
                "belt_speed_mps": speed,
                "motor_temp_c": motor_temp,
                "current_a": current,
                "modality_count": 2,
                "nl_text_len": len(note),
            }
            context = {
                "source_text": note,
                "source_kind": "multimodal_camera",
                "source_category": "packaging_line",
                "source_tags": ["camera", "operator_notes"],
                "source_meta": {"station": 3},
            }
            return payload, context
        temp_motor = self.base_temp + 3.0 * cycle + self.drift * t + g(0, 0.3)
        current = 12.0 + 0.5 * cycle + g(0, 0.05)
        pressure = 300.0 + 2.0 * math.sin(2 * math.pi * t / self.press_period + self.phase2) + g(0, 1.0)
        vibration = 0.8 + g(0, 0.05)
        flow_extra = 0.0
        bearing_extra = 0.0
        if kind == "OVERHEAT":
            temp_motor += 12.0 * s
            current += 2.0 * s
        elif kind == "BEARING_WEAR":
            vibration += 1.5 * s
            bearing_extra = 4.0 * s
        elif kind == "LEAK":
            pressure -= 25.0 * s
            flow_extra = 22.0 * s
        payload = {
            "temp_motor_c": temp_motor,
            "temp_bearing_c": 0.6 * temp_motor + 10.0 + bearing_extra + g(0, 0.2),
            "pressure_kpa": pressure,
            "flow_lpm": 120.0 + 0.4 * (pressure - 300.0) + flow_extra + g(0, 0.3),
            "current_a": current,
            "vibration_rms": vibration,
            "supply_v": 24.0 + g(0, 0.002),
        }
        return payload, None

    def temperatures(self) -> Tuple[str, ...]:
        return ("motor_temp_c",) if self.line else ("temp_motor_c", "temp_bearing_c")

    def imu_window(self, np: Any, rng: Any, kind: str) -> Any:
        """64 samples of a six-axis IMU: accelerometer x/y/z then gyroscope x/y/z."""
        steps = np.arange(64, dtype=np.float64)
        base = 2 * np.pi * self.rotation * steps / 64.0
        amp = 0.1 if kind == "JAM" else 1.0
        accel = np.stack([amp * np.sin(base + p) for p in (0.0, 1.1, 2.3)]) + np.array([[0.0], [0.0], [9.81]])
        gyro = np.stack([0.2 * amp * np.sin(base + p) for p in (0.4, 1.7, 2.9)])
        window = np.concatenate([accel, gyro]) + rng.normal(0.0, 0.05, (6, 64))
        if kind == "BEARING_WEAR":
            window[:3] += 0.8 * np.sin(5.0 * base) + rng.normal(0.0, 0.15, (3, 64))
        return window.T.astype(np.float32)  # [T, 6], as a device delivers it

    def audio_bands(self, np: Any, rng: Any, kind: str) -> Any:
        bands = np.linspace(0.0, -3.0, 32) + rng.normal(0.0, 0.15, 32)
        if kind == "LEAK":
            bands[22:29] += 1.5
        elif kind == "BEARING_WEAR":
            bands[8:13] += 1.2
        elif kind == "JAM":
            bands[2:6] += 1.2
        elif kind == "OVERHEAT":
            bands[14:17] += 0.6
        return bands.astype(np.float32)


def _text_vector(np: Any, text: str, dim: int = 256) -> Any:
    """A hashed bag of words: a stand-in text encoder that needs no model."""
    vec = np.zeros(dim, dtype=np.float32)
    for word in text.lower().replace(",", " ").split():
        h = zlib.crc32(word.encode("utf-8"))
        vec[h % dim] += 1.0 if (h >> 16) & 1 else -1.0
    return vec


class _Progress:
    """A one-line progress bar on a terminal; a line per tenth elsewhere."""

    def __init__(self, total: int, stream: TextIO, enabled: bool):
        self.total = max(total, 1)
        self.stream = stream
        self.enabled = enabled
        self.tty = enabled and hasattr(stream, "isatty") and stream.isatty()
        self.shown = -1
        self.started = time.perf_counter()

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        step = done * (100 if self.tty else 10) // self.total
        if step == self.shown:
            return
        self.shown = step
        share = done / self.total
        filled = int(share * 30)
        elapsed = time.perf_counter() - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        bar = f"[{'#' * filled}{'.' * (30 - filled)}] {share * 100:5.1f}%  {done:,}/{self.total:,} readings  {rate:,.0f}/s"
        if self.tty:
            self.stream.write("\r" + bar)
        else:
            self.stream.write(bar + "\n")
        self.stream.flush()

    def finish(self) -> None:
        if self.tty:
            self.stream.write("\n")
            self.stream.flush()


# -- the run -----------------------------------------------------------------------


def _embedding_parts(cfg: DemoConfig, notes: List[str]) -> Tuple[Any, Any, Any, Any, Any]:
    """NumPy, the composite builder, the retriever's module and the IMU encoder, as far as installed."""
    try:
        import numpy as np

        from .qx import composite, retrieval
    except ImportError as exc:
        notes.append(f"embedding half skipped: {exc} (pip install 'orvane[qx]')")
        return None, None, None, None, None
    encoder = None
    if not cfg.imu:
        notes.append("IMU encoder skipped (--no-imu)")
    else:
        try:
            from .qx.encoders.imu import IMUEncoder

            encoder = IMUEncoder()
        except ImportError as exc:
            notes.append(f"IMU encoder skipped: {exc}")
    return np, composite, retrieval, encoder, _Fusion(composite)


class _Fusion:
    """Projects each modality and fuses them, with a fused length equal to the joined pieces'.

    With that length the fused vector is the weighted concatenation itself,
    scaled to unit length: no second projection from the joined length to a
    fixed one, which would cost a fresh random matrix on every call.
    """

    def __init__(self, composite: Any):
        self.composite = composite
        self.builder = composite.CompositeStateBuilder()
        self.per_dim = int(self.builder.cfg.per_modality_dim)
        self.fusers: Dict[int, Any] = {}

    def project(self, raw: Any, name: str) -> Any:
        return self.builder.project(raw, name)

    def fuse(self, **parts: Any) -> Any:
        fuser = self.fusers.get(len(parts))
        if fuser is None:
            cfg = self.composite.CompositeConfig(fused_dim=self.per_dim * len(parts))
            fuser = self.fusers[len(parts)] = self.composite.CompositeStateBuilder(cfg)
        return fuser.fuse(**parts)


def _history_end(cfg: DemoConfig) -> int:
    return cfg.warmup + int((cfg.readings - cfg.warmup) * cfg.history_share)


def check_config(cfg: DemoConfig) -> None:
    """Raises ValueError for a configuration the demo cannot run or score."""
    if cfg.devices < 1:
        raise ValueError("the demo needs at least one device")
    if cfg.readings < MIN_READINGS:
        raise ValueError(f"the demo needs at least {MIN_READINGS} readings per device, got {cfg.readings}")
    history_end = _history_end(cfg)
    most = 2 * max(len(PUMP_FAULTS), len(LINE_FAULTS))
    for part, length in (("history", history_end - cfg.warmup), ("scored part", cfg.readings - history_end)):
        if length / most < cfg.fault_length + 15:
            raise ValueError(f"the {part} ({length} readings) cannot hold {most} faults of {cfg.fault_length} readings")


def run_demo(cfg: DemoConfig, out: TextIO = sys.stdout, err: TextIO = sys.stderr, recorder: Any = None) -> DemoResult:
    """Runs the simulated fleet through every module and prints what it measured.

    A ``recorder`` (for a report) is handed each reading, ``recorder.reading(device, payload)``,
    and at the end ``recorder.finish(result, snapshots)`` with each device's profiler snapshot.
    """
    check_config(cfg)
    with _one_torch_thread(cfg.imu):
        return _run(cfg, out, err, recorder)


@contextmanager
def _one_torch_thread(wanted: bool) -> Iterator[None]:
    """Runs torch on one thread for the demo's batches of one window, then restores it.

    A batch of one is too small to share out: on a small machine extra
    threads mostly wait for each other (an encode took over 20 times longer
    with two threads than with one on a busy two-core machine).
    """
    torch = None
    if wanted:
        try:
            import torch
        except ImportError:
            torch = None
    if torch is None:
        yield
        return
    previous = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        yield
    finally:
        torch.set_num_threads(previous)


def _run(cfg: DemoConfig, out: TextIO, err: TextIO, recorder: Any = None) -> DemoResult:
    from .brenlow.accumulator import EpisodeAccumulator
    from .brenlow.classifier import SchemaClassifier
    from .brenlow.detector import AnomalyDetector
    from .brenlow.profiler import StatisticalProfiler
    from .brenlow.provisioner import ensure_device_id
    from .client import Brenlow

    started = time.perf_counter()
    notes: List[str] = []
    np, composite, retrieval, encoder, builder = _embedding_parts(cfg, notes)

    history_end = _history_end(cfg)
    # Against a shared resolver, a tag keeps this run's devices apart from earlier runs'.
    tag = f"-{uuid.uuid4().hex[:6]}" if cfg.url else ""
    brain = Brenlow(url=cfg.url) if cfg.url else Brenlow()
    devices: List[_Device] = []
    for i in range(cfg.devices):
        line = cfg.devices > 1 and i == cfg.devices - 1
        # The provisioner settles each id as the SDK would (trimmed, at most 128 characters).
        name = ensure_device_id(f"line-cam-01{tag}" if line else f"pump-{i + 1:02d}{tag}")
        devices.append(_Device(name, line, cfg.seed * 1009 + i, cfg, history_end))
    profilers = {d.name: StatisticalProfiler(d.name) for d in devices}
    accumulators = {d.name: EpisodeAccumulator(brain, d.name) for d in devices}
    detectors = {d.name: AnomalyDetector(brain, d.name) for d in devices}
    retriever = retrieval.CrossModalRetriever(brain) if retrieval is not None else None
    np_rng = np.random.default_rng(cfg.seed) if np is not None else None

    kinds = sorted({k for d in devices for k in d.kinds})
    out.write(
        f"orvane demo: {len(devices)} devices x {cfg.readings:,} readings (seed {cfg.seed}); "
        f"faults injected: {', '.join(kinds)}; first {history_end} readings of each device build the labelled history\n"
    )
    out.write(f"resolver: {brain.url or 'in-process (SQLite in memory)'}\n")
    for note in notes:
        out.write(f"note: {note}\n")
    out.flush()

    base_time = datetime(2026, 1, 5, 6, 0, 0, tzinfo=timezone.utc)
    stamps = [(base_time + timedelta(seconds=t)).strftime("%Y-%m-%dT%H:%M:%SZ") for t in range(cfg.readings)]
    stamp_index = {s: t for t, s in enumerate(stamps)}

    awaiting: deque = deque()  # (reading index, episode id, true label, device), oldest first
    outcomes_recorded = 0
    events: List[Tuple[str, int, str]] = []
    stream_seconds = 0.0
    states = stored = retrieved = agreeing = imu_windows = 0
    pending_items: Dict[str, List[dict]] = {d.name: [] for d in devices}
    audio_mean = {d.name: None for d in devices}
    retrieval_on = retriever is not None

    progress = _Progress(cfg.readings * len(devices), err, cfg.progress)
    loop_started = time.perf_counter()
    perf = time.perf_counter
    for t in range(cfg.readings):
        stamp = stamps[t]
        for dev in devices:
            fault = dev.fault_at(t)
            truth = fault.kind if fault is not None else HEALTHY
            payload, context = dev.reading(t, truth, fault.severity if fault is not None else 1.0)
            profiler = profilers[dev.name]
            if recorder is not None:
                recorder.reading(dev.name, payload)

            t0 = perf()
            profiler.observe(payload)
            episode = accumulators[dev.name].observe(stamp, payload, context)
            event = detectors[dev.name].observe(stamp, payload, profiler.confidence_score)
            stream_seconds += perf() - t0

            if event is not None:
                events.append((dev.name, stamp_index[event.timestamp], event.dominant_outcome))
            awaiting.append((t, episode["episode_id"], truth, dev.name))

            if builder is not None and t >= cfg.warmup and t % cfg.state_every == 0:
                state = _composite_state(
                    np, np_rng, builder, encoder, dev, profiler, truth, payload, context, audio_mean
                )
                states += 1
                imu_windows += encoder is not None
                if retrieval_on:
                    try:
                        if t < history_end:
                            pending_items[dev.name].append({"embedding": state, "metadata": {"label": truth, "t": t}})
                            if len(pending_items[dev.name]) >= 25:
                                stored += _store_states(retriever, dev.name, pending_items[dev.name])
                        else:
                            if pending_items[dev.name]:
                                stored += _store_states(retriever, dev.name, pending_items[dev.name])
                            hits = retriever.retrieve(state, device_id=dev.name, k=cfg.retrieval_k)
                            retrieved += 1
                            agreeing += _majority_label(hits) == truth
                    except retrieval.RetrievalNotAvailable as exc:
                        retrieval_on = False
                        notes.append(f"retrieval skipped: {exc}")
                        out.write(f"\nnote: retrieval skipped: {exc}\n")
        # The outcome of a reading is known outcome_lag readings later.
        while awaiting and awaiting[0][0] <= t - cfg.outcome_lag:
            _, episode_id, truth, device = awaiting.popleft()
            if truth == HEALTHY:
                brain.record_outcome(episode_id, "success", HEALTHY, device_id=device)
            else:
                brain.record_outcome(episode_id, "failure", truth, device_id=device)
            outcomes_recorded += 1
        progress.update((t + 1) * len(devices))
    progress.finish()
    loop_seconds = time.perf_counter() - loop_started

    # Send what is still queued and wait for the posting threads.
    for acc in accumulators.values():
        acc.flush()
    built = sum(acc.total_episodes for acc in accumulators.values())
    deadline = time.monotonic() + 30.0
    while sum(acc.total_ingested for acc in accumulators.values()) < built and time.monotonic() < deadline:
        time.sleep(0.01)
    ingested = sum(acc.total_ingested for acc in accumulators.values())
    counts = brain.stats()["episodes"]
    episodes_stored = sum(counts.get(d.name, 0) for d in devices)

    if cfg.tables:
        from .cli import schema_table, snapshot_heading

        classifier = SchemaClassifier()
        out.write("\nChannel schema per device (profiler snapshot, classifier labels)\n")
        for dev in devices:
            snapshot = profilers[dev.name].snapshot()
            schema = classifier.classify(snapshot)
            out.write("\n" + snapshot_heading(snapshot, schema) + "\n")
            out.write(schema_table(snapshot, schema) + "\n")

    faults = [f for d in devices for f in d.faults]
    scored = [f for f in faults if f.start >= history_end]
    by_device: Dict[str, List[Fault]] = {}
    for f in faults:
        by_device.setdefault(f.device, []).append(f)
    found = sum(1 for f in scored if any(dev == f.device and f.covers(t) for dev, t, _ in events))
    scored_events = [(dev, t, label) for dev, t, label in events if t >= history_end]
    true_events = named_right = 0
    for dev, t, label in scored_events:
        hit = next((f for f in by_device.get(dev, ()) if f.covers(t)), None)
        if hit is not None:
            true_events += 1
            named_right += label == hit.kind

    result = DemoResult(
        devices=[d.name for d in devices],
        readings=cfg.readings * len(devices),
        seconds=loop_seconds,
        stream_seconds=stream_seconds,
        episodes_built=built,
        episodes_ingested=ingested,
        episodes_stored=episodes_stored,
        outcomes_recorded=outcomes_recorded,
        history_end=history_end,
        faults=faults,
        faults_scored=len(scored),
        faults_found=found,
        events_scored=len(scored_events),
        events_true=true_events,
        events_named_right=named_right,
        events_history=len(events) - len(scored_events),
        states=states,
        states_stored=stored,
        states_retrieved=retrieved,
        states_agreeing=agreeing,
        imu_windows=imu_windows,
        notes=notes,
        events=events,
    )
    if recorder is not None:
        recorder.finish(result, {d.name: profilers[d.name].snapshot() for d in devices})
    _summary(result, cfg, out, time.perf_counter() - started)
    brain.close()
    return result


def _composite_state(
    np: Any,
    rng: Any,
    builder: Any,
    encoder: Any,
    dev: _Device,
    profiler: Any,
    truth: str,
    payload: Dict[str, float],
    context: Optional[Dict[str, Any]],
    audio_mean: Dict[str, Any],
) -> Any:
    """The fused state of one reading: IMU, microphone, temperatures and caption."""
    parts: Dict[str, Any] = {}
    if encoder is not None:
        parts["imu_emb"] = builder.project(encoder.encode(dev.imu_window(np, rng, truth)), "imu")
    bands = dev.audio_bands(np, rng, truth)
    # Band energies relative to the device's usual spectrum (a slow running mean).
    mean = audio_mean[dev.name]
    mean = bands.copy() if mean is None else 0.98 * mean + 0.02 * bands
    audio_mean[dev.name] = mean
    parts["audio_emb"] = builder.project(bands - mean, "audio")
    # Temperatures as z-scores against the profiler's running statistics.
    z = []
    for name in dev.temperatures():
        stats = profiler.channels[name]
        std = stats.std
        z.append((payload[name] - stats.mean) / std if std > 0 else 0.0)
    parts["thermal_emb"] = builder.project(np.asarray(z, dtype=np.float32), "thermal")
    if context is not None:
        parts["text_emb"] = builder.project(_text_vector(np, context["source_text"]), "text")
    return builder.fuse(**parts)


def _store_states(retriever: Any, device: str, items: List[dict]) -> int:
    ids = retriever.ingest_batch(items, device_id=device)
    items.clear()
    return sum(1 for i in ids if i)


def _majority_label(hits: Any) -> Optional[str]:
    labels = [h.get("metadata", {}).get("label") for h in hits or () if isinstance(h, dict)]
    labels = [label for label in labels if label]
    if not labels:
        return None
    counts = Counter(labels)
    best = max(counts.values())
    return next(label for label in labels if counts[label] == best)


def _pct(x: float) -> str:
    return f"{x * 100:.1f}%"


def _summary(r: DemoResult, cfg: DemoConfig, out: TextIO, wall: float) -> None:
    lost = r.episodes_built - r.episodes_stored
    lines = [
        "",
        "Summary (every figure measured by this run)",
        f"  readings             {r.readings:,} in {r.seconds:.2f} s: {r.readings_per_s:,.0f} readings/s end to end, "
        f"{r.readings / r.stream_seconds if r.stream_seconds else 0:,.0f} readings/s through profiler + accumulator + detector",
        f"  episodes             {r.episodes_built:,} built, {r.episodes_ingested:,} ingested, {r.episodes_stored:,} stored by the resolver"
        f" ({lost:,} lost); {r.outcomes_recorded:,} outcomes recorded",
        f"  faults injected      {len(r.faults)}: {len(r.faults) - r.faults_scored} in the history, {r.faults_scored} scored",
        f"  anomaly events       {r.events_scored} in the scored part ({r.events_true} during a fault, {r.events_named_right} naming it right); "
        f"{r.events_history} during the history",
        f"  recall               {_pct(r.recall)} ({r.faults_found} of {r.faults_scored} faults found; target at least 80%)",
        f"  false events         {_pct(r.false_share)} ({r.events_scored - r.events_true} of {r.events_scored}; target at most 10%),"
        f" precision {_pct(r.precision)}",
    ]
    if r.retrieval_agreement is not None:
        lines.append(
            f"  retrieval agreement  {_pct(r.retrieval_agreement)} ({r.states_agreeing} of {r.states_retrieved} states: the majority label"
            f" of the {cfg.retrieval_k} nearest of {r.states_stored} stored states is the true one)"
        )
    else:
        lines.append("  retrieval agreement  not measured (see the notes)")
    if r.states:
        imu = (
            f"{r.imu_windows:,} IMU windows encoded (untrained weights)"
            if r.imu_windows
            else "no IMU windows (see the notes)"
        )
        lines.append(f"  composite states     {r.states:,} fused; {imu}")
    lines.append(f"  wall time            {wall:.1f} s")
    for note in r.notes:
        lines.append(f"  note: {note}")
    out.write("\n".join(lines) + "\n")
    out.flush()
