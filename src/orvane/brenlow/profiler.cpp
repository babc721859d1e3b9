// Stream profiling: running statistics per channel and the per-device
// profiler with its snapshot, confidence and channel correlations.
//
// Every number this module reports must be bit-identical to what the same
// formulas give when Python evaluates them with float(), round(), sum(),
// math.cos, math.sin and math.sqrt. So the arithmetic below is written in
// Python's evaluation order, sums are the interpreter's compensated sum, and
// the libm functions that Python calls are called the same way (through
// pointers the compiler cannot fold or fuse, see LibmCalls).
//
// Values live natively: a channel keeps its recent values in a ring of
// doubles, and the cosines and sines of the periodicity score, which depend
// only on (k, t, n), are computed once per window length and shared by every
// channel of every profiler in the interpreter.
#include "profiler_internal.hpp"

namespace orvane_profiler {

// ---------------------------------------------------------------------------
// Channel correlations
// ---------------------------------------------------------------------------

// One qualifying channel's window and its name.
struct CorrelationSeries : CorrelationWindow {
    Ref name;
};

// Reads a window from a channel object that is not our own type, through
// its `history` attribute.
bool read_foreign_window(ModuleState* st, PyObject* channel, std::vector<double>& out) {
    Ref history = Ref::steal(PyObject_GetAttr(channel, st->names[kHistory]));
    return history && read_values(history.get(), nullptr, out);
}

// The pairwise correlations of the given windows (oldest first, each at
// least kMinCorrelationValues long), in order, rounded to 4 places.
PyObject* correlations_of(std::vector<CorrelationSeries>& series) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    if (series.size() < 2) return result.release();
    const std::size_t q = series.size();
    // Equal-length pairs are symmetric term by term, so the mirrored value
    // is the same double; keep each one to reuse it.
    std::vector<double> computed(q * q, 0.0);
    std::vector<char> known(q * q, 0);
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    if (!one) return nullptr;
    for (std::size_t i = 0; i < q; ++i) {
        Ref inner = Ref::steal(PyDict_New());
        if (!inner || PyDict_SetItem(result.get(), series[i].name.get(), inner.get()) < 0) return nullptr;
        const Py_ssize_t n = static_cast<Py_ssize_t>(series[i].values.size());
        for (std::size_t j = 0; j < q; ++j) {
            if (j == i) {
                if (PyDict_SetItem(inner.get(), series[i].name.get(), one.get()) < 0) return nullptr;
                continue;
            }
            if (static_cast<Py_ssize_t>(series[j].values.size()) < n) continue;
            double r;
            if (known[j * q + i]) {
                r = computed[j * q + i];
            } else {
                if (!pyhost::round_half_even(correlation_of(series[i].tail(n), series[j].tail(n)), 4, &r))
                    return nullptr;
                if (static_cast<Py_ssize_t>(series[j].values.size()) == n) {
                    computed[i * q + j] = r;
                    known[i * q + j] = 1;
                }
            }
            Ref f = Ref::steal(PyFloat_FromDouble(r));
            if (!f || PyDict_SetItem(inner.get(), series[j].name.get(), f.get()) < 0) return nullptr;
        }
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Statistical profiler
// ---------------------------------------------------------------------------

// Applies one payload; the caller holds the lock.
bool observe_locked(PyObject* module, ProfilerObject* self, PyObject* payload) {
    ModuleState* st = state_of(module);
    // Python code may set the total to the largest native value; the next
    // observation then fails instead of wrapping to a negative count.
    Py_ssize_t total = self->total_observations.load(std::memory_order_relaxed);
    do {
        if (PYHOST_UNLIKELY(total == PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "total_observations is too large");
            return false;
        }
    } while (!self->total_observations.compare_exchange_weak(total, total + 1, std::memory_order_relaxed));

    OutlierRule rule;
    bool rule_fresh = false;  // reloaded whenever Python code may have run
    const Py_ssize_t size = PyDict_GET_SIZE(payload);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(payload, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        double d;
        const bool plain_number = PyFloat_CheckExact(v) || PyLong_CheckExact(v);
        if (!plain_number) rule_fresh = false;
        if (!pyhost::host_float(value.get(), &d)) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                if (PyDict_GET_SIZE(payload) != size) goto changed;
                continue;
            }
            return false;
        }
        if (PyDict_GET_SIZE(payload) != size) goto changed;
        {
            Ref channels = Ref::borrow(self->channels);
            if (!PyUnicode_CheckExact(key.get())) rule_fresh = false;  // its __eq__ may run
            Ref channel = Ref::borrow(PyDict_GetItemWithError(channels.get(), key.get()));
            if (!channel) {
                if (PyErr_Occurred()) return false;
                // A new ChannelStats(name) in `channels`.
                channel = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(st->stats_type), key.get()));
                if (!channel || PyDict_SetItem(channels.get(), key.get(), channel.get()) < 0) return false;
            }
            if (Py_IS_TYPE(channel.get(), st->stats_type)) {
                ChannelStatsObject* cs = as_stats(channel.get());
                if (!stats_update(cs, d)) return false;
                if (!rule_fresh) {
                    if (!rule.load(module)) return false;
                    rule_fresh = true;
                }
                if (stats_check_outlier(module, cs, d, rule) < 0) return false;
                // A comparison with an unusual threshold may have run Python code.
                if (!rule.compares_natively()) rule_fresh = false;
            } else {
                rule_fresh = false;
                Ref f = Ref::steal(PyFloat_FromDouble(d));
                if (!f) return false;
                Ref r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), st->names[kUpdate], f.get()));
                if (!r) return false;
                r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), st->names[kCheckOutlier], f.get()));
                if (!r) return false;
            }
        }
        if (PyDict_GET_SIZE(payload) != size) goto changed;
    }
    return true;
