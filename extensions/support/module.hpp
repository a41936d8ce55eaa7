// The life of one extension module: the create and exec steps of multi-phase initialisation,
// and name resolution in the module namespace.
//
// Each module has exactly one module object per process, living in exactly one interpreter,
// initialised once and never torn down. The module's own exec step calls `begin_exec` first,
// then binds its names, and calls `fail_exec` when a step fails.
#pragma once

#include "support/object.hpp"

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

    enum class Begin { initialise, already_initialised };

    // The exec step's common part: the re-initialisation check, the version check, the
    // module's `__builtins__` and its entry in `sys.modules`. Throws `PyError`.
    Begin begin_exec(PyObject* module);

    // Ends a failed exec step: adds the "init <module>" traceback entry, releases the module
    // object and makes sure an exception is pending. Returns -1 for the exec slot.
    int fail_exec() noexcept;

    // The exec slot: runs the module's own exec step and turns a failure into the import's
    // error. Returns 0 or -1, as the interpreter expects of the slot.
    int run_exec(PyObject* module, void (*execute)(PyObject*)) noexcept {
        try {
            execute(module);
            return 0;
        } catch (...) {
            translate_exception();
            return fail_exec();
        }
    }

    // The module namespace (a borrowed dict, valid once `begin_exec` has run).
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
    void check_version() const;

    const char* short_name_;
    const char* qualified_name_;
    const char* source_file_;
    PyObject* module_ = nullptr; // the one initialised module object (strong reference)
    PyObject* dict_ = nullptr;
    PyObject* builtins_ = nullptr;
    std::int64_t interpreter_id_ = -1;
};

} // namespace velmora
