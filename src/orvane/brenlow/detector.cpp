// Anomaly detection: confident readings are counted, every n-th one is turned
// into a similarity query against the resolver, and the returned hits decide
// whether the device's past episodes agree on an unhealthy outcome.
//
// Layout: the detector object, then the work in the order a reading flows
// through it (gate and cadence, query text, hit analysis, the event buffer,
// the client call and observe itself), then the fields, types and module.
// The event record is in detector_event.cpp.
//
// The configuration constants are read from this module's own namespace at
// every use, so that rebinding e.g. DETECTOR_TOP_K on the module takes effect
// from the next reading on.
#include "detector_internal.hpp"

namespace orvane_detector {
namespace {

// ---------------------------------------------------------------------------
// AnomalyDetector: one device's detector
// ---------------------------------------------------------------------------

struct DetectorObject {
    PyObject_HEAD PyObject* brain;  // the resolver client, borrowed from the caller for our lifetime
    PyObject* device_id;            // str
    PyObject* events;               // collections.deque(maxlen=1000) of AnomalyEvent
    PyObject* lock;                 // pyhost LockObject guarding `events`
    // Updated by concurrent observe() calls without the lock.
    std::atomic<long long> check_counter;
    // The defining module and its state, found once at creation: the
    // object's type holds the module (through its base), so the borrowed
    // pointers live as long as we do.
    PyObject* module;
    ModuleState* state;
    PyObject* weakrefs;
};

DetectorObject* as_detector(PyObject* o) { return reinterpret_cast<DetectorObject*>(o); }

PyObject* detector_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* module = module_of_type(tp);
    if (module == nullptr) return nullptr;
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    new (&as_detector(self)->check_counter) std::atomic<long long>(0);
    as_detector(self)->module = module;
    as_detector(self)->state = state_of(module);
    return self;
}

using DetectorRefs = pyhost::Owns<DetectorObject, &DetectorObject::brain, &DetectorObject::device_id,
                                  &DetectorObject::events, &DetectorObject::lock>;

int detector_init(PyObject* self, PyObject* brain, PyObject* device_id) {
    if (!pyhost::check_str(device_id, "device_id")) return -1;
    ModuleState* st = as_detector(self)->state;

    Ref events = Ref::steal(PyObject_CallFunction(st->deque_type, "()n", kMaxEvents));  // deque((), maxlen)
    if (!events) return -1;
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(pyhost::new_lock(st->lock_type)));
    if (!lock) return -1;

    DetectorObject* d = as_detector(self);
    Py_XSETREF(d->brain, Py_NewRef(brain));
    Py_XSETREF(d->device_id, Py_NewRef(device_id));
    Py_XSETREF(d->events, events.release());
    Py_XSETREF(d->lock, lock.release());
    d->check_counter.store(0, std::memory_order_relaxed);
    return 0;
}

// ---- gate and cadence -----------------------------------------------------

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif

// 1 when `counter % every != 0` (not this reading's turn), 0 when it is,
// -1 with an error set (e.g. every == 0 gives the interpreter's
// ZeroDivisionError).
int off_cadence(long long counter, PyObject* every) {
    if (PyLong_CheckExact(every)) {
        int overflow;
        long long n = PyLong_AsLongLongAndOverflow(every, &overflow);
        if (!overflow && n != 0) return orvane_detector::off_cadence(counter, n);
    }
    Ref c = Ref::steal(PyLong_FromLongLong(counter));
    if (!c) return -1;
    Ref r = Ref::steal(PyNumber_Remainder(c.get(), every));
    if (!r) return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    return PyObject_RichCompareBool(r.get(), zero.get(), Py_NE);
}

// `x < limit` with the interpreter's float-to-anything comparison. (Every
// reading passes here: pyhost::Constant would do the same, but its out-of-line
// preparation costs this path about 5%.)
int float_less_than(double x, PyObject* limit) {
    if (PyFloat_CheckExact(limit)) return x < PyFloat_AS_DOUBLE(limit);
    if (PyLong_CheckExact(limit)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(limit, &overflow);
        // Within +-2**53 the int converts exactly, so comparing doubles is
        // the exact comparison the interpreter makes.
        if (!overflow && v >= -(1LL << 53) && v <= (1LL << 53)) return x < static_cast<double>(v);
    }
    Ref xf = Ref::steal(PyFloat_FromDouble(x));
    if (!xf) return -1;
    return PyObject_RichCompareBool(xf.get(), limit, Py_LT);
}

