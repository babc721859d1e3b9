// Shared by the sources of the detector module: its types, its state and the
// functions one source defines and another calls.
#pragma once

#include <climits>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string>
#include <vector>
#include "detector_core.hpp"
#include "pyhost.hpp"

namespace orvane_detector {

using pyhost::Ref;

constexpr Py_ssize_t kMaxEvents = 1000;      // capacity of the event buffer
constexpr Py_ssize_t kLinearLabelScan = 32;  // distinct labels counted without a hash index

const char* const kConstantNames[] = {"DETECTOR_CHECK_EVERY", "DETECTOR_MIN_CONFIDENCE", "DETECTOR_TOP_K",
                                      "DETECTOR_CLUSTER_THRESHOLD", nullptr};
const char* const kHealthyLabels[] = {"HEALTHY", "NORMAL", "OK", "NOMINAL"};

// Keys of AnomalyEvent.to_dict(), in their order.
enum EventKey {
    K_DEVICE_ID,
    K_TIMESTAMP,
    K_COUNT,
    K_DOMINANT,
    K_CONFIDENCE,
    K_QUERY_SCORE,
    K_SNAPSHOT,
    K_DETECTED_AT,
    K_EVENT_KEYS
};
const char* const kEventKeyNames[K_EVENT_KEYS] = {"device_id",        "timestamp",  "similar_episode_count",
                                                  "dominant_outcome", "confidence", "query_score",
                                                  "channel_snapshot", "detected_at"};

// Interned names, compared by pointer first by the dict lookups.
struct N {
    enum : std::size_t {
        check_every,
        min_confidence,
        top_k,
        cluster_threshold,
        time,
        get,
        score,
        outcome,
        result,
        metrics,
        health_label,
        append,
        query,
        upper,
        to_dict,
        build_query,
        analyse_hits,
        empty,
        count
    };
};
const char* const kNameTexts[N::count] = {"DETECTOR_CHECK_EVERY",
                                          "DETECTOR_MIN_CONFIDENCE",
                                          "DETECTOR_TOP_K",
                                          "DETECTOR_CLUSTER_THRESHOLD",
                                          "time",
                                          "get",
                                          "score",
                                          "outcome",
                                          "result",
                                          "metrics",
                                          "health_label",
                                          "append",
                                          "query",
                                          "upper",
                                          "to_dict",
                                          "_build_query",
                                          "_analyse_hits",
                                          ""};

struct ModuleState {
    PyTypeObject* event_type;
    PyTypeObject* detector_type;
    PyTypeObject* lock_type;
    PyObject* deque_type;
    pyhost::Names<N::count> names;
    PyObject* query_kwnames;   // ("k", "device_id", "include_episode", "prefer_success")
    PyObject* maxlen_kwnames;  // ("maxlen",)
    pyhost::Names<K_EVENT_KEYS> event_keys;
    // The configuration constants, re-read only after the namespace changes.
    pyhost::NamespaceWatch watch;
    pyhost::CachedGlobal cached_check_every;
    pyhost::CachedGlobal cached_min_confidence;
    pyhost::CachedGlobal cached_top_k;
    pyhost::CachedGlobal cached_cluster_threshold;
    pyhost::CachedGlobal cached_time;
};

// A configuration constant as the module's namespace binds it now.
#define CONSTANT(st, module, which) ((st)->cached_##which.get((module), (st)->names[N::which], (st)->watch))

extern PyModuleDef moduledef;

inline ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

// The module that defined `tp` or one of its bases (borrowed).
inline PyObject* module_of_type(PyTypeObject* tp) { return pyhost::module_of(tp, &moduledef); }

// time.time(), called through the module's own `time` at each use, so that
// a caller who patches or freezes the clock sees it in detected_at.
inline bool wall_time(ModuleState* st, PyObject* module, double* out) {
    Ref time_module = CONSTANT(st, module, time);
    if (!time_module) return false;
    Ref now = Ref::steal(PyObject_CallMethodNoArgs(time_module.get(), st->names[N::time]));
    return now && pyhost::real_float(now.get(), out);
}

// ---------------------------------------------------------------------------
// AnomalyEvent: the record of one detected anomaly
// ---------------------------------------------------------------------------

struct EventObject {
    PyObject_HEAD PyObject* device_id;  // str
    PyObject* timestamp;                // str
    PyObject* similar_episode_count;    // int
    PyObject* dominant_outcome;         // str
    PyObject* channel_snapshot;         // dict
    double confidence;
    double query_score;
    double detected_at;
    unsigned doubles_set;  // which of the three doubles hold a value (bits by EventKey)
    PyObject* weakrefs;
};

inline EventObject* as_event(PyObject* o) { return reinterpret_cast<EventObject*>(o); }

inline int event_traverse(PyObject* self, visitproc visit, void* arg) {
    EventObject* e = as_event(self);
    return pyhost::visit_all(visit, arg, Py_TYPE(self), e->device_id, e->timestamp, e->similar_episode_count,
                             e->dominant_outcome, e->channel_snapshot);
}

inline int event_clear(PyObject* self) {
    EventObject* e = as_event(self);
    pyhost::clear_all(e->device_id, e->timestamp, e->similar_episode_count, e->dominant_outcome, e->channel_snapshot);
    return 0;
}

inline void event_dealloc(PyObject* self) { pyhost::dealloc_gc(self, as_event(self)->weakrefs, event_clear); }

// ---- defined across the module's sources ----

using pyhost::missing_attribute;
extern PyType_Spec event_spec;

bool event_fill(ModuleState* st, PyObject* module, EventObject* e, PyObject* device_id, PyObject* timestamp,
                PyObject* count, PyObject* dominant, double confidence, double query_score, PyObject* snapshot);
PyObject* event_to_dict_impl(ModuleState* st, PyObject* self);
PyObject* event_get(PyObject* self, void* closure);
int event_set(PyObject* self, PyObject* value, void* closure);

}  // namespace orvane_detector
