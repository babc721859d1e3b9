// Cross-modal retrieval: stores embedding vectors in the resolver's vector
// store and asks it for the nearest ones.
//
// Every operation converts the caller's embedding to a flat list of float32
// values widened to Python floats, posts one JSON body through the client's
// `_request` (via `_post`, looked up on the instance so that a subclass may
// stand in for the transport), and returns one field of the response. A
// resolver without the vector endpoints answers 404; `_post` turns that into
// RetrievalNotAvailable, chained to the client's error, so that callers can
// tell "no vector retrieval here" from every other failure.
//
// NumPy stays the array type at the boundary: conversion and flattening are
// NumPy's own (asarray to float32, reshape(-1)); the flat array is then read
// through the buffer protocol, so the build needs no NumPy headers.
#include "pyhost.hpp"

#include <cstring>

namespace {

using pyhost::Ref;

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// clang-format off
#define STATE_OBJECTS(X) \
    X(not_available) X(retriever_type) X(asarray) X(float32) X(dtype_kwnames) X(json_kwnames) X(minus_one) \
    X(default_k)
// clang-format on

// Interned keys, attribute names and request texts.
// clang-format off
#define RETRIEVAL_NAMES(X) \
    X(device_id, "device_id") X(embedding, "embedding") X(metadata, "metadata") X(items, "items") X(k, "k") \
    X(id, "id") X(episode_ids, "episode_ids") X(results, "results") X(ingest_path, "/qx/ingest") \
    X(query_path, "/qx/query") X(post_method, "POST") X(request, "_request") X(config, "config") X(post, "_post") \
    X(get, "get") X(status_code, "status_code") X(reshape, "reshape") X(empty, "")
// clang-format on
PYHOST_NAMES(N, kNameTexts, RETRIEVAL_NAMES);

struct ModuleState {
#define DECLARE(f) PyObject* f;
    STATE_OBJECTS(DECLARE)
#undef DECLARE
    pyhost::Names<N::count> names;

    int traverse(visitproc visit, void* arg) {
        STATE_OBJECTS(PYHOST_VISIT_FIELD)
        return names.visit(visit, arg);
    }
    void clear() {
        STATE_OBJECTS(PYHOST_CLEAR_FIELD)
        names.clear();
    }
};

ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }
ModuleState* state_of(PyTypeObject* defining_class) { return pyhost::state_of<ModuleState>(defining_class); }

const char kNotAvailableFormat[] =
    "The resolver has no %U endpoint -- either it's running code from before QX retrieval existed, or this "
    "really is a 404. See orvane/qx/retrieval.";

// ---------------------------------------------------------------------------
// The retriever object
// ---------------------------------------------------------------------------

struct RetrieverObject {
    PyObject_HEAD PyObject* brain;
    PyObject* dict;
    PyObject* weakrefs;
};

RetrieverObject* as_retriever(PyObject* o) { return reinterpret_cast<RetrieverObject*>(o); }

Ref brain_of(PyObject* self) { return pyhost::member(self, as_retriever(self)->brain, "brain"); }

// ---------------------------------------------------------------------------
// Vector form and request pieces
// ---------------------------------------------------------------------------

bool is_float32_format(const char* format) {
    if (format == nullptr) return false;
    if (*format == '@' || *format == '=' || (*format == (PY_BIG_ENDIAN ? '>' : '<')) ||
        (PY_BIG_ENDIAN && *format == '!'))
        ++format;
    return std::strcmp(format, "f") == 0;
}

// The values of a flat float32 buffer as a list of Python floats, each
// widened exactly (0.1 becomes 0.10000000149011612).
Ref float_list(const Py_buffer& v) {
    if (v.ndim != 1 || v.itemsize != 4 || !is_float32_format(v.format)) {
        PyErr_Format(PyExc_TypeError, "expected a flat float32 array from numpy, got format '%s' with %d dimensions",
                     v.format ? v.format : "B", v.ndim);
        return Ref();
    }
    const Py_ssize_t n = v.shape[0];
    const Py_ssize_t stride = v.strides[0];
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return Ref();
    const char* base = static_cast<const char*>(v.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        float f;
        std::memcpy(&f, base + i * stride, sizeof f);
        PyObject* x = PyFloat_FromDouble(static_cast<double>(f));
        if (x == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), i, x);
    }
    return list;
}

