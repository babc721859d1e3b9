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

#include <string>

namespace orvane_profiler {

namespace {

constexpr long kStateVersion = 1;

// A ChannelStats copied field by field: what its state holds.
struct SavedChannel {
    Ref type;  // set only for a subclass's instance
    Ref name;
    Ref attributes;  // a copy of the instance __dict__, or null
    Py_ssize_t count = 0;
    double min_val = 0.0, max_val = 0.0, mean = 0.0, M2 = 0.0;
    bool has_prev = false;
    double prev_value = 0.0, delta_sum = 0.0;
    Py_ssize_t delta_count = 0, outlier_count = 0;
    std::vector<double> window;
    Py_ssize_t capacity = 0;
};

bool save_channel(PyObject* o, bool with_type, SavedChannel& out) {
    ChannelStatsObject* self = as_stats(o);
    if (!require_name(self)) return false;
    if (with_type) out.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    out.name = Ref::borrow(self->name);
    if (self->dict != nullptr) {
        out.attributes = Ref::steal(PyDict_Copy(self->dict));
        if (!out.attributes) return false;
    }
    out.count = self->count;
    out.min_val = self->min_val;
    out.max_val = self->max_val;
    out.mean = self->mean;
    out.M2 = self->M2;
    out.has_prev = self->has_prev;
    out.prev_value = self->prev_value;
    out.delta_sum = self->delta_sum;
    out.delta_count = self->delta_count;
    out.outlier_count = self->outlier_count;
    out.window = self->history.to_vector();
    out.capacity = self->history.capacity();
    return true;
}

bool put(PyObject* d, const char* key, Ref value) { return value && PyDict_SetItemString(d, key, value.get()) == 0; }
bool put_float(PyObject* d, const char* key, double v) { return put(d, key, Ref::steal(PyFloat_FromDouble(v))); }
bool put_ssize(PyObject* d, const char* key, Py_ssize_t v) { return put(d, key, Ref::steal(PyLong_FromSsize_t(v))); }

PyObject* channel_state_record(const SavedChannel& c) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    Ref window = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c.window.size())));
    if (!window) return nullptr;
    for (std::size_t i = 0; i < c.window.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(c.window[i]);
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(window.get(), static_cast<Py_ssize_t>(i), f);
    }
    Ref capacity =
        Ref::steal(c.capacity == ChannelWindow::kUnbounded ? Py_NewRef(Py_None) : PyLong_FromSsize_t(c.capacity));
    Ref attributes = Ref::steal(c.attributes ? Py_NewRef(c.attributes.get()) : PyDict_New());
    Ref prev = Ref::steal(c.has_prev ? PyFloat_FromDouble(c.prev_value) : Py_NewRef(Py_None));
    if (!put(d.get(), "version", Ref::steal(PyLong_FromLong(kStateVersion))) ||
        !put(d.get(), "name", Ref::borrow(c.name.get())) || !put_ssize(d.get(), "count", c.count) ||
        !put_float(d.get(), "min_val", c.min_val) || !put_float(d.get(), "max_val", c.max_val) ||
        !put_float(d.get(), "mean", c.mean) || !put_float(d.get(), "M2", c.M2) ||
        !put(d.get(), "prev_value", std::move(prev)) || !put_float(d.get(), "delta_sum", c.delta_sum) ||
        !put_ssize(d.get(), "delta_count", c.delta_count) || !put_ssize(d.get(), "outlier_count", c.outlier_count) ||
        !put(d.get(), "window", std::move(window)) || !put(d.get(), "window_capacity", std::move(capacity)) ||
        !put(d.get(), "attributes", std::move(attributes)))
        return nullptr;
    if (c.type && !put(d.get(), "type", Ref::borrow(c.type.get()))) return nullptr;
    return d.release();
}

// ---- reading a state -------------------------------------------------------

