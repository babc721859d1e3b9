// Shared by the sources of the profiler module: its types, its state and the
// functions one source defines and another calls.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>
#include "pyhost.hpp"

namespace orvane_profiler {

using pyhost::Ref;

extern PyModuleDef moduledef;

// The fixed number of values a window needs before it takes part in the
// correlation pass.
constexpr Py_ssize_t kMinCorrelationValues = 10;

// Integers up to this magnitude convert to double exactly, so comparisons
// and true divisions of such ints can be done in doubles.
constexpr long long kExactIntLimit = 1LL << 53;

// ---------------------------------------------------------------------------
// libm, called as Python calls it
// ---------------------------------------------------------------------------

// Python's math.cos, math.sin and float.__pow__ call libm. GCC would fold
// pow(x, 2.0) into x * x and merge cos/sin of one angle into sincos, either
// of which can differ from libm in the last bit; calling through volatile
// pointers keeps each call a plain libm call.
struct LibmCalls {
    double (*volatile cos)(double) = ::cos;
    double (*volatile sin)(double) = ::sin;
    double (*volatile pow)(double, double) = ::pow;
};
const LibmCalls libm;

// ---------------------------------------------------------------------------
// Periodicity tables
// ---------------------------------------------------------------------------

// cos and sin of ang = ((2.0 * pi) * k) * t / n for every t < n and every
// used bin k = 1 .. K-1, laid out by t so that one pass over the window
// updates every bin.
struct PeriodicityTable {
    Py_ssize_t n;
    Py_ssize_t bins;          // K - 1
    std::vector<double> cos;  // [t * bins + (k - 1)]
    std::vector<double> sin;
};

inline Py_ssize_t periodicity_bins(Py_ssize_t n) {
    Py_ssize_t K = n / 2 > 2 ? n / 2 : 2;
    return K - 1;
}

inline double periodicity_angle(Py_ssize_t k, Py_ssize_t t, Py_ssize_t n) {
    // Python evaluates 2.0 * math.pi * k * t / n left to right.
    return ((2.0 * M_PI) * static_cast<double>(k)) * static_cast<double>(t) / static_cast<double>(n);
}

inline std::shared_ptr<const PeriodicityTable> build_periodicity_table(Py_ssize_t n) {
    auto table = std::make_shared<PeriodicityTable>();
    table->n = n;
    table->bins = periodicity_bins(n);
    const std::size_t cells = static_cast<std::size_t>(n) * static_cast<std::size_t>(table->bins);
    table->cos.resize(cells);
    table->sin.resize(cells);
    for (Py_ssize_t t = 0; t < n; ++t) {
        for (Py_ssize_t j = 0; j < table->bins; ++j) {
            double ang = periodicity_angle(j + 1, t, n);
            table->cos[t * table->bins + j] = libm.cos(ang);
            table->sin[t * table->bins + j] = libm.sin(ang);
        }
    }
    return table;
}

// The tables of the window lengths in use, bounded in memory: a table costs
// about 8 n^2 bytes, so the default windows (n <= 100) all fit easily while a
// very long window is computed directly instead of being cached.
class PeriodicityCache {
  public:
    static constexpr std::size_t kBudgetBytes = std::size_t{48} << 20;

    // The table for windows of n values, or nullptr when it is too large to
    // keep (or to allocate): the caller then evaluates the angles directly.
    std::shared_ptr<const PeriodicityTable> get(Py_ssize_t n) noexcept {
        try {
            return get_or_build(n);
        } catch (const std::exception&) {
            return nullptr;
        }
    }

  private:
    std::shared_ptr<const PeriodicityTable> get_or_build(Py_ssize_t n) {
        auto it = tables_.find(n);
        if (it != tables_.end()) return it->second;
        std::size_t cost = table_bytes(n);
        if (cost > kBudgetBytes / 2) return nullptr;
        if (bytes_ + cost > kBudgetBytes) {
            // Window lengths in use change rarely; starting over is simpler
            // than tracking recency, and tables in use stay alive by their
            // shared pointers.
            tables_.clear();
            bytes_ = 0;
        }
        auto table = build_periodicity_table(n);
        tables_.emplace(n, table);
        bytes_ += cost;
        return table;
    }

