// ChannelStats: the running statistics of one channel, their periodicity kernel and their Python type.
#include "profiler_internal.hpp"

namespace orvane_profiler {

// The periodicity score of a window (oldest first).
bool periodicity_of(PyObject* module, const std::vector<double>& window, double* out) {
    ModuleState* st = state_of(module);
    const Py_ssize_t n = static_cast<Py_ssize_t>(window.size());
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
    return pyhost::round_half_even(periodicity_ratio(window.data(), n, *st->periodicity), 4, out);
}

PyObject* float_list(const std::vector<double>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

bool read_values(PyObject* iterable, const char* argname, std::vector<double>& out) {
    // Through the iterator, holding each item: a value's __float__ may change
    // the list being read, as with deque(values, maxlen).
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        double d;
        if (!(argname ? pyhost::float_arg(item.get(), argname, &d) : pyhost::real_float(item.get(), &d))) return false;
        out.push_back(d);
    }
    return !PyErr_Occurred();
}

// record[keys[i]] = float(values[i]) for each value, in order.
bool set_floats(PyObject* record, PyObject* const* keys, std::initializer_list<double> values) {
    for (double v : values) {
        Ref f = Ref::steal(PyFloat_FromDouble(v));
        if (!f || PyDict_SetItem(record, *keys++, f.get()) < 0) return false;
    }
    return true;
}

// The channel record, in key order.
PyObject* channel_record(PyObject* module, PyObject* name, const ChannelState& s) {
    PyObject* const* k = state_of(module)->names.at + kChannelKey0;
    double sd, periodicity;
    if (!std_of(s, &sd) || !periodicity_of(module, s.window, &periodicity)) return nullptr;
    Ref rec = Ref::steal(PyDict_New());
    Ref count = Ref::steal(PyLong_FromSsize_t(s.count));
    if (!rec || !count || PyDict_SetItem(rec.get(), k[0], name) < 0 ||
        PyDict_SetItem(rec.get(), k[1], count.get()) < 0 ||
        !set_floats(rec.get(), k + 2,
                    {s.min_val, s.max_val, s.mean, variance_of(s), sd, value_range_of(s), mean_rate_of_change_of(s),
                     outlier_frequency_of(s), periodicity}))
        return nullptr;
    return rec.release();
}

// ---- ChannelStats: Python glue ------------------------------------------------

PyObject* stats_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    ChannelStatsObject* self = as_stats(o);
    new (&self->history) ChannelWindow();
    restore_state(self, ChannelState{});  // cannot throw: the window stays empty
    return o;
}

int stats_init(PyObject* o, PyObject* name) {
    if (!pyhost::check_str(name, "name")) return -1;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return -1;
    Ref maxlen = pyhost::module_global(module, state_of(module)->names[kCfgWindow]);
    ChannelState fresh;
    if (!maxlen || !read_window_capacity(maxlen.get(), &fresh.capacity)) return -1;
    ChannelStatsObject* self = as_stats(o);
    Py_XSETREF(self->name, Py_NewRef(name));
    restore_state(self, fresh);
    return 0;
}

int stats_traverse(PyObject* o, visitproc visit, void* arg) {
    return pyhost::visit_all(visit, arg, Py_TYPE(o), as_stats(o)->dict);
}

int stats_clear(PyObject* o) {
    Py_CLEAR(as_stats(o)->dict);
    return 0;
}

void stats_dealloc(PyObject* o) {
    pyhost::dealloc_gc(o, as_stats(o)->weakrefs, [](PyObject* o) {
        ChannelStatsObject* self = as_stats(o);
        pyhost::clear_all(self->dict, self->name);
        self->history.~ChannelWindow();
        return 0;
    });
}

