// The live colour band at the top of the picture window: the top 20 rows painted in the colour
// of the pixel under the pointer, labelled with the position and the pixel's channel values.
#include "imaging/imaging.hpp"
#include "snapTone/snapTone.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace velmora::snapTone {

namespace {

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

const KeywordNames put_text_keywords(n_img, n_text, n_org, n_fontFace, n_color, n_fontScale);

// `cv2_main_image[y, x]`, the pixel vector at column `x`, row `y`.
Ref pixel_at(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref index = new_tuple(y, x);
    return getitem(cv2_main_image, index);
}

// `"(" + f"{x}" + ", " + f"{y}" + ") | " + ", ".join(cv2_main_image[y, x].astype(str))`
Ref label(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref x_text = format(x);
    Ref y_text = format(y);
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref channels = call_method(pixel, n_astype, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref values = str_join(s_comma, channels);
    Ref parts = new_tuple(s_open, x_text, s_comma, y_text, s_close, values);
    return str_join(s_empty, parts);
}

// `(~cv2_main_image[y, x]).tolist()`: the inverse of the pixel's colour, alpha included.
Ref inverse_colour(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref inverse = bitwise_not(pixel);
    return call_method(inverse, n_tolist);
}

// `cv2.putText(img=..., text=..., org=(0, 15), fontFace=cv2.FONT_HERSHEY_SIMPLEX, color=...,
// fontScale=0.5)`, the label drawn into the picture in place.
void put_label(Borrowed cv2_main_image, Borrowed text, Borrowed colour) {
    Ref put_text = getattr(module.lookup(n_cv2), n_putText);
    Ref font = getattr(module.lookup(n_cv2), n_FONT_HERSHEY_SIMPLEX);
    call_with_keywords(put_text, put_text_keywords.get(), cv2_main_image, text,
                       captured.label_origin, font, colour, captured.label_scale);
}

// ---- The strip painted straight into the array's memory ----------------------------------------

// The writable memory of a genuine NumPy array of 8-bit values, rows x columns x channels: its
// type exactly `np.ndarray` as the module namespace reaches it. Empty (`ok()` false) for
// anything else, which then takes the general steps.
class Pixels {
  public:
    explicit Pixels(Borrowed array) {
        try {
            Ref ndarray = getattr(module.lookup(n_np), n_ndarray);
            if (reinterpret_cast<PyObject*>(Py_TYPE(array.get())) != ndarray.get()) {
                return;
            }
        } catch (const PyError&) {
            // Without a reachable array type the general steps do the work; an interrupt
            // stops the call instead.
            if (interrupt_pending()) {
                throw;
            }
            PyErr_Clear();
            return;
        }
        if (PyObject_GetBuffer(array.get(), &view_, PyBUF_RECORDS) != 0) {
            // Read-only: the general steps raise NumPy's own error. The request may show a
            // warning, which runs Python code; an interrupt there stops the call.
            if (interrupt_pending()) {
                throw_pending();
            }
            PyErr_Clear();
            return;
        }
        held_ = true;
        ok_ = view_.ndim == 3 && view_.itemsize == 1 && view_.format != nullptr &&
              std::strcmp(view_.format, "B") == 0;
    }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;
    ~Pixels() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    bool ok() const { return ok_; }
    Py_ssize_t rows() const { return view_.shape[0]; }
    Py_ssize_t columns() const { return view_.shape[1]; }
    Py_ssize_t channels() const { return view_.shape[2]; }
    unsigned char* at(Py_ssize_t row, Py_ssize_t column, Py_ssize_t channel) const {
        return static_cast<unsigned char*>(view_.buf) + row * view_.strides[0] +
               column * view_.strides[1] + channel * view_.strides[2];
    }
    // The memory as the pixel core takes it.
    imaging::StridedPixels strided() const {
        return {static_cast<unsigned char*>(view_.buf),
                rows(),
                columns(),
                channels(),
                view_.strides[0],
                view_.strides[1],
                view_.strides[2]};
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
};

// A NumPy index `i` into a dimension of `size`: negative ones count from the end. False when
// it is out of range (NumPy's IndexError comes from the general steps).
bool index_into(Py_ssize_t size, Py_ssize_t& i) {
    if (i < 0) {
        i += size;
    }
    return 0 <= i && i < size;
}

// The band updated straight in the memory of a genuine 8-bit NumPy array, for int `x` and `y`
// inside it: the same pixels, label and colour as the general steps, without NumPy's temporary
// arrays. False, with nothing done, for anything else.
bool update_directly(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    if (!PyLong_CheckExact(x.get()) || !PyLong_CheckExact(y.get())) {
        return false;
    }
    const Py_ssize_t column_given = PyLong_AsSsize_t(x.get());
    const Py_ssize_t row_given = PyErr_Occurred() ? -1 : PyLong_AsSsize_t(y.get());
    if (PyErr_Occurred()) {
        PyErr_Clear(); // beyond any index: NumPy's IndexError from the general steps
        return false;
    }
    std::vector<unsigned char> colour;
    {
        const Pixels pixels(cv2_main_image);
        Py_ssize_t row = row_given;
        Py_ssize_t column = column_given;
        if (!pixels.ok() || !index_into(pixels.rows(), row) ||
            !index_into(pixels.columns(), column)) {
            return false;
        }
        // The pixel is read before the strip is written.
        for (Py_ssize_t channel = 0; channel < pixels.channels(); ++channel) {
            colour.push_back(*pixels.at(row, column, channel));
        }
        imaging::paint_strip(pixels.strided(), band_height, colour.data());
    }
    // "(x, y) | c0, c1, ..." with the pixel as read again: the same values.
    std::string text = "(";
    text += std::to_string(column_given);
    text += ", ";
    text += std::to_string(row_given);
    text += ") | ";
    for (std::size_t channel = 0; channel < colour.size(); ++channel) {
        if (channel != 0) {
            text += ", ";
        }
        text += std::to_string(unsigned(colour[channel]));
    }
    Ref label_text = check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    Ref inverse = check(PyList_New(Py_ssize_t(colour.size())));
    for (std::size_t channel = 0; channel < colour.size(); ++channel) {
        PyList_SET_ITEM(inverse.get(), Py_ssize_t(channel),
                        new_int(255 - long(colour[channel])).release());
    }
    put_label(cv2_main_image, label_text, inverse);
    return true;
}

} // namespace

Ref life_color_update(Borrowed cv2_main_image, Borrowed x, Borrowed y) {
    if (update_directly(cv2_main_image, x, y)) {
        return Ref::borrow(cv2_main_image);
    }
    // cv2_main_image[0:20] = cv2_main_image[0:20] * 0 + cv2_main_image[y, x]
    // The pixel is read before the strip is written: under the pointer inside the strip lies
    // the strip's previous colour.
    Ref strip = getitem(cv2_main_image, captured.band_rows);
    Ref blank = multiply(strip, blanking_factor);
    Ref pixel = pixel_at(cv2_main_image, x, y);
    Ref painted = add(blank, pixel);
    setitem(cv2_main_image, captured.band_rows, painted);

    Ref put_text = getattr(module.lookup(n_cv2), n_putText);
    Ref text = label(cv2_main_image, x, y);
    Ref font = getattr(module.lookup(n_cv2), n_FONT_HERSHEY_SIMPLEX);
    Ref colour = inverse_colour(cv2_main_image, x, y);
    call_with_keywords(put_text, put_text_keywords.get(), cv2_main_image, text,
                       captured.label_origin, font, colour, captured.label_scale);
    return Ref::borrow(cv2_main_image);
}

} // namespace velmora::snapTone
