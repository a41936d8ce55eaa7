// Timed key sequences: coded keys pressed through `win32api.keybd_event`, and keys handed to
// a sending function, with a pause after each.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/sequence.cpp";

const Name n_keys_list("keys_list");
const Name n_delay("delay");

const Signature simulate_key_press_sequence_signature("SimulateKeyPressSequence",
                                                      Site{q_SimulateKeyPressSequence, file,
                                                           __LINE__},
                                                      {&n_keys_list, &n_delay}, 1);

// The two items of one element of a sequence.
struct Pair {
    Ref first;
    Ref second;
};

[[noreturn]] void raise_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    throw_pending();
}

[[noreturn]] void raise_too_few(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
    throw_pending();
}

// `first, second = element`. A tuple or list must hold exactly two items; anything else is
// iterated, and at most three items are pulled from it (the third only to learn that there
// is one too many).
Pair unpack(Borrowed element) {
    PyObject* object = element.get();
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size > 2) {
            raise_too_many();
        }
        if (size < 2) {
            raise_too_few(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(object);
        return Pair{Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref iterator = check(PyObject_GetIter(object));
    Ref items[2];
    for (Py_ssize_t count = 0; count < 2; ++count) {
        items[count] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[count]) {
            if (PyErr_Occurred()) {
                throw_pending();
            }
            raise_too_few(count);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many();
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
    return Pair{std::move(items[0]), std::move(items[1])};
}

// Presses and releases a coded key: `keybd_event(code, scancode, flags, 0)` with the down
// flags, then again with the up flags. The codes go to `keybd_event` as they are.
void press_and_release(Borrowed code, Borrowed scancode, int down) {
    Ref down_flags_object = new_int(down);
    down_then_up(
        [&] {
            Ref send = getattr(module.lookup(n_win32api), n_keybd_event);
            call(send, code, scancode, down_flags_object, captured.zero);
        },
        [&] {
            Ref send = getattr(module.lookup(n_win32api), n_keybd_event);
            Ref key_up = getattr(module.lookup(n_win32con), n_KEYEVENTF_KEYUP);
            Ref up_flags = check(PyNumber_Or(down_flags_object.get(), key_up.get()));
            call(send, code, scancode, up_flags, captured.zero);
        });
}

// One element of a sequence, then the pause.
void play_element(Borrowed element, float delay) {
    Pair pair = unpack(element);
    // The flags come from the first item whatever the element's kind turns out to be.
    int down = down_flags(pair.first);
    if (PyLong_Check(pair.second.get())) {
        press_and_release(pair.first, pair.second, down);
    } else {
        call(pair.second, pair.first);
    }
    // The pause is the single-precision delay widened to a double, not its decimal value.
    Ref pause = new_float(double(delay));
    call(module.lookup(n_sleep), pause);
}

void play_sequence(Borrowed keys_list, float delay) {
    Ref iterator = check(PyObject_GetIter(keys_list.get()));
    while (true) {
        check_signals();
        Ref element = Ref::steal(PyIter_Next(iterator.get()));
        if (!element) {
            break;
        }
        play_element(element, delay);
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
}

} // namespace

Ended simulate_key_press_sequence(Borrowed keys_list, float delay) noexcept {
    return run_reported(q_SimulateKeyPressSequence, [&] { play_sequence(keys_list, delay); });
}

Ended simulate_key_press_sequence(Borrowed first, Borrowed repeated, int times, Borrowed last,
                                  float delay) noexcept {
    return run_reported(q_SimulateKeyPressSequence, [&] {
        check_signals();
        play_element(first, delay);
        for (int i = 0; i < times; ++i) {
            check_signals();
            play_element(repeated, delay);
        }
        check_signals();
        play_element(last, delay);
    });
}

PyObject* SimulateKeyPressSequence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(simulate_key_press_sequence_signature, args, std::size_t(nargs),
                            kwnames);
        float delay = arguments.float32(1, default_sequence_delay);
        Borrowed keys_list = arguments.exact(0, &PyTuple_Type, nullptr);
        simulate_key_press_sequence(keys_list, delay);
        return none();
    });
}

} // namespace velmora::strokeSmith
