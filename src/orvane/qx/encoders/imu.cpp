// IMU encoder: six-channel inertial windows to unit-length embeddings.
//
// The network is made of torch.nn layers and runs through torch's Python
// API: `_MSBranch` and `_IMUModel` are heap types whose base is nn.Module,
// `IMUEncoder` one whose base is the SDK's BaseEncoder. Their methods are
// written here; the layers, the tensor kernels and checkpoint loading are
// torch's. Nothing links against libtorch, so the module builds wherever the
// interpreter does and fails at import, with the SDK's own message, only
// where torch is missing.
//
// Layout: module state; small call helpers; IMUEncoderConfig; _MSBranch;
// _IMUModel (construction, forward); IMUEncoder (construction,
// load_checkpoint, _to_tensor, encode); the types; module exec.
#include "pyhost.hpp"

#include <cstring>

namespace {

using pyhost::Ref;

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// Objects bound at import: the libraries, the classes built here, and the
// base classes they derive from.
#define IMU_OBJECTS(X) \
    X(np)              \
    X(np_float32)      \
    X(torch)           \
    X(nn)              \
    X(F)               \
    X(base_encoder)    \
    X(config_type)     \
    X(branch_type)     \
    X(model_type)      \
    X(encoder_type)

// The small ints the network's calls pass.
#define IMU_INTS(X)  \
    X(minus_one, -1) \
    X(zero, 0)       \
    X(one, 1)        \
    X(two, 2)

// Interned attribute and keyword names, compared by pointer first.
#define IMU_NAMES(X)     \
    X(asarray)           \
    X(ascontiguousarray) \
    X(astype)            \
    X(attn)              \
    X(branch_filters)    \
    X(branch_pool_steps) \
    X(branches)          \
    X(cat)               \
    X(cfg)               \
    X(clone)             \
    X(cpu)               \
    X(detach)            \
    X(device)            \
    X(eval)              \
    X(ff)                \
    X(from_numpy)        \
    X(heads)             \
    X(in_channels)       \
    X(is_grad_enabled)   \
    X(items)             \
    X(kernels)           \
    X(ln1)               \
    X(ln2)               \
    X(load)              \
    X(load_checkpoint)   \
    X(load_state_dict)   \
    X(mean)              \
    X(_model)            \
    X(model_state_dict)  \
    X(net)               \
    X(normalize)         \
    X(numpy)             \
    X(out_dim)           \
    X(proj)              \
    X(proj_hidden)       \
    X(reshape)           \
    X(set_grad_enabled)  \
    X(shape)             \
    X(squeeze)           \
    X(state_dict)        \
    X(strides)           \
    X(T)                 \
    X(to)                \
    X(_to_tensor)        \
    X(to_tokens)         \
    X(token_dim)         \
    X(unsqueeze)         \
    X(view)              \
    X(weights_loaded)

// Keyword-name tuples of the calls that pass keywords, each with its names.
#define IMU_KEYWORDS(X)                                \
    X(kw_dtype, "dtype")                               \
    X(kw_conv, "kernel_size", "stride", "padding")     \
    X(kw_inplace, "inplace")                           \
    X(kw_mha, "embed_dim", "num_heads", "batch_first") \
    X(kw_need_weights, "need_weights")                 \
    X(kw_dim, "dim")                                   \
    X(kw_normalize, "p", "dim")                        \
    X(kw_map_location, "map_location")

struct State {
#define IMU_DECLARE(n, ...) PyObject* n;
    IMU_OBJECTS(IMU_DECLARE)
    IMU_NAMES(IMU_DECLARE)
    IMU_KEYWORDS(IMU_DECLARE)
    IMU_INTS(IMU_DECLARE)
#undef IMU_DECLARE

