// Episode accumulation: one state/action/outcome episode per reading, queued
// and handed to the resolver client in batches on background threads.
//
// Every reading becomes exactly one episode record, built in one pass with
// its keys in their final order. Episodes wait in `pending_batch` until the
// batch is full or old enough (or the caller flushes); the batch then goes to
// a new daemon `threading.Thread` that calls `brain.ingest`. A failed ingest
// is reported by one line on sys.stdout and the batch is dropped.
//
// `_lock` guards the object's state and is held while the episode is built,
// which runs the payload's own conversions (Python code): it is the GIL-aware
// pyhost lock, and it is never held while the client is called.
//
// `observe` reaches `_build_episode`, `_flush_locked` and `_post_batch`
// through ordinary method lookup on the instance, so a subclass or a patched
// class attribute takes effect exactly as it would for a Python class.
#include "pyhost.hpp"

#include <climits>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using pyhost::Ref;

// Bounds of the texts, whatever the payload size.
constexpr Py_ssize_t kPreviewChars = 480;  // source text in the canonical text
constexpr Py_ssize_t kFeatureKeys = 16;    // keys named in the canonical text
constexpr Py_ssize_t kSteps = 15;          // action steps
constexpr int kDeltaPlaces = 6;            // deltas are rounded to this many places
constexpr int kIdSuffix = 8;               // random hex digits in an episode id

// ---------------------------------------------------------------------------
// Module state: interned names, keys and fixed texts
// ---------------------------------------------------------------------------

// Every name used as a record key, an attribute, a keyword or a module global.
#define ACCUMULATOR_NAMES(X)                                                                       \
    X(episode_id) X(product) X(category) X(state) X(action) X(outcome) X(embeddings) X(metadata) \
    X(description) X(context) X(timestamp) X(payload) X(channel_count) X(source_kind) X(steps)   \
    X(commands) X(deltas) X(result) X(success) X(metrics) X(pending) X(device_id) X(text) X(tags)  \
    X(source) X(source_text) X(source_category) X(source_product) X(source_tags) X(source_meta)   \
    X(modality_count) X(nl_text_len) X(brenlow) X(sensor) X(multimodal) X(brenlow_sensor)         \
    X(brenlow_multimodal) X(edge_stream) X(_build_episode) X(_flush_locked) X(_post_batch)         \
    X(append) X(ingest) X(start) X(time) X(strip) X(lower) X(write) X(Thread) X(threading) X(deque) \
    X(maxlen) X(target) X(args) X(daemon) X(now_ts) X(ACCUMULATOR_WINDOW_SIZE)                    \
    X(ACCUMULATOR_BATCH_SIZE) X(ACCUMULATOR_FLUSH_MAX_AGE_S)

struct ModuleState {
    PyTypeObject* accumulator_type;
    PyTypeObject* lock_type;
#define ACCUMULATOR_FIELD(n) PyObject* n;
    ACCUMULATOR_NAMES(ACCUMULATOR_FIELD)
#undef ACCUMULATOR_FIELD
    PyObject* empty;                // ""
    PyObject* zero_text;            // "0"
    PyObject* key_separator;        // ", "
    PyObject* action_sensor;        // the action descriptions
    PyObject* action_multimodal;
    PyObject* kw_context;           // ("context",)
    PyObject* kw_now_ts;            // ("now_ts",)
    PyObject* kw_device_id;         // ("device_id",)
    PyObject* kw_thread;            // ("target", "args", "daemon")
    PyObject* kw_maxlen;            // ("maxlen",)
    // Record layouts: dicts of the record's keys, in order, that each new
    // record is copied from, so that it is built at its final size at once.
    PyObject* layout_reading;
    PyObject* layout_episode;
    PyObject* layout_state;
    PyObject* layout_state_metadata;
    PyObject* layout_action_sensor;
    PyObject* layout_action_multimodal;
    PyObject* layout_action_metadata;
    PyObject* layout_outcome;
    PyObject* layout_outcome_metadata;
    PyObject* layout_embeddings;
    PyObject* layout_metadata;
    // Our own methods as the type holds them, to tell whether ordinary
    // lookup on an instance still finds them.
    PyObject* own_build_episode;
    PyObject* own_flush_locked;
    PyObject* number_abc;  // numbers.Number
};

ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }
ModuleState* state_of(PyTypeObject* defining_class) {
    return static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
}

extern PyModuleDef moduledef;

// The module that defined the type of `self` (a subclass included).
PyObject* module_of(PyObject* self) { return pyhost::module_of(self, &moduledef); }

// ---------------------------------------------------------------------------
// Text assembly
// ---------------------------------------------------------------------------

// Joins str objects and ASCII pieces into one new str, sized and typed once.
// ASCII pieces are referenced, not copied: they must outlive build(). The
// first kInline pieces are kept in place, any further ones on the heap.
class TextBuilder {
  public:
    static constexpr int kInline = 64;
    void add(PyObject* s) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        push({s, nullptr, n});
        length_ += n;
        max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(s));
    }
    void add(const char* ascii, std::size_t n) {
        push({nullptr, ascii, static_cast<Py_ssize_t>(n)});
        length_ += static_cast<Py_ssize_t>(n);
    }
    template <std::size_t N>
    void add(const char (&literal)[N]) {
        add(literal, N - 1);
    }
    void add(const std::string& s) { add(s.data(), s.size()); }

    PyObject* build() const {
        PyObject* out = PyUnicode_New(length_, max_char_);
        if (out == nullptr) return nullptr;
        const int kind = PyUnicode_KIND(out);
        void* data = PyUnicode_DATA(out);
        Py_ssize_t pos = 0;
        for (int i = 0; i < count_; ++i) {
            const Part& p = i < kInline ? parts_[i] : more_[static_cast<std::size_t>(i - kInline)];
            if (p.str != nullptr && PyUnicode_KIND(p.str) == kind) {
                std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(p.str),
                            static_cast<std::size_t>(p.length) * static_cast<std::size_t>(kind));
            } else if (p.str != nullptr) {
                if (PyUnicode_CopyCharacters(out, pos, p.str, 0, p.length) < 0) {
                    Py_DECREF(out);
                    return nullptr;
                }
            } else if (kind == PyUnicode_1BYTE_KIND) {
                std::memcpy(static_cast<char*>(data) + pos, p.ascii, static_cast<std::size_t>(p.length));
            } else {
                for (Py_ssize_t j = 0; j < p.length; ++j)
                    PyUnicode_WRITE(kind, data, pos + j, static_cast<Py_UCS4>(static_cast<unsigned char>(p.ascii[j])));
            }
            pos += p.length;
        }
        return out;
    }

  private:
    struct Part {
        PyObject* str;
        const char* ascii;
        Py_ssize_t length;
    };
    void push(const Part& p) {
        if (PYHOST_LIKELY(count_ < kInline))
            parts_[count_] = p;
        else
            more_.push_back(p);
        ++count_;
    }
    Part parts_[kInline];
    std::vector<Part> more_;
    int count_ = 0;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 127;
};

