// Composite state vectors: raw embeddings of any length projected into a
// shared per-modality space by a fixed, seeded random matrix, and several
// projected modalities fused into one vector.
//
// Arrays cross the boundary as NumPy float32 arrays, but NumPy's C headers
// are not used: inputs are converted by calling numpy through its Python API
// and read through the buffer protocol, and results are created with
// numpy.empty and written through their buffer. The projection matrix is
// never materialised (see composite_random.cpp).
#include "pyhost.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace orvane_composite {
// composite_seed.cpp
std::uint32_t sha1_prefix32(const unsigned char* data, std::size_t len);
// composite_random.cpp
void standard_normal_f32(std::uint32_t seed, float* out, std::size_t n);
// y = x . (N / scale) as float32, N drawn row by row from `seed`; calls
// checkpoint(ctx) every so often between rows and stops, returning false,
// when it returns false.
bool seeded_projection(std::uint32_t seed, const float* x, std::size_t in_dim, std::size_t out_dim, float* row,
                       double* acc, float* y, bool (*checkpoint)(void*), void* ctx);
}  // namespace orvane_composite

namespace {

using pyhost::Ref;
namespace oc = orvane_composite;

constexpr int kModalities = 6;

// Projections at least this large (in_dim * out_dim deviates) run with the
// GIL released.
constexpr std::size_t kReleaseGilWork = 1u << 15;

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// numpy's functions and types, bound at import: attributes of numpy, and
// norm from numpy.linalg.
enum Np { kAsarray, kEmpty, kEmptyLike, kZeros, kConcatenate, kFloat32, kNdarray, kNorm, kNpCount };
const char* const kNpAttrs[kNpCount] = {"asarray",     "empty",   "empty_like", "zeros",
                                        "concatenate", "float32", "ndarray",    "norm"};

// Interned attribute names; the weight fields last, in fusion order.
enum Name { kCfg, kPerModalityDim, kFusedDim, kShape, kReshape, kAstype, kCopy, kWeights };
constexpr int kNames = kWeights + kModalities;
const char* const kNameTexts[kNames] = {
    "cfg",   "per_modality_dim", "fused_dim", "shape",   "reshape",   "astype", "copy",
    "w_imu", "w_vision",         "w_audio",   "w_depth", "w_thermal", "w_text"};

struct ModuleState {
    PyObject* np[kNpCount];
    PyObject* config_class;
    PyObject* builder_type;
    PyObject* kw_dtype;    // ("dtype",)
    PyObject* fused_name;  // "composite_fused"
    PyObject* minus_one;
    pyhost::Names<kNames> names;

    int traverse(visitproc visit, void* arg) {
        for (PyObject* o : np) Py_VISIT(o);
        if (int err = pyhost::visit_all(visit, arg, config_class, builder_type)) return err;
        return names.visit(visit, arg);
    }
    void clear() {
        for (PyObject*& o : np) Py_CLEAR(o);
        pyhost::clear_all(config_class, builder_type, kw_dtype, fused_name, minus_one);
        names.clear();
    }
};

extern PyModuleDef moduledef;  // defined at the end

ModuleState* state_of(PyObject* module) { return pyhost::state_of<ModuleState>(module); }

// ---------------------------------------------------------------------------
// Float32 arrays through the buffer protocol
// ---------------------------------------------------------------------------

// A NumPy array's float32 values, viewed in C order.
class Floats {
  public:
    Floats() = default;
    Floats(const Floats&) = delete;
    Floats& operator=(const Floats&) = delete;
    ~Floats() { release(); }

    static constexpr int kCOrder = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

