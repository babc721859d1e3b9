// Stream profiling: running statistics per channel and the per-device
// profiler with its snapshot, confidence and channel correlations.
//
// Every number this module reports must be bit-identical to what the same
// formulas give when Python evaluates them with float(), round(), sum(),
// math.cos, math.sin and math.sqrt. So the arithmetic below is written in
// Python's evaluation order, sums are the interpreter's compensated sum, and
// the libm functions that Python calls are called the same way (through
// pointers the compiler cannot fold or fuse, see LibmCalls).
//
// Values live natively: a channel keeps its recent values in a ring of
// doubles, and the cosines and sines of the periodicity score, which depend
// only on (k, t, n), are computed once per window length and shared by every
// channel of every profiler in the interpreter.
#include "pyhost.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

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
    Py_ssize_t bins;  // K - 1
    std::vector<double> cos;  // [t * bins + (k - 1)]
    std::vector<double> sin;
};

Py_ssize_t periodicity_bins(Py_ssize_t n) {
    Py_ssize_t K = n / 2 > 2 ? n / 2 : 2;
    return K - 1;
}

double periodicity_angle(Py_ssize_t k, Py_ssize_t t, Py_ssize_t n) {
    // Python evaluates 2.0 * math.pi * k * t / n left to right.
    return ((2.0 * M_PI) * static_cast<double>(k)) * static_cast<double>(t) / static_cast<double>(n);
}

