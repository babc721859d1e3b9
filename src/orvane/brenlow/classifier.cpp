// Channel classification: behaviour labels and significance per channel,
// derived from a profiler snapshot.
//
// The input is an ordinary record that callers may build, edit or load from
// anywhere, so it is read the way Python code reads it: `.get(key, default)`
// on the mappings (a fast lookup only when the mapping is exactly a dict),
// `x or default` fallbacks, int() and float() conversions and the mappings'
// own `items()`. Malformed records therefore fail with the interpreter's own
// errors, in the order plain Python code would raise them.
//
// The six thresholds are module attributes read at each use, so that code
// which rebinds one (`classifier.PERIODICITY_THRESHOLD = 0.5`) changes the
// next classification.
#include "pyhost.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using pyhost::Ref;

// A channel needs this many values before it is classified at all.
constexpr long long kMinCount = 5;
// A channel is significant above this rounded score.
constexpr double kSignificantAbove = 0.2;

// ---------------------------------------------------------------------------
// Module state: the interned texts of the records and the threshold names
// ---------------------------------------------------------------------------

// Every text the module uses as a key, a label, a method or a threshold name,
// each named k_TEXT.
// clang-format off
#define CLASSIFIER_TEXTS(X) \
    X(channels) X(correlations) X(confidence_score) X(count) X(variance) X(mean_rate_of_change) X(outlier_frequency) \
    X(periodicity_score) X(items) X(get) X(labels) X(significance_score) X(confidence) X(correlated_with) \
    X(stats_summary) X(mean_roc) X(outlier_freq) X(channel_count) X(significant_channels) X(stable_channels) \
    X(classifications) X(dynamic) X(stable) X(slow_moving) X(periodic) X(outlier_prone) X(correlated) X(unknown) \
    X(DYNAMIC_VARIANCE_THRESHOLD) X(STABLE_VARIANCE_THRESHOLD) X(HIGH_ROC_THRESHOLD) X(CORRELATION_THRESHOLD) \
    X(OUTLIER_FREQUENCY_THRESHOLD) X(PERIODICITY_THRESHOLD)
// clang-format on

#define CLASSIFIER_INDEX(t) k_##t,
#define CLASSIFIER_TEXT(t) #t,
enum Text : int { CLASSIFIER_TEXTS(CLASSIFIER_INDEX) kTextCount };
constexpr const char* kTexts[kTextCount] = {CLASSIFIER_TEXTS(CLASSIFIER_TEXT)};

// The thresholds: the last names of the table, and the values the module
// binds them to.
constexpr int kFirstThreshold = k_DYNAMIC_VARIANCE_THRESHOLD;
constexpr int kThresholdCount = kTextCount - kFirstThreshold;
constexpr double kThresholdValues[kThresholdCount] = {0.01, 0.0001, 0.05, 0.7, 0.05, 0.3};

// The labels that earn significance, in the order they are tested, and
// their weights; bit i of a combination stands for the i-th.
enum Weighted { kDynamic, kSlowMoving, kPeriodic, kOutlierProne, kCorrelated, kWeightedCount };
constexpr Text kWeightedLabels[kWeightedCount] = {k_dynamic, k_slow_moving, k_periodic, k_outlier_prone, k_correlated};
constexpr double kWeights[kWeightedCount] = {0.4, 0.1, 0.2, 0.2, 0.2};

struct ModuleState {
    PyTypeObject* classifier_type;
    pyhost::Names<kTextCount> text;
    PyObject* zero_int;    // default of "count"
    PyObject* zero_float;  // default of the statistics and the confidence
    // The significance score of every combination of weighted labels (bit i:
    // the i-th weight of kWeights), made once: equal floats are
    // interchangeable, so the records share them.
    PyObject* score[1 << kWeightedCount];
    double score_value[1 << kWeightedCount];

    int traverse(visitproc visit, void* arg) { return pyhost::visit_all(visit, arg, classifier_type); }
    void clear() {
        text.clear();
        pyhost::clear_all(classifier_type, zero_int, zero_float);
        for (PyObject*& s : score) Py_CLEAR(s);
    }
};

