// Owned references and the exception in flight.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <utility>

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

// Holds the exception in flight while cleanup code that may itself call
// into Python runs, and puts it back when the scope ends (unless taken).
class SavedError {
  public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~SavedError() { restore(); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    explicit operator bool() const noexcept { return exc_ != nullptr; }
    // Puts the exception back now (replacing any raised since).
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        if (exc_ != nullptr) PyErr_SetRaisedException(exc_);
#else
        if (type_ != nullptr || exc_ != nullptr) PyErr_Restore(type_, exc_, tb_);
        type_ = tb_ = nullptr;
#endif
        exc_ = nullptr;
    }
    // The exception as one object (normalized), taken out of the guard.
    Ref take() noexcept {
#if PY_VERSION_HEX < 0x030C0000
        if (type_ != nullptr) {
            PyErr_NormalizeException(&type_, &exc_, &tb_);
            if (tb_ != nullptr && exc_ != nullptr) PyException_SetTraceback(exc_, tb_);
            Py_CLEAR(type_);
            Py_CLEAR(tb_);
        }
#endif
        PyObject* e = exc_;
        exc_ = nullptr;
        return Ref::steal(e);
    }

  private:
    PyObject* exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// Raises `exc` (an exception instance, reference stolen) as the current one.
inline void raise_object(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

}  // namespace pyhost
