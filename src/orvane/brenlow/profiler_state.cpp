// Saving and restoring profiles: the state of a ChannelStats and of a
// StatisticalProfiler as plain data, for pickle, copy and the command line's
// saved profiles.
//
// A state is a dict of plain values (str, int, float, None, lists, dicts)
// carrying "version"; everything a later reading or snapshot depends on is in
// it, so a restored object fed the same readings gives the same records, bit
// for bit. The profiler's state is read under its lock; a restored profiler
// gets a lock of its own. A state is checked in full before anything
// changes, so a bad one leaves the object as it was.
//
// ChannelStats state (version 1), in this key order:
//   version, name, count, min_val, max_val, mean, M2, prev_value, delta_sum,
//   delta_count, outlier_count, window (values, oldest first),
//   window_capacity (None: unbounded), attributes (the instance __dict__)
// and, for a subclass's instance inside a profiler's state, type.
//
// StatisticalProfiler state (version 1):
//   version, device_id, total_observations,
//   channels: [[name, channel], ...] in the order of `channels`, where the
//     channel is a ChannelStats state (our type or a subclass) or, for any
//     other object, the object itself,
//   attributes (the instance __dict__).
#include "profiler_internal.hpp"

namespace orvane_profiler {

namespace {

constexpr long kStateVersion = 1;

// A ChannelStats copied field by field: what its state holds.
struct SavedChannel : ChannelState {
    Ref type;  // set only for a subclass's instance
    Ref name;
    Ref attributes;  // a copy of the instance __dict__
};

// A copy of an instance __dict__; a new dict when there is none yet.
Ref copy_attributes(PyObject* dict) { return Ref::steal(dict != nullptr ? PyDict_Copy(dict) : PyDict_New()); }

// Adds saved attributes to the instance __dict__.
bool restore_attributes(PyObject* o, PyObject* attributes) {
    if (PyDict_GET_SIZE(attributes) == 0) return true;
    Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
    return dict && PyDict_Update(dict.get(), attributes) == 0;
}

bool save_channel(PyObject* o, bool with_type, SavedChannel& out) {
    ChannelStatsObject* self = as_stats(o);
    if (!require_name(self)) return false;
    if (with_type) out.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    out.name = Ref::borrow(self->name);
    out.attributes = copy_attributes(self->dict);
    if (!out.attributes) return false;
    static_cast<ChannelState&>(out) = capture_state(self);
    return true;
}

PyObject* channel_state_record(const SavedChannel& c) {
    Ref window = Ref::steal(float_list(c.window));
    Ref capacity = Ref::steal(capacity_object(c.capacity));
    Ref prev = Ref::steal(c.has_prev ? PyFloat_FromDouble(c.prev_value) : Py_NewRef(Py_None));
    if (!window || !capacity || !prev) return nullptr;
    // Py_BuildValue inserts the keys in the order written.
    Ref d = Ref::steal(Py_BuildValue(
        "{sl,sO,sn,sd,sd,sd,sd,sO,sd,sn,sn,sO,sO,sO}", "version", kStateVersion, "name", c.name.get(), "count", c.count,
        "min_val", c.min_val, "max_val", c.max_val, "mean", c.mean, "M2", c.M2, "prev_value", prev.get(), "delta_sum",
        c.delta_sum, "delta_count", c.delta_count, "outlier_count", c.outlier_count, "window", window.get(),
        "window_capacity", capacity.get(), "attributes", c.attributes.get()));
    if (d && c.type && PyDict_SetItemString(d.get(), "type", c.type.get()) < 0) return nullptr;
    return d.release();
}

// ---- reading a state -------------------------------------------------------

// state[key] into *out; false with an error set when it is missing or, with
// `type` given, when it is not exactly of that type.
bool read_entry(PyObject* state, const char* what, const char* key, PyTypeObject* type, Ref* out) {
    PyObject* v = PyDict_GetItemString(state, key);
    if (v == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s state has no '%s' entry", what, key);
        return false;
    }
    if (type != nullptr && !Py_IS_TYPE(v, type)) {
        // "a str", "a dict", "a list", "an int"
        PyErr_Format(PyExc_TypeError, "%s state: '%s' must be %s %s, not %.200s", what, key,
                     type == &PyLong_Type ? "an" : "a", type->tp_name, Py_TYPE(v)->tp_name);
        return false;
    }
    *out = Ref::borrow(v);
    return true;
}

bool read_version(PyObject* state, const char* what) {
    if (!PyDict_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "%s state must be a dict, not %.200s", what, Py_TYPE(state)->tp_name);
        return false;
    }
    Ref v;
    if (!read_entry(state, what, "version", nullptr, &v)) return false;
    if (!PyLong_CheckExact(v.get()) || PyLong_AsLong(v.get()) != kStateVersion) {
        PyErr_Clear();
        Ref text = Ref::steal(PyObject_Repr(v.get()));
        if (!text) return false;
        PyErr_Format(PyExc_ValueError, "%s state version %U is not supported (this orvane reads version %ld)", what,
                     text.get(), kStateVersion);
        return false;
    }
    return true;
}

bool read_count(PyObject* state, const char* what, const char* key, Py_ssize_t* out) {
    Ref v;
    if (!read_entry(state, what, key, &PyLong_Type, &v)) return false;
    *out = PyLong_AsSsize_t(v.get());
    return !(*out == -1 && PyErr_Occurred());
}

bool read_double(PyObject* v, const char* what, const char* key, double* out) {
    if (PyFloat_CheckExact(v)) {
        *out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        *out = PyLong_AsDouble(v);
        return !(*out == -1.0 && PyErr_Occurred());
    }
    PyErr_Format(PyExc_TypeError, "%s state: '%s' must be a float, not %.200s", what, key, Py_TYPE(v)->tp_name);
    return false;
}

bool read_float(PyObject* state, const char* what, const char* key, double* out) {
    Ref v;
    return read_entry(state, what, key, nullptr, &v) && read_double(v.get(), what, key, out);
}

// Reads and checks a ChannelStats state (type excepted).
bool read_channel(PyObject* state, SavedChannel& c) {
    const char* w = "ChannelStats";
    Ref prev, cap, window;
    if (!read_version(state, w) || !read_entry(state, w, "name", &PyUnicode_Type, &c.name) ||
        !read_count(state, w, "count", &c.count) || !read_float(state, w, "min_val", &c.min_val) ||
        !read_float(state, w, "max_val", &c.max_val) || !read_float(state, w, "mean", &c.mean) ||
        !read_float(state, w, "M2", &c.M2) || !read_float(state, w, "delta_sum", &c.delta_sum) ||
        !read_count(state, w, "delta_count", &c.delta_count) ||
        !read_count(state, w, "outlier_count", &c.outlier_count) ||
        !read_entry(state, w, "attributes", &PyDict_Type, &c.attributes) ||
        !read_entry(state, w, "prev_value", nullptr, &prev))
        return false;
    c.has_prev = prev.get() != Py_None;
    if (c.has_prev && !read_double(prev.get(), w, "prev_value", &c.prev_value)) return false;

    if (!read_entry(state, w, "window_capacity", nullptr, &cap)) return false;
    if (cap.get() != Py_None && !PyLong_CheckExact(cap.get())) {
        PyErr_Format(PyExc_TypeError, "%s state: 'window_capacity' must be an int or None, not %.200s", w,
                     Py_TYPE(cap.get())->tp_name);
        return false;
    }
    c.capacity = cap.get() == Py_None ? ChannelWindow::kUnbounded : PyLong_AsSsize_t(cap.get());
    if (c.capacity < 0 && cap.get() != Py_None) {
        // OverflowError already set, or a negative capacity
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s state: 'window_capacity' must not be negative", w);
        return false;
    }
    if (!read_entry(state, w, "window", &PyList_Type, &window)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(window.get());
    if (c.capacity != ChannelWindow::kUnbounded && n > c.capacity) {
        PyErr_Format(PyExc_ValueError, "%s state: the window holds %zd values, more than its capacity %zd", w, n,
                     c.capacity);
        return false;
    }
    c.window.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!read_double(PyList_GET_ITEM(window.get(), i), w, "window", &c.window[static_cast<std::size_t>(i)]))
            return false;
    if (c.count < 0 || c.delta_count < 0 || c.outlier_count < 0) {
        PyErr_Format(PyExc_ValueError, "%s state: counts must not be negative", w);
        return false;
    }
    return true;
}

// Applies a checked state; only the attributes can fail (or memory, at the
// boundary, before anything has changed).
bool apply_channel(PyObject* o, const SavedChannel& c) {
    ChannelStatsObject* self = as_stats(o);
    restore_state(self, c);
    Py_XSETREF(self->name, Py_NewRef(c.name.get()));
    return restore_attributes(o, c.attributes.get());
}

}  // namespace