    static std::size_t table_bytes(Py_ssize_t n) {
        return 2 * sizeof(double) * static_cast<std::size_t>(n) * static_cast<std::size_t>(periodicity_bins(n));
    }
    std::unordered_map<Py_ssize_t, std::shared_ptr<const PeriodicityTable>> tables_;
    std::size_t bytes_ = 0;
};

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// Interned names: the channel record keys and the snapshot record keys (each
// in record order), the configuration names, then attribute and method names.
enum Name : std::size_t {
    kChannelKey0 = 0,
    kSnapshotKey0 = 11,
    kCfgWindow = 17,
    kCfgMinDatapoints,
    kCfgOutlierZscore,
    kCfgPeriodicityMin,
    kUpdate,
    kCheckOutlier,
    kToDict,
    kHistory,
    kMaxlen,
    kConfidenceScore,
    kComputeCorrelations,
    kNameCount
};
const char* const kNameTexts[kNameCount] = {"name",
                                            "count",
                                            "min",
                                            "max",
                                            "mean",
                                            "variance",
                                            "std",
                                            "value_range",
                                            "mean_rate_of_change",
                                            "outlier_frequency",
                                            "periodicity_score",
                                            "device_id",
                                            "total_observations",
                                            "confidence_score",
                                            "channel_count",
                                            "channels",
                                            "correlations",
                                            "PROFILER_CORRELATION_WINDOW",
                                            "PROFILER_MIN_DATAPOINTS",
                                            "PROFILER_OUTLIER_ZSCORE",
                                            "PROFILER_PERIODICITY_MIN_POINTS",
                                            "update",
                                            "check_outlier",
                                            "to_dict",
                                            "history",
                                            "maxlen",
                                            "confidence_score",
                                            "compute_correlations"};

struct ModuleState {
    PyTypeObject* lock_type;
    PyTypeObject* stats_type;
    PyTypeObject* profiler_type;
    PyObject* deque_type;
    pyhost::Names<kNameCount> names;
    PeriodicityCache* periodicity;
};

// The attributes a channel record reads, key by key.
const char* const kChannelAttrs[11] = {"name",
                                       "count",
                                       "min_val",
                                       "max_val",
                                       "mean",
                                       "variance",
                                       "std",
                                       "value_range",
                                       "mean_rate_of_change",
                                       "outlier_frequency",
                                       "periodicity_score"};

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
// ChannelWindow: the most recent values of one channel
// ---------------------------------------------------------------------------

// A FIFO of doubles with a fixed capacity (or none), oldest first. Storage
// grows with the values actually seen, so a large configured capacity costs
// nothing up front; once full it becomes a ring.
class ChannelWindow {
  public:
    static constexpr Py_ssize_t kUnbounded = -1;

    void reset(Py_ssize_t capacity) {
        values_.clear();
        values_.shrink_to_fit();
        head_ = 0;
        capacity_ = capacity;
    }
    Py_ssize_t capacity() const noexcept { return capacity_; }
    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(values_.size()); }