    // Views `arr` when it exports native float32 values as `flags` ask (by
    // default in one C-ordered block). Returns false, with no error set, when
    // it does not.
    bool try_view(PyObject* arr, int flags = kCOrder) {
        release();
        if (PyObject_GetBuffer(arr, &view_, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        if (view_.itemsize != 4 || view_.format == nullptr || std::strcmp(view_.format, "f") != 0) release();
        return held_;
    }

    // A writable view of an array that `maker` has just made, which must be
    // float32: SystemError when it is not.
    bool view_new(PyObject* arr, const char* maker) {
        if (try_view(arr, kCOrder | PyBUF_WRITABLE)) return true;
        PyErr_Format(PyExc_SystemError, "%s did not return a writable float32 array", maker);
        return false;
    }

    // Whether `arr` holds float32 values at all, contiguous or not.
    static bool is_float32(PyObject* arr) { return Floats().try_view(arr, PyBUF_RECORDS_RO); }

    float* data() const { return static_cast<float*>(view_.buf); }
    Py_ssize_t size() const { return view_.len / 4; }
    int ndim() const { return view_.ndim; }

  private:
    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    Py_buffer view_{};
    bool held_ = false;
};

// numpy.asarray(obj, dtype=numpy.float32).
Ref asarray_f32(ModuleState* st, PyObject* obj) {
    return pyhost::call_kw(st->np[kAsarray], st->kw_dtype, obj, st->np[kFloat32]);
}

// `obj` as numpy.asarray(obj, dtype=numpy.float32) holds it, read in C order:
// `holder` keeps the array alive for as long as `view` is used. An exact
// float32 ndarray in C order is read as it is, without a call into numpy.
bool as_float32(ModuleState* st, PyObject* obj, Ref& holder, Floats& view) {
    if (Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(st->np[kNdarray])) && view.try_view(obj)) {
        holder = Ref::borrow(obj);
        return true;
    }
    holder = asarray_f32(st, obj);
    if (!holder) return false;
    if (view.try_view(holder.get())) return true;
    // Strided float32 memory: read a C-ordered copy, the order in which
    // reshape(-1) lists the values.
    holder = Ref::steal(PyObject_CallMethodNoArgs(holder.get(), st->names[kCopy]));
    if (!holder) return false;
    if (view.try_view(holder.get())) return true;
    PyErr_SetString(PyExc_TypeError, "the array's values could not be read as float32");
    return false;
}

// A new float32 array of `n` values (numpy.empty(n, numpy.float32)), viewed
// for writing.
Ref new_vector(ModuleState* st, Py_ssize_t n, Floats& out) {
    Ref arr = pyhost::call(st->np[kEmpty], Ref::steal(PyLong_FromSsize_t(n)), st->np[kFloat32]);
    if (!arr || !out.view_new(arr.get(), "numpy.empty")) return Ref();
    return arr;
}

// numpy.empty_like(like), viewed for writing.
Ref new_like(ModuleState* st, PyObject* like, Floats& out) {
    Ref arr = pyhost::call(st->np[kEmptyLike], like);
    if (!arr || !out.view_new(arr.get(), "numpy.empty_like")) return Ref();
    return arr;
}

// Memory from the interpreter's raw allocator (visible to tracemalloc),
// usable without the GIL; null when it is exhausted.
struct RawFree {
    void operator()(void* p) const { PyMem_RawFree(p); }
};
using RawBuffer = std::unique_ptr<void, RawFree>;
RawBuffer raw_alloc(std::size_t bytes) { return RawBuffer(PyMem_RawMalloc(bytes ? bytes : 1)); }

// ---------------------------------------------------------------------------
// _l2
// ---------------------------------------------------------------------------

// out = v / divisor, element by element in single precision; out may be v.
// The divisor is the Euclidean norm in single precision plus 1e-8, the sum
// rounded to single precision. The squares are summed in double; rounding
// that sum to float32 gives the single-precision sum of squares to within
// the last bit whatever order it is taken in. An all-zero v gives zeros
// (its divisor is 1e-8, never 0).
void l2_into(const float* v, Py_ssize_t n, float* out) {
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) sum += static_cast<double>(v[i]) * static_cast<double>(v[i]);
    const float d = std::sqrt(static_cast<float>(sum)) + 1e-8f;
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = v[i] / d;
}

// _l2 of any array. float32 ndarrays are scaled here; anything else goes
// through the NumPy expression itself, (v / float(norm(v) + 1e-8)) as
// float32, so that other dtypes and array types behave exactly as there.
PyObject* l2_array(ModuleState* st, PyObject* v) {
    if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(st->np[kNdarray]))) {
        Floats in;
        if (in.try_view(v)) {
            Floats ov;
            Ref out = new_like(st, v, ov);
            if (!out) return nullptr;
            l2_into(in.data(), in.size(), ov.data());
            return out.release();
        }
        if (Floats::is_float32(v)) {
            // Strided: scale a C-ordered copy in place.
            Ref copy = Ref::steal(PyObject_CallMethodNoArgs(v, st->names[kCopy]));
            Floats cv;
            if (!copy || !cv.view_new(copy.get(), "ndarray.copy")) return nullptr;
            l2_into(cv.data(), cv.size(), cv.data());
            return copy.release();
        }
    }
    Ref norm = Ref::steal(PyObject_CallOneArg(st->np[kNorm], v));
    if (!norm) return nullptr;
    Ref eps = Ref::steal(PyFloat_FromDouble(1e-8));
    if (!eps) return nullptr;
    Ref sum = Ref::steal(PyNumber_Add(norm.get(), eps.get()));
    if (!sum) return nullptr;
    Ref divisor = Ref::steal(PyNumber_Float(sum.get()));
    if (!divisor) return nullptr;
    Ref scaled = Ref::steal(PyNumber_TrueDivide(v, divisor.get()));
    if (!scaled) return nullptr;
    return PyObject_CallMethodOneArg(scaled.get(), st->names[kAstype], st->np[kFloat32]);
}

