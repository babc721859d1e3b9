// The object lock: a non-reentrant mutex that cooperates with the GIL, and
// its Python face.
#include "pyhost.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <new>

namespace pyhost {

static unsigned long current_thread() { return PyThread_get_thread_ident(); }

bool Mutex::held_by_current_thread() const noexcept {
    return held_.load(std::memory_order_acquire) && owner_.load(std::memory_order_relaxed) == current_thread();
}

// Waits for the semaphore with the GIL released, until `deadline` on the
// monotonic clock (forever when null). A signal interrupts the wait: its
// Python handler runs, and an exception it raises (KeyboardInterrupt on
// Ctrl-C) ends the wait. Returns 1 (taken), 0 (timed out) or -1 (error).
int Mutex::wait(const struct timespec* deadline) {
    for (;;) {
        int rc, err;
        Py_BEGIN_ALLOW_THREADS rc =
            deadline == nullptr ? sem_wait(&sem_) : sem_clockwait(&sem_, CLOCK_MONOTONIC, deadline);
        err = errno;
        Py_END_ALLOW_THREADS if (rc == 0) return 1;
        if (err != EINTR) return 0;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

bool Mutex::acquire() {
    if (PYHOST_UNLIKELY(held_by_current_thread())) {
        PyErr_SetString(PyExc_RuntimeError, "cannot acquire lock: it is already held by this thread");
        return false;
    }
    // Try first; only when another thread holds the lock give up the GIL
    // to wait, so that the holder can finish whatever Python code it runs.
    if (sem_trywait(&sem_) != 0 && wait(nullptr) < 0) return false;
    owner_.store(current_thread(), std::memory_order_relaxed);
    held_.store(true, std::memory_order_release);
    return true;
}

int Mutex::acquire_timed(bool blocking, double timeout) {
    if (!blocking) {
        if (sem_trywait(&sem_) != 0) return 0;
    } else if (timeout < 0) {
        return acquire() ? 1 : -1;
    } else if (sem_trywait(&sem_) != 0) {
        // timeout is finite and checked against kMaxTimeout by the caller.
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        double whole = std::floor(timeout);
        deadline.tv_sec += static_cast<time_t>(whole);
        deadline.tv_nsec += static_cast<long>((timeout - whole) * 1e9);
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        int r = wait(&deadline);
        if (r <= 0) return r;
    }
    owner_.store(current_thread(), std::memory_order_relaxed);
    held_.store(true, std::memory_order_release);
    return 1;
}

bool Mutex::release() {
    // Exactly one of several racing releases succeeds; the others report
    // the unlocked lock, as threading.Lock does. Only the winner clears the
    // owner: a losing release must not touch a hold taken since.
    if (!held_.exchange(false, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_RuntimeError, "release unlocked lock");
        return false;
    }
    owner_.store(0, std::memory_order_relaxed);
    sem_post(&sem_);
    return true;
}

// ---- Python face ----------------------------------------------------------

static PyObject* lock_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"blocking", "timeout"};
    static const Signature sig{"acquire", params, 2, 0, true};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    bool blocking = true;
    double timeout = -1.0;
    if (a[0] != nullptr) {
        int b = PyObject_IsTrue(a[0]);
        if (b < 0) return nullptr;
        blocking = b != 0;
    }
    if (a[1] != nullptr && !float_arg(a[1], "timeout", &timeout)) return nullptr;
    // The interpreter's own checks and messages, in its order: the value
    // must be a number of nanoseconds it can hold, then fit the wait.
    if (std::isnan(timeout)) {
        PyErr_SetString(PyExc_ValueError, "Invalid value NaN (not a number)");
        return nullptr;
    }
    if (!(std::fabs(timeout) < 9223372036.854775807)) {
#if PY_VERSION_HEX >= 0x030E0000
        PyErr_SetString(PyExc_OverflowError, "timestamp out of range for C PyTime_t");
#else
        PyErr_SetString(PyExc_OverflowError, "timestamp out of range for platform time_t");
#endif
        return nullptr;
    }
    if (!blocking && timeout != -1.0) {
        PyErr_SetString(PyExc_ValueError, "can't specify a timeout for a non-blocking call");
        return nullptr;
    }
    if (timeout < 0 && timeout != -1.0) {
        PyErr_SetString(PyExc_ValueError, "timeout value must be a non-negative number");
        return nullptr;
    }
    if (timeout > Mutex::kMaxTimeout) {
        PyErr_SetString(PyExc_OverflowError, "timeout value is too large");
        return nullptr;
    }
    int r = reinterpret_cast<LockObject*>(self)->mutex.acquire_timed(blocking, timeout);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

static PyObject* lock_enter(PyObject* self, PyObject*) {
    if (!reinterpret_cast<LockObject*>(self)->mutex.acquire()) return nullptr;
    Py_RETURN_TRUE;
}

static PyObject* lock_release(PyObject* self, PyObject*) {
    if (!reinterpret_cast<LockObject*>(self)->mutex.release()) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* lock_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    if (!reinterpret_cast<LockObject*>(self)->mutex.release()) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* lock_locked(PyObject* self, PyObject*) {
    return PyBool_FromLong(reinterpret_cast<LockObject*>(self)->mutex.locked());
}

static PyObject* lock_repr(PyObject* self) {
    bool locked = reinterpret_cast<LockObject*>(self)->mutex.locked();
    return PyUnicode_FromFormat("<%s %s object at %p>", locked ? "locked" : "unlocked", Py_TYPE(self)->tp_name, self);
}

static void lock_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    auto* lo = reinterpret_cast<LockObject*>(self);
    // A lock dropped while held (its holder died with it) is released so
    // that destroying the mutex is well defined.
    if (lo->mutex.locked()) lo->mutex.release();  // cannot fail while held
    lo->mutex.~Mutex();
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyMethodDef lock_methods[] = {
    {"acquire", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(lock_acquire)),
     METH_FASTCALL | METH_KEYWORDS, "acquire(blocking=True, timeout=-1)\n\nTake the lock; True when it was taken."},
    {"release", lock_release, METH_NOARGS, "Release the lock."},
    {"locked", lock_locked, METH_NOARGS, "True while the lock is held."},
    {"__enter__", lock_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(lock_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// `qualname` must be a string literal: the type keeps the pointer.
PyTypeObject* make_lock_type(PyObject* module, const char* qualname) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(lock_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(lock_repr)},
        {Py_tp_methods, lock_methods},
        {Py_tp_doc, const_cast<char*>("A non-reentrant lock guarding one object's state.")},
        {0, nullptr},
    };
    PyType_Spec spec{qualname, sizeof(LockObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

LockObject* new_lock(PyTypeObject* lock_type) {
    PyObject* o = lock_type->tp_alloc(lock_type, 0);
    if (o == nullptr) return nullptr;
    auto* lo = reinterpret_cast<LockObject*>(o);
    new (&lo->mutex) Mutex();
    return lo;
}

}  // namespace pyhost
