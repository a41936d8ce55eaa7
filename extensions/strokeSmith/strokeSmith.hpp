// What the areas of the keyboard module share: the module's lifecycle and namespace, the
// objects captured at import, the interned names, and the bodies that call one another.
#pragma once

#include "support/entry.hpp"
#include "support/names.hpp"

#include <bitset>

namespace velmora::strokeSmith {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process.
struct Captured {
    PyObject* range = nullptr;                  // builtins.range
    PyObject* print = nullptr;                  // builtins.print
    PyObject* extended_keys = nullptr;          // the private set of extended virtual-key codes
    PyObject* foreground_retry_pause = nullptr; // 0.5 s before a second foreground attempt
    PyObject* no_extra_info = nullptr;          // 0, keybd_event's extra-information argument

    // The same set as bits, when every code in it is an int below `small_codes`: an int key
    // is then in the set exactly when its bit is, which the set cannot change (it is private).
    static constexpr std::size_t small_codes = 256;
    std::bitset<small_codes> extended_bits;
    bool extended_bits_valid = false;
};
extern Captured captured;

// Names looked up in the module namespace at each use.
// (`os`, `win32api`, `win32con` and `winsound` come from support/names.hpp.)
inline const Name n_win32gui("win32gui");
inline const Name n_win32ui("win32ui");
inline const Name n_pywintypes("pywintypes");
inline const Name n_keyboard("keyboard");
inline const Name n_winHouse("winHouse");
inline const Name n_ctrlHouse("ctrlHouse");
inline const Name n_kbcon("kbcon");
inline const Name n_sleep("sleep");

// Attributes fetched from those objects at each use.
inline const Name n_keybd_event("keybd_event");
inline const Name n_KEYEVENTF_EXTENDEDKEY("KEYEVENTF_EXTENDEDKEY");
inline const Name n_KEYEVENTF_KEYUP("KEYEVENTF_KEYUP");
inline const Name n_pressed_chars("pressed_chars");
inline const Name n_get("get");

// The qualified names that traceback entries and failure reports carry.
inline constexpr const char* q_SimulateKeyPress = "velmora.strokeSmith.SimulateKeyPress";
inline constexpr const char* q_SimulateKeyPressSequence =
    "velmora.strokeSmith.SimulateKeyPressSequence";
inline constexpr const char* q_FindAndSendKeysToWindow =
    "velmora.strokeSmith.FindAndSendKeysToWindow";
inline constexpr const char* q_SimulateHotKeyPress = "velmora.strokeSmith.SimulateHotKeyPress";
inline constexpr const char* q_GetCaretPosition = "velmora.strokeSmith.GetCaretPosition";
inline constexpr const char* q_SendTextWithCaret = "velmora.strokeSmith.SendTextWithCaret";
inline constexpr const char* q_ExpandText = "velmora.strokeSmith.ExpandText";
inline constexpr const char* q_OpenLocation = "velmora.strokeSmith.OpenLocation";
inline constexpr const char* q_CrudeOpenWith = "velmora.strokeSmith.CrudeOpenWith";

// The down flags of a key: its membership in the extended-key set times
// `win32con.KEYEVENTF_EXTENDEDKEY`, as a 32-bit int. Throws `PyError`.
int down_flags(Borrowed key);

// How a body called by another body ended. After a failure the caller goes on with its next
// step; after an interrupt (Ctrl-C's KeyboardInterrupt, or the SystemExit that a termination
// handler raises) the caller stops as well, since the whole action was asked to stop.
enum class Ended { normally, failed, interrupted };

// Sends a key's down event through `down`, then its up event through `up`. A `keybd_event`
// written in Python can raise an interrupt after its event went out; the key then goes up as
// well before the interrupt propagates, so that it is not left down.
template <class Down, class Up>
void down_then_up(Down&& down, Up&& up) {
    try {
        down();
    } catch (const PyError&) {
        if (!interrupt_pending()) {
            throw;
        }
        SavedError interrupt;
        try {
            up();
        } catch (const PyError&) {
            PyErr_Clear();
        }
        interrupt.rethrow();
    }
    up();
}

// Runs `body` under the report-and-swallow rule, reporting under `qualname`, and tells how it
// ended.
template <class Body>
Ended run_reported(const char* qualname, Body&& body) noexcept {
    try {
        body();
        return Ended::normally;
    } catch (...) {
        translate_exception();
        const bool interrupted = interrupt_pending();
        report_unraisable(qualname);
        return interrupted ? Ended::interrupted : Ended::failed;
    }
}

// Presses and releases a coded key: `win32api.keybd_event(code, scancode, flags, 0)` with the
// down flags `down`, then again with the up flags. The codes go to `keybd_event` as they are.
// `went_down`, when given, is counted up once the down event's call has returned.
void press_and_release(Borrowed code, Borrowed scancode, int down, int* went_down = nullptr);

// SimulateKeyPress's steps, counting in `went_down` (when given) the presses whose down event
// `keybd_event` took.
void press_key(int key_id, int key_scancode, int times, int* went_down);

// The pause after each element of a key sequence when the caller gives none, in seconds: the
// text is the default the entry table and the docstring show.
inline constexpr const char* default_sequence_delay_text = "0.2";
inline constexpr float default_sequence_delay = decimal_float(default_sequence_delay_text);

// Plays the sequence (`first`, `repeated` `times` times, `last`) element by element without
// building it, so that its length costs no memory; reported under SimulateKeyPressSequence's
// name.
Ended play_key_sequence(Borrowed first, Borrowed repeated, int times, Borrowed last,
                        float delay) noexcept;

// The last two steps of an expansion or an opening: `ctrlHouse.pressed_chars = ""`, and the
// feedback sound "SFX\knob-458.wav" started asynchronously. Both throw `PyError`.
void reset_pressed_chars();
void play_feedback_sound();

// The bodies of the public functions, in the order of the module's entry table. Each throws
// `PyError`; the table runs it under its failure rule.
void simulate_key_press(int key_id, int key_scancode, int times);
void simulate_key_press_sequence(Tuple keys_list, float delay);
void find_and_send_keys_to_window(Str target_className, Borrowed key, Borrowed send_function);
void simulate_hot_key_press(Dict keys_id_dict);
int get_caret_position(Str text, Str caret);
void send_text_with_caret(Str text, Str caret);
void expand_text();
void open_location();
void crude_open_with(int tool_number, int prog_index);

// SimulateKeyPress's body as other bodies call it: its failures are reported under its own
// name, and the caller goes on (unless interrupted). `went_down` as for `press_key`.
inline Ended simulate_key_press_reported(int key_id, int key_scancode, int times,
                                         int* went_down = nullptr) noexcept {
    return run_reported(q_SimulateKeyPress,
                        [&] { press_key(key_id, key_scancode, times, went_down); });
}

} // namespace velmora::strokeSmith
