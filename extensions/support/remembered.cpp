#include "support/remembered.hpp"

namespace velmora {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// Every event on a watched dictionary, its end included, counts as a change. The count
// starts at 1: a lookup never remembered has state 0.
std::uint64_t changes = 1;
int watcher = -1; // the watcher's id once added; -2 when the interpreter has no free slot

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++changes;
    return 0;
}

// The state of `dict` that remembering needs, 0 when it cannot be watched.
std::uint64_t state_of(PyObject* dict) {
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(count_change);
        if (watcher < 0) {
            PyErr_Clear(); // every watcher slot taken: plain lookups
            watcher = -2;
        }
    }
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    return changes;
}

bool unchanged(PyObject*, std::uint64_t state) {
    return state == changes;
}
#else
// The version tag changes with every change to the dictionary and is never given twice.
std::uint64_t state_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

bool unchanged(PyObject* dict, std::uint64_t state) {
    return state == reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

} // namespace

PyObject* RememberedLookup::find(PyObject* dict, PyObject* key) const {
    if (dict == dict_ && state_ != 0 && unchanged(dict, state_)) {
        return value_;
    }
    const std::uint64_t state = state_of(dict);
    PyObject* value = PyDict_GetItemWithError(dict, key); // borrowed
    if (value == nullptr) {
        dict_ = nullptr;
        if (PyErr_Occurred()) {
            throw_pending();
        }
        return nullptr;
    }
    // The state was read before the lookup: a change the lookup itself makes (a colliding
    // key's `__eq__` can run code) leaves it stale, and the next use looks again.
    dict_ = dict;
    state_ = state;
    value_ = value;
    return value;
}

} // namespace velmora