    int traverse(visitproc visit, void* arg) {
        IMU_OBJECTS(PYHOST_VISIT_FIELD)
        return 0;
    }
    void clear() {
        IMU_OBJECTS(PYHOST_CLEAR_FIELD)
        IMU_NAMES(PYHOST_CLEAR_FIELD)
        IMU_KEYWORDS(PYHOST_CLEAR_FIELD)
        IMU_INTS(PYHOST_CLEAR_FIELD)
    }
};

// Defined at the end of the file, with the module's slots.
extern PyModuleDef moduledef;

State* state_of(PyObject* module) { return pyhost::state_of<State>(module); }

State* state_of(PyTypeObject* cls) { return pyhost::state_of<State>(cls); }

// For slots that get no defining class (tp_init): the state of the module
// that made one of the classes in the instance's MRO.
State* state_from_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &moduledef);
    return module ? state_of(module) : nullptr;
}

// ---------------------------------------------------------------------------
// Call helpers: the kit's, and the few only the network needs
// ---------------------------------------------------------------------------

using pyhost::all_set, pyhost::attr, pyhost::call, pyhost::call_kw, pyhost::call_method, pyhost::call_method_kw,
    pyhost::names_tuple, pyhost::ptr;

// o[i] of a sequence.
Ref item(const Ref& o, Py_ssize_t i) { return o ? Ref::steal(PySequence_GetItem(o.get(), i)) : Ref(); }

Ref add(const Ref& a, const Ref& b) { return all_set(a, b) ? Ref::steal(PyNumber_Add(a.get(), b.get())) : Ref(); }
template <class B>
Ref mul(const Ref& a, const B& b) {
    return all_set(a, b) ? Ref::steal(PyNumber_Multiply(a.get(), ptr(b))) : Ref();
}

// ---------------------------------------------------------------------------
// IMUEncoderConfig: a real data class, made at import
// ---------------------------------------------------------------------------

struct ConfigField {
    const char* name;
    PyTypeObject* annotation;  // int, or tuple
    long defaults[3];          // the int, or the three entries of the tuple
};

const ConfigField kConfigFields[] = {
    {"in_channels", &PyLong_Type, {6}},
    {"branch_filters", &PyLong_Type, {64}},
    {"branch_pool_steps", &PyLong_Type, {32}},
    {"kernels", &PyTuple_Type, {8, 32, 128}},
    {"strides", &PyTuple_Type, {1, 4, 16}},
    {"token_dim", &PyLong_Type, {192}},
    {"heads", &PyLong_Type, {4}},
    {"proj_hidden", &PyLong_Type, {512}},
    {"out_dim", &PyLong_Type, {256}},
};

// type("IMUEncoderConfig", (), namespace) under the module's dataclass
// decorator: a class statement's namespace, the fields in table order.
Ref make_config_class(PyObject* module) {
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) return Ref();
    Ref ns =
        Ref::steal(Py_BuildValue("{sOssss}", "__module__", modname.get(), "__qualname__", "IMUEncoderConfig", "__doc__",
                                 "Shape of the IMU encoder network: input channels (also the token\n"
                                 "count), per-branch filters, pooled steps, kernels and strides,\n"
                                 "token width, attention heads, projection width and output length."));
    Ref annotations = Ref::steal(PyDict_New());
    if (!ns || !annotations) return Ref();
    for (const ConfigField& f : kConfigFields) {
        const long* d = f.defaults;
        const bool is_tuple = f.annotation == &PyTuple_Type;
        Ref value = Ref::steal(is_tuple ? Py_BuildValue("(lll)", d[0], d[1], d[2]) : PyLong_FromLong(d[0]));
        if (!value || PyDict_SetItemString(annotations.get(), f.name, reinterpret_cast<PyObject*>(f.annotation)) < 0 ||
            PyDict_SetItemString(ns.get(), f.name, value.get()) < 0)
            return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0) return Ref();
    Ref dataclass = Ref::steal(PyObject_GetAttrString(module, "dataclass"));
    if (!dataclass) return Ref();
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    return call(dataclass, Ref::steal(PyObject_CallFunction(type, "s()O", "IMUEncoderConfig", ns.get())));
}

// ---------------------------------------------------------------------------
// _MSBranch: one convolution branch at one time scale
// ---------------------------------------------------------------------------

