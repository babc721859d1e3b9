// Nothing lost at exit: an `atexit` hook that drains every live accumulator.
//
// Posting threads are daemon threads, so a normal interpreter exit would
// drop the episodes still pending and cut off batches being sent. The hook,
// registered with `atexit` when the module is executed (atexit callbacks run
// before daemon threads are stopped and before modules are torn down):
//
// 1. posts every live accumulator's pending episodes synchronously, on the
//    exiting thread, through `_post_batch` (the interpreter refuses new
//    threads at shutdown from 3.12 on);
// 2. waits for the posting threads still in flight, until
//    EXIT_FLUSH_TIMEOUT_S seconds have passed since the hook began;
// 3. writes one failure line, of the usual format and naming its count of
//    episodes, for each batch still undelivered then. Such a batch is marked
//    as reported, so its thread, should it finish later, writes no second
//    line.
//
// Everything lives in the module state, so each module object (another
// interpreter's, or one imported again) drains its own accumulators. The
// registry of live accumulators is weak: an accumulator enters it when it is
// made and leaves it when it is freed, and the registry never keeps one
// alive. Its memory is shared by the module and the accumulators, and freed
// by whichever lets go last. All of it is touched only with the GIL held.
#include "accumulator_internal.hpp"

#include <chrono>
#include <unordered_set>