std::shared_ptr<const PeriodicityTable> build_periodicity_table(Py_ssize_t n) {
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
const char* const kNameTexts[kNameCount] = {
    "name", "count", "min", "max", "mean", "variance", "std", "value_range", "mean_rate_of_change",
    "outlier_frequency", "periodicity_score",
    "device_id", "total_observations", "confidence_score", "channel_count", "channels", "correlations",
    "PROFILER_CORRELATION_WINDOW", "PROFILER_MIN_DATAPOINTS", "PROFILER_OUTLIER_ZSCORE",
    "PROFILER_PERIODICITY_MIN_POINTS",
    "update", "check_outlier", "to_dict", "history", "maxlen", "confidence_score", "compute_correlations"};

struct ModuleState {
    PyTypeObject* lock_type;
    PyTypeObject* stats_type;
    PyTypeObject* profiler_type;
    PyObject* deque_type;
    pyhost::Names<kNameCount> names;
    PeriodicityCache* periodicity;
};

// The attributes a channel record reads, key by key.
const char* const kChannelAttrs[11] = {"name", "count", "min_val", "max_val", "mean", "variance", "std",
                                       "value_range", "mean_rate_of_change", "outlier_frequency",
                                       "periodicity_score"};

ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

// The module that defined `type` (or its base), borrowed.
PyObject* module_of_type(PyTypeObject* type) { return pyhost::module_of(type, &moduledef); }

// The window capacity, as collections.deque(maxlen=...) reads it: None is
// unbounded (-1 here), an int must be non-negative, anything else is refused.
bool read_window_capacity(PyObject* maxlen, Py_ssize_t* out) {
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
    PyObject_HEAD
    PyObject* dict;
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

double variance_of(Py_ssize_t count, double M2) {
    if (count < 2) return 0.0;
    return M2 / static_cast<double>(count - 1);
}

// math.sqrt(variance): ValueError for a negative variance (only reachable
// when Python code has set M2 or count by hand).
bool std_of(Py_ssize_t count, double M2, double* out) {
    double var = variance_of(count, M2);
    if (var < 0.0) {
        PyErr_SetString(PyExc_ValueError, "math domain error");
        return false;
    }
    *out = std::sqrt(var);
    return true;
}

double value_range_of(Py_ssize_t count, double min_val, double max_val) {
    return count == 0 ? 0.0 : max_val - min_val;
}

double mean_rate_of_change_of(double delta_sum, Py_ssize_t delta_count) {
    return delta_count == 0 ? 0.0 : delta_sum / static_cast<double>(delta_count);
}

double outlier_frequency_of(Py_ssize_t outlier_count, Py_ssize_t count) {
    return count == 0 ? 0.0 : static_cast<double>(outlier_count) / static_cast<double>(count);
}

// re[j] = sum over t of centered[t] * cos, im[j] = -(sum of centered[t] * sin),
// each accumulated over t in order exactly as a per-bin loop would. Bins are
// independent sums, so they run side by side in vector lanes, four at a time
// with the accumulators held in registers; every lane performs the same
// IEEE operations in the same order as the scalar code (no contraction).
void accumulate_bins(const PeriodicityTable& table, const double* centered, double* re, double* im) {
    const Py_ssize_t n = table.n, bins = table.bins;
    const double* cos_t = table.cos.data();
    const double* sin_t = table.sin.data();
    Py_ssize_t j = 0;
#if defined(__GNUC__)
    typedef double Lanes __attribute__((vector_size(16)));
    auto load = [](const double* p) {
        Lanes v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    for (; j + 4 <= bins; j += 4) {
        Lanes r0 = {0.0, 0.0}, r1 = {0.0, 0.0}, m0 = {0.0, 0.0}, m1 = {0.0, 0.0};
        for (Py_ssize_t t = 0; t < n; ++t) {
            const Lanes c = {centered[t], centered[t]};
            const double* cs = cos_t + t * bins + j;
            const double* sn = sin_t + t * bins + j;
            r0 = r0 + c * load(cs);
            r1 = r1 + c * load(cs + 2);
            m0 = m0 - c * load(sn);
            m1 = m1 - c * load(sn + 2);
        }
        std::memcpy(re + j, &r0, sizeof r0);
        std::memcpy(re + j + 2, &r1, sizeof r1);
        std::memcpy(im + j, &m0, sizeof m0);
        std::memcpy(im + j + 2, &m1, sizeof m1);
    }
#endif
    for (; j < bins; ++j) {
        double r = 0.0, m = 0.0;
        for (Py_ssize_t t = 0; t < n; ++t) {
            r = r + centered[t] * cos_t[t * bins + j];
            m = m - centered[t] * sin_t[t * bins + j];
        }
        re[j] = r;
        im[j] = m;
    }
}

// The same sums for a window too long to keep a table for, with each angle
// evaluated where it is used.
void accumulate_bins_direct(Py_ssize_t n, Py_ssize_t bins, const double* centered, double* re, double* im) {
    for (Py_ssize_t j = 0; j < bins; ++j) {
        double r = 0.0, m = 0.0;
        for (Py_ssize_t t = 0; t < n; ++t) {
            double ang = periodicity_angle(j + 1, t, n);
            r = r + centered[t] * libm.cos(ang);
            m = m - centered[t] * libm.sin(ang);
        }
        re[j] = r;
        im[j] = m;
    }
}

// The periodicity score of a window (oldest first).
bool periodicity_of(PyObject* module, const double* vals, Py_ssize_t n, double* out) {
    ModuleState* st = state_of(module);
    pyhost::Constant min_points;
    if (!min_points.load(module, st->names[kCfgPeriodicityMin])) return false;
    int below = min_points.compare_count(n, Py_LT);
    if (below < 0) return false;
    if (below) {
        *out = 0.0;
        return true;
    }
    if (n == 0) {
        // sum([]) / 0 in Python: an int division by zero.
        PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
        return false;
    }
    pyhost::CompensatedSum total_vals;
    for (Py_ssize_t t = 0; t < n; ++t) total_vals.add(vals[t]);
    const double mean_v = total_vals.result() / static_cast<double>(n);

    const Py_ssize_t bins = periodicity_bins(n);
    std::vector<double> centered(static_cast<std::size_t>(n));
    for (Py_ssize_t t = 0; t < n; ++t) centered[t] = vals[t] - mean_v;
    std::vector<double> re(static_cast<std::size_t>(bins), 0.0), im(static_cast<std::size_t>(bins), 0.0);

    std::shared_ptr<const PeriodicityTable> table = st->periodicity->get(n);
    if (table)
        accumulate_bins(*table, centered.data(), re.data(), im.data());
    else
        accumulate_bins_direct(n, bins, centered.data(), re.data(), im.data());

    pyhost::CompensatedSum total;
    double best = 0.0;
    for (Py_ssize_t j = 0; j < bins; ++j) {
        double amp = std::sqrt(re[j] * re[j] + im[j] * im[j]);
        total.add(amp);
        // max() keeps the first item unless a later one compares greater.
        if (j == 0 || amp > best) best = amp;
    }
    double sum = total.result();
    if (sum == 0.0) {
        *out = 0.0;
        return true;
    }
    return pyhost::round_half_even(best / sum, 4, out);
}

bool set_record_float(PyObject* record, PyObject* key, double v) {
    Ref f = Ref::steal(PyFloat_FromDouble(v));
    return f && PyDict_SetItem(record, key, f.get()) == 0;
}

bool set_record_ssize(PyObject* record, PyObject* key, Py_ssize_t v) {
    Ref i = Ref::steal(PyLong_FromSsize_t(v));
    return i && PyDict_SetItem(record, key, i.get()) == 0;
}

// The channel record, in key order.
PyObject* channel_record(PyObject* module, PyObject* name, const ChannelState& s) {
    ModuleState* st = state_of(module);
    PyObject* const* k = st->names.at + kChannelKey0;
    double std_dev, periodicity;
    Ref rec = Ref::steal(PyDict_New());
    if (!rec) return nullptr;
    if (PyDict_SetItem(rec.get(), k[0], name) < 0) return nullptr;
    if (!set_record_ssize(rec.get(), k[1], s.count)) return nullptr;
    if (!set_record_float(rec.get(), k[2], s.min_val)) return nullptr;
    if (!set_record_float(rec.get(), k[3], s.max_val)) return nullptr;
    if (!set_record_float(rec.get(), k[4], s.mean)) return nullptr;
    if (!set_record_float(rec.get(), k[5], variance_of(s.count, s.M2))) return nullptr;
    if (!std_of(s.count, s.M2, &std_dev) || !set_record_float(rec.get(), k[6], std_dev)) return nullptr;
    if (!set_record_float(rec.get(), k[7], value_range_of(s.count, s.min_val, s.max_val))) return nullptr;
    if (!set_record_float(rec.get(), k[8], mean_rate_of_change_of(s.delta_sum, s.delta_count))) return nullptr;
    if (!set_record_float(rec.get(), k[9], outlier_frequency_of(s.outlier_count, s.count))) return nullptr;
    if (!periodicity_of(module, s.window.data(), static_cast<Py_ssize_t>(s.window.size()), &periodicity))
        return nullptr;
    if (!set_record_float(rec.get(), k[10], periodicity)) return nullptr;
    return rec.release();
}

ChannelStatsObject* as_stats(PyObject* o) { return reinterpret_cast<ChannelStatsObject*>(o); }

bool require_name(ChannelStatsObject* self) {
    if (self->name != nullptr) return true;
    return pyhost::missing_attribute(reinterpret_cast<PyObject*>(self), "name") != nullptr;
}

ChannelState capture_state(const ChannelStatsObject* self) {
    return ChannelState{self->count,     self->min_val,     self->max_val,
                        self->mean,      self->M2,          self->delta_sum,
                        self->delta_count, self->outlier_count, self->history.to_vector()};
}

// update(value): the Welford step, the step statistics and the window.
bool stats_update(ChannelStatsObject* self, double value) {
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
    bool compares_natively() const {
        return !min_datapoints.is_other() && !(zscore_loaded && zscore.is_other());
    }
};

// check_outlier(value): 1 (an outlier, counted), 0, or -1 on error.
int stats_check_outlier(PyObject* module, ChannelStatsObject* self, double value, OutlierRule& rule) {
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

// ---- entry points ----------------------------------------------------------------


// ---- ChannelStats: Python glue ------------------------------------------------

PyObject* stats_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    ChannelStatsObject* self = as_stats(o);
    new (&self->history) ChannelWindow();
    self->min_val = HUGE_VAL;
    self->max_val = -HUGE_VAL;
    return o;
}

int stats_init(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"name"};
    static const pyhost::Signature sig{"__init__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_tuple(sig, args, kwargs, a)) return -1;
    if (!pyhost::check_str(a[0], "name")) return -1;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return -1;
    Ref maxlen = pyhost::module_global(module, state_of(module)->names[kCfgWindow]);
    if (!maxlen) return -1;
    Py_ssize_t capacity;
    if (!read_window_capacity(maxlen.get(), &capacity)) return -1;

    ChannelStatsObject* self = as_stats(o);
    Py_XSETREF(self->name, Py_NewRef(a[0]));
    self->count = 0;
    self->min_val = HUGE_VAL;
    self->max_val = -HUGE_VAL;
    self->mean = 0.0;
    self->M2 = 0.0;
    self->has_prev = false;
    self->prev_value = 0.0;
    self->delta_sum = 0.0;
    self->delta_count = 0;
    self->outlier_count = 0;
    self->history.reset(capacity);
    return 0;
}

int stats_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(as_stats(o)->dict);
    return 0;
}

int stats_clear(PyObject* o) {
    Py_CLEAR(as_stats(o)->dict);
    return 0;
}

void stats_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    ChannelStatsObject* self = as_stats(o);
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(o);
    stats_clear(o);
    Py_CLEAR(self->name);
    self->history.~ChannelWindow();
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* stats_update_method(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"value"};
    static const pyhost::Signature sig{"update", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    double v;
    if (!pyhost::real_float(a[0], &v)) return nullptr;  // "must be real number, not T"
    if (!stats_update(as_stats(o), v)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stats_check_outlier_method(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"value"};
    static const pyhost::Signature sig{"check_outlier", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    double v;
    if (!pyhost::real_float(a[0], &v)) return nullptr;  // "must be real number, not T"
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    OutlierRule rule;
    if (!rule.load(module)) return nullptr;
    int r = stats_check_outlier(module, as_stats(o), v, rule);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

// A record built through attribute lookup, for subclasses that may
// override the properties it reads.
PyObject* channel_record_from_attributes(PyObject* module, PyObject* o) {
    ModuleState* st = state_of(module);
    Ref rec = Ref::steal(PyDict_New());
    if (!rec) return nullptr;
    for (int i = 0; i < 11; ++i) {
        Ref v = Ref::steal(PyObject_GetAttrString(o, kChannelAttrs[i]));
        if (!v || PyDict_SetItem(rec.get(), st->names[kChannelKey0 + i], v.get()) < 0) return nullptr;
    }
    return rec.release();
}

PyObject* stats_to_dict(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"to_dict", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ChannelStatsObject* self = as_stats(o);
    if (Py_TYPE(o) != state_of(module)->stats_type) return channel_record_from_attributes(module, o);
    if (!require_name(self)) return nullptr;
    Ref name = Ref::borrow(self->name);
    return channel_record(module, name.get(), capture_state(self));
}

// ---- ChannelStats: copying and pickling ------------------------------------------

// The instance's attributes, as a plain class's __dict__ would hold them:
// the fields in creation order, then any attribute Python code added.
PyObject* state_of_attributes(PyObject* o, PyObject* extra, const char* const* fields, std::size_t nfields) {
    Ref state = Ref::steal(PyDict_New());
    if (!state) return nullptr;
    for (std::size_t i = 0; i < nfields; ++i) {
        Ref v = Ref::steal(PyObject_GetAttrString(o, fields[i]));
        if (!v || PyDict_SetItemString(state.get(), fields[i], v.get()) < 0) return nullptr;
    }
    if (extra != nullptr && PyDict_Update(state.get(), extra) < 0) return nullptr;
    return state.release();
}

// Sets each entry of `state` as an attribute, through the typed setters.
bool restore_attributes(PyObject* o, PyObject* state) {
    if (!pyhost::check_dict(state, "state")) return false;
    Ref items = Ref::steal(PyDict_Items(state));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (PyObject_SetAttr(o, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) return false;
    }
    return true;
}

const char* const kStatsFields[] = {"name",      "count",       "min_val",       "max_val", "mean", "M2",
                                    "prev_value", "delta_sum", "delta_count", "outlier_count", "history"};

PyObject* stats_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"__getstate__", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    return state_of_attributes(o, as_stats(o)->dict, kStatsFields, std::size(kStatsFields));
}

PyObject* stats_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"state"};
    static const pyhost::Signature sig{"__setstate__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!restore_attributes(o, a[0])) return nullptr;
    Py_RETURN_NONE;
}

// ---- ChannelStats: attributes --------------------------------------------------

bool refuse_delete(PyObject* value, const char* attr) { return value == nullptr && pyhost::refuse_delete(attr) < 0; }

PyObject* get_name(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    if (!require_name(self)) return nullptr;
    return Py_NewRef(self->name);
}
int set_name(PyObject* o, PyObject* v, void*) {
    if (refuse_delete(v, "name") || !pyhost::check_str(v, "name")) return -1;
    Py_XSETREF(as_stats(o)->name, Py_NewRef(v));
    return 0;
}

// Integer and double fields share one getter/setter pair each, addressed by
// the field's offset.
struct FieldSpec {
    const char* name;
    std::size_t offset;
};

#define STATS_FIELD(field) FieldSpec{#field, offsetof(ChannelStatsObject, field)}
const FieldSpec kCountField = STATS_FIELD(count);
const FieldSpec kDeltaCountField = STATS_FIELD(delta_count);
const FieldSpec kOutlierCountField = STATS_FIELD(outlier_count);
const FieldSpec kMinField = STATS_FIELD(min_val);
const FieldSpec kMaxField = STATS_FIELD(max_val);
const FieldSpec kMeanField = STATS_FIELD(mean);
const FieldSpec kM2Field = STATS_FIELD(M2);
const FieldSpec kDeltaSumField = STATS_FIELD(delta_sum);
#undef STATS_FIELD

PyObject* get_ssize_field(PyObject* o, void* closure) {
    auto* f = static_cast<const FieldSpec*>(closure);
    return PyLong_FromSsize_t(*reinterpret_cast<Py_ssize_t*>(reinterpret_cast<char*>(o) + f->offset));
}
int set_ssize_field(PyObject* o, PyObject* v, void* closure) {
    auto* f = static_cast<const FieldSpec*>(closure);
    Py_ssize_t n;
    if (refuse_delete(v, f->name) || !pyhost::ssize_arg(v, f->name, &n)) return -1;
    *reinterpret_cast<Py_ssize_t*>(reinterpret_cast<char*>(o) + f->offset) = n;
    return 0;
}
PyObject* get_double_field(PyObject* o, void* closure) {
    auto* f = static_cast<const FieldSpec*>(closure);
    return PyFloat_FromDouble(*reinterpret_cast<double*>(reinterpret_cast<char*>(o) + f->offset));
}
int set_double_field(PyObject* o, PyObject* v, void* closure) {
    auto* f = static_cast<const FieldSpec*>(closure);
    double d;
    if (refuse_delete(v, f->name) || !pyhost::float_arg(v, f->name, &d)) return -1;
    *reinterpret_cast<double*>(reinterpret_cast<char*>(o) + f->offset) = d;
    return 0;
}

PyObject* get_prev_value(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    if (!self->has_prev) Py_RETURN_NONE;
    return PyFloat_FromDouble(self->prev_value);
}
int set_prev_value(PyObject* o, PyObject* v, void*) {
    if (refuse_delete(v, "prev_value")) return -1;
    ChannelStatsObject* self = as_stats(o);
    if (v == Py_None) {
        self->has_prev = false;
        self->prev_value = 0.0;
        return 0;
    }
    double d;
    if (!pyhost::float_arg(v, "prev_value", &d)) return -1;
    self->prev_value = d;
    self->has_prev = true;
    return 0;
}

// history reads as a fresh deque(values, maxlen=capacity): a copy, since the
// window itself is kept as doubles.
PyObject* get_history(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    std::vector<double> vals = self->history.to_vector();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(vals.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < vals.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(vals[i]);
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    Py_ssize_t cap = self->history.capacity();
    Ref maxlen = Ref::steal(cap == ChannelWindow::kUnbounded ? Py_NewRef(Py_None) : PyLong_FromSsize_t(cap));
    if (!maxlen) return nullptr;
    PyObject* call_args[] = {list.get(), maxlen.get()};
    return PyObject_Vectorcall(state_of(module)->deque_type, call_args, 2, nullptr);
}

// Reads any iterable of real numbers; a deque also sets the capacity from
// its maxlen, anything else keeps the current capacity.
int set_history(PyObject* o, PyObject* v, void*) {
    if (refuse_delete(v, "history")) return -1;
    ChannelStatsObject* self = as_stats(o);
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return -1;
    ModuleState* st = state_of(module);
    Py_ssize_t capacity = self->history.capacity();
    int is_deque = PyObject_IsInstance(v, st->deque_type);
    if (is_deque < 0) return -1;
    if (is_deque) {
        Ref maxlen = Ref::steal(PyObject_GetAttr(v, st->names[kMaxlen]));
        if (!maxlen || !read_window_capacity(maxlen.get(), &capacity)) return -1;
    }
    // Read through the iterator, holding each item: a value's __float__ may
    // change the list being read, as with deque(values, maxlen).
    Ref it = Ref::steal(PyObject_GetIter(v));
    if (!it) return -1;
    std::vector<double> vals;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        double d;
        if (!pyhost::float_arg(item.get(), "history", &d)) return -1;
        vals.push_back(d);
    }
    if (PyErr_Occurred()) return -1;
    self->history.assign(vals, capacity);
    return 0;
}

PyObject* get_variance(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    return PyFloat_FromDouble(variance_of(self->count, self->M2));
}
PyObject* get_std(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    double sd;
    if (!std_of(self->count, self->M2, &sd)) return nullptr;
    return PyFloat_FromDouble(sd);
}
PyObject* get_value_range(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    return PyFloat_FromDouble(value_range_of(self->count, self->min_val, self->max_val));
}
PyObject* get_mean_rate_of_change(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    return PyFloat_FromDouble(mean_rate_of_change_of(self->delta_sum, self->delta_count));
}
PyObject* get_outlier_frequency(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    return PyFloat_FromDouble(outlier_frequency_of(self->outlier_count, self->count));
}
PyObject* get_periodicity_score(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    std::vector<double> vals = self->history.to_vector();
    double score;
    if (!periodicity_of(module, vals.data(), static_cast<Py_ssize_t>(vals.size()), &score)) return nullptr;
    return PyFloat_FromDouble(score);
}

#define FIELD_GETSET(spec, doc, getter, setter) \
    pyhost::getset<getter, setter>(spec.name, doc, const_cast<FieldSpec*>(&spec))

PyGetSetDef stats_getset[] = {
    pyhost::getset<get_name, set_name>("name", "Channel name (the payload key)."),
    FIELD_GETSET(kCountField, "Number of values passed to update.", get_ssize_field, set_ssize_field),
    FIELD_GETSET(kMinField, "Smallest value seen.", get_double_field, set_double_field),
    FIELD_GETSET(kMaxField, "Largest value seen.", get_double_field, set_double_field),
    FIELD_GETSET(kMeanField, "Running mean.", get_double_field, set_double_field),
    FIELD_GETSET(kM2Field, "Running sum of squared deviations from the mean.", get_double_field,
                 set_double_field),
    pyhost::getset<get_prev_value, set_prev_value>("prev_value", "The previous value, or None."),
    FIELD_GETSET(kDeltaSumField, "Sum of absolute steps between consecutive values.", get_double_field,
                 set_double_field),
    FIELD_GETSET(kDeltaCountField, "Number of steps.", get_ssize_field, set_ssize_field),
    FIELD_GETSET(kOutlierCountField, "Number of check_outlier calls that found an outlier.", get_ssize_field,
                 set_ssize_field),
    pyhost::getset<get_history, set_history>("history", "The most recent values, oldest first (a copy)."),
    pyhost::getset<get_variance>("variance", "Sample variance; 0.0 below two values."),
    pyhost::getset<get_std>("std", "Sample standard deviation."),
    pyhost::getset<get_value_range>("value_range", "max_val - min_val; 0.0 when empty."),
    pyhost::getset<get_mean_rate_of_change>("mean_rate_of_change", "Mean absolute step per reading."),
    pyhost::getset<get_outlier_frequency>("outlier_frequency", "outlier_count / count; 0.0 when empty."),
    pyhost::getset<get_periodicity_score>("periodicity_score", "Share of the strongest frequency bin in the window's amplitude spectrum."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stats_methods[] = {
    pyhost::method<"update", stats_update_method, "value", "Fold a value into the statistics and the window.">(),
    pyhost::method<"check_outlier", stats_check_outlier_method, "value", "True (and counted) when the value's z-score exceeds the threshold.">(),
    pyhost::method<"to_dict", stats_to_dict, "", "The channel's summary record.">(),
    pyhost::method<"__getstate__", stats_getstate, "", "">(),
    pyhost::method<"__setstate__", stats_setstate, "state", "">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef stats_members[] = {PYHOST_DICT_WEAK_MEMBERS(ChannelStatsObject, dict, weakrefs)};

PyType_Slot stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("ChannelStats(name)\n--\n\nRunning statistics of one channel.")},
    {Py_tp_new, reinterpret_cast<void*>(stats_new)},
    pyhost::slot<Py_tp_init, stats_init>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(stats_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stats_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stats_clear)},
    {Py_tp_methods, stats_methods},
    {Py_tp_getset, stats_getset},
    {Py_tp_members, stats_members},
    {0, nullptr},
};

PyType_Spec stats_spec = {
    "orvane.brenlow.profiler.ChannelStats",
    sizeof(ChannelStatsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    stats_slots,
};

// ---------------------------------------------------------------------------
// Channel correlations
// ---------------------------------------------------------------------------

// One qualifying channel's window, with the mean, centred values and spread
// of its latest n values memoised per n (a pair recomputes them for the
// shorter window's length; the results are the same doubles every time).
struct CorrelationSeries {
    Ref name;
    std::vector<double> values;  // whole window, oldest first

    struct Tail {
        Py_ssize_t n;
        std::vector<double> centered;
        double spread;  // sqrt(sum((x - m) ** 2))
    };
    std::vector<Tail> tails;

    const Tail& tail(Py_ssize_t n) {
        for (const Tail& t : tails)
            if (t.n == n) return t;
        const double* h = values.data() + (values.size() - static_cast<std::size_t>(n));
        pyhost::CompensatedSum s;
        for (Py_ssize_t i = 0; i < n; ++i) s.add(h[i]);
        double m = s.result() / static_cast<double>(n);
        Tail t{n, std::vector<double>(static_cast<std::size_t>(n)), 0.0};
        pyhost::CompensatedSum sq;
        for (Py_ssize_t i = 0; i < n; ++i) {
            t.centered[i] = h[i] - m;
            // x ** 2 as float.__pow__ computes it: libm pow of |x|. Where
            // Python would raise OverflowError (|x| above ~1.3e154) the
            // square is left infinite, so that one extreme channel yields a
            // 0.0 or NaN correlation instead of failing the whole snapshot.
            sq.add(libm.pow(std::fabs(t.centered[i]), 2.0));
        }
        t.spread = std::sqrt(sq.result());
        tails.push_back(std::move(t));
        return tails.back();
    }
};

// Pearson correlation of two centred windows of equal length, rounded to
// 4 places; 0.0 when either has no spread.
bool pair_correlation(const CorrelationSeries::Tail& a, const CorrelationSeries::Tail& b, double* out) {
    if (!(a.spread != 0.0 && b.spread != 0.0)) {
        *out = 0.0;
        return true;
    }
    pyhost::CompensatedSum num;
    for (Py_ssize_t i = 0; i < a.n; ++i) num.add(a.centered[i] * b.centered[i]);
    double den = a.spread * b.spread;
    double r;
    if (PYHOST_UNLIKELY(den == 0.0)) {
        // Both spreads are non-zero but their product underflowed: dividing
        // by each in turn still gives the correlation instead of failing.
        r = num.result() / a.spread / b.spread;
    } else {
        r = num.result() / den;
    }
    return pyhost::round_half_even(r, 4, out);
}

// Reads a window from a channel object that is not our own type, through
// its `history` attribute.
bool read_foreign_window(ModuleState* st, PyObject* channel, std::vector<double>& out) {
    Ref history = Ref::steal(PyObject_GetAttr(channel, st->names[kHistory]));
    if (!history) return false;
    // The window may be a list that a value's __float__ changes: iterate,
    // holding each item, rather than index a snapshot of its length.
    Ref it = Ref::steal(PyObject_GetIter(history.get()));
    if (!it) return false;
    out.clear();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        double d;
        if (!pyhost::real_float(item.get(), &d)) return false;
        out.push_back(d);
    }
    return !PyErr_Occurred();
}

// The pairwise correlations of the given windows (oldest first, each at
// least kMinCorrelationValues long), in order.
PyObject* correlations_of(std::vector<CorrelationSeries>& series) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    if (series.size() < 2) return result.release();
    const std::size_t q = series.size();
    // Equal-length pairs are symmetric term by term, so the mirrored value
    // is the same double; keep each one to reuse it.
    std::vector<double> computed(q * q, 0.0);
    std::vector<char> known(q * q, 0);
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    if (!one) return nullptr;
    for (std::size_t i = 0; i < q; ++i) {
        Ref inner = Ref::steal(PyDict_New());
        if (!inner || PyDict_SetItem(result.get(), series[i].name.get(), inner.get()) < 0) return nullptr;
        const Py_ssize_t n = static_cast<Py_ssize_t>(series[i].values.size());
        for (std::size_t j = 0; j < q; ++j) {
            if (j == i) {
                if (PyDict_SetItem(inner.get(), series[i].name.get(), one.get()) < 0) return nullptr;
                continue;
            }
            if (static_cast<Py_ssize_t>(series[j].values.size()) < n) continue;
            double r;
            if (known[j * q + i]) {
                r = computed[j * q + i];
            } else {
                const CorrelationSeries::Tail& a = series[i].tail(n);
                const CorrelationSeries::Tail& b = series[j].tail(n);
                if (!pair_correlation(a, b, &r)) return nullptr;
                if (static_cast<Py_ssize_t>(series[j].values.size()) == n) {
                    computed[i * q + j] = r;
                    known[i * q + j] = 1;
                }
            }
            if (!set_record_float(inner.get(), series[j].name.get(), r)) return nullptr;
        }
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Statistical profiler
// ---------------------------------------------------------------------------

struct ProfilerObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* device_id;  // exact str; nullptr until __init__
    PyObject* channels;   // exact dict
    pyhost::LockObject* lock;
    std::atomic<Py_ssize_t> total_observations;
};

ProfilerObject* as_profiler(PyObject* o) { return reinterpret_cast<ProfilerObject*>(o); }

// The channel entries as (name, ChannelStats) pairs, taken at once so that
// Python code running later (a foreign to_dict, a key's __eq__) cannot
// disturb the iteration.
void channel_items(ProfilerObject* self, std::vector<std::pair<Ref, Ref>>& out) {
    Ref channels = Ref::borrow(self->channels);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(channels.get())));
    while (PyDict_Next(channels.get(), &pos, &k, &v)) out.emplace_back(Ref::borrow(k), Ref::borrow(v));
}

// A new ChannelStats(name) in `channels`.
PyObject* add_channel(PyObject* module, PyObject* channels, PyObject* name) {
    ModuleState* st = state_of(module);
    PyObject* call_args[] = {name};
    Ref channel = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->stats_type), call_args, 1, nullptr));
    if (!channel || PyDict_SetItem(channels, name, channel.get()) < 0) return nullptr;
    return channel.release();
}