// ---------------------------------------------------------------------------
// _stable_seed
// ---------------------------------------------------------------------------

bool append_decimal(std::string& s, long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, res.ptr);
    return true;
}

// Appends str() of an int of any size.
bool append_decimal(std::string& s, PyObject* integer) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (!overflow) return append_decimal(s, v);
    Ref text = Ref::steal(PyObject_Str(integer));
    if (!text) return false;
    Py_ssize_t len;
    const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (digits == nullptr) return false;
    s.append(digits, static_cast<std::size_t>(len));
    return true;
}

// The seed for the key text "name:in_dim:out_dim", the numbers being
// long longs or ints of any size. False with the host's UnicodeEncodeError
// set for a name that is not valid UTF-8 (a lone surrogate).
template <class Int>
bool seed_of(PyObject* name, Int in_dim, Int out_dim, std::uint32_t* seed) {
    std::string text(1, ':');
    if (!append_decimal(text, in_dim)) return false;
    text += ':';
    if (!append_decimal(text, out_dim)) return false;
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
    if (utf8 == nullptr) return false;
    text.insert(0, utf8, static_cast<std::size_t>(len));
    *seed = oc::sha1_prefix32(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return true;
}

// ---------------------------------------------------------------------------
// _project
// ---------------------------------------------------------------------------

// NumPy's own error for a matrix shape with a negative dimension.
PyObject* raise_negative_shape(ModuleState* st, Py_ssize_t in_dim, Py_ssize_t out_dim) {
    Ref probe = pyhost::call(st->np[kEmpty], Ref::steal(Py_BuildValue("(nn)", in_dim, out_dim)), st->np[kFloat32]);
    if (probe) PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
    return nullptr;
}

// Between rows of a projection that runs without the GIL: takes the GIL
// back, runs the signal handlers, and releases it again. False (with the
// handler's exception set) stops the projection.
struct SignalCheck {
    PyThreadState* thread;
    static bool call(void* ctx) {
        auto* self = static_cast<SignalCheck*>(ctx);
        PyEval_RestoreThread(self->thread);
        const bool ok = PyErr_CheckSignals() == 0;
        self->thread = PyEval_SaveThread();
        return ok;
    }
};

// The seeded projection of x[0..in_dim) to out_dim values (in_dim differs
// from out_dim, out_dim >= 0), scaled to unit length: a new float32 array.
PyObject* seeded_vector(ModuleState* st, std::uint32_t seed, const float* x, Py_ssize_t in_dim, Py_ssize_t out_dim) {
    Floats yv;
    Ref y = new_vector(st, out_dim, yv);
    if (!y) return nullptr;
    float* out = yv.data();
    const auto in = static_cast<std::size_t>(in_dim);
    const auto n_out = static_cast<std::size_t>(out_dim);
    if (in == 0) {
        for (std::size_t j = 0; j < n_out; ++j) out[j] = 0.0f;
        return y.release();
    }
    const bool release_gil = in * n_out >= kReleaseGilWork || in > PY_SSIZE_T_MAX / (n_out ? n_out : 1);
    // One row of deviates and the double-precision sums: O(out_dim), and
    // nothing at all for a single row, which goes straight into the result.
    constexpr std::size_t kScratchPerValue = sizeof(double) + sizeof(float);
    if (in >= 2 && n_out > static_cast<std::size_t>(PY_SSIZE_T_MAX) / kScratchPerValue) return PyErr_NoMemory();
    RawBuffer scratch = raw_alloc(in >= 2 ? n_out * kScratchPerValue : 0);
    if (scratch.get() == nullptr) return PyErr_NoMemory();
    double* acc = in >= 2 ? static_cast<double*>(scratch.get()) : nullptr;
    float* row = in >= 2 ? reinterpret_cast<float*>(acc + n_out) : nullptr;
    // Long projections run without the GIL, taking it back now and then to
    // see whether a signal (Ctrl-C) asks them to stop.
    SignalCheck check{release_gil ? PyEval_SaveThread() : nullptr};
    const bool done =
        oc::seeded_projection(seed, x, in, n_out, row, acc, out, release_gil ? SignalCheck::call : nullptr, &check);
    if (release_gil) PyEval_RestoreThread(check.thread);
    if (!done) return nullptr;
    l2_into(out, out_dim, out);
    return y.release();
}

// _project of values in hand: x[0..in_dim) float32.
PyObject* project_values(ModuleState* st, const float* x, Py_ssize_t in_dim, Py_ssize_t out_dim, PyObject* name) {
    if (in_dim == out_dim) {
        Floats yv;
        Ref y = new_vector(st, out_dim, yv);
        if (!y) return nullptr;
        l2_into(x, in_dim, yv.data());
        return y.release();
    }
    std::uint32_t seed;
    if (!seed_of<long long>(name, in_dim, out_dim, &seed)) return nullptr;
    if (out_dim < 0) return raise_negative_shape(st, in_dim, out_dim);
    return seeded_vector(st, seed, x, in_dim, out_dim);
}

// _project of an array object: its length is the length of its first axis.
PyObject* project_array(ModuleState* st, PyObject* vec, Py_ssize_t out_dim, PyObject* name) {
    Ref shape = Ref::steal(PyObject_GetAttr(vec, st->names[kShape]));
    Ref first = Ref::steal(shape ? PySequence_GetItem(shape.get(), 0) : nullptr);
    Ref first_int = Ref::steal(first ? PyNumber_Long(first.get()) : nullptr);
    if (!first_int) return nullptr;
    Py_ssize_t in_dim = PyLong_AsSsize_t(first_int.get());
    if (in_dim == -1 && PyErr_Occurred()) return nullptr;

    if (in_dim == out_dim) {
        Ref arr = asarray_f32(st, vec);
        return arr ? l2_array(st, arr.get()) : nullptr;
    }
    std::uint32_t seed;
    if (!seed_of<long long>(name, in_dim, out_dim, &seed)) return nullptr;
    if (out_dim < 0) return raise_negative_shape(st, in_dim, out_dim);
    Ref holder;
    Floats xv;
    if (!as_float32(st, vec, holder, xv)) return nullptr;
    // A row vector times the matrix is only defined for one dimension.
    if (xv.ndim() != 1)
        return PyErr_Format(PyExc_ValueError, "_project() needs a one-dimensional vector, got %d dimensions",
                            xv.ndim());
    return seeded_vector(st, seed, xv.data(), in_dim, out_dim);
}

// int(cfg.<name>) narrowed to Py_ssize_t: a length read from the
// configuration.
bool cfg_length(PyObject* cfg, PyObject* name, Py_ssize_t* out) {
    Ref v = Ref::steal(PyObject_GetAttr(cfg, name));
    if (v) v = Ref::steal(PyNumber_Long(v.get()));
    if (!v) return false;
    *out = PyLong_AsSsize_t(v.get());
    return !(*out == -1 && PyErr_Occurred());
}

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------

PyObject* fn_to_np_1d(PyObject* module, PyObject* x) {
    ModuleState* st = state_of(module);
    // reshape(-1) also turns a scalar into shape (1,).
    return pyhost::call_method(asarray_f32(st, x), st->names[kReshape], st->minus_one).release();
}

PyObject* fn_l2(PyObject* module, PyObject* v) { return l2_array(state_of(module), v); }

PyObject* fn_stable_seed(PyObject*, PyObject* name, PyObject* in_dim_arg, PyObject* out_dim_arg) {
    if (!pyhost::check_str(name, "name")) return nullptr;
    Ref in_dim = pyhost::int_arg(in_dim_arg, "in_dim");
    if (!in_dim) return nullptr;
    Ref out_dim = pyhost::int_arg(out_dim_arg, "out_dim");
    if (!out_dim) return nullptr;
    std::uint32_t seed;
    if (!seed_of(name, in_dim.get(), out_dim.get(), &seed)) return nullptr;
    return PyLong_FromUnsignedLong(seed);
}

PyObject* fn_project(PyObject* module, PyObject* vec, PyObject* out_dim_arg, PyObject* name) {
    Py_ssize_t out_dim;
    if (!pyhost::ssize_arg(out_dim_arg, "out_dim", &out_dim)) return nullptr;
    if (!pyhost::check_str(name, "name")) return nullptr;
    return project_array(state_of(module), vec, out_dim, name);
}

// Test hook: the first n deviates of
// numpy.random.default_rng(seed).standard_normal(n, dtype=numpy.float32).
PyObject* fn_standard_normal_f32(PyObject* module, PyObject* seed_arg, PyObject* n_arg) {
    Ref seed_obj = pyhost::int_arg(seed_arg, "seed");
    if (!seed_obj) return nullptr;
    Py_ssize_t n;
    if (!pyhost::ssize_arg(n_arg, "n", &n)) return nullptr;
    int overflow = 0;
    long long seed = PyLong_AsLongLongAndOverflow(seed_obj.get(), &overflow);
    if (seed == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || seed < 0 || seed > 0xffffffffLL)
        return PyErr_Format(PyExc_ValueError, "seed must be in range(0, 2**32)");
    if (n < 0) return PyErr_Format(PyExc_ValueError, "n must not be negative");
    ModuleState* st = state_of(module);
    Floats ov;
    Ref out = new_vector(st, n, ov);
    if (!out) return nullptr;
    float* data = ov.data();
    Py_BEGIN_ALLOW_THREADS oc::standard_normal_f32(static_cast<std::uint32_t>(seed), data, static_cast<std::size_t>(n));
    Py_END_ALLOW_THREADS return out.release();
}

// ---------------------------------------------------------------------------
// CompositeStateBuilder
// ---------------------------------------------------------------------------

// A plain class: its one field, cfg, lives in the instance dictionary as a
// Python class's would.
struct Builder {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
};

ModuleState* state_of(PyTypeObject* defining_class) { return pyhost::state_of<ModuleState>(defining_class); }

int builder_init(PyObject* self, PyObject* cfg) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &moduledef);
    if (module == nullptr) return -1;
    ModuleState* st = state_of(module);
    int truth = cfg ? PyObject_IsTrue(cfg) : 0;
    if (truth < 0) return -1;
    Ref value = truth ? Ref::borrow(cfg) : Ref::steal(PyObject_CallNoArgs(st->config_class));
    if (!value) return -1;
    return PyObject_SetAttr(self, st->names[kCfg], value.get());
}

