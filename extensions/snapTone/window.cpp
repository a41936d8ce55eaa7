// The interactive picture window and the direct mode of `BeginImageProcessing`.
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

constexpr const char* file = "snapTone/window.cpp";

const Name n_show_window("show_window");
const Name n_screen_size("screen_size");

const Signature begin_image_processing_signature("BeginImageProcessing",
                                                 Site{q_BeginImageProcessing, file, __LINE__},
                                                 {&n_show_window, &n_screen_size}, 0);

} // namespace

PyObject* BeginImageProcessing(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(begin_image_processing_signature, args, std::size_t(nargs), kwnames);
        Borrowed show_window = arguments.get(0, Py_False);
        Borrowed screen_size = arguments.get(1, captured.default_screen_size);
        (void)show_window;
        (void)screen_size;
        return traced(begin_image_processing_signature.site,
                      [&]() -> Ref { raise_not_built("BeginImageProcessing"); });
    });
}

} // namespace velmora::snapTone