// Applies one payload; the caller holds the lock.
bool observe_locked(PyObject* module, ProfilerObject* self, PyObject* payload) {
    ModuleState* st = state_of(module);
    // Python code may set the total to the largest native value; the next
    // observation then fails instead of wrapping to a negative count.
    Py_ssize_t total = self->total_observations.load(std::memory_order_relaxed);
    do {
        if (PYHOST_UNLIKELY(total == PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "total_observations is too large");
            return false;
        }
    } while (!self->total_observations.compare_exchange_weak(total, total + 1, std::memory_order_relaxed));

    OutlierRule rule;
    bool rule_fresh = false;  // reloaded whenever Python code may have run
    const Py_ssize_t size = PyDict_GET_SIZE(payload);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(payload, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        double d;
        const bool plain_number = PyFloat_CheckExact(v) || PyLong_CheckExact(v);
        if (!plain_number) rule_fresh = false;
        if (!pyhost::host_float(value.get(), &d)) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                if (PyDict_GET_SIZE(payload) != size) goto changed;
                continue;
            }
            return false;
        }
        if (PyDict_GET_SIZE(payload) != size) goto changed;
        {
            Ref channels = Ref::borrow(self->channels);
            if (!PyUnicode_CheckExact(key.get())) rule_fresh = false;  // its __eq__ may run
            Ref channel = Ref::borrow(PyDict_GetItemWithError(channels.get(), key.get()));
            if (!channel) {
                if (PyErr_Occurred()) return false;
                channel = Ref::steal(add_channel(module, channels.get(), key.get()));
                if (!channel) return false;
            }
            if (Py_IS_TYPE(channel.get(), st->stats_type)) {
                ChannelStatsObject* cs = as_stats(channel.get());
                if (!stats_update(cs, d)) return false;
                if (!rule_fresh) {
                    if (!rule.load(module)) return false;
                    rule_fresh = true;
                }
                if (stats_check_outlier(module, cs, d, rule) < 0) return false;
                // A comparison with an unusual threshold may have run Python code.
                if (!rule.compares_natively()) rule_fresh = false;
            } else {
                rule_fresh = false;
                Ref f = Ref::steal(PyFloat_FromDouble(d));
                if (!f) return false;
                Ref r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), st->names[kUpdate], f.get()));
                if (!r) return false;
                r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), st->names[kCheckOutlier], f.get()));
                if (!r) return false;
            }
        }
        if (PyDict_GET_SIZE(payload) != size) goto changed;
    }
    return true;