// numpy.asarray(embedding, dtype=numpy.float32).reshape(-1), as a list of
// Python floats. A value NumPy cannot convert fails here, with NumPy's
// error, before anything is sent.
Ref vector_form(const ModuleState* st, PyObject* embedding) {
    Ref array = pyhost::call_kw(st->asarray, st->dtype_kwnames, embedding, st->float32);
    Ref flat = pyhost::call_method(array, st->names[N::reshape], st->minus_one);
    if (!flat) return Ref();
    Py_buffer view;
    if (PyObject_GetBuffer(flat.get(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return Ref();
    Ref list = float_list(view);
    PyBuffer_Release(&view);
    return list;
}

// The request's device id: the argument when it is a non-empty string,
// otherwise the client's configured id, read afresh.
Ref request_device_id(const ModuleState* st, PyObject* self, PyObject* device_id) {
    if (device_id != nullptr && device_id != Py_None && PyUnicode_GET_LENGTH(device_id) > 0)
        return Ref::borrow(device_id);
    return pyhost::attr(pyhost::attr(brain_of(self), st->names[N::config]), st->names[N::device_id]);
}

// mapping.get(key) or mapping.get(key, dflt); `*missing` is set instead of
// building a default when the mapping is exactly a dict.
Ref mapping_get(const ModuleState* st, PyObject* mapping, PyObject* key, PyObject* dflt, bool* missing) {
    *missing = false;
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v != nullptr) return Ref::borrow(v);
        if (!PyErr_Occurred()) *missing = true;
        return Ref();
    }
    if (dflt == nullptr) return Ref::steal(PyObject_CallMethodOneArg(mapping, st->names[N::get], key));
    return Ref::steal(PyObject_CallMethodObjArgs(mapping, st->names[N::get], key, dflt, nullptr));
}

void raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %s", expected, pyhost::type_name(got).c_str());
}

// self._post(path, body), looked up on the instance, with a dict body of
// the given (name, value) fields in their order.
Ref post_fields(const ModuleState* st, PyObject* self, std::size_t path,
                std::initializer_list<std::pair<std::size_t, PyObject*>> fields) {
    Ref body = Ref::steal(PyDict_New());
    if (!body) return Ref();
    for (auto [name, value] : fields)
        if (PyDict_SetItem(body.get(), st->names[name], value) < 0) return Ref();
    return pyhost::call_method(self, st->names[N::post], st->names[path], body);
}

// ---------------------------------------------------------------------------
// _post: the one call into the client
// ---------------------------------------------------------------------------

