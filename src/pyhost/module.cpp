// Building a module: the exception boundary and the attribute errors.
#include "pyhost.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace pyhost {

void raise_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

PyObject* missing_attribute(PyObject* self, const char* name) noexcept {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%.200s'", type_name(self).c_str(), name);
    return nullptr;
}

int refuse_delete(const char* name) noexcept {
    PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", name);
    return -1;
}

}  // namespace pyhost

// The parameter lists that def() and init() read at compile time.
static_assert(pyhost::ParamList<"a, b=None, *, c=3">::count == 3 &&
              pyhost::ParamList<"a, b=None, *, c=3">::parsed.required == 1 &&
              pyhost::ParamList<"a, b=None, *, c=3">::parsed.positional == 2 && pyhost::ParamList<"">::count == 0);