// ---- query text -----------------------------------------------------------

// The first `kMaxChannels` (key, value) pairs of a reading, taken before any
// of their conversions can run code that changes the dict.
struct Channels {
    Ref key[kMaxChannels];
    Ref value[kMaxChannels];
    Py_ssize_t n = 0;

    explicit Channels(PyObject* payload) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (n < kMaxChannels && PyDict_Next(payload, &pos, &k, &v)) {
            key[n] = Ref::borrow(k);
            value[n] = Ref::borrow(v);
            ++n;
        }
    }
};

PyObject* detector_build_query(PyObject* self, PyObject* payload) {
    static const char kPrefix[] = "sensor state ";
    if (!pyhost::check_dict(payload, "payload")) return nullptr;
    ModuleState* st = as_detector(self)->state;
    Channels ch(payload);
    // The text is ASCII except for non-ASCII keys; those split it into
    // pieces that are joined at the end.
    std::string ascii(kPrefix);
    Ref pieces;
    bool first = true;
    for (Py_ssize_t i = 0; i < ch.n; ++i) {
        double x, rounded;
        if (!pyhost::host_float(ch.value[i].get(), &x)) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();  // a value that is no number is left out
                continue;
            }
            return nullptr;
        }
        if (!pyhost::round_half_even(x, kScoreDigits, &rounded)) return nullptr;
        PyObject* key = ch.key[i].get();
        Ref text = PyUnicode_CheckExact(key) ? Ref::borrow(key) : Ref::steal(PyObject_Format(key, st->names[N::empty]));
        if (!text) return nullptr;
        if (!first) ascii += ' ';
        first = false;
        if (PyUnicode_IS_ASCII(text.get())) {
            ascii.append(static_cast<const char*>(PyUnicode_DATA(text.get())),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.get())));
        } else {
            if (!pieces) {
                pieces = Ref::steal(PyList_New(0));
                if (!pieces) return nullptr;
            }
            Ref head = Ref::steal(PyUnicode_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
            if (!head || PyList_Append(pieces.get(), head.get()) < 0 || PyList_Append(pieces.get(), text.get()) < 0)
                return nullptr;
            ascii.clear();
        }
        ascii += '=';
        pyhost::append_float_repr(ascii, rounded);
    }
    Ref tail = Ref::steal(PyUnicode_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
    if (!tail || !pieces) return tail.release();
    if (PyList_Append(pieces.get(), tail.get()) < 0) return nullptr;
    return PyUnicode_Join(st->names[N::empty], pieces.get());
}

// ---- hit analysis ---------------------------------------------------------

// A base-dict lookup on a mapping outcome (a dict or a subclass); missing
// gives an empty Ref with no error set.
bool mapping_lookup(PyObject* mapping, PyObject* key, Ref* out) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (v == nullptr && PyErr_Occurred()) return false;
    *out = Ref::borrow(v);
    return true;
}

// hit.get(key): the dict's own lookup for an exact dict, otherwise the
// object's `get` (AttributeError when it has none). Missing gives an empty Ref
// with no error set.
bool hit_get(ModuleState* st, PyObject* hit, PyObject* key, Ref* out) {
    if (PyDict_CheckExact(hit)) return mapping_lookup(hit, key, out);
    Ref v = pyhost::call_method(hit, st->names[N::get], key);
    if (!v) return false;
    *out = v.get() == Py_None ? Ref() : v;
    // hit.get() gives None both for a missing key and for a None value; the
    // two are treated alike by every caller.
    return true;
}

