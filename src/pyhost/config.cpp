// Configuration constants: bound at import, read back at every use.
#include "pyhost.hpp"

namespace pyhost {

int bind_constants(PyObject* module, const char* source, const char* const* names) {
    Ref src = Ref::steal(PyImport_ImportModule(source));
    if (!src) return -1;
    for (const char* const* n = names; *n != nullptr; ++n) {
        Ref value = Ref::steal(PyObject_GetAttrString(src.get(), *n));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %s", *n);
            return -1;
        }
        if (PyModule_AddObjectRef(module, *n, value.get()) < 0) return -1;
    }
    return 0;
}

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed, never fails for a module
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (v == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    return Ref::borrow(v);
}

bool global_float(PyObject* module, PyObject* name, double* out) {
    Ref v = module_global(module, name);
    return v && host_float(v.get(), out);
}

bool Constant::prepare(Ref value) {
    obj_ = std::move(value);
    if (!obj_) return false;
    PyObject* o = obj_.get();
    kind_ = Kind::Other;
    if (PyFloat_CheckExact(o)) {
        f_ = PyFloat_AS_DOUBLE(o);
        kind_ = Kind::Float;
    } else if (PyLong_CheckExact(o) || PyBool_Check(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (!overflow) {
            i_ = v;
            kind_ = Kind::Int;
        }
    }
    return true;
}

}  // namespace pyhost
