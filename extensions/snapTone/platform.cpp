// The Windows shell steps of the picture window and their counterparts on other desktops.
#include "snapTone/platform.hpp"

#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

const Name n__windows_shell("_windows_shell");
const Name n_windll("windll");
const Name n_shcore("shcore");
const Name n_SetProcessDpiAwareness("SetProcessDpiAwareness");
const Name n_system("system");
const Name n_open_folder("open_folder");
const Name n_reveal("reveal");
const Name n_pin_above("pin_above");
const Name n_pillow("pillow");
const Name s_explorer_select("explorer /select, \"");
const Name s_quote("\"");
const Name s_empty("");

#ifdef _WIN32
constexpr bool built_for_windows = true;
#else
constexpr bool built_for_windows = false;
#endif

// `velmora._platform.shell.<name>`, the desktop's counterpart of a Windows shell call.
Ref desktop_shell(const Name& name) {
    Ref platform = module.import_from_list(n_velmora__platform, {&n_shell});
    Ref shell = ModuleLifecycle::import_from(platform, n_shell);
    return getattr(shell, name);
}

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

void make_process_dpi_aware(Borrowed ctypes) {
    if (!windows_shell()) {
        return;
    }
    Ref shcore = getattr(getattr(ctypes, n_windll), n_shcore);
    Ref set_awareness = getattr(shcore, n_SetProcessDpiAwareness);
    call(set_awareness, captured.two); // per-monitor aware; the result code is not read
}

void open_with_default_program(Borrowed path) {
    if (windows_shell()) {
        call(getattr(module.lookup(n_os), n_startfile), path);
    } else {
        call(desktop_shell(n_open_folder), path);
    }
}

void show_in_file_manager(Borrowed path) {
    if (windows_shell()) {
        Ref system = getattr(module.lookup(n_os), n_system);
        Ref path_text = check(PyObject_Format(path.get(), s_empty.get()));
        Ref parts = new_tuple(s_explorer_select, path_text, s_quote);
        Ref command = check(PyUnicode_Join(s_empty.get(), parts.get()));
        call(system, command); // the exit status is not examined
    } else {
        call(desktop_shell(n_reveal), path);
    }
}

Ref pillow_for_this_desktop(Ref pil) {
    if (windows_shell()) {
        return pil;
    }
    return call(desktop_shell(n_pillow), pil);
}

void pin_window_above(Borrowed title) {
    if (!windows_shell()) {
        call(desktop_shell(n_pin_above), title);
    }
}

} // namespace velmora::snapTone