// The similarity score of a hit: float() of its "score", a missing or false
// value counting as 0.0.
bool hit_score(ModuleState* st, PyObject* hit, double* out) {
    Ref v;
    if (!hit_get(st, hit, st->names[N::score], &v)) return false;
    *out = 0.0;
    if (!v) return true;
    if (PyFloat_CheckExact(v.get())) {
        double d = PyFloat_AS_DOUBLE(v.get());
        if (d != 0.0) *out = d;  // -0.0 is false, so it stays 0.0
        return true;
    }
    int truth = PyObject_IsTrue(v.get());
    if (truth <= 0) return truth == 0;  // false: 0.0; -1: the error
    return pyhost::host_float(v.get(), out);
}

bool is_pending(PyObject* text) {
    return PyUnicode_GET_LENGTH(text) == 7 && PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND &&
           std::memcmp(PyUnicode_DATA(text), "pending", 7) == 0;
}

// The outcome label of a hit, or an empty Ref when the hit has none usable.
bool hit_label(ModuleState* st, PyObject* hit, Ref* out) {
    Ref outcome;
    if (!hit_get(st, hit, st->names[N::outcome], &outcome)) return false;
    *out = Ref();
    if (!outcome) return true;
    PyObject* o = outcome.get();
    if (PyDict_Check(o)) {
        Ref result;
        if (!mapping_lookup(o, st->names[N::result], &result)) return false;
        if (!result || !PyUnicode_Check(result.get()) || PyUnicode_GET_LENGTH(result.get()) == 0 ||
            is_pending(result.get()))
            return true;
        Ref metrics, health;
        if (!mapping_lookup(o, st->names[N::metrics], &metrics)) return false;
        if (metrics && PyDict_Check(metrics.get()) &&
            !mapping_lookup(metrics.get(), st->names[N::health_label], &health))
            return false;
        // A health label stored as None is still present: it reads "None".
        PyObject* chosen = health ? health.get() : result.get();
        *out = Ref::steal(PyObject_Str(chosen));
        return static_cast<bool>(*out);
    }
    if (PyUnicode_Check(o) && !is_pending(o)) {
        *out = Ref::steal(PyObject_Str(o));
        return static_cast<bool>(*out);
    }
    return true;
}