// Plain decimal text of an integer.
std::string decimal(long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// ---------------------------------------------------------------------------
// The accumulator object
// ---------------------------------------------------------------------------

struct AccumulatorObject {
    PyObject_HEAD
    PyObject* brain;          // the resolver client, borrowed from the caller for our lifetime
    PyObject* device_id;      // exact str
    PyObject* window;         // collections.deque of reading records
    PyObject* pending_batch;  // exact list of episode records
    PyObject* lock;           // pyhost::LockObject
    // Texts and records that depend only on the device id, made again
    // whenever `device_id` is another object than the one they were made for.
    PyObject* cached_device_id;
    PyObject* default_category;   // "device_" + device_id
    PyObject* outcome_metadata;   // {"pending": True, "device_id": device_id}, copied per episode
    PyObject* dict;
    PyObject* weakreflist;
    long long total_episodes;
    // Posting threads add to it without `_lock`, several at a time.
    std::atomic<long long> total_ingested;
    double last_flush_ts;
};

AccumulatorObject* as_acc(PyObject* self) { return reinterpret_cast<AccumulatorObject*>(self); }

// A field that __init__ never set (a subclass that skipped it) or that was
// deleted reads like a missing attribute of a Python object.
PyObject* missing_field(PyObject* self, const char* name) { return pyhost::missing_attribute(self, name); }

Ref field(PyObject* self, PyObject* value, const char* name) {
    if (value == nullptr) {
        missing_field(self, name);
        return Ref();
    }
    return Ref::borrow(value);
}

pyhost::Mutex& mutex_of(PyObject* lock) { return reinterpret_cast<pyhost::LockObject*>(lock)->mutex; }

using pyhost::SavedError;

// The exception being handled, normalised, as a new reference; the error
// indicator is cleared.
Ref take_exception() { return SavedError().take(); }

// time.time(), looked up through the module's own `time` at each use.
bool wall_clock(ModuleState* st, PyObject* module, double* out) {
    Ref time_module = pyhost::module_global(module, st->time);
    if (!time_module) return false;
    Ref now = Ref::steal(PyObject_CallMethodNoArgs(time_module.get(), st->time));
    return now && pyhost::host_float(now.get(), out);
}

// Whether a dict that Python code may have changed is still safe to walk on.
bool unchanged_size(PyObject* d, Py_ssize_t size) {
    if (PyDict_GET_SIZE(d) == size) return true;
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

// ---------------------------------------------------------------------------
// Building one episode
// ---------------------------------------------------------------------------

// The context values an episode reads, each already in its final form.
struct SourceInfo {
    Ref text;      // stripped
    Ref kind;      // stripped, lower-cased
    Ref category;  // stripped
    Ref product;   // stripped
    Ref tags;      // list of non-empty stripped strings, or null for none
    Ref meta;      // a mapping, or null for none
};

// str(value or "").strip(): a missing or false value gives "".
Ref context_text(ModuleState* st, PyObject* context, PyObject* key, bool lower) {
    Ref value = Ref::borrow(PyDict_GetItemWithError(context, key));
    if (!value) {
        if (PyErr_Occurred()) return Ref();
        return Ref::borrow(st->empty);
    }
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return Ref();
    if (truth == 0) return Ref::borrow(st->empty);
    Ref s = Ref::steal(PyObject_Str(value.get()));
    if (!s) return Ref();
    s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->strip));
    if (s && lower) s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->lower));
    return s;
}

bool read_context(ModuleState* st, PyObject* context, SourceInfo& src) {
    if (context == Py_None || PyDict_GET_SIZE(context) == 0) {
        src.text = src.kind = src.category = src.product = Ref::borrow(st->empty);
        return true;
    }
    // The context stays referenced by our caller; values are held while
    // Python code (str(), strip()) runs.
    if (!(src.text = context_text(st, context, st->source_text, false))) return false;
    if (!(src.kind = context_text(st, context, st->source_kind, true))) return false;
    if (!(src.category = context_text(st, context, st->source_category, false))) return false;
    if (!(src.product = context_text(st, context, st->source_product, false))) return false;

    Ref raw_tags = Ref::borrow(PyDict_GetItemWithError(context, st->source_tags));
    if (!raw_tags && PyErr_Occurred()) return false;
    if (raw_tags && PyList_Check(raw_tags.get())) {
        Ref tags = Ref::steal(PyList_New(0));
        if (!tags) return false;
        // Index by index, as list iteration does: str() may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tags.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(raw_tags.get(), i));
            Ref s = Ref::steal(PyObject_Str(item.get()));
            if (!s) return false;
            s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->strip));
            if (!s) return false;
            if (PyUnicode_GET_LENGTH(s.get()) > 0 && PyList_Append(tags.get(), s.get()) < 0) return false;
        }
        src.tags = tags;
    }

    Ref meta = Ref::borrow(PyDict_GetItemWithError(context, st->source_meta));
    if (!meta && PyErr_Occurred()) return false;
    if (meta && PyDict_Check(meta.get())) src.meta = meta;
    return true;
}

// The payload of the reading before this one, or this one's own when the
// window holds fewer than two readings.
Ref previous_payload(ModuleState* st, PyObject* self, PyObject* payload) {
    Ref window = field(self, as_acc(self)->window, "window");
    if (!window) return Ref();
    Py_ssize_t n = PyObject_Size(window.get());
    if (n < 0) return Ref();
    if (n < 2) return Ref::borrow(payload);
    Ref record = Ref::steal(PySequence_GetItem(window.get(), -2));
    if (!record) return Ref();
    return Ref::steal(PyObject_GetItem(record.get(), st->payload));
}

// prev[key] when `key in prev`; null without an error when it is not.
Ref previous_value(PyObject* prev, PyObject* key) {
    if (PyDict_CheckExact(prev)) return Ref::borrow(PyDict_GetItemWithError(prev, key));
    int has = PySequence_Contains(prev, key);
    if (has <= 0) return Ref();
    return Ref::steal(PyObject_GetItem(prev, key));
}

// An error raised now but reported later, at the step that owns it.
class DeferredError {
  public:
    DeferredError() = default;
    DeferredError(const DeferredError&) = delete;
    DeferredError& operator=(const DeferredError&) = delete;
    bool held() const noexcept { return held_; }
    // Takes the error being raised, unless an earlier one is already held.
    void keep_first() {
        if (held_) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        exc_ = SavedError().take();
    }
    // Raises the held error again; returns null for the caller to pass on.
    std::nullptr_t raise() {
        held_ = false;
        pyhost::raise_object(std::move(exc_));
        return nullptr;
    }

  private:
    bool held_ = false;
    Ref exc_;
};

bool conversion_error_absorbed() {
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError);
}

// float(value) for the values that need no Python code; `runs_code` says
// whether the general conversion (which may run any code) is needed.
bool plain_float(PyObject* value, double* out, bool* runs_code) {
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_CheckExact(value)) *runs_code = true;
    return pyhost::host_float(value, out);
}

// Everything the episode takes from the payload's channels, gathered in one
// pass that converts each value with float() once:
//   - deltas (against the previous payload, for the keys it shares),
//   - the state context (every value as a float),
//   - the keys, in payload order.
// A value that does not convert fails the state context, which is built
// after the texts: that error is held until then, so that the same error
// surfaces from the same step as in the step-by-step order. Only the delta
// step absorbs type and value errors; other errors of a shared key's values
// are raised at once, as the delta step raises them.
struct Channels {
    struct Entry {
        Ref key;
        double value;
        double delta;
        bool value_ok;
        bool has_delta;
    };
    std::vector<Entry> entries;
    Ref deltas;
    Ref context;  // null when a value failed to convert
    DeferredError context_error;
    bool all_keys_plain_str = true;
};

