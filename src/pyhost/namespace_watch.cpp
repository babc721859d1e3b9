// Namespace watch: module-level values reused until the namespace changes.
//
// A hot path that must honour a rebinding of a module constant at its next
// use would otherwise pay a dict lookup per constant per call. Instead it
// keeps the value it read together with a version of the module's namespace,
// and looks again only when the version has moved.
//
// Version source: on 3.11 the dict's own version tag (PEP 509), which
// changes on every modification. From 3.12 on that field is deprecated, so a
// dict watcher bumps a counter of ours before each modification of the
// namespace. When no watcher slot is free the watch reports version 0 and
// every read looks the name up, exactly as module_global() does.
#include "pyhost.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace pyhost {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// Watched namespaces and their counters. The watcher callback is one plain
// function for every interpreter, so it finds the counter by the dict. The
// mutex guards only this list (interpreters with their own GIL may modify
// their namespaces at the same time); no Python code runs while it is held.
struct Watched {
    PyObject* dict;
    std::atomic<std::uint64_t>* version;
};
std::mutex registry_mutex;
std::vector<Watched> registry;

int on_namespace_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    std::lock_guard<std::mutex> hold(registry_mutex);
    for (const Watched& w : registry)
        if (w.dict == dict) w.version->fetch_add(1, std::memory_order_release);
    return 0;
}

}  // namespace
#endif

int NamespaceWatch::start(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return -1;
#if PY_VERSION_HEX >= 0x030C0000
    int id = PyDict_AddWatcher(on_namespace_event);
    if (id < 0) {
        // All watcher slots of this interpreter are taken: read uncached.
        PyErr_Clear();
        return 0;
    }
    auto* version = new (std::nothrow) std::atomic<std::uint64_t>(1);
    if (version == nullptr) {
        PyDict_ClearWatcher(id);
        PyErr_NoMemory();
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(registry_mutex);
        registry.push_back({dict, version});
    }
    if (PyDict_Watch(id, dict) < 0) {
        {
            std::lock_guard<std::mutex> hold(registry_mutex);
            registry.pop_back();
        }
        delete version;
        PyDict_ClearWatcher(id);
        return -1;
    }
    watcher_plus_one_ = id + 1;
    version_ = version;
#endif
    dict_ = dict;
    return 0;
}

void NamespaceWatch::stop() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (version_ != nullptr) {
        {
            std::lock_guard<std::mutex> hold(registry_mutex);
            registry.erase(std::remove_if(registry.begin(), registry.end(),
                                          [this](const Watched& w) { return w.version == version_; }),
                           registry.end());
        }
        // Called from module teardown, where no error may escape.
        PyObject* exc = PyErr_GetRaisedException();
        if (PyDict_Unwatch(watcher_plus_one_ - 1, dict_) < 0) PyErr_Clear();
        if (PyDict_ClearWatcher(watcher_plus_one_ - 1) < 0) PyErr_Clear();
        PyErr_SetRaisedException(exc);
        delete version_;
        version_ = nullptr;
        watcher_plus_one_ = 0;
    }
#endif
    dict_ = nullptr;
}

Ref CachedGlobal::refresh(PyObject* module, PyObject* name, std::uint64_t now) {
    Ref v = module_global(module, name);
    // Borrowed: while the version holds, the namespace keeps the value alive.
    value_ = v.get();
    version_ = v ? now : 0;
    return v;
}

}  // namespace pyhost
