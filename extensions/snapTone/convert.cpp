// Conversions between Pillow images, OpenCV-layout arrays (BGR or BGRA) and the bitmap bytes
// that the clipboard holds.
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

const Name n_asarray("asarray");
const Name n_fromarray("fromarray");
const Name n_save("save");
const Name n_getvalue("getvalue");
const Name n_close("close");
const Name n_info("info");
const Name n_palette("palette");
const Name n_COLOR_RGBA2BGRA("COLOR_RGBA2BGRA");
const Name n_COLOR_RGB2BGR("COLOR_RGB2BGR");
const Name n_COLOR_BGRA2RGBA("COLOR_BGRA2RGBA");
const Name n_COLOR_BGR2RGB("COLOR_BGR2RGB");
const Name s_BMP("BMP");
const Name s_P("P");
const Name s_transparency("transparency");

// The modes other than "RGBA" whose pictures have an alpha band.
const Name alpha_modes[] = {Name("LA"), Name("La"), Name("PA"), Name("RGBa")};

// `cv2.cvtColor(array, cv2.<code>)`
Ref cvt_color(Borrowed array, const Name& code) {
    Ref convert = getattr(module.lookup(n_cv2), n_cvtColor);
    Ref code_value = getattr(module.lookup(n_cv2), code);
    return call(convert, array, code_value);
}

// `np.asarray(image)`
Ref as_array(Borrowed image) {
    Ref asarray = getattr(module.lookup(n_np), n_asarray);
    return call(asarray, image);
}

// True when a picture of `mode` (neither "RGB" nor "RGBA") keeps information in an alpha
// band: the alpha modes, and a palette picture with a transparent entry or an RGBA palette.
bool carries_alpha(Borrowed image, Borrowed mode) {
    for (const Name& alpha_mode : alpha_modes) {
        if (compare(mode, alpha_mode, Py_EQ)) {
            return true;
        }
    }
    if (!compare(mode, s_P, Py_EQ)) {
        return false;
    }
    Ref info = getattr(image, n_info);
    if (check_status(PySequence_Contains(info.get(), s_transparency.get())) != 0) {
        return true;
    }
    Ref palette = getattr(image, n_palette);
    if (palette.get() == Py_None) {
        return false;
    }
    Ref palette_mode = getattr(palette, n_mode);
    return compare(palette_mode, s_RGBA, Py_EQ);
}

} // namespace

Ref pil_to_cv(Borrowed image) {
    Ref cv2_main_image = as_array(image);
    Ref mode = getattr(image, n_mode);
    if (compare(mode, s_RGBA, Py_EQ)) {
        return cvt_color(cv2_main_image, n_COLOR_RGBA2BGRA);
    }
    if (compare(mode, s_RGB, Py_EQ)) {
        return cvt_color(cv2_main_image, n_COLOR_RGB2BGR);
    }
    // Any other mode ("L", "P", "1", "LA", ...) has no array layout that OpenCV's colour
    // conversions take: the picture is converted to RGB first, or to RGBA when it has alpha.
    if (carries_alpha(image, mode)) {
        Ref converted = call_method(image, n_convert, s_RGBA);
        Ref array = as_array(converted);
        return cvt_color(array, n_COLOR_RGBA2BGRA);
    }
    Ref converted = call_method(image, n_convert, s_RGB);
    Ref array = as_array(converted);
    return cvt_color(array, n_COLOR_RGB2BGR);
}

Ref cv_to_pil(Borrowed cv2_main_image) {
    Ref shape = getattr(cv2_main_image, n_shape);
    Ref channels = getitem(shape, channel_axis);
    const bool four_channels = compare(channels, channels_with_alpha, Py_EQ);
    Ref fromarray = getattr(getattr(module.lookup(n_PIL), n_Image), n_fromarray);
    Ref converted = cvt_color(cv2_main_image, four_channels ? n_COLOR_BGRA2RGBA : n_COLOR_BGR2RGB);
    return call(fromarray, converted);
}

Ref pil_image_to_bmp(Borrowed image) {
    if (!isinstance(image, pil_image_class())) {
        raise_type_error("Image must be a PIL Image object.");
    }
    Ref output = call(module.lookup(n_BytesIO));
    // The RGB copy and the whole file are let go as soon as they are used, as the
    // temporaries of the Python statements would be: each is as large as the picture.
    call_method(call_method(image, n_convert, s_RGB), n_save, output, s_BMP);
    // Without the 14-byte file header the bytes start with the bitmap info header: the
    // layout of the clipboard's device-independent bitmaps.
    Ref data = getitem(call_method(output, n_getvalue), captured.after_file_header);
    call_method(output, n_close);
    return data;
}

Ref pil_image_class() {
    return getattr(getattr(module.lookup(n_PIL), n_Image), n_Image);
}

} // namespace velmora::snapTone