// state[key], borrowed; nullptr with an error set when it is missing.
PyObject* entry(PyObject* state, const char* what, const char* key) {
    PyObject* v = PyDict_GetItemString(state, key);
    if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s state has no '%s' entry", what, key);
    return v;
}

bool read_version(PyObject* state, const char* what) {
    if (!PyDict_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "%s state must be a dict, not %.200s", what, Py_TYPE(state)->tp_name);
        return false;
    }
    PyObject* v = entry(state, what, "version");
    if (v == nullptr) return false;
    if (!PyLong_CheckExact(v) || PyLong_AsLong(v) != kStateVersion) {
        PyErr_Clear();
        Ref text = Ref::steal(PyObject_Repr(v));
        if (!text) return false;
        PyErr_Format(PyExc_ValueError, "%s state version %U is not supported (this orvane reads version %ld)", what,
                     text.get(), kStateVersion);
        return false;
    }
    return true;
}

bool read_count(PyObject* state, const char* what, const char* key, Py_ssize_t* out) {
    PyObject* v = entry(state, what, key);
    if (v == nullptr) return false;
    if (!PyLong_CheckExact(v)) {
        PyErr_Format(PyExc_TypeError, "%s state: '%s' must be an int, not %.200s", what, key, Py_TYPE(v)->tp_name);
        return false;
    }
    *out = PyLong_AsSsize_t(v);
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
    PyObject* v = entry(state, what, key);
    return v != nullptr && read_double(v, what, key, out);
}

bool read_attributes(PyObject* state, const char* what, Ref* out) {
    PyObject* v = entry(state, what, "attributes");
    if (v == nullptr) return false;
    if (!PyDict_CheckExact(v)) {
        PyErr_Format(PyExc_TypeError, "%s state: 'attributes' must be a dict, not %.200s", what, Py_TYPE(v)->tp_name);
        return false;
    }
    *out = Ref::borrow(v);
    return true;
}

const char kChannelWhat[] = "ChannelStats";
const char kProfilerWhat[] = "StatisticalProfiler";

// Reads and checks a ChannelStats state (type excepted).
bool read_channel(PyObject* state, SavedChannel& c) {
    const char* w = kChannelWhat;
    if (!read_version(state, w)) return false;
    PyObject* name = entry(state, w, "name");
    if (name == nullptr) return false;
    if (!PyUnicode_CheckExact(name)) {
        PyErr_Format(PyExc_TypeError, "%s state: 'name' must be a str, not %.200s", w, Py_TYPE(name)->tp_name);
        return false;
    }
    c.name = Ref::borrow(name);
    if (!read_count(state, w, "count", &c.count) || !read_float(state, w, "min_val", &c.min_val) ||
        !read_float(state, w, "max_val", &c.max_val) || !read_float(state, w, "mean", &c.mean) ||
        !read_float(state, w, "M2", &c.M2) || !read_float(state, w, "delta_sum", &c.delta_sum) ||
        !read_count(state, w, "delta_count", &c.delta_count) ||
        !read_count(state, w, "outlier_count", &c.outlier_count) || !read_attributes(state, w, &c.attributes))
        return false;
    PyObject* prev = entry(state, w, "prev_value");
    if (prev == nullptr) return false;
    c.has_prev = prev != Py_None;
    if (c.has_prev && !read_double(prev, w, "prev_value", &c.prev_value)) return false;

    PyObject* cap = entry(state, w, "window_capacity");
    if (cap == nullptr) return false;
    if (cap == Py_None) {
        c.capacity = ChannelWindow::kUnbounded;
    } else if (!PyLong_CheckExact(cap)) {
        PyErr_Format(PyExc_TypeError, "%s state: 'window_capacity' must be an int or None, not %.200s", w,
                     Py_TYPE(cap)->tp_name);
        return false;
    } else {
        c.capacity = PyLong_AsSsize_t(cap);
        if (c.capacity == -1 && PyErr_Occurred()) return false;
        if (c.capacity < 0) {
            PyErr_Format(PyExc_ValueError, "%s state: 'window_capacity' must not be negative", w);
            return false;
        }
    }
    PyObject* window = entry(state, w, "window");
    if (window == nullptr) return false;
    if (!PyList_CheckExact(window)) {
        PyErr_Format(PyExc_TypeError, "%s state: 'window' must be a list, not %.200s", w, Py_TYPE(window)->tp_name);
        return false;
    }
    const Py_ssize_t n = PyList_GET_SIZE(window);
    if (c.capacity != ChannelWindow::kUnbounded && n > c.capacity) {
        PyErr_Format(PyExc_ValueError, "%s state: the window holds %zd values, more than its capacity %zd", w, n,
                     c.capacity);
        return false;
    }
    c.window.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!read_double(PyList_GET_ITEM(window, i), w, "window", &c.window[static_cast<std::size_t>(i)])) return false;
    if (c.count < 0 || c.delta_count < 0 || c.outlier_count < 0) {
        PyErr_Format(PyExc_ValueError, "%s state: counts must not be negative", w);
        return false;
    }
    return true;
}