// While alive, `exc` is the exception being handled (sys.exception()), as
// inside an `except` block: errors raised meanwhile get it as __context__.
class HandlingException {
  public:
    explicit HandlingException(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingException() { PyErr_SetHandledException(previous_.get()); }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

  private:
    Ref previous_;
};

// str(getattr(error, "status_code", "")) == "404": 1, 0, or -1 with an error.
int is_not_found(const ModuleState* st, PyObject* error) {
    Ref status = Ref::steal(PyObject_GetAttr(error, st->names[N::status_code]));
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        status = Ref::borrow(st->names[N::empty]);
    }
    Ref text = Ref::steal(PyObject_Str(status.get()));
    if (!text) return -1;
    if (PyUnicode_CheckExact(text.get())) return PyUnicode_CompareWithASCIIString(text.get(), "404") == 0;
    Ref eq = Ref::steal(PyUnicode_FromString("404"));
    if (!eq) return -1;
    Ref r = Ref::steal(PyObject_RichCompare(text.get(), eq.get(), Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

PyObject* retriever_post(PyObject* self, PyTypeObject* cls, PyObject* path, PyObject* payload) {
    if (!pyhost::check_str(path, "path") || !pyhost::check_dict(payload, "payload")) return nullptr;
    const ModuleState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    Ref brain = brain_of(self);
    if (!brain) return nullptr;
    Ref result = pyhost::call_method_kw(brain, st->names[N::request], st->json_kwnames, st->names[N::post_method], path,
                                        payload);
    if (result) {
        if (PyDict_CheckExact(result.get()) || result.get() == Py_None) return result.release();
        raise_expected("dict", result.get());
        return nullptr;
    }
    // Only ordinary errors are examined; interrupts and exits pass untouched.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref error = pyhost::SavedError().take();
    HandlingException handling(error.get());
    int not_found = is_not_found(st, error.get());
    if (not_found < 0) return nullptr;  // raised while handling: chained to `error`
    if (!not_found) {
        pyhost::raise_object(std::move(error));  // as it was: no chaining, traceback kept
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat(kNotAvailableFormat, path));
    if (!message) return nullptr;
    Ref replacement = Ref::steal(PyObject_CallOneArg(st->not_available, message.get()));
    if (!replacement) return nullptr;
    // raise RetrievalNotAvailable(message) from error: the cause is set
    // here, the context by raising while `error` is being handled.
    PyException_SetCause(replacement.get(), Py_NewRef(error.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(replacement.get())), replacement.get());
    return nullptr;
}

// ---------------------------------------------------------------------------
// The operations
// ---------------------------------------------------------------------------

PyObject* retriever_ingest(PyObject* self, PyTypeObject* cls, PyObject* embedding, PyObject* device_id,
                           PyObject* metadata) {
    if (device_id == nullptr) device_id = Py_None;
    if (metadata == nullptr) metadata = Py_None;
    if (!pyhost::check_str(device_id, "device_id", true) || !pyhost::check_dict(metadata, "metadata", true))
        return nullptr;
    const ModuleState* st = state_of(cls);
    if (st == nullptr) return nullptr;

    Ref vector = vector_form(st, embedding);
    if (!vector) return nullptr;
    Ref device = request_device_id(st, self, device_id);
    if (!device) return nullptr;
    Ref meta = metadata != Py_None && PyDict_GET_SIZE(metadata) > 0 ? Ref::borrow(metadata) : Ref::steal(PyDict_New());
    if (!meta) return nullptr;
    Ref response = post_fields(st, self, N::ingest_path,
                               {{N::device_id, device.get()}, {N::embedding, vector.get()}, {N::metadata, meta.get()}});
    if (!response) return nullptr;
    bool missing;
    Ref id = mapping_get(st, response.get(), st->names[N::id], nullptr, &missing);
    if (!id && !missing) return nullptr;
    int truth = missing ? 0 : PyObject_IsTrue(id.get());
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(st->names[N::empty]);
    return PyObject_Str(id.get());
}

PyObject* retriever_ingest_batch(PyObject* self, PyTypeObject* cls, PyObject* items, PyObject* device_id) {
    if (device_id == nullptr) device_id = Py_None;
    if (!pyhost::check_list(items, "items") || !pyhost::check_str(device_id, "device_id", true)) return nullptr;
    const ModuleState* st = state_of(cls);
    if (st == nullptr) return nullptr;

    Ref sent = Ref::steal(PyList_New(0));
    if (!sent) return nullptr;
    // The list is re-read at each step: a conversion may run code that
    // changes it, and iteration sees what is there, as a for loop does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
        bool missing;
        Ref embedding = mapping_get(st, item.get(), st->names[N::embedding], nullptr, &missing);
        if (!embedding && !missing) return nullptr;
        Ref vector = missing || embedding.get() == Py_None ? Ref::borrow(Py_None) : vector_form(st, embedding.get());
        if (!vector) return nullptr;
        Ref copy = Ref::steal(PyDict_CheckExact(item.get())
                                  ? PyDict_Copy(item.get())
                                  : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), item.get()));
        if (!copy || PyDict_SetItem(copy.get(), st->names[N::embedding], vector.get()) < 0 ||
            PyList_Append(sent.get(), copy.get()) < 0)
            return nullptr;
    }
    Ref device = request_device_id(st, self, device_id);
    if (!device) return nullptr;
    Ref response = post_fields(st, self, N::ingest_path, {{N::device_id, device.get()}, {N::items, sent.get()}});
    if (!response) return nullptr;
    bool missing;
    Ref ids = mapping_get(st, response.get(), st->names[N::episode_ids], nullptr, &missing);
    if (!ids && !missing) return nullptr;
    int truth = missing ? 0 : PyObject_IsTrue(ids.get());
    if (truth < 0) return nullptr;
    if (!truth) return PyList_New(0);
    if (!PyList_CheckExact(ids.get())) {
        raise_expected("list", ids.get());
        return nullptr;
    }
    return ids.release();
}

PyObject* retriever_retrieve(PyObject* self, PyTypeObject* cls, PyObject* embedding, PyObject* device_id,
                             PyObject* k_arg) {
    if (device_id == nullptr) device_id = Py_None;
    if (!pyhost::check_str(device_id, "device_id", true)) return nullptr;
    const ModuleState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    Ref k = k_arg ? pyhost::int_arg(k_arg, "k") : Ref::borrow(st->default_k);
    if (!k) return nullptr;

    Ref vector = vector_form(st, embedding);
    if (!vector) return nullptr;
    Ref device = request_device_id(st, self, device_id);
    if (!device) return nullptr;
    Ref response = post_fields(st, self, N::query_path,
                               {{N::device_id, device.get()}, {N::embedding, vector.get()}, {N::k, k.get()}});
    if (!response) return nullptr;
    bool missing;
    Ref fallback;
    if (!PyDict_CheckExact(response.get())) {
        fallback = Ref::steal(PyList_New(0));
        if (!fallback) return nullptr;
    }
    Ref results = mapping_get(st, response.get(), st->names[N::results], fallback.get(), &missing);
    if (missing) return PyList_New(0);
    if (!results) return nullptr;
    if (!PyList_CheckExact(results.get()) && results.get() != Py_None) {
        raise_expected("list", results.get());
        return nullptr;
    }
    return results.release();
}

