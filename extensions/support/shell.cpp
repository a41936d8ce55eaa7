// The shell choice of a module and the import of the desktop stand-in.
#include "support/shell.hpp"

#include "support/names.hpp"

namespace velmora {

namespace {

const Name n__windows_shell("_windows_shell");

#ifdef _WIN32
constexpr bool built_for_windows = true;
#else
constexpr bool built_for_windows = false;
#endif

} // namespace

bool windows_shell(const ModuleLifecycle& module) {
    Ref chosen = Ref::borrow(PyDict_GetItemWithError(module.dict(), n__windows_shell.get()));
    if (!chosen) {
        if (PyErr_Occurred()) {
            throw_pending();
        }
        return built_for_windows;
    }
    return truthy(chosen);
}

Ref desktop_shell(const ModuleLifecycle& module, const Name& name) {
    Ref platform = module.import_from_list(n_velmora__platform, {&n_shell});
    Ref shell = ModuleLifecycle::import_from(platform, n_shell);
    return getattr(shell, name);
}

} // namespace velmora