changed:
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

PyObject* profiler_observe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"payload"};
    static const pyhost::Signature sig{"observe", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!pyhost::check_dict(a[0], "payload")) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ProfilerObject* self = as_profiler(o);
    Ref keep_payload = Ref::borrow(a[0]);
    Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
    pyhost::LockGuard guard(self->lock->mutex);
    if (!guard.ok()) return nullptr;
    if (!observe_locked(module, self, a[0])) return nullptr;
    Py_RETURN_NONE;
}

// confidence_score from a total, with PROFILER_MIN_DATAPOINTS read now.
bool confidence_of(PyObject* module, Py_ssize_t total, double* out) {
    if (total <= 0) {
        *out = 0.0;
        return true;
    }
    pyhost::Constant minimum;
    if (!minimum.load(module, state_of(module)->names[kCfgMinDatapoints])) return false;
    // ratio = total / max(minimum, 1), as Python computes it.
    double ratio;
    const bool total_exact = total <= kExactIntLimit;
    if (minimum.is_int() && total_exact && minimum.int_value() <= kExactIntLimit) {
        long long m = minimum.int_value() < 1 ? 1 : minimum.int_value();
        ratio = static_cast<double>(total) / static_cast<double>(m);
    } else if (minimum.is_float() && total_exact) {
        double m = minimum.float_value();
        ratio = 1.0 > m ? static_cast<double>(total) : static_cast<double>(total) / m;
    } else {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref t = Ref::steal(PyLong_FromSsize_t(total));
        if (!one || !t) return false;
        int one_greater = PyObject_RichCompareBool(one.get(), minimum.object(), Py_GT);
        if (one_greater < 0) return false;
        Ref r = Ref::steal(PyNumber_TrueDivide(t.get(), one_greater ? one.get() : minimum.object()));
        if (!r || !pyhost::real_float(r.get(), &ratio)) return false;
    }
    double base = ratio / 4.0;
    if (base < 0.0) {
        PyErr_SetString(PyExc_ValueError, "negative number cannot be raised to a fractional power");
        return false;
    }
    double raw = 1.0 - 1.0 / (1.0 + libm.pow(base, 1.5));
    double capped = 0.99 < raw ? 0.99 : raw;
    return pyhost::round_half_even(capped, 4, out);
}