PyObject* builder_project(PyObject* self, PyTypeObject* cls, PyObject* raw_embedding, PyObject* name) {
    if (!pyhost::check_str(name, "name")) return nullptr;
    ModuleState* st = state_of(cls);
    Ref holder;
    Floats v;
    if (!as_float32(st, raw_embedding, holder, v)) return nullptr;
    Ref cfg = Ref::steal(PyObject_GetAttr(self, st->names[kCfg]));
    Py_ssize_t out_dim;
    if (!cfg || !cfg_length(cfg.get(), st->names[kPerModalityDim], &out_dim)) return nullptr;
    return project_values(st, v.data(), v.size(), out_dim, name);
}

struct Piece {
    Ref holder;
    Floats values;
    float weight = 0.0f;
};

// out = the piece scaled to unit length, times its weight, element by
// element in single precision.
void weighted_unit(const Piece& p, float* out) {
    l2_into(p.values.data(), p.values.size(), out);
    for (Py_ssize_t i = 0; i < p.values.size(); ++i) out[i] *= p.weight;
}

PyObject* builder_fuse(PyObject* self, PyTypeObject* cls, PyObject* imu, PyObject* vision, PyObject* audio,
                       PyObject* depth, PyObject* thermal, PyObject* text) {
    // Fusion order, whatever order the caller writes the keywords in.
    PyObject* const a[kModalities] = {imu, vision, audio, depth, thermal, text};
    ModuleState* st = state_of(cls);
    Ref cfg = Ref::steal(PyObject_GetAttr(self, st->names[kCfg]));
    if (!cfg) return nullptr;

    Piece pieces[kModalities];
    int count = 0;
    for (int k = 0; k < kModalities; ++k) {
        if (a[k] == nullptr || a[k] == Py_None) continue;
        Piece& p = pieces[count];
        Ref w = Ref::steal(PyObject_GetAttr(cfg.get(), st->names[kWeights + k]));
        if (!w) return nullptr;
        double weight;
        if (!pyhost::host_float(w.get(), &weight)) return nullptr;
        // The weight multiplies a float32 piece as a float32 value.
        p.weight = static_cast<float>(weight);
        if (!as_float32(st, a[k], p.holder, p.values)) return nullptr;
        ++count;
    }

    if (count == 0) {
        Ref dim = Ref::steal(PyObject_GetAttr(cfg.get(), st->names[kFusedDim]));
        Ref n = Ref::steal(dim ? PyNumber_Long(dim.get()) : nullptr);
        return pyhost::call(st->np[kZeros], n, st->np[kFloat32]).release();
    }

    bool flat = true;
    std::size_t total = 0;
    for (int k = 0; k < count; ++k) {
        flat = flat && pieces[k].values.ndim() == 1;
        total += static_cast<std::size_t>(pieces[k].values.size());
    }

    if (flat) {
        // The usual case, vectors from project(): join them here.
        RawBuffer joined = raw_alloc(total * sizeof(float));
        if (!joined) return PyErr_NoMemory();
        auto* concat = static_cast<float*>(joined.get());
        std::size_t at = 0;
        for (int k = 0; k < count; ++k) {
            weighted_unit(pieces[k], concat + at);
            at += static_cast<std::size_t>(pieces[k].values.size());
        }
        Py_ssize_t fused_dim;
        if (!cfg_length(cfg.get(), st->names[kFusedDim], &fused_dim)) return nullptr;
        return project_values(st, concat, static_cast<Py_ssize_t>(total), fused_dim, st->fused_name);
    }

    // Scalars or multi-dimensional pieces: build each piece as an array and
    // let numpy.concatenate join them, or refuse with its own error.
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return nullptr;
    for (int k = 0; k < count; ++k) {
        Floats pv;
        Ref piece = new_like(st, pieces[k].holder.get(), pv);
        if (!piece) return nullptr;
        weighted_unit(pieces[k], pv.data());
        PyList_SET_ITEM(list.get(), k, piece.release());
    }
    Ref concat = pyhost::call(st->np[kConcatenate], list);
    Py_ssize_t fused_dim;
    if (!concat || !cfg_length(cfg.get(), st->names[kFusedDim], &fused_dim)) return nullptr;
    return project_array(st, concat.get(), fused_dim, st->fused_name);
}