bool gather_channels(PyObject* payload, PyObject* prev, Channels& ch) {
    const Py_ssize_t size = PyDict_GET_SIZE(payload);
    ch.entries.reserve(static_cast<std::size_t>(size));
    // Whether any Python code ran (conversions, key comparisons): then the
    // payload may have changed since, and its table is not reused.
    bool runs_code = !PyDict_CheckExact(prev);
    bool all_shared = true, all_exact_floats = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(payload, &pos, &k, &v)) {
        Channels::Entry e{Ref::borrow(k), 0.0, 0.0, false, false};
        Ref value = Ref::borrow(v);
        if (!PyUnicode_CheckExact(k)) {
            ch.all_keys_plain_str = false;
            runs_code = true;
        }
        Ref before = previous_value(prev, k);
        if (!before && PyErr_Occurred()) return false;
        e.value_ok = plain_float(v, &e.value, &runs_code);
        if (!e.value_ok) {
            if (before && !conversion_error_absorbed()) return false;
            ch.context_error.keep_first();
        }
        all_exact_floats = all_exact_floats && PyFloat_CheckExact(v);
        if (before) {
            e.has_delta = true;
            double p;
            if (!e.value_ok) {
                e.delta = 0.0;
            } else if (!plain_float(before.get(), &p, &runs_code)) {
                if (!conversion_error_absorbed()) return false;
                PyErr_Clear();
                e.delta = 0.0;
            } else if (!pyhost::round_half_even(e.value - p, kDeltaPlaces, &e.delta)) {
                return false;
            }
        } else {
            all_shared = false;
        }
        ch.entries.push_back(std::move(e));
        if (runs_code && !unchanged_size(payload, size)) return false;
    }

    // Both dicts are keyed as the payload, in its order; when nothing could
    // have changed the payload, its own table is copied instead of grown
    // entry by entry.
    const bool reuse_table = !runs_code;
    if (reuse_table && all_shared) {
        ch.deltas = Ref::steal(PyDict_Copy(payload));
    } else {
        ch.deltas = Ref::steal(PyDict_New());
    }
    if (!ch.deltas) return false;
    for (const Channels::Entry& e : ch.entries) {
        if (!e.has_delta) continue;
        Ref f = Ref::steal(PyFloat_FromDouble(e.delta));
        if (!f || PyDict_SetItem(ch.deltas.get(), e.key.get(), f.get()) < 0) return false;
    }

    if (ch.context_error.held()) return true;
    if (reuse_table) {
        ch.context = Ref::steal(PyDict_Copy(payload));  // exact floats stay: float(x) is x
        if (!ch.context) return false;
        if (all_exact_floats) return true;
    } else {
        ch.context = Ref::steal(PyDict_New());
        if (!ch.context) return false;
    }
    Py_ssize_t i = 0;
    pos = 0;
    while (reuse_table ? PyDict_Next(payload, &pos, &k, &v) : i < static_cast<Py_ssize_t>(ch.entries.size())) {
        const Channels::Entry& e = ch.entries[static_cast<std::size_t>(i++)];
        if (reuse_table && PyFloat_CheckExact(v)) continue;
        Ref f = Ref::steal(PyFloat_FromDouble(e.value));
        if (!f || PyDict_SetItem(ch.context.get(), e.key.get(), f.get()) < 0) return false;
    }
    return true;
}

// int(round(float(payload["modality_count"]))) as decimal text; "0" when absent.
Ref modality_count_text(PyObject* payload, ModuleState* st) {
    Ref raw = Ref::borrow(PyDict_GetItemWithError(payload, st->modality_count));
    if (!raw) {
        if (PyErr_Occurred()) return Ref();
        return Ref::borrow(st->zero_text);
    }
    double x;
    if (!pyhost::host_float(raw.get(), &x)) return Ref();
    const double r = std::nearbyint(x);  // ties to even, as round() does
    if (std::isfinite(r) && std::fabs(r) < 9.0e18) {
        std::string s = decimal(static_cast<long long>(r));
        return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    // NaN and infinities fail here with the interpreter's own errors.
    Ref n = Ref::steal(PyLong_FromDouble(r));
    if (!n) return Ref();
    return Ref::steal(PyObject_Str(n.get()));
}

// float(payload.get("nl_text_len", 0.0) or 0.0) > 0.0
int has_text(PyObject* payload, ModuleState* st) {
    Ref raw = Ref::borrow(PyDict_GetItemWithError(payload, st->nl_text_len));
    if (!raw) return PyErr_Occurred() ? -1 : 0;
    int truth = PyObject_IsTrue(raw.get());
    if (truth <= 0) return truth;
    double x;
    if (!pyhost::host_float(raw.get(), &x)) return -1;
    return x > 0.0 ? 1 : 0;
}

// "delta_<key>=<float text>" for the first entries of the deltas.
Ref action_steps(PyObject* deltas, ModuleState* st) {
    const Py_ssize_t n = std::min(PyDict_GET_SIZE(deltas), kSteps);
    Ref steps = Ref::steal(PyList_New(n));
    if (!steps) return Ref();
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    std::string number;
    while (i < n && PyDict_Next(deltas, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        if (!PyUnicode_CheckExact(k)) {
            key = Ref::steal(PyObject_Format(k, st->empty));  // as an f-string writes it
            if (!key) return Ref();
        }
        number.clear();
        pyhost::append_float_repr(number, PyFloat_AS_DOUBLE(v));
        PyObject* step;
        if (PyUnicode_IS_ASCII(key.get())) {
            // The usual channel name: the whole step is ASCII, written at once.
            const Py_ssize_t klen = PyUnicode_GET_LENGTH(key.get());
            step = PyUnicode_New(7 + klen + static_cast<Py_ssize_t>(number.size()), 127);
            if (step == nullptr) return Ref();
            char* out = static_cast<char*>(PyUnicode_DATA(step));
            std::memcpy(out, "delta_", 6);
            std::memcpy(out + 6, PyUnicode_DATA(key.get()), static_cast<std::size_t>(klen));
            out[6 + klen] = '=';
            std::memcpy(out + 7 + klen, number.data(), number.size());
        } else {
            TextBuilder t;
            t.add("delta_");
            t.add(key.get());
            t.add("=");
            t.add(number);
            step = t.build();
            if (step == nullptr) return Ref();
        }
        PyList_SET_ITEM(steps.get(), i++, step);
    }
    return steps;
}

// "brenlow", "sensor", the device id, "multimodal" for a multimodal reading,
// then the source tags, each once.
Ref episode_tags(ModuleState* st, PyObject* device_id, bool multimodal, PyObject* source_tags) {
    Ref tags = Ref::steal(PyList_New(0));
    if (!tags) return Ref();
    if (PyList_Append(tags.get(), st->brenlow) < 0 || PyList_Append(tags.get(), st->sensor) < 0 ||
        PyList_Append(tags.get(), device_id) < 0)
        return Ref();
    auto add_new = [&](PyObject* tag) {
        int has = PySequence_Contains(tags.get(), tag);  // all exact str: no Python code
        if (has < 0) return false;
        return has == 1 || PyList_Append(tags.get(), tag) == 0;
    };
    if (multimodal && !add_new(st->multimodal)) return Ref();
    if (source_tags != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source_tags); ++i)
            if (!add_new(PyList_GET_ITEM(source_tags, i))) return Ref();
    }
    return tags;
}