// The rounded score of a combination, added in label order as classify adds.
bool combination_score(unsigned bits, double* out) {
    double significance = 0.0;
    for (int i = 0; i < kWeightedCount; ++i)
        if (bits & (1u << i)) significance = significance + kWeights[i];
    return pyhost::round_half_even(std::min(significance, 1.0), 4, out);
}

// ---------------------------------------------------------------------------
// Reading the snapshot with Python's semantics
// ---------------------------------------------------------------------------

// mapping.get(key, default): looked up in place in an exact dict, through
// the mapping's own get() otherwise.
Ref mapping_get(const ModuleState* st, PyObject* mapping, PyObject* key, PyObject* dflt, bool* ran_python) {
    if (PYHOST_LIKELY(PyDict_CheckExact(mapping))) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        return v != nullptr || PyErr_Occurred() ? Ref::borrow(v) : Ref::borrow(dflt);
    }
    *ran_python = true;
    return Ref::steal(PyObject_CallMethodObjArgs(mapping, st->text[k_get], key, dflt, nullptr));
}

// float(v or 0.0)
[[gnu::always_inline]] inline bool stat_value(PyObject* v, double* out, bool* ran_python) {
    if (PyFloat_CheckExact(v)) {
        double x = PyFloat_AS_DOUBLE(v);
        *out = x == 0.0 ? 0.0 : x;  // -0.0 is false too and falls back to 0.0
        return true;
    }
    if (!PyLong_CheckExact(v)) *ran_python = true;  // __bool__, __float__ and the like
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return false;
    if (truth == 0) {
        *out = 0.0;
        return true;
    }
    return pyhost::host_float(v, out);
}

// int(v) < 5
bool count_below_min(PyObject* v, bool* below, bool* ran_python) {
    if (!PyLong_CheckExact(v)) *ran_python = true;
    Ref n = PyLong_CheckExact(v) ? Ref::borrow(v) : Ref::steal(PyNumber_Long(v));
    if (!n) return false;
    int overflow = 0;
    long long c = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (c == -1 && PyErr_Occurred()) return false;
    *below = overflow < 0 || (overflow == 0 && c < kMinCount);
    return true;
}

// The statistics a channel record is read for, after its count, and the
// summary entry each one becomes, rounded to its number of places.
enum Stat { kVariance, kRoc, kOutlierFreq, kPeriodicity, kStatCount };
constexpr Text kReadKeys[1 + kStatCount] = {k_count, k_variance, k_mean_rate_of_change, k_outlier_frequency,
                                            k_periodicity_score};
constexpr Text kSummaryKeys[kStatCount] = {k_variance, k_mean_roc, k_outlier_freq, k_periodicity_score};
constexpr int kSummaryPlaces[kStatCount] = {6, 6, 4, 4};

// count = int(stats.get("count", 0)), then float(stats.get(key, 0.0) or 0.0)
// for each statistic. A small exact dict is first walked once for the keys
// in reading order, found by identity (the profiler writes its records with
// our interned names in this order), which is cheaper than five lookups. A
// value found so is used only while no Python code has run since; a key not
// met is looked up.
bool read_channel(const ModuleState* st, PyObject* stats, bool* below, double* s, bool* ran_python) {
    PyObject* found[1 + kStatCount] = {};
    if (PyDict_CheckExact(stats) && PyDict_GET_SIZE(stats) <= 16) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (int next = 0; next <= kStatCount && PyDict_Next(stats, &pos, &key, &value);)
            if (key == st->text[kReadKeys[next]]) found[next++] = value;
    }
    bool ran = false;
    for (int i = 0; i <= kStatCount; ++i) {
        PyObject* dflt = i == 0 ? st->zero_int : st->zero_float;
        Ref v = found[i] != nullptr && !ran ? Ref::borrow(found[i])
                                            : mapping_get(st, stats, st->text[kReadKeys[i]], dflt, &ran);
        if (!v || !(i == 0 ? count_below_min(v.get(), below, &ran) : stat_value(v.get(), &s[i - 1], &ran)))
            return false;
    }
    *ran_python |= ran;
    return true;
}