PyObject* get_confidence_score(PyObject* o, void*) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    double c;
    if (!confidence_of(module, as_profiler(o)->total_observations.load(std::memory_order_relaxed), &c))
        return nullptr;
    return PyFloat_FromDouble(c);
}

// Copies the qualifying windows under the lock; the caller computes after
// releasing it (the copies are all the pass reads).
bool collect_correlation_series(PyObject* module, ProfilerObject* self, std::vector<CorrelationSeries>& out) {
    ModuleState* st = state_of(module);
    Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
    pyhost::LockGuard guard(self->lock->mutex);
    if (!guard.ok()) return false;
    std::vector<std::pair<Ref, Ref>> items;
    channel_items(self, items);
    for (auto& [name, channel] : items) {
        CorrelationSeries s;
        if (Py_IS_TYPE(channel.get(), st->stats_type)) {
            const ChannelWindow& w = as_stats(channel.get())->history;
            if (w.size() < kMinCorrelationValues) continue;
            s.values = w.to_vector();
        } else {
            if (!read_foreign_window(st, channel.get(), s.values)) return false;
            if (static_cast<Py_ssize_t>(s.values.size()) < kMinCorrelationValues) continue;
        }
        s.name = name;
        out.push_back(std::move(s));
    }
    return true;
}

PyObject* compute_correlations_native(PyObject* module, ProfilerObject* self) {
    std::vector<CorrelationSeries> series;
    if (!collect_correlation_series(module, self, series)) return nullptr;
    return correlations_of(series);
}