// A new record copied from `layout` (its keys in order), holding the given
// values (borrowed). Every key must be one of the layout's: replacing the
// value of a present key keeps the table and the order as they are.
Ref record(PyObject* layout, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_Copy(layout));
    if (!d) return Ref();
    for (const auto& [key, value] : items)
        if (PyDict_SetItem(d.get(), key, value) < 0) return Ref();
    return d;
}

// A layout: the record's keys in order, each with the value that every
// record starts with (the constant ones stay; the others are replaced).
PyObject* make_layout(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [key, value] : items)
        if (PyDict_SetItem(d.get(), key, value) < 0) return nullptr;
    return d.release();
}

bool refresh_device_cache(ModuleState* st, AccumulatorObject* acc, PyObject* dev) {
    if (acc->cached_device_id == dev) return true;
    TextBuilder t;
    t.add("device_");
    t.add(dev);
    Ref category = Ref::steal(t.build());
    if (!category) return false;
    Ref outcome_metadata = record(st->layout_outcome_metadata, {{st->device_id, dev}});
    if (!outcome_metadata) return false;
    // Only strings and a dict of them are released here: no code runs.
    Py_XSETREF(acc->default_category, category.release());
    Py_XSETREF(acc->outcome_metadata, outcome_metadata.release());
    Py_XSETREF(acc->cached_device_id, Py_NewRef(dev));
    return true;
}

PyObject* build_episode(ModuleState* st, PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* context) {
    Ref device_id = field(self, as_acc(self)->device_id, "device_id");
    if (!device_id) return nullptr;
    PyObject* dev = device_id.get();

    Ref prev = previous_payload(st, self, payload);
    if (!prev) return nullptr;

    SourceInfo src;
    if (!read_context(st, context, src)) return nullptr;

    Channels ch;
    if (!gather_channels(payload, prev.get(), ch)) return nullptr;
    const Py_ssize_t channels = static_cast<Py_ssize_t>(ch.entries.size());
    const Py_ssize_t named_keys = std::min(channels, kFeatureKeys);
    const bool text_form = PyUnicode_GET_LENGTH(src.text.get()) > 0;

    Ref modality_count = modality_count_text(payload, st);
    if (!modality_count) return nullptr;
    const int text_present = has_text(payload, st);
    if (text_present < 0) return nullptr;

    const Ref& preview_source = src.text;
    Ref preview = PyUnicode_GET_LENGTH(preview_source.get()) > kPreviewChars
                      ? Ref::steal(PyUnicode_Substring(preview_source.get(), 0, kPreviewChars))
                      : preview_source;
    if (!preview) return nullptr;

    int starts = PyUnicode_Tailmatch(src.kind.get(), st->multimodal, 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0) return nullptr;
    const bool multimodal = starts == 1;

    Ref product = PyUnicode_GET_LENGTH(src.product.get()) > 0
                      ? src.product
                      : Ref::borrow(multimodal ? st->brenlow_multimodal : st->brenlow_sensor);
    AccumulatorObject* acc = as_acc(self);
    if (!refresh_device_cache(st, acc, dev)) return nullptr;
    Ref category = PyUnicode_GET_LENGTH(src.category.get()) > 0 ? src.category : Ref::borrow(acc->default_category);

    const std::string channel_text = decimal(channels);
    Ref canonical;
    if (text_form) {
        TextBuilder t;
        t.add("Brenlow multimodal episode for device ");
        t.add(dev);
        t.add(" at ");
        t.add(timestamp);
        t.add(". Channels: ");
        t.add(channel_text);
        t.add(". Modality count: ");
        t.add(modality_count.get());
        t.add(". Source text: ");
        t.add(preview.get());
        canonical = Ref::steal(t.build());
    } else {
        // Keys that are not exact strings go through str.join, which accepts
        // subclasses and refuses anything else with its own message.
        Ref joined;
        if (!ch.all_keys_plain_str) {
            Ref keys = Ref::steal(PyList_New(named_keys));
            if (!keys) return nullptr;
            for (Py_ssize_t i = 0; i < named_keys; ++i)
                PyList_SET_ITEM(keys.get(), i, Py_NewRef(ch.entries[static_cast<std::size_t>(i)].key.get()));
            joined = Ref::steal(PyUnicode_Join(st->key_separator, keys.get()));
            if (!joined) return nullptr;
        }
        TextBuilder t;
        t.add("Brenlow sensor episode for device ");
        t.add(dev);
        t.add(" at ");
        t.add(timestamp);
        t.add(". Channels: ");
        t.add(channel_text);
        t.add(". Modality count: ");
        t.add(modality_count.get());
        t.add(". Natural language present: ");
        if (text_present)
            t.add("yes");
        else
            t.add("no");
        t.add(". Feature keys: ");
        if (joined) {
            t.add(joined.get());
        } else {
            for (Py_ssize_t i = 0; i < named_keys; ++i) {
                if (i > 0) t.add(st->key_separator);
                t.add(ch.entries[static_cast<std::size_t>(i)].key.get());
            }
        }
        t.add(".");
        canonical = Ref::steal(t.build());
    }
    if (!canonical) return nullptr;

    // State.
    if (ch.context_error.held()) return ch.context_error.raise();
    Ref& context_values = ch.context;
    Ref state_description;
    {
        TextBuilder t;
        if (multimodal)
            t.add("Multimodal reading at ");
        else
            t.add("Sensor reading at ");
        t.add(timestamp);
        state_description = Ref::steal(t.build());
        if (!state_description) return nullptr;
    }
    Ref channel_count = Ref::steal(PyLong_FromSsize_t(channels));
    if (!channel_count) return nullptr;
    Ref state_metadata = record(st->layout_state_metadata, {{st->channel_count, channel_count.get()}});
    if (!state_metadata) return nullptr;
    if (PyUnicode_GET_LENGTH(src.kind.get()) > 0 &&
        PyDict_SetItem(state_metadata.get(), st->source_kind, src.kind.get()) < 0)
        return nullptr;
    if (src.meta && PyDict_Update(state_metadata.get(), src.meta.get()) < 0) return nullptr;
    Ref state = record(st->layout_state, {{st->description, state_description.get()},
                                          {st->context, context_values.get()},
                                          {st->timestamp, timestamp},
                                          {st->metadata, state_metadata.get()}});
    if (!state) return nullptr;

    // Action.
    Ref steps = action_steps(ch.deltas.get(), st);
    if (!steps) return nullptr;
    Ref commands = Ref::steal(PyList_New(0));
    Ref action_metadata = record(st->layout_action_metadata, {{st->deltas, ch.deltas.get()}});
    if (!commands || !action_metadata) return nullptr;
    Ref action = record(multimodal ? st->layout_action_multimodal : st->layout_action_sensor,
                        {{st->steps, steps.get()}, {st->commands, commands.get()}, {st->metadata, action_metadata.get()}});
    if (!action) return nullptr;

    // Outcome.
    Ref metrics = Ref::steal(PyDict_New());
    if (!metrics) return nullptr;
    Ref outcome_metadata = Ref::steal(PyDict_Copy(acc->outcome_metadata));
    if (!outcome_metadata) return nullptr;
    Ref outcome = record(st->layout_outcome, {{st->metrics, metrics.get()}, {st->metadata, outcome_metadata.get()}});
    if (!outcome) return nullptr;

    Ref tags = episode_tags(st, dev, multimodal, src.tags.get());
    if (!tags) return nullptr;

    Ref episode_id;
    {
        char hex[kIdSuffix];
        if (!pyhost::random_hex(hex, kIdSuffix)) return nullptr;
        TextBuilder t;
        t.add(dev);
        t.add("_");
        t.add(timestamp);
        t.add("_");
        t.add(hex, kIdSuffix);
        episode_id = Ref::steal(t.build());
        if (!episode_id) return nullptr;
    }

    Ref embeddings = record(st->layout_embeddings, {{st->text, canonical.get()}});
    Ref metadata = record(st->layout_metadata, {{st->tags, tags.get()}});
    if (!embeddings || !metadata) return nullptr;
    // The layout holds the usual product; another one replaces it in place.
    Ref episode = record(st->layout_episode, {{st->episode_id, episode_id.get()},
                                              {st->category, category.get()},
                                              {st->state, state.get()},
                                              {st->action, action.get()},
                                              {st->outcome, outcome.get()},
                                              {st->embeddings, embeddings.get()},
                                              {st->metadata, metadata.get()}});
    if (!episode) return nullptr;
    if (product.get() != st->brenlow_sensor && PyDict_SetItem(episode.get(), st->product, product.get()) < 0)
        return nullptr;
    return episode.release();
}

