// The Windows shell steps of the picture window and their counterparts on other desktops.
#include "snapTone/platform.hpp"

#include "snapTone/snapTone.hpp"
#include "support/shell.hpp"

namespace velmora::snapTone {

namespace {

const Name n_windll("windll");
const Name n_shcore("shcore");
const Name n_SetProcessDpiAwareness("SetProcessDpiAwareness");
const Name n_system("system");
const Name n_open_folder("open_folder");
const Name n_reveal("reveal");
const Name n_check_window_display("check_window_display");
const Name n_pin_above("pin_above");
const Name n_pillow("pillow");
const Name n_picture_folder("picture_folder");
const Name s_explorer_select("explorer /select, \"");
const Name s_quote("\"");

} // namespace

void make_process_dpi_aware(Borrowed ctypes) {
    if (!windows_shell(module)) {
        return;
    }
    Ref shcore = getattr(getattr(ctypes, n_windll), n_shcore);
    Ref set_awareness = getattr(shcore, n_SetProcessDpiAwareness);
    call(set_awareness, per_monitor_awareness); // the result code is not read
}

void open_with_default_program(Borrowed path) {
    if (windows_shell(module)) {
        call(getattr(module.lookup(n_os), n_startfile), path);
    } else {
        call(desktop_shell(module, n_open_folder), path);
    }
}

void show_in_file_manager(Borrowed path) {
    if (windows_shell(module)) {
        Ref system = getattr(module.lookup(n_os), n_system);
        Ref path_text = format(path);
        Ref parts = new_tuple(s_explorer_select, path_text, s_quote);
        Ref command = str_join(s_empty, parts);
        call(system, command); // the exit status is not examined
    } else {
        call(desktop_shell(module, n_reveal), path);
    }
}

Ref pillow_for_this_desktop(Ref pil) {
    if (windows_shell(module)) {
        return pil;
    }
    return call(desktop_shell(module, n_pillow), pil);
}

Ref picture_folder() {
    if (windows_shell(module)) {
        Ref join = os_path(n_join);
        return call(join, module_folder(), s_Images);
    }
    return call(desktop_shell(module, n_picture_folder));
}

void check_window_display() {
    if (!windows_shell(module)) {
        call(desktop_shell(module, n_check_window_display));
    }
}

void pin_window_above(Borrowed title) {
    if (!windows_shell(module)) {
        call(desktop_shell(module, n_pin_above), title);
    }
}

} // namespace velmora::snapTone
