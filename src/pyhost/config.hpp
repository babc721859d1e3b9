// Configuration constants: bound from orvane.config at import, read back from
// the module namespace at every use (so that rebinding one takes effect).
#pragma once

#include "numbers.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace pyhost {

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

// The same, converted with float().
bool global_float(PyObject* module, PyObject* name, double* out);

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

// A configuration constant as the code that uses it sees it: the value bound
// to NAME in the module namespace now, prepared for the comparisons and
// conversions Python would make with it. Exact ints and floats are handled
// natively; anything else a caller may have bound goes through the
// interpreter's own operators, so the result is always Python's.
class Constant {
  public:
    // Reads NAME now.
    bool load(PyObject* module, PyObject* name) { return prepare(module_global(module, name)); }
    // Reads NAME through a cache that is refreshed when the namespace changes.
    bool load(PyObject* module, PyObject* name, CachedGlobal& cache, const NamespaceWatch& watch) {
        return prepare(cache.get(module, name, watch));
    }

    // `x OP constant` for a float x (op: Py_LT ... Py_GE): 1, 0, or -1.
    int compare(double x, int op) const {
        if (PYHOST_LIKELY(kind_ == Kind::Float)) return compare_doubles(x, f_, op);
        if (kind_ == Kind::Int && i_ >= -kExactInt && i_ <= kExactInt)
            return compare_doubles(x, static_cast<double>(i_), op);
        Ref v = Ref::steal(PyFloat_FromDouble(x));
        return v ? PyObject_RichCompareBool(v.get(), obj_.get(), op) : -1;
    }
    // `n OP constant` for an int n: 1, 0, or -1.
    int compare_count(Py_ssize_t n, int op) const {
        if (kind_ == Kind::Int) return compare_values<long long>(n, i_, op);
        if (kind_ == Kind::Float && n >= -kExactInt && n <= kExactInt)
            return compare_doubles(static_cast<double>(n), f_, op);
        Ref v = Ref::steal(PyLong_FromSsize_t(n));
        return v ? PyObject_RichCompareBool(v.get(), obj_.get(), op) : -1;
    }

    PyObject* object() const noexcept { return obj_.get(); }
    bool is_int() const noexcept { return kind_ == Kind::Int; }
    bool is_float() const noexcept { return kind_ == Kind::Float; }
    bool is_other() const noexcept { return kind_ == Kind::Other; }
    long long int_value() const noexcept { return i_; }
    double float_value() const noexcept { return f_; }
    // float(constant).
    bool to_double(double* out) const {
        if (kind_ == Kind::Float) {
            *out = f_;
            return true;
        }
        return host_float(obj_.get(), out);
    }

    static int compare_doubles(double x, double t, int op) noexcept { return compare_values(x, t, op); }
    template <typename T>
    static int compare_values(T x, T t, int op) noexcept {
        switch (op) {
            case Py_LT: return x < t;
            case Py_LE: return x <= t;
            case Py_EQ: return x == t;
            case Py_NE: return x != t;
            case Py_GT: return x > t;
            default: return x >= t;
        }
    }

  private:
    static constexpr long long kExactInt = 1LL << 53;  // ints a double holds exactly
    bool prepare(Ref value);
    enum class Kind { Int, Float, Other };
    Ref obj_;
    Kind kind_ = Kind::Other;
    long long i_ = 0;
    double f_ = 0.0;
};

}  // namespace pyhost
