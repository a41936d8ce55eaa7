// velmora.strokeSmith: the module's surface. Its function table, its initialisation (the
// imports, the shared state of the package's `common`, the captured builtins and the private
// extended-key set) and its entry point.
#include "strokeSmith/docstrings.hpp"
#include "strokeSmith/strokeSmith.hpp"

#include <iterator>

namespace velmora::strokeSmith {

ModuleLifecycle module("strokeSmith", "velmora.strokeSmith", "strokeSmith/module.cpp");
Captured captured;

namespace {

const Name n_range("range");
const Name n_print("print");
const Name n_common("common");
const Name n_WindowHouse("WindowHouse");
const Name n_ControllerHouse("ControllerHouse");
const Name n_KB_Con("KB_Con");
const Name n_time("time");
const Name n___test__("__test__");

// The keys whose events carry the extended-key flag: right Alt, right Ctrl, right Shift,
// Applications, volume up and down, Print Screen, Insert, Delete, Home, End, Ctrl+Break,
// Page Up, Page Down and the four arrows.
const Name extended_key_names[] = {
    Name("VK_RMENU"),     Name("VK_RCONTROL"),    Name("VK_RSHIFT"),   Name("VK_APPS"),
    Name("VK_VOLUME_UP"), Name("VK_VOLUME_DOWN"), Name("VK_SNAPSHOT"), Name("VK_INSERT"),
    Name("VK_DELETE"),    Name("VK_HOME"),        Name("VK_END"),      Name("VK_CANCEL"),
    Name("VK_PRIOR"),     Name("VK_NEXT"),        Name("VK_UP"),       Name("VK_DOWN"),
    Name("VK_LEFT"),      Name("VK_RIGHT"),
};

// `import a, b, ...`: each module imported by absolute name and bound under its own name.
void import_and_bind(std::initializer_list<const Name*> names) {
    for (const Name* name : names) {
        Ref imported = module.import_module(*name);
        module.bind(*name, imported);
    }
}

void execute(PyObject*) {
    hold(captured.foreground_retry_pause, new_float(0.5));
    hold(captured.no_extra_info, new_int(0));

    hold(captured.range, module.builtin(n_range));
    hold(captured.print, module.builtin(n_print));

    import_and_bind(
        {&n_win32gui, &n_win32ui, &n_win32api, &n_win32con, &n_winsound, &n_pywintypes});
    import_and_bind({&n_keyboard, &n_os});

    Ref common = module.import_from_list(n_common, {&n_WindowHouse, &n_ControllerHouse, &n_KB_Con});
    Ref window_house = ModuleLifecycle::import_from(common, n_WindowHouse);
    module.bind(n_winHouse, window_house);
    Ref controller_house = ModuleLifecycle::import_from(common, n_ControllerHouse);
    module.bind(n_ctrlHouse, controller_house);
    Ref key_codes = ModuleLifecycle::import_from(common, n_KB_Con);
    module.bind(n_kbcon, key_codes);

    Ref time = module.import_from_list(n_time, {&n_sleep});
    Ref sleep = ModuleLifecycle::import_from(time, n_sleep);
    module.bind(n_sleep, sleep);

    // Every code is fetched before the set is made, from whatever `win32con` is bound to now.
    Ref win32con = module.lookup(n_win32con);
    Ref codes[std::size(extended_key_names)];
    for (std::size_t i = 0; i < std::size(extended_key_names); ++i) {
        codes[i] = getattr(win32con, extended_key_names[i]);
    }
    Ref extended_keys = check(PySet_New(nullptr));
    // Bits left by an import that failed part-way are not this import's.
    captured.extended_bits.reset();
    captured.extended_bits_valid = false;
    bool small = true;
    for (const Ref& code : codes) {
        check_status(PySet_Add(extended_keys.get(), code.get()));
        const long value = PyLong_CheckExact(code.get()) ? PyLong_AsLong(code.get()) : -1;
        PyErr_Clear(); // a code too large for a long is not a small one either
        if (value >= 0 && std::size_t(value) < Captured::small_codes) {
            captured.extended_bits.set(std::size_t(value));
        } else {
            small = false;
        }
    }
    captured.extended_bits_valid = small;
    hold(captured.extended_keys, std::move(extended_keys));

    Ref test = check(PyDict_New());
    module.bind(n___test__, test);
}

// The public functions, in the order of the module namespace.
constexpr auto entries = std::make_tuple(
    entry(q_SimulateKeyPress, Form::keywords, Failure::report,
          parameters(param<int>("key_id"), param<int>("key_scancode", 0), param<int>("times", 1)),
          doc_SimulateKeyPress, simulate_key_press),
    entry(q_SimulateKeyPressSequence, Form::keywords, Failure::report,
          parameters(param<Tuple>("keys_list"), param<float>("delay", default_sequence_delay_text)),
          doc_SimulateKeyPressSequence, simulate_key_press_sequence),
    entry(q_FindAndSendKeysToWindow, Form::keywords, Failure::report,
          parameters(param<Str>("target_className"), param<Borrowed>("key"),
                     param<Borrowed>("send_function")),
          doc_FindAndSendKeysToWindow, find_and_send_keys_to_window),
    entry(q_SimulateHotKeyPress, Form::one, Failure::report,
          parameters(param<Dict>("keys_id_dict")), doc_SimulateHotKeyPress, simulate_hot_key_press),
    entry(q_GetCaretPosition, Form::keywords, Failure::report,
          parameters(param<Str>("text"), param<Str>("caret", "{!}")), doc_GetCaretPosition,
          get_caret_position),
    entry(q_SendTextWithCaret, Form::keywords, Failure::report,
          parameters(param<Str>("text"), param<Str>("caret", "{!}")), doc_SendTextWithCaret,
          send_text_with_caret),
    entry(q_ExpandText, Form::none, Failure::report, parameters(), doc_ExpandText, expand_text),
    entry(q_OpenLocation, Form::none, Failure::report, parameters(), doc_OpenLocation,
          open_location),
    entry(q_CrudeOpenWith, Form::keywords, Failure::report,
          parameters(param<int>("tool_number", 4), param<int>("prog_index", 0)), doc_CrudeOpenWith,
          crude_open_with));

MethodTable<module, entries> functions;

} // namespace

} // namespace velmora::strokeSmith

PyMODINIT_FUNC PyInit_strokeSmith() {
    using namespace velmora::strokeSmith;
    return velmora::ModuleDefinition<module, execute>::init(
        "strokeSmith",
        "This extension module provides functions for manipulating keyboard presses and text "
        "expansion.",
        functions.definitions());
}