// other != name, as the operator evaluates it: exact strings compare their
// text, which runs no Python code (they are stored in their narrowest kind,
// so equal ones agree in kind, length and code units); anything else goes
// through the interpreter's comparison, with no identity shortcut.
int differs(PyObject* other, PyObject* name) {
    if (PyUnicode_CheckExact(other) && PyUnicode_CheckExact(name)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(other);
        if (other == name) return 0;
        if (n != PyUnicode_GET_LENGTH(name) || PyUnicode_KIND(other) != PyUnicode_KIND(name)) return 1;
        const auto* a = static_cast<const unsigned char*>(PyUnicode_DATA(other));
        const auto* b = static_cast<const unsigned char*>(PyUnicode_DATA(name));
        for (Py_ssize_t i = 0; i < n * PyUnicode_KIND(name); ++i)  // names are short: no call to memcmp
            if (a[i] != b[i]) return 1;
        return 0;
    }
    Ref r = Ref::steal(PyObject_RichCompare(other, name, Py_NE));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// ---------------------------------------------------------------------------
// One channel
// ---------------------------------------------------------------------------

// The six thresholds as one classify call sees them. Bound to floats (the
// usual case) they are read once and kept as doubles until Python code may
// have run, which is the only way one can be rebound in the middle of a call:
// a statistic's own __float__, a mapping's own get() or items(), a key's
// __eq__. The readers below report each such call with
// python_may_have_run(), and the next test reads the thresholds again, so
// every comparison sees what reading the threshold at that point would.
// (Lookups of text keys in exact dicts count as plain data access.)
// Thresholds bound to anything else are looked up at each use, in order, and
// compared with the interpreter's own comparison.
class Thresholds {
  public:
    Thresholds(PyObject* module, const ModuleState* st) : module_(module), st_(st) { load(); }

    void python_may_have_run() { stale_ = true; }

    // x OP threshold: 1, 0, or -1 with an exception set. Inlined, so that
    // each test of floats compiles to one comparison.
    [[gnu::always_inline]] int test(double x, int op, Text name) {
        if (stale_) load();
        if (all_float_) return pyhost::Constant::compare_doubles(x, value_[name - kFirstThreshold], op);
        return test_other(x, op, name);
    }

    // The correlation threshold as a double, when it is a float.
    bool correlation(double* out) {
        if (stale_) load();
        if (!all_float_) return false;
        *out = value_[k_CORRELATION_THRESHOLD - kFirstThreshold];
        return true;
    }

  private:
    // Looked up now and compared with the interpreter's own comparison,
    // which may itself run Python code.
    int test_other(double x, int op, Text name) {
        stale_ = true;
        pyhost::Constant limit;
        return limit.load(module_, st_->text[name]) ? limit.compare(x, op) : -1;
    }

    void load() {
        stale_ = false;
        all_float_ = true;
        PyObject* dict = PyModule_GetDict(module_);
        for (int i = 0; i < kThresholdCount; ++i) {
            PyObject* v = PyDict_GetItemWithError(dict, st_->text[kFirstThreshold + i]);
            if (v == nullptr || !PyFloat_CheckExact(v)) {
                if (PyErr_Occurred()) PyErr_Clear();  // the lookup at the use reports it
                all_float_ = false;
                return;
            }
            value_[i] = PyFloat_AS_DOUBLE(v);
        }
    }

    PyObject* module_;
    const ModuleState* st_;
    bool stale_ = true;
    bool all_float_ = false;
    double value_[kThresholdCount];
};

// `for key, value in mapping.items()`. An exact dict is walked in place
// with the checks its own items iterator makes; anything else goes through
// its items() and the iterator that returns.
class Items {
  public:
    Items(const ModuleState* st, PyObject* mapping) : st_(st), mapping_(mapping) {}

    bool start() {
        if (PyDict_CheckExact(mapping_)) {
            used_ = left_ = PyDict_GET_SIZE(mapping_);
            return true;
        }
        Ref items = Ref::steal(PyObject_CallMethodNoArgs(mapping_, st_->text[k_items]));
        if (items) it_ = Ref::steal(PyObject_GetIter(items.get()));
        return static_cast<bool>(it_);
    }

    // 1 with the next pair, 0 at the end, -1 with an error set.
    [[gnu::always_inline]] int next(Ref* key, Ref* value) {
        key->reset();
        value->reset();
        if (it_) {
            Ref item = Ref::steal(PyIter_Next(it_.get()));
            if (!item) return PyErr_Occurred() ? -1 : 0;
            return pyhost::unpack_pair(item.get(), key, value) ? 1 : -1;
        }
        if (PyDict_GET_SIZE(mapping_) != used_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject *k, *v;
        if (!PyDict_Next(mapping_, &pos_, &k, &v)) return 0;
        if (left_ == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        --left_;
        *key = Ref::borrow(k);
        *value = Ref::borrow(v);
        return 1;
    }

  private:
    const ModuleState* st_;
    PyObject* mapping_;
    Ref it_;
    Py_ssize_t pos_ = 0, used_ = 0, left_ = 0;
};

// The partners of `name` whose absolute correlation reaches the threshold,
// in the order of its correlation mapping. Only a dict (or a subclass) of
// partners is read; anything else counts as no partners.
Ref correlated_partners(const ModuleState* st, Thresholds& th, PyObject* correlations, PyObject* name) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    Ref partners;
    if (PyDict_CheckExact(correlations) && PyUnicode_CheckExact(name)) {
        PyObject* p = PyDict_GetItemWithError(correlations, name);
        if (p == nullptr) return PyErr_Occurred() ? Ref() : result;
        partners = Ref::borrow(p);
    } else {
        th.python_may_have_run();
        Ref dflt = Ref::steal(PyDict_New());
        if (!dflt) return Ref();
        partners = Ref::steal(PyObject_CallMethodObjArgs(correlations, st->text[k_get], name, dflt.get(), nullptr));
        if (!partners) return Ref();
    }
    if (!PyDict_Check(partners.get())) return result;
    double t;
    if (PyDict_CheckExact(partners.get()) && PyUnicode_CheckExact(name) && th.correlation(&t)) {
        // Text keys and float values, as the profiler makes them: nothing in
        // this loop can run Python code, so the dict is walked in place. Any
        // other entry sends the whole mapping down the general path below;
        // nothing observable has happened before it.
        Py_ssize_t pos = 0;
        PyObject *other, *value;
        bool plain = true;
        while (PyDict_Next(partners.get(), &pos, &other, &value)) {
            if (!PyUnicode_CheckExact(other) || !PyFloat_CheckExact(value)) {
                plain = false;
                break;
            }
            // Side-effect free here, so the cheap test goes first.
            if (std::fabs(PyFloat_AS_DOUBLE(value)) >= t && differs(other, name) &&
                PyList_Append(result.get(), other) < 0)
                return Ref();
        }
        if (plain) return result;
        if (PyList_SetSlice(result.get(), 0, PyList_GET_SIZE(result.get()), nullptr) < 0) return Ref();
    }
    th.python_may_have_run();
    Items items(st, partners.get());
    if (!items.start()) return Ref();
    Ref other, value;
    while (int more = items.next(&other, &value)) {
        if (more < 0) return Ref();
        int d = differs(other.get(), name);
        if (d < 0) return Ref();
        if (d == 0) continue;
        double c;
        if (!pyhost::host_float(value.get(), &c)) return Ref();
        th.python_may_have_run();
        int hit = th.test(std::fabs(c), Py_GE, k_CORRELATION_THRESHOLD);
        if (hit < 0) return Ref();
        if (hit && PyList_Append(result.get(), other.get()) < 0) return Ref();
    }
    return result;
}

// round(x, places) as a float object; +0.0, the commonest result, is the
// module's own.
Ref rounded(const ModuleState* st, double x, int places) {
    double r;
    if (!pyhost::round_half_even(x, places, &r)) return Ref();
    if (r == 0.0 && !std::signbit(r)) return Ref::borrow(st->zero_float);
    return Ref::steal(PyFloat_FromDouble(r));
}

// A fresh dict of keys[i]: values[i], in order (values borrowed).
template <std::size_t N>
[[gnu::always_inline]] inline Ref make_record(const ModuleState* st, const Text (&keys)[N],
                                              PyObject* const (&values)[N]) {
    Ref rec = Ref::steal(PyDict_New());
    if (!rec) return Ref();
    for (std::size_t i = 0; i < N; ++i)
        if (PyDict_SetItem(rec.get(), st->text[keys[i]], values[i]) < 0) return Ref();
    return rec;
}

Ref make_labels(PyObject* const* labels, Py_ssize_t n) {
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(labels[i]));
    return list;
}

// {"labels": ["unknown"], "significance_score": 0.0, "confidence": c}
Ref unclassified(const ModuleState* st, PyObject* confidence) {
    static constexpr Text kKeys[] = {k_labels, k_significance_score, k_confidence};
    Ref labels = make_labels(&st->text.at[k_unknown], 1);
    return labels ? make_record(st, kKeys, {labels.get(), st->zero_float, confidence}) : Ref();
}

// Ranking facts of one classified channel.
struct Ranked {
    double score;
    bool stable;
    PyObject* name;  // borrowed: the key of its classification
};

Ref classify_channel(const ModuleState* st, Thresholds& th, PyObject* name, const double* s, PyObject* correlations,
                     PyObject* confidence, Ranked* rank) {
    PyObject* labels[6];
    Py_ssize_t nlabels = 0;
    unsigned weighted = 0;  // bit i: kWeightedLabels[i] earned
    auto earn = [&](Weighted w) {
        labels[nlabels++] = st->text[kWeightedLabels[w]];
        weighted |= 1u << w;
    };
    int t;

    // "dynamic": high variance and a high rate of change.
    if ((t = th.test(s[kVariance], Py_GT, k_DYNAMIC_VARIANCE_THRESHOLD)) < 0) return Ref();
    if (t && (t = th.test(s[kRoc], Py_GT, k_HIGH_ROC_THRESHOLD)) < 0) return Ref();
    if (t) earn(kDynamic);
    // "stable" earns no weight; otherwise low variance and a low rate of
    // change make a slow mover.
    if ((t = th.test(s[kVariance], Py_LE, k_STABLE_VARIANCE_THRESHOLD)) < 0) return Ref();
    rank->stable = t;
    if (t) {
        labels[nlabels++] = st->text[k_stable];
    } else {
        if ((t = th.test(s[kVariance], Py_LE, k_DYNAMIC_VARIANCE_THRESHOLD)) < 0) return Ref();
        if (t && (t = th.test(s[kRoc], Py_LE, k_HIGH_ROC_THRESHOLD)) < 0) return Ref();
        if (t) earn(kSlowMoving);
    }
    if ((t = th.test(s[kPeriodicity], Py_GE, k_PERIODICITY_THRESHOLD)) < 0) return Ref();
    if (t) earn(kPeriodic);
    if ((t = th.test(s[kOutlierFreq], Py_GT, k_OUTLIER_FREQUENCY_THRESHOLD)) < 0) return Ref();
    if (t) earn(kOutlierProne);

    Ref partners = correlated_partners(st, th, correlations, name);
    if (!partners) return Ref();
    if (PyList_GET_SIZE(partners.get()) > 0) earn(kCorrelated);
    if (nlabels == 0) labels[nlabels++] = st->text[k_unknown];
    rank->score = st->score_value[weighted];

    Ref summary[kStatCount];
    for (int i = 0; i < kStatCount; ++i)
        if (!(summary[i] = rounded(st, s[i], kSummaryPlaces[i]))) return Ref();
    Ref stats_summary =
        make_record(st, kSummaryKeys, {summary[0].get(), summary[1].get(), summary[2].get(), summary[3].get()});
    Ref label_list = make_labels(labels, nlabels);
    if (!stats_summary || !label_list) return Ref();
    static constexpr Text kKeys[] = {k_labels, k_significance_score, k_confidence, k_correlated_with, k_stats_summary};
    return make_record(st, kKeys,
                       {label_list.get(), st->score[weighted], confidence, partners.get(), stats_summary.get()});
}

// ---------------------------------------------------------------------------
// The classification record
// ---------------------------------------------------------------------------

// "significant_channels" (stable sort by score, highest first) and
// "stable_channels", both in the order of `ranked`.
bool list_channels(std::vector<Ranked>& ranked, Ref* significant, Ref* stable) {
    *stable = Ref::steal(PyList_New(0));
    if (!*stable) return false;
    for (const Ranked& r : ranked)
        if (r.stable && PyList_Append(stable->get(), r.name) < 0) return false;
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
    *significant = Ref::steal(PyList_New(0));
    if (!*significant) return false;
    for (const Ranked& r : ranked)
        if (r.score > kSignificantAbove && PyList_Append(significant->get(), r.name) < 0) return false;
    return true;
}

// The ranking facts read back from the finished classifications: used when
// a channel name came twice (from a mapping whose items() repeat a key), so
// that, as with assigning into a dict, the name keeps its first place and
// its last classification.
void reread_ranking(const ModuleState* st, PyObject* classifications, std::vector<Ranked>* ranked) {
    ranked->clear();
    Py_ssize_t pos = 0;
    PyObject *name, *rec;
    while (PyDict_Next(classifications, &pos, &name, &rec)) {
        // Our own records, with exact-str keys: these lookups run no Python code.
        PyObject* score = PyDict_GetItem(rec, st->text[k_significance_score]);
        PyObject* labels = PyDict_GetItem(rec, st->text[k_labels]);
        bool stable = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels); ++i)
            stable |= PyList_GET_ITEM(labels, i) == st->text[k_stable];
        ranked->push_back({PyFloat_AS_DOUBLE(score), stable, name});
    }
}

