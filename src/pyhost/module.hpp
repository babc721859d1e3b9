// Building a module: the boundary every entry point passes, method tables
// whose text signatures come from the same declaration, the module state and
// its interned names, and the attribute errors every type raises alike.
#pragma once

#include "args.hpp"
#include "refs.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace pyhost {

// ---------------------------------------------------------------------------
// The C++-exception boundary
// ---------------------------------------------------------------------------

// Sets the Python error for the C++ exception being handled:
// std::bad_alloc -> MemoryError, std::length_error -> MemoryError (a size
// no container can hold), any other std::exception -> RuntimeError with its
// message. Call only from inside a catch block.
void raise_from_cpp_exception() noexcept;

template <typename R>
constexpr R error_result() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

// Boundary<F>::call has F's signature and calls F; a C++ exception that
// leaves F becomes a Python error instead of reaching the interpreter (RAII
// has already released what F held). Every function handed to the
// interpreter (methods, tp_init, tp_new, getters, setters, tp_call) goes
// through it.
//
// One unwind must pass: before 3.14 the interpreter ends a daemon thread
// that wants the GIL back during finalization with pthread_exit, which
// unwinds the thread's stack, our frames included. That thread no longer
// has a thread state, so no Python error can be set for it, and glibc
// aborts the process if the unwind is caught and not rethrown. Hence `call`
// is not noexcept (a noexcept frame would terminate the unwind).
template <auto F>
struct Boundary;

template <typename R, typename... A, R (*F)(A...)>
struct Boundary<F> {
    static R call(A... a) {
        try {
            return F(a...);
        } catch (...) {
            // That unwind carries no C++ exception object: let it go on.
            if (!std::current_exception()) throw;
            raise_from_cpp_exception();
            return error_result<R>();
        }
    }
};

// A function that cannot throw needs no boundary.
template <typename R, typename... A, R (*F)(A...) noexcept>
struct Boundary<F> {
    static R call(A... a) noexcept { return F(a...); }
};

// The guarded function, or nullptr for none (a read-only getset).
template <auto F>
constexpr auto guarded() noexcept {
    if constexpr (std::is_null_pointer_v<decltype(F)>)
        return nullptr;
    else
        return &Boundary<F>::call;
}

// A type slot whose function passes the boundary.
template <int Slot, auto F>
PyType_Slot slot() noexcept {
    return {Slot, reinterpret_cast<void*>(guarded<F>())};
}