// torch.nn.<cls>(*args, **keywords), the class looked up on torch.nn as the
// Python spelling nn.Linear(...) does. While an earlier step's error is set
// no layer is made, so that a run of layers needs only its last one checked.
template <class... A>
Ref layer(State* st, const char* cls, PyObject* kwnames, const A&... args) {
    if (PyErr_Occurred()) return Ref();
    return call_kw(Ref::steal(PyObject_GetAttrString(st->nn, cls)), kwnames, args...);
}

// *out = o.<name> for each (out, name), in order; false at the first failure.
bool read_attrs(PyObject* o, std::initializer_list<std::pair<Ref*, PyObject*>> fields) {
    for (auto [out, name] : fields) {
        *out = attr(o, name);
        if (!*out) return false;
    }
    return true;
}

// super(cls, self).__init__(): initialises every class above `cls` in the
// instance's MRO, nn.Module's bookkeeping included, before any attribute is
// set (nn.Module.__setattr__ needs it).
bool init_super(PyObject* cls, PyObject* self) {
    Ref sup = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    return static_cast<bool>(call(Ref::steal(sup ? PyObject_GetAttrString(sup.get(), "__init__") : nullptr)));
}

// self.name = value, for a value that may have failed to be made.
int set(PyObject* self, PyObject* name, const Ref& value) {
    return value ? PyObject_SetAttr(self, name, value.get()) : -1;
}

int branch_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel, PyObject* stride,
                PyObject* pool_steps) {
    // Each is an int argument; the names below are its converted value.
    static const char* const params[] = {"in_channels", "out_channels", "kernel", "stride", "pool_steps"};
    PyObject** given[] = {&in_channels, &out_channels, &kernel, &stride, &pool_steps};
    Ref v[5];
    for (int i = 0; i < 5; ++i) {
        v[i] = pyhost::int_arg(*given[i], params[i]);
        if (!v[i]) return -1;
        *given[i] = v[i].get();
    }
    State* st = state_from_instance(self);
    if (st == nullptr || !init_super(st->branch_type, self)) return -1;

    // Half the kernel on each side (floor division), never negative: an odd
    // kernel keeps the length at stride 1, an even one adds one step.
    Ref padding = Ref::steal(PyNumber_FloorDivide(kernel, st->two));
    if (!padding) return -1;
    int negative = PyObject_RichCompareBool(padding.get(), st->zero, Py_LT);
    if (negative < 0) return -1;
    if (negative) padding = Ref::borrow(st->zero);

    Ref conv = layer(st, "Conv1d", st->kw_conv, in_channels, out_channels, kernel, stride, padding);
    Ref bn = layer(st, "BatchNorm1d", nullptr, out_channels);
    Ref relu = layer(st, "ReLU", st->kw_inplace, Py_True);
    Ref pool = layer(st, "AdaptiveAvgPool1d", nullptr, pool_steps);
    return set(self, st->net, layer(st, "Sequential", nullptr, conv, bn, relu, pool));
}

PyObject* branch_forward(PyObject* self, PyTypeObject* cls, PyObject* x) {
    return call_method(self, state_of(cls)->net, x).release();
}

// ---------------------------------------------------------------------------
// _IMUModel: branches, token mixing, projection
// ---------------------------------------------------------------------------