PyMethodDef builder_methods[] = {
    pyhost::def<"project", builder_project, "raw_embedding, name",
                "Map a raw embedding of any length to per_modality_dim float32 values.\n\n"
                "The embedding is flattened in row-major order and multiplied by a fixed\n"
                "random matrix chosen by (name, its length, per_modality_dim); an\n"
                "embedding that already has that length is only rescaled. The result has\n"
                "unit length, or is all zeros.">(),
    pyhost::def<"fuse", builder_fuse,
                "imu_emb=None, vision_emb=None, audio_emb=None, depth_emb=None, thermal_emb=None, text_emb=None",
                "Join projected modality vectors into one vector of fused_dim float32 values.\n\n"
                "Each given vector is scaled to unit length and weighted by its w_* field;\n"
                "the pieces are joined in the order imu, vision, audio, depth, thermal,\n"
                "text and projected under the name 'composite_fused'. With no vector\n"
                "given the result is all zeros.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>("CompositeStateBuilder(cfg=None)\n--\n\n"
                                  "Projects per-modality embeddings and fuses them into composite state\n"
                                  "vectors. cfg defaults to CompositeConfig() when not given or false.")},
    pyhost::init<builder_init, "cfg=None">(),
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    PYHOST_PLAIN_TYPE_SLOTS(Builder, builder_methods),
    {0, nullptr},
};

