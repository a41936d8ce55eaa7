// Bringing the window of a class to the foreground and handing it a key.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/window.cpp";

const Name n_target_className("target_className");
const Name n_key("key");
const Name n_send_function("send_function");

const Signature
    find_and_send_keys_to_window_signature("FindAndSendKeysToWindow",
                                           Site{q_FindAndSendKeysToWindow, file, __LINE__},
                                           {&n_target_className, &n_key, &n_send_function}, 3);

void find_and_send_keys_to_window(Borrowed, Borrowed, Borrowed) {
    PyErr_SetString(PyExc_NotImplementedError, "FindAndSendKeysToWindow is not built yet");
    throw_pending();
}

} // namespace

PyObject* FindAndSendKeysToWindow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(find_and_send_keys_to_window_signature, args, std::size_t(nargs),
                            kwnames);
        Borrowed target_className = arguments.exact(0, &PyUnicode_Type, nullptr);
        report_failures(q_FindAndSendKeysToWindow, [&] {
            find_and_send_keys_to_window(target_className, arguments[1], arguments[2]);
        });
        return none();
    });
}

} // namespace velmora::strokeSmith