PyObject* stats_update_method(PyObject* o, PyObject* value) {
    double v;
    // "must be real number, not T"
    if (!pyhost::real_float(value, &v) || !stats_update(as_stats(o), v)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stats_check_outlier_method(PyObject* o, PyObject* value) {
    double v;
    if (!pyhost::real_float(value, &v)) return nullptr;  // "must be real number, not T"
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    OutlierRule rule;
    if (!rule.load(module)) return nullptr;
    int r = stats_check_outlier(module, as_stats(o), v, rule);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// A record built through attribute lookup, for subclasses that may
// override the properties it reads.
PyObject* channel_record_from_attributes(PyObject* module, PyObject* o) {
    ModuleState* st = state_of(module);
    Ref rec = Ref::steal(PyDict_New());
    if (!rec) return nullptr;
    for (std::size_t i = 0; i < 11; ++i) {
        // Each key is the name of the attribute it reads, but for min and max.
        PyObject* attr = st->names[i == 2 ? kMinVal : i == 3 ? kMaxVal : kChannelKey0 + i];
        Ref v = Ref::steal(PyObject_GetAttr(o, attr));
        if (!v || PyDict_SetItem(rec.get(), st->names[kChannelKey0 + i], v.get()) < 0) return nullptr;
    }
    return rec.release();
}

PyObject* stats_to_dict(PyObject* o) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ChannelStatsObject* self = as_stats(o);
    if (Py_TYPE(o) != state_of(module)->stats_type) return channel_record_from_attributes(module, o);
    if (!require_name(self)) return nullptr;
    Ref name = Ref::borrow(self->name);
    return channel_record(module, name.get(), capture_state(self));
}

// ---- ChannelStats: attributes --------------------------------------------------

PyObject* get_prev_value(PyObject* o, void*) {
    ChannelStatsObject* self = as_stats(o);
    if (!self->has_prev) Py_RETURN_NONE;
    return PyFloat_FromDouble(self->prev_value);
}
int set_prev_value(PyObject* o, PyObject* v, void*) {
    if (v == nullptr) return pyhost::refuse_delete("prev_value");
    double d = 0.0;  // None: no previous value
    if (v != Py_None && !pyhost::float_arg(v, "prev_value", &d)) return -1;
    as_stats(o)->has_prev = v != Py_None;
    as_stats(o)->prev_value = d;
    return 0;
}

// history reads as a fresh deque(values, maxlen=capacity): a copy, since the
// window itself is kept as doubles.
PyObject* get_history(PyObject* o, void*) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    Ref list = Ref::steal(float_list(as_stats(o)->history.to_vector()));
    Ref maxlen = Ref::steal(capacity_object(as_stats(o)->history.capacity()));
    return pyhost::call(state_of(module)->deque_type, list, maxlen).release();
}

// Reads any iterable of real numbers; a deque also sets the capacity from
// its maxlen, anything else keeps the current capacity.
int set_history(PyObject* o, PyObject* v, void*) {
    if (v == nullptr) return pyhost::refuse_delete("history");
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
    std::vector<double> vals;
    if (!read_values(v, "history", vals)) return -1;
    self->history.assign(vals, capacity);
    return 0;
}

// A read-only value derived from the fields.
template <double (*Derive)(const ChannelStatsObject&)>
PyObject* get_derived(PyObject* o, void*) {
    return PyFloat_FromDouble(Derive(*as_stats(o)));
}
PyObject* get_std(PyObject* o, void*) {
    double sd;
    if (!std_of(*as_stats(o), &sd)) return nullptr;
    return PyFloat_FromDouble(sd);
}
PyObject* get_periodicity_score(PyObject* o, void*) {
    PyObject* module = module_of_type(Py_TYPE(o));
    double score;
    if (module == nullptr || !periodicity_of(module, as_stats(o)->history.to_vector(), &score)) return nullptr;
    return PyFloat_FromDouble(score);
}

// The numeric fields, through pyhost::number_field.
template <auto Field>
PyGetSetDef stats_field(const char* name, const char* doc) {
    return pyhost::number_field<ChannelStatsObject, Field>(name, doc);
}

PyGetSetDef stats_getset[] = {
    pyhost::object_field<ChannelStatsObject, &ChannelStatsObject::name, pyhost::check_str>(
        "name", "Channel name (the payload key)."),
    stats_field<&ChannelStatsObject::count>("count", "Number of values passed to update."),
    stats_field<&ChannelStatsObject::min_val>("min_val", "Smallest value seen."),
    stats_field<&ChannelStatsObject::max_val>("max_val", "Largest value seen."),
    stats_field<&ChannelStatsObject::mean>("mean", "Running mean."),
    stats_field<&ChannelStatsObject::M2>("M2", "Running sum of squared deviations from the mean."),
    pyhost::getset<get_prev_value, set_prev_value>("prev_value", "The previous value, or None."),
    stats_field<&ChannelStatsObject::delta_sum>("delta_sum", "Sum of absolute steps between consecutive values."),
    stats_field<&ChannelStatsObject::delta_count>("delta_count", "Number of steps."),
    stats_field<&ChannelStatsObject::outlier_count>("outlier_count",
                                                    "Number of check_outlier calls that found an outlier."),
    pyhost::getset<get_history, set_history>("history", "The most recent values, oldest first (a copy)."),
    pyhost::getset<get_derived<variance_of>>("variance", "Sample variance; 0.0 below two values."),
    pyhost::getset<get_std>("std", "Sample standard deviation."),
    pyhost::getset<get_derived<value_range_of>>("value_range", "max_val - min_val; 0.0 when empty."),
    pyhost::getset<get_derived<mean_rate_of_change_of>>("mean_rate_of_change", "Mean absolute step per reading."),
    pyhost::getset<get_derived<outlier_frequency_of>>("outlier_frequency", "outlier_count / count; 0.0 when empty."),
    pyhost::getset<get_periodicity_score>("periodicity_score",
                                          "Share of the strongest frequency bin in the window's amplitude spectrum."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stats_methods[] = {
    pyhost::def<"update", stats_update_method, "value", "Fold a value into the statistics and the window.">(),
    pyhost::def<"check_outlier", stats_check_outlier_method, "value",
                "True (and counted) when the value's z-score exceeds the threshold.">(),
    pyhost::def<"to_dict", stats_to_dict, "", "The channel's summary record.">(),
    pyhost::def<"__getstate__", stats_getstate, "", "The channel's statistics as plain data.">(),
    pyhost::def<"__setstate__", stats_setstate, "state", "Restore the statistics from __getstate__'s data.">(),
    pyhost::def<"__reduce__", state_reduce, "", "Pickle and copy through __getstate__.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef stats_members[] = {PYHOST_DICT_WEAK_MEMBERS(ChannelStatsObject, dict, weakrefs)};

PyType_Slot stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("ChannelStats(name)\n--\n\nRunning statistics of one channel.")},
    {Py_tp_new, reinterpret_cast<void*>(stats_new)},
    pyhost::init<stats_init, "name">(),
    PYHOST_GC_TYPE_SLOTS(stats),
    {0, nullptr},
};

PyType_Spec stats_spec = pyhost::gc_type_spec<ChannelStatsObject>("orvane.brenlow.profiler.ChannelStats", stats_slots);

}  // namespace orvane_profiler