// The slots of a garbage-collected type whose functions and tables follow
// one naming: PREFIX_dealloc, PREFIX_traverse, PREFIX_clear, PREFIX_methods,
// PREFIX_getset and PREFIX_members.
#define PYHOST_GC_TYPE_SLOTS(prefix)                                                               \
    {Py_tp_dealloc, reinterpret_cast<void*>(prefix##_dealloc)},                                    \
        {Py_tp_traverse, reinterpret_cast<void*>(prefix##_traverse)},                              \
        {Py_tp_clear, reinterpret_cast<void*>(prefix##_clear)}, {Py_tp_methods, prefix##_methods}, \
        {Py_tp_getset, prefix##_getset}, {                                                         \
        Py_tp_members, prefix##_members                                                            \
    }

// tp_dealloc of a garbage-collected heap type: untrack, drop weak references
// (`weakrefs` is the object's list), clear, free, release the type.
inline void dealloc_gc(PyObject* self, PyObject* weakrefs, inquiry clear) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A getset entry whose getter and setter pass the boundary.
template <auto Get, auto Set = nullptr>
PyGetSetDef getset(const char* name, const char* doc, void* closure = nullptr) noexcept {
    return {name, guarded<Get>(), guarded<Set>(), doc, closure};
}

// ---------------------------------------------------------------------------
// Method tables
// ---------------------------------------------------------------------------

// A string literal usable as a template argument.
template <std::size_t N>
struct Lit {
    char s[N];
    constexpr Lit(const char (&text)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) s[i] = text[i];
    }
    static constexpr std::size_t size = N - 1;
};

// "NAME(RECEIVER, /, PARAMS)\n--\n\nDOC": the docstring from which the
// interpreter reads __text_signature__ ("NAME(RECEIVER, PARAMS)" when PARAMS
// are positional-only: "x, ndigits, /").
template <Lit Name, Lit Params, Lit Doc, Lit Receiver>
struct SignatureDoc {
    // Parameters that end in "/" are positional-only and carry their own.
    static constexpr bool own_slash() noexcept {
        for (std::size_t i = 0; i < Params.size; ++i)
            if (Params.s[i] == '/') return true;
        return false;
    }
    static constexpr auto make() noexcept {
        constexpr std::size_t sep = Params.size ? 2 : 0;
        std::array<char, Name.size + 1 + Receiver.size + 3 + sep + Params.size + 6 + Doc.size + 1> out{};
        std::size_t n = 0;
        auto put = [&](const char* p, std::size_t k) {
            for (std::size_t i = 0; i < k; ++i) out[n++] = p[i];
        };
        put(Name.s, Name.size);
        put("(", 1);
        put(Receiver.s, Receiver.size);
        if (!own_slash()) put(", /", 3);
        if (Params.size) put(", ", 2);
        put(Params.s, Params.size);
        put(")\n--\n\n", 6);
        put(Doc.s, Doc.size);
        out[n] = '\0';
        return out;
    }
    static constexpr auto text = make();
};

template <typename T>
struct CallKind;
template <>
struct CallKind<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)> {
    static constexpr int flags = METH_FASTCALL | METH_KEYWORDS;
};
template <>
struct CallKind<PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, size_t, PyObject*)> {
    static constexpr int flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
};
// (the same with a signed count, as some of our functions declare it: the
// interpreter passes the count unchanged either way)
template <>
struct CallKind<PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*)> {
    static constexpr int flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
};
template <>
struct CallKind<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t)> {
    static constexpr int flags = METH_FASTCALL;
};
template <>
struct CallKind<PyObject* (*)(PyObject*, PyObject*)> {
    static constexpr int flags = METH_O;  // METH_NOARGS when declared without parameters
};

// One method-table entry declared from its parameter list: the calling
// convention follows F's signature, F passes the exception boundary, and
// the text signature is written from PARAMS ("payload", "x, k=10", or ""
// for none). Receiver: "$self" for methods, "$module" for module functions,
// "$type" for class methods (add METH_CLASS through Extra).
template <Lit Name, auto F, Lit Params, Lit Doc, Lit Receiver = "$self", int Extra = 0>
PyMethodDef method() noexcept {
    constexpr int base = CallKind<decltype(F)>::flags;
    constexpr int flags = (base == METH_O && Params.size == 0) ? METH_NOARGS : base;
    return {Name.s, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Boundary<F>::call)), flags | Extra,
            SignatureDoc<Name, Params, Doc, Receiver>::text.data()};
}

// The same for a module-level function.
template <Lit Name, auto F, Lit Params, Lit Doc>
PyMethodDef function() noexcept {
    return method<Name, F, Params, Doc, "$module">();
}

// ---------------------------------------------------------------------------
// Methods declared by their parameter list
// ---------------------------------------------------------------------------

