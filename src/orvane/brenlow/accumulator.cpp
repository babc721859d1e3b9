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
#include "accumulator_internal.hpp"

namespace orvane_accumulator {

// ---------------------------------------------------------------------------
// Batching and posting
// ---------------------------------------------------------------------------

// ACCUMULATOR_FLUSH_MAX_AGE_S > 0 and now - _last_flush_ts >= float(it).
int age_due(ModuleState* st, PyObject* module, double now, double last_flush) {
    pyhost::Constant max_age;
    if (!max_age.load(module, st->ACCUMULATOR_FLUSH_MAX_AGE_S, st->cached_max_age, st->watch)) return -1;
    int positive;
    if (max_age.is_other()) {  // `max_age > 0` with its own operator
        Ref zero = Ref::steal(PyLong_FromLong(0));
        positive = zero ? PyObject_RichCompareBool(max_age.object(), zero.get(), Py_GT) : -1;
    } else {
        positive = max_age.compare_count(0, Py_LT);
    }
    double limit;
    if (positive <= 0) return positive;
    return max_age.to_double(&limit) ? now - last_flush >= limit : -1;
}

// Hands the pending episodes to a new posting thread. The caller holds _lock.
PyObject* flush_locked(ModuleState* st, PyObject* self, bool has_now, double now) {
    AccumulatorObject* acc = as_acc(self);
    Ref pending = pyhost::member(self, acc->pending_batch, "pending_batch");
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
        thread = pyhost::call_kw(thread_type, st->kw_thread, target, thread_args, Py_True);
        if (thread && exit_batch_handed(st, thread.get(), batch.get(), acc->device_id ? acc->device_id : Py_None)) {
            started = Ref::steal(PyObject_CallMethodNoArgs(thread.get(), st->start));
            if (!started) exit_batch_dropped(st, batch.get());
        }
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
        Ref brain = pyhost::member(self, acc->brain, "brain");
        device_id = brain ? pyhost::member(self, acc->device_id, "device_id") : Ref();
        if (device_id) {
            Ref result;
            try {
                result = pyhost::call_method_kw(brain, st->ingest, st->kw_device_id, batch, device_id);
            } catch (...) {
                // Before 3.14 a daemon thread that wants the GIL back while
                // the interpreter finalizes is ended by an unwind (one with
                // no C++ exception object), without the GIL: what it holds
                // is left to the process's end rather than released here,
                // racing the finalizing thread.
                if (!std::current_exception()) {
                    brain.release();
                    device_id.release();
                }
                throw;
            }
            // A batch the exit hook has given up on was reported there.
            const bool ours = exit_batch_done(st, batch);
            if (result && add_ingested(acc->total_ingested, n)) Py_RETURN_NONE;
            if (!ours && PyErr_ExceptionMatches(PyExc_Exception)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    device_id = pyhost::member(self, acc->device_id, "device_id");
    if (!device_id || !write_failure_line(st, device_id.get(), nullptr)) return nullptr;
    Py_RETURN_NONE;
}

// Writes "[ACCUMULATOR] Batch ingest failed for <device>: <message>" to
// sys.stdout; without a message, the str() of the exception being raised.
bool write_failure_line(ModuleState* st, PyObject* device_id, PyObject* message) {
    Ref text = Ref::borrow(message);
    if (!text) {  // the exception being raised, taken
        Ref exc = SavedError().take();
        if (!(text = Ref::steal(PyObject_Str(exc.get())))) return false;
    }
    Ref device_text = Ref::steal(PyObject_Str(device_id));
    if (!device_text) return false;
    Ref line = concat("[ACCUMULATOR] Batch ingest failed for ", device_text.get(), ": ", text.get(), "\n");
    if (!line) return false;
    // One write per line, so that lines of threads failing together never
    // interleave; print() would write the newline separately.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    if (out.get() == Py_None) return true;
    Ref written = Ref::steal(PyObject_CallMethodOneArg(out.get(), st->write, line.get()));
    return static_cast<bool>(written);
}

// 1 when ordinary method lookup of _build_episode (which 0) or _flush_locked
// (which 1) on `self` finds our own method as the type was made with it:
// then calling the C++ code directly is that same call. 0 when a subclass,
// a patched class attribute, an instance attribute or a custom attribute
// hook would take over; -1 on error. A type's answer is remembered with its
// version tag, which the interpreter clears whenever the type or a base
// changes (tags are never reused).
int finds_own_method(ModuleState* st, PyObject* self, int which) {
    PyObject* const name = which ? st->_flush_locked : st->_build_episode;
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
    PyObject* dict = as_acc(self)->dict;
    if (dict != nullptr && PyDict_GET_SIZE(dict) > 0) {
        if (PyDict_GetItemWithError(dict, name) != nullptr) return 0;
        if (PyErr_Occurred()) return -1;
    }
    ModuleState::OwnMethods& known = st->own_methods[which];
    if (type == known.type && type->tp_version_tag != 0 && type->tp_version_tag == known.version) return 1;
    // A method descriptor looked up on its type is the descriptor itself.
    Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (found.get() != (which ? st->own_flush_locked : st->own_build_episode)) return 0;
    if (Py_IS_TYPE(type, &PyType_Type)) known = {type, type->tp_version_tag};  // no metaclass code ran
    return 1;
}

PyObject* observe(ModuleState* st, PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* context) {
    AccumulatorObject* acc = as_acc(self);
    Ref lock = pyhost::member(self, acc->lock, "_lock");
    if (!lock) return nullptr;
    pyhost::LockGuard guard(mutex_of(lock.get()));
    if (!guard.ok()) return nullptr;

    Ref window = pyhost::member(self, acc->window, "window");
    if (!window) return nullptr;
    Ref reading = record(st->layout_reading, {{st->timestamp, timestamp}, {st->payload, payload}});
    if (!reading) return nullptr;
    if (!pyhost::call_method(window, st->append, reading)) return nullptr;

    Ref episode;
    const int own_build = finds_own_method(st, self, 0);
    if (own_build < 0) return nullptr;
    if (own_build) {
        episode = Ref::steal(build_episode(st, self, timestamp, payload, context));
    } else {
        episode = pyhost::call_method_kw(self, st->_build_episode, st->kw_context, timestamp, payload, context);
    }
    if (!episode) return nullptr;

    if (acc->total_episodes == LLONG_MAX) {
        PyErr_SetString(PyExc_OverflowError, "total_episodes is too large");
        return nullptr;
    }
    Ref pending = pyhost::member(self, acc->pending_batch, "pending_batch");
    if (!pending || PyList_Append(pending.get(), episode.get()) < 0) return nullptr;
    acc->total_episodes += 1;

    PyObject* module = PyType_GetModule(st->accumulator_type);
    double now;
    if (!wall_clock(st, module, &now)) return nullptr;
    pyhost::Constant batch_size;  // len(pending_batch) >= it, compared as Python compares
    if (!batch_size.load(module, st->ACCUMULATOR_BATCH_SIZE, st->cached_batch_size, st->watch)) return nullptr;
    const int due_batch = batch_size.compare_count(PyList_GET_SIZE(pending.get()), Py_GE);
    if (due_batch < 0) return nullptr;
    const int due_age = age_due(st, module, now, acc->last_flush_ts);
    if (due_age < 0) return nullptr;
    if (due_batch || due_age) {
        const int own_flush = finds_own_method(st, self, 1);
        if (own_flush < 0) return nullptr;
        Ref r;
        if (own_flush) {
            r = Ref::steal(flush_locked(st, self, true, now));
        } else {
            r = pyhost::call_method_kw(self, st->_flush_locked, st->kw_now_ts, Ref::steal(PyFloat_FromDouble(now)));
        }
        if (!r) return nullptr;
    }
    return episode.release();
}

// ---------------------------------------------------------------------------
// Python glue: methods
// ---------------------------------------------------------------------------

// observe and _build_episode take one reading, checked before any work.
template <PyObject* (*F)(ModuleState*, PyObject*, PyObject*, PyObject*, PyObject*)>
PyObject* meth_reading(PyObject* self, PyTypeObject* cls, PyObject* timestamp, PyObject* payload, PyObject* context) {
    if (context == nullptr) context = Py_None;
    if (!pyhost::check_str(timestamp, "timestamp") || !pyhost::check_dict(payload, "payload") ||
        !pyhost::check_dict(context, "context", /*allow_none=*/true))
        return nullptr;
    return F(state_of(cls), self, timestamp, payload, context);
}

PyObject* meth_flush(PyObject* self, PyTypeObject* cls) {
    ModuleState* st = state_of(cls);
    Ref lock = pyhost::member(self, as_acc(self)->lock, "_lock");
    if (!lock) return nullptr;
    pyhost::LockGuard guard(mutex_of(lock.get()));
    if (!guard.ok()) return nullptr;
    return pyhost::call_method(self, st->_flush_locked).release();
}

PyObject* meth_flush_locked(PyObject* self, PyTypeObject* cls, PyObject* now_ts) {
    ModuleState* st = state_of(cls);
    double now = 0.0;
    const bool has_now = now_ts != nullptr && now_ts != Py_None;
    if (has_now) {
        // Any number (float(x) decides, a complex fails there); anything
        // else is refused, even with __float__ or __index__.
        int number = PyFloat_Check(now_ts) || PyLong_Check(now_ts) ? 1 : PyObject_IsInstance(now_ts, st->number_abc);
        if (number < 0) return nullptr;
        if (number == 0) {
            pyhost::raise_arg_type("now_ts", "float", now_ts);
            return nullptr;
        }
        if (!pyhost::host_float(now_ts, &now)) return nullptr;
    }
    return flush_locked(st, self, has_now, now);
}

PyObject* meth_post_batch(PyObject* self, PyTypeObject* cls, PyObject* batch) {
    if (!pyhost::check_list(batch, "batch")) return nullptr;
    return post_batch(state_of(cls), self, batch);
}

PyMethodDef accumulator_methods[] = {
    pyhost::def<"observe", meth_reading<observe>, "timestamp, payload, context=None",
                "Record one reading: append it to the window, build its episode, queue\n"
                "it, and hand the queue to a posting thread when the batch is full or\n"
                "old enough. Returns the episode.">(),
    pyhost::def<"flush", meth_flush, "", "Hand every pending episode to a posting thread now.">(),
    pyhost::def<"_build_episode", meth_reading<build_episode>, "timestamp, payload, context=None",
                "The episode record of one reading, compared with the reading before it\n"
                "in the window.">(),
    pyhost::def<"_flush_locked", meth_flush_locked, "now_ts=None",
                "Take the pending batch and start its posting thread. The caller holds\n"
                "_lock.">(),
    pyhost::def<"_post_batch", meth_post_batch, "batch",
                "Send one batch to the client (the body of a posting thread); a failure\n"
                "is reported on standard output and the batch dropped.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Python glue: attributes
// ---------------------------------------------------------------------------

// Object fields: readable, writable and deletable as on a Python object;
// device_id and pending_batch keep their exact types.
template <PyObject* AccumulatorObject::* Member, auto Check = nullptr>
int set_object(PyObject* self, PyObject* value, void* name) {
    if (value != nullptr) {
        if constexpr (!std::is_null_pointer_v<decltype(Check)>)
            if (!Check(value, static_cast<const char*>(name), false)) return -1;
    } else if (as_acc(self)->*Member == nullptr) {
        pyhost::missing_attribute(self, static_cast<const char*>(name));
        return -1;
    }
    Py_XSETREF(as_acc(self)->*Member, Py_XNewRef(value));
    return 0;
}

template <PyObject* AccumulatorObject::* Member, auto Check = nullptr>
PyGetSetDef object_getset(const char* name, const char* doc) {
    return pyhost::getset<pyhost::ObjectField<AccumulatorObject, Member>::get, set_object<Member, Check>>(
        name, doc, const_cast<char*>(name));
}

// The counters: ints held as native integers (total_ingested atomically).
long long load(const long long& v) { return v; }
long long load(const std::atomic<long long>& v) { return v.load(std::memory_order_relaxed); }

template <auto Member>
PyObject* get_count(PyObject* self, void*) {
    return PyLong_FromLongLong(load(as_acc(self)->*Member));
}

template <auto Member>
int set_count(PyObject* self, PyObject* value, void* name) {
    if (value == nullptr) return pyhost::refuse_delete(static_cast<const char*>(name));
    Ref v = pyhost::int_arg(value, static_cast<const char*>(name));
    if (!v) return -1;
    long long n = PyLong_AsLongLong(v.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    as_acc(self)->*Member = n;
    return 0;
}

template <auto Member>
PyGetSetDef count_getset(const char* name, const char* doc) {
    return pyhost::getset<get_count<Member>, set_count<Member>>(name, doc, const_cast<char*>(name));
}

PyGetSetDef accumulator_getset[] = {
    object_getset<&AccumulatorObject::brain>("brain", "The resolver client that batches are sent to."),
    object_getset<&AccumulatorObject::device_id, pyhost::check_str>("device_id", "The device this accumulator serves."),
    object_getset<&AccumulatorObject::window>("window", "The most recent readings, oldest first."),
    object_getset<&AccumulatorObject::pending_batch, pyhost::check_list>(
        "pending_batch", "Episodes not yet handed to a posting thread."),
    count_getset<&AccumulatorObject::total_episodes>("total_episodes", "Episodes built."),
    count_getset<&AccumulatorObject::total_ingested>("total_ingested", "Episodes in batches the client accepted."),
    pyhost::number_field<AccumulatorObject, &AccumulatorObject::last_flush_ts>("_last_flush_ts",
                                                                               "Wall-clock time of the last flush."),
    pyhost::getset<pyhost::ObjectField<AccumulatorObject, &AccumulatorObject::lock>::get>(
        "_lock", "The lock guarding this object's state.", const_cast<char*>("_lock")),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef accumulator_members[] = {PYHOST_DICT_WEAK_MEMBERS(AccumulatorObject, dict, weakrefs)};

// ---------------------------------------------------------------------------
// Python glue: construction and lifetime
// ---------------------------------------------------------------------------

PyObject* accumulator_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* module = pyhost::module_of(type, &moduledef);
    PyObject* self = module != nullptr ? type->tp_alloc(type, 0) : nullptr;  // zero-filled
    if (self == nullptr) return nullptr;
    new (&as_acc(self)->total_ingested) std::atomic<long long>(0);
    exit_track(state_of(module), as_acc(self));
    return self;
}

int accumulator_init(PyObject* self, PyObject* brain, PyObject* device_id) {
    if (!pyhost::check_str(device_id, "device_id")) return -1;
    PyObject* module = pyhost::module_of(self, &moduledef);
    if (module == nullptr) return -1;
    ModuleState* st = state_of(module);

    Ref deque = pyhost::module_global(module, st->deque);
    Ref maxlen = deque ? pyhost::module_global(module, st->ACCUMULATOR_WINDOW_SIZE) : Ref();
    Ref window = pyhost::call_kw(deque, st->kw_maxlen, maxlen);
    Ref pending = window ? Ref::steal(PyList_New(0)) : Ref();
    if (!pending) return -1;
    double now;
    if (!wall_clock(st, module, &now)) return -1;
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(pyhost::new_lock(st->lock_type)));
    if (!lock) return -1;

    AccumulatorObject* acc = as_acc(self);
    Py_XSETREF(acc->brain, Py_NewRef(brain));
    Py_XSETREF(acc->device_id, Py_NewRef(device_id));
    Py_XSETREF(acc->window, window.release());
    Py_XSETREF(acc->pending_batch, pending.release());
    acc->total_episodes = 0;
    acc->total_ingested.store(0, std::memory_order_relaxed);
    acc->last_flush_ts = now;
    Py_XSETREF(acc->lock, lock.release());
    return 0;
}

struct AccumulatorRefs : pyhost::Owns<AccumulatorObject, &AccumulatorObject::brain, &AccumulatorObject::device_id,
                                      &AccumulatorObject::window, &AccumulatorObject::pending_batch,
                                      &AccumulatorObject::lock, &AccumulatorObject::dict> {
    static void dealloc(PyObject* self) {
        exit_untrack(as_acc(self));
        as_acc(self)->total_ingested.~atomic();  // trivial: nothing reads it from here on
        pyhost::dealloc_gc(self, as_acc(self)->weakrefs, clear);
    }
};

PyType_Slot accumulator_slots[] = {
    pyhost::slot<Py_tp_new, accumulator_new>(),
    pyhost::init<accumulator_init, "brain, device_id">(),
    PYHOST_OWNING_TYPE_SLOTS(AccumulatorRefs, accumulator),
    {Py_tp_doc, const_cast<char*>("EpisodeAccumulator(brain, device_id)\n--\n\n"
                                  "Turns each reading of one device into an episode and sends the\n"
                                  "episodes to the resolver client in batches, on background threads.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec =
    pyhost::gc_type_spec<AccumulatorObject>("orvane.brenlow.accumulator.EpisodeAccumulator", accumulator_slots);

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

const char* const kConstants[] = {"ACCUMULATOR_WINDOW_SIZE", "ACCUMULATOR_BATCH_SIZE", "ACCUMULATOR_FLUSH_MAX_AGE_S",
                                  nullptr};

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
#define ACCUMULATOR_NAME(n) \
    if ((st->n = pyhost::intern(#n)) == nullptr) return -1;
#define ACCUMULATOR_TEXT(n, text) \
    if ((st->n = pyhost::intern(text)) == nullptr) return -1;
    ACCUMULATOR_NAMES(ACCUMULATOR_NAME)
    ACCUMULATOR_TEXTS(ACCUMULATOR_TEXT)
#undef ACCUMULATOR_NAME
#undef ACCUMULATOR_TEXT
    if ((st->kw_context = PyTuple_Pack(1, st->context)) == nullptr ||
        (st->kw_now_ts = PyTuple_Pack(1, st->now_ts)) == nullptr ||
        (st->kw_device_id = PyTuple_Pack(1, st->device_id)) == nullptr ||
        (st->kw_thread = PyTuple_Pack(3, st->target, st->args, st->daemon)) == nullptr ||
        (st->kw_maxlen = PyTuple_Pack(1, st->maxlen)) == nullptr)
        return -1;

    // Each layout: its keys in order, with the value every record starts
    // with (the constant ones stay; None marks one each record replaces).
    PyObject* const none = Py_None;
    auto layout = [](PyObject*& out, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
        return (out = record(nullptr, items).release()) != nullptr;
    };
    if (!layout(st->layout_reading, {{st->timestamp, none}, {st->payload, none}}) ||
        !layout(st->layout_episode, {{st->episode_id, none},
                                     {st->product, st->brenlow_sensor},
                                     {st->category, none},
                                     {st->state, none},
                                     {st->action, none},
                                     {st->outcome, none},
                                     {st->embeddings, none},
                                     {st->metadata, none}}) ||
        !layout(st->layout_state,
                {{st->description, none}, {st->context, none}, {st->timestamp, none}, {st->metadata, none}}) ||
        !layout(st->layout_state_metadata, {{st->channel_count, none}, {st->source_kind, st->empty}}) ||
        !layout(
            st->layout_action_sensor,
            {{st->description, st->action_sensor}, {st->steps, none}, {st->commands, none}, {st->metadata, none}}) ||
        !layout(st->layout_action_multimodal, {{st->description, st->action_multimodal},
                                               {st->steps, none},
                                               {st->commands, none},
                                               {st->metadata, none}}) ||
        !layout(st->layout_action_metadata, {{st->deltas, none}}) ||
        !layout(st->layout_outcome,
                {{st->result, st->pending}, {st->success, none}, {st->metrics, none}, {st->metadata, none}}) ||
        !layout(st->layout_outcome_metadata, {{st->pending, Py_True}, {st->device_id, none}}) ||
        !layout(st->layout_embeddings, {{st->text, none}}) ||
        !layout(st->layout_metadata, {{st->tags, none}, {st->source, st->edge_stream}}))
        return -1;

    if (pyhost::bind_constants(module, "orvane.config", kConstants) < 0) return -1;
    Ref deque = pyhost::import_from("collections", "deque");
    if (!deque || PyModule_AddObjectRef(module, "deque", deque.get()) < 0) return -1;
    for (const char* name : {"threading", "time"}) {
        Ref m = pyhost::import_from(name);
        if (!m || PyModule_AddObjectRef(module, name, m.get()) < 0) return -1;
    }
    if ((st->number_abc = pyhost::import_from("numbers", "Number").release()) == nullptr) return -1;

    st->lock_type = pyhost::make_lock_type(module, "orvane.brenlow.accumulator.Lock");
    if (st->lock_type == nullptr || PyModule_AddType(module, st->lock_type) < 0) return -1;
    if (pyhost::add_type(module, &accumulator_spec, &st->accumulator_type) < 0) return -1;
    PyObject* type = reinterpret_cast<PyObject*>(st->accumulator_type);
    if ((st->own_build_episode = PyObject_GetAttr(type, st->_build_episode)) == nullptr ||
        (st->own_flush_locked = PyObject_GetAttr(type, st->_flush_locked)) == nullptr)
        return -1;
    if (st->watch.start(module) < 0) return -1;
    return exit_setup(module) ? 0 : -1;
}

int ModuleState::traverse(visitproc visit, void* arg) {
    ACCUMULATOR_OWNED(PYHOST_VISIT_FIELD)
    if (int r = pyhost::visit_all(visit, arg, accumulator_type, lock_type)) return r;
    return exit_traverse(this, visit, arg);
}

void ModuleState::clear() {
    watch.stop();
    ACCUMULATOR_NAMES(PYHOST_CLEAR_FIELD)
    ACCUMULATOR_TEXTS(PYHOST_CLEAR_FIELD)
    ACCUMULATOR_OWNED(PYHOST_CLEAR_FIELD)
    pyhost::clear_all(accumulator_type, lock_type);
    exit_clear(this);
}

void ModuleState::release() { exit_free(this); }

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.brenlow.accumulator",
    "Episodes from device readings, batched and sent to the resolver on background threads.\n\n"
    "At interpreter exit, pending episodes are posted and batches in flight waited for, for at most\n"
    "EXIT_FLUSH_TIMEOUT_S seconds (default 5.0); a batch still undelivered then gets one failure line.",
    slots);
}  // namespace orvane_accumulator

PyMODINIT_FUNC PyInit_accumulator(void) { return PyModuleDef_Init(&orvane_accumulator::moduledef); }
