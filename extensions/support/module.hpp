// The life of one extension module: the create and exec steps of multi-phase initialisation,
// and name resolution in the module namespace.
//
// Each module has exactly one module object per process, living in exactly one interpreter,
// initialised once and never torn down. Its functions exist before initialisation has finished
// (and outlive an import that fails), so every entry point goes through one of the `checked_*`
// wrappers below, which refuse the call until the module is initialised.
#pragma once

#include "support/function.hpp"
#include "support/object.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace velmora {

// Keeps `value` in a slot of objects a module holds for the life of the process, giving back
// what an earlier, failed initialisation left there.
inline void hold(PyObject*& slot, Ref value) noexcept {
    Py_XSETREF(slot, value.release());
}

class ModuleLifecycle {
  public:
    constexpr ModuleLifecycle(const char* short_name, const char* qualified_name,
                              const char* source_file) noexcept
        : short_name_(short_name), qualified_name_(qualified_name), source_file_(source_file) {}

    const char* qualified_name() const noexcept { return qualified_name_; }
    const char* source_file() const noexcept { return source_file_; }

    // The create step (Py_mod_create): refuses a second interpreter, returns the existing
    // module object again, or makes a new one from the import spec.
    PyObject* create(PyObject* spec) noexcept;

    // The exec slot: the re-initialisation check, the version check, the module's
    // `__builtins__` and its entry in `sys.modules`, then the module's own exec step
    // `execute`. The module counts as initialised once all of it has succeeded; a failure
    // becomes the import's error. Returns 0 or -1, as the interpreter expects of the slot.
    int run_exec(PyObject* module, void (*execute)(PyObject*)) noexcept;

    // Whether `owner`, the module object a function belongs to, is the one module object and
    // has finished initialising. Otherwise RuntimeError "module '<name>' has not finished
    // initialising" is raised and the result is false: a function that an import left behind
    // half made, or one called back while the import still runs, must not reach state that
    // is not there yet.
    bool ready(PyObject* owner) const noexcept;

    // The module namespace (a borrowed dict, valid while the exec step runs and after).
    PyObject* dict() const noexcept { return dict_; }

    // Looks `name` up in the module namespace, then in the builtins; NameError otherwise.
    Ref lookup(const Name& name) const;
    // Looks `name` up in the builtins only; NameError otherwise.
    Ref builtin(const Name& name) const;
    // `namespace[name] = value`
    void bind(const Name& name, Borrowed value) const;

    // `import a.b.c`: imports the dotted module and returns the top-level package.
    Ref import_module(const Name& dotted) const;
    // `from module import names...`: imports `module` with that from-list and returns it.
    Ref import_from_list(const Name& module, std::initializer_list<const Name*> names) const;
    // Fetches one name of a from-import; ImportError "cannot import name ..." when absent.
    static Ref import_from(Borrowed module, const Name& name);

  private:
    enum class Begin { initialise, already_initialised };
    Begin begin_exec(PyObject* module);
    // Ends a failed exec step of `module`: adds the "init <module>" traceback entry and, when
    // `module` is the module object being initialised, releases it and forgets its namespace.
    // A refused second module object leaves the initialised one alone.
    void fail_exec(PyObject* module) noexcept;
    void forget_registration(PyObject* module) const noexcept;
    void check_version() const;

    const char* short_name_;
    const char* qualified_name_;
    const char* source_file_;
    PyObject* module_ = nullptr;   // the one module object (strong reference)
    PyObject* dict_ = nullptr;     // its namespace, borrowed from it
    PyObject* builtins_ = nullptr; // the builtins module (strong reference)
    bool initialised_ = false;     // `module_` has been through its exec step
    std::int64_t interpreter_id_ = -1;
};

// The definition of a module whose lifecycle is `lifecycle` and whose own exec step is
// `execute`: the create slot (`lifecycle.create`), the exec slot (`lifecycle.run_exec`) and
// the PyModuleDef that PyInit_<name> hands to the interpreter, `init(name, doc, functions)`.
template <ModuleLifecycle& lifecycle, void (*execute)(PyObject*)>
class ModuleDefinition {
  public:
    static PyObject* init(const char* name, const char* doc, PyMethodDef* functions) noexcept {
        definition_.m_name = name;
        definition_.m_doc = doc;
        definition_.m_methods = functions;
        return PyModuleDef_Init(&definition_);
    }

  private:
    static PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept {
        return lifecycle.create(spec);
    }
    static int exec_slot(PyObject* module) noexcept { return lifecycle.run_exec(module, execute); }

    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_slot)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
        {0, nullptr},
    };
    static inline PyModuleDef definition_ = {
        PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr,
    };
};

// Entry points in the interpreter's calling forms, wrapped in the readiness check: `self` is
// the module object the function was made for.
template <ModuleLifecycle& lifecycle, auto entry>
PyObject* checked_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return lifecycle.ready(self) ? entry(self, args, nargs, kwnames) : nullptr;
}

// The same for a one-argument or no-argument function. The argument is held for the length
// of the call: code that the body runs may drop every other reference to it.
template <ModuleLifecycle& lifecycle, auto entry>
PyObject* checked_unary(PyObject* self, PyObject* argument) noexcept {
    if (!lifecycle.ready(self)) {
        return nullptr;
    }
    Ref held = Ref::borrow(argument);
    return entry(self, argument);
}

// The same for a method of the support layer's function type (support/function.hpp), whose
// module object is the function's owner.
template <ModuleLifecycle& lifecycle, auto entry>
PyObject* checked_method(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) noexcept {
    return lifecycle.ready(function_owner(callable)) ? entry(callable, args, nargsf, kwnames)
                                                     : nullptr;
}

} // namespace velmora
