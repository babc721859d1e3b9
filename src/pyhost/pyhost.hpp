// pyhost: the host interpreter's rules, written once for every compiled module.
//
// Everything a module needs to look and fail like ordinary Python lives here:
// owned references, argument parsing with the interpreter's own messages,
// exact-type checks, the numeric conversions (float(), round(), repr() of a
// float, the compensated sum()), configuration constants bound at import and
// read back from the module namespace, the GIL-aware lock, and random ids.
// Modules call these helpers; they never re-implement them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#if defined(__GNUC__)
#define PYHOST_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define PYHOST_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define PYHOST_UNLIKELY(x) (x)
#define PYHOST_LIKELY(x) (x)
#endif

namespace pyhost {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// One owned reference. Module code never calls Py_DECREF by hand: a Ref
// releases what it holds when it goes out of scope.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter
    // or to an API that steals).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

  private:
    PyObject* p_ = nullptr;
};

// A new reference to an interned string (for keys and attribute names that a
// module keeps in its state and compares by pointer first).
PyObject* intern(const char* text);

// ---------------------------------------------------------------------------
// Argument parsing
// ---------------------------------------------------------------------------

// A declared signature: positional-or-keyword parameters, the first
// `required` of which must be given. `method` counts the instance in the
// messages, as the interpreter does for methods ("observe() takes exactly 4
// positional arguments (3 given)"). `max_positional` below `params.size()`
// makes the trailing parameters keyword-only.
struct Signature {
    const char* name;
    const char* const* params;  // parameter names, nparams of them
    Py_ssize_t nparams;
    Py_ssize_t required;
    bool method;
    Py_ssize_t max_positional = -1;  // -1: all parameters may be positional
};

// Parses a vectorcall-style call (args, nargs, kwnames) into out[0..nparams):
// borrowed references, nullptr for an optional parameter that was not given.
// Returns false with the interpreter's TypeError set on a wrong count, an
// unexpected keyword or a repeated one.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out);

// The same for a tuple/dict call (tp_init, tp_new, tp_call).
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Raises the wrong-count message for `sig` with `given` positional arguments
// (not counting the instance).
void raise_count(const Signature& sig, Py_ssize_t given);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
void raise_arg_type(const char* argname, const char* expected, PyObject* given);

// Exact built-in type checks. With allow_none, None passes too. Return false
// with the TypeError set when the check fails.
bool check_str(PyObject* o, const char* argname, bool allow_none = false);
bool check_dict(PyObject* o, const char* argname, bool allow_none = false);
bool check_list(PyObject* o, const char* argname, bool allow_none = false);

// The short type name the interpreter prints ("int", "NoneType", "ndarray").
std::string type_name(PyObject* o);

// True when `o` is any real number: int (bool included), float, or an object
// whose type offers __index__, __int__ or __float__ (complex excluded).
bool is_real_number(PyObject* o);

// An `int` argument: any real number, converted with int() (a float is
// truncated toward zero). Anything else raises
// "Argument 'name' has incorrect type (expected int, got T)".
Ref int_arg(PyObject* o, const char* argname);
// The same, narrowed to Py_ssize_t (OverflowError when it does not fit).
bool ssize_arg(PyObject* o, const char* argname, Py_ssize_t* out);

// A `float` argument: any real number, converted with the real-number
// conversion. Anything else raises
// "Argument 'name' has incorrect type (expected float, got T)".
bool float_arg(PyObject* o, const char* argname, double* out);

// ---------------------------------------------------------------------------
// Host conversions
// ---------------------------------------------------------------------------

// float(o), exactly: fast paths for exact float and exact int, then
// PyNumber_Float (which reads texts, __float__, __index__).
inline bool host_float(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return false;
        *out = d;
        return true;
    }
    PyObject* f = PyNumber_Float(o);
    if (f == nullptr) return false;
    *out = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return true;
}