// ---- ChannelStats ----------------------------------------------------------------

PyObject* stats_getstate(PyObject* o) {
    SavedChannel c;
    return save_channel(o, false, c) ? channel_state_record(c) : nullptr;
}

PyObject* stats_setstate(PyObject* o, PyObject* state) {
    SavedChannel c;
    if (!read_channel(state, c) || !apply_channel(o, c)) return nullptr;
    Py_RETURN_NONE;
}

// __reduce__: (copyreg.__newobj__, (type(self),), self.__getstate__()), so
// that every pickle protocol and the copy module take the same road.
PyObject* state_reduce(PyObject* o) {
    Ref newobj = pyhost::import_from("copyreg", "__newobj__");
    if (!newobj) return nullptr;
    Ref state = Ref::steal(PyObject_CallMethod(o, "__getstate__", nullptr));
    if (!state) return nullptr;
    return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(o)), state.get());
}

// ---- StatisticalProfiler -----------------------------------------------------------

PyObject* profiler_getstate(PyObject* o) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    ProfilerObject* self = as_profiler(o);

    struct Saved {
        Ref name;
        Ref other;  // a channel that is not a ChannelStats
        SavedChannel channel;
    };
    std::vector<Saved> saved;
    Ref device_id, attributes;
    Py_ssize_t total;
    {
        // Everything is copied under the lock; the records are built after.
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        if (self->device_id == nullptr) return pyhost::missing_attribute(o, "device_id");
        device_id = Ref::borrow(self->device_id);
        total = self->total_observations.load(std::memory_order_relaxed);
        for (auto& [name, channel] : channel_items(self)) {
            Saved& s = saved.emplace_back();
            s.name = name;
            if (!PyObject_TypeCheck(channel.get(), st->stats_type))
                s.other = channel;
            else if (!save_channel(channel.get(), !Py_IS_TYPE(channel.get(), st->stats_type), s.channel))
                return nullptr;
        }
        attributes = copy_attributes(self->dict);
        if (!attributes) return nullptr;
    }

    Ref channels = Ref::steal(PyList_New(0));
    if (!channels) return nullptr;
    for (const Saved& s : saved) {
        Ref value = s.other ? s.other : Ref::steal(channel_state_record(s.channel));
        Ref pair = Ref::steal(value ? Py_BuildValue("[OO]", s.name.get(), value.get()) : nullptr);
        if (!pair || PyList_Append(channels.get(), pair.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{sl,sO,sn,sO,sO}", "version", kStateVersion, "device_id", device_id.get(),
                         "total_observations", total, "channels", channels.get(), "attributes", attributes.get());
}

PyObject* profiler_setstate(PyObject* o, PyObject* state) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    const char* w = "StatisticalProfiler";
    Ref device_id, attributes, pairs;
    Py_ssize_t total;
    if (!read_version(state, w) || !read_entry(state, w, "device_id", &PyUnicode_Type, &device_id) ||
        !read_count(state, w, "total_observations", &total) ||
        !read_entry(state, w, "attributes", &PyDict_Type, &attributes))
        return nullptr;
    if (total < 0) {
        PyErr_Format(PyExc_ValueError, "%s state: 'total_observations' must not be negative", w);
        return nullptr;
    }
    if (!read_entry(state, w, "channels", &PyList_Type, &pairs)) return nullptr;

    // The new channels, built in full before the profiler changes.
    Ref channels = Ref::steal(PyDict_New());
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!channels || !no_args) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(pairs.get(), i));
        if (!(PyList_CheckExact(pair.get()) || PyTuple_CheckExact(pair.get())) ||
            PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "%s state: each entry of 'channels' must be a [name, channel] pair", w);
            return nullptr;
        }
        Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
        Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
        Ref channel = value;
        if (PyDict_CheckExact(value.get())) {
            SavedChannel c;
            if (!read_channel(value.get(), c)) return nullptr;
            PyObject* given_type = PyDict_GetItemString(value.get(), "type");
            Ref type = Ref::borrow(given_type ? given_type : reinterpret_cast<PyObject*>(st->stats_type));
            PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
            if (!PyType_Check(type.get()) || !PyType_IsSubtype(tp, st->stats_type)) {
                PyErr_Format(PyExc_TypeError, "%s state: a channel's 'type' must be a ChannelStats subclass", w);
                return nullptr;
            }
            channel = Ref::steal(tp->tp_new(tp, no_args.get(), nullptr));
            if (!channel) return nullptr;
            if (!PyObject_TypeCheck(channel.get(), st->stats_type)) {
                PyErr_Format(PyExc_TypeError, "%s state: %.200s.__new__ made no ChannelStats", w, tp->tp_name);
                return nullptr;
            }
            if (!apply_channel(channel.get(), c)) return nullptr;
        }
        if (PyDict_SetItem(channels.get(), name.get(), channel.get()) < 0) return nullptr;
    }

    ProfilerObject* self = as_profiler(o);
    {
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        Py_XSETREF(self->device_id, Py_NewRef(device_id.get()));
        Py_XSETREF(self->channels, channels.release());
        self->total_observations.store(total, std::memory_order_relaxed);
    }
    if (!restore_attributes(o, attributes.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace orvane_profiler