// The parameters of a text signature ("timestamp, payload, context=None",
// "*, seed=None"), read at compile time: their names, how many are required
// (those before the first default) and how many may be positional (those
// before a "*"). Positional-only parameters ("/") are not parsed here.
template <Lit Params>
struct ParamList {
    struct Parsed {
        char text[Params.size + 1]{};  // the names, each ended by '\0'
        std::size_t start[32]{};
        Py_ssize_t count = 0, required = -1, positional = -1;
    };
    static constexpr Parsed parse() noexcept {
        Parsed p;
        std::size_t n = 0, i = 0;
        while (i < Params.size) {
            while (i < Params.size && Params.s[i] == ' ') ++i;
            std::size_t begin = n;
            bool has_default = false;
            for (; i < Params.size && Params.s[i] != ','; ++i) {
                if (Params.s[i] == '=') has_default = true;
                if (!has_default && Params.s[i] != ' ') p.text[n++] = Params.s[i];
            }
            ++i;  // the comma
            if (n - begin == 1 && p.text[begin] == '*') {
                p.positional = p.count;
                n = begin;
                continue;
            }
            p.text[n++] = '\0';
            if (has_default && p.required < 0) p.required = p.count;
            p.start[p.count++] = begin;
        }
        if (p.required < 0) p.required = p.count;
        return p;
    }
    static constexpr Parsed parsed = parse();
    static constexpr Py_ssize_t count = parsed.count;
    static constexpr auto names() noexcept {
        std::array<const char*, count + 1> out{};
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = parsed.text + parsed.start[i];
        return out;
    }
    static constexpr std::array<const char*, count + 1> name = names();
    static_assert(count <= 32, "at most 32 parameters");
    static constexpr bool no_slash() noexcept {
        for (std::size_t i = 0; i < Params.size; ++i)
            if (Params.s[i] == '/') return false;
        return true;
    }
    static_assert(no_slash(), "positional-only parameters are parsed by hand");
};

// The parsed call of F: F takes the receiver (and, when its second
// parameter is a PyTypeObject*, the defining class) followed by one borrowed
// PyObject* per parameter, nullptr for an optional one not given. The
// parameter names, the required count and the messages all come from PARAMS.
template <Lit Name, auto F, Lit Params, bool Method>
struct Parsing {
    using P = ParamList<Params>;
    static inline const Signature sig{Name.s, P::name.data(),      P::count, P::parsed.required,
                                      Method, P::parsed.positional};

    template <typename T>
    struct Takes;
    template <typename R, typename S, typename... A>
    struct Takes<R (*)(S, A...)> {
        using Result = R;
        using Self = S;
        // One parameter more than PARAMS names: the defining class.
        static constexpr bool with_class = sizeof...(A) == P::count + 1;
    };
    using T = Takes<decltype(F)>;
    using Self = typename T::Self;

    template <std::size_t... I>
    static auto invoke(Self self, PyTypeObject* cls, PyObject** a, std::index_sequence<I...>) {
        if constexpr (T::with_class)
            return F(self, cls, a[I]...);
        else
            return F(self, a[I]...);
    }
    // METH_FASTCALL | METH_KEYWORDS, with METH_METHOD when F takes the class.
    // A call with positional arguments only, of an accepted count, is
    // unpacked here; keywords and wrong counts go to the shared parser.
    static PyObject* vector(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames) {
        PyObject* a[P::count + 1];
        const Py_ssize_t n = PyVectorcall_NARGS(nargs);
        constexpr Py_ssize_t most = P::parsed.positional < 0 ? P::count : P::parsed.positional;
        if (PYHOST_LIKELY(kwnames == nullptr && n >= P::parsed.required && n <= most)) {
            for (Py_ssize_t i = 0; i < P::count; ++i) a[i] = i < n ? args[i] : nullptr;
        } else if (!parse_args(sig, args, n, kwnames, a)) {
            return nullptr;
        }
        return invoke(self, cls, a, std::make_index_sequence<P::count>{});
    }
    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return vector(self, nullptr, args, static_cast<size_t>(nargs), kwnames);
    }
    // tp_init, tp_new and tp_call take a tuple and a dict.
    static typename T::Result tuple(Self self, PyObject* args, PyObject* kwargs) {
        PyObject* a[P::count + 1];
        if (!parse_tuple(sig, args, kwargs, a)) return error_result<typename T::Result>();
        return invoke(self, nullptr, a, std::make_index_sequence<P::count>{});
    }
};

