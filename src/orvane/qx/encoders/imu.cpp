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
// load_checkpoint, _to_tensor, encode); module exec.
#include "pyhost.hpp"

#include <cstring>
#include <new>

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
#define IMU_DECLARE(n, ...) Ref n;
    IMU_OBJECTS(IMU_DECLARE)
    IMU_NAMES(IMU_DECLARE)
    IMU_KEYWORDS(IMU_DECLARE)
#undef IMU_DECLARE
    Ref s_cpu;  // "cpu"
};

// Defined at the end of the file, with the module's slots.
extern PyModuleDef moduledef;

State* state_of(PyObject* module) { return pyhost::state_of<State>(module); }

State* state_from_type(PyTypeObject* cls) { return static_cast<State*>(PyType_GetModuleState(cls)); }

// For slots that get no defining class (tp_init): the state of the module
// that made one of the classes in the instance's MRO.
State* state_from_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &moduledef);
    return module ? state_of(module) : nullptr;
}

// ---------------------------------------------------------------------------
// Call helpers
// ---------------------------------------------------------------------------

// callable(*args); the leading slot lets the callee prepend a bound self.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* v[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **keywords): the last len(kwnames) arguments are the
// keyword values, in the order of kwnames.
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, A... args) {
    PyObject* v[] = {nullptr, args...};
    size_t npos = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, v + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args), through ordinary method lookup.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* v[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, v, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, A... args) {
    PyObject* v[] = {self, args...};
    size_t npos = 1 + sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_VectorcallMethod(name, v, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref new_int(long v) { return Ref::steal(PyLong_FromLong(v)); }

Ref names_tuple(std::initializer_list<const char*> names) {
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

// The exception being raised, taken out of the thread state so that Python
// code may run before it is raised again (dropped unless restored).
struct PendingError {
    Ref exc = pyhost::SavedError().take();
    PyObject* get() const { return exc.get(); }
    // Raises it again (dropping whatever was raised since).
    void restore() {
        if (!exc) return;
        PyErr_Clear();
        pyhost::raise_object(std::move(exc));
    }
};

// str(tuple(shape)): "(6, 100)", "(100,)"; torch.Size prints otherwise.
Ref shape_text(PyObject* shape) {
    Ref t = Ref::steal(PySequence_Tuple(shape));
    if (!t) return t;
    return Ref::steal(PyObject_Str(t.get()));
}

// ---------------------------------------------------------------------------
// IMUEncoderConfig: a real data class, made at import
// ---------------------------------------------------------------------------

struct ConfigField {
    const char* name;
    PyTypeObject* annotation;
    long defaults[3];  // one value, or the three entries of a tuple
    bool is_tuple;
};

const ConfigField kConfigFields[] = {
    {"in_channels", &PyLong_Type, {6}, false},
    {"branch_filters", &PyLong_Type, {64}, false},
    {"branch_pool_steps", &PyLong_Type, {32}, false},
    {"kernels", &PyTuple_Type, {8, 32, 128}, true},
    {"strides", &PyTuple_Type, {1, 4, 16}, true},
    {"token_dim", &PyLong_Type, {192}, false},
    {"heads", &PyLong_Type, {4}, false},
    {"proj_hidden", &PyLong_Type, {512}, false},
    {"out_dim", &PyLong_Type, {256}, false},
};

Ref make_config_class(PyObject* module) {
    Ref ns = Ref::steal(PyDict_New());
    Ref annotations = Ref::steal(PyDict_New());
    if (!ns || !annotations) return Ref();
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    Ref qualname = Ref::steal(PyUnicode_FromString("IMUEncoderConfig"));
    Ref doc =
        Ref::steal(PyUnicode_FromString("Shape of the IMU encoder network: input channels (also the token\n"
                                        "count), per-branch filters, pooled steps, kernels and strides,\n"
                                        "token width, attention heads, projection width and output length."));
    if (!modname || !qualname || !doc) return Ref();
    if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return Ref();
    for (const ConfigField& f : kConfigFields) {
        Ref value;
        if (f.is_tuple) {
            value = Ref::steal(Py_BuildValue("(lll)", f.defaults[0], f.defaults[1], f.defaults[2]));
        } else {
            value = new_int(f.defaults[0]);
        }
        if (!value) return Ref();
        if (PyDict_SetItemString(annotations.get(), f.name, reinterpret_cast<PyObject*>(f.annotation)) < 0 ||
            PyDict_SetItemString(ns.get(), f.name, value.get()) < 0)
            return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0) return Ref();
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return Ref();
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), ns.get());
    if (!cls) return Ref();
    Ref dataclass = Ref::steal(PyObject_GetAttrString(module, "dataclass"));
    if (!dataclass) return Ref();
    return call(dataclass.get(), cls.get());
}

// ---------------------------------------------------------------------------
// _MSBranch: one convolution branch at one time scale
// ---------------------------------------------------------------------------

// nn.<name>, looked up on the torch.nn module bound at import.
Ref nn_class(State* st, const char* name) { return Ref::steal(PyObject_GetAttrString(st->nn.get(), name)); }

// super(cls, self).__init__(): initialises every class above `cls` in the
// instance's MRO, nn.Module's bookkeeping included, before any attribute is
// set (nn.Module.__setattr__ needs it).
bool init_super(PyObject* cls, PyObject* self) {
    Ref sup = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    if (!sup) return false;
    Ref init = Ref::steal(PyObject_GetAttrString(sup.get(), "__init__"));
    return init && call(init.get());
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
    if (st == nullptr || !init_super(st->branch_type.get(), self)) return -1;

    // Half the kernel on each side (floor division), never negative: an odd
    // kernel keeps the length at stride 1, an even one adds one step.
    Ref zero = new_int(0), two = new_int(2);
    if (!zero || !two) return -1;
    Ref padding = Ref::steal(PyNumber_FloorDivide(kernel, two.get()));
    if (!padding) return -1;
    int negative = PyObject_RichCompareBool(padding.get(), zero.get(), Py_LT);
    if (negative < 0) return -1;
    if (negative) padding = zero;

    Ref conv_t = nn_class(st, "Conv1d"), bn_t = nn_class(st, "BatchNorm1d"), relu_t = nn_class(st, "ReLU"),
        pool_t = nn_class(st, "AdaptiveAvgPool1d"), seq_t = nn_class(st, "Sequential");
    if (!conv_t || !bn_t || !relu_t || !pool_t || !seq_t) return -1;
    Ref conv = call_kw(conv_t.get(), st->kw_conv.get(), in_channels, out_channels, kernel, stride, padding.get());
    if (!conv) return -1;
    Ref bn = call(bn_t.get(), out_channels);
    if (!bn) return -1;
    Ref relu = call_kw(relu_t.get(), st->kw_inplace.get(), Py_True);
    if (!relu) return -1;
    Ref pool = call(pool_t.get(), pool_steps);
    if (!pool) return -1;
    Ref net = call(seq_t.get(), conv.get(), bn.get(), relu.get(), pool.get());
    if (!net) return -1;
    return PyObject_SetAttr(self, st->net.get(), net.get());
}

PyObject* branch_forward(PyObject* self, PyTypeObject* cls, PyObject* x) {
    State* st = state_from_type(cls);
    Ref net = getattr(self, st->net.get());
    if (!net) return nullptr;
    return call(net.get(), x).release();
}

// ---------------------------------------------------------------------------
// _IMUModel: branches, token mixing, projection
// ---------------------------------------------------------------------------

// One _MSBranch per (kernel, stride) pair, position by position; the
// shorter of the two sequences ends the pairing.
Ref build_branches(State* st, PyObject* c) {
    Ref kernels = getattr(c, st->kernels.get()), strides = getattr(c, st->strides.get());
    if (!kernels || !strides) return Ref();
    Ref kit = Ref::steal(PyObject_GetIter(kernels.get()));
    if (!kit) return Ref();
    Ref sit = Ref::steal(PyObject_GetIter(strides.get()));
    if (!sit) return Ref();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return Ref();
    for (;;) {
        Ref k = Ref::steal(PyIter_Next(kit.get()));
        if (!k) break;
        Ref s = Ref::steal(PyIter_Next(sit.get()));
        if (!s) break;
        Ref ki = Ref::steal(PyNumber_Long(k.get()));
        if (!ki) return Ref();
        Ref si = Ref::steal(PyNumber_Long(s.get()));
        if (!si) return Ref();
        Ref in_ch = getattr(c, st->in_channels.get()), filters = getattr(c, st->branch_filters.get()),
            pool = getattr(c, st->branch_pool_steps.get());
        if (!in_ch || !filters || !pool) return Ref();
        Ref branch = call(st->branch_type.get(), in_ch.get(), filters.get(), ki.get(), si.get(), pool.get());
        if (!branch || PyList_Append(list.get(), branch.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    Ref module_list = nn_class(st, "ModuleList");
    if (!module_list) return Ref();
    return call(module_list.get(), list.get());
}

int model_set(PyObject* self, PyObject* name, const Ref& value) {
    return value ? PyObject_SetAttr(self, name, value.get()) : -1;
}

int model_init(PyObject* self, PyObject* c) {
    State* st = state_from_instance(self);
    if (st == nullptr || !init_super(st->model_type.get(), self)) return -1;
    if (PyObject_SetAttr(self, st->cfg.get(), c) < 0) return -1;
    if (model_set(self, st->branches.get(), build_branches(st, c)) < 0) return -1;

    Ref linear = nn_class(st, "Linear"), mha = nn_class(st, "MultiheadAttention"), norm = nn_class(st, "LayerNorm"),
        gelu = nn_class(st, "GELU"), seq = nn_class(st, "Sequential");
    if (!linear || !mha || !norm || !gelu || !seq) return -1;

    // Each layer is made right before it is assigned, in this order, so
    // that a seeded generator initialises the same weights as any model
    // laid out the same way.
    Ref kernels = getattr(c, st->kernels.get()), filters = getattr(c, st->branch_filters.get()),
        pool = getattr(c, st->branch_pool_steps.get()), in_ch = getattr(c, st->in_channels.get()),
        token_dim = getattr(c, st->token_dim.get());
    if (!kernels || !filters || !pool || !in_ch || !token_dim) return -1;
    Py_ssize_t nk = PyObject_Length(kernels.get());
    if (nk < 0) return -1;
    Ref feat_dim = Ref::steal(PyLong_FromSsize_t(nk));
    if (!feat_dim) return -1;
    feat_dim = Ref::steal(PyNumber_Multiply(feat_dim.get(), filters.get()));
    if (!feat_dim) return -1;
    feat_dim = Ref::steal(PyNumber_Multiply(feat_dim.get(), pool.get()));
    if (!feat_dim) return -1;
    Ref token_width = Ref::steal(PyNumber_Multiply(in_ch.get(), token_dim.get()));
    if (!token_width) return -1;
    if (model_set(self, st->to_tokens.get(), call(linear.get(), feat_dim.get(), token_width.get())) < 0) return -1;

    Ref heads = getattr(c, st->heads.get());
    if (!heads) return -1;
    if (model_set(self, st->attn.get(), call_kw(mha.get(), st->kw_mha.get(), token_dim.get(), heads.get(), Py_True)) <
        0)
        return -1;
    if (model_set(self, st->ln1.get(), call(norm.get(), token_dim.get())) < 0) return -1;

    Ref two = new_int(2);
    if (!two) return -1;
    Ref ff_width = Ref::steal(PyNumber_Multiply(token_dim.get(), two.get()));
    if (!ff_width) return -1;
    {
        Ref l0 = call(linear.get(), token_dim.get(), ff_width.get());
        if (!l0) return -1;
        Ref act = call(gelu.get());
        if (!act) return -1;
        Ref l2 = call(linear.get(), ff_width.get(), token_dim.get());
        if (!l2) return -1;
        if (model_set(self, st->ff.get(), call(seq.get(), l0.get(), act.get(), l2.get())) < 0) return -1;
    }
    if (model_set(self, st->ln2.get(), call(norm.get(), token_dim.get())) < 0) return -1;

    Ref hidden = getattr(c, st->proj_hidden.get());
    if (!hidden) return -1;
    Ref l0 = call(linear.get(), token_dim.get(), hidden.get());
    if (!l0) return -1;
    Ref ln = call(norm.get(), hidden.get());
    if (!ln) return -1;
    Ref act = call(gelu.get());
    if (!act) return -1;
    Ref out_dim = getattr(c, st->out_dim.get());
    if (!out_dim) return -1;
    Ref l3 = call(linear.get(), hidden.get(), out_dim.get());
    if (!l3) return -1;
    return model_set(self, st->proj.get(), call(seq.get(), l0.get(), ln.get(), act.get(), l3.get()));
}

// x [B, in_channels, T] -> unit-length embeddings [B, out_dim].
PyObject* model_forward(PyObject* self, PyTypeObject* cls, PyObject* x) {
    State* st = state_from_type(cls);

    Ref shape = getattr(x, st->shape.get());
    if (!shape) return nullptr;
    Py_ssize_t ndim = PyObject_Length(shape.get());
    if (ndim < 0) return nullptr;
    if (ndim != 3) {
        Ref text = shape_text(shape.get());
        if (text) PyErr_Format(PyExc_ValueError, "Expected [B,6,T], got shape=%U", text.get());
        return nullptr;
    }
    Ref cfg = getattr(self, st->cfg.get());
    if (!cfg) return nullptr;
    Ref in_ch = getattr(cfg.get(), st->in_channels.get());
    if (!in_ch) return nullptr;
    Ref channels = Ref::steal(PySequence_GetItem(shape.get(), 1));
    if (!channels) return nullptr;
    int differs = PyObject_RichCompareBool(channels.get(), in_ch.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        PyErr_Format(PyExc_ValueError, "Expected channels=%S, got=%S", in_ch.get(), channels.get());
        return nullptr;
    }

    // Each branch's [B, filters, steps] output flattened to one row per
    // sample, branch 0 first.
    Ref batch = Ref::steal(PySequence_GetItem(shape.get(), 0));
    Ref minus_one = new_int(-1), one = new_int(1);
    if (!batch || !minus_one || !one) return nullptr;
    Ref branches = getattr(self, st->branches.get());
    if (!branches) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(branches.get()));
    if (!it) return nullptr;
    Ref feats = Ref::steal(PyList_New(0));
    if (!feats) return nullptr;
    for (;;) {
        Ref branch = Ref::steal(PyIter_Next(it.get()));
        if (!branch) break;
        Ref y = call(branch.get(), x);
        if (!y) return nullptr;
        Ref row = call_method(y.get(), st->reshape.get(), batch.get(), minus_one.get());
        if (!row || PyList_Append(feats.get(), row.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref cat = getattr(st->torch.get(), st->cat.get());
    if (!cat) return nullptr;
    Ref z = call_kw(cat.get(), st->kw_dim.get(), feats.get(), one.get());
    if (!z) return nullptr;

    // One token per input channel.
    Ref to_tokens = getattr(self, st->to_tokens.get());
    if (!to_tokens) return nullptr;
    Ref flat = call(to_tokens.get(), z.get());
    if (!flat) return nullptr;
    Ref z_shape = getattr(z.get(), st->shape.get());
    if (!z_shape) return nullptr;
    Ref rows = Ref::steal(PySequence_GetItem(z_shape.get(), 0));
    if (!rows) return nullptr;
    Ref n_tokens = getattr(cfg.get(), st->in_channels.get()), width = getattr(cfg.get(), st->token_dim.get());
    if (!n_tokens || !width) return nullptr;
    Ref tokens = call_method(flat.get(), st->view.get(), rows.get(), n_tokens.get(), width.get());
    if (!tokens) return nullptr;

    // Post-norm self-attention block.
    Ref attn = getattr(self, st->attn.get());
    if (!attn) return nullptr;
    Ref attended = call_kw(attn.get(), st->kw_need_weights.get(), tokens.get(), tokens.get(), tokens.get(), Py_False);
    if (!attended) return nullptr;
    Ref a = Ref::steal(PySequence_GetItem(attended.get(), 0));
    if (!a) return nullptr;
    Ref sum = Ref::steal(PyNumber_Add(tokens.get(), a.get()));
    if (!sum) return nullptr;
    Ref ln1 = getattr(self, st->ln1.get());
    if (!ln1) return nullptr;
    tokens = call(ln1.get(), sum.get());
    if (!tokens) return nullptr;
    Ref ff = getattr(self, st->ff.get());
    if (!ff) return nullptr;
    Ref f = call(ff.get(), tokens.get());
    if (!f) return nullptr;
    sum = Ref::steal(PyNumber_Add(tokens.get(), f.get()));
    if (!sum) return nullptr;
    Ref ln2 = getattr(self, st->ln2.get());
    if (!ln2) return nullptr;
    tokens = call(ln2.get(), sum.get());
    if (!tokens) return nullptr;

    Ref pooled = call_method_kw(tokens.get(), st->mean.get(), st->kw_dim.get(), one.get());
    if (!pooled) return nullptr;
    Ref proj = getattr(self, st->proj.get());
    if (!proj) return nullptr;
    Ref emb = call(proj.get(), pooled.get());
    if (!emb) return nullptr;
    Ref normalize = getattr(st->F.get(), st->normalize.get());
    if (!normalize) return nullptr;
    Ref p = new_int(2);
    if (!p) return nullptr;
    return call_kw(normalize.get(), st->kw_normalize.get(), emb.get(), p.get(), minus_one.get()).release();
}

// ---------------------------------------------------------------------------
// IMUEncoder: arrays in, embeddings out
// ---------------------------------------------------------------------------

constexpr Py_ssize_t kWindowChannels = 6;

int encoder_init(PyObject* self, PyObject* checkpoint_path, PyObject* device) {
    State* st = state_from_instance(self);
    if (st == nullptr) return -1;
    if (checkpoint_path == nullptr) checkpoint_path = Py_None;
    if (device == nullptr) device = st->s_cpu.get();
    if (!pyhost::check_str(checkpoint_path, "checkpoint_path", /*allow_none=*/true) ||
        !pyhost::check_str(device, "device"))
        return -1;

    Ref cfg = call(st->config_type.get());
    if (!cfg || PyObject_SetAttr(self, st->cfg.get(), cfg.get()) < 0) return -1;
    if (PyObject_SetAttr(self, st->device.get(), device) < 0) return -1;
    Ref model = call(st->model_type.get(), cfg.get());
    if (!model) return -1;
    Ref placed = call_method(model.get(), st->to.get(), device);
    if (!placed || PyObject_SetAttr(self, st->_model.get(), placed.get()) < 0) return -1;
    if (!call_method(placed.get(), st->eval.get())) return -1;
    if (PyObject_SetAttr(self, st->weights_loaded.get(), Py_False) < 0) return -1;

    if (checkpoint_path != Py_None && PyUnicode_GET_LENGTH(checkpoint_path) > 0) {
        if (!call_method(self, st->load_checkpoint.get(), checkpoint_path)) return -1;
    }
    return 0;
}

// A copy of every parameter and buffer, to put back if a load fails:
// torch's strict loading copies the entries that match before it reports
// the ones that do not, which would leave the network half old, half new.
Ref snapshot_weights(State* st, PyObject* model) {
    Ref sd = call_method(model, st->state_dict.get());
    if (!sd) return sd;
    Ref items = call_method(sd.get(), st->items.get());
    if (!items) return items;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return it;
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return copy;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) break;
        // `for key, value in ...items()`: any pair, unpacked as Python would.
        Ref key, value;
        if (!pyhost::unpack_pair(item.get(), &key, &value)) return Ref();
        Ref detached = call_method(value.get(), st->detach.get());
        if (!detached) return Ref();
        Ref cloned = call_method(detached.get(), st->clone.get());
        if (!cloned || PyDict_SetItem(copy.get(), key.get(), cloned.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return copy;
}

PyObject* encoder_load_checkpoint(PyObject* self, PyTypeObject* cls, PyObject* path) {
    if (!pyhost::check_str(path, "path")) return nullptr;
    State* st = state_from_type(cls);

    // Every tensor comes to the CPU first, whatever device it was saved
    // from; loading into the network then copies it to the network's device.
    Ref load = getattr(st->torch.get(), st->load.get());
    if (!load) return nullptr;
    Ref loaded = call_kw(load.get(), st->kw_map_location.get(), path, st->s_cpu.get());
    if (!loaded) return nullptr;

    // A training checkpoint keeps the weights under "model_state_dict"
    // beside its other entries; anything else is taken as the weights.
    Ref state = loaded;
    if (PyDict_Check(loaded.get())) {
        int has = PySequence_Contains(loaded.get(), st->model_state_dict.get());
        if (has < 0) return nullptr;
        if (has) {
            state = Ref::steal(PyObject_GetItem(loaded.get(), st->model_state_dict.get()));
            if (!state) return nullptr;
        }
    }

    Ref model = getattr(self, st->_model.get());
    if (!model) return nullptr;
    Ref previous = snapshot_weights(st, model.get());
    if (!previous) return nullptr;
    if (!call_method(model.get(), st->load_state_dict.get(), state.get())) {
        PendingError failure;
        if (!call_method(model.get(), st->load_state_dict.get(), previous.get())) PyErr_Clear();
        failure.restore();
        return nullptr;
    }
    if (PyObject_SetAttr(self, st->weights_loaded.get(), Py_True) < 0) return nullptr;
    Py_RETURN_NONE;
}

bool any_negative_stride(State* st, PyObject* arr, bool* out) {
    Ref strides = getattr(arr, st->strides.get());
    if (!strides) return false;
    Ref seq = Ref::steal(PySequence_Fast(strides.get(), "strides"));
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
    Ref asarray = getattr(st->np.get(), st->asarray.get());
    if (!asarray) return asarray;
    Ref arr = call_kw(asarray.get(), st->kw_dtype.get(), raw, st->np_float32.get());
    if (!arr) return arr;
    Ref shape = getattr(arr.get(), st->shape.get());
    if (!shape) return shape;
    Py_ssize_t ndim = PyObject_Length(shape.get());
    if (ndim < 0) return Ref();
    if (ndim != 2) {
        PyErr_Format(PyExc_ValueError, "Expected 2D [T,6] or [6,T] array, got shape=%S", shape.get());
        return Ref();
    }
    Py_ssize_t dims[2];
    for (int i = 0; i < 2; ++i) {
        Ref d = Ref::steal(PySequence_GetItem(shape.get(), i));
        if (!d) return d;
        dims[i] = PyLong_AsSsize_t(d.get());
        if (dims[i] == -1 && PyErr_Occurred()) return Ref();
    }
    // [T, 6] is read as T samples of 6 channels; a 6 x 6 window keeps its
    // rows as channels.
    if (dims[1] == kWindowChannels && dims[0] != kWindowChannels) {
        arr = getattr(arr.get(), st->T.get());
        if (!arr) return arr;
    } else if (dims[0] != kWindowChannels) {
        PyErr_Format(PyExc_ValueError, "Expected a channel dimension of 6, got shape=%S", shape.get());
        return Ref();
    }
    // Tensors cannot have negative strides: a reversed view is copied
    // rather than refused.
    bool negative;
    if (!any_negative_stride(st, arr.get(), &negative)) return Ref();
    if (negative) {
        Ref contiguous = getattr(st->np.get(), st->ascontiguousarray.get());
        if (!contiguous) return contiguous;
        arr = call(contiguous.get(), arr.get());
        if (!arr) return arr;
    }
    Ref from_numpy = getattr(st->torch.get(), st->from_numpy.get());
    if (!from_numpy) return from_numpy;
    Ref t = call(from_numpy.get(), arr.get());
    if (!t) return t;
    Ref zero = new_int(0);
    if (!zero) return zero;
    return call_method(t.get(), st->unsqueeze.get(), zero.get());
}

PyObject* encoder_to_tensor(PyObject*, PyTypeObject* cls, PyObject* raw) {
    return to_tensor(state_from_type(cls), raw).release();
}

// The body of encode, run with gradient tracking off.
Ref encode_no_grad(State* st, PyObject* self, PyObject* raw) {
    Ref x = call_method(self, st->_to_tensor.get(), raw);
    if (!x) return x;
    Ref device = getattr(self, st->device.get());
    if (!device) return device;
    x = call_method(x.get(), st->to.get(), device.get());
    if (!x) return x;
    Ref model = getattr(self, st->_model.get());
    if (!model) return model;
    Ref emb = call(model.get(), x.get());
    if (!emb) return emb;
    Ref zero = new_int(0);
    if (!zero) return zero;
    Ref row = call_method(emb.get(), st->squeeze.get(), zero.get());
    if (!row) return row;
    row = call_method(row.get(), st->cpu.get());
    if (!row) return row;
    Ref host = call_method(row.get(), st->numpy.get());
    if (!host) return host;
    return call_method(host.get(), st->astype.get(), st->np_float32.get());
}

PyObject* encoder_encode(PyObject* self, PyTypeObject* cls, PyObject* raw) {
    State* st = state_from_type(cls);
    Ref is_enabled = getattr(st->torch.get(), st->is_grad_enabled.get());
    if (!is_enabled) return nullptr;
    Ref set_enabled = getattr(st->torch.get(), st->set_grad_enabled.get());
    if (!set_enabled) return nullptr;
    Ref previous = call(is_enabled.get());
    if (!previous || !call(set_enabled.get(), Py_False)) return nullptr;
    Ref result = encode_no_grad(st, self, raw);
    // The caller's gradient mode comes back whatever happened.
    PendingError failure;
    bool restored = static_cast<bool>(call(set_enabled.get(), previous.get()));
    if (failure.get() != nullptr) {
        if (!restored) PyErr_Clear();
        failure.restore();
        return nullptr;
    }
    return restored ? result.release() : nullptr;
}

// ---------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------

PyMethodDef branch_methods[] = {
    pyhost::def<"forward", branch_forward, "x", "[B, in_channels, T] -> [B, out_channels, pool_steps].">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot branch_slots[] = {
    pyhost::init<branch_init, "in_channels, out_channels, kernel, stride, pool_steps">(),
    {Py_tp_methods, branch_methods},
    {Py_tp_doc, const_cast<char*>("_MSBranch(in_channels, out_channels, kernel, stride, pool_steps)\n--\n\n"
                                  "One time scale of the encoder: convolution, batch normalisation,\n"
                                  "ReLU and adaptive average pooling to pool_steps steps.")},
    {0, nullptr},
};

PyType_Spec branch_spec = {"orvane.qx.encoders.imu._MSBranch", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                           branch_slots};

PyMethodDef model_methods[] = {
    pyhost::def<"forward", model_forward, "x", "[B, in_channels, T] -> unit-length embeddings [B, out_dim].">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    pyhost::init<model_init, "cfg">(),
    {Py_tp_methods, model_methods},
    {Py_tp_doc, const_cast<char*>("_IMUModel(cfg)\n--\n\n"
                                  "Multi-scale convolution branches, one token per channel, a\n"
                                  "self-attention block and a projection head to a unit vector.")},
    {0, nullptr},
};

PyType_Spec model_spec = {"orvane.qx.encoders.imu._IMUModel", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                          model_slots};

PyMethodDef encoder_methods[] = {
    pyhost::def<"load_checkpoint", encoder_load_checkpoint, "path",
                "Load trained weights from a torch checkpoint, bare or under\n"
                "'model_state_dict'. Every key must match; on failure the weights\n"
                "and weights_loaded stay as they were.">(),
    pyhost::def<"_to_tensor", encoder_to_tensor, "raw", "A [T, 6] or [6, T] window as a float32 tensor [1, 6, T].">(),
    pyhost::def<"encode", encoder_encode, "raw", "The unit-length float32 embedding (out_dim values) of one window.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    pyhost::init<encoder_init, "checkpoint_path=None, device=None">(),
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char*>("IMUEncoder(checkpoint_path=None, device='cpu')\n--\n\n"
                                  "Encodes six-channel IMU windows, [T, 6] or [6, T], into\n"
                                  "unit-length float32 embeddings.")},
    {0, nullptr},
};

PyType_Spec encoder_spec = {"orvane.qx.encoders.imu.IMUEncoder", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                            encoder_slots};

Ref make_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
    return Ref::steal(PyType_FromModuleAndSpec(module, spec, base));
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

constexpr const char* kMissingTorch = "orvane.qx requires the 'qx' extra: pip install orvane[qx]";

// import torch, torch.nn as nn, torch.nn.functional as F; an ImportError
// from any of them becomes the SDK's message, chained to the original.
bool import_torch(State* st) {
    const char* names[] = {"torch", "torch.nn", "torch.nn.functional"};
    Ref* slots[] = {&st->torch, &st->nn, &st->F};
    for (int i = 0; i < 3; ++i) {
        *slots[i] = Ref::steal(PyImport_ImportModule(names[i]));
        if (*slots[i]) continue;
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PendingError cause;
        Ref message = Ref::steal(PyUnicode_FromString(kMissingTorch));
        if (!message) return false;
        Ref error = call(PyExc_ImportError, message.get());
        if (!error) return false;
        PyException_SetCause(error.get(), Py_NewRef(cause.get()));
        PyException_SetContext(error.get(), Py_NewRef(cause.get()));
        PyErr_SetObject(PyExc_ImportError, error.get());
        return false;
    }
    return true;
}

int exec_module(PyObject* module) {
    State* st = new (state_of(module)) State();
#define IMU_INTERN(n)                                   \
    st->n = Ref::steal(PyUnicode_InternFromString(#n)); \
    if (!st->n) return -1;
    IMU_NAMES(IMU_INTERN)
#undef IMU_INTERN
#define IMU_KW_TUPLE(n, ...)            \
    st->n = names_tuple({__VA_ARGS__}); \
    if (!st->n) return -1;
    IMU_KEYWORDS(IMU_KW_TUPLE)
#undef IMU_KW_TUPLE
    st->s_cpu = Ref::steal(PyUnicode_InternFromString("cpu"));
    if (!st->s_cpu) return -1;

    static const char* const dataclasses_names[] = {"dataclass", nullptr};
    static const char* const typing_names[] = {"Optional", nullptr};
    if (pyhost::bind_constants(module, "dataclasses", dataclasses_names) < 0 ||
        pyhost::bind_constants(module, "typing", typing_names) < 0)
        return -1;
    st->np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!st->np || PyModule_AddObjectRef(module, "np", st->np.get()) < 0) return -1;
    st->np_float32 = Ref::steal(PyObject_GetAttrString(st->np.get(), "float32"));
    if (!st->np_float32) return -1;

    if (!import_torch(st)) return -1;
    if (PyModule_AddObjectRef(module, "torch", st->torch.get()) < 0 ||
        PyModule_AddObjectRef(module, "nn", st->nn.get()) < 0 || PyModule_AddObjectRef(module, "F", st->F.get()) < 0)
        return -1;

    static const char* const base_names[] = {"BaseEncoder", nullptr};
    if (pyhost::bind_constants(module, "orvane.qx.encoders.base", base_names) < 0) return -1;
    st->base_encoder = Ref::steal(PyObject_GetAttrString(module, "BaseEncoder"));
    if (!st->base_encoder) return -1;

    st->config_type = make_config_class(module);
    if (!st->config_type || PyModule_AddObjectRef(module, "IMUEncoderConfig", st->config_type.get()) < 0) return -1;

    Ref nn_module = Ref::steal(PyObject_GetAttrString(st->nn.get(), "Module"));
    if (!nn_module) return -1;
    st->branch_type = make_type(module, &branch_spec, nn_module.get());
    if (!st->branch_type || PyModule_AddObjectRef(module, "_MSBranch", st->branch_type.get()) < 0) return -1;
    st->model_type = make_type(module, &model_spec, nn_module.get());
    if (!st->model_type || PyModule_AddObjectRef(module, "_IMUModel", st->model_type.get()) < 0) return -1;
    st->encoder_type = make_type(module, &encoder_spec, st->base_encoder.get());
    if (!st->encoder_type) return -1;
    Ref name = Ref::steal(PyUnicode_FromString("imu"));
    if (!name || PyObject_SetAttrString(st->encoder_type.get(), "name", name.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "IMUEncoder", st->encoder_type.get());
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (st == nullptr) return 0;
#define IMU_VISIT(n) Py_VISIT(st->n.get());
    IMU_OBJECTS(IMU_VISIT)
#undef IMU_VISIT
    return 0;
}

int clear_module(PyObject* module) {
    State* st = state_of(module);
    if (st == nullptr) return 0;
#define IMU_RESET(n, ...) st->n.reset();
    IMU_OBJECTS(IMU_RESET)
    IMU_NAMES(IMU_RESET)
    IMU_KEYWORDS(IMU_RESET)
#undef IMU_RESET
    st->s_cpu.reset();
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
    // The state's members hold nothing now; ending their lifetime frees nothing.
    State* st = state_of(static_cast<PyObject*>(module));
    if (st != nullptr) st->~State();
}

// No per-interpreter GIL (without the slot, subinterpreters share the main
// one): NumPy and torch do not support one.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef moduledef = pyhost::module_def<State>("orvane.qx.encoders.imu", "IMU windows to unit-length embeddings.",
                                                  slots, traverse_module, clear_module, free_module);

}  // namespace

PyMODINIT_FUNC PyInit_imu(void) { return PyModuleDef_Init(&moduledef); }
