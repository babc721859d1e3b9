// The interpreter versions we build for (3.11 through 3.14), seen through
// one set of names: every module includes this instead of spelling its own
// version checks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GNUC__)
#define PYHOST_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define PYHOST_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define PYHOST_UNLIKELY(x) (x)
#define PYHOST_LIKELY(x) (x)
#endif

// Member type codes: public names from 3.12 on, structmember.h before. Our
// own names, so that the interpreter's are never redefined.
#if PY_VERSION_HEX >= 0x030C0000
#define PYHOST_T_PYSSIZET Py_T_PYSSIZET
#define PYHOST_READONLY Py_READONLY
#else
#include <structmember.h>
#define PYHOST_T_PYSSIZET T_PYSSIZET
#define PYHOST_READONLY READONLY
#endif

// __dictoffset__ / __weaklistoffset__ members of a heap type whose objects
// keep an instance dict and weak references at fields `dict` and `weak`.
#define PYHOST_DICT_WEAK_MEMBERS(Object, dict, weak)                                                   \
    {"__dictoffset__", PYHOST_T_PYSSIZET, offsetof(Object, dict), PYHOST_READONLY, nullptr},           \
        {"__weaklistoffset__", PYHOST_T_PYSSIZET, offsetof(Object, weak), PYHOST_READONLY, nullptr}, { \
        nullptr, 0, 0, 0, nullptr                                                                      \
    }
// The same for weak references only.
#define PYHOST_WEAK_MEMBERS(Object, weak)                                                          \
    {"__weaklistoffset__", PYHOST_T_PYSSIZET, offsetof(Object, weak), PYHOST_READONLY, nullptr}, { \
        nullptr, 0, 0, 0, nullptr                                                                  \
    }