    // Makes sure the next push cannot fail (call before changing anything
    // else, so that running out of memory leaves no half-applied update).
    bool reserve_next() {
        if (capacity_ == 0 || is_full() || values_.size() < values_.capacity()) return true;
        try {
            std::size_t want = values_.capacity() ? values_.capacity() * 2 : 16;
            if (capacity_ != kUnbounded && want > static_cast<std::size_t>(capacity_))
                want = static_cast<std::size_t>(capacity_);
            values_.reserve(want);
        } catch (const std::exception&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // Appends, dropping the oldest value when full. Never allocates after
    // reserve_next().
    void push(double v) noexcept {
        if (capacity_ == 0) return;
        if (!is_full()) {
            values_.push_back(v);
            return;
        }
        values_[head_] = v;
        head_ = head_ + 1 == values_.size() ? 0 : head_ + 1;
    }

    // The last m values (m <= size()), oldest first, into out.
    void copy_latest(Py_ssize_t m, double* out) const noexcept {
        const std::size_t len = values_.size();
        std::size_t start = (head_ + len - static_cast<std::size_t>(m)) % (len ? len : 1);
        std::size_t first = std::min<std::size_t>(static_cast<std::size_t>(m), len - start);
        if (first) std::memcpy(out, values_.data() + start, first * sizeof(double));
        if (static_cast<std::size_t>(m) > first)
            std::memcpy(out + first, values_.data(), (static_cast<std::size_t>(m) - first) * sizeof(double));
    }

    std::vector<double> to_vector() const {
        std::vector<double> out(values_.size());
        copy_latest(size(), out.data());
        return out;
    }

    // Replaces the contents (keeping the last values that fit).
    void assign(const std::vector<double>& values, Py_ssize_t capacity) {
        reset(capacity);
        std::size_t from = 0;
        if (capacity != kUnbounded && values.size() > static_cast<std::size_t>(capacity))
            from = values.size() - static_cast<std::size_t>(capacity);
        values_.assign(values.begin() + static_cast<std::ptrdiff_t>(from), values.end());
    }

  private:
    bool is_full() const noexcept {
        return capacity_ != kUnbounded && values_.size() == static_cast<std::size_t>(capacity_);
    }
    std::vector<double> values_;
    std::size_t head_ = 0;  // index of the oldest value once the ring is full
    Py_ssize_t capacity_ = 0;
};

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

// The numeric state a channel record is computed from. The snapshot copies
// it under the profiler's lock and computes the records after releasing it.
struct ChannelState {
    Py_ssize_t count = 0;
    double min_val = 0.0, max_val = 0.0, mean = 0.0, M2 = 0.0, delta_sum = 0.0;
    Py_ssize_t delta_count = 0, outlier_count = 0;
    std::vector<double> window;
};

inline double variance_of(Py_ssize_t count, double M2) {
    if (count < 2) return 0.0;
    return M2 / static_cast<double>(count - 1);
}

// math.sqrt(variance): ValueError for a negative variance (only reachable
// when Python code has set M2 or count by hand).
inline bool std_of(Py_ssize_t count, double M2, double* out) {
    double var = variance_of(count, M2);
    if (var < 0.0) {
        PyErr_SetString(PyExc_ValueError, "math domain error");
        return false;
    }
    *out = std::sqrt(var);
    return true;
}

inline double value_range_of(Py_ssize_t count, double min_val, double max_val) {
    return count == 0 ? 0.0 : max_val - min_val;
}

inline double mean_rate_of_change_of(double delta_sum, Py_ssize_t delta_count) {
    return delta_count == 0 ? 0.0 : delta_sum / static_cast<double>(delta_count);
}

inline double outlier_frequency_of(Py_ssize_t outlier_count, Py_ssize_t count) {
    return count == 0 ? 0.0 : static_cast<double>(outlier_count) / static_cast<double>(count);
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
    if (!self->history.reserve_next()) return false;
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
    if (!std_of(self->count, self->M2, &sd)) return -1;
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

// ---- defined across the module's sources ----

bool set_record_float(PyObject* record, PyObject* key, double v);
bool set_record_ssize(PyObject* record, PyObject* key, Py_ssize_t v);
PyObject* channel_record(PyObject* module, PyObject* name, const ChannelState& s);
bool require_name(ChannelStatsObject* self);
ChannelState capture_state(const ChannelStatsObject* self);
// Saving and restoring (profiler_state.cpp): the versioned plain-data state
// of both types, and the __reduce__ they share.
PyObject* stats_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stats_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* profiler_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* profiler_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* state_reduce(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
bool refuse_delete(PyObject* value, const char* attr);
extern PyType_Spec stats_spec;

}  // namespace orvane_profiler