// Applies a checked state; nothing here can fail but the attributes.
bool apply_channel(PyObject* o, const SavedChannel& c) {
    ChannelStatsObject* self = as_stats(o);
    try {
        self->history.assign(c.window, c.capacity);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    Py_XSETREF(self->name, Py_NewRef(c.name.get()));
    self->count = c.count;
    self->min_val = c.min_val;
    self->max_val = c.max_val;
    self->mean = c.mean;
    self->M2 = c.M2;
    self->has_prev = c.has_prev;
    self->prev_value = c.has_prev ? c.prev_value : 0.0;
    self->delta_sum = c.delta_sum;
    self->delta_count = c.delta_count;
    self->outlier_count = c.outlier_count;
    if (c.attributes && PyDict_GET_SIZE(c.attributes.get()) > 0) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
        if (!dict || PyDict_Update(dict.get(), c.attributes.get()) < 0) return false;
    }
    return true;
}

// __reduce__: (copyreg.__newobj__, (type(self),), self.__getstate__()), so
// that every pickle protocol and the copy module take the same road.
PyObject* reduce_with_state(PyObject* o) {
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref newobj = copyreg ? Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__")) : Ref();
    if (!newobj) return nullptr;
    Ref state = Ref::steal(PyObject_CallMethod(o, "__getstate__", nullptr));
    if (!state) return nullptr;
    return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(o)), state.get());
}

}  // namespace

// ---- ChannelStats ----------------------------------------------------------------

PyObject* stats_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"__getstate__", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    SavedChannel c;
    if (!save_channel(o, false, c)) return nullptr;
    return channel_state_record(c);
}