// Label equality as the counting dict sees it.
int same_label(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

struct LabelCount {
    PyObject* label;  // borrowed from the outcomes list
    Py_ssize_t count;
};

// Counts labels in order of first appearance and returns the index of the
// dominant one (highest count, earliest on ties), or -1 with an error set.
Py_ssize_t count_labels(const std::pmr::vector<Ref>& outcomes, std::pmr::vector<LabelCount>& counts) {
    Ref index;                // label -> position in counts, once there are many labels
    std::size_t indexed = 0;  // the labels entered in the index so far
    for (const Ref& r : outcomes) {
        PyObject* label = r.get();
        Py_ssize_t at = -1;
        if (index) {
            PyObject* pos = PyDict_GetItemWithError(index.get(), label);
            if (pos == nullptr && PyErr_Occurred()) return -1;
            if (pos != nullptr) at = PyLong_AsSsize_t(pos);
        } else {
            for (std::size_t j = 0; j < counts.size(); ++j) {
                int eq = same_label(counts[j].label, label);
                if (eq < 0) return -1;
                if (eq) {
                    at = static_cast<Py_ssize_t>(j);
                    break;
                }
            }
        }
        if (at >= 0) {
            ++counts[static_cast<std::size_t>(at)].count;
            continue;
        }
        counts.push_back({label, 1});
        if (!index && static_cast<Py_ssize_t>(counts.size()) > kLinearLabelScan) {
            index = Ref::steal(PyDict_New());
            if (!index) return -1;
        }
        for (; index && indexed < counts.size(); ++indexed) {
            Ref pos = Ref::steal(PyLong_FromSize_t(indexed));
            if (!pos || PyDict_SetItem(index.get(), counts[indexed].label, pos.get()) < 0) return -1;
        }
    }
    Py_ssize_t best = 0;
    for (std::size_t j = 1; j < counts.size(); ++j)
        if (counts[j].count > counts[static_cast<std::size_t>(best)].count) best = static_cast<Py_ssize_t>(j);
    return best;
}

// 1 when `ratio` falls short of max(factor * confidence, 0.4), with the
// interpreter's arithmetic for whatever the factor is; -1 on error.
int below_threshold(double ratio, const pyhost::Constant& constant, double confidence) {
    PyObject* factor = constant.object();
    if (constant.is_float() || PyLong_CheckExact(factor)) {
        // int * float converts the int first (OverflowError when huge).
        double f;
        if (!constant.to_double(&f)) return -1;
        return orvane_detector::below_threshold(ratio, f, confidence);
    }
    Ref conf = Ref::steal(PyFloat_FromDouble(confidence));
    if (!conf) return -1;
    Ref product = Ref::steal(PyNumber_Multiply(factor, conf.get()));
    if (!product) return -1;
    Ref floor = Ref::steal(PyFloat_FromDouble(kThresholdFloor));
    if (!floor) return -1;
    int greater = PyObject_RichCompareBool(floor.get(), product.get(), Py_GT);
    if (greater < 0) return -1;
    Ref r = Ref::steal(PyFloat_FromDouble(ratio));
    if (!r) return -1;
    return PyObject_RichCompareBool(r.get(), greater ? floor.get() : product.get(), Py_LT);
}

// 1 when the label, upper-cased, is one of the healthy labels.
int is_healthy(ModuleState* st, PyObject* label) {
    if (PyUnicode_CheckExact(label) && PyUnicode_IS_ASCII(label)) {
        const char* s = static_cast<const char*>(PyUnicode_DATA(label));
        std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(label));
        for (const char* h : kHealthyLabels) {
            if (std::strlen(h) != n) continue;
            std::size_t i = 0;
            while (i < n && (s[i] >= 'a' && s[i] <= 'z' ? s[i] - 32 : s[i]) == h[i]) ++i;
            if (i == n) return 1;
        }
        return 0;
    }
    // Full Unicode upper-casing can turn non-ASCII letters into ASCII ones
    // (the dotless i becomes I), so anything else asks str.upper().
    Ref upper = pyhost::call_method(label, st->names[N::upper]);
    if (!upper) return -1;
    for (const char* h : kHealthyLabels) {
        Ref text = Ref::steal(PyUnicode_FromString(h));
        if (!text) return -1;
        int eq = PyObject_RichCompareBool(text.get(), upper.get(), Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

// {key: float(value)} over the first channels of the reading.
PyObject* channel_snapshot(PyObject* payload) {
    Channels ch(payload);
    Ref snap = Ref::steal(PyDict_New());
    if (!snap) return nullptr;
    for (Py_ssize_t i = 0; i < ch.n; ++i) {
        double x;
        if (!pyhost::host_float(ch.value[i].get(), &x)) return nullptr;
        Ref f = Ref::steal(PyFloat_FromDouble(x));
        if (!f || PyDict_SetItem(snap.get(), ch.key[i].get(), f.get()) < 0) return nullptr;
    }
    return snap.release();
}

PyObject* detector_analyse_hits(PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* hits,
                                PyObject* confidence_arg) {
    double confidence;
    if (!pyhost::check_str(timestamp, "timestamp") || !pyhost::check_dict(payload, "payload") ||
        !pyhost::check_list(hits, "hits") || !pyhost::real_float(confidence_arg, &confidence))
        return nullptr;
    DetectorObject* d = as_detector(self);
    ModuleState* st = d->state;
    PyObject* module = d->module;
    // The working lists live on the stack for the usual handful of hits.
    alignas(std::max_align_t) std::byte arena[2048];
    std::pmr::monotonic_buffer_resource pool(arena, sizeof arena);
    const std::size_t expected = static_cast<std::size_t>(PyList_GET_SIZE(hits));
    std::pmr::vector<Ref> outcomes(&pool);
    std::pmr::vector<double> scores(&pool);
    std::pmr::vector<LabelCount> counts(&pool);
    outcomes.reserve(expected);
    scores.reserve(expected);
    // The list may change under us while a hit's code runs; walk it the way
    // a list iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hits); ++i) {
        Ref hit = Ref::borrow(PyList_GET_ITEM(hits, i));
        double score;
        if (!hit_score(st, hit.get(), &score)) return nullptr;
        Ref label;
        if (!hit_label(st, hit.get(), &label)) return nullptr;
        if (label && PyUnicode_GET_LENGTH(label.get()) > 0) {
            outcomes.push_back(std::move(label));
            scores.push_back(score);
        }
    }
    if (outcomes.empty()) Py_RETURN_NONE;

    counts.reserve(outcomes.size());
    Py_ssize_t best = count_labels(outcomes, counts);
    if (best < 0) return nullptr;
    PyObject* dominant = counts[static_cast<std::size_t>(best)].label;
    const double n = static_cast<double>(outcomes.size());
    const double ratio = static_cast<double>(counts[static_cast<std::size_t>(best)].count) / n;

    pyhost::Constant factor;
    if (!factor.load(module, st->names[N::cluster_threshold], st->cached[N::cluster_threshold], st->watch))
        return nullptr;
    int below = below_threshold(ratio, factor, confidence);
    if (below < 0) return nullptr;
    if (below) Py_RETURN_NONE;
    int healthy = is_healthy(st, dominant);
    if (healthy < 0) return nullptr;
    if (healthy) Py_RETURN_NONE;

    double query_score;
    // sum(scores) / len(scores), with Python's compensated float sum.
    const double mean = pyhost::compensated_sum(scores.data(), scores.size()) / n;
    if (!pyhost::round_half_even(mean, kScoreDigits, &query_score)) return nullptr;

    Ref device_id = pyhost::member(self, d->device_id, "device_id");
    if (!device_id) return nullptr;
    Ref count = Ref::steal(PyLong_FromSize_t(outcomes.size()));
    if (!count) return nullptr;
    Ref snapshot = Ref::steal(channel_snapshot(payload));
    if (!snapshot) return nullptr;
    // The record's own argument rules hold here too (a label's __str__ may
    // have produced a str subclass).
    if (!pyhost::check_str(device_id.get(), "device_id") || !pyhost::check_str(dominant, "dominant_outcome"))
        return nullptr;
    PyTypeObject* tp = st->event_type;
    Ref event = Ref::steal(tp->tp_alloc(tp, 0));
    if (!event) return nullptr;
    if (!event_fill(st, module, as_event(event.get()), device_id.get(), timestamp, count.get(), dominant, confidence,
                    query_score, snapshot.get()))
        return nullptr;

    Ref lock = pyhost::member(self, d->lock, "_lock");
    if (!lock) return nullptr;
    Ref events = pyhost::member(self, d->events, "events");
    if (!events) return nullptr;
    {
        pyhost::LockGuard guard(reinterpret_cast<pyhost::LockObject*>(lock.get())->mutex);
        if (!guard.ok()) return nullptr;
        if (!pyhost::call_method(events, st->names[N::append], event)) return nullptr;
    }
    return event.release();
}

// ---- the event buffer -----------------------------------------------------

PyObject* detector_get_events(PyObject* self) {
    DetectorObject* d = as_detector(self);
    ModuleState* st = d->state;
    Ref lock = pyhost::member(self, d->lock, "_lock");
    if (!lock) return nullptr;
    Ref events = pyhost::member(self, d->events, "events");
    if (!events) return nullptr;
    pyhost::LockGuard guard(reinterpret_cast<pyhost::LockObject*>(lock.get())->mutex);
    if (!guard.ok()) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(events.get()));
    if (!it) return nullptr;
    while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
        Ref rec = Py_TYPE(e.get()) == st->event_type ? Ref::steal(event_to_dict_impl(st, e.get()))
                                                     : pyhost::call_method(e, st->names[N::to_dict]);
        if (!rec || PyList_Append(out.get(), rec.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

// ---- observe --------------------------------------------------------------

// brain.query(text, k=..., device_id=..., include_episode=True,
// prefer_success=True). Ordinary errors from reading the client, the
// constant or the device id up to the call's return are discarded: the
// result is then an empty Ref with no error set.
bool query_client(ModuleState* st, PyObject* module, PyObject* self, PyObject* text, Ref* out) {
    DetectorObject* d = as_detector(self);
    Ref result;
    {
        Ref brain = pyhost::member(self, d->brain, "brain");
        Ref top_k = brain ? CONSTANT(st, module, top_k) : Ref();
        Ref device_id = top_k ? pyhost::member(self, d->device_id, "device_id") : Ref();
        result = pyhost::call_method_kw(brain, st->names[N::query], st->query_kwnames, text, top_k, device_id, Py_True,
                                        Py_True);
    }
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // interrupts and exits go on
        PyErr_Clear();
    }
    *out = std::move(result);
    return true;
}

PyObject* detector_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"timestamp", "payload", "confidence"};
    static const pyhost::Signature sig{"observe", params, 3, 3, true};
    PyObject* const* a = args;
    PyObject* parsed[3];
    double confidence;
    // Every reading passes here, so the usual call (three positional
    // arguments of the exact types) is recognised before any parsing: going
    // through the parser first (pyhost::def) costs a counted reading about 8%
    // on 3.12. Anything else gets the full parse and checks, which raise.
    if (PYHOST_LIKELY(kwnames == nullptr && PyVectorcall_NARGS(nargs) == 3 && PyUnicode_CheckExact(args[0]) &&
                      PyDict_CheckExact(args[1]) && PyFloat_CheckExact(args[2]))) {
        confidence = PyFloat_AS_DOUBLE(args[2]);
    } else {
        if (!pyhost::parse_args(sig, args, nargs, kwnames, parsed)) return nullptr;
        a = parsed;
        if (!pyhost::check_str(a[0], "timestamp") || !pyhost::check_dict(a[1], "payload") ||
            !pyhost::real_float(a[2], &confidence))
            return nullptr;
    }
    PyObject* timestamp = a[0];
    PyObject* payload = a[1];
    DetectorObject* d = as_detector(self);
    ModuleState* st = d->state;
    PyObject* module = d->module;
    Ref limit = CONSTANT(st, module, min_confidence);
    if (!limit) return nullptr;
    int low = float_less_than(confidence, limit.get());
    if (low < 0) return nullptr;
    if (low) Py_RETURN_NONE;

    long long counter;
    if (!count_reading<kFreeThreaded>(d->check_counter, &counter)) {
        PyErr_SetString(PyExc_OverflowError, "_check_counter is too large");
        return nullptr;
    }
    Ref every = CONSTANT(st, module, check_every);
    if (!every) return nullptr;
    int skip = off_cadence(counter, every.get());
    if (skip < 0) return nullptr;
    if (skip) Py_RETURN_NONE;

    // The helpers are called as methods, so that a subclass may refine them.
    Ref text = pyhost::call_method(self, st->names[N::build_query], payload);
    if (!text) return nullptr;
    Ref hits;
    if (!query_client(st, module, self, text.get(), &hits)) return nullptr;
    if (!hits) Py_RETURN_NONE;
    int truth = PyObject_IsTrue(hits.get());
    if (truth < 0) return nullptr;
    if (!truth) Py_RETURN_NONE;
    Ref conf = Ref::steal(PyFloat_FromDouble(confidence));
    if (!conf) return nullptr;
    return pyhost::call_method(self, st->names[N::analyse_hits], timestamp, payload, hits, conf).release();
}

// ---- detector fields ------------------------------------------------------

PyObject* get_lock(PyObject* self, void*) { return pyhost::member(self, as_detector(self)->lock, "_lock").release(); }
int set_lock(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return pyhost::refuse_delete("_lock");
    // The buffer's code takes the native mutex directly, so only a lock of
    // this module's kind (e.g. another detector's) can stand in.
    PyTypeObject* lock_type = as_detector(self)->state->lock_type;
    if (Py_TYPE(value) != lock_type) {
        pyhost::raise_arg_type("_lock", "Lock", value);
        return -1;
    }
    Py_XSETREF(as_detector(self)->lock, Py_NewRef(value));
    return 0;
}

PyObject* get_counter(PyObject* self, void*) {
    return PyLong_FromLongLong(as_detector(self)->check_counter.load(std::memory_order_relaxed));
}
int set_counter(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return pyhost::refuse_delete("_check_counter");
    Ref n = pyhost::int_arg(value, "_check_counter");
    if (!n) return -1;
    long long v = PyLong_AsLongLong(n.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    as_detector(self)->check_counter.store(v, std::memory_order_relaxed);
    return 0;
}

// ---------------------------------------------------------------------------
// Types and module
// ---------------------------------------------------------------------------

PyMethodDef detector_methods[] = {
    pyhost::method<"observe", detector_observe, "timestamp, payload, confidence",
                   "Count a confident reading; on every DETECTOR_CHECK_EVERY-th one query the\n"
                   "resolver for similar episodes and return the AnomalyEvent they support,\n"
                   "or None.">(),
    pyhost::def<"_build_query", detector_build_query, "payload", "The similarity query text for a reading.">(),
    pyhost::def<"_analyse_hits", detector_analyse_hits, "timestamp, payload, hits, confidence",
                "Record and return an AnomalyEvent when the hits agree on an unhealthy\n"
                "outcome; otherwise None.">(),
    pyhost::def<"get_events", detector_get_events, "", "The buffered events as dicts, oldest first.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef detector_getset[] = {
    pyhost::object_field<DetectorObject, &DetectorObject::brain>("brain", "The resolver client."),
    pyhost::object_field<DetectorObject, &DetectorObject::device_id, pyhost::check_str>(
        "device_id", "The device this detector watches."),
    pyhost::object_field<DetectorObject, &DetectorObject::events>(
        "events", "Recorded AnomalyEvents, oldest first (at most 1000)."),
    pyhost::getset<get_lock, set_lock>("_lock", "Guards events."),
    pyhost::getset<get_counter, set_counter>("_check_counter", "Readings that passed the confidence gate."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef detector_members[] = {PYHOST_WEAK_MEMBERS(DetectorObject, weakrefs)};

PyType_Slot detector_slots[] = {
    pyhost::slot<Py_tp_new, detector_new>(),
    pyhost::init<detector_init, "brain, device_id">(),
    PYHOST_OWNING_TYPE_SLOTS(DetectorRefs, detector),
    {Py_tp_doc, const_cast<char*>("AnomalyDetector(brain, device_id)\n--\n\n"
                                  "Flags one device's departures from its normal outcomes by asking\n"
                                  "the resolver client `brain` for similar past episodes.")},
    {0, nullptr},
};

PyType_Spec detector_spec =
    pyhost::gc_type_spec<DetectorObject>("orvane.brenlow.detector.AnomalyDetector", detector_slots);

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
    if (pyhost::bind_constants(module, "orvane.config", kConstantNames) < 0) return -1;

    // What the module's Python face keeps in its namespace: (module, name)
    // for `from module import name`, (module, nullptr) for `import module`.
    const char* const imports[][2] = {{"threading", nullptr},      {"time", nullptr},     {"collections", "deque"},
                                      {"typing", "TYPE_CHECKING"}, {"typing", "Any"},     {"typing", "Dict"},
                                      {"typing", "List"},          {"typing", "Optional"}};
    for (const auto& [from, name] : imports) {
        Ref value = pyhost::import_from(from, name);
        if (!value || PyModule_AddObjectRef(module, name ? name : from, value.get()) < 0) return -1;
    }
    st->deque_type = PyObject_GetAttrString(module, "deque");
    if (st->deque_type == nullptr) return -1;

    if (st->names.init(kNameTexts) < 0 || st->event_keys.init(kEventKeyNames) < 0) return -1;
    st->query_kwnames = Py_BuildValue("(ssss)", "k", "device_id", "include_episode", "prefer_success");
    if (st->query_kwnames == nullptr) return -1;

    st->lock_type = pyhost::make_lock_type(module, "orvane.brenlow.detector.Lock");
    if (st->lock_type == nullptr) return -1;
    if (pyhost::add_type(module, &event_spec, &st->event_type) < 0 ||
        pyhost::add_type(module, &detector_spec, &st->detector_type) < 0)
        return -1;
    // Last: from here on the namespace only changes when a caller rebinds.
    return st->watch.start(module);
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

}  // namespace

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.brenlow.detector", "Anomaly detection from the consensus of a device's most similar past episodes.", slots);
}  // namespace orvane_detector

PyMODINIT_FUNC PyInit_detector(void) { return PyModuleDef_Init(&orvane_detector::moduledef); }
