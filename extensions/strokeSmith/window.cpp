// Bringing the window of a class to the foreground and handing it a key.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

const Name n_GetHandleByClassName("GetHandleByClassName");
const Name n_SetHandleByClassName("SetHandleByClassName");
const Name n_IsWindowVisible("IsWindowVisible");
const Name n_FindWindow("FindWindow");
const Name n_GetSafeHwnd("GetSafeHwnd");
const Name n_ShowWindow("ShowWindow");
const Name n_SW_RESTORE("SW_RESTORE");
const Name n_SetForegroundWindow("SetForegroundWindow");
const Name n_GetWindowText("GetWindowText");
const Name n_error("error");

// Runs `attempt` under a handler for `<module_name>.error`: an exception of that type (or a
// subclass) is discarded and the result is false. The type is fetched from the module only
// when an exception is being matched; any other exception goes on unhandled.
template <class Attempt>
bool succeeds_unless_error_of(const Name& module_name, Attempt&& attempt) {
    try {
        attempt();
        return true;
    } catch (const PyError&) {
        SavedError raised;
        Ref error_type;
        try {
            error_type = getattr(module.lookup(module_name), n_error);
        } catch (const PyError&) {
            raised.chain_under_pending();
            throw;
        }
        if (raised.matches(error_type)) {
            return false;
        }
        raised.rethrow();
    }
}

// The handle `winHouse` keeps for the class, as a 32-bit int; 0 when none is known.
int stored_handle(Borrowed target_className) {
    Ref get_handle = getattr(module.lookup(n_winHouse), n_GetHandleByClassName);
    Ref handle = call(get_handle, target_className);
    return to_int32(handle);
}

// `win32gui.ShowWindow(handle, win32con.SW_RESTORE)`
void restore_window(Borrowed handle) {
    Ref show_window = getattr(module.lookup(n_win32gui), n_ShowWindow);
    Ref restore = getattr(module.lookup(n_win32con), n_SW_RESTORE);
    call(show_window, handle, restore);
}

// `win32gui.SetForegroundWindow(handle)`; false when the system refuses with
// `pywintypes.error`.
bool bring_to_foreground(Borrowed handle) {
    return succeeds_unless_error_of(n_pywintypes, [&] {
        Ref set_foreground = getattr(module.lookup(n_win32gui), n_SetForegroundWindow);
        call(set_foreground, handle);
    });
}

} // namespace

void find_and_send_keys_to_window(Str target_className, Borrowed key, Borrowed send_function) {
    // A stored handle is reused while its window is visible; otherwise the window is searched.
    int handle = stored_handle(target_className);
    bool search = handle == 0;
    if (!search) {
        Ref handle_object = new_int(handle);
        Ref is_visible = getattr(module.lookup(n_win32gui), n_IsWindowVisible);
        search = !truthy(call(is_visible, handle_object));
    }

    if (search) {
        Ref window;
        bool found = succeeds_unless_error_of(n_win32ui, [&] {
            Ref find_window = getattr(module.lookup(n_win32ui), n_FindWindow);
            window = call(find_window, target_className, Py_None);
        });
        if (!found) {
            // No such window: forget the class, and leave everything else alone.
            Ref set_handle = getattr(module.lookup(n_winHouse), n_SetHandleByClassName);
            call(set_handle, target_className, Py_None);
            return;
        }
        Ref set_handle = getattr(module.lookup(n_winHouse), n_SetHandleByClassName);
        Ref found_handle = call_method(window, n_GetSafeHwnd);
        call(set_handle, target_className, found_handle);
    }

    // From here on the handle is what the store holds now, searched or not.
    Ref handle_object = new_int(stored_handle(target_className));
    restore_window(handle_object);
    if (!bring_to_foreground(handle_object)) {
        // Windows may refuse to switch the foreground: pause, restore again and retry once.
        call(module.lookup(n_sleep), captured.foreground_retry_pause);
        restore_window(handle_object);
        if (!bring_to_foreground(handle_object)) {
            Ref get_text = getattr(module.lookup(n_win32gui), n_GetWindowText);
            Ref text = call(get_text, handle_object);
            Ref title = format(text);
            Ref message = check(PyUnicode_FromFormat(
                "Exception occurred while trying set %U as the forground process.", title.get()));
            call(captured.print, message);
            return;
        }
    }
    call(send_function, key);
}

} // namespace velmora::strokeSmith