PyType_Spec builder_spec = pyhost::gc_type_spec<Builder>("orvane.qx.composite.CompositeStateBuilder", builder_slots);

// ---------------------------------------------------------------------------
// CompositeConfig: a real dataclass, made at import
// ---------------------------------------------------------------------------

Ref make_config_class() {
    Ref make = pyhost::import_from("dataclasses", "make_dataclass");
    if (!make) return Ref();
    // make_dataclass("CompositeConfig", [(name, type, default), ...], namespace={"__doc__": ...})
    PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    Ref args = Ref::steal(Py_BuildValue(
        "(s[(sOi)(sOi)(sOd)(sOd)(sOd)(sOd)(sOd)(sOd)])", "CompositeConfig", "per_modality_dim", int_type, 256,
        "fused_dim", int_type, 1024, "w_imu", float_type, 1.0, "w_vision", float_type, 1.0, "w_audio", float_type, 1.0,
        "w_depth", float_type, 1.0, "w_thermal", float_type, 1.0, "w_text", float_type, 1.0));
    Ref kwargs = Ref::steal(Py_BuildValue("{s{ss}}", "namespace", "__doc__",
                                          "Dimensions and modality weights of a CompositeStateBuilder.\n\n"
                                          "per_modality_dim is the length of each projected modality vector,\n"
                                          "fused_dim the length of the fused vector, and w_imu ... w_text the\n"
                                          "weights of the modality pieces in fuse()."));
    if (!args || !kwargs) return Ref();
    Ref cls = Ref::steal(PyObject_Call(make.get(), args.get(), kwargs.get()));
    if (!cls) return Ref();
    // make_dataclass names its caller's module; the class lives here (and
    // pickles by this name).
    Ref modname = Ref::steal(PyUnicode_FromString("orvane.qx.composite"));
    if (!modname || PyObject_SetAttrString(cls.get(), "__module__", modname.get()) < 0) return Ref();
    return cls;
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

PyMethodDef module_methods[] = {
    pyhost::def_function<"_to_np_1d", fn_to_np_1d, "x",
                         "x as a one-dimensional float32 array: numpy.asarray(x, dtype=float32)\n"
                         "flattened in row-major order (a scalar becomes one value).">(),
    pyhost::def_function<"_l2", fn_l2, "v",
                         "v divided by its Euclidean norm plus 1e-8, as float32 of v's shape\n"
                         "(all zeros for an all-zero v).">(),
    pyhost::def_function<"_stable_seed", fn_stable_seed, "name, in_dim, out_dim",
                         "The projection seed: the first 8 hex digits of the SHA-1 digest of\n"
                         "'name:in_dim:out_dim' (UTF-8), as an unsigned 32-bit integer.">(),
    pyhost::def_function<"_project", fn_project, "vec, out_dim, name",
                         "vec times the seeded random matrix of (name, len(vec), out_dim), scaled\n"
                         "to unit length, as out_dim float32 values; a vec of length out_dim is\n"
                         "only rescaled.">(),
    pyhost::def_function<"_standard_normal_f32", fn_standard_normal_f32, "seed, n",
                         "The first n deviates that the projection draws for a seed: equal to\n"
                         "numpy.random.default_rng(seed).standard_normal(n, dtype=numpy.float32).">(),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    ModuleState* st = state_of(module);
    for (int i = 0; i < kNpCount; ++i) {
        st->np[i] = pyhost::import_from(i == kNorm ? "numpy.linalg" : "numpy", kNpAttrs[i]).release();
        if (st->np[i] == nullptr) return -1;
    }

    st->kw_dtype = Py_BuildValue("(s)", "dtype");
    st->fused_name = PyUnicode_InternFromString("composite_fused");
    st->minus_one = PyLong_FromLong(-1);
    if (!st->kw_dtype || !st->fused_name || !st->minus_one || st->names.init(kNameTexts) < 0) return -1;

    Ref config = make_config_class();
    if (!config) return -1;
    st->config_class = Py_NewRef(config.get());
    if (PyModule_AddObjectRef(module, "CompositeConfig", config.get()) < 0) return -1;

    return pyhost::add_type(module, &builder_spec, &st->builder_type);
}

// No per-interpreter GIL (without the slot, subinterpreters share the main
// one): NumPy, which every operation calls, does not support one.
PyModuleDef_Slot module_slots[] = {pyhost::exec_slot<exec_module>(), {0, nullptr}};

PyModuleDef moduledef = pyhost::module_def<ModuleState>(
    "orvane.qx.composite", "Composite state vectors: seeded projection of raw embeddings and fusion of modalities.",
    module_slots, module_methods);

}  // namespace

PyMODINIT_FUNC PyInit_composite(void) { return PyModuleDef_Init(&moduledef); }