// snapshot.get(key, {}) for an exact dict.
Ref get_or_empty(PyObject* snapshot, PyObject* key) {
    if (PyObject* v = PyDict_GetItemWithError(snapshot, key)) return Ref::borrow(v);
    return PyErr_Occurred() ? Ref() : Ref::steal(PyDict_New());
}

PyObject* classify(PyObject*, PyTypeObject* defining_class, PyObject* snapshot) {
    if (!pyhost::check_dict(snapshot, "profiler_snapshot")) return nullptr;

    PyObject* module = PyType_GetModule(defining_class);
    if (module == nullptr) return nullptr;
    const ModuleState* st = pyhost::state_of<ModuleState>(module);

    // channels, correlations and confidence, read in that order.
    Ref channels = get_or_empty(snapshot, st->text[k_channels]);
    if (!channels) return nullptr;
    Ref correlations = get_or_empty(snapshot, st->text[k_correlations]);
    if (!correlations) return nullptr;
    bool ran_python = false;
    double conf_value;
    Ref conf = mapping_get(st, snapshot, st->text[k_confidence_score], st->zero_float, &ran_python);
    if (!conf || !stat_value(conf.get(), &conf_value, &ran_python)) return nullptr;
    Ref confidence = Ref::steal(PyFloat_FromDouble(conf_value));
    if (!confidence) return nullptr;

    Ref classifications = Ref::steal(PyDict_New());
    if (!classifications) return nullptr;
    std::vector<Ranked> ranked;
    bool repeated_name = false;
    Thresholds th(module, st);
    // A dict's own items() runs no Python code; anything else may.
    const bool plain_channels = PyDict_CheckExact(channels.get());
    if (plain_channels) ranked.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(channels.get())));
    Items channel_items(st, channels.get());
    if (!channel_items.start()) return nullptr;
    Ref name, stats;
    while (int more = channel_items.next(&name, &stats)) {
        if (more < 0) return nullptr;
        if (!plain_channels || !PyUnicode_CheckExact(name.get()))
            ran_python = true;  // iteration, unpacking, or the name's __hash__/__eq__
        // All five values are read, and may fail, before the count decides.
        bool below = false;
        double s[kStatCount];
        if (!read_channel(st, stats.get(), &below, s, &ran_python)) return nullptr;
        if (ran_python) {
            th.python_may_have_run();
            ran_python = false;
        }
        Ranked rank{0.0, false, name.get()};
        Ref rec = below ? unclassified(st, confidence.get())
                        : classify_channel(st, th, name.get(), s, correlations.get(), confidence.get(), &rank);
        if (!rec) return nullptr;
        const Py_ssize_t before = PyDict_GET_SIZE(classifications.get());
        if (PyDict_SetItem(classifications.get(), name.get(), rec.get()) < 0) return nullptr;
        if (!PyUnicode_CheckExact(name.get())) ran_python = true;  // its __hash__ and __eq__ ran
        if (PyDict_GET_SIZE(classifications.get()) == before) repeated_name = true;
        ranked.push_back(rank);  // name stays alive as a key of classifications
    }

    if (repeated_name) reread_ranking(st, classifications.get(), &ranked);
    Ref significant, stable;
    if (!list_channels(ranked, &significant, &stable)) return nullptr;
    Ref count = Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(classifications.get())));
    if (!count) return nullptr;
    static constexpr Text kKeys[] = {k_confidence, k_channel_count, k_significant_channels, k_stable_channels,
                                     k_classifications};
    return make_record(st, kKeys,
                       {confidence.get(), count.get(), significant.get(), stable.get(), classifications.get()})
        .release();
}

