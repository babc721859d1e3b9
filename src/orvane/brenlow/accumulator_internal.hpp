// Shared by the sources of the accumulator module: its types, its state and the
// functions one source defines and another calls.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include "pyhost.hpp"

namespace orvane_accumulator {

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
// clang-format off
#define ACCUMULATOR_NAMES(X) \
    X(episode_id) X(product) X(category) X(state) X(action) X(outcome) X(embeddings) X(metadata) \
    X(description) X(context) X(timestamp) X(payload) X(channel_count) X(source_kind) X(steps) X(commands) \
    X(deltas) X(result) X(success) X(metrics) X(pending) X(device_id) X(text) X(tags) X(source) X(source_text) \
    X(source_category) X(source_product) X(source_tags) X(source_meta) X(modality_count) X(nl_text_len) \
    X(brenlow) X(sensor) X(multimodal) X(brenlow_sensor) X(brenlow_multimodal) X(edge_stream) \
    X(_build_episode) X(_flush_locked) X(_post_batch) X(append) X(ingest) X(start) X(time) X(strip) X(lower) \
    X(write) X(Thread) X(threading) X(deque) X(maxlen) X(target) X(args) X(daemon) X(now_ts) \
    X(ACCUMULATOR_WINDOW_SIZE) X(ACCUMULATOR_BATCH_SIZE) X(ACCUMULATOR_FLUSH_MAX_AGE_S) X(EXIT_FLUSH_TIMEOUT_S)
// clang-format on

// Fixed texts, interned like the names.
// clang-format off
#define ACCUMULATOR_TEXTS(X) \
    X(empty, "") X(zero_text, "0") X(key_separator, ", ") X(action_sensor, "Channel deltas from previous reading") \
    X(action_multimodal, "Multimodal channel deltas from previous reading")
// clang-format on

// Every other reference the state owns. Record layouts: dicts of a record's
// keys, in order, that each new record is copied from, so that it is built
// at its final size at once. own_*: our own methods as the type holds them,
// to tell whether ordinary lookup on an instance still finds them.
// clang-format off
#define ACCUMULATOR_OWNED(X) \
    X(own_build_episode) X(own_flush_locked) X(number_abc) X(exit_hook) \
    X(kw_context) X(kw_now_ts) X(kw_device_id) X(kw_thread) X(kw_maxlen) \
    X(layout_reading) X(layout_episode) X(layout_state) X(layout_state_metadata) X(layout_action_sensor) \
    X(layout_action_multimodal) X(layout_action_metadata) X(layout_outcome) X(layout_outcome_metadata) \
    X(layout_embeddings) X(layout_metadata)
// clang-format on

struct ExitRegistry;

struct ModuleState {
    PyTypeObject* accumulator_type;
    PyTypeObject* lock_type;
#define ACCUMULATOR_FIELD(n, ...) PyObject* n;
    ACCUMULATOR_NAMES(ACCUMULATOR_FIELD)
    ACCUMULATOR_TEXTS(ACCUMULATOR_FIELD)
    ACCUMULATOR_OWNED(ACCUMULATOR_FIELD)
#undef ACCUMULATOR_FIELD
    struct OwnMethods {
        PyTypeObject* type;  // not a reference: only compared
        unsigned int version;
    } own_methods[2];    // the last type found with our own methods (finds_own_method)
    ExitRegistry* exit;  // live accumulators and batches in flight (accumulator_exit.cpp)
    // The globals every reading reads, looked up again only when the
    // module's namespace has changed.
    pyhost::NamespaceWatch watch;
    pyhost::CachedGlobal cached_time;
    pyhost::CachedGlobal cached_batch_size;
    pyhost::CachedGlobal cached_max_age;

    int traverse(visitproc visit, void* arg);
    void clear();
    void release();
};

inline ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }
inline ModuleState* state_of(PyTypeObject* defining_class) { return pyhost::state_of<ModuleState>(defining_class); }

extern PyModuleDef moduledef;

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
    void add(std::string_view ascii) {
        push({nullptr, ascii.data(), static_cast<Py_ssize_t>(ascii.size())});
        length_ += static_cast<Py_ssize_t>(ascii.size());
    }

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

// The str of str objects and ASCII pieces joined, in one allocation.
template <typename... Parts>
Ref concat(const Parts&... parts) {
    TextBuilder t;
    (t.add(parts), ...);
    return Ref::steal(t.build());
}

// ---------------------------------------------------------------------------
// The accumulator object
// ---------------------------------------------------------------------------

struct AccumulatorObject {
    PyObject_HEAD PyObject* brain;  // the resolver client, borrowed from the caller for our lifetime
    PyObject* device_id;            // exact str
    PyObject* window;               // collections.deque of reading records
    PyObject* pending_batch;        // exact list of episode records
    PyObject* lock;                 // pyhost::LockObject
    PyObject* dict;
    PyObject* weakrefs;
    long long total_episodes;
    // Posting threads add to it without `_lock`, several at a time.
    std::atomic<long long> total_ingested;
    double last_flush_ts;
    ExitRegistry* exit_registry;  // where this accumulator is tracked for the exit hook
};

inline AccumulatorObject* as_acc(PyObject* self) { return reinterpret_cast<AccumulatorObject*>(self); }

inline pyhost::Mutex& mutex_of(PyObject* lock) { return reinterpret_cast<pyhost::LockObject*>(lock)->mutex; }

using pyhost::SavedError;

// time.time(), looked up through the module's own `time` at each use.
inline bool wall_clock(ModuleState* st, PyObject* module, double* out) {
    Ref time_module = st->cached_time.get(module, st->time, st->watch);
    if (!time_module) return false;
    Ref now = Ref::steal(PyObject_CallMethodNoArgs(time_module.get(), st->time));
    return now && pyhost::host_float(now.get(), out);
}

// ---- defined across the module's sources ----

Ref record(PyObject* layout, std::initializer_list<std::pair<PyObject*, PyObject*>> items);
PyObject* build_episode(ModuleState* st, PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* context);
bool write_failure_line(ModuleState* st, PyObject* device_id, PyObject* message);  // null: the exception raised

// The exit hook (accumulator_exit.cpp): set up at module execution; every
// accumulator tracked from its creation to its end; every batch handed to a
// posting thread known until that thread has its result. exit_batch_done
// is false when the hook has already reported the batch as undelivered.
bool exit_setup(PyObject* module);
int exit_traverse(ModuleState* st, visitproc visit, void* arg);
void exit_clear(ModuleState* st);
void exit_free(ModuleState* st);
void exit_track(ModuleState* st, AccumulatorObject* acc);
void exit_untrack(AccumulatorObject* acc);
bool exit_batch_handed(ModuleState* st, PyObject* thread, PyObject* batch, PyObject* device_id);
bool exit_batch_done(ModuleState* st, PyObject* batch);
void exit_batch_dropped(ModuleState* st, PyObject* batch);  // its thread never started

}  // namespace orvane_accumulator
