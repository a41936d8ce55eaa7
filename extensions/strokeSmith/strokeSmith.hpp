// What the areas of the keyboard module share: the module's lifecycle and namespace, the
// objects captured at import, the interned names, and the bodies that call one another.
#pragma once

#include "support/args.hpp"
#include "support/module.hpp"

namespace velmora::strokeSmith {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process.
struct Captured {
    PyObject* range = nullptr;         // builtins.range
    PyObject* print = nullptr;         // builtins.print
    PyObject* extended_keys = nullptr; // the private set of extended virtual-key codes
    PyObject* half_second = nullptr;   // 0.5, the pause before a second foreground attempt
    PyObject* zero = nullptr;          // 0, the extra-information argument of keybd_event
};
extern Captured captured;

// Names looked up in the module namespace at each use.
inline const Name n_win32gui("win32gui");
inline const Name n_win32ui("win32ui");
inline const Name n_win32api("win32api");
inline const Name n_win32con("win32con");
inline const Name n_winsound("winsound");
inline const Name n_pywintypes("pywintypes");
inline const Name n_keyboard("keyboard");
inline const Name n_os("os");
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

// Whether the pending exception is an interrupt rather than a failure: anything that is not an
// `Exception`.
inline bool interrupt_pending() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) == 0;
}

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

// Raises the KeyboardInterrupt (or whatever a signal handler raises) of a signal that arrived
// since the last check. Every loop that can run long calls it on each pass, so that Ctrl-C
// stops the loop within one pass even when no Python code runs inside it.
inline void check_signals() {
    check_status(PyErr_CheckSignals());
}

// Bodies called by other bodies. Each reports its own failures under its own name and
// returns normally, so the caller goes on with its next step (unless interrupted).
Ended simulate_key_press(int key_id, int key_scancode, int times) noexcept;
Ended simulate_key_press_sequence(Borrowed keys_list, float delay) noexcept;
// The sequence (`first`, `repeated` `times` times, `last`), played element by element without
// being built: its length costs no memory.
Ended simulate_key_press_sequence(Borrowed first, Borrowed repeated, int times, Borrowed last,
                                  float delay) noexcept;

// The pause after each element of a key sequence when the caller gives none, in seconds.
inline constexpr float default_sequence_delay = 0.2f;

// The last two steps of an expansion or an opening: `ctrlHouse.pressed_chars = ""`, and the
// feedback sound "SFX\knob-458.wav" started asynchronously. Both throw `PyError`.
void reset_pressed_chars();
void play_feedback_sound();

// Public entries, in the order of the module's function table.
PyObject* SimulateKeyPress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* SimulateKeyPressSequence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* FindAndSendKeysToWindow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* SimulateHotKeyPress(PyObject*, PyObject* keys_id_dict);
PyObject* GetCaretPosition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* SendTextWithCaret(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ExpandText(PyObject*, PyObject*);
PyObject* OpenLocation(PyObject*, PyObject*);
PyObject* CrudeOpenWith(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace velmora::strokeSmith
