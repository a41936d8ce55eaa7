// Opening a location named by the typed characters, and the explorer's "open" tool by keys.
#include "strokeSmith/platform.hpp"
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/opening.cpp";

const Name n_tool_number("tool_number");
const Name n_prog_index("prog_index");

const Name n_locations("locations");
const Name n_keyboard_send("keyboard_send");
const Name n_VK_DOWN("VK_DOWN");
const Name n_SC_DOWN("SC_DOWN");
const Name n_VK_RETURN("VK_RETURN");
const Name n_SC_RETURN("SC_RETURN");

const Signature crude_open_with_signature("CrudeOpenWith", Site{q_CrudeOpenWith, file, __LINE__},
                                          {&n_tool_number, &n_prog_index}, 0);

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

    const Py_ssize_t downs = prog_index > 0 ? Py_ssize_t(prog_index) : 0;
    Ref keys = check(PyTuple_New(downs + 2));
    PyTuple_SET_ITEM(keys.get(), 0, Ref::borrow(open_menu).release());
    for (Py_ssize_t i = 1; i <= downs; ++i) {
        PyTuple_SET_ITEM(keys.get(), i, Ref::borrow(move_down).release());
    }
    PyTuple_SET_ITEM(keys.get(), downs + 1, Ref::borrow(pick).release());

    simulate_key_press_sequence(keys, default_sequence_delay);

    reset_pressed_chars();
    play_feedback_sound();
}

} // namespace

PyObject* OpenLocation(PyObject*, PyObject*) {
    return entry_point([&] {
        report_failures(q_OpenLocation, [&] { open_location(); });
        return none();
    });
}

PyObject* CrudeOpenWith(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(crude_open_with_signature, args, std::size_t(nargs), kwnames);
        int tool_number = arguments.int32(0, 4);
        int prog_index = arguments.int32(1, 0);
        report_failures(q_CrudeOpenWith, [&] { crude_open_with(tool_number, prog_index); });
        return none();
    });
}

} // namespace velmora::strokeSmith