changed:
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

PyObject* profiler_observe(PyObject* o, PyObject* payload) {
    if (!pyhost::check_dict(payload, "payload")) return nullptr;
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ProfilerObject* self = as_profiler(o);
    Ref keep_payload = Ref::borrow(payload);
    Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
    pyhost::LockGuard guard(self->lock->mutex);
    if (!guard.ok() || !observe_locked(module, self, payload)) return nullptr;
    Py_RETURN_NONE;
}

// confidence_score, with PROFILER_MIN_DATAPOINTS read now.
PyObject* get_confidence_score(PyObject* o, void*) {
    const Py_ssize_t total = as_profiler(o)->total_observations.load(std::memory_order_relaxed);
    if (total <= 0) return PyFloat_FromDouble(0.0);
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    pyhost::Constant minimum;
    if (!minimum.load(module, state_of(module)->names[kCfgMinDatapoints])) return nullptr;
    // ratio = total / max(minimum, 1), as Python computes it.
    double ratio;
    const bool total_exact = total <= kExactIntLimit;
    if (minimum.is_int() && total_exact && minimum.int_value() <= kExactIntLimit) {
        long long m = minimum.int_value() < 1 ? 1 : minimum.int_value();
        ratio = static_cast<double>(total) / static_cast<double>(m);
    } else if (minimum.is_float() && total_exact) {
        double m = minimum.float_value();
        ratio = 1.0 > m ? static_cast<double>(total) : static_cast<double>(total) / m;
    } else {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref t = Ref::steal(PyLong_FromSsize_t(total));
        if (!one || !t) return nullptr;
        int one_greater = PyObject_RichCompareBool(one.get(), minimum.object(), Py_GT);
        if (one_greater < 0) return nullptr;
        Ref r = Ref::steal(PyNumber_TrueDivide(t.get(), one_greater ? one.get() : minimum.object()));
        if (!r || !pyhost::real_float(r.get(), &ratio)) return nullptr;
    }
    double base = ratio / 4.0;
    if (base < 0.0) {
        PyErr_SetString(PyExc_ValueError, "negative number cannot be raised to a fractional power");
        return nullptr;
    }
    double raw = 1.0 - 1.0 / (1.0 + libm.pow(base, 1.5));
    double capped = 0.99 < raw ? 0.99 : raw, rounded;
    if (!pyhost::round_half_even(capped, 4, &rounded)) return nullptr;
    return PyFloat_FromDouble(rounded);
}

// Copies the qualifying windows under the lock and computes after releasing
// it (the copies are all the pass reads).
PyObject* compute_correlations(PyObject* o) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    ProfilerObject* self = as_profiler(o);
    std::vector<CorrelationSeries> series;
    {
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        for (auto& [name, channel] : channel_items(self)) {
            CorrelationSeries s;
            if (Py_IS_TYPE(channel.get(), st->stats_type))
                s.values = as_stats(channel.get())->history.to_vector();
            else if (!read_foreign_window(st, channel.get(), s.values))
                return nullptr;
            if (static_cast<Py_ssize_t>(s.values.size()) < kMinCorrelationValues) continue;
            s.name = name;
            series.push_back(std::move(s));
        }
    }
    return correlations_of(series);
}

