// Shared by the sources of the profiler module: its types, its state and the
// functions one source defines and another calls.
#pragma once

#include <atomic>
#include <new>
#include "profiler_core.hpp"
#include "pyhost.hpp"

namespace orvane_profiler {

using pyhost::Ref;

extern PyModuleDef moduledef;

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// Interned names: the channel record keys and the snapshot record keys (each
// in record order), the configuration names, then attribute and method names.
// clang-format off
#define PROFILER_NAMES(X) \
    X(kChannelKey0, "name") X(kChannelCount, "count") X(kChannelMin, "min") X(kChannelMax, "max") \
    X(kChannelMean, "mean") X(kChannelVariance, "variance") X(kChannelStd, "std") \
    X(kChannelValueRange, "value_range") X(kChannelMeanRateOfChange, "mean_rate_of_change") \
    X(kChannelOutlierFrequency, "outlier_frequency") X(kChannelPeriodicityScore, "periodicity_score") \
    X(kSnapshotKey0, "device_id") X(kSnapshotTotalObservations, "total_observations") \
    X(kSnapshotConfidenceScore, "confidence_score") X(kSnapshotChannelCount, "channel_count") \
    X(kSnapshotChannels, "channels") X(kSnapshotCorrelations, "correlations") \
    X(kCfgWindow, "PROFILER_CORRELATION_WINDOW") X(kCfgMinDatapoints, "PROFILER_MIN_DATAPOINTS") \
    X(kCfgOutlierZscore, "PROFILER_OUTLIER_ZSCORE") X(kCfgPeriodicityMin, "PROFILER_PERIODICITY_MIN_POINTS") \
    X(kUpdate, "update") X(kCheckOutlier, "check_outlier") X(kToDict, "to_dict") X(kHistory, "history") \
    X(kMaxlen, "maxlen") X(kComputeCorrelations, "compute_correlations") X(kMinVal, "min_val") X(kMaxVal, "max_val")
// clang-format on
enum Name : std::size_t { PROFILER_NAMES(PYHOST_NAME_INDEX) kNameCount };
const char* const kNameTexts[kNameCount] = {PROFILER_NAMES(PYHOST_NAME_TEXT)};

struct ModuleState {
    PyTypeObject* lock_type;
    PyTypeObject* stats_type;
    PyTypeObject* profiler_type;
    PyObject* deque_type;
    pyhost::Names<kNameCount> names;
    PeriodicityCache* periodicity;

    int traverse(visitproc visit, void* arg) {
        return pyhost::visit_all(visit, arg, lock_type, stats_type, profiler_type, deque_type);
    }
    void clear() {
        pyhost::clear_all(lock_type, stats_type, profiler_type, deque_type);
        names.clear();
    }
    void release() { delete std::exchange(periodicity, nullptr); }
};

inline ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

// The module that defined `type` (or its base), borrowed.
inline PyObject* module_of_type(PyTypeObject* type) { return pyhost::module_of(type, &moduledef); }

// The window capacity, as collections.deque(maxlen=...) reads it: None is
// unbounded (-1 here), an int must be non-negative, anything else is refused.
inline bool read_window_capacity(PyObject* maxlen, Py_ssize_t* out) {
    if (maxlen == Py_None) {
        *out = -1;
        return true;
    }
    if (!PyLong_Check(maxlen)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Py_ssize_t cap = PyLong_AsSsize_t(maxlen);
    if (cap == -1 && PyErr_Occurred()) return false;
    if (cap < 0) {
        PyErr_SetString(PyExc_ValueError, "maxlen must be non-negative");
        return false;
    }
    *out = cap;
    return true;
}

// ---------------------------------------------------------------------------
// Channel statistics
// ---------------------------------------------------------------------------

struct ChannelStatsObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;  // exact str; nullptr until __init__
    Py_ssize_t count;
    double min_val;
    double max_val;
    double mean;
    double M2;
    bool has_prev;
    double prev_value;
    double delta_sum;
    Py_ssize_t delta_count;
    Py_ssize_t outlier_count;
    ChannelWindow history;
};

// The numeric state of a channel, as a fresh one starts: what a record is
// computed from (the snapshot copies it under the profiler's lock and
// computes the records after releasing it) and what a saved state holds.
struct ChannelState {
    Py_ssize_t count = 0;
    double min_val = HUGE_VAL, max_val = -HUGE_VAL, mean = 0.0, M2 = 0.0;
    bool has_prev = false;
    double prev_value = 0.0, delta_sum = 0.0;
    Py_ssize_t delta_count = 0, outlier_count = 0;
    std::vector<double> window;
    Py_ssize_t capacity = 0;  // ChannelWindow::kUnbounded: none
};

// The fields a ChannelStatsObject and a ChannelState both hold, for copying
// one into the other.
#define PROFILER_CHANNEL_NUMBERS(X) \
    X(count) X(min_val) X(max_val) X(mean) X(M2) X(has_prev) X(prev_value) X(delta_sum) X(delta_count) X(outlier_count)

inline bool require_name(ChannelStatsObject* self) {
    if (self->name != nullptr) return true;
    return pyhost::missing_attribute(reinterpret_cast<PyObject*>(self), "name") != nullptr;
}

inline ChannelState capture_state(const ChannelStatsObject* self) {
    ChannelState s;
#define PROFILER_COPY_OUT(field) s.field = self->field;
    PROFILER_CHANNEL_NUMBERS(PROFILER_COPY_OUT)
#undef PROFILER_COPY_OUT
    s.window = self->history.to_vector();
    s.capacity = self->history.capacity();
    return s;
}

// Sets every field but the name; may throw std::bad_alloc before changing
// anything.
inline void restore_state(ChannelStatsObject* self, const ChannelState& s) {
    self->history.assign(s.window, s.capacity);
#define PROFILER_COPY_IN(field) self->field = s.field;
    PROFILER_CHANNEL_NUMBERS(PROFILER_COPY_IN)
#undef PROFILER_COPY_IN
}

// The window capacity as Python sees it: None for unbounded.
inline PyObject* capacity_object(Py_ssize_t capacity) {
    return capacity == ChannelWindow::kUnbounded ? Py_NewRef(Py_None) : PyLong_FromSsize_t(capacity);
}

// math.sqrt(variance): ValueError for a negative variance (only reachable
// when Python code has set M2 or count by hand).
template <class S>
bool std_of(const S& s, double* out) {
    double var = variance_of(s);
    if (var < 0.0) {
        PyErr_SetString(PyExc_ValueError, "math domain error");
        return false;
    }
    *out = std::sqrt(var);
    return true;
}

// The two thresholds check_outlier compares with, read from the module
// namespace.
struct OutlierRule {
    pyhost::Constant min_datapoints;
    pyhost::Constant zscore;
    bool zscore_loaded = false;

