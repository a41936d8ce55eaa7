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

} // namespace

void simulate_key_press_sequence(Borrowed, float) noexcept {
    report_failures(q_SimulateKeyPressSequence, [&] {
        PyErr_SetString(PyExc_NotImplementedError, "SimulateKeyPressSequence is not built yet");
        throw_pending();
    });
}

PyObject* SimulateKeyPressSequence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(simulate_key_press_sequence_signature, args, std::size_t(nargs),
                            kwnames);
        float delay = arguments.float32(1, 0.2f);
        Borrowed keys_list = arguments.exact(0, &PyTuple_Type, nullptr);
        simulate_key_press_sequence(keys_list, delay);
        return none();
    });
}

} // namespace velmora::strokeSmith