PyObject* profiler_compute_correlations(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    static const pyhost::Signature sig{"compute_correlations", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    return compute_correlations_native(module, as_profiler(o));
}

// One channel as the snapshot copies it under the lock: our own type as its
// numeric state (its record is computed after the lock is released), any
// other object as the record its to_dict() returned.
struct SnapshotChannel {
    Ref name;
    Ref record;
    Ref channel_name;
    ChannelState state;
};

PyObject* profiler_snapshot(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"snapshot", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    ProfilerObject* self = as_profiler(o);
    const bool own_type = Py_IS_TYPE(o, st->profiler_type);

    std::vector<SnapshotChannel> copied;
    Py_ssize_t total;
    {
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        std::vector<std::pair<Ref, Ref>> items;
        channel_items(self, items);
        copied.reserve(items.size());
        for (auto& [name, channel] : items) {
            SnapshotChannel c;
            c.name = name;
            if (Py_IS_TYPE(channel.get(), st->stats_type)) {
                ChannelStatsObject* cs = as_stats(channel.get());
                if (!require_name(cs)) return nullptr;
                c.channel_name = Ref::borrow(cs->name);
                c.state = capture_state(cs);
            } else {
                c.record = Ref::steal(PyObject_CallMethodNoArgs(channel.get(), st->names[kToDict]));
                if (!c.record) return nullptr;
            }
            copied.push_back(std::move(c));
        }
        total = self->total_observations.load(std::memory_order_relaxed);
    }

    Ref records = Ref::steal(PyDict_New());
    if (!records) return nullptr;
    for (SnapshotChannel& c : copied) {
        if (!c.record) {
            c.record = Ref::steal(channel_record(module, c.channel_name.get(), c.state));
            if (!c.record) return nullptr;
        }
        if (PyDict_SetItem(records.get(), c.name.get(), c.record.get()) < 0) return nullptr;
    }

    PyObject* const* k = st->names.at + kSnapshotKey0;
    if (self->device_id == nullptr) {
        pyhost::missing_attribute(o, "device_id");
        return nullptr;
    }
    Ref snap = Ref::steal(PyDict_New());
    if (!snap || PyDict_SetItem(snap.get(), k[0], self->device_id) < 0) return nullptr;
    if (!set_record_ssize(snap.get(), k[1], total)) return nullptr;
    Ref confidence;
    if (own_type) {
        double c;
        if (!confidence_of(module, self->total_observations.load(std::memory_order_relaxed), &c)) return nullptr;
        confidence = Ref::steal(PyFloat_FromDouble(c));
    } else {
        confidence = Ref::steal(PyObject_GetAttr(o, st->names[kConfidenceScore]));
    }
    if (!confidence || PyDict_SetItem(snap.get(), k[2], confidence.get()) < 0) return nullptr;
    if (!set_record_ssize(snap.get(), k[3], PyDict_GET_SIZE(records.get()))) return nullptr;
    if (PyDict_SetItem(snap.get(), k[4], records.get()) < 0) return nullptr;
    Ref correlations = Ref::steal(own_type ? compute_correlations_native(module, self)
                                           : PyObject_CallMethodNoArgs(o, st->names[kComputeCorrelations]));
    if (!correlations || PyDict_SetItem(snap.get(), k[5], correlations.get()) < 0) return nullptr;
    return snap.release();
}

// ---- StatisticalProfiler: Python glue ------------------------------------------

PyObject* profiler_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* module = module_of_type(type);
    if (module == nullptr) return nullptr;
    Ref channels = Ref::steal(PyDict_New());
    if (!channels) return nullptr;
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(pyhost::new_lock(state_of(module)->lock_type)));
    if (!lock) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    ProfilerObject* self = as_profiler(o);
    new (&self->total_observations) std::atomic<Py_ssize_t>(0);
    self->channels = channels.release();
    self->lock = reinterpret_cast<pyhost::LockObject*>(lock.release());
    return o;
}

