// Calling into Python in steps that pass failure along.
//
// A step given a null object (the result of an earlier step that failed,
// its error set) returns an empty Ref at once without calling anything, so
// that a chain of dependent steps needs only its result checked. Steps that
// do not depend on each other are still checked one by one, so that nothing
// runs while an error is set. Arguments are borrowed pointers or Refs.
#pragma once

#include "refs.hpp"

#include <initializer_list>

namespace pyhost {

inline PyObject* ptr(PyObject* o) noexcept { return o; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }

template <class... A>
bool all_set(const A&... objects) noexcept {
    return ((ptr(objects) != nullptr) && ...);
}

// callable(*positional, **keywords): the last len(kwnames) arguments are the
// keyword values, in the order of kwnames (nullptr: no keywords). The
// leading slot lets the callee prepend a bound self.
template <class C, class... A>
Ref call_kw(const C& callable, PyObject* kwnames, const A&... args) {
    if (!all_set(callable, args...)) return Ref();
    PyObject* v[] = {nullptr, ptr(args)...};
    size_t npos = sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return Ref::steal(PyObject_Vectorcall(ptr(callable), v + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class C, class... A>
Ref call(const C& callable, const A&... args) {
    return call_kw(callable, nullptr, args...);
}

// self.name(*args, **keywords), through ordinary attribute lookup.
template <class S, class... A>
Ref call_method_kw(const S& self, PyObject* name, PyObject* kwnames, const A&... args) {
    if (!all_set(self, args...)) return Ref();
    PyObject* v[] = {ptr(self), ptr(args)...};
    size_t npos = 1 + sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return Ref::steal(PyObject_VectorcallMethod(name, v, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class S, class... A>
Ref call_method(const S& self, PyObject* name, const A&... args) {
    return call_method_kw(self, name, nullptr, args...);
}

// getattr(o, name).
template <class O>
Ref attr(const O& o, PyObject* name) {
    return ptr(o) ? Ref::steal(PyObject_GetAttr(ptr(o), name)) : Ref();
}

// `from MODULE import NAME`, or `import MODULE` without a name.
inline Ref import_from(const char* module, const char* name = nullptr) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m && name ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : m;
}

// A tuple of interned strings: the keyword names of a call.
inline Ref names_tuple(std::initializer_list<const char*> names) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (s == nullptr) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, s);
    }
    return t;
}

}  // namespace pyhost