// ---------------------------------------------------------------------------
// Python glue
// ---------------------------------------------------------------------------

int retriever_init(PyObject* self, PyObject* brain) {
    Py_XSETREF(as_retriever(self)->brain, Py_NewRef(brain));
    return 0;
}

PyObject* get_brain(PyObject* self, void*) { return brain_of(self).release(); }

int set_brain(PyObject* self, PyObject* value, void*) {
    if (value == nullptr && as_retriever(self)->brain == nullptr) {
        pyhost::missing_attribute(self, "brain");
        return -1;
    }
    Py_XSETREF(as_retriever(self)->brain, Py_XNewRef(value));
    return 0;
}

using RetrieverRefs = pyhost::Owns<RetrieverObject, &RetrieverObject::brain, &RetrieverObject::dict>;

PyMethodDef retriever_methods[] = {
    pyhost::def<"ingest", retriever_ingest, "embedding, device_id=None, metadata=None",
                "Store one vector in the resolver's vector store; returns its id ('' when\n"
                "the resolver gives none).">(),
    pyhost::def<"ingest_batch", retriever_ingest_batch, "items, device_id=None",
                "Store several items (mappings with an 'embedding') in one request;\n"
                "returns their ids, index-aligned with items (None where refused).">(),
    pyhost::def<"retrieve", retriever_retrieve, "embedding, device_id=None, k=10",
                "Up to k stored vectors nearest to embedding, as the resolver's hits.">(),
    pyhost::def<"_post", retriever_post, "path, payload",
                "POST payload to path through the client; a 404 becomes\n"
                "RetrievalNotAvailable.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef retriever_getset[] = {
    pyhost::getset<get_brain, set_brain>("brain", "The resolver client."),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef retriever_members[] = {PYHOST_DICT_WEAK_MEMBERS(RetrieverObject, dict, weakrefs)};

PyType_Slot retriever_slots[] = {
    pyhost::init<retriever_init, "brain">(),
    PYHOST_OWNING_TYPE_SLOTS(RetrieverRefs, retriever),
    {Py_tp_doc, const_cast<char*>("CrossModalRetriever(brain)\n--\n\n"
                                  "Vector ingest and nearest-vector queries through the resolver client\n"
                                  "`brain`.")},
    {0, nullptr},
};

PyType_Spec retriever_spec =
    pyhost::gc_type_spec<RetrieverObject>("orvane.qx.retrieval.CrossModalRetriever", retriever_slots);

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st->names.init(kNameTexts) < 0) return -1;
    st->dtype_kwnames = Py_BuildValue("(s)", "dtype");
    st->json_kwnames = Py_BuildValue("(s)", "json");
    st->minus_one = PyLong_FromLong(-1);
    st->default_k = PyLong_FromLong(10);
    if (!st->dtype_kwnames || !st->json_kwnames || !st->minus_one || !st->default_k) return -1;

    if ((st->asarray = pyhost::import_from("numpy", "asarray").release()) == nullptr ||
        (st->float32 = pyhost::import_from("numpy", "float32").release()) == nullptr)
        return -1;

    st->not_available = PyErr_NewExceptionWithDoc(
        "orvane.qx.retrieval.RetrievalNotAvailable",
        "The resolver has no vector endpoints (it answered 404 to a vector request).", PyExc_Exception, nullptr);
    if (st->not_available == nullptr || PyModule_AddObjectRef(module, "RetrievalNotAvailable", st->not_available) < 0)
        return -1;
    return pyhost::add_type(module, &retriever_spec, &st->retriever_type);
}

// No per-interpreter GIL: NumPy, imported at load, does not support one.
PyModuleDef_Slot slots[] = {pyhost::exec_slot<exec_module>(), {0, nullptr}};

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.qx.retrieval", "Vector ingest and nearest-vector retrieval through the resolver client.", slots);

}  // namespace

PyMODINIT_FUNC PyInit_retrieval(void) { return PyModuleDef_Init(&moduledef); }