// One channel as the snapshot copies it under the lock: our own type as its
// numeric state (its record is computed after the lock is released), any
// other object as the record its to_dict() returned.
struct SnapshotChannel {
    Ref name;
    Ref record;
    Ref channel_name;
    ChannelState state;
};

PyObject* profiler_snapshot(PyObject* o) {
    PyObject* module = module_of_type(Py_TYPE(o));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    ProfilerObject* self = as_profiler(o);
    const bool own_type = Py_IS_TYPE(o, st->profiler_type);

    std::vector<SnapshotChannel> copied;
    Py_ssize_t total;
    {
        Ref keep_lock = Ref::borrow(reinterpret_cast<PyObject*>(self->lock));
        pyhost::LockGuard guard(self->lock->mutex);
        if (!guard.ok()) return nullptr;
        for (auto& [name, channel] : channel_items(self)) {
            SnapshotChannel c;
            c.name = name;
            if (Py_IS_TYPE(channel.get(), st->stats_type)) {
                ChannelStatsObject* cs = as_stats(channel.get());
                if (!require_name(cs)) return nullptr;
                c.channel_name = Ref::borrow(cs->name);
                c.state = capture_state(cs);
            } else {
                c.record = Ref::steal(PyObject_CallMethodNoArgs(channel.get(), st->names[kToDict]));
                if (!c.record) return nullptr;
            }
            copied.push_back(std::move(c));
        }
        total = self->total_observations.load(std::memory_order_relaxed);
    }

    Ref records = Ref::steal(PyDict_New());
    if (!records) return nullptr;
    for (SnapshotChannel& c : copied) {
        if (!c.record) c.record = Ref::steal(channel_record(module, c.channel_name.get(), c.state));
        if (!c.record || PyDict_SetItem(records.get(), c.name.get(), c.record.get()) < 0) return nullptr;
    }

    if (self->device_id == nullptr) return pyhost::missing_attribute(o, "device_id");
    // The device id as it is now: a subclass's confidence_score or
    // compute_correlations may rebind it.
    Ref device_id = Ref::borrow(self->device_id);
    PyObject* const* k = st->names.at + kSnapshotKey0;
    Ref confidence = Ref::steal(own_type ? get_confidence_score(o, nullptr)
                                         : PyObject_GetAttr(o, k[2]));  // the key is the attribute's name
    if (!confidence) return nullptr;
    Ref correlations =
        Ref::steal(own_type ? compute_correlations(o) : PyObject_CallMethodNoArgs(o, st->names[kComputeCorrelations]));
    if (!correlations) return nullptr;
    return Py_BuildValue("{OOOnOOOnOOOO}", k[0], device_id.get(), k[1], total, k[2], confidence.get(), k[3],
                         PyDict_GET_SIZE(records.get()), k[4], records.get(), k[5], correlations.get());
}

// ---- StatisticalProfiler: Python glue ------------------------------------------

PyObject* profiler_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* module = module_of_type(type);
    if (module == nullptr) return nullptr;
    Ref channels = Ref::steal(PyDict_New());
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(pyhost::new_lock(state_of(module)->lock_type)));
    if (!channels || !lock) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    ProfilerObject* self = as_profiler(o);
    new (&self->total_observations) std::atomic<Py_ssize_t>(0);
    self->channels = channels.release();
    self->lock = reinterpret_cast<pyhost::LockObject*>(lock.release());
    return o;
}

int profiler_init(PyObject* o, PyObject* device_id) {
    if (!pyhost::check_str(device_id, "device_id")) return -1;
    Ref channels = Ref::steal(PyDict_New());
    if (!channels) return -1;
    ProfilerObject* self = as_profiler(o);
    Py_XSETREF(self->device_id, Py_NewRef(device_id));
    Py_XSETREF(self->channels, channels.release());
    self->total_observations.store(0, std::memory_order_relaxed);
    return 0;
}

int profiler_traverse(PyObject* o, visitproc visit, void* arg) {
    ProfilerObject* self = as_profiler(o);
    return pyhost::visit_all(visit, arg, Py_TYPE(o), self->dict, self->channels, self->lock);
}

int profiler_clear(PyObject* o) {
    ProfilerObject* self = as_profiler(o);
    Py_CLEAR(self->dict);
    // channels stays a dict while the object lives: emptying it breaks the
    // cycles it may be part of without leaving a state the methods reject.
    if (self->channels != nullptr) PyDict_Clear(self->channels);
    return 0;
}

