// Argument parsing with the interpreter's own messages, exact-type checks.
#pragma once

#include "refs.hpp"

#include <string>

namespace pyhost {

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
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

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

}  // namespace pyhost