int profiler_init(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"device_id"};
    static const pyhost::Signature sig{"__init__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_tuple(sig, args, kwargs, a)) return -1;
    if (!pyhost::check_str(a[0], "device_id")) return -1;
    Ref channels = Ref::steal(PyDict_New());
    if (!channels) return -1;
    ProfilerObject* self = as_profiler(o);
    Py_XSETREF(self->device_id, Py_NewRef(a[0]));
    Py_XSETREF(self->channels, channels.release());
    self->total_observations.store(0, std::memory_order_relaxed);
    return 0;
}

int profiler_traverse(PyObject* o, visitproc visit, void* arg) {
    ProfilerObject* self = as_profiler(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(self->dict);
    Py_VISIT(self->channels);
    Py_VISIT(reinterpret_cast<PyObject*>(self->lock));
    return 0;
}

int profiler_clear(PyObject* o) {
    ProfilerObject* self = as_profiler(o);
    Py_CLEAR(self->dict);
    // channels stays a dict while the object lives: emptying it breaks the
    // cycles it may be part of without leaving a state the methods reject.
    if (self->channels != nullptr) PyDict_Clear(self->channels);
    return 0;
}

void profiler_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    ProfilerObject* self = as_profiler(o);
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(o);
    Py_CLEAR(self->dict);
    Py_CLEAR(self->channels);
    Py_CLEAR(self->device_id);
    Py_CLEAR(self->lock);
    self->total_observations.~atomic();
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* get_device_id(PyObject* o, void*) {
    ProfilerObject* self = as_profiler(o);
    if (self->device_id == nullptr) {
        pyhost::missing_attribute(o, "device_id");
        return nullptr;
    }
    return Py_NewRef(self->device_id);
}
int set_device_id(PyObject* o, PyObject* v, void*) {
    if (refuse_delete(v, "device_id") || !pyhost::check_str(v, "device_id")) return -1;
    Py_XSETREF(as_profiler(o)->device_id, Py_NewRef(v));
    return 0;
}
PyObject* get_channels(PyObject* o, void*) { return Py_NewRef(as_profiler(o)->channels); }
int set_channels(PyObject* o, PyObject* v, void*) {
    if (refuse_delete(v, "channels") || !pyhost::check_dict(v, "channels")) return -1;
    Py_XSETREF(as_profiler(o)->channels, Py_NewRef(v));
    return 0;
}
PyObject* get_total_observations(PyObject* o, void*) {
    return PyLong_FromSsize_t(as_profiler(o)->total_observations.load(std::memory_order_relaxed));
}
int set_total_observations(PyObject* o, PyObject* v, void*) {
    Py_ssize_t n;
    if (refuse_delete(v, "total_observations") || !pyhost::ssize_arg(v, "total_observations", &n)) return -1;
    as_profiler(o)->total_observations.store(n, std::memory_order_relaxed);
    return 0;
}
PyObject* get_lock(PyObject* o, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(as_profiler(o)->lock)); }

