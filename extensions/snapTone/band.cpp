// The live colour band at the top of the picture window: the top 20 rows painted in the colour
// of the pixel under the pointer, labelled with the position and the pixel's channel values.
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

constexpr const char* file = "snapTone/band.cpp";

const Name n_cv2_main_image("cv2_main_image");
const Name n_putText("putText");
const Name n_astype("astype");
const Name n_tolist("tolist");
const Name n_FONT_HERSHEY_SIMPLEX("FONT_HERSHEY_SIMPLEX");
const Name n_img("img");
const Name n_text("text");
const Name n_org("org");
const Name n_fontFace("fontFace");
const Name n_color("color");
const Name n_fontScale("fontScale");
const Name s_open("(");
const Name s_comma(", ");
const Name s_close(") | ");
const Name s_empty("");

const KeywordNames put_text_keywords(n_img, n_text, n_org, n_fontFace, n_color, n_fontScale);

const Signature life_color_update_signature("life_color_update",
                                            Site{q_life_color_update, file, __LINE__},
                                            {&n_cv2_main_image, &n_x, &n_y}, 3);

// `cv2_main_image[y, x]`, the pixel vector at column `x`, row `y`.
Ref pixel_at(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref index = new_tuple(y, x);
    return check(PyObject_GetItem(cv2_main_image.get(), index.get()));
}

// `"(" + f"{x}" + ", " + f"{y}" + ") | " + ", ".join(cv2_main_image[y, x].astype(str))`
Ref label(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref x_text = check(PyObject_Format(x.get(), s_empty.get()));
    Ref y_text = check(PyObject_Format(y.get(), s_empty.get()));
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref channels = call_method(pixel, n_astype, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref values = check(PyUnicode_Join(s_comma.get(), channels.get()));
    Ref parts = new_tuple(s_open, x_text, s_comma, y_text, s_close, values);
    return check(PyUnicode_Join(s_empty.get(), parts.get()));
}

// `(~cv2_main_image[y, x]).tolist()`: the inverse of the pixel's colour, alpha included.
Ref inverse_colour(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref inverse = check(PyNumber_Invert(pixel.get()));
    return call_method(inverse, n_tolist);
}

Ref update(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    // cv2_main_image[0:20] = cv2_main_image[0:20] * 0 + cv2_main_image[y, x]
    // The pixel is read before the strip is written: under the pointer inside the strip lies
    // the strip's previous colour.
    Ref strip = check(PyObject_GetItem(cv2_main_image.get(), captured.band_rows));
    Ref blank = check(PyNumber_Multiply(strip.get(), captured.zero));
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref painted = check(PyNumber_Add(blank.get(), pixel.get()));
    check_status(PyObject_SetItem(cv2_main_image.get(), captured.band_rows, painted.get()));

    Ref put_text = getattr(module.lookup(n_cv2), n_putText);
    Ref text = label(cv2_main_image, x, y);
    Ref font = getattr(module.lookup(n_cv2), n_FONT_HERSHEY_SIMPLEX);
    Ref colour = inverse_colour(cv2_main_image, x, y);
    call_with_keywords(put_text, put_text_keywords.get(), cv2_main_image, text,
                       captured.label_origin, font, colour, captured.label_scale);
    return Ref::borrow(cv2_main_image);
}

} // namespace

PyObject* life_color_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        Arguments arguments(life_color_update_signature, args, std::size_t(nargs), kwnames);
        return traced(life_color_update_signature.site,
                      [&] { return update(arguments[0], arguments[1], arguments[2]); });
    });
}

} // namespace velmora::snapTone
