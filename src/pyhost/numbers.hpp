// The interpreter's numeric conversions: float(), round(), repr() of a
// float and the compensated sum().
#pragma once

#include "csum.hpp"
#include "refs.hpp"

#include <cstddef>
#include <string>

namespace pyhost {

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

double compensated_sum(const double* values, std::size_t n) noexcept;

}  // namespace pyhost