// Copying shares the lock and the channels as a plain object's shallow copy
// would; pickling fails on the lock, as it does for threading.Lock.
const char* const kProfilerFields[] = {"device_id", "channels", "total_observations", "_lock"};

PyObject* profiler_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"__getstate__", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    return state_of_attributes(o, as_profiler(o)->dict, kProfilerFields, std::size(kProfilerFields));
}

PyObject* profiler_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"state"};
    static const pyhost::Signature sig{"__setstate__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!pyhost::check_dict(a[0], "state")) return nullptr;
    Ref state = Ref::steal(PyDict_Copy(a[0]));
    if (!state) return nullptr;
    // _lock is read-only as an attribute; a state may still carry one of
    // our locks (a copy shares its original's).
    Ref lock_key = Ref::steal(PyUnicode_FromString("_lock"));
    if (!lock_key) return nullptr;
    PyObject* lock = PyDict_GetItemWithError(state.get(), lock_key.get());
    if (lock == nullptr && PyErr_Occurred()) return nullptr;
    if (lock != nullptr) {
        PyObject* module = module_of_type(Py_TYPE(o));
        if (module == nullptr) return nullptr;
        if (!Py_IS_TYPE(lock, state_of(module)->lock_type)) {
            pyhost::raise_arg_type("_lock", "Lock", lock);
            return nullptr;
        }
        Py_SETREF(as_profiler(o)->lock, reinterpret_cast<pyhost::LockObject*>(Py_NewRef(lock)));
        if (PyDict_DelItem(state.get(), lock_key.get()) < 0) return nullptr;
    }
    if (!restore_attributes(o, state.get())) return nullptr;
    Py_RETURN_NONE;
}

PyGetSetDef profiler_getset[] = {
    pyhost::getset<get_device_id, set_device_id>("device_id", "The device whose stream this is."),
    pyhost::getset<get_channels, set_channels>("channels", "Channel name -> ChannelStats, in order of first appearance."),
    pyhost::getset<get_total_observations, set_total_observations>("total_observations", "Number of observe calls."),
    pyhost::getset<get_lock>("_lock", "The non-reentrant lock guarding the channels and the total."),
    pyhost::getset<get_confidence_score>("confidence_score", "Confidence in [0.0, 0.99] that grows with the number of observations."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef profiler_methods[] = {
    pyhost::method<"observe", profiler_observe, "payload", "Fold every numeric value of a payload into its channel, atomically.">(),
    pyhost::method<"compute_correlations", profiler_compute_correlations, "", "Pearson correlations between the recent windows of the channels.">(),
    pyhost::method<"snapshot", profiler_snapshot, "", "The device's snapshot record.">(),
    pyhost::method<"__getstate__", profiler_getstate, "", "">(),
    pyhost::method<"__setstate__", profiler_setstate, "state", "">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef profiler_members[] = {PYHOST_DICT_WEAK_MEMBERS(ProfilerObject, dict, weakrefs)};

PyType_Slot profiler_slots[] = {
    {Py_tp_doc, const_cast<char*>("StatisticalProfiler(device_id)\n--\n\nThe statistical profile of one "
                                  "device's reading stream.")},
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    pyhost::slot<Py_tp_init, profiler_init>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiler_clear)},
    {Py_tp_methods, profiler_methods},
    {Py_tp_getset, profiler_getset},
    {Py_tp_members, profiler_members},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "orvane.brenlow.profiler.StatisticalProfiler",
    sizeof(ProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    profiler_slots,
};

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

const char* const kConfigNames[] = {"PROFILER_CORRELATION_WINDOW", "PROFILER_MIN_DATAPOINTS",
                                    "PROFILER_OUTLIER_ZSCORE", "PROFILER_PERIODICITY_MIN_POINTS", nullptr};

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
    st->periodicity = new (std::nothrow) PeriodicityCache();
    if (st->periodicity == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (pyhost::bind_constants(module, "orvane.config", kConfigNames) < 0) return -1;

    for (const char* host : {"math", "threading"}) {
        Ref m = Ref::steal(PyImport_ImportModule(host));
        if (!m || PyModule_AddObjectRef(module, host, m.get()) < 0) return -1;
    }
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    if (!collections) return -1;
    st->deque_type = PyObject_GetAttrString(collections.get(), "deque");
    if (st->deque_type == nullptr || PyModule_AddObjectRef(module, "deque", st->deque_type) < 0) return -1;

    if (st->names.init(kNameTexts) < 0) return -1;

    st->lock_type = pyhost::make_lock_type(module, "orvane.brenlow.profiler.Lock");
    if (st->lock_type == nullptr) return -1;
    st->stats_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &stats_spec, nullptr));
    if (st->stats_type == nullptr || PyModule_AddType(module, st->stats_type) < 0) return -1;
    st->profiler_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &profiler_spec, nullptr));
    if (st->profiler_type == nullptr || PyModule_AddType(module, st->profiler_type) < 0) return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_VISIT(st->lock_type);
    Py_VISIT(st->stats_type);
    Py_VISIT(st->profiler_type);
    Py_VISIT(st->deque_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_CLEAR(st->lock_type);
    Py_CLEAR(st->stats_type);
    Py_CLEAR(st->profiler_type);
    Py_CLEAR(st->deque_type);
    st->names.clear();
    return 0;
}

void module_free(void* m) {
    PyObject* module = static_cast<PyObject*>(m);
    module_clear(module);
    ModuleState* st = state_of(module);
    if (st != nullptr) {
        delete st->periodicity;
        st->periodicity = nullptr;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "orvane.brenlow.profiler",
    "Running statistics per channel and the per-device statistical profiler.",
    sizeof(ModuleState),
    nullptr,
    slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_profiler(void) { return PyModuleDef_Init(&moduledef); }
