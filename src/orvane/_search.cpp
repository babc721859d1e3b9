// orvane._search: the resolver's compiled search index (private to the
// resolver).
//
// EpisodeIndex and VectorIndex wrap the plain C++ indexes of
// _search_core.hpp. The interpreter's lock is released while a scan runs,
// so queries of several threads and the rest of the process go on meanwhile;
// each index's own mutex is taken as the house rule says: try first, and
// only when that fails release the interpreter's lock to wait.
#include "pyhost.hpp"

#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>

#include "_search_core.hpp"

namespace {

using orvane_search::Hit;
using pyhost::Ref;

struct ModuleState {
    PyObject* episode_type;
};

ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

// Takes `mu` (exclusively or shared) from a thread holding the
// interpreter's lock.
template <bool Exclusive>
void take(std::shared_mutex& mu) {
    if (Exclusive ? mu.try_lock() : mu.try_lock_shared()) return;
    bool ok = true;
    Py_BEGIN_ALLOW_THREADS try {
        if (Exclusive)
            mu.lock();
        else
            mu.lock_shared();
    } catch (...) {
        ok = false;
    }
    Py_END_ALLOW_THREADS if (!ok) throw std::runtime_error("cannot take the index lock");
}

// The index's size, under its lock.
template <typename Index>
Py_ssize_t size_of(Index& index) noexcept {
    try {
        take<false>(index.mutex());
    } catch (...) {
        pyhost::raise_from_cpp_exception();
        return -1;
    }
    std::shared_lock<std::shared_mutex> hold(index.mutex(), std::adopt_lock);
    return static_cast<Py_ssize_t>(index.size());
}

// Runs `scan` with the interpreter's lock released and `mu` held shared.
// The scan must not touch Python objects.
template <typename Scan>
std::vector<Hit> scan_shared(std::shared_mutex& mu, Scan&& scan) {
    std::vector<Hit> hits;
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS try {
        std::shared_lock<std::shared_mutex> hold(mu);
        hits = scan();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
    return hits;
}

// [(score, rowid), ...]
PyObject* hits_list(const std::vector<Hit>& hits) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        PyObject* pair = Py_BuildValue("(dL)", hits[i].score, static_cast<long long>(hits[i].rowid));
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return out.release();
}

bool rowid_arg(PyObject* o, long long* out) {
    if (!PyLong_Check(o)) {
        pyhost::raise_arg_type("rowid", "int", o);
        return false;
    }
    *out = PyLong_AsLongLong(o);
    return !(*out == -1 && PyErr_Occurred());
}

bool count_arg(PyObject* o, const char* name, std::size_t* out) {
    Py_ssize_t n;
    if (!pyhost::ssize_arg(o, name, &n)) return false;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return false;
    }
    *out = static_cast<std::size_t>(n);
    return true;
}

