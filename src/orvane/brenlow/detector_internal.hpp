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

// The fields of AnomalyEvent with their kinds, in declaration order (that of
// its constructor and of to_dict()).
// clang-format off
#define EVENT_FIELDS(X) \
    X(device_id, Str) X(timestamp, Str) X(similar_episode_count, Int) X(dominant_outcome, Str) \
    X(confidence, Float) X(query_score, Float) X(channel_snapshot, Dict) X(detected_at, Float)
// clang-format on
#define EVENT_KEY(field, kind) K_##field,
enum EventKey { EVENT_FIELDS(EVENT_KEY) K_EVENT_KEYS };
#undef EVENT_KEY
#define EVENT_NAME(field, kind) #field,
const char* const kEventKeyNames[K_EVENT_KEYS] = {EVENT_FIELDS(EVENT_NAME)};
#undef EVENT_NAME

// Interned names, compared by pointer first by the dict lookups: the
// configuration constants, the keys and attributes read, the methods called.
// clang-format off
#define DETECTOR_NAMES(X) \
    X(check_every, "DETECTOR_CHECK_EVERY") X(min_confidence, "DETECTOR_MIN_CONFIDENCE") X(top_k, "DETECTOR_TOP_K") \
    X(cluster_threshold, "DETECTOR_CLUSTER_THRESHOLD") X(time, "time") X(get, "get") X(score, "score") \
    X(outcome, "outcome") X(result, "result") X(metrics, "metrics") X(health_label, "health_label") \
    X(append, "append") X(query, "query") X(upper, "upper") X(to_dict, "to_dict") X(build_query, "_build_query") \
    X(analyse_hits, "_analyse_hits") X(empty, "")
// clang-format on
PYHOST_NAMES(N, kNameTexts, DETECTOR_NAMES);

struct ModuleState {
    PyTypeObject* event_type;
    PyTypeObject* detector_type;
    PyTypeObject* lock_type;
    PyObject* deque_type;
    pyhost::Names<N::count> names;
    PyObject* query_kwnames;  // ("k", "device_id", "include_episode", "prefer_success")
    pyhost::Names<K_EVENT_KEYS> event_keys;
    // The configuration constants, re-read only after the namespace changes.
    pyhost::NamespaceWatch watch;
    pyhost::CachedGlobal cached[N::time + 1];  // indexed by name: the four constants, then `time`

    int traverse(visitproc visit, void* arg) {
        if (int r = pyhost::visit_all(visit, arg, event_type, detector_type, lock_type, deque_type, query_kwnames))
            return r;
        if (int r = names.visit(visit, arg)) return r;
        return event_keys.visit(visit, arg);
    }
    void clear() {
        watch.stop();
        pyhost::clear_all(event_type, detector_type, lock_type, deque_type, query_kwnames);
        names.clear();
        event_keys.clear();
    }
};

// A configuration constant as the module's namespace binds it now.
#define CONSTANT(st, module, which) ((st)->cached[N::which].get((module), (st)->names[N::which], (st)->watch))

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

using EventRefs =
    pyhost::Owns<EventObject, &EventObject::device_id, &EventObject::timestamp, &EventObject::similar_episode_count,
                 &EventObject::dominant_outcome, &EventObject::channel_snapshot>;

// ---- defined across the module's sources ----

using pyhost::missing_attribute;
extern PyType_Spec event_spec;

bool event_fill(ModuleState* st, PyObject* module, EventObject* e, PyObject* device_id, PyObject* timestamp,
                PyObject* count, PyObject* dominant, double confidence, double query_score, PyObject* snapshot);
PyObject* event_to_dict_impl(ModuleState* st, PyObject* self);

}  // namespace orvane_detector
