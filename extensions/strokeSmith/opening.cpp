// Opening a location named by the typed characters, and the explorer's "open" tool by keys.
#include "strokeSmith/strokeSmith.hpp"

namespace velmora::strokeSmith {

namespace {

constexpr const char* file = "strokeSmith/opening.cpp";

const Name n_tool_number("tool_number");
const Name n_prog_index("prog_index");

const Signature crude_open_with_signature("CrudeOpenWith", Site{q_CrudeOpenWith, file, __LINE__},
                                          {&n_tool_number, &n_prog_index}, 0);

[[noreturn]] void not_built(const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", function);
    throw_pending();
}

} // namespace

PyObject* OpenLocation(PyObject*, PyObject*) {
    return entry_point([&] {
        report_failures(q_OpenLocation, [&] { not_built("OpenLocation"); });
        return none();
    });
}

PyObject* CrudeOpenWith(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(crude_open_with_signature, args, std::size_t(nargs), kwnames);
        int tool_number = arguments.int32(0, 4);
        int prog_index = arguments.int32(1, 0);
        (void)tool_number;
        (void)prog_index;
        report_failures(q_CrudeOpenWith, [&] { not_built("CrudeOpenWith"); });
        return none();
    });
}

} // namespace velmora::strokeSmith
