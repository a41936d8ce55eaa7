// Typing text with the caret placed at a marker, and expanding typed abbreviations.
#include "strokeSmith/strokeSmith.hpp"

#include <climits>

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/text.cpp";

const Name n_text("text");
const Name n_caret("caret");

const Name n_find("find");
const Name n_write("write");
const Name n_VK_LEFT("VK_LEFT");
const Name n_SC_LEFT("SC_LEFT");
const Name n_VK_BACK("VK_BACK");
const Name n_SC_BACK("SC_BACK");
const Name n_VK_BACKTICK("VK_BACKTICK");
const Name n_SC_BACKTICK("SC_BACKTICK");
const Name n_abbreviations("abbreviations");
const Name n_PlaySound("PlaySound");
const Name n_SND_FILENAME("SND_FILENAME");
const Name n_SND_ASYNC("SND_ASYNC");

const Signature get_caret_position_signature("GetCaretPosition",
                                             Site{q_GetCaretPosition, file, __LINE__},
                                             {&n_text, &n_caret}, 1);
const Signature send_text_with_caret_signature("SendTextWithCaret",
                                               Site{q_SendTextWithCaret, file, __LINE__},
                                               {&n_text, &n_caret}, 1);

// The default marker, "{!}".
Borrowed default_caret() {
    static const Name marker("{!}");
    return marker;
}

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

// `len(object)`
Py_ssize_t length(Borrowed object) {
    Py_ssize_t size = PyObject_Length(object.get());
    if (size < 0) {
        throw_pending();
    }
    return size;
}

// `object.attribute`, converted to a signed 32-bit int.
int read_int32(const Name& object, const Name& attribute) {
    Ref value = getattr(module.lookup(object), attribute);
    return to_int32(value);
}

// `text[start:stop]`, either bound left open when null.
Ref slice(Borrowed text, Borrowed start, Borrowed stop) {
    Ref bounds = check(PySlice_New(start.get(), stop.get(), nullptr));
    return check(PyObject_GetItem(text.get(), bounds.get()));
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

// The index of the first marker in `text`, or the length of `text` when it holds none. A
// marker at the very start is at index 0; an empty marker, found everywhere, counts as none.
int caret_position(Borrowed text, Borrowed caret) {
    Ref found = call_method(text, n_find, caret);
    int index = to_int32(found);
    if (index == -1 || (index == 0 && length(caret) == 0)) {
        return to_count(length(text));
    }
    return index;
}

// The caret search as the other bodies use it: a failure is reported under
// GetCaretPosition's name and gives position 0.
int get_caret_position(Borrowed text, Borrowed caret) noexcept {
    int position = 0;
    report_failures(q_GetCaretPosition, [&] { position = caret_position(text, caret); });
    return position;
}

// Types `text` without its first marker, then presses Left until the cursor stands where
// the marker was. Later markers are typed as they stand.
void send_text_with_caret(Borrowed text, Borrowed caret) {
    int position = get_caret_position(text, caret);

    Ref position_object = new_int(position);
    Ref before = slice(text, nullptr, position_object);
    // Both terms fit an int, so their sum fits a long long wherever Py_ssize_t is narrower.
    const long long after_marker = static_cast<long long>(position) + to_count(length(caret));
    Ref after_start = check(PyLong_FromLongLong(after_marker));
    Ref after = slice(text, after_start, nullptr);
    Ref typed = check(PyNumber_Add(before.get(), after.get()));

    Ref write = getattr(module.lookup(n_keyboard), n_write);
    call(write, typed);

    // Both are at least 0, so the difference cannot overflow.
    int typed_length = to_count(length(typed));
    if (position != typed_length) {
        int left = read_int32(n_win32con, n_VK_LEFT);
        int left_scancode = read_int32(n_kbcon, n_SC_LEFT);
        simulate_key_press(left, left_scancode, typed_length - position);
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
    if (simulate_key_press(backtick, backtick_scancode, 1) == Ended::interrupted) {
        return;
    }

    int backspace = read_int32(n_win32con, n_VK_BACK);
    int backspace_scancode = read_int32(n_kbcon, n_SC_BACK);
    if (simulate_key_press(backspace, backspace_scancode, erase) == Ended::interrupted) {
        return;
    }

    Ref write = getattr(module.lookup(n_keyboard), n_write);
    call(write, substitution);

    reset_pressed_chars();
    play_feedback_sound();
}

} // namespace

void reset_pressed_chars() {
    static const Name empty("");
    setattr(module.lookup(n_ctrlHouse), n_pressed_chars, empty);
}

void play_feedback_sound() {
    static const Name sound_file("SFX\\knob-458.wav");
    Ref play = getattr(module.lookup(n_winsound), n_PlaySound);
    Ref from_file = getattr(module.lookup(n_winsound), n_SND_FILENAME);
    Ref asynchronously = getattr(module.lookup(n_winsound), n_SND_ASYNC);
    Ref flags = check(PyNumber_Or(from_file.get(), asynchronously.get()));
    call(play, sound_file, flags);
}

PyObject* GetCaretPosition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(get_caret_position_signature, args, std::size_t(nargs), kwnames);
        Borrowed text = arguments.exact(0, &PyUnicode_Type, nullptr);
        Borrowed caret = arguments.exact(1, &PyUnicode_Type, default_caret());
        return new_int(get_caret_position(text, caret));
    });
}

PyObject* SendTextWithCaret(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(send_text_with_caret_signature, args, std::size_t(nargs), kwnames);
        Borrowed text = arguments.exact(0, &PyUnicode_Type, nullptr);
        Borrowed caret = arguments.exact(1, &PyUnicode_Type, default_caret());
        report_failures(q_SendTextWithCaret, [&] { send_text_with_caret(text, caret); });
        return none();
    });
}

PyObject* ExpandText(PyObject*, PyObject*) {
    return entry_point([&] {
        report_failures(q_ExpandText, [&] { expand_text(); });
        return none();
    });
}

} // namespace velmora::strokeSmith
