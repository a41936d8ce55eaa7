// Single key presses and hotkey chords, sent as key events through `win32api.keybd_event`.
#include "strokeSmith/strokeSmith.hpp"

#include <vector>

namespace velmora::strokeSmith {

namespace {

const Name n_items("items");

// One event: `win32api.keybd_event(code, scancode, flags, 0)`.
void keybd_event(Borrowed code, Borrowed scancode, Borrowed flags) {
    Ref send = getattr(module.lookup(n_win32api), n_keybd_event);
    call(send, code, scancode, flags, captured.no_extra_info);
}

// The up flags of a key: its down flags or `win32con.KEYEVENTF_KEYUP`.
Ref up_flags(int down) {
    Ref key_up = getattr(module.lookup(n_win32con), n_KEYEVENTF_KEYUP);
    if (PyLong_CheckExact(key_up.get())) {
        // An int that fits a long, as pywin32's does: the same int, worked out here.
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(key_up.get(), &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            return check(PyLong_FromLong(long(down) | value));
        }
        PyErr_Clear();
    }
    Ref flags = new_int(down);
    return bitwise_or(flags, key_up);
}

struct ChordKey {
    Ref code;
    Ref scancode;
};

// Converts every entry of the chord before any key goes down, so that a bad entry cannot
// leave the keys before it pressed.
std::vector<ChordKey> convert_chord(Dict keys_id_dict) {
    if (keys_id_dict.get() == Py_None) {
        getattr(keys_id_dict, n_items); // AttributeError: None has no `items`
    }
    PyObject* dict = keys_id_dict.get();
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    std::vector<ChordKey> chord;
    chord.reserve(std::size_t(size));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (true) {
        // A dict can be as large as memory allows. Checked before the entry is taken: a signal
        // handler may change the dict.
        check_signals();
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw_pending();
        }
        if (!PyDict_Next(dict, &position, &key, &value)) {
            break;
        }
        // Conversions may run `__int__` code that touches the dict: hold the entry meanwhile.
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        int code = to_int32(held_key);
        int scancode = to_int32(held_value);
        chord.push_back(ChordKey{new_int(code), new_int(scancode)});
    }
    return chord;
}

// Sends the key-up events of `chord[0..count)`, in chord order. Every key gets its chance
// even when an earlier one fails; the first failure stays pending and is thrown at the end.
void release_chord(const std::vector<ChordKey>& chord, std::size_t count) {
    SavedError first; // the failure that brought us here, if any
    for (std::size_t i = 0; i < count; ++i) {
        try {
            int down = down_flags(chord[i].code);
            Ref send = getattr(module.lookup(n_win32api), n_keybd_event);
            Ref up = up_flags(down);
            call(send, chord[i].code, chord[i].scancode, up, captured.no_extra_info);
        } catch (const PyError&) {
            if (!first) {
                first = SavedError();
            } else {
                PyErr_Clear();
            }
        }
    }
    if (first) {
        first.rethrow();
    }
}

} // namespace

namespace {

// `key in extended_keys`: for an int, the set's bits answer when they stand for the set.
bool is_extended(Borrowed key) {
    if (captured.extended_bits_valid && PyLong_CheckExact(key.get())) {
        // An exact int never fails to convert: a huge one sets `overflow` instead.
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(key.get(), &overflow);
        return overflow == 0 && value >= 0 && std::size_t(value) < Captured::small_codes &&
               captured.extended_bits.test(std::size_t(value));
    }
    return check_status(PySet_Contains(captured.extended_keys, key.get())) != 0;
}

} // namespace

int down_flags(Borrowed key) {
    bool extended = is_extended(key);
    Ref extended_flag = getattr(module.lookup(n_win32con), n_KEYEVENTF_EXTENDEDKEY);
    if (PyLong_CheckExact(extended_flag.get())) {
        // True times an int is that int, False times an int is 0.
        return extended ? to_int32(extended_flag) : 0;
    }
    Ref product = multiply(extended ? Py_True : Py_False, extended_flag);
    return to_int32(product);
}

void press_and_release(Borrowed code, Borrowed scancode, int down, int* went_down) {
    Ref down_object = new_int(down);
    down_then_up(
        [&] {
            keybd_event(code, scancode, down_object);
            if (went_down != nullptr) {
                ++*went_down;
            }
        },
        [&] {
            Ref send = getattr(module.lookup(n_win32api), n_keybd_event);
            Ref up = up_flags(down);
            call(send, code, scancode, up, captured.no_extra_info);
        });
}

void press_key(int key_id, int key_scancode, int times, int* went_down) {
    Ref code = new_int(key_id);
    int down = down_flags(code);
    Ref scancode = new_int(key_scancode);
    for (int i = 0; i < times; ++i) {
        check_signals(); // before the press: a key is never left down
        press_and_release(code, scancode, down, went_down);
    }
}

void simulate_key_press(int key_id, int key_scancode, int times) {
    press_key(key_id, key_scancode, times, nullptr);
}

void simulate_hot_key_press(Dict keys_id_dict) {
    std::vector<ChordKey> chord = convert_chord(keys_id_dict);
    std::size_t pressed = 0;
    try {
        for (const ChordKey& key : chord) {
            check_signals(); // an interrupt releases the keys already down, as any failure
            Ref flags = new_int(down_flags(key.code));
            // Counted before the call: an interrupt can surface after the event went out.
            ++pressed;
            try {
                keybd_event(key.code, key.scancode, flags);
            } catch (const PyError&) {
                if (!interrupt_pending()) {
                    --pressed;
                }
                throw;
            }
        }
    } catch (const PyError&) {
        release_chord(chord, pressed); // rethrows the failure once the keys are up
        throw;
    }
    release_chord(chord, chord.size());
}

} // namespace velmora::strokeSmith
