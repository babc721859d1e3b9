"""Where the compiled modules meet the interpreter: C++ failures become Python
errors, methods carry their real signatures, attributes refuse deletion alike,
and arguments fail with the errors plain Python would raise."""

import decimal
import fractions
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import orvane
from orvane import _pyhost as h
from orvane.brenlow import accumulator, classifier, detector, profiler
from orvane.qx import composite, retrieval

SRC = os.path.dirname(os.path.dirname(orvane.__file__))


# ---- the C++-exception boundary ------------------------------------------------


def test_failed_allocation_raises_memory_error_instead_of_aborting():
    # Under an address-space limit the query text for a huge channel name
    # cannot be allocated: the interpreter must see MemoryError and go on.
    code = textwrap.dedent(
        """
        import resource
        from orvane.brenlow.detector import AnomalyDetector
        key = "x" * 600_000_000
        resource.setrlimit(resource.RLIMIT_AS, (1_500_000_000, 1_500_000_000))
        d = AnomalyDetector(object(), "d")
        try:
            d._build_query({key: 1.0})
        except MemoryError:
            print("MemoryError")
        print(d._build_query({"a": 1.0}) != "")
        """
    )
    if os.environ.get("ASAN_OPTIONS") or "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space limit does not apply under AddressSanitizer")
    r = subprocess.run(
        [sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": SRC}, capture_output=True, text=True, timeout=120
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.split() == ["MemoryError", "True"]


def test_a_posting_thread_ended_during_finalization_does_not_crash_the_process():
    # A batch still being sent when the exit hook gives up on it: its daemon
    # thread wakes while the interpreter finalizes (here during a slow
    # __del__) and, before 3.14, is ended by pthread_exit, whose unwind runs
    # through the compiled method. The process must exit cleanly.
    code = textwrap.dedent(
        """
        import sys, threading, time, types
        import orvane.brenlow.accumulator as A
        A.ACCUMULATOR_BATCH_SIZE = 5
        A.ACCUMULATOR_FLUSH_MAX_AGE_S = 0
        A.EXIT_FLUSH_TIMEOUT_S = 0.2

        class Brain:
            def ingest(self, batch, device_id=None):
                if threading.current_thread() is not threading.main_thread():
                    time.sleep(0.5)

        class Slow:
            def __del__(self, time=time):
                time.sleep(1.5)

        acc = A.EpisodeAccumulator(Brain(), "dev")
        for i in range(10):
            acc.observe(f"t{i}", {"x": float(i)})
        held = types.ModuleType("held")
        held.slow = Slow()
        sys.modules["held"] = held
        """
    )
    r = subprocess.run(
        [sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": SRC}, capture_output=True, text=True, timeout=120
    )
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    assert r.stdout.count("no answer within the exit time limit") == 2, r.stdout


# ---- text signatures -----------------------------------------------------------


@pytest.mark.parametrize(
    "method, params",
    [
        (profiler.StatisticalProfiler.observe, ["self", "payload"]),
        (profiler.StatisticalProfiler.snapshot, ["self"]),
        (profiler.StatisticalProfiler.compute_correlations, ["self"]),
        (profiler.ChannelStats.update, ["self", "value"]),
        (profiler.ChannelStats.check_outlier, ["self", "value"]),
        (classifier.SchemaClassifier.classify, ["self", "profiler_snapshot"]),
        (accumulator.EpisodeAccumulator.observe, ["self", "timestamp", "payload", "context"]),
        (accumulator.EpisodeAccumulator._flush_locked, ["self", "now_ts"]),
        (detector.AnomalyDetector.observe, ["self", "timestamp", "payload", "confidence"]),
        (detector.AnomalyEvent.to_dict, ["self"]),
        (composite.CompositeStateBuilder.project, ["self", "raw_embedding", "name"]),
        (retrieval.CrossModalRetriever.retrieve, ["self", "embedding", "device_id", "k"]),
    ],
)
def test_methods_have_their_signature_with_self(method, params):
    sig = inspect.signature(method)
    assert list(sig.parameters) == params
    assert sig.parameters["self"].kind is inspect.Parameter.POSITIONAL_ONLY


def test_bound_method_signature_drops_self():
    p = profiler.StatisticalProfiler("d")
    assert str(inspect.signature(p.observe)) == "(payload)"


def test_module_functions_have_their_signature():
    assert str(inspect.signature(composite._stable_seed)) == "(name, in_dim, out_dim)"
    assert str(inspect.signature(h.round_half_even)) == "(x, ndigits, /)"


# ---- refused deletion ----------------------------------------------------------


@pytest.mark.parametrize(
    "make, attr",
    [
        (lambda: profiler.StatisticalProfiler("d"), "device_id"),
        (lambda: profiler.StatisticalProfiler("d"), "total_observations"),
        (lambda: profiler.ChannelStats("c"), "count"),
        (lambda: profiler.ChannelStats("c"), "history"),
        (lambda: accumulator.EpisodeAccumulator(None, "d"), "total_episodes"),
        (lambda: detector.AnomalyDetector(None, "d"), "device_id"),
    ],
)
def test_undeletable_attributes_refuse_with_attribute_error(make, attr):
    obj = make()
    before = getattr(obj, attr)
    with pytest.raises(AttributeError, match=f"cannot delete attribute '{attr}'"):
        delattr(obj, attr)
    assert getattr(obj, attr) == before


# ---- argument conversions ------------------------------------------------------


class FloatLike:
    def __float__(self):
        return 2.0


class IndexLike:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value", ["1.0", None, 1j, b"1"])
@pytest.mark.parametrize("method", ["update", "check_outlier"])
def test_channel_stats_refuses_non_real_values_as_python_does(method, value):
    with pytest.raises(TypeError) as ours:
        getattr(profiler.ChannelStats("c"), method)(value)
    import math

    with pytest.raises(TypeError) as theirs:
        math.fabs(value)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize("value, expected", [(FloatLike(), 2.0), (IndexLike(), 3.0), (True, 1.0)])
def test_channel_stats_takes_real_numbers(value, expected):
    s = profiler.ChannelStats("c")
    s.update(value)
    assert s.count == 1 and s.mean == expected


class Client:
    def ingest_batch(self, batch):
        return {"ingested": len(batch)}


@pytest.mark.parametrize(
    "now, expected",
    [(None, None), (5, 5.0), (2.5, 2.5), (True, 1.0), (fractions.Fraction(1, 4), 0.25), (decimal.Decimal("7.5"), 7.5)],
)
def test_flush_locked_takes_none_or_any_number(now, expected):
    acc = accumulator.EpisodeAccumulator(Client(), "d")
    acc.observe("t", {"x": 1.0})
    with acc._lock:
        acc._flush_locked(now)
    if expected is not None:
        assert acc._last_flush_ts == expected
    assert acc.pending_batch == []


@pytest.mark.parametrize("value", [FloatLike(), IndexLike(), "1.0", [1.0]])
def test_flush_locked_refuses_what_is_not_a_number(value):
    acc = accumulator.EpisodeAccumulator(Client(), "d")
    with pytest.raises(TypeError) as info:
        acc._flush_locked(value)
    assert str(info.value) == f"Argument 'now_ts' has incorrect type (expected float, got {type(value).__name__})"


def test_flush_locked_reports_float_conversion_errors_of_numbers():
    acc = accumulator.EpisodeAccumulator(Client(), "d")
    with pytest.raises(TypeError) as ours:
        acc._flush_locked(1j)
    with pytest.raises(TypeError) as theirs:
        float(1j)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize("ndigits", [2**31, 2**32 + 1, 2**63, 10**30, -(2**31) - 1, -(2**32) + 1, -(10**30)])
@pytest.mark.parametrize("x", [1.5, 123.456, -0.0, 1e300])
def test_round_half_even_takes_any_digit_count(x, ndigits):
    ours, theirs = h.round_half_even(x, ndigits), round(x, ndigits)
    assert (ours, str(ours)) == (theirs, str(theirs))


# ---- entries of a model's state_dict().items() ---------------------------------


def test_checkpoint_load_unpacks_state_dict_entries_as_python_does(tmp_path):
    pytest.importorskip("torch")
    pytest.importorskip("numpy")
    # Run apart: reading such an entry as a tuple crashed the interpreter.
    code = textwrap.dedent(
        f"""
        import torch
        from orvane.qx.encoders.imu import IMUEncoder

        class Entries:
            def __init__(self, sd, shape):
                self.sd, self.shape = sd, shape
            def items(self):
                return [self.shape(k, v) for k, v in self.sd.items()]

        class Model:
            def __init__(self, model, shape):
                self.model, self.shape = model, shape
            def state_dict(self):
                return Entries(self.model.state_dict(), self.shape)
            def load_state_dict(self, sd):
                return self.model.load_state_dict(dict(sd))

        enc = IMUEncoder()
        path = {str(tmp_path / "w.pt")!r}
        torch.save(enc._model.state_dict(), path)
        real = enc._model
        enc._model = Model(real, lambda k, v: [k, v])
        enc.load_checkpoint(path)
        print(enc.weights_loaded)
        for shape in (lambda k, v: (k, v, None), lambda k, v: 7):
            enc._model = Model(real, shape)
            try:
                enc.load_checkpoint(path)
            except (ValueError, TypeError) as e:
                print(type(e).__name__, e)
        """
    )
    r = subprocess.run(
        [sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": SRC}, capture_output=True, text=True, timeout=300
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.splitlines() == ["True", python_unpack_error(("k", "v", None)), python_unpack_error(7)]


def python_unpack_error(value):
    """`k, v = value` in this interpreter: its error as the child prints it (3.14 adds the count)."""
    try:
        k, v = value
    except (ValueError, TypeError) as e:
        return f"{type(e).__name__} {e}"
    raise AssertionError(f"{value!r} unpacked")
