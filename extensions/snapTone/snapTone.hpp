// What the areas of the image module share: the module's lifecycle and namespace, the objects
// made or fetched once at import, the interned names and the public entries.
#pragma once

#include "support/entry.hpp"
#include "support/module.hpp"
#include "support/names.hpp"

namespace velmora::snapTone {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process.
struct Captured {
    PyObject* TypeError = nullptr;   // builtins.TypeError, raised by the argument type tests
    PyObject* max = nullptr;         // builtins.max
    PyObject* all = nullptr;         // builtins.all
    PyObject* module_name = nullptr; // "velmora.snapTone", the functions' __module__

    // Indices into (x, y) points and (width, height) sizes, and the axes of a picture array.
    PyObject* horizontal_item = nullptr; // 0: x of a point, the width of a size
    PyObject* vertical_item = nullptr;   // 1: y of a point, the height of a size
    PyObject* row_axis = nullptr;        // 0
    PyObject* column_axis = nullptr;     // 1
    PyObject* channel_axis = nullptr;    // 2

    // Conversions and the clipboard.
    PyObject* after_file_header = nullptr;   // slice(14, None): a BMP file minus its header
    PyObject* channels_with_alpha = nullptr; // 4, the channel count of a picture with alpha

    // Making the background transparent.
    PyObject* transparent = nullptr; // (255, 255, 255, 0), a replaced background pixel
    PyObject* red_channel = nullptr; // 0, 1 and 2: the colour items of an RGBA pixel
    PyObject* green_channel = nullptr;
    PyObject* blue_channel = nullptr;
    PyObject* red_tolerance = nullptr;    // 10: a background pixel's red lies closer than this
    PyObject* exact_tolerance = nullptr;  // 1: its green and blue match exactly
    PyObject* counted_colour = nullptr;   // 1, the colour of a (count, colour) pair of getcolors
    PyObject* encoder_finished = nullptr; // 1, the raw encoder's status once all is written
    PyObject* packed_stride = nullptr;    // 0: frombuffer's rows follow with no padding
    PyObject* top_down = nullptr;         // 1: frombuffer's first row is the top one
    PyObject* writable = nullptr;         // 0, the `readonly` flag of a writable image

    // The picture window.
    PyObject* per_monitor_awareness = nullptr; // 2, the window's DPI awareness on Windows
    PyObject* screen_width_metric = nullptr;   // 0, the system metric of the screen's width
    PyObject* screen_height_metric = nullptr;  // 1, the system metric of the screen's height
    PyObject* property_on = nullptr;           // 1, a window property on; a closed window's is less
    PyObject* key_wait = nullptr;              // 1, the milliseconds each pass waits for a key
    PyObject* key_mask = nullptr;              // 255: only the low byte of a key code counts
    PyObject* origin_coordinate = nullptr;     // 0, the first row and column; positions start there
    PyObject* drag_threshold = nullptr;        // 10, the pixels a crop drag exceeds right and down
    PyObject* red = nullptr;             // (0, 0, 255), freehand lines in blue-green-red order
    PyObject* line_thickness = nullptr;  // 4, of the freehand lines
    PyObject* alpha_plane = nullptr;     // (..., 3), the alpha channel of every pixel
    PyObject* derived_size = nullptr;    // (0, 0): resize derives the size from the factors
    PyObject* zoom_in_factor = nullptr;  // 1.2
    PyObject* zoom_out_factor = nullptr; // 0.8
    PyObject* smallest_side = nullptr;   // 100, the side that zooming out keeps above

    // The colour band.
    PyObject* band_rows = nullptr;       // slice(0, 20), the rows of the colour band
    PyObject* below_band = nullptr;      // slice(20, None), the picture under the band
    PyObject* blanking_factor = nullptr; // 0: the band's rows multiplied by it are blank
    PyObject* label_origin = nullptr;    // (0, 15), the baseline origin of the band's label
    PyObject* label_scale = nullptr;     // 0.5, the font scale of the band's label
};
extern Captured captured;

// The rows of the colour band at the top of the picture window.
inline constexpr long band_height = 20;

// Names looked up in the module namespace at each use.
inline const Name n_PIL("PIL");
inline const Name n_BytesIO("BytesIO");
inline const Name n_win32clipboard("win32clipboard");
inline const Name n_np("np");
inline const Name n_cv2("cv2");
inline const Name n_pil_image_to_bmp("pil_image_to_bmp");
inline const Name n_send_to_clipboard("send_to_clipboard");
inline const Name n_cv_to_pil("cv_to_pil");
inline const Name n_glob("glob");
inline const Name n_dt("dt");

// Attributes fetched at each use.
inline const Name n_Image("Image");
inline const Name n_ImageOps("ImageOps");
inline const Name n_ndarray("ndarray");
inline const Name n_mode("mode");
inline const Name n_convert("convert");
inline const Name n_cvtColor("cvtColor");
inline const Name n_shape("shape");
inline const Name n_join("join");

// Parameter names shared by several functions.
inline const Name n_event("event");
inline const Name n_x("x");
inline const Name n_y("y");
inline const Name n_flags("flags");

// String constants.
inline const Name s_RGB("RGB");
inline const Name s_RGBA("RGBA");
inline const Name s_Images("Images");
inline const Name s_empty("");

// `PIL.Image.Image`, the Pillow image class as the module namespace reaches it now.
Ref pil_image_class();

// Raises the TypeError cached at import with `message`.
[[noreturn]] void raise_type_error(const char* message);

// `os.path.<name>`, with `os` looked up in the module namespace.
Ref os_path(const Name& name);

// `os.path.dirname(os.path.abspath(__file__))`: the folder that holds the module file, under
// which the picture folder "Images" lies on Windows.
Ref module_folder();

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