// One method-table entry whose arguments the kit parses from PARAMS, the
// same list its text signature is written from:
//     PyObject* observe(PyObject* self, PyObject* payload);
//     pyhost::def<"observe", observe, "payload", "Fold one payload.">()
// F passes the exception boundary. Receiver and Extra as for method().
template <Lit Name, auto F, Lit Params, Lit Doc, Lit Receiver = "$self", int Extra = 0>
PyMethodDef def() noexcept {
    using C = Parsing<Name, F, Params, Receiver.s[1] != 'm'>;
    void (*entry)(void);
    int flags = METH_FASTCALL | METH_KEYWORDS | Extra;
    if constexpr (C::T::with_class) {
        entry = reinterpret_cast<void (*)(void)>(&Boundary<&C::vector>::call);
        flags |= METH_METHOD;
    } else {
        entry = reinterpret_cast<void (*)(void)>(&Boundary<&C::fast>::call);
    }
    return {Name.s, reinterpret_cast<PyCFunction>(entry), flags,
            SignatureDoc<Name, Params, Doc, Receiver>::text.data()};
}

// The same for a module-level function: F(PyObject* module, PyObject*...).
template <Lit Name, auto F, Lit Params, Lit Doc>
PyMethodDef def_function() noexcept {
    return def<Name, F, Params, Doc, "$module">();
}

// A tp_init slot whose arguments are parsed from PARAMS ("device_id",
// "dim=128"): int F(PyObject* self, PyObject*...); messages name __init__.
template <auto F, Lit Params>
PyType_Slot init() noexcept {
    return {Py_tp_init, reinterpret_cast<void*>(&Boundary<&Parsing<"__init__", F, Params, true>::tuple>::call)};
}

// The same for tp_new: PyObject* F(PyTypeObject* type, PyObject*...); the
// messages name the type as Python's own constructors do ("Name(...)").
template <Lit Name, auto F, Lit Params>
PyType_Slot new_slot() noexcept {
    return {Py_tp_new, reinterpret_cast<void*>(&Boundary<&Parsing<Name, F, Params, false>::tuple>::call)};
}

// ---------------------------------------------------------------------------
// Traverse and clear
// ---------------------------------------------------------------------------

// Visits every non-null reference given, as a run of Py_VISIT would.
template <typename... T>
int visit_all(visitproc visit, void* arg, T*... refs) noexcept {
    int r = 0;
    ((r = r ? r : (refs ? visit(reinterpret_cast<PyObject*>(refs), arg) : 0)), ...);
    return r;
}

template <typename T>
void clear_ref(T*& ref) noexcept {
    Py_CLEAR(ref);
}

// For a state whose owned references an X-macro list names (LIST(X)
// expanding X(field) for each): `LIST(PYHOST_VISIT_FIELD)` in its traverse
// and `LIST(PYHOST_CLEAR_FIELD)` in its clear (see StateSlots).
#define PYHOST_VISIT_FIELD(f, ...) Py_VISIT(f);
#define PYHOST_CLEAR_FIELD(f, ...) Py_CLEAR(f);

// Clears every reference given, as a run of Py_CLEAR would.
template <typename... T>
void clear_all(T*&... refs) noexcept {
    (clear_ref(refs), ...);
}

// Traverse, clear and dealloc of a garbage-collected heap type whose objects
// own the references at Fields (members of Obj) and keep their weak
// references at Obj::weakrefs; traverse visits the type as well.
template <class Obj, auto... Fields>
struct Owns {
    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        return visit_all(visit, arg, Py_TYPE(self), (reinterpret_cast<Obj*>(self)->*Fields)...);
    }
    static int clear(PyObject* self) noexcept {
        clear_all((reinterpret_cast<Obj*>(self)->*Fields)...);
        return 0;
    }
    static void dealloc(PyObject* self) { dealloc_gc(self, reinterpret_cast<Obj*>(self)->weakrefs, clear); }
};

