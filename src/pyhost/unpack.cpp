// Unpacking: `a, b = value`, with the interpreter's errors.
#include "pyhost.hpp"

namespace pyhost {

bool unpack_pair(PyObject* value, Ref* first, Ref* second) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        *first = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        *second = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref got[2];
    for (int i = 0; i < 2; ++i) {
        got[i] = Ref::steal(PyIter_Next(it.get()));
        if (!got[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    // One more item is pulled to prove the iterable is exhausted, as the
    // interpreter does (an iterator with extra items loses one of them).
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) {
        if (PyErr_Occurred()) return false;
        *first = std::move(got[0]);
        *second = std::move(got[1]);
        return true;
    }
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        Py_ssize_t n = PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) : Py_SIZE(value);
        if (n > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
            return false;
        }
    }
#endif
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
}

}  // namespace pyhost
