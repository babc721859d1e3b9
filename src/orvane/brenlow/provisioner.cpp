// Device identity: settles the id under which a device's data is stored.
//
// An id the caller gave comes back as given, only trimmed and capped, never
// otherwise rewritten: every other call of the SDK sends the configured id
// raw, so rewriting it here would split one device into two identities.
#include "pyhost.hpp"

#include <cstring>

namespace {

using pyhost::Ref;

constexpr Py_ssize_t kMaxIdLength = 128;  // code points
constexpr int kFreshSuffix = 12;          // hex digits after "device_"

PyObject* fresh_device_id() {
    char hex[32];
    if (!pyhost::uuid4_hex(hex)) return nullptr;
    char id[7 + kFreshSuffix];
    std::memcpy(id, "device_", 7);
    std::memcpy(id + 7, hex, kFreshSuffix);
    return PyUnicode_FromStringAndSize(id, sizeof id);
}

PyObject* ensure_device_id(PyObject*, PyObject* device_id) {
    PyObject* id = device_id;
    if (!pyhost::check_str(id, "device_id", /*allow_none=*/true)) return nullptr;
    if (id == Py_None) return fresh_device_id();

    // Trim what str.strip() would remove: every character whose isspace
    // test holds (Unicode white space and the separators 0x1C-0x1F).
    const int kind = PyUnicode_KIND(id);
    const void* data = PyUnicode_DATA(id);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(id);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == end) return fresh_device_id();
    if (end - start > kMaxIdLength) end = start + kMaxIdLength;
    if (start == 0 && end == PyUnicode_GET_LENGTH(id)) return Py_NewRef(id);
    return PyUnicode_Substring(id, start, end);
}

PyMethodDef methods[] = {
    pyhost::def_function<"ensure_device_id", ensure_device_id, "device_id",
                         "The id under which a device's data is stored.\n\n"
                         "A given id comes back with surrounding white space removed and cut to\n"
                         "128 characters; None, '' or white space alone give a fresh\n"
                         "'device_' id of 12 random hex digits.">(),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    Ref uuid = pyhost::import_from("uuid");
    return uuid ? PyModule_AddObjectRef(module, "uuid", uuid.get()) : -1;
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef =
    pyhost::module_def("orvane.brenlow.provisioner", "Device identity for the resolver.", slots, methods);

}  // namespace

PyMODINIT_FUNC PyInit_provisioner(void) { return PyModuleDef_Init(&moduledef); }