// The slots of such a type, Owner an Owns<...>, with the tables
// PREFIX_methods, PREFIX_getset and PREFIX_members.
#define PYHOST_OWNING_TYPE_SLOTS(Owner, prefix)                                                  \
    {Py_tp_dealloc, reinterpret_cast<void*>(Owner::dealloc)},                                    \
        {Py_tp_traverse, reinterpret_cast<void*>(Owner::traverse)},                              \
        {Py_tp_clear, reinterpret_cast<void*>(Owner::clear)}, {Py_tp_methods, prefix##_methods}, \
        {Py_tp_getset, prefix##_getset}, {                                                       \
        Py_tp_members, prefix##_members                                                          \
    }

// A type whose objects own nothing but their instance dict (Obj::dict), with
// weak references: its `__dict__` entry and offset members come with it.
template <class Obj>
struct PlainObject : Owns<Obj, &Obj::dict> {
    static inline PyMemberDef members[] = {PYHOST_DICT_WEAK_MEMBERS(Obj, dict, weakrefs)};
    static inline PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
};

// The slots of such a type, with its methods.
#define PYHOST_PLAIN_TYPE_SLOTS(Obj, methods)                                                              \
    {Py_tp_dealloc, reinterpret_cast<void*>(pyhost::PlainObject<Obj>::dealloc)},                           \
        {Py_tp_traverse, reinterpret_cast<void*>(pyhost::PlainObject<Obj>::traverse)},                     \
        {Py_tp_clear, reinterpret_cast<void*>(pyhost::PlainObject<Obj>::clear)}, {Py_tp_methods, methods}, \
        {Py_tp_getset, pyhost::PlainObject<Obj>::getset}, {                                                \
        Py_tp_members, pyhost::PlainObject<Obj>::members                                                   \
    }

// ---------------------------------------------------------------------------
// The module definition
// ---------------------------------------------------------------------------

// The exec slot of a module: its exec function, through the boundary.
template <auto Exec>
PyModuleDef_Slot exec_slot() noexcept {
    return {Py_mod_exec, reinterpret_cast<void*>(guarded<Exec>())};
}

// The module's slots: its exec function and, from 3.12 on, support for a GIL
// per interpreter (all state lives in the module state).
#if PY_VERSION_HEX >= 0x030C0000
#define PYHOST_MODULE_SLOTS(exec)                                                                          \
    {                                                                                                      \
        pyhost::exec_slot<exec>(), {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, { \
            0, nullptr                                                                                     \
        }                                                                                                  \
    }
#else
#define PYHOST_MODULE_SLOTS(exec)                 \
    {                                             \
        pyhost::exec_slot<exec>(), { 0, nullptr } \
    }
#endif

// The PyType_Spec of a subclassable, garbage-collected heap type whose objects are Obj.
template <class Obj>
PyType_Spec gc_type_spec(const char* name, PyType_Slot* slots) noexcept {
    return {name, sizeof(Obj), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
}

// A heap type made from `spec` for `module`, kept in *out (a new reference)
// and added to the module's namespace under its name.
template <class T>
int add_type(PyObject* module, PyType_Spec* spec, T** out) noexcept {
    *out = reinterpret_cast<T*>(PyType_FromModuleAndSpec(module, spec, nullptr));
    return *out == nullptr ? -1 : PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(*out));
}

// A multi-phase module definition without state.
inline PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots,
                              PyMethodDef* functions) noexcept {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, functions, slots, nullptr, nullptr, nullptr};
}

// m_free that clears the state as m_clear does.
template <int (*Clear)(PyObject*)>
void free_by_clear(void* module) {
    Clear(static_cast<PyObject*>(module));
}

// A multi-phase module definition whose state is `State`, with its
// module-level functions, if any.
template <class State>
PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots, traverseproc traverse, inquiry clear,
                       freefunc free, PyMethodDef* functions = nullptr) noexcept {
    return {PyModuleDef_HEAD_INIT, name, doc, sizeof(State), functions, slots, traverse, clear, free};
}

// ---------------------------------------------------------------------------
// Module state and interned names
// ---------------------------------------------------------------------------

