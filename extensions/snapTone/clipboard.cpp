// Putting a picture on the clipboard as a device-independent bitmap (`CF_DIB`).
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

const Name n_OpenClipboard("OpenClipboard");
const Name n_EmptyClipboard("EmptyClipboard");
const Name n_SetClipboardData("SetClipboardData");
const Name n_CloseClipboard("CloseClipboard");
const Name n_CF_DIB("CF_DIB");

bool is_array(Borrowed image) {
    Ref ndarray = getattr(module.lookup(n_np), n_ndarray);
    return isinstance(image, ndarray);
}

// `win32clipboard.<name>(args...)`
template <class... Args>
Ref clipboard_call(const Name& name, const Args&... args) {
    Ref function = getattr(module.lookup(n_win32clipboard), name);
    return call(function, args...);
}

// Closes the clipboard after a failed step and throws that step's error again. A clipboard
// left open would block every other program's clipboard until this process ends; should
// closing fail as well, the first error is the one that propagates.
[[noreturn]] void close_and_rethrow() {
    SavedError failure;
    try {
        clipboard_call(n_CloseClipboard);
    } catch (const PyError&) {
        PyErr_Clear();
    }
    failure.rethrow();
}

} // namespace

void send_to_clipboard(Borrowed argument) {
    if (!is_array(argument) && !isinstance(argument, pil_image_class())) {
        raise_type_error("image must be a valid numpy array or PIL Image object");
    }
    Ref image = Ref::borrow(argument);
    if (is_array(image)) {
        image = call(module.lookup(n_cv_to_pil), image);
    }
    image = call(module.lookup(n_pil_image_to_bmp), image);

    clipboard_call(n_OpenClipboard);
    try {
        clipboard_call(n_EmptyClipboard);
        Ref set_data = getattr(module.lookup(n_win32clipboard), n_SetClipboardData);
        Ref format = getattr(module.lookup(n_win32clipboard), n_CF_DIB);
        call(set_data, format, image);
    } catch (...) {
        translate_exception();
        close_and_rethrow();
    }
    clipboard_call(n_CloseClipboard);
}

} // namespace velmora::snapTone