// The real-number conversion of a float parameter (PyFloat_AsDouble):
// __float__ or __index__, no texts.
inline bool real_float(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

// round(x, ndigits) for a float: correctly rounded, ties to even; non-finite
// values come back unchanged. Returns false with OverflowError set when the
// rounded value does not fit a double.
bool round_half_even(double x, int ndigits, double* out);

// str()/repr() of a float: shortest round-trip digits, exponent form below
// 1e-4 and from 1e16 on, ".0" on integral values, "inf", "-inf", "nan".
void append_float_repr(std::string& out, double x);
std::string float_repr(double x);
PyObject* float_repr_object(double x);  // new reference to a str

// sum() over floats as Python 3.12 and later compute it (Neumaier's
// compensated summation, starting from 0.0, with its non-finite rules).
class CompensatedSum {
  public:
    void add(double x) noexcept {
        double t = s_ + x;
        if (__builtin_fabs(s_) >= __builtin_fabs(x))
            c_ += (s_ - t) + x;
        else
            c_ += (x - t) + s_;
        s_ = t;
    }
    double result() const noexcept {
        // Adding the compensation must not turn an infinite or overflowed
        // sum into NaN, nor lose the sign of a negative zero.
        if (c_ != 0.0 && __builtin_isfinite(c_)) return s_ + c_;
        return s_;
    }

  private:
    double s_ = 0.0;
    double c_ = 0.0;
};

double compensated_sum(const double* values, std::size_t n) noexcept;

// ---------------------------------------------------------------------------
// Configuration constants
// ---------------------------------------------------------------------------

// Binds each of `names` (a nullptr-terminated list) from the module `source`
// (normally "orvane.config") into `module`'s namespace, as
// `from source import NAME` would. A missing name raises
// ImportError("cannot import name NAME"). Returns 0 or -1.
int bind_constants(PyObject* module, const char* source, const char* const* names);

// Reads a module-level name at the time of use (so that rebinding it on the
// module takes effect); NameError when it has been deleted. `name` should be
// an interned str kept in the module state.
Ref module_global(PyObject* module, PyObject* name);

// The same, converted: with float() and with int() respectively.
bool global_float(PyObject* module, PyObject* name, double* out);
bool global_ssize(PyObject* module, PyObject* name, Py_ssize_t* out);

// ---------------------------------------------------------------------------
// The object lock
// ---------------------------------------------------------------------------

// A non-reentrant mutex that never blocks while holding the GIL: it tries
// first, and only when the lock is taken releases the GIL to wait. Blocking
// re-entry from the owning thread raises RuntimeError instead of hanging.
class Mutex {
  public:
    Mutex() noexcept { sem_init(&sem_, 0, 1); }
    ~Mutex() { sem_destroy(&sem_); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    // Blocking acquire from a thread that holds the GIL. Returns false with
    // RuntimeError set on re-entry.
    bool acquire();
    // acquire(blocking, timeout) as threading.Lock offers it; timeout < 0
    // waits forever. Returns 1 (acquired), 0 (not acquired) or -1 (error).
    int acquire_timed(bool blocking, double timeout);
    // Releases; false with RuntimeError when the lock is not held.
    bool release();
    bool locked() const noexcept { return held_.load(std::memory_order_acquire); }
    bool held_by_current_thread() const noexcept;

  private:
    // A POSIX semaphore of one rather than a mutex: like threading.Lock,
    // the lock may be released by a thread other than the one that took it.
    // Taking and giving it back uncontended are single atomic operations.
    sem_t sem_;
    std::atomic<bool> held_{false};
    std::atomic<unsigned long> owner_{0};
};

// The Python face of a Mutex: the object's `_lock`, with acquire, release,
// locked and the context-manager protocol.
struct LockObject {
    PyObject_HEAD
    Mutex mutex;
};

// Creates the lock type inside `module` (call from the module's exec slot
// and keep the result in the module state). `qualname` is the type's
// dotted name, e.g. "orvane.brenlow.profiler.Lock".
PyTypeObject* make_lock_type(PyObject* module, const char* qualname);
// A new, unlocked lock object of that type.
LockObject* new_lock(PyTypeObject* lock_type);

// Holds a Mutex for a scope, taken with the GIL-aware pattern.
class LockGuard {
  public:
    explicit LockGuard(Mutex& m) : m_(m) { ok_ = m_.acquire(); }
    // Python code run inside the scope (a value's __float__) may have
    // released the lock through `_lock.release()`, and another thread may
    // hold it by now: release only a hold that is still this thread's, and
    // never leave an exception set behind a result.
    ~LockGuard() {
        if (ok_ && m_.held_by_current_thread()) m_.release();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    // False when acquiring failed (an exception is set).
    bool ok() const noexcept { return ok_; }
    // Releases early (before calling back into Python code).
    void unlock() {
        if (ok_ && m_.held_by_current_thread()) m_.release();
        ok_ = false;
    }

  private:
    Mutex& m_;
    bool ok_;
};

// ---------------------------------------------------------------------------
// Random ids
// ---------------------------------------------------------------------------

// 32 lower-case hex digits of a fresh version-4 UUID, from the OS's random
// source. Returns false with OSError set when the source fails.
bool uuid4_hex(char out[32]);

}  // namespace pyhost

// ---------------------------------------------------------------------------
// Unpacking
// ---------------------------------------------------------------------------

namespace pyhost {

// `first, second = value`: exact 2-tuples directly, anything else through
// iteration, with the interpreter's TypeError/ValueError messages ("cannot
// unpack non-iterable T object", "not enough values to unpack (expected 2,
// got N)", "too many values to unpack (expected 2)").
bool unpack_pair(PyObject* value, Ref* first, Ref* second);

}  // namespace pyhost

// ---------------------------------------------------------------------------
// Pooled random digits
// ---------------------------------------------------------------------------

namespace pyhost {

// `ndigits` (even, at most 64) lower-case hex digits of fresh random bytes
// from the OS's random source, read in blocks per thread; a forked child
// never reuses its parent's block. The first 12 hex digits of a version-4
// UUID are random bytes in the same form, so a short id prefix drawn here
// has the distribution of uuid4_hex's. Returns false with OSError set when
// the source fails.
bool random_hex(char* out, int ndigits);

// ---------------------------------------------------------------------------
// Namespace watch
// ---------------------------------------------------------------------------

// Tells when a module's namespace may have changed, so that hot paths can
// reuse the configuration constants they read from it (see CachedGlobal).
// Keep one in the module state: zeroed memory is a valid, idle watch. Call
// start() at the end of the exec slot and stop() from m_clear / m_free.
class NamespaceWatch {
  public:
    // 0, or -1 with an error set. Where the interpreter cannot watch (no
    // watcher slot free), the watch stays idle and reads are not cached.
    int start(PyObject* module);
    void stop() noexcept;
    // Changes whenever the namespace does; 0 when nothing is known.
    std::uint64_t version() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return version_ ? version_->load(std::memory_order_acquire) : 0;
#else
        return dict_ ? reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag : 0;
#endif
    }

  private:
    PyObject* dict_;  // borrowed from the module, which outlives its state
#if PY_VERSION_HEX >= 0x030C0000
    std::atomic<std::uint64_t>* version_;
    int watcher_plus_one_;  // 0: none
#endif
};

// module_global() for hot paths: the value of `name` in `module`'s namespace
// at the time of use, looked up again only when `watch` reports a change,
// so a rebinding still takes effect at the next use. Zeroed memory is a
// valid, empty cache.
class CachedGlobal {
  public:
    Ref get(PyObject* module, PyObject* name, const NamespaceWatch& watch) {
#ifndef Py_GIL_DISABLED
        const std::uint64_t now = watch.version();
        if (PYHOST_LIKELY(now != 0 && now == version_ && value_ != nullptr)) return Ref::borrow(value_);
        return refresh(module, name, now);
#else
        // Without the GIL another thread could rebind the name between our
        // check and our use of a borrowed value: always read it afresh.
        (void)watch;
        return module_global(module, name);
#endif
    }

  private:
    Ref refresh(PyObject* module, PyObject* name, std::uint64_t now);
    PyObject* value_;  // borrowed: the namespace holds it while unchanged
    std::uint64_t version_;
};

}  // namespace pyhost
