// The live colour band at the top of the picture window.
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

constexpr const char* file = "snapTone/band.cpp";

const Name n_cv2_main_image("cv2_main_image");

const Signature life_color_update_signature("life_color_update",
                                            Site{q_life_color_update, file, __LINE__},
                                            {&n_cv2_main_image, &n_x, &n_y}, 3);

} // namespace

PyObject* life_color_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(life_color_update_signature, args, std::size_t(nargs), kwnames);
        return traced(life_color_update_signature.site,
                      [&]() -> Ref { raise_not_built("life_color_update"); });
    });
}

} // namespace velmora::snapTone
