// Timed key sequences: coded keys pressed through `win32api.keybd_event`, and keys handed to
// a sending function, with a pause after each.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

// One element of a sequence, then the pause.
void play_element(Borrowed element, float delay) {
    auto [key, sender] = unpack<2>(element);
    // The flags come from the first item whatever the element's kind turns out to be.
    int down = down_flags(key);
    if (PyLong_Check(sender.get())) {
        press_and_release(key, sender, down);
    } else {
        call(sender, key);
    }
    // The pause is the single-precision delay widened to a double, not its decimal value.
    Ref pause = new_float(double(delay));
    call(module.lookup(n_sleep), pause);
}

} // namespace

void simulate_key_press_sequence(Tuple keys_list, float delay) {
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

Ended play_key_sequence(Borrowed first, Borrowed repeated, int times, Borrowed last,
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

} // namespace velmora::strokeSmith
