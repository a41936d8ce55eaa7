// Typing text with the caret placed at a marker, and expanding typed abbreviations.
#include "strokeSmith/grapheme.hpp"
#include "strokeSmith/strokeSmith.hpp"
#include "support/sound.hpp"

#include <climits>
#include <cstddef>
#include <span>

namespace velmora::strokeSmith {

namespace {

const Name n_find("find");
const Name n_write("write");
const Name n_VK_LEFT("VK_LEFT");
const Name n_SC_LEFT("SC_LEFT");
const Name n_VK_BACK("VK_BACK");
const Name n_SC_BACK("SC_BACK");
const Name n_VK_BACKTICK("VK_BACKTICK");
const Name n_SC_BACKTICK("SC_BACKTICK");
const Name n_abbreviations("abbreviations");

[[noreturn]] void raise_too_large() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    throw_pending();
}

// A count as a signed 32-bit int; OverflowError beyond that range.
int to_count(Py_ssize_t value) {
    if (value < INT_MIN || value > INT_MAX) {
        raise_too_large();
    }
    return int(value);
}

// `object.attribute`, converted to a signed 32-bit int.
int read_int32(const Name& object, const Name& attribute) {
    Ref value = getattr(module.lookup(object), attribute);
    return to_int32(value);
}

// Backspace presses that erase `typed` and the key pressed before them: one more than its
// length. The range is checked before the addition, which would overflow for the largest
// lengths (a `__len__` may return up to sys.maxsize).
int backspace_count(Borrowed typed) {
    const Py_ssize_t typed_length = length(typed);
    if (typed_length >= Py_ssize_t(INT_MAX)) {
        raise_too_large();
    }
    return int(typed_length) + 1;
}

// The Left presses that take the caret from the end of `typed` back to `position`. Text fields
// move the caret over one user-perceived character (grapheme cluster) per press, so this is one
// press per cluster that holds a character at or after `position`: a code point each in plain
// text, one for a CR LF line break, an accented letter or an emoji sequence. The str's own
// code points are read where they lie.
int caret_presses(Borrowed typed, int position) {
    PyObject* str = typed.get();
    if (!PyUnicode_Check(str)) {
        PyErr_BadInternalCall(); // the reading below relies on a str's layout
        throw_pending();
    }
    const auto length = std::size_t(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    const auto start = std::size_t(position);
    const auto pause = [] { check_signals(); };
    std::size_t presses = 0;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        presses = grapheme::clusters_from(std::span(static_cast<const Py_UCS1*>(data), length),
                                          start, pause);
        break;
    case PyUnicode_2BYTE_KIND:
        presses = grapheme::clusters_from(std::span(static_cast<const Py_UCS2*>(data), length),
                                          start, pause);
        break;
    default:
        presses = grapheme::clusters_from(std::span(static_cast<const Py_UCS4*>(data), length),
                                          start, pause);
        break;
    }
    // At most the length of the text after `position`, which fits an int.
    return int(presses);
}

} // namespace

// The index of the first marker in `text`, or the length of `text` when it holds none. A
// marker at the very start is at index 0; an empty marker, found everywhere, counts as none.
int get_caret_position(Str text, Str caret) {
    Ref found = call_method(text, n_find, caret);
    int index = to_int32(found);
    if (index == -1 || (index == 0 && length(caret) == 0)) {
        return to_count(length(text));
    }
    return index;
}

// Types `text` without its first marker, then presses Left until the cursor stands where
// the marker was. Later markers are typed as they stand. A failed caret search is reported
// under GetCaretPosition's name and counts as position 0.
void send_text_with_caret(Str text, Str caret) {
    int position = 0;
    report_failures(q_GetCaretPosition, [&] { position = get_caret_position(text, caret); });

    Ref position_object = new_int(position);
    Ref before = slice(text, nullptr, position_object);
    // Both terms fit an int, so their sum fits a long long wherever Py_ssize_t is narrower.
    const long long after_marker = static_cast<long long>(position) + to_count(length(caret));
    Ref after_start = check(PyLong_FromLongLong(after_marker));
    Ref after = slice(text, after_start, nullptr);
    Ref typed = add(before, after);

    Ref write = getattr(module.lookup(n_keyboard), n_write);
    call(write, typed);

    int typed_length = to_count(length(typed));
    if (position != typed_length) {
        int left = read_int32(n_win32con, n_VK_LEFT);
        int left_scancode = read_int32(n_kbcon, n_SC_LEFT);
        const int presses = caret_presses(typed, position);
        simulate_key_press_reported(left, left_scancode, presses);
    }
}

// Replaces the abbreviation just typed (`ctrlHouse.pressed_chars`) with its substitution:
// the backtick key once, Backspace once more than the typed characters, then the
// substitution typed, the record of typed characters cleared and the feedback sound.
void expand_text() {
    // Look the substitution up before any key is pressed: without one, erasing the typed
    // characters would lose them with nothing to put in their place.
    Ref lookup_substitution = getattr(getattr(module.lookup(n_ctrlHouse), n_abbreviations), n_get);
    Ref abbreviation = getattr(module.lookup(n_ctrlHouse), n_pressed_chars);
    Ref substitution = call(lookup_substitution, abbreviation);
    if (substitution.get() == Py_None) {
        Ref error = call(PyExc_KeyError, abbreviation);
        PyErr_SetObject(PyExc_KeyError, error.get());
        throw_pending();
    }

    // The Backspace count is worked out before any key is pressed too: a length that makes it
    // too large for a count is reported with nothing erased.
    const int erase = backspace_count(abbreviation);

    int backtick = read_int32(n_kbcon, n_VK_BACKTICK);
    int backtick_scancode = read_int32(n_kbcon, n_SC_BACKTICK);
    // The Backspace count includes the backtick: where it was not typed, erasing would take one
    // of the user's own characters instead, so the expansion stops here. A press whose down
    // event went out did type it, even when its release then failed.
    int backtick_typed = 0;
    const Ended backtick_press =
        simulate_key_press_reported(backtick, backtick_scancode, 1, &backtick_typed);
    if (backtick_press == Ended::interrupted || backtick_typed == 0) {
        return;
    }

    int backspace = read_int32(n_win32con, n_VK_BACK);
    int backspace_scancode = read_int32(n_kbcon, n_SC_BACK);
    if (simulate_key_press_reported(backspace, backspace_scancode, erase) == Ended::interrupted) {
        return;
    }

    Ref write = getattr(module.lookup(n_keyboard), n_write);
    call(write, substitution);

    reset_pressed_chars();
    play_feedback_sound();
}

void reset_pressed_chars() {
    static const Name empty("");
    setattr(module.lookup(n_ctrlHouse), n_pressed_chars, empty);
}

void play_feedback_sound() {
    static const Name sound_file("SFX\\knob-458.wav");
    play_sound(module, sound_file, Playback::background);
}

} // namespace velmora::strokeSmith