// Reads a bytes-like argument; the view is released by the caller.
bool bytes_arg(PyObject* o, const char* name, Py_buffer* view) {
    if (PyObject_GetBuffer(o, view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        pyhost::raise_arg_type(name, "bytes", o);
        return false;
    }
    return true;
}

struct BufferGuard {
    Py_buffer view{};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// ---------------------------------------------------------------------------
// EpisodeIndex
// ---------------------------------------------------------------------------

struct EpisodeIndexObject {
    PyObject_HEAD orvane_search::EpisodeIndex* index;
};

orvane_search::EpisodeIndex& episodes_of(PyObject* self) { return *reinterpret_cast<EpisodeIndexObject*>(self)->index; }

PyObject* episodes_new(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* index = new (std::nothrow) orvane_search::EpisodeIndex();
    if (index == nullptr) return PyErr_NoMemory();
    reinterpret_cast<EpisodeIndexObject*>(self.get())->index = index;
    return self.release();
}

void episodes_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<EpisodeIndexObject*>(self)->index;
    tp->tp_free(self);
    Py_DECREF(tp);
}

Py_ssize_t episodes_len(PyObject* self) { return size_of(episodes_of(self)); }

PyObject* episodes_append(PyObject* self, PyObject* rowid_obj, PyObject* packed) {
    long long rowid;
    if (!rowid_arg(rowid_obj, &rowid)) return nullptr;
    BufferGuard buf;
    if (!bytes_arg(packed, "packed", &buf.view)) return nullptr;
    buf.held = true;
    auto& index = episodes_of(self);
    take<true>(index.mutex());
    std::unique_lock<std::shared_mutex> hold(index.mutex(), std::adopt_lock);
    if (!index.append(rowid, static_cast<const unsigned char*>(buf.view.buf), static_cast<std::size_t>(buf.view.len))) {
        PyErr_SetString(PyExc_ValueError, "packed channel values are malformed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* episodes_search(PyObject* self, PyObject* names_arg, PyObject* values_arg, PyObject* k_arg,
                          PyObject* limit_arg, PyObject* cap_arg) {
    if (!pyhost::check_list(names_arg, "names") || !pyhost::check_list(values_arg, "values")) return nullptr;
    std::size_t k, limit;
    double cap;
    if (!count_arg(k_arg, "k", &k) || !count_arg(limit_arg, "limit", &limit) ||
        !pyhost::float_arg(cap_arg, "cap", &cap))
        return nullptr;
    const Py_ssize_t m = PyList_GET_SIZE(names_arg);
    if (PyList_GET_SIZE(values_arg) != m) {
        PyErr_SetString(PyExc_ValueError, "names and values differ in length");
        return nullptr;
    }
    // Own copies: the lists may change while the scan runs without the GIL.
    std::vector<std::string> names;
    std::vector<orvane_search::Probe> probe;
    names.reserve(static_cast<std::size_t>(m));
    probe.reserve(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyObject* name = PyList_GET_ITEM(names_arg, i);
        if (!PyBytes_CheckExact(name)) {
            pyhost::raise_arg_type("names", "bytes", name);
            return nullptr;
        }
        names.emplace_back(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
        double value;
        if (!pyhost::float_arg(PyList_GET_ITEM(values_arg, i), "values", &value)) return nullptr;
        probe.push_back({{}, value});
    }
    for (std::size_t i = 0; i < names.size(); ++i) probe[i].name = names[i];
    auto& index = episodes_of(self);
    auto hits = scan_shared(index.mutex(), [&] { return index.search(probe, k, limit, cap); });
    return hits_list(hits);
}

PyObject* episodes_footprint(PyObject* self) {
    auto& index = episodes_of(self);
    take<false>(index.mutex());
    std::shared_lock<std::shared_mutex> hold(index.mutex(), std::adopt_lock);
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(index.channel_count()),
                         static_cast<Py_ssize_t>(index.slots_held()));
}

PyMethodDef episodes_methods[] = {
    pyhost::def<"append", episodes_append, "rowid, packed",
                "Add one stored episode: its row id and its packed channel values\n"
                "(repeated u32 name length, UTF-8 name, f64 value; little-endian).">(),
    pyhost::def<"search", episodes_search, "names, values, k, limit, cap",
                "The k best of the newest `limit` episodes for the query channels\n"
                "names[i] = values[i] (names as UTF-8 bytes), as [(score, rowid), ...]:\n"
                "best first, equal scores newest first.">(),
    pyhost::def<"footprint", episodes_footprint, "",
                "(channels, value slots held): a slot per value, plus the gaps of\n"
                "channels kept as columns.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot episodes_slots[] = {
    pyhost::new_slot<"EpisodeIndex", episodes_new, "">(),
    {Py_tp_dealloc, reinterpret_cast<void*>(episodes_dealloc)},
    {Py_tp_methods, episodes_methods},
    {Py_sq_length, reinterpret_cast<void*>(episodes_len)},
    {Py_tp_doc, const_cast<char*>("EpisodeIndex()\n--\n\n"
                                  "One device's episodes as native channel columns, in store order.")},
    {0, nullptr},
};

PyType_Spec episodes_spec = {"orvane._search.EpisodeIndex", sizeof(EpisodeIndexObject), 0, Py_TPFLAGS_DEFAULT,
                             episodes_slots};

// ---------------------------------------------------------------------------
// VectorIndex
// ---------------------------------------------------------------------------

struct VectorIndexObject {
    PyObject_HEAD orvane_search::VectorIndex* index;
};

orvane_search::VectorIndex& vectors_of(PyObject* self) { return *reinterpret_cast<VectorIndexObject*>(self)->index; }

PyObject* vectors_new(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* index = new (std::nothrow) orvane_search::VectorIndex();
    if (index == nullptr) return PyErr_NoMemory();
    reinterpret_cast<VectorIndexObject*>(self.get())->index = index;
    return self.release();
}

void vectors_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<VectorIndexObject*>(self)->index;
    tp->tp_free(self);
    Py_DECREF(tp);
}

Py_ssize_t vectors_len(PyObject* self) { return size_of(vectors_of(self)); }

// A non-empty bytes-like run of native doubles, copied.
bool doubles_arg(PyObject* o, const char* name, std::vector<double>* out) {
    BufferGuard buf;
    if (!bytes_arg(o, name, &buf.view)) return false;
    buf.held = true;
    if (buf.view.len == 0 || buf.view.len % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold one or more doubles", name);
        return false;
    }
    out->resize(static_cast<std::size_t>(buf.view.len) / sizeof(double));
    std::memcpy(out->data(), buf.view.buf, static_cast<std::size_t>(buf.view.len));
    return true;
}

PyObject* vectors_append(PyObject* self, PyObject* rowid_obj, PyObject* unit_arg) {
    long long rowid;
    if (!rowid_arg(rowid_obj, &rowid)) return nullptr;
    std::vector<double> unit;
    if (!doubles_arg(unit_arg, "unit", &unit)) return nullptr;
    auto& index = vectors_of(self);
    take<true>(index.mutex());
    std::unique_lock<std::shared_mutex> hold(index.mutex(), std::adopt_lock);
    index.append(rowid, unit.data(), unit.size());
    Py_RETURN_NONE;
}

PyObject* vectors_search(PyObject* self, PyObject* probe_arg, PyObject* k_arg) {
    std::vector<double> probe;
    std::size_t k;
    if (!doubles_arg(probe_arg, "probe", &probe) || !count_arg(k_arg, "k", &k)) return nullptr;
    auto& index = vectors_of(self);
    auto hits = scan_shared(index.mutex(), [&] { return index.search(probe.data(), probe.size(), k); });
    return hits_list(hits);
}

PyMethodDef vectors_methods[] = {
    pyhost::def<"append", vectors_append, "rowid, unit",
                "Add one stored vector: its row id and its unit values as native doubles\n"
                "(kept as float32).">(),
    pyhost::def<"search", vectors_search, "probe, k",
                "Cosine of the unit probe (native doubles) against the stored vectors of\n"
                "its length: the k best as [(score, rowid), ...], equal scores newest first.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vectors_slots[] = {
    pyhost::new_slot<"VectorIndex", vectors_new, "">(),
    {Py_tp_dealloc, reinterpret_cast<void*>(vectors_dealloc)},
    {Py_tp_methods, vectors_methods},
    {Py_sq_length, reinterpret_cast<void*>(vectors_len)},
    {Py_tp_doc, const_cast<char*>("VectorIndex()\n--\n\n"
                                  "One device's unit vectors as float32 rows, grouped by length.")},
    {0, nullptr},
};

PyType_Spec vectors_spec = {"orvane._search.VectorIndex", sizeof(VectorIndexObject), 0, Py_TPFLAGS_DEFAULT,
                            vectors_slots};

// load_episodes(rows, indexes): each row of the iterable `rows` is
// (rowid, device_id, packed), in store order, and is appended to
// indexes[device_id] (a new EpisodeIndex where missing). Opening a store
// feeds every episode through here straight from the database cursor, so
// no row outlives its own step.
PyObject* load_episodes(PyObject* module, PyObject* rows_arg, PyObject* indexes) {
    if (!pyhost::check_dict(indexes, "indexes")) return nullptr;
    // The module's own type, not whatever its attribute names now.
    Ref episode_type = Ref::borrow(state_of(module)->episode_type);
    if (!episode_type) {
        PyErr_SetString(PyExc_RuntimeError, "orvane._search is being torn down");
        return nullptr;
    }
    Ref rows = Ref::steal(PyObject_GetIter(rows_arg));
    if (!rows) return nullptr;
    Ref last_device;
    Ref index;
    while (Ref row = Ref::steal(PyIter_Next(rows.get()))) {
        if (!PyTuple_Check(row.get()) || PyTuple_GET_SIZE(row.get()) != 3) {
            PyErr_SetString(PyExc_TypeError, "rows must be (rowid, device_id, packed) tuples");
            return nullptr;
        }
        PyObject* device = PyTuple_GET_ITEM(row.get(), 1);
        if (!last_device ||
            (device != last_device.get() && !(PyUnicode_CheckExact(device) && PyUnicode_CheckExact(last_device.get()) &&
                                              PyUnicode_Compare(device, last_device.get()) == 0))) {
            if (!pyhost::check_str(device, "device_id")) return nullptr;
            PyObject* found = PyDict_GetItemWithError(indexes, device);
            if (found == nullptr) {
                if (PyErr_Occurred()) return nullptr;
                index = Ref::steal(PyObject_CallNoArgs(episode_type.get()));
                if (!index || PyDict_SetItem(indexes, device, index.get()) < 0) return nullptr;
            } else if (Py_TYPE(found) != reinterpret_cast<PyTypeObject*>(episode_type.get())) {
                PyErr_SetString(PyExc_TypeError, "indexes must map device ids to EpisodeIndex objects");
                return nullptr;
            } else {
                index = Ref::borrow(found);
            }
            last_device = Ref::borrow(device);
        }
        Ref done =
            Ref::steal(episodes_append(index.get(), PyTuple_GET_ITEM(row.get(), 0), PyTuple_GET_ITEM(row.get(), 2)));
        if (!done) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    pyhost::def_function<"load_episodes", load_episodes, "rows, indexes",
                         "Append each (rowid, device_id, packed) of the iterable rows, in store\n"
                         "order, to indexes[device_id], making an EpisodeIndex for a device not\n"
                         "yet there.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

int exec_module(PyObject* module) {
    for (PyType_Spec* spec : {&episodes_spec, &vectors_spec}) {
        Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, nullptr));
        if (!type || PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return -1;
        if (spec == &episodes_spec) state_of(module)->episode_type = type.release();
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    return st == nullptr ? 0 : pyhost::visit_all(visit, arg, st->episode_type);
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st != nullptr) Py_CLEAR(st->episode_type);
    return 0;
}

PyModuleDef_Slot slots[] = PYHOST_MODULE_SLOTS(exec_module);

PyModuleDef moduledef =
    pyhost::module_def<ModuleState>("orvane._search", "The resolver's compiled search index (private).", slots,
                                    module_traverse, module_clear, pyhost::free_by_clear<module_clear>, module_methods);

}  // namespace

PyMODINIT_FUNC PyInit__search(void) { return PyModuleDef_Init(&moduledef); }
