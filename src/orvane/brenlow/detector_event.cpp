// AnomalyEvent: the record of one detected anomaly, its fields, copying and pickling.
#include "detector_internal.hpp"

namespace orvane_detector {

// Field access. Fields are stored natively and checked on assignment with
// the same rules as the constructor; they cannot be deleted. Float fields
// take any real number and fail with the interpreter's own conversion error.

enum class FieldKind { Str, Int, Float, Dict };
struct EventField {
    const char* name;
    FieldKind kind;
    EventKey key;
    std::size_t offset;
};

#define EVENT_FIELD(field, kind) {#field, FieldKind::kind, K_##field, offsetof(EventObject, field)},
const EventField kEventFields[] = {EVENT_FIELDS(EVENT_FIELD)};
#undef EVENT_FIELD

PyObject* event_get(PyObject* self, void* closure) {
    const EventField* f = static_cast<const EventField*>(closure);
    char* base = reinterpret_cast<char*>(self);
    if (f->kind == FieldKind::Float) {
        if (!(as_event(self)->doubles_set & (1u << f->key))) return missing_attribute(self, f->name);
        return PyFloat_FromDouble(*reinterpret_cast<double*>(base + f->offset));
    }
    PyObject* v = *reinterpret_cast<PyObject**>(base + f->offset);
    if (v == nullptr) return missing_attribute(self, f->name);
    return Py_NewRef(v);
}

int event_set(PyObject* self, PyObject* value, void* closure) {
    const EventField* f = static_cast<const EventField*>(closure);
    char* base = reinterpret_cast<char*>(self);
    if (value == nullptr) return pyhost::refuse_delete(f->name);
    switch (f->kind) {
        case FieldKind::Str:
            if (!pyhost::check_str(value, f->name)) return -1;
            break;
        case FieldKind::Dict:
            if (!pyhost::check_dict(value, f->name)) return -1;
            break;
        case FieldKind::Int: {
            Ref n = pyhost::int_arg(value, f->name);
            if (!n) return -1;
            Py_XSETREF(*reinterpret_cast<PyObject**>(base + f->offset), n.release());
            return 0;
        }
        case FieldKind::Float: {
            double x;
            if (!pyhost::real_float(value, &x)) return -1;
            *reinterpret_cast<double*>(base + f->offset) = x;
            as_event(self)->doubles_set |= 1u << f->key;
            return 0;
        }
    }
    Py_XSETREF(*reinterpret_cast<PyObject**>(base + f->offset), Py_NewRef(value));
    return 0;
}

// AnomalyEvent.to_dict(): the eight fields as stored, in declaration order.
PyObject* event_to_dict_impl(ModuleState* st, PyObject* self) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const EventField& f : kEventFields) {
        Ref value = Ref::steal(event_get(self, const_cast<EventField*>(&f)));
        if (!value || PyDict_SetItem(d.get(), st->event_keys[f.key], value.get()) < 0) return nullptr;
    }
    return d.release();
}

// Stores the seven constructor fields (already checked) and stamps the
// creation time last. Steals nothing; `count` must be an int.
bool event_fill(ModuleState* st, PyObject* module, EventObject* e, PyObject* device_id, PyObject* timestamp,
                PyObject* count, PyObject* dominant, double confidence, double query_score, PyObject* snapshot) {
    double now;
    Py_XSETREF(e->device_id, Py_NewRef(device_id));
    Py_XSETREF(e->timestamp, Py_NewRef(timestamp));
    Py_XSETREF(e->similar_episode_count, Py_NewRef(count));
    Py_XSETREF(e->dominant_outcome, Py_NewRef(dominant));
    e->confidence = confidence;
    e->query_score = query_score;
    Py_XSETREF(e->channel_snapshot, Py_NewRef(snapshot));
    e->doubles_set |= (1u << K_confidence) | (1u << K_query_score);
    if (!wall_time(st, module, &now)) return false;
    e->detected_at = now;
    e->doubles_set |= 1u << K_detected_at;
    return true;
}

int event_init(PyObject* self, PyObject* device_id, PyObject* timestamp, PyObject* similar_episode_count,
               PyObject* dominant_outcome, PyObject* confidence_arg, PyObject* query_score_arg,
               PyObject* channel_snapshot) {
    if (!pyhost::check_str(device_id, "device_id") || !pyhost::check_str(timestamp, "timestamp")) return -1;
    Ref count = pyhost::int_arg(similar_episode_count, "similar_episode_count");
    if (!count) return -1;
    if (!pyhost::check_str(dominant_outcome, "dominant_outcome")) return -1;
    double confidence, query_score;
    if (!pyhost::real_float(confidence_arg, &confidence) || !pyhost::real_float(query_score_arg, &query_score))
        return -1;
    if (!pyhost::check_dict(channel_snapshot, "channel_snapshot")) return -1;
    PyObject* module = module_of_type(Py_TYPE(self));
    if (module == nullptr) return -1;
    return event_fill(state_of(module), module, as_event(self), device_id, timestamp, count.get(), dominant_outcome,
                      confidence, query_score, channel_snapshot)
               ? 0
               : -1;
}

PyObject* event_to_dict(PyObject* self) {
    PyObject* module = module_of_type(Py_TYPE(self));
    if (module == nullptr) return nullptr;
    return event_to_dict_impl(state_of(module), self);
}

// Copying and pickling: the default protocol makes a bare object with
// __new__ and hands it this state, so an event comes back with its own
// detected_at, and a subclass's extra attributes come with it.
PyObject* event_getstate(PyObject* self) {
    Ref state = Ref::steal(event_to_dict(self));
    if (!state) return nullptr;
    // Only subclasses have an instance dict.
    Ref extra = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!extra) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    } else if (PyDict_Check(extra.get()) && PyDict_Update(state.get(), extra.get()) < 0) {
        return nullptr;
    }
    return state.release();
}

PyObject* event_setstate(PyObject* self, PyObject* state) {
    if (!pyhost::check_dict(state, "state")) return nullptr;
    Ref items = Ref::steal(PyDict_Items(state));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef event_methods[] = {
    pyhost::def<"to_dict", event_to_dict, "", "The event as a new dict of its eight fields, in declaration order.">(),
    pyhost::def<"__getstate__", event_getstate, "", "">(),
    pyhost::def<"__setstate__", event_setstate, "state", "">(),
    {nullptr, nullptr, 0, nullptr},
};

#define EVENT_GETSET(field, kind) \
    pyhost::getset<event_get, event_set>(#field, nullptr, const_cast<EventField*>(&kEventFields[K_##field])),
PyGetSetDef event_getset[] = {EVENT_FIELDS(EVENT_GETSET){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef EVENT_GETSET

PyMemberDef event_members[] = {PYHOST_WEAK_MEMBERS(EventObject, weakrefs)};

PyType_Slot event_slots[] = {
    pyhost::init<
        event_init,
        "device_id, timestamp, similar_episode_count, dominant_outcome, confidence, query_score, channel_snapshot">(),
    PYHOST_OWNING_TYPE_SLOTS(EventRefs, event),
    {Py_tp_doc, const_cast<char*>("AnomalyEvent(device_id, timestamp, similar_episode_count, dominant_outcome, "
                                  "confidence, query_score, channel_snapshot)\n--\n\n"
                                  "One detected anomaly: the hits of a similarity query agreed on an\n"
                                  "unhealthy outcome. detected_at is the wall-clock time of creation.")},
    {0, nullptr},
};

PyType_Spec event_spec = pyhost::gc_type_spec<EventObject>("orvane.brenlow.detector.AnomalyEvent", event_slots);

}  // namespace orvane_detector
