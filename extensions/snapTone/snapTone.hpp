// What the areas of the image module share: the module's lifecycle and namespace, the objects
// made or fetched once at import, the interned names and the public entries.
#pragma once

#include "support/entry.hpp"
#include "support/module.hpp"
#include "support/names.hpp"

#include <cstddef>

namespace velmora::snapTone {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process.
struct Captured {
    PyObject* TypeError = nullptr;         // builtins.TypeError, raised by the argument type tests
    PyObject* max = nullptr;               // builtins.max
    PyObject* all = nullptr;               // builtins.all
    PyObject* module_name = nullptr;       // "velmora.snapTone", the functions' __module__
    PyObject* transparent = nullptr;       // (255, 255, 255, 0), a replaced background pixel
    PyObject* after_file_header = nullptr; // slice(14, None): a BMP file minus its header
    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* two = nullptr;
    PyObject* four = nullptr;
    PyObject* ten = nullptr;
    PyObject* key_mask = nullptr;        // 255: only the low byte of a key code counts
    PyObject* band_rows = nullptr;       // slice(0, 20), the rows of the colour band
    PyObject* below_band = nullptr;      // slice(20, None), the picture under the band
    PyObject* label_origin = nullptr;    // (0, 15), the baseline origin of the band's label
    PyObject* label_scale = nullptr;     // 0.5, the font scale of the band's label
    PyObject* red = nullptr;             // (0, 0, 255), freehand lines in blue-green-red order
    PyObject* derived_size = nullptr;    // (0, 0): resize derives the size from the factors
    PyObject* zoom_in_factor = nullptr;  // 1.2
    PyObject* zoom_out_factor = nullptr; // 0.8
    PyObject* smallest_side = nullptr;   // 100, the side that zooming out keeps above
};
extern Captured captured;

// Names looked up in the module namespace at each use.
inline const Name n_PIL("PIL");
inline const Name n_BytesIO("BytesIO");
inline const Name n_win32clipboard("win32clipboard");
inline const Name n_np("np");
inline const Name n_cv2("cv2");
inline const Name n_pil_image_to_bmp("pil_image_to_bmp");
inline const Name n_send_to_clipboard("send_to_clipboard");
inline const Name n_cv_to_pil("cv_to_pil");

// Attributes fetched at each use.
inline const Name n_Image("Image");
inline const Name n_ImageOps("ImageOps");
inline const Name n_ndarray("ndarray");
inline const Name n_mode("mode");
inline const Name n_convert("convert");
inline const Name n_cvtColor("cvtColor");
inline const Name n_shape("shape");

// Parameter names shared by several functions.
inline const Name n_event("event");
inline const Name n_x("x");
inline const Name n_y("y");
inline const Name n_flags("flags");

// String constants.
inline const Name s_RGB("RGB");
inline const Name s_RGBA("RGBA");

// `PIL.Image.Image`, the Pillow image class as the module namespace reaches it now.
Ref pil_image_class();

// Raises the TypeError cached at import with `message`.
[[noreturn]] void raise_type_error(const char* message);

// The picture window's commands that take the displayed picture out of it (commands.cpp).
// Copies the picture to the clipboard.
void copy_picture(Borrowed cv2_main_image);
// Saves the picture as a new time-stamped PNG file in the picture folder, with a sound.
void save_picture(Borrowed cv2_main_image);
// Shows the newest PNG file of the picture folder in the file manager, with a sound; with
// none there, opens the folder.
void open_picture_folder();

// The bodies of the public functions, in the order of binding (module.cpp holds their
// table). Each is called with the declared parameters bound and converted, and its errors
// propagate to the caller.
Ref pil_image_to_bmp(Borrowed image);
void send_to_clipboard(Borrowed image);
Ref pil_to_cv(Borrowed image);
Ref cv_to_pil(Borrowed cv2_main_image);
void image_invert(Borrowed image);
Ref make_transparent(Borrowed image);
Ref life_color_update(Borrowed cv2_main_image, Borrowed x, Borrowed y);
void begin_image_processing(Borrowed show_window, Borrowed screen_size);

// The bodies of the methods of `MouseHelper`, `self` first.
void mouse_helper_init(Borrowed self, Tuple shape);
void mouse_helper_update(Borrowed self, Borrowed event, Borrowed x, Borrowed y, Borrowed flags,
                         Borrowed param);

} // namespace velmora::snapTone