PyObject* stats_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"state"};
    static const pyhost::Signature sig{"__setstate__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    SavedChannel c;
    if (!read_channel(a[0], c) || !apply_channel(o, c)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* state_reduce(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"__reduce__", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    return reduce_with_state(o);
}

// ---- StatisticalProfiler -----------------------------------------------------------

PyObject* profiler_getstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pyhost::Signature sig{"__getstate__", nullptr, 0, 0, true};
    if (!pyhost::parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
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
        Ref channels = Ref::borrow(self->channels);
        saved.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(channels.get())));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(channels.get(), &pos, &k, &v)) {
            Saved s;
            s.name = Ref::borrow(k);
            int ours = PyObject_TypeCheck(v, st->stats_type);
            if (ours) {
                if (!save_channel(v, !Py_IS_TYPE(v, st->stats_type), s.channel)) return nullptr;
            } else {
                s.other = Ref::borrow(v);
            }
            saved.push_back(std::move(s));
        }
        if (self->dict != nullptr) {
            attributes = Ref::steal(PyDict_Copy(self->dict));
            if (!attributes) return nullptr;
        }
    }

    Ref channels = Ref::steal(PyList_New(static_cast<Py_ssize_t>(saved.size())));
    if (!channels) return nullptr;
    for (std::size_t i = 0; i < saved.size(); ++i) {
        Ref value = saved[i].other ? saved[i].other : Ref::steal(channel_state_record(saved[i].channel));
        if (!value) return nullptr;
        PyObject* pair = PyList_New(2);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(pair, 0, Py_NewRef(saved[i].name.get()));
        PyList_SET_ITEM(pair, 1, value.release());
        PyList_SET_ITEM(channels.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (!attributes) attributes = Ref::steal(PyDict_New());
    Ref d = Ref::steal(PyDict_New());
    if (!d || !put(d.get(), "version", Ref::steal(PyLong_FromLong(kStateVersion))) ||
        !put(d.get(), "device_id", device_id) || !put_ssize(d.get(), "total_observations", total) ||
        !put(d.get(), "channels", channels) || !put(d.get(), "attributes", attributes))
        return nullptr;
    return d.release();
}

PyObject* profiler_setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"state"};
    static const pyhost::Signature sig{"__setstate__", params, 1, 1, true};
    PyObject* a[1];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    PyObject* state = a[0];
    const char* w = kProfilerWhat;
    Ref keep_state = Ref::borrow(state);
    if (!read_version(state, w)) return nullptr;
    PyObject* device_id = entry(state, w, "device_id");
    if (device_id == nullptr) return nullptr;
    if (!PyUnicode_CheckExact(device_id)) {
        PyErr_Format(PyExc_TypeError, "%s state: 'device_id' must be a str, not %.200s", w,
                     Py_TYPE(device_id)->tp_name);
        return nullptr;
    }
    Ref keep_device_id = Ref::borrow(device_id);
    Py_ssize_t total;
    Ref attributes;
    if (!read_count(state, w, "total_observations", &total) || !read_attributes(state, w, &attributes)) return nullptr;
    if (total < 0) {
        PyErr_Format(PyExc_ValueError, "%s state: 'total_observations' must not be negative", w);
        return nullptr;
    }
    Ref pairs = Ref::borrow(entry(state, w, "channels"));
    if (!pairs) return nullptr;
    if (!PyList_CheckExact(pairs.get())) {
        PyErr_Format(PyExc_TypeError, "%s state: 'channels' must be a list, not %.200s", w,
                     Py_TYPE(pairs.get())->tp_name);
        return nullptr;
    }

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
        Ref channel;
        if (PyDict_CheckExact(value.get())) {
            SavedChannel c;
            if (!read_channel(value.get(), c)) return nullptr;
            PyTypeObject* type = st->stats_type;
            PyObject* given_type = PyDict_GetItemString(value.get(), "type");
            if (given_type != nullptr) {
                if (!PyType_Check(given_type) ||
                    !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(given_type), st->stats_type)) {
                    PyErr_Format(PyExc_TypeError, "%s state: a channel's 'type' must be a ChannelStats subclass", w);
                    return nullptr;
                }
                type = reinterpret_cast<PyTypeObject*>(given_type);
            }
            channel = Ref::steal(type->tp_new(type, no_args.get(), nullptr));
            if (!channel) return nullptr;
            if (!PyObject_TypeCheck(channel.get(), st->stats_type)) {
                PyErr_Format(PyExc_TypeError, "%s state: %.200s.__new__ made no ChannelStats", w, type->tp_name);
                return nullptr;
            }
            if (!apply_channel(channel.get(), c)) return nullptr;
        } else {
            channel = value;
        }
        if (PyDict_SetItem(channels.get(), name.get(), channel.get()) < 0) return nullptr;
    }

    ProfilerObject* self = as_profiler(o);
    {
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        Py_XSETREF(self->device_id, Py_NewRef(device_id));
        Py_XSETREF(self->channels, channels.release());
        self->total_observations.store(total, std::memory_order_relaxed);
    }
    if (PyDict_GET_SIZE(attributes.get()) > 0) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
        if (!dict || PyDict_Update(dict.get(), attributes.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace orvane_profiler
