// Argument parsing and argument type checks, with the interpreter's messages.
#include "pyhost.hpp"

#include <cstring>

namespace pyhost {

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

std::string type_name(PyObject* o) {
    // The interpreter prints the unqualified name: "int", "ndarray".
    const char* full = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return std::string(dot ? dot + 1 : full);
}

static Py_ssize_t max_positional(const Signature& sig) {
    return sig.max_positional < 0 ? sig.nparams : sig.max_positional;
}

void raise_count(const Signature& sig, Py_ssize_t given) {
    Py_ssize_t lo = sig.required, hi = max_positional(sig);
    Py_ssize_t expected;
    const char* how;
    if (given < lo) {
        expected = lo;
        how = "at least";
    } else {
        expected = hi;
        how = "at most";
    }
    if (lo == hi) how = "exactly";
    if (sig.method) {
        expected += 1;
        given += 1;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, how,
                 expected, expected == 1 ? "" : "s", given);
}

static Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
    }
    return -1;
}

// Keywords are matched in two passes, as compiled extension functions
// traditionally do: first the parameters still missing are filled and a
// missing required one is reported as a wrong count; only then are unknown
// and repeated keywords reported, in the order they were passed.
static bool match_keywords(const Signature& sig, Py_ssize_t nargs, Py_ssize_t nkw,
                           PyObject* (*key_at)(void*, Py_ssize_t), PyObject* (*value_at)(void*, Py_ssize_t), void* ctx,
                           PyObject** out) {
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = key_at(ctx, j);
        if (PYHOST_UNLIKELY(!PyUnicode_Check(key))) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        Py_ssize_t i = find_param(sig, key);
        if (i >= nargs && out[i] == nullptr) out[i] = value_at(ctx, j);
    }
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            raise_count(sig, i);
            return false;
        }
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = key_at(ctx, j);
        Py_ssize_t i = find_param(sig, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
        if (i < nargs || out[i] != value_at(ctx, j)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
            return false;
        }
    }
    return true;
}

namespace {
struct VectorKw {
    PyObject* const* values;
    PyObject* names;
};
PyObject* vk_key(void* c, Py_ssize_t j) { return PyTuple_GET_ITEM(static_cast<VectorKw*>(c)->names, j); }
PyObject* vk_value(void* c, Py_ssize_t j) { return static_cast<VectorKw*>(c)->values[j]; }

struct DictKw {
    PyObject* keys;  // list
    PyObject* dict;
};
PyObject* dk_key(void* c, Py_ssize_t j) { return PyList_GET_ITEM(static_cast<DictKw*>(c)->keys, j); }
PyObject* dk_value(void* c, Py_ssize_t j) {
    auto* d = static_cast<DictKw*>(c);
    // The dict is the call's own and is not mutated while we parse.
    return PyDict_GetItem(d->dict, PyList_GET_ITEM(d->keys, j));
}
}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (PYHOST_UNLIKELY(nargs > max_positional(sig))) {
        raise_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (PYHOST_LIKELY(nkw == 0)) {
        if (PYHOST_UNLIKELY(nargs < sig.required)) {
            raise_count(sig, nargs);
            return false;
        }
        return true;
    }
    VectorKw ctx{args + nargs, kwnames};
    return match_keywords(sig, nargs, nkw, vk_key, vk_value, &ctx, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (PYHOST_UNLIKELY(nargs > max_positional(sig))) {
        raise_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (nargs < sig.required) {
            raise_count(sig, nargs);
            return false;
        }
        return true;
    }
    Ref keys = Ref::steal(PyDict_Keys(kwargs));
    if (!keys) return false;
    DictKw ctx{keys.get(), kwargs};
    return match_keywords(sig, nargs, PyList_GET_SIZE(keys.get()), dk_key, dk_value, &ctx, out);
}

void raise_arg_type(const char* argname, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, type_name(given).c_str());
}

bool check_str(PyObject* o, const char* argname, bool allow_none) {
    if (PYHOST_LIKELY(PyUnicode_CheckExact(o)) || (allow_none && o == Py_None)) return true;
    raise_arg_type(argname, "str", o);
    return false;
}

bool check_dict(PyObject* o, const char* argname, bool allow_none) {
    if (PYHOST_LIKELY(PyDict_CheckExact(o)) || (allow_none && o == Py_None)) return true;
    raise_arg_type(argname, "dict", o);
    return false;
}

bool check_list(PyObject* o, const char* argname, bool allow_none) {
    if (PYHOST_LIKELY(PyList_CheckExact(o)) || (allow_none && o == Py_None)) return true;
    raise_arg_type(argname, "list", o);
    return false;
}

bool is_real_number(PyObject* o) {
    if (PyLong_Check(o) || PyFloat_Check(o)) return true;
    if (PyComplex_Check(o)) return false;
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr || nb->nb_float != nullptr);
}

Ref int_arg(PyObject* o, const char* argname) {
    if (PyLong_CheckExact(o)) return Ref::borrow(o);
    if (!is_real_number(o)) {
        raise_arg_type(argname, "int", o);
        return Ref();
    }
    return Ref::steal(PyNumber_Long(o));
}

bool ssize_arg(PyObject* o, const char* argname, Py_ssize_t* out) {
    Ref v = int_arg(o, argname);
    if (!v) return false;
    Py_ssize_t n = PyLong_AsSsize_t(v.get());
    if (n == -1 && PyErr_Occurred()) return false;
    *out = n;
    return true;
}

bool float_arg(PyObject* o, const char* argname, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!is_real_number(o)) {
        raise_arg_type(argname, "float", o);
        return false;
    }
    return real_float(o, out);
}

}  // namespace pyhost