template <class State>
State* state_of(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that defined `defining_class` (a method's class).
template <class State>
State* state_of(PyTypeObject* defining_class) noexcept {
    return static_cast<State*>(PyType_GetModuleState(defining_class));
}

// m_traverse, m_clear and m_free of a module whose State visits and clears
// its own references (`int traverse(visitproc visit, void* arg)` and
// `void clear()`); m_free clears, then calls State's `release()` if it has one.
template <class State>
struct StateSlots {
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        State* st = state_of<State>(module);
        return st == nullptr ? 0 : st->traverse(visit, arg);
    }
    static int clear(PyObject* module) {
        if (State* st = state_of<State>(module)) st->clear();
        return 0;
    }
    static void free(void* module) {
        State* st = state_of<State>(static_cast<PyObject*>(module));
        if (st == nullptr) return;
        st->clear();
        if constexpr (requires { st->release(); }) st->release();
    }
};

// A multi-phase module definition whose State keeps its references so.
template <class State>
PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots,
                       PyMethodDef* functions = nullptr) noexcept {
    using S = StateSlots<State>;
    return {PyModuleDef_HEAD_INIT, name, doc, sizeof(State), functions, slots, S::traverse, S::clear, S::free};
}

// The module that defined `type` (or the base of it created by `def`),
// borrowed; nullptr with TypeError set when there is none.
inline PyObject* module_of(PyTypeObject* type, PyModuleDef* def) noexcept { return PyType_GetModuleByDef(type, def); }
inline PyObject* module_of(PyObject* self, PyModuleDef* def) noexcept {
    return PyType_GetModuleByDef(Py_TYPE(self), def);
}

// A module's interned strings (keys, attribute and configuration names), in
// one table indexed by the module's own enumeration. Lives in the module
// state: zeroed memory is an empty table.
template <std::size_t N>
struct Names {
    PyObject* at[N];

    int init(const char* const (&texts)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            at[i] = intern(texts[i]);
            if (at[i] == nullptr) return -1;
        }
        return 0;
    }
    int visit(visitproc visit, void* arg) noexcept {
        for (PyObject* o : at) Py_VISIT(o);
        return 0;
    }
    void clear() noexcept {
        for (PyObject*& o : at) Py_CLEAR(o);
    }
    PyObject* operator[](std::size_t i) const noexcept { return at[i]; }
};

// The indices and texts of such a table from one X-macro list, LIST(X)
// expanding X(id, "text") for each name: `enum : std::size_t {
// LIST(PYHOST_NAME_INDEX) count }` and `{LIST(PYHOST_NAME_TEXT)}`, or both
// at once with PYHOST_NAMES: struct Enum { enum { ids..., count }; } and
// const char* const texts[Enum::count].
#define PYHOST_NAME_INDEX(id, text) id,
#define PYHOST_NAME_TEXT(id, text) text,
#define PYHOST_NAMES(Enum, texts, LIST)                       \
    struct Enum {                                             \
        enum : std::size_t { LIST(PYHOST_NAME_INDEX) count }; \
    };                                                        \
    const char* const texts[Enum::count] = {LIST(PYHOST_NAME_TEXT)}

// ---------------------------------------------------------------------------
// Attribute errors
// ---------------------------------------------------------------------------

// "'T' object has no attribute 'NAME'", as for a plain object; returns
// nullptr so that a getter can `return missing_attribute(...)`.
PyObject* missing_attribute(PyObject* self, const char* name) noexcept;

// A member of `self` as a new reference; unset (never initialised, or
// deleted), it raises the missing-attribute error and gives an empty Ref.
inline Ref member(PyObject* self, PyObject* value, const char* name) noexcept {
    if (PYHOST_UNLIKELY(value == nullptr)) missing_attribute(self, name);
    return Ref::borrow(value);
}