// ---------------------------------------------------------------------------
// Batching and posting
// ---------------------------------------------------------------------------

// len(pending_batch) >= ACCUMULATOR_BATCH_SIZE, compared as Python compares.
int batch_due(ModuleState* st, PyObject* module, Py_ssize_t pending) {
    Ref limit = pyhost::module_global(module, st->ACCUMULATOR_BATCH_SIZE);
    if (!limit) return -1;
    if (PyLong_CheckExact(limit.get())) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (overflow != 0) return overflow < 0;
        return pending >= v;
    }
    Ref n = Ref::steal(PyLong_FromSsize_t(pending));
    if (!n) return -1;
    return PyObject_RichCompareBool(n.get(), limit.get(), Py_GE);
}

// ACCUMULATOR_FLUSH_MAX_AGE_S > 0 and now - _last_flush_ts >= it.
int age_due(ModuleState* st, PyObject* module, double now, double last_flush) {
    double max_age;
    if (!pyhost::global_float(module, st->ACCUMULATOR_FLUSH_MAX_AGE_S, &max_age)) return -1;
    return max_age > 0.0 && now - last_flush >= max_age;
}

// Hands the pending episodes to a new posting thread. The caller holds _lock.
PyObject* flush_locked(ModuleState* st, PyObject* self, bool has_now, double now) {
    AccumulatorObject* acc = as_acc(self);
    Ref pending = field(self, acc->pending_batch, "pending_batch");
    if (!pending) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(pending.get());
    if (n == 0) Py_RETURN_NONE;

    PyObject* module = PyType_GetModule(st->accumulator_type);
    if (!has_now && !wall_clock(st, module, &now)) return nullptr;
    Ref batch = Ref::steal(PyList_GetSlice(pending.get(), 0, n));
    Ref fresh = Ref::steal(PyList_New(0));
    if (!batch || !fresh) return nullptr;
    const double previous_flush = acc->last_flush_ts;
    Py_SETREF(acc->pending_batch, fresh.release());
    acc->last_flush_ts = now;

    Ref thread;
    Ref started;
    {
        Ref target = Ref::steal(PyObject_GetAttr(self, st->_post_batch));
        Ref threading = target ? pyhost::module_global(module, st->threading) : Ref();
        Ref thread_type = threading ? Ref::steal(PyObject_GetAttr(threading.get(), st->Thread)) : Ref();
        Ref thread_args = thread_type ? Ref::steal(PyTuple_Pack(1, batch.get())) : Ref();
        if (thread_args) {
            PyObject* call[] = {target.get(), thread_args.get(), Py_True};
            thread = Ref::steal(PyObject_Vectorcall(thread_type.get(), call, 0, st->kw_thread));
        }
        if (thread) started = Ref::steal(PyObject_CallMethodNoArgs(thread.get(), st->start));
    }
    if (started) Py_RETURN_NONE;

    // No thread took the batch: put it back in front of whatever is pending
    // and let the caller see the error, so that no episode is lost. An
    // interrupt while start() waits may come after the thread began, so
    // only ordinary errors count as "not started".
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    SavedError error;
    if (acc->pending_batch != nullptr && PyList_CheckExact(acc->pending_batch) &&
        PyList_SetSlice(batch.get(), n, n, acc->pending_batch) == 0) {
        Py_SETREF(acc->pending_batch, batch.release());
        acc->last_flush_ts = previous_flush;
    } else {
        PyErr_Clear();  // the original error is what the caller must see
    }
    error.restore();
    return nullptr;
}

// Adds an accepted batch to the count. The count is a native integer: past
// its largest value the batch is refused with OverflowError (and reported
// like any failed batch) rather than wrapping to a negative count.
bool add_ingested(std::atomic<long long>& total, Py_ssize_t n) {
    long long cur = total.load(std::memory_order_relaxed);
    do {
        if (cur > LLONG_MAX - n) {
            PyErr_SetString(PyExc_OverflowError, "total_ingested is too large");
            return false;
        }
    } while (!total.compare_exchange_weak(cur, cur + n, std::memory_order_relaxed));
    return true;
}

