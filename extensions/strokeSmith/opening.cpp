// Opening a location named by the typed characters, and the explorer's "open" tool by keys.
#include "strokeSmith/platform.hpp"
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

const Name n_locations("locations");
const Name n_keyboard_send("keyboard_send");
const Name n_VK_DOWN("VK_DOWN");
const Name n_SC_DOWN("SC_DOWN");
const Name n_VK_RETURN("VK_RETURN");
const Name n_SC_RETURN("SC_RETURN");

} // namespace

// Opens what `ctrlHouse.locations` holds for the typed characters, in the application the
// shell associates with it. No key is pressed: the typed characters stay on screen.
void open_location() {
    Ref startfile = default_opener();
    Ref lookup_location = getattr(getattr(module.lookup(n_ctrlHouse), n_locations), n_get);
    Ref pressed_chars = getattr(module.lookup(n_ctrlHouse), n_pressed_chars);
    Ref location = call(lookup_location, pressed_chars);
    call(startfile, location);

    reset_pressed_chars();
    play_feedback_sound();
}

// Alt with the tool's number opens the "open" tool's menu of the Quick Access Toolbar, Down
// moves `prog_index` entries down it and Enter picks the entry.
void crude_open_with(int tool_number, int prog_index) {
    Ref hotkey = check(PyUnicode_FromFormat("alt+%d", tool_number));
    Ref send_hotkey = getattr(module.lookup(n_ctrlHouse), n_keyboard_send);
    Ref open_menu = new_tuple(hotkey, send_hotkey);

    // The codes go into the pairs as they are; the key sequence takes any int.
    Ref down_code = getattr(module.lookup(n_win32con), n_VK_DOWN);
    Ref down_scancode = getattr(module.lookup(n_kbcon), n_SC_DOWN);
    Ref move_down = new_tuple(down_code, down_scancode);

    Ref return_code = getattr(module.lookup(n_win32con), n_VK_RETURN);
    Ref return_scancode = getattr(module.lookup(n_kbcon), n_SC_RETURN);
    Ref pick = new_tuple(return_code, return_scancode);

    // The Down presses are played as the sequence goes, never stored: any count costs the
    // same memory. A negative count gives none.
    if (play_key_sequence(open_menu, move_down, prog_index, pick, default_sequence_delay) ==
        Ended::interrupted) {
        return; // the user stopped it: the typed characters stay, and no sound plays
    }

    reset_pressed_chars();
    play_feedback_sound();
}

} // namespace velmora::strokeSmith
