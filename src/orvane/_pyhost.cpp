// A thin window onto pyhost, so that the test suite can hold the host rules
// against the interpreter itself. Not part of the public API.
#include "pyhost.hpp"

#include <algorithm>
#include <vector>

namespace {

using pyhost::Ref;

struct ModuleState {
    PyTypeObject* lock_type;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(lock_type);
        return 0;
    }
    void clear() { Py_CLEAR(lock_type); }
};

ModuleState* state(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

PyObject* host_float(PyObject*, PyObject* o) {
    double d;
    if (!pyhost::host_float(o, &d)) return nullptr;
    return PyFloat_FromDouble(d);
}

PyObject* real_float(PyObject*, PyObject* o) {
    double d;
    if (!pyhost::real_float(o, &d)) return nullptr;
    return PyFloat_FromDouble(d);
}

PyObject* round_half_even(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "round_half_even(x, ndigits)");
        return nullptr;
    }
    double x, r;
    // float.__round__ reads ndigits clipped to Py_ssize_t; far beyond the
    // few hundred places a double has, every value rounds alike, so the
    // count is clipped again to what an int holds rather than truncated.
    Py_ssize_t big = PyNumber_AsSsize_t(args[1], nullptr);
    if (big == -1 && PyErr_Occurred()) return nullptr;
    int n = static_cast<int>(std::clamp<Py_ssize_t>(big, -100000, 100000));
    if (!pyhost::real_float(args[0], &x) || !pyhost::round_half_even(x, n, &r)) return nullptr;
    return PyFloat_FromDouble(r);
}

PyObject* float_repr(PyObject*, PyObject* o) {
    double d;
    if (!pyhost::real_float(o, &d)) return nullptr;
    return pyhost::float_repr_object(d);
}

PyObject* compensated_sum(PyObject*, PyObject* seq) {
    Ref fast = Ref::steal(PySequence_Fast(seq, "compensated_sum() needs a sequence"));
    if (!fast) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<double> values(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!pyhost::real_float(PySequence_Fast_GET_ITEM(fast.get(), i), &values[i])) return nullptr;
    }
    return PyFloat_FromDouble(pyhost::compensated_sum(values.data(), values.size()));
}

// probe(name, text, mapping=None, items=None, count=0, ratio=0.0): every
// argument kind in one signature; returns what it parsed.
PyObject* probe(PyObject*, PyObject* text, PyObject* mapping, PyObject* items, PyObject* count_arg,
                PyObject* ratio_arg) {
    if (!pyhost::check_str(text, "text")) return nullptr;
    if (mapping && !pyhost::check_dict(mapping, "mapping", true)) return nullptr;
    if (items && !pyhost::check_list(items, "items", true)) return nullptr;
    Ref count = count_arg ? pyhost::int_arg(count_arg, "count") : Ref::steal(PyLong_FromLong(0));
    if (!count) return nullptr;
    double ratio = 0.0;
    if (ratio_arg && !pyhost::float_arg(ratio_arg, "ratio", &ratio)) return nullptr;
    return Py_BuildValue("(OOOOd)", text, mapping ? mapping : Py_None, items ? items : Py_None, count.get(), ratio);
}

// method_probe(self, timestamp, payload, confidence): the messages of a
// method, which count the instance.
PyObject* method_probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"timestamp", "payload", "confidence"};
    static const pyhost::Signature sig{"observe", params, 3, 3, true};
    PyObject* a[3];
    if (!pyhost::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return PyTuple_Pack(3, a[0], a[1], a[2]);
}

PyObject* new_lock(PyObject* module, PyObject*) {
    return reinterpret_cast<PyObject*>(pyhost::new_lock(state(module)->lock_type));
}

PyObject* uuid4_hex(PyObject*, PyObject*) {
    char hex[32];
    if (!pyhost::uuid4_hex(hex)) return nullptr;
    return PyUnicode_FromStringAndSize(hex, 32);
}

// bind_constants(target_module, source_name, names)
PyObject* bind_constants(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "bind_constants(module, source, names)");
        return nullptr;
    }
    const char* source = PyUnicode_AsUTF8(args[1]);
    if (!source) return nullptr;
    Ref fast = Ref::steal(PySequence_Fast(args[2], "names must be a sequence"));
    if (!fast) return nullptr;
    std::vector<const char*> names;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        const char* n = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(fast.get(), i));
        if (!n) return nullptr;
        names.push_back(n);
    }
    names.push_back(nullptr);
    if (pyhost::bind_constants(args[0], source, names.data()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// module_float(module, name): the constant as float() reads it at use.
PyObject* module_float(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "module_float(module, name)");
        return nullptr;
    }
    double d;
    if (!pyhost::global_float(args[0], args[1], &d)) return nullptr;
    return PyFloat_FromDouble(d);
}

PyMethodDef methods[] = {
    pyhost::function<"host_float", host_float, "o, /", "float(o)">(),
    pyhost::function<"real_float", real_float, "o, /", "The real-number conversion of a float parameter.">(),
    pyhost::function<"round_half_even", round_half_even, "x, ndigits, /", "round(x, ndigits) of a float">(),
    pyhost::function<"float_repr", float_repr, "x, /", "repr() of a float">(),
    pyhost::function<"compensated_sum", compensated_sum, "values, /", "sum() of floats, compensated">(),
    pyhost::def_function<"probe", probe, "text, mapping=None, items=None, count=0, ratio=0.0",
                         "argument parsing probe">(),
    pyhost::function<"method_probe", method_probe, "timestamp, payload, confidence", "method argument probe">(),
    pyhost::function<"new_lock", new_lock, "", "a new object lock">(),
    pyhost::function<"uuid4_hex", uuid4_hex, "", "32 hex digits of a random UUID">(),
    pyhost::function<"bind_constants", bind_constants, "module, source, names, /", "bind configuration names">(),
    pyhost::function<"module_float", module_float, "module, name, /", "read a module constant as float">(),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    state(module)->lock_type = pyhost::make_lock_type(module, "orvane._pyhost.Lock");
    if (!state(module)->lock_type) return -1;
    return PyModule_AddType(module, state(module)->lock_type);
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef =
    pyhost::module_def<ModuleState>("orvane._pyhost", "Host-rule helpers exposed for testing.", slots, methods);

}  // namespace

PyMODINIT_FUNC PyInit__pyhost(void) { return PyModuleDef_Init(&moduledef); }