// One _MSBranch per (kernel, stride) pair, position by position; the
// shorter of the two sequences ends the pairing.
Ref build_branches(State* st, PyObject* c) {
    Ref kernels, strides;
    if (!read_attrs(c, {{&kernels, st->kernels}, {&strides, st->strides}})) return Ref();
    Ref kit = Ref::steal(PyObject_GetIter(kernels.get()));
    Ref sit = Ref::steal(kit ? PyObject_GetIter(strides.get()) : nullptr);
    Ref list = Ref::steal(sit ? PyList_New(0) : nullptr);
    if (!list) return Ref();
    while (Ref k = Ref::steal(PyIter_Next(kit.get()))) {
        Ref s = Ref::steal(PyIter_Next(sit.get()));
        if (!s) break;
        Ref ki = Ref::steal(PyNumber_Long(k.get()));
        Ref si = Ref::steal(ki ? PyNumber_Long(s.get()) : nullptr);
        Ref in_ch, filters, pool;
        if (!si ||
            !read_attrs(c, {{&in_ch, st->in_channels}, {&filters, st->branch_filters}, {&pool, st->branch_pool_steps}}))
            return Ref();
        Ref branch = call(st->branch_type, in_ch, filters, ki, si, pool);
        if (!branch || PyList_Append(list.get(), branch.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return layer(st, "ModuleList", nullptr, list);
}

int model_init(PyObject* self, PyObject* c) {
    State* st = state_from_instance(self);
    if (st == nullptr || !init_super(st->model_type, self)) return -1;
    if (PyObject_SetAttr(self, st->cfg, c) < 0) return -1;
    if (set(self, st->branches, build_branches(st, c)) < 0) return -1;

    // Each layer is made right before it is assigned, in this order, so
    // that a seeded generator initialises the same weights as any model
    // laid out the same way.
    Ref kernels, filters, pool, in_ch, token_dim;
    if (!read_attrs(c, {{&kernels, st->kernels},
                        {&filters, st->branch_filters},
                        {&pool, st->branch_pool_steps},
                        {&in_ch, st->in_channels},
                        {&token_dim, st->token_dim}}))
        return -1;
    Py_ssize_t nk = PyObject_Length(kernels.get());
    if (nk < 0) return -1;
    // len(kernels) * branch_filters * branch_pool_steps inputs.
    Ref feat_dim = mul(mul(Ref::steal(PyLong_FromSsize_t(nk)), filters), pool);
    if (!feat_dim) return -1;
    if (set(self, st->to_tokens, layer(st, "Linear", nullptr, feat_dim, mul(in_ch, token_dim))) < 0) return -1;

    Ref heads = attr(c, st->heads);
    if (set(self, st->attn, layer(st, "MultiheadAttention", st->kw_mha, token_dim, heads, Py_True)) < 0) return -1;
    if (set(self, st->ln1, layer(st, "LayerNorm", nullptr, token_dim)) < 0) return -1;

    Ref ff_width = mul(token_dim, st->two);
    Ref ff0 = layer(st, "Linear", nullptr, token_dim, ff_width);
    Ref ff1 = layer(st, "GELU", nullptr);
    Ref ff2 = layer(st, "Linear", nullptr, ff_width, token_dim);
    if (set(self, st->ff, layer(st, "Sequential", nullptr, ff0, ff1, ff2)) < 0) return -1;
    if (set(self, st->ln2, layer(st, "LayerNorm", nullptr, token_dim)) < 0) return -1;

    Ref hidden = attr(c, st->proj_hidden);
    Ref proj0 = layer(st, "Linear", nullptr, token_dim, hidden);
    Ref proj1 = layer(st, "LayerNorm", nullptr, hidden);
    Ref proj2 = layer(st, "GELU", nullptr);
    if (!proj2) return -1;
    Ref proj3 = layer(st, "Linear", nullptr, hidden, attr(c, st->out_dim));
    return set(self, st->proj, layer(st, "Sequential", nullptr, proj0, proj1, proj2, proj3));
}

// x [B, in_channels, T] -> unit-length embeddings [B, out_dim].
PyObject* model_forward(PyObject* self, PyTypeObject* cls, PyObject* x) {
    State* st = state_of(cls);

    Ref shape = attr(x, st->shape);
    if (!shape) return nullptr;
    Py_ssize_t ndim = PyObject_Length(shape.get());
    if (ndim < 0) return nullptr;
    if (ndim != 3) {
        // str(tuple(shape)): "(6, 100)", "(100,)"; torch.Size prints otherwise.
        Ref t = Ref::steal(PySequence_Tuple(shape.get()));
        Ref text = Ref::steal(t ? PyObject_Str(t.get()) : nullptr);
        if (text) PyErr_Format(PyExc_ValueError, "Expected [B,6,T], got shape=%U", text.get());
        return nullptr;
    }
    Ref cfg = attr(self, st->cfg);
    Ref in_ch = attr(cfg, st->in_channels);
    if (!in_ch) return nullptr;
    Ref channels = item(shape, 1);
    if (!channels) return nullptr;
    int differs = PyObject_RichCompareBool(channels.get(), in_ch.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) return PyErr_Format(PyExc_ValueError, "Expected channels=%S, got=%S", in_ch.get(), channels.get());

    // Each branch's [B, filters, steps] output flattened to one row per
    // sample, branch 0 first.
    Ref batch = item(shape, 0);
    if (!batch) return nullptr;
    Ref branches = attr(self, st->branches);
    Ref it = Ref::steal(branches ? PyObject_GetIter(branches.get()) : nullptr);
    if (!it) return nullptr;
    Ref feats = Ref::steal(PyList_New(0));
    if (!feats) return nullptr;
    while (Ref branch = Ref::steal(PyIter_Next(it.get()))) {
        Ref row = call_method(call(branch, x), st->reshape, batch, st->minus_one);
        if (!row || PyList_Append(feats.get(), row.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref z = call_method_kw(st->torch, st->cat, st->kw_dim, feats, st->one);

    // One token per input channel.
    Ref flat = call_method(self, st->to_tokens, z);
    if (!flat) return nullptr;
    Ref rows = item(attr(z, st->shape), 0);
    if (!rows) return nullptr;
    Ref n_tokens = attr(cfg, st->in_channels);
    if (!n_tokens) return nullptr;
    Ref width = attr(cfg, st->token_dim);
    Ref tokens = call_method(flat, st->view, rows, n_tokens, width);

    // Post-norm self-attention block.
    Ref attended = call_method_kw(self, st->attn, st->kw_need_weights, tokens, tokens, tokens, Py_False);
    tokens = call_method(self, st->ln1, add(tokens, item(attended, 0)));
    tokens = call_method(self, st->ln2, add(tokens, call_method(self, st->ff, tokens)));

    Ref emb = call_method(self, st->proj, call_method_kw(tokens, st->mean, st->kw_dim, st->one));
    return call_method_kw(st->F, st->normalize, st->kw_normalize, emb, st->two, st->minus_one).release();
}

// ---------------------------------------------------------------------------
// IMUEncoder: arrays in, embeddings out
// ---------------------------------------------------------------------------

constexpr Py_ssize_t kWindowChannels = 6;

int encoder_init(PyObject* self, PyObject* checkpoint_path, PyObject* device) {
    State* st = state_from_instance(self);
    if (st == nullptr) return -1;
    if (checkpoint_path == nullptr) checkpoint_path = Py_None;
    if (device == nullptr) device = st->cpu;
    if (!pyhost::check_str(checkpoint_path, "checkpoint_path", /*allow_none=*/true) ||
        !pyhost::check_str(device, "device"))
        return -1;

    Ref cfg = call(st->config_type);
    if (set(self, st->cfg, cfg) < 0 || PyObject_SetAttr(self, st->device, device) < 0) return -1;
    Ref placed = call_method(call(st->model_type, cfg), st->to, device);
    if (set(self, st->_model, placed) < 0 || !call_method(placed, st->eval)) return -1;
    if (PyObject_SetAttr(self, st->weights_loaded, Py_False) < 0) return -1;

    if (checkpoint_path == Py_None || PyUnicode_GET_LENGTH(checkpoint_path) == 0) return 0;
    return call_method(self, st->load_checkpoint, checkpoint_path) ? 0 : -1;
}

// A copy of every parameter and buffer, to put back if a load fails:
// torch's strict loading copies the entries that match before it reports
// the ones that do not, which would leave the network half old, half new.
Ref snapshot_weights(State* st, const Ref& model) {
    Ref items = call_method(call_method(model, st->state_dict), st->items);
    Ref it = Ref::steal(items ? PyObject_GetIter(items.get()) : nullptr);
    if (!it) return it;
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return copy;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        // `for key, value in ...items()`: any pair, unpacked as Python would.
        Ref key, value;
        if (!pyhost::unpack_pair(pair.get(), &key, &value)) return Ref();
        Ref cloned = call_method(call_method(value, st->detach), st->clone);
        if (!cloned || PyDict_SetItem(copy.get(), key.get(), cloned.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return copy;
}

PyObject* encoder_load_checkpoint(PyObject* self, PyTypeObject* cls, PyObject* path) {
    if (!pyhost::check_str(path, "path")) return nullptr;
    State* st = state_of(cls);

    // Every tensor comes to the CPU first, whatever device it was saved
    // from; loading into the network then copies it to the network's device.
    Ref loaded = call_method_kw(st->torch, st->load, st->kw_map_location, path, st->cpu);
    if (!loaded) return nullptr;

    // A training checkpoint keeps the weights under "model_state_dict"
    // beside its other entries; anything else is taken as the weights.
    Ref state = loaded;
    if (PyDict_Check(loaded.get())) {
        int has = PySequence_Contains(loaded.get(), st->model_state_dict);
        if (has < 0) return nullptr;
        if (has) {
            state = Ref::steal(PyObject_GetItem(loaded.get(), st->model_state_dict));
            if (!state) return nullptr;
        }
    }

    Ref model = attr(self, st->_model);
    Ref previous = snapshot_weights(st, model);
    if (!previous) return nullptr;
    if (!call_method(model, st->load_state_dict, state)) {
        pyhost::SavedError failure;
        if (!call_method(model, st->load_state_dict, previous)) PyErr_Clear();
        return nullptr;
    }
    if (PyObject_SetAttr(self, st->weights_loaded, Py_True) < 0) return nullptr;
    Py_RETURN_NONE;
}

bool any_negative_stride(State* st, PyObject* arr, bool* out) {
    Ref strides = attr(arr, st->strides);
    Ref seq = Ref::steal(strides ? PySequence_Fast(strides.get(), "strides") : nullptr);
    if (!seq) return false;
    *out = false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Py_ssize_t s = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (s == -1 && PyErr_Occurred()) return false;
        if (s < 0) *out = true;
    }
    return true;
}

// raw -> float32 tensor [1, 6, T] over the same memory where it can be.
Ref to_tensor(State* st, PyObject* raw) {
    Ref arr = call_method_kw(st->np, st->asarray, st->kw_dtype, raw, st->np_float32);
    Ref shape = attr(arr, st->shape);
    if (!shape) return shape;
    Py_ssize_t ndim = PyObject_Length(shape.get());
    if (ndim < 0) return Ref();
    if (ndim != 2) {
        PyErr_Format(PyExc_ValueError, "Expected 2D [T,6] or [6,T] array, got shape=%S", shape.get());
        return Ref();
    }
    Py_ssize_t dims[2];
    for (int i = 0; i < 2; ++i) {
        Ref d = item(shape, i);
        dims[i] = d ? PyLong_AsSsize_t(d.get()) : -1;
        if (dims[i] == -1 && PyErr_Occurred()) return Ref();
    }
    // [T, 6] is read as T samples of 6 channels; a 6 x 6 window keeps its
    // rows as channels.
    if (dims[1] == kWindowChannels && dims[0] != kWindowChannels) {
        arr = attr(arr, st->T);
        if (!arr) return arr;
    } else if (dims[0] != kWindowChannels) {
        PyErr_Format(PyExc_ValueError, "Expected a channel dimension of 6, got shape=%S", shape.get());
        return Ref();
    }
    // Tensors cannot have negative strides: a reversed view is copied
    // rather than refused.
    bool negative;
    if (!any_negative_stride(st, arr.get(), &negative)) return Ref();
    if (negative) arr = call_method(st->np, st->ascontiguousarray, arr);
    return call_method(call_method(st->torch, st->from_numpy, arr), st->unsqueeze, st->zero);
}

PyObject* encoder_to_tensor(PyObject*, PyTypeObject* cls, PyObject* raw) {
    return to_tensor(state_of(cls), raw).release();
}

// The body of encode, run with gradient tracking off.
Ref encode_no_grad(State* st, PyObject* self, PyObject* raw) {
    Ref x = call_method(self, st->_to_tensor, raw);
    if (!x) return x;
    Ref emb = call_method(self, st->_model, call_method(x, st->to, attr(self, st->device)));
    Ref host = call_method(call_method(call_method(emb, st->squeeze, st->zero), st->cpu), st->numpy);
    return call_method(host, st->astype, st->np_float32);
}

PyObject* encoder_encode(PyObject* self, PyTypeObject* cls, PyObject* raw) {
    State* st = state_of(cls);
    Ref is_enabled = attr(st->torch, st->is_grad_enabled);
    if (!is_enabled) return nullptr;
    Ref set_enabled = attr(st->torch, st->set_grad_enabled);
    if (!set_enabled) return nullptr;
    Ref previous = call(is_enabled);
    if (!previous || !call(set_enabled, Py_False)) return nullptr;
    Ref result = encode_no_grad(st, self, raw);
    // The caller's gradient mode comes back whatever happened; when encoding
    // failed, its error is the one raised.
    pyhost::SavedError failure;
    if (!call(set_enabled, previous)) {
        if (!failure) return nullptr;
        PyErr_Clear();
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------

PyMethodDef branch_methods[] = {
    pyhost::def<"forward", branch_forward, "x", "[B, in_channels, T] -> [B, out_channels, pool_steps].">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef model_methods[] = {
    pyhost::def<"forward", model_forward, "x", "[B, in_channels, T] -> unit-length embeddings [B, out_dim].">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef encoder_methods[] = {
    pyhost::def<"load_checkpoint", encoder_load_checkpoint, "path",
                "Load trained weights from a torch checkpoint, bare or under\n"
                "'model_state_dict'. Every key must match; on failure the weights\n"
                "and weights_loaded stay as they were.">(),
    pyhost::def<"_to_tensor", encoder_to_tensor, "raw", "A [T, 6] or [6, T] window as a float32 tensor [1, 6, T].">(),
    pyhost::def<"encode", encoder_encode, "raw", "The unit-length float32 embedding (out_dim values) of one window.">(),
    {nullptr, nullptr, 0, nullptr},
};

// A subclassable type of `module` deriving from the Python class `base`,
// with its __init__, methods and docstring. The interpreter copies the name
// and docstring and reads the slots only while it builds the type.
PyObject* make_type(PyObject* module, PyObject* base, const char* name, PyType_Slot init, PyMethodDef* methods,
                    const char* doc) {
    PyType_Slot slots[] = {init, {Py_tp_methods, methods}, {Py_tp_doc, const_cast<char*>(doc)}, {0, nullptr}};
    PyType_Spec spec = {name, 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    return PyType_FromModuleAndSpec(module, &spec, base);
}

bool make_types(PyObject* module, State* st) {
    Ref nn_module = Ref::steal(PyObject_GetAttrString(st->nn, "Module"));
    if (!nn_module) return false;
    st->branch_type =
        make_type(module, nn_module.get(), "orvane.qx.encoders.imu._MSBranch",
                  pyhost::init<branch_init, "in_channels, out_channels, kernel, stride, pool_steps">(), branch_methods,
                  "_MSBranch(in_channels, out_channels, kernel, stride, pool_steps)\n--\n\n"
                  "One time scale of the encoder: convolution, batch normalisation,\n"
                  "ReLU and adaptive average pooling to pool_steps steps.");
    if (st->branch_type == nullptr) return false;
    st->model_type = make_type(module, nn_module.get(), "orvane.qx.encoders.imu._IMUModel",
                               pyhost::init<model_init, "cfg">(), model_methods,
                               "_IMUModel(cfg)\n--\n\n"
                               "Multi-scale convolution branches, one token per channel, a\n"
                               "self-attention block and a projection head to a unit vector.");
    if (st->model_type == nullptr) return false;
    st->encoder_type = make_type(module, st->base_encoder, "orvane.qx.encoders.imu.IMUEncoder",
                                 pyhost::init<encoder_init, "checkpoint_path=None, device=None">(), encoder_methods,
                                 "IMUEncoder(checkpoint_path=None, device='cpu')\n--\n\n"
                                 "Encodes six-channel IMU windows, [T, 6] or [6, T], into\n"
                                 "unit-length float32 embeddings.");
    return st->encoder_type != nullptr;
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

constexpr const char* kMissingTorch = "orvane.qx requires the 'qx' extra: pip install orvane[qx]";

// import torch, torch.nn as nn, torch.nn.functional as F; an ImportError
// from any of them becomes the SDK's message, chained to the original.
bool import_torch(PyObject* module, State* st) {
    const char* names[] = {"torch", "torch.nn", "torch.nn.functional"};
    const char* aliases[] = {"torch", "nn", "F"};
    PyObject** slots[] = {&st->torch, &st->nn, &st->F};
    for (int i = 0; i < 3; ++i) {
        *slots[i] = PyImport_ImportModule(names[i]);
        if (*slots[i]) {
            if (PyModule_AddObjectRef(module, aliases[i], *slots[i]) < 0) return false;
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        Ref cause = pyhost::SavedError().take();
        Ref error = call(PyExc_ImportError, Ref::steal(PyUnicode_FromString(kMissingTorch)));
        if (!error) return false;
        PyException_SetCause(error.get(), Py_NewRef(cause.get()));
        PyException_SetContext(error.get(), Py_NewRef(cause.get()));
        PyErr_SetObject(PyExc_ImportError, error.get());
        return false;
    }
    return true;
}

int exec_module(PyObject* module) {
    State* st = state_of(module);
#define IMU_SET(n, value)      \
    st->n = (value).release(); \
    if (!st->n) return -1;
#define IMU_INTERN(n) IMU_SET(n, Ref::steal(PyUnicode_InternFromString(#n)))
#define IMU_KW_TUPLE(n, ...) IMU_SET(n, names_tuple({__VA_ARGS__}))
#define IMU_INT(n, v) IMU_SET(n, Ref::steal(PyLong_FromLong(v)))
    IMU_NAMES(IMU_INTERN)
    IMU_KEYWORDS(IMU_KW_TUPLE)
    IMU_INTS(IMU_INT)
#undef IMU_INT
#undef IMU_KW_TUPLE
#undef IMU_INTERN
#undef IMU_SET

    static const char* const dataclasses_names[] = {"dataclass", nullptr};
    static const char* const typing_names[] = {"Optional", nullptr};
    if (pyhost::bind_constants(module, "dataclasses", dataclasses_names) < 0 ||
        pyhost::bind_constants(module, "typing", typing_names) < 0)
        return -1;
    st->np = PyImport_ImportModule("numpy");
    if (!st->np || PyModule_AddObjectRef(module, "np", st->np) < 0) return -1;
    st->np_float32 = PyObject_GetAttrString(st->np, "float32");
    if (!st->np_float32) return -1;

    if (!import_torch(module, st)) return -1;

    static const char* const base_names[] = {"BaseEncoder", nullptr};
    if (pyhost::bind_constants(module, "orvane.qx.encoders.base", base_names) < 0) return -1;
    st->base_encoder = PyObject_GetAttrString(module, "BaseEncoder");
    if (!st->base_encoder) return -1;

    st->config_type = make_config_class(module).release();
    if (!st->config_type || PyModule_AddObjectRef(module, "IMUEncoderConfig", st->config_type) < 0) return -1;

    if (!make_types(module, st) || PyModule_AddObjectRef(module, "_MSBranch", st->branch_type) < 0 ||
        PyModule_AddObjectRef(module, "_IMUModel", st->model_type) < 0)
        return -1;
    Ref name = Ref::steal(PyUnicode_FromString("imu"));
    if (!name || PyObject_SetAttrString(st->encoder_type, "name", name.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "IMUEncoder", st->encoder_type);
}

// No per-interpreter GIL (without the slot, subinterpreters share the main
// one): NumPy and torch do not support one.
PyModuleDef_Slot slots[] = {pyhost::exec_slot<exec_module>(), {0, nullptr}};

PyModuleDef moduledef =
    pyhost::module_def<State>("orvane.qx.encoders.imu", "IMU windows to unit-length embeddings.", slots);

}  // namespace

PyMODINIT_FUNC PyInit_imu(void) { return PyModuleDef_Init(&moduledef); }