void profiler_dealloc(PyObject* o) {
    pyhost::dealloc_gc(o, as_profiler(o)->weakrefs, [](PyObject* o) {
        ProfilerObject* self = as_profiler(o);
        pyhost::clear_all(self->dict, self->channels, self->device_id, self->lock);
        self->total_observations.~atomic();
        return 0;
    });
}

PyObject* get_total_observations(PyObject* o, void*) {
    return PyLong_FromSsize_t(as_profiler(o)->total_observations.load(std::memory_order_relaxed));
}
int set_total_observations(PyObject* o, PyObject* v, void*) {
    Py_ssize_t n;
    if (v == nullptr) return pyhost::refuse_delete("total_observations");
    if (!pyhost::ssize_arg(v, "total_observations", &n)) return -1;
    as_profiler(o)->total_observations.store(n, std::memory_order_relaxed);
    return 0;
}
PyObject* get_lock(PyObject* o, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(as_profiler(o)->lock)); }

PyGetSetDef profiler_getset[] = {
    pyhost::object_field<ProfilerObject, &ProfilerObject::device_id, pyhost::check_str>(
        "device_id", "The device whose stream this is."),
    pyhost::object_field<ProfilerObject, &ProfilerObject::channels, pyhost::check_dict>(
        "channels", "Channel name -> ChannelStats, in order of first appearance."),
    pyhost::getset<get_total_observations, set_total_observations>("total_observations", "Number of observe calls."),
    pyhost::getset<get_lock>("_lock", "The non-reentrant lock guarding the channels and the total."),
    pyhost::getset<get_confidence_score>("confidence_score",
                                         "Confidence in [0.0, 0.99] that grows with the number of observations."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef profiler_methods[] = {
    pyhost::def<"observe", profiler_observe, "payload",
                "Fold every numeric value of a payload into its channel, atomically.">(),
    pyhost::def<"compute_correlations", compute_correlations, "",
                "Pearson correlations between the recent windows of the channels.">(),
    pyhost::def<"snapshot", profiler_snapshot, "", "The device's snapshot record.">(),
    pyhost::def<"__getstate__", profiler_getstate, "", "The profile as plain data (read under the lock).">(),
    pyhost::def<"__setstate__", profiler_setstate, "state", "Restore a profile from __getstate__'s data.">(),
    pyhost::def<"__reduce__", state_reduce, "", "Pickle and copy through __getstate__.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef profiler_members[] = {PYHOST_DICT_WEAK_MEMBERS(ProfilerObject, dict, weakrefs)};

PyType_Slot profiler_slots[] = {
    {Py_tp_doc, const_cast<char*>("StatisticalProfiler(device_id)\n--\n\nThe statistical profile of one "
                                  "device's reading stream.")},
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    pyhost::init<profiler_init, "device_id">(),
    PYHOST_GC_TYPE_SLOTS(profiler),
    {0, nullptr},
};

PyType_Spec profiler_spec =
    pyhost::gc_type_spec<ProfilerObject>("orvane.brenlow.profiler.StatisticalProfiler", profiler_slots);

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

const char* const kConfigNames[] = {"PROFILER_CORRELATION_WINDOW", "PROFILER_MIN_DATAPOINTS", "PROFILER_OUTLIER_ZSCORE",
                                    "PROFILER_PERIODICITY_MIN_POINTS", nullptr};

// Passes the exception boundary: running out of memory raises MemoryError.
int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
    st->periodicity = new PeriodicityCache();
    if (pyhost::bind_constants(module, "orvane.config", kConfigNames) < 0) return -1;

    for (const char* host : {"math", "threading"}) {
        Ref m = pyhost::import_from(host);
        if (!m || PyModule_AddObjectRef(module, host, m.get()) < 0) return -1;
    }
    st->deque_type = pyhost::import_from("collections", "deque").release();
    if (st->deque_type == nullptr || PyModule_AddObjectRef(module, "deque", st->deque_type) < 0) return -1;

    if (st->names.init(kNameTexts) < 0) return -1;

    st->lock_type = pyhost::make_lock_type(module, "orvane.brenlow.profiler.Lock");
    if (st->lock_type == nullptr) return -1;
    if (pyhost::add_type(module, &stats_spec, &st->stats_type) < 0) return -1;
    return pyhost::add_type(module, &profiler_spec, &st->profiler_type);
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.brenlow.profiler", "Running statistics per channel and the per-device statistical profiler.", slots);

}  // namespace orvane_profiler

PyMODINIT_FUNC PyInit_profiler(void) { return PyModuleDef_Init(&orvane_profiler::moduledef); }
