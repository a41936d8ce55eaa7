// Typing text with the caret placed at a marker, and expanding typed abbreviations.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/text.cpp";

const Name n_text("text");
const Name n_caret("caret");

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

[[noreturn]] void not_built(const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", function);
    throw_pending();
}

} // namespace

PyObject* GetCaretPosition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(get_caret_position_signature, args, std::size_t(nargs), kwnames);
        Borrowed text = arguments.exact(0, &PyUnicode_Type, nullptr);
        Borrowed caret = arguments.exact(1, &PyUnicode_Type, default_caret());
        (void)text;
        (void)caret;
        report_failures(q_GetCaretPosition, [&] { not_built("GetCaretPosition"); });
        return new_int(0);
    });
}

PyObject* SendTextWithCaret(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(send_text_with_caret_signature, args, std::size_t(nargs), kwnames);
        Borrowed text = arguments.exact(0, &PyUnicode_Type, nullptr);
        Borrowed caret = arguments.exact(1, &PyUnicode_Type, default_caret());
        (void)text;
        (void)caret;
        report_failures(q_SendTextWithCaret, [&] { not_built("SendTextWithCaret"); });
        return none();
    });
}

PyObject* ExpandText(PyObject*, PyObject*) {
    return entry_point([&] {
        report_failures(q_ExpandText, [&] { not_built("ExpandText"); });
        return none();
    });
}

} // namespace velmora::strokeSmith