// Deleting an attribute that cannot be deleted. Python refuses that for a
// read-only attribute of a plain class (a property without deleter) with
// AttributeError; every type here does the same, with the message
// "cannot delete attribute 'NAME'". Returns -1 for a setter to return.
int refuse_delete(const char* name) noexcept;

// The getter and setter of an object member, Obj::*Field: reading it while
// unset raises the missing-attribute error, writing checks the value with
// Check (check_str, check_dict; nullptr takes any object), deleting is
// refused. The closure is the attribute's name.
template <class Obj, PyObject* Obj::* Field, auto Check = nullptr>
struct ObjectField {
    static PyObject* get(PyObject* self, void* name) {
        return member(self, reinterpret_cast<Obj*>(self)->*Field, static_cast<const char*>(name)).release();
    }
    static int set(PyObject* self, PyObject* value, void* name) {
        const char* text = static_cast<const char*>(name);
        if (value == nullptr) return refuse_delete(text);
        if constexpr (!std::is_null_pointer_v<decltype(Check)>) {
            if (!Check(value, text, false)) return -1;
        }
        Py_XSETREF(reinterpret_cast<Obj*>(self)->*Field, Py_NewRef(value));
        return 0;
    }
};

// A getset entry for such a member; both functions pass the boundary.
template <class Obj, PyObject* Obj::* Field, auto Check = nullptr>
PyGetSetDef object_field(const char* name, const char* doc) noexcept {
    using F = ObjectField<Obj, Field, Check>;
    return getset<&F::get, &F::set>(name, doc, const_cast<char*>(name));
}

// The same for a number member: a double reads as float and takes any real
// number (float_arg), a Py_ssize_t reads as int and takes any real number
// through int() (ssize_arg).
template <class Obj, auto Field>
struct NumberField {
    using T = std::remove_reference_t<decltype(std::declval<Obj&>().*Field)>;
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, Py_ssize_t>);
    static PyObject* get(PyObject* self, void*) {
        if constexpr (std::is_same_v<T, double>)
            return PyFloat_FromDouble(reinterpret_cast<Obj*>(self)->*Field);
        else
            return PyLong_FromSsize_t(reinterpret_cast<Obj*>(self)->*Field);
    }
    static int set(PyObject* self, PyObject* value, void* name) {
        const char* text = static_cast<const char*>(name);
        if (value == nullptr) return refuse_delete(text);
        T v;
        if constexpr (std::is_same_v<T, double>) {
            if (!float_arg(value, text, &v)) return -1;
        } else {
            if (!ssize_arg(value, text, &v)) return -1;
        }
        reinterpret_cast<Obj*>(self)->*Field = v;
        return 0;
    }
};

template <class Obj, auto Field>
PyGetSetDef number_field(const char* name, const char* doc) noexcept {
    using F = NumberField<Obj, Field>;
    return getset<&F::get, &F::set>(name, doc, const_cast<char*>(name));
}

// ---------------------------------------------------------------------------
// Random ids
// ---------------------------------------------------------------------------

// 32 lower-case hex digits of a fresh version-4 UUID, from the OS's random
// source. Returns false with OSError set when the source fails.
bool uuid4_hex(char out[32]);

// `ndigits` (even, at most 64) lower-case hex digits of fresh random bytes
// from the OS's random source, read in blocks per thread; a forked child
// never reuses its parent's block. The first 12 hex digits of a version-4
// UUID are random bytes in the same form, so a short id prefix drawn here
// has the distribution of uuid4_hex's. Returns false with OSError set when
// the source fails.
bool random_hex(char* out, int ndigits);

// ---------------------------------------------------------------------------
// Unpacking
// ---------------------------------------------------------------------------

// `first, second = value`: exact 2-tuples directly, anything else through
// iteration, with the interpreter's TypeError/ValueError messages ("cannot
// unpack non-iterable T object", "not enough values to unpack (expected 2,
// got N)", "too many values to unpack (expected 2)").
bool unpack_pair(PyObject* value, Ref* first, Ref* second);

}  // namespace pyhost