// ---------------------------------------------------------------------------
// SchemaClassifier: a plain class (instance dict, weak references,
// subclassable) whose one method is classify.
// ---------------------------------------------------------------------------

struct ClassifierObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
};

// object() semantics: no constructor arguments, unless a subclass defines
// an __init__ that takes them.
PyObject* classifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    bool excess = PyTuple_GET_SIZE(args) > 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0);
    if (excess && type->tp_init == PyBaseObject_Type.tp_init) {
        Ref name = Ref::steal(PyType_GetName(type));
        if (name) PyErr_Format(PyExc_TypeError, "%U() takes no arguments", name.get());
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

PyMethodDef classifier_methods[] = {
    pyhost::def<"classify", classify, "profiler_snapshot",
                "Labels, significance and correlated partners of every channel of a\n"
                "profiler snapshot, with the significant channels ranked and the stable\n"
                "ones listed.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot classifier_slots[] = {
    pyhost::slot<Py_tp_new, classifier_new>(),
    PYHOST_PLAIN_TYPE_SLOTS(ClassifierObject, classifier_methods),
    {Py_tp_doc,
     const_cast<char*>("SchemaClassifier()\n--\n\nBehaviour labels for the channels of a profiler snapshot.")},
    {0, nullptr},
};

PyType_Spec classifier_spec =
    pyhost::gc_type_spec<ClassifierObject>("orvane.brenlow.classifier.SchemaClassifier", classifier_slots);

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

int exec_module(PyObject* module) {
    ModuleState* st = pyhost::state_of<ModuleState>(module);
    if (st->text.init(kTexts) < 0) return -1;
    st->zero_int = PyLong_FromLong(0);
    st->zero_float = PyFloat_FromDouble(0.0);
    if (st->zero_int == nullptr || st->zero_float == nullptr) return -1;
    for (unsigned bits = 0; bits < (1u << kWeightedCount); ++bits) {
        if (!combination_score(bits, &st->score_value[bits]) ||
            (st->score[bits] = PyFloat_FromDouble(st->score_value[bits])) == nullptr)
            return -1;
    }
    for (int i = 0; i < kThresholdCount; ++i) {
        Ref v = Ref::steal(PyFloat_FromDouble(kThresholdValues[i]));
        if (!v || PyModule_AddObjectRef(module, kTexts[kFirstThreshold + i], v.get()) < 0) return -1;
    }
    return pyhost::add_type(module, &classifier_spec, &st->classifier_type);
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.brenlow.classifier", "Behaviour labels and significance of a device's channels, from a profiler snapshot.",
    slots);

}  // namespace

PyMODINIT_FUNC PyInit_classifier(void) { return PyModuleDef_Init(&moduledef); }