// The body of a posting thread: ingest the batch, count it or report why not.
PyObject* post_batch(ModuleState* st, PyObject* self, PyObject* batch) {
    AccumulatorObject* acc = as_acc(self);
    // Counted as handed over: a client that consumes the list it was given
    // must not make accepted episodes disappear from the count.
    const Py_ssize_t n = PyList_GET_SIZE(batch);
    Ref device_id;
    {
        Ref brain = field(self, acc->brain, "brain");
        device_id = brain ? field(self, acc->device_id, "device_id") : Ref();
        if (device_id) {
            PyObject* call[] = {brain.get(), batch, device_id.get()};
            Ref result = Ref::steal(PyObject_VectorcallMethod(st->ingest, call, 2, st->kw_device_id));
            if (result && add_ingested(acc->total_ingested, n)) Py_RETURN_NONE;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = take_exception();
    Ref message = Ref::steal(PyObject_Str(exc.get()));
    if (!message) return nullptr;
    device_id = field(self, acc->device_id, "device_id");
    if (!device_id) return nullptr;
    Ref device_text = Ref::steal(PyObject_Str(device_id.get()));
    if (!device_text) return nullptr;
    TextBuilder t;
    t.add("[ACCUMULATOR] Batch ingest failed for ");
    t.add(device_text.get());
    t.add(": ");
    t.add(message.get());
    t.add("\n");
    Ref line = Ref::steal(t.build());
    if (!line) return nullptr;
    // One write per line, so that lines of threads failing together never
    // interleave; print() would write the newline separately.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    if (out.get() == Py_None) Py_RETURN_NONE;
    Ref written = Ref::steal(PyObject_CallMethodOneArg(out.get(), st->write, line.get()));
    if (!written) return nullptr;
    Py_RETURN_NONE;
}

// 1 when ordinary method lookup of `name` on `self` finds `own`, our own
// method as the type was made with it: then calling the C++ code directly is
// that same call. 0 when a subclass, a patched class attribute, an instance
// attribute or a custom attribute hook would take over; -1 on error.
int finds_own_method(PyObject* self, PyObject* name, PyObject* own) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
    PyObject* dict = as_acc(self)->dict;
    if (dict != nullptr && PyDict_GET_SIZE(dict) > 0) {
        if (PyDict_GetItemWithError(dict, name) != nullptr) return 0;
        if (PyErr_Occurred()) return -1;
    }
    // A method descriptor looked up on its type is the descriptor itself.
    Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return found.get() == own ? 1 : 0;
}

PyObject* observe(ModuleState* st, PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* context) {
    AccumulatorObject* acc = as_acc(self);
    Ref lock = field(self, acc->lock, "_lock");
    if (!lock) return nullptr;
    pyhost::LockGuard guard(mutex_of(lock.get()));
    if (!guard.ok()) return nullptr;

    Ref window = field(self, acc->window, "window");
    if (!window) return nullptr;
    Ref reading = record(st->layout_reading, {{st->timestamp, timestamp}, {st->payload, payload}});
    if (!reading) return nullptr;
    {
        PyObject* call[] = {window.get(), reading.get()};
        Ref r = Ref::steal(PyObject_VectorcallMethod(st->append, call, 2, nullptr));
        if (!r) return nullptr;
    }

    Ref episode;
    const int own_build = finds_own_method(self, st->_build_episode, st->own_build_episode);
    if (own_build < 0) return nullptr;
    if (own_build) {
        episode = Ref::steal(build_episode(st, self, timestamp, payload, context));
    } else {
        PyObject* call[] = {self, timestamp, payload, context};
        episode = Ref::steal(PyObject_VectorcallMethod(st->_build_episode, call, 3, st->kw_context));
    }
    if (!episode) return nullptr;

    if (acc->total_episodes == LLONG_MAX) {
        PyErr_SetString(PyExc_OverflowError, "total_episodes is too large");
        return nullptr;
    }
    Ref pending = field(self, acc->pending_batch, "pending_batch");
    if (!pending || PyList_Append(pending.get(), episode.get()) < 0) return nullptr;
    acc->total_episodes += 1;

    PyObject* module = PyType_GetModule(st->accumulator_type);
    double now;
    if (!wall_clock(st, module, &now)) return nullptr;
    const int due_batch = batch_due(st, module, PyList_GET_SIZE(pending.get()));
    if (due_batch < 0) return nullptr;
    const int due_age = age_due(st, module, now, acc->last_flush_ts);
    if (due_age < 0) return nullptr;
    if (due_batch || due_age) {
        const int own_flush = finds_own_method(self, st->_flush_locked, st->own_flush_locked);
        if (own_flush < 0) return nullptr;
        Ref r;
        if (own_flush) {
            r = Ref::steal(flush_locked(st, self, true, now));
        } else {
            Ref now_obj = Ref::steal(PyFloat_FromDouble(now));
            if (!now_obj) return nullptr;
            PyObject* call[] = {self, now_obj.get()};
            r = Ref::steal(PyObject_VectorcallMethod(st->_flush_locked, call, 1, st->kw_now_ts));
        }
        if (!r) return nullptr;
    }
    return episode.release();
}

// ---------------------------------------------------------------------------
// Python glue: methods
// ---------------------------------------------------------------------------

bool check_reading(PyObject* timestamp, PyObject* payload, PyObject* context) {
    return pyhost::check_str(timestamp, "timestamp") && pyhost::check_dict(payload, "payload") &&
           pyhost::check_dict(context, "context", /*allow_none=*/true);
}

PyObject* meth_observe(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static const char* const params[] = {"timestamp", "payload", "context"};
    static const pyhost::Signature sig{"observe", params, 3, 2, true};
    PyObject* a[3];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* context = a[2] ? a[2] : Py_None;
    if (!check_reading(a[0], a[1], context)) return nullptr;
    return observe(state_of(cls), self, a[0], a[1], context);
}

PyObject* meth_build_episode(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const char* const params[] = {"timestamp", "payload", "context"};
    static const pyhost::Signature sig{"_build_episode", params, 3, 2, true};
    PyObject* a[3];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* context = a[2] ? a[2] : Py_None;
    if (!check_reading(a[0], a[1], context)) return nullptr;
    return build_episode(state_of(cls), self, a[0], a[1], context);
}

PyObject* meth_flush(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static const pyhost::Signature sig{"flush", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    ModuleState* st = state_of(cls);
    Ref lock = field(self, as_acc(self)->lock, "_lock");
    if (!lock) return nullptr;
    pyhost::LockGuard guard(mutex_of(lock.get()));
    if (!guard.ok()) return nullptr;
    PyObject* call[] = {self};
    return PyObject_VectorcallMethod(st->_flush_locked, call, 1, nullptr);
}

PyObject* meth_flush_locked(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const char* const params[] = {"now_ts"};
    static const pyhost::Signature sig{"_flush_locked", params, 1, 0, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    ModuleState* st = state_of(cls);
    double now = 0.0;
    const bool has_now = a[0] != nullptr && a[0] != Py_None;
    if (has_now) {
        // Any number (float(x) decides, a complex fails there); anything
        // else is refused, even with __float__ or __index__.
        int number = PyFloat_Check(a[0]) || PyLong_Check(a[0]) ? 1 : PyObject_IsInstance(a[0], st->number_abc);
        if (number < 0) return nullptr;
        if (number == 0) {
            pyhost::raise_arg_type("now_ts", "float", a[0]);
            return nullptr;
        }
        if (!pyhost::host_float(a[0], &now)) return nullptr;
    }
    return flush_locked(st, self, has_now, now);
}

PyObject* meth_post_batch(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static const char* const params[] = {"batch"};
    static const pyhost::Signature sig{"_post_batch", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!pyhost::check_list(a[0], "batch")) return nullptr;
    return post_batch(state_of(cls), self, a[0]);
}

PyMethodDef accumulator_methods[] = {
    pyhost::method<"observe", meth_observe, "timestamp, payload, context=None",
                   "Record one reading: append it to the window, build its episode, queue\n"
                   "it, and hand the queue to a posting thread when the batch is full or\n"
                   "old enough. Returns the episode.">(),
    pyhost::method<"flush", meth_flush, "",
                   "Hand every pending episode to a posting thread now.">(),
    pyhost::method<"_build_episode", meth_build_episode, "timestamp, payload, context=None",
                   "The episode record of one reading, compared with the reading before it\n"
                   "in the window.">(),
    pyhost::method<"_flush_locked", meth_flush_locked, "now_ts=None",
                   "Take the pending batch and start its posting thread. The caller holds\n"
                   "_lock.">(),
    pyhost::method<"_post_batch", meth_post_batch, "batch",
                   "Send one batch to the client (the body of a posting thread); a failure\n"
                   "is reported on standard output and the batch dropped.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Python glue: attributes
// ---------------------------------------------------------------------------

// Object fields: readable, writable and deletable as on a Python object;
// device_id and pending_batch keep their exact types.
template <PyObject* AccumulatorObject::*Member>
PyObject* get_object(PyObject* self, void* name) {
    PyObject* v = as_acc(self)->*Member;
    if (v == nullptr) return missing_field(self, static_cast<const char*>(name));
    return Py_NewRef(v);
}

template <PyObject* AccumulatorObject::*Member>
int set_object(PyObject* self, PyObject* value, void* name) {
    if (value != nullptr) {
        const char* n = static_cast<const char*>(name);
        if (Member == &AccumulatorObject::device_id && !pyhost::check_str(value, n)) return -1;
        if (Member == &AccumulatorObject::pending_batch && !pyhost::check_list(value, n)) return -1;
    } else if (as_acc(self)->*Member == nullptr) {
        missing_field(self, static_cast<const char*>(name));
        return -1;
    }
    Py_XSETREF(as_acc(self)->*Member, Py_XNewRef(value));
    return 0;
}

bool refuse_delete(PyObject* value, const char* name) { return value == nullptr && pyhost::refuse_delete(name) < 0; }

PyObject* get_total_episodes(PyObject* self, void*) { return PyLong_FromLongLong(as_acc(self)->total_episodes); }
int set_total_episodes(PyObject* self, PyObject* value, void* name) {
    if (refuse_delete(value, static_cast<const char*>(name))) return -1;
    Ref v = pyhost::int_arg(value, "total_episodes");
    if (!v) return -1;
    long long n = PyLong_AsLongLong(v.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    as_acc(self)->total_episodes = n;
    return 0;
}

PyObject* get_total_ingested(PyObject* self, void*) {
    return PyLong_FromLongLong(as_acc(self)->total_ingested.load(std::memory_order_relaxed));
}
int set_total_ingested(PyObject* self, PyObject* value, void* name) {
    if (refuse_delete(value, static_cast<const char*>(name))) return -1;
    Ref v = pyhost::int_arg(value, "total_ingested");
    if (!v) return -1;
    long long n = PyLong_AsLongLong(v.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    as_acc(self)->total_ingested.store(n, std::memory_order_relaxed);
    return 0;
}

PyObject* get_last_flush_ts(PyObject* self, void*) { return PyFloat_FromDouble(as_acc(self)->last_flush_ts); }
int set_last_flush_ts(PyObject* self, PyObject* value, void* name) {
    if (refuse_delete(value, static_cast<const char*>(name))) return -1;
    double v;
    if (!pyhost::float_arg(value, "_last_flush_ts", &v)) return -1;
    as_acc(self)->last_flush_ts = v;
    return 0;
}

PyObject* get_lock(PyObject* self, void*) {
    PyObject* v = as_acc(self)->lock;
    if (v == nullptr) return missing_field(self, "_lock");
    return Py_NewRef(v);
}

char n_brain[] = "brain", n_device_id[] = "device_id", n_window[] = "window", n_pending[] = "pending_batch",
     n_total_episodes[] = "total_episodes", n_total_ingested[] = "total_ingested",
     n_last_flush[] = "_last_flush_ts";

PyGetSetDef accumulator_getset[] = {
    pyhost::getset<get_object<&AccumulatorObject::brain>, set_object<&AccumulatorObject::brain>>("brain", "The resolver client that batches are sent to.", n_brain),
    pyhost::getset<get_object<&AccumulatorObject::device_id>, set_object<&AccumulatorObject::device_id>>("device_id", "The device this accumulator serves.", n_device_id),
    pyhost::getset<get_object<&AccumulatorObject::window>, set_object<&AccumulatorObject::window>>("window", "The most recent readings, oldest first.", n_window),
    pyhost::getset<get_object<&AccumulatorObject::pending_batch>, set_object<&AccumulatorObject::pending_batch>>(
        "pending_batch", "Episodes not yet handed to a posting thread.", n_pending),
    pyhost::getset<get_total_episodes, set_total_episodes>("total_episodes", "Episodes built.", n_total_episodes),
    pyhost::getset<get_total_ingested, set_total_ingested>("total_ingested", "Episodes in batches the client accepted.", n_total_ingested),
    pyhost::getset<get_last_flush_ts, set_last_flush_ts>("_last_flush_ts", "Wall-clock time of the last flush.", n_last_flush),
    pyhost::getset<get_lock>("_lock", "The lock guarding this object's state."),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef accumulator_members[] = {
    {"__dictoffset__", PYHOST_T_PYSSIZET, offsetof(AccumulatorObject, dict), PYHOST_READONLY, nullptr},
    {"__weaklistoffset__", PYHOST_T_PYSSIZET, offsetof(AccumulatorObject, weakreflist), PYHOST_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Python glue: construction and lifetime
// ---------------------------------------------------------------------------

PyObject* accumulator_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    AccumulatorObject* acc = as_acc(self);
    new (&acc->total_ingested) std::atomic<long long>(0);
    acc->total_episodes = 0;
    acc->last_flush_ts = 0.0;
    return self;
}

int accumulator_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"brain", "device_id"};
    static const pyhost::Signature sig{"__init__", params, 2, 2, true};
    PyObject* a[2];
    if (!pyhost::parse_tuple(sig, args, kwargs, a)) return -1;
    if (!pyhost::check_str(a[1], "device_id")) return -1;
    PyObject* module = module_of(self);
    if (module == nullptr) return -1;
    ModuleState* st = state_of(module);

    Ref deque = pyhost::module_global(module, st->deque);
    Ref maxlen = deque ? pyhost::module_global(module, st->ACCUMULATOR_WINDOW_SIZE) : Ref();
    if (!maxlen) return -1;
    PyObject* call[] = {maxlen.get()};
    Ref window = Ref::steal(PyObject_Vectorcall(deque.get(), call, 0, st->kw_maxlen));
    Ref pending = window ? Ref::steal(PyList_New(0)) : Ref();
    if (!pending) return -1;
    double now;
    if (!wall_clock(st, module, &now)) return -1;
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(pyhost::new_lock(st->lock_type)));
    if (!lock) return -1;

    AccumulatorObject* acc = as_acc(self);
    Py_XSETREF(acc->brain, Py_NewRef(a[0]));
    Py_XSETREF(acc->device_id, Py_NewRef(a[1]));
    Py_XSETREF(acc->window, window.release());
    Py_XSETREF(acc->pending_batch, pending.release());
    acc->total_episodes = 0;
    acc->total_ingested.store(0, std::memory_order_relaxed);
    acc->last_flush_ts = now;
    Py_XSETREF(acc->lock, lock.release());
    return 0;
}

int accumulator_traverse(PyObject* self, visitproc visit, void* arg) {
    AccumulatorObject* acc = as_acc(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(acc->brain);
    Py_VISIT(acc->device_id);
    Py_VISIT(acc->window);
    Py_VISIT(acc->pending_batch);
    Py_VISIT(acc->lock);
    Py_VISIT(acc->cached_device_id);
    Py_VISIT(acc->default_category);
    Py_VISIT(acc->outcome_metadata);
    Py_VISIT(acc->dict);
    return 0;
}

int accumulator_clear(PyObject* self) {
    AccumulatorObject* acc = as_acc(self);
    Py_CLEAR(acc->brain);
    Py_CLEAR(acc->device_id);
    Py_CLEAR(acc->window);
    Py_CLEAR(acc->pending_batch);
    Py_CLEAR(acc->lock);
    Py_CLEAR(acc->cached_device_id);
    Py_CLEAR(acc->default_category);
    Py_CLEAR(acc->outcome_metadata);
    Py_CLEAR(acc->dict);
    return 0;
}

void accumulator_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_acc(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    accumulator_clear(self);
    as_acc(self)->total_ingested.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot accumulator_slots[] = {
    pyhost::slot<Py_tp_new, accumulator_new>(),
    pyhost::slot<Py_tp_init, accumulator_init>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(accumulator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(accumulator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(accumulator_clear)},
    {Py_tp_methods, accumulator_methods},
    {Py_tp_getset, accumulator_getset},
    {Py_tp_members, accumulator_members},
    {Py_tp_doc, const_cast<char*>("EpisodeAccumulator(brain, device_id)\n--\n\n"
                                  "Turns each reading of one device into an episode and sends the\n"
                                  "episodes to the resolver client in batches, on background threads.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec = {
    "orvane.brenlow.accumulator.EpisodeAccumulator",
    sizeof(AccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    accumulator_slots,
};

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

const char* const kConstants[] = {"ACCUMULATOR_WINDOW_SIZE", "ACCUMULATOR_BATCH_SIZE",
                                  "ACCUMULATOR_FLUSH_MAX_AGE_S", nullptr};

PyObject* text_tuple(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    return t;
}

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
#define ACCUMULATOR_INTERN(n)                       \
    if ((st->n = pyhost::intern(#n)) == nullptr) \
        return -1;
    ACCUMULATOR_NAMES(ACCUMULATOR_INTERN)
#undef ACCUMULATOR_INTERN
    if ((st->empty = pyhost::intern("")) == nullptr || (st->zero_text = pyhost::intern("0")) == nullptr ||
        (st->key_separator = pyhost::intern(", ")) == nullptr ||
        (st->action_sensor = pyhost::intern("Channel deltas from previous reading")) == nullptr ||
        (st->action_multimodal = pyhost::intern("Multimodal channel deltas from previous reading")) == nullptr)
        return -1;
    if ((st->kw_context = text_tuple({st->context})) == nullptr ||
        (st->kw_now_ts = text_tuple({st->now_ts})) == nullptr ||
        (st->kw_device_id = text_tuple({st->device_id})) == nullptr ||
        (st->kw_thread = text_tuple({st->target, st->args, st->daemon})) == nullptr ||
        (st->kw_maxlen = text_tuple({st->maxlen})) == nullptr)
        return -1;

    PyObject* const none = Py_None;
    if ((st->layout_reading = make_layout({{st->timestamp, none}, {st->payload, none}})) == nullptr ||
        (st->layout_episode = make_layout({{st->episode_id, none},
                                           {st->product, st->brenlow_sensor},
                                           {st->category, none},
                                           {st->state, none},
                                           {st->action, none},
                                           {st->outcome, none},
                                           {st->embeddings, none},
                                           {st->metadata, none}})) == nullptr ||
        (st->layout_state = make_layout(
             {{st->description, none}, {st->context, none}, {st->timestamp, none}, {st->metadata, none}})) == nullptr ||
        (st->layout_state_metadata = make_layout({{st->channel_count, none}, {st->source_kind, st->empty}})) == nullptr ||
        (st->layout_action_sensor = make_layout({{st->description, st->action_sensor},
                                                 {st->steps, none},
                                                 {st->commands, none},
                                                 {st->metadata, none}})) == nullptr ||
        (st->layout_action_multimodal = make_layout({{st->description, st->action_multimodal},
                                                     {st->steps, none},
                                                     {st->commands, none},
                                                     {st->metadata, none}})) == nullptr ||
        (st->layout_action_metadata = make_layout({{st->deltas, none}})) == nullptr ||
        (st->layout_outcome = make_layout(
             {{st->result, st->pending}, {st->success, none}, {st->metrics, none}, {st->metadata, none}})) == nullptr ||
        (st->layout_outcome_metadata = make_layout({{st->pending, Py_True}, {st->device_id, none}})) == nullptr ||
        (st->layout_embeddings = make_layout({{st->text, none}})) == nullptr ||
        (st->layout_metadata = make_layout({{st->tags, none}, {st->source, st->edge_stream}})) == nullptr)
        return -1;

    if (pyhost::bind_constants(module, "orvane.config", kConstants) < 0) return -1;
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    Ref deque = collections ? Ref::steal(PyObject_GetAttr(collections.get(), st->deque)) : Ref();
    if (!deque || PyModule_AddObjectRef(module, "deque", deque.get()) < 0) return -1;
    for (const char* name : {"threading", "time"}) {
        Ref m = Ref::steal(PyImport_ImportModule(name));
        if (!m || PyModule_AddObjectRef(module, name, m.get()) < 0) return -1;
    }
    Ref numbers = Ref::steal(PyImport_ImportModule("numbers"));
    if (!numbers || (st->number_abc = PyObject_GetAttrString(numbers.get(), "Number")) == nullptr) return -1;

    st->lock_type = pyhost::make_lock_type(module, "orvane.brenlow.accumulator.Lock");
    if (st->lock_type == nullptr || PyModule_AddType(module, st->lock_type) < 0) return -1;
    st->accumulator_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &accumulator_spec, nullptr));
    if (st->accumulator_type == nullptr) return -1;
    PyObject* type = reinterpret_cast<PyObject*>(st->accumulator_type);
    if ((st->own_build_episode = PyObject_GetAttr(type, st->_build_episode)) == nullptr ||
        (st->own_flush_locked = PyObject_GetAttr(type, st->_flush_locked)) == nullptr)
        return -1;
    return PyModule_AddType(module, st->accumulator_type);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_VISIT(st->accumulator_type);
    Py_VISIT(st->lock_type);
    Py_VISIT(st->own_build_episode);
    Py_VISIT(st->own_flush_locked);
    Py_VISIT(st->number_abc);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_CLEAR(st->accumulator_type);
    Py_CLEAR(st->lock_type);
    Py_CLEAR(st->own_build_episode);
    Py_CLEAR(st->own_flush_locked);
    Py_CLEAR(st->number_abc);
#define ACCUMULATOR_RELEASE(n) Py_CLEAR(st->n);
    ACCUMULATOR_NAMES(ACCUMULATOR_RELEASE)
#undef ACCUMULATOR_RELEASE
    Py_CLEAR(st->empty);
    Py_CLEAR(st->zero_text);
    Py_CLEAR(st->key_separator);
    Py_CLEAR(st->action_sensor);
    Py_CLEAR(st->action_multimodal);
    Py_CLEAR(st->kw_context);
    Py_CLEAR(st->kw_now_ts);
    Py_CLEAR(st->kw_device_id);
    Py_CLEAR(st->kw_thread);
    Py_CLEAR(st->kw_maxlen);
    for (PyObject** layout : {&st->layout_reading, &st->layout_episode, &st->layout_state,
                              &st->layout_state_metadata, &st->layout_action_sensor, &st->layout_action_multimodal,
                              &st->layout_action_metadata,
                              &st->layout_outcome, &st->layout_outcome_metadata, &st->layout_embeddings,
                              &st->layout_metadata})
        Py_CLEAR(*layout);
    return 0;
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

}  // namespace

namespace {
PyModuleDef moduledef = pyhost::module_def<ModuleState>("orvane.brenlow.accumulator", "Episodes from device readings, batched and sent to the resolver on background threads.", slots, module_traverse, module_clear, pyhost::free_by_clear<module_clear>);
}  // namespace

PyMODINIT_FUNC PyInit_accumulator(void) { return PyModuleDef_Init(&moduledef); }