namespace orvane_accumulator {

// A batch handed to a posting thread, until that thread has ended. Once the
// thread has its result (kDone) the batch is let go, so that it is freed on
// that thread, but the hook still waits for the thread: a daemon thread that
// is still winding down when the interpreter finalizes is ended there by
// thread exit, in the middle of our frames.
struct InFlight {
    Ref thread;
    Ref batch;  // null once done
    Ref device_id;
    Py_ssize_t episodes;  // as handed over
    enum : int { kRunning, kDone, kReported } status = kRunning;
};

struct ExitRegistry {
    std::size_t users = 1;  // the module, and every accumulator in `live`
    std::unordered_set<PyObject*> live;
    std::vector<InFlight> in_flight;
};

namespace {

constexpr double kDefaultTimeout = 5.0;

void release_registry(ExitRegistry* r) {
    if (--r->users == 0) delete r;
}

using Clock = std::chrono::steady_clock;

double seconds_until(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// The limit, read from the module namespace at exit. A value that is not a
// real number is reported and the default used: the drain matters more.
double exit_timeout(ModuleState* st, PyObject* module, PyObject* hook) {
    double limit = kDefaultTimeout;
    if (!pyhost::global_float(module, st->EXIT_FLUSH_TIMEOUT_S, &limit)) {
        PyErr_WriteUnraisable(hook);
        return kDefaultTimeout;
    }
    if (!(limit > 0.0)) return 0.0;  // negative or NaN: no waiting
    return limit;
}

// "[ACCUMULATOR] Batch ingest failed for <device>: <message>" where the
// batch never got an answer; reports its own failures as unraisable.
void report_undelivered(ModuleState* st, PyObject* hook, PyObject* device_id, Py_ssize_t episodes, const char* reason) {
    Ref message =
        Ref::steal(PyUnicode_FromFormat("%zd episode%s not delivered: %s", episodes, episodes == 1 ? "" : "s", reason));
    if (!message || !write_failure_line(st, device_id, message.get())) PyErr_WriteUnraisable(hook);
}

// Step 1 for one accumulator: take its pending episodes under its lock and
// post them here. False only for an interrupt, which ends the hook.
bool post_pending(ModuleState* st, PyObject* module, PyObject* hook, PyObject* self, Clock::time_point deadline,
                  const std::string& limit_text) {
    AccumulatorObject* acc = as_acc(self);
    if (acc->lock == nullptr || acc->pending_batch == nullptr || acc->device_id == nullptr) return true;
    Ref lock = Ref::borrow(acc->lock);
    Ref device_id = Ref::borrow(acc->device_id);
    double wait = seconds_until(deadline);
    int got = wait > 0.0 ? mutex_of(lock.get()).acquire_timed(true, std::min(wait, pyhost::Mutex::kMaxTimeout))
                         : mutex_of(lock.get()).acquire_timed(false, -1.0);
    if (got < 0) PyErr_Clear();  // held by this very thread: as good as taken by another
    if (got <= 0) {
        if (acc->pending_batch != nullptr && PyList_CheckExact(acc->pending_batch) &&
            PyList_GET_SIZE(acc->pending_batch) > 0) {
            std::string reason = "the accumulator stayed locked past the exit time limit of " + limit_text;
            report_undelivered(st, hook, device_id.get(), PyList_GET_SIZE(acc->pending_batch), reason.c_str());
        }
        return true;
    }
    Ref batch;
    {
        Ref pending = Ref::borrow(acc->pending_batch);
        Ref fresh = Ref::steal(PyList_New(0));
        double now = 0.0;
        if (pending && PyList_CheckExact(pending.get()) && PyList_GET_SIZE(pending.get()) > 0 && fresh &&
            wall_clock(st, module, &now)) {
            batch = pending;
            Py_XSETREF(acc->pending_batch, fresh.release());
            acc->last_flush_ts = now;
        }
        if (mutex_of(lock.get()).held_by_current_thread() && !mutex_of(lock.get()).release()) PyErr_Clear();
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(hook);
    if (!batch) return true;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(self, st->_post_batch, batch.get()));
    if (r) return true;
    // An interrupt ends the hook; any other error outside the ordinary
    // class (a client raising SystemExit) is reported and the drain goes on.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_WriteUnraisable(hook);
        return true;
    }
    // An overridden _post_batch that raised: its batch is lost, say so.
    if (!write_failure_line(st, device_id.get(), nullptr)) PyErr_WriteUnraisable(hook);
    return true;
}

// thread.is_alive(): 1 or 0; a thread object that cannot answer (not a
// threading.Thread) counts as ended. -1 only for an interrupt.
int thread_alive(PyObject* thread) {
    Ref alive = Ref::steal(PyObject_CallMethod(thread, "is_alive", nullptr));
    int yes = alive ? PyObject_IsTrue(alive.get()) : -1;
    if (yes >= 0) return yes;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

// Drops the entries whose thread has ended, among the running and done ones
// (only the done ones when `done_only`). With `alive`, stops at the first
// whose thread is still alive (delivering or winding down) and returns 1
// with it. 0 when there is none, -1 on error.
int sweep(ModuleState* st, bool done_only, InFlight* alive) {
    std::vector<InFlight>& all = st->exit->in_flight;
    for (std::size_t i = 0; i < all.size();) {
        if (all[i].status == InFlight::kReported || (done_only && all[i].status != InFlight::kDone)) {
            ++i;
            continue;
        }
        InFlight e = all[i];
        int yes = thread_alive(e.thread.get());
        if (yes < 0) return -1;
        if (yes && alive != nullptr) {
            *alive = e;
            return 1;
        }
        if (i >= all.size() || all[i].thread.get() != e.thread.get())
            i = 0;  // the call let other threads change the list
        else if (yes)
            ++i;
        else
            all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return 0;
}

// The entry of a batch still held, or nullptr.
InFlight* find_batch(ModuleState* st, PyObject* batch) {
    for (InFlight& e : st->exit->in_flight)
        if (e.batch.get() == batch) return &e;
    return nullptr;
}

PyObject* exit_hook(PyObject* module, PyObject*) {
    ModuleState* st = state_of(module);
    if (st == nullptr || st->exit == nullptr) Py_RETURN_NONE;
    Ref hook = Ref::borrow(st->exit_hook);
    const double limit = exit_timeout(st, module, hook.get());
    const auto start = Clock::now();
    const bool forever = std::isinf(limit);
    const auto deadline =
        forever
            ? Clock::time_point::max()
            : start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(limit, 1e9)));
    const std::string limit_text = pyhost::float_repr(limit) + " s";

    // 1. Pending episodes, posted here. The set may change while a post runs
    // Python code, so it is copied first, each accumulator held.
    std::vector<Ref> live;
    live.reserve(st->exit->live.size());
    for (PyObject* o : st->exit->live) live.push_back(Ref::borrow(o));
    for (const Ref& acc : live)
        if (!post_pending(st, module, hook.get(), acc.get(), deadline, limit_text)) return nullptr;
    live.clear();

    // 2. Batches in flight, waited for until the deadline.
    InFlight e;
    int found;
    while ((found = sweep(st, false, &e)) > 0) {
        double wait = seconds_until(deadline);
        if (!forever && wait <= 0.0) break;
        Ref timeout = Ref::steal(forever ? Py_NewRef(Py_None) : PyFloat_FromDouble(wait));
        if (!timeout) return nullptr;
        Ref r = Ref::steal(PyObject_CallMethod(e.thread.get(), "join", "O", timeout.get()));
        if (!r) return nullptr;
    }
    if (found < 0) return nullptr;

    // 3. One line for each batch still undelivered; its thread stays silent.
    // All are marked before the first line is written (writing may let a
    // posting thread finish and change the list).
    std::vector<std::pair<Ref, Py_ssize_t>> undelivered;
    for (InFlight& entry : st->exit->in_flight) {
        if (entry.status != InFlight::kRunning) continue;
        entry.status = InFlight::kReported;
        undelivered.emplace_back(entry.device_id, entry.episodes);
    }
    const std::string reason = "no answer within the exit time limit of " + limit_text;
    for (auto& [device_id, episodes] : undelivered)
        report_undelivered(st, hook.get(), device_id.get(), episodes, reason.c_str());
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {
    "_exit_drain", exit_hook, METH_NOARGS,
    "_exit_drain($module, /)\n--\n\nPost every live accumulator's pending episodes and wait for the batches\n"
    "in flight, up to EXIT_FLUSH_TIMEOUT_S seconds (registered with atexit)."};

}  // namespace

bool exit_setup(PyObject* module) {
    ModuleState* st = state_of(module);
    st->exit = new (std::nothrow) ExitRegistry();
    if (st->exit == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    Ref limit = Ref::steal(PyFloat_FromDouble(kDefaultTimeout));
    if (!limit || PyObject_SetAttr(module, st->EXIT_FLUSH_TIMEOUT_S, limit.get()) < 0) return false;
    st->exit_hook = PyCFunction_NewEx(&exit_hook_def, module, nullptr);
    if (st->exit_hook == nullptr || PyModule_AddObjectRef(module, "_exit_drain", st->exit_hook) < 0) return false;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref r = atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", st->exit_hook)) : Ref();
    return static_cast<bool>(r);
}

int exit_traverse(ModuleState* st, visitproc visit, void* arg) {
    if (st->exit != nullptr)
        for (InFlight& e : st->exit->in_flight)
            if (int r = pyhost::visit_all(visit, arg, e.thread.get(), e.batch.get(), e.device_id.get())) return r;
    return 0;
}

void exit_clear(ModuleState* st) {
    // The entries leave the list before their references are dropped.
    if (st->exit != nullptr) std::vector<InFlight>().swap(st->exit->in_flight);
}

void exit_free(ModuleState* st) {
    exit_clear(st);
    if (st->exit != nullptr) release_registry(st->exit);
    st->exit = nullptr;
}

void exit_track(ModuleState* st, AccumulatorObject* acc) {
    if (st->exit == nullptr) return;
    try {
        st->exit->live.insert(reinterpret_cast<PyObject*>(acc));
    } catch (const std::exception&) {
        return;  // not tracked: it will simply not be drained at exit
    }
    acc->exit_registry = st->exit;
    ++st->exit->users;
}

void exit_untrack(AccumulatorObject* acc) {
    ExitRegistry* r = acc->exit_registry;
    if (r == nullptr) return;
    acc->exit_registry = nullptr;
    r->live.erase(reinterpret_cast<PyObject*>(acc));
    release_registry(r);
}

bool exit_batch_handed(ModuleState* st, PyObject* thread, PyObject* batch, PyObject* device_id) {
    if (st->exit == nullptr) return true;
    if (sweep(st, true, nullptr) < 0) return false;  // threads that have ended leave the list here
    try {
        st->exit->in_flight.push_back(
            InFlight{Ref::borrow(thread), Ref::borrow(batch), Ref::borrow(device_id), PyList_GET_SIZE(batch)});
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool exit_batch_done(ModuleState* st, PyObject* batch) {
    InFlight* e = st->exit != nullptr ? find_batch(st, batch) : nullptr;
    if (e == nullptr) return true;
    if (e->status == InFlight::kReported) return false;
    e->status = InFlight::kDone;
    e->batch.reset();  // the posting thread still holds it
    return true;
}

void exit_batch_dropped(ModuleState* st, PyObject* batch) {
    InFlight* e = st->exit != nullptr ? find_batch(st, batch) : nullptr;
    if (e != nullptr) st->exit->in_flight.erase(st->exit->in_flight.begin() + (e - st->exit->in_flight.data()));
}

}  // namespace orvane_accumulator
