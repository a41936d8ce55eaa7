#include "support/module.hpp"

#include <cstdio>
#include <cstring>

namespace velmora {

namespace {

const Name n_name("name");
const Name n_loader("loader");
const Name n_origin("origin");
const Name n_parent("parent");
const Name n_submodule_search_locations("submodule_search_locations");
const Name n___loader__("__loader__");
const Name n___file__("__file__");
const Name n___package__("__package__");
const Name n___path__("__path__");
const Name n___builtins__("__builtins__");

// Copies `spec.<from>` into the module namespace as `to`; a missing attribute is skipped,
// and None is skipped too where `allow_none` is false.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const Name& from, const Name& to,
                         bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttr(spec, from.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_pending();
        }
        PyErr_Clear();
        return;
    }
    if (value.get() == Py_None && !allow_none) {
        return;
    }
    check_status(PyDict_SetItem(dict, to.get(), value.get()));
}

[[noreturn]] void raise_name_error(const Name& name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    throw_pending();
}

} // namespace

PyObject* ModuleLifecycle::create(PyObject* spec) noexcept {
    try {
        std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) {
            throw_pending();
        }
        if (interpreter_id_ == -1) {
            interpreter_id_ = current;
        } else if (interpreter_id_ != current) {
            PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can "
                                               "only be loaded into one interpreter per process.");
            throw_pending();
        }
        if (module_ != nullptr) {
            return Ref::borrow(module_).release();
        }
        Ref name = getattr(spec, n_name);
        Ref module = check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, dict, n_loader, n___loader__, true);
        copy_spec_attribute(spec, dict, n_origin, n___file__, true);
        copy_spec_attribute(spec, dict, n_parent, n___package__, true);
        copy_spec_attribute(spec, dict, n_submodule_search_locations, n___path__, false);
        return module.release();
    } catch (...) {
        return translate_exception();
    }
}

int ModuleLifecycle::run_exec(PyObject* module, void (*execute)(PyObject*)) noexcept {
    try {
        if (begin_exec(module) == Begin::initialise) {
            execute(module);
            initialised_ = true;
        }
        return 0;
    } catch (...) {
        translate_exception();
        fail_exec(module);
        return -1;
    }
}

ModuleLifecycle::Begin ModuleLifecycle::begin_exec(PyObject* module) {
    if (module_ != nullptr) {
        // The same object again: initialised already, or being initialised by an exec step
        // further up the stack, which finishes the work (or fails it) itself.
        if (module_ == module) {
            return Begin::already_initialised;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        throw_pending();
    }
    Py_INCREF(module);
    module_ = module;
    dict_ = PyModule_GetDict(module);

    check_version();

    if (builtins_ == nullptr) {
        PyObject* builtins = PyImport_AddModule("builtins"); // borrowed from sys.modules
        if (builtins == nullptr) {
            throw_pending();
        }
        Py_INCREF(builtins);
        builtins_ = builtins;
    }
    check_status(PyDict_SetItem(dict_, n___builtins__.get(), builtins_));

    PyObject* modules = PyImport_GetModuleDict(); // borrowed; lives as long as the interpreter
    Ref key = new_str(qualified_name_);
    PyObject* registered = PyDict_GetItemWithError(modules, key.get());
    if (registered == nullptr) {
        if (PyErr_Occurred()) {
            throw_pending();
        }
        check_status(PyDict_SetItem(modules, key.get(), module));
    }
    return Begin::initialise;
}

bool ModuleLifecycle::ready(PyObject* owner) const noexcept {
    if (initialised_ && owner == module_) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError, "module '%s' has not finished initialising", qualified_name_);
    return false;
}

void ModuleLifecycle::check_version() const {
    // The major.minor this module was compiled against, against the start of the running
    // interpreter's version string; a mismatch only warns.
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    std::size_t length = 0;
    bool seen_dot = false;
    while (running[length] != '\0') {
        char c = running[length];
        if (c == '.') {
            if (seen_dot) {
                break;
            }
            seen_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        ++length;
    }
    if (std::strlen(compiled) == length && std::strncmp(compiled, running, length) == 0) {
        return;
    }
    char running_major_minor[16] = {0};
    std::snprintf(running_major_minor, sizeof running_major_minor, "%.*s", int(length), running);
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, qualified_name_, running_major_minor);
    check_status(PyErr_WarnEx(nullptr, message, 1));
}

// Takes a module object whose exec step failed out of `sys.modules`, where the exec step may
// have put it: left there, it would be handed to every later import of the module. Importers
// that registered it themselves remove it too; an entry that is another object stays.
void ModuleLifecycle::forget_registration(PyObject* module) const noexcept {
    PyObject* modules = PyImport_GetModuleDict(); // borrowed; lives as long as the interpreter
    PyObject* key = PyUnicode_FromString(qualified_name_);
    if (key != nullptr) {
        PyObject* registered = PyDict_GetItemWithError(modules, key); // borrowed, compared only
        if (registered == module && PyDict_DelItem(modules, key) < 0) {
            PyErr_Clear();
        }
        Py_DECREF(key);
    }
    PyErr_Clear(); // the failure being reported is set aside by the caller
}

void ModuleLifecycle::fail_exec(PyObject* module) noexcept {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", qualified_name_);
    }
    char entry[128];
    std::snprintf(entry, sizeof entry, "init %s", qualified_name_);
    add_traceback(Site{entry, source_file_, 1});
    if (module == module_ && !initialised_) {
        // Forget the namespace before the module object goes: releasing it may run code.
        dict_ = nullptr;
        PyObject* released = module_;
        module_ = nullptr;
        SavedError failure;
        forget_registration(released);
        Py_DECREF(released);
        failure.restore();
    }
}

Ref ModuleLifecycle::lookup(const Name& name) const {
    PyObject* value = name.find_in(dict_); // borrowed
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    return builtin(name);
}

Ref ModuleLifecycle::builtin(const Name& name) const {
    Ref value = Ref::steal(PyObject_GetAttr(builtins_, name.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_pending();
        }
        PyErr_Clear();
        raise_name_error(name);
    }
    return value;
}

void ModuleLifecycle::bind(const Name& name, Borrowed value) const {
    check_status(PyDict_SetItem(dict_, name.get(), value.get()));
}

Ref ModuleLifecycle::import_module(const Name& dotted) const {
    Ref empty = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(dotted.get(), dict_, empty.get(), nullptr, 0));
}

Ref ModuleLifecycle::import_from_list(const Name& module,
                                      std::initializer_list<const Name*> names) const {
    Ref from_list = check(PyList_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const Name* name : names) {
        PyObject* text = name->get();
        Py_INCREF(text);
        PyList_SET_ITEM(from_list.get(), i++, text);
    }
    Ref empty = check(PyDict_New());
    return check(
        PyImport_ImportModuleLevelObject(module.get(), dict_, empty.get(), from_list.get(), 0));
}

Ref ModuleLifecycle::import_from(Borrowed module, const Name& name) {
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        }
        throw_pending();
    }
    return value;
}

} // namespace velmora