    bool load(PyObject* module) {
        zscore_loaded = false;
        return min_datapoints.load(module, state_of(module)->names[kCfgMinDatapoints]);
    }

    // True when no comparison made so far could have run Python code.
    bool compares_natively() const { return !min_datapoints.is_other() && !(zscore_loaded && zscore.is_other()); }
};

inline ChannelStatsObject* as_stats(PyObject* o) { return reinterpret_cast<ChannelStatsObject*>(o); }

// update(value): the Welford step, the step statistics and the window.
inline bool stats_update(ChannelStatsObject* self, double value) {
    if (PYHOST_UNLIKELY(self->count == PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "count is too large");
        return false;
    }
    // delta_count is written from Python too; it may not wrap either.
    if (PYHOST_UNLIKELY(self->has_prev && self->delta_count == PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "delta_count is too large");
        return false;
    }
    if (!self->history.reserve_next()) {
        PyErr_NoMemory();
        return false;
    }
    self->count += 1;
    if (value < self->min_val) self->min_val = value;
    if (value > self->max_val) self->max_val = value;
    if (PYHOST_UNLIKELY(self->count == 0)) {
        // Only after Python code has set count to -1; Python's float
        // division would fail at this step.
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        return false;
    }
    double delta = value - self->mean;
    self->mean = self->mean + delta / static_cast<double>(self->count);
    double delta2 = value - self->mean;
    self->M2 = self->M2 + delta * delta2;
    if (self->has_prev) {
        self->delta_sum = self->delta_sum + std::fabs(value - self->prev_value);
        self->delta_count += 1;
    }
    self->prev_value = value;
    self->has_prev = true;
    self->history.push(value);
    return true;
}

// check_outlier(value): 1 (an outlier, counted), 0, or -1 on error.
inline int stats_check_outlier(PyObject* module, ChannelStatsObject* self, double value, OutlierRule& rule) {
    int below = rule.min_datapoints.compare_count(self->count, Py_LT);
    if (below != 0) return below < 0 ? -1 : 0;
    double sd;
    if (!std_of(*self, &sd)) return -1;
    if (sd == 0.0) return 0;
    double z = std::fabs(value - self->mean) / sd;
    if (!rule.zscore_loaded) {
        if (!rule.zscore.load(module, state_of(module)->names[kCfgOutlierZscore])) return -1;
        rule.zscore_loaded = true;
    }
    int outlier = rule.zscore.compare(z, Py_GT);
    if (outlier > 0 && PYHOST_UNLIKELY(self->outlier_count == PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "outlier_count is too large");
        return -1;
    }
    if (outlier > 0) self->outlier_count += 1;
    return outlier;
}

// ---------------------------------------------------------------------------
// Statistical profiler
// ---------------------------------------------------------------------------

struct ProfilerObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    PyObject* device_id;  // exact str; nullptr until __init__
    PyObject* channels;   // exact dict
    pyhost::LockObject* lock;
    std::atomic<Py_ssize_t> total_observations;
};

inline ProfilerObject* as_profiler(PyObject* o) { return reinterpret_cast<ProfilerObject*>(o); }

// The channel entries as (name, ChannelStats) pairs, taken at once so that
// Python code running later (a foreign to_dict, a key's __eq__) cannot
// disturb the iteration.
inline std::vector<std::pair<Ref, Ref>> channel_items(ProfilerObject* self) {
    Ref channels = Ref::borrow(self->channels);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    std::vector<std::pair<Ref, Ref>> out;
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(channels.get())));
    while (PyDict_Next(channels.get(), &pos, &k, &v)) out.emplace_back(Ref::borrow(k), Ref::borrow(v));
    return out;
}

// ---- defined across the module's sources ----

PyObject* float_list(const std::vector<double>& values);
// The values of an iterable, each converted with float_arg (`argname` naming
// them) or, without a name, with the real-number conversion.
bool read_values(PyObject* iterable, const char* argname, std::vector<double>& out);
PyObject* channel_record(PyObject* module, PyObject* name, const ChannelState& s);
// Saving and restoring (profiler_state.cpp): the versioned plain-data state
// of both types, and the __reduce__ they share.
PyObject* stats_getstate(PyObject* o);
PyObject* stats_setstate(PyObject* o, PyObject* state);
PyObject* profiler_getstate(PyObject* o);
PyObject* profiler_setstate(PyObject* o, PyObject* state);
PyObject* state_reduce(PyObject* o);
extern PyType_Spec stats_spec;

}  // namespace orvane_profiler
