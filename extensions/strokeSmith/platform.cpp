// The Windows shell step of the keyboard module and its counterpart on other desktops.
#include "strokeSmith/platform.hpp"

#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

const Name n__windows_shell("_windows_shell");

#ifdef _WIN32
constexpr bool built_for_windows = true;
#else
constexpr bool built_for_windows = false;
#endif

} // namespace

bool windows_shell() {
    Ref chosen = Ref::borrow(PyDict_GetItemWithError(module.dict(), n__windows_shell.get()));
    if (!chosen) {
        if (PyErr_Occurred()) {
            throw_pending();
        }
        return built_for_windows;
    }
    return truthy(chosen);
}

Ref default_opener() {
    if (windows_shell()) {
        return getattr(module.lookup(n_os), n_startfile);
    }
    Ref platform = module.import_from_list(n_velmora__platform, {&n_shell});
    Ref shell = ModuleLifecycle::import_from(platform, n_shell);
    return getattr(shell, n_startfile);
}

} // namespace velmora::strokeSmith
