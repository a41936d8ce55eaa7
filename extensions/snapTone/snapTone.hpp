// What the areas of the image module share: the module's lifecycle and namespace, the objects
// made or fetched once at import, the interned names and the public entries.
#pragma once

#include "support/entry.hpp"
#include "support/module.hpp"
#include "support/names.hpp"

namespace velmora::snapTone {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process:
// the ones the interpreter sees as they are (the same transparent pixel in every place it
// replaces one, the slices and tuples that index arrays, the factors and colours handed to
// OpenCV). Plain numbers that only pass through are the C constants below.
struct Captured {
    PyObject* TypeError = nullptr;   // builtins.TypeError, raised by the argument type tests
    PyObject* max = nullptr;         // builtins.max
    PyObject* all = nullptr;         // builtins.all
    PyObject* module_name = nullptr; // "velmora.snapTone", the functions' __module__

    // Conversions and the clipboard.
    PyObject* after_file_header = nullptr; // slice(14, None): a BMP file minus its header

    // Making the background transparent.
    PyObject* transparent = nullptr; // (255, 255, 255, 0), a replaced background pixel

    // The picture window.
    PyObject* red = nullptr;             // (0, 0, 255), freehand lines in blue-green-red order
    PyObject* alpha_plane = nullptr;     // (..., 3), the alpha channel of every pixel
    PyObject* derived_size = nullptr;    // (0, 0): resize derives the size from the factors
    PyObject* zoom_in_factor = nullptr;  // 1.2
    PyObject* zoom_out_factor = nullptr; // 0.8

    // The colour band.
    PyObject* band_rows = nullptr;    // slice(0, 20), the rows of the colour band
    PyObject* below_band = nullptr;   // slice(20, None), the picture under the band
    PyObject* label_origin = nullptr; // (0, 15), the baseline origin of the band's label
    PyObject* label_scale = nullptr;  // 0.5, the font scale of the band's label
};
extern Captured captured;

// The rows of the colour band at the top of the picture window.
inline constexpr long band_height = 20;

// Indices into (x, y) points and (width, height) sizes, and the axes of a picture array.
inline constexpr long horizontal_item = 0; // x of a point, the width of a size
inline constexpr long vertical_item = 1;   // y of a point, the height of a size
inline constexpr long row_axis = 0;
inline constexpr long column_axis = 1;
inline constexpr long channel_axis = 2;

// Conversions.
inline constexpr long channels_with_alpha = 4; // the channel count of a picture with alpha

// Making the background transparent.
inline constexpr long red_channel = 0; // the colour items of an RGBA pixel
inline constexpr long green_channel = 1;
inline constexpr long blue_channel = 2;
inline constexpr long red_tolerance = 10;   // a background pixel's red lies closer than this
inline constexpr long exact_tolerance = 1;  // its green and blue match exactly
inline constexpr long counted_colour = 1;   // the colour of a (count, colour) pair of getcolors
inline constexpr long encoder_finished = 1; // the raw encoder's status once all is written
inline constexpr long packed_stride = 0;    // frombuffer's rows follow with no padding
inline constexpr long top_down = 1;         // frombuffer's first row is the top one
inline constexpr long writable = 0;         // the `readonly` flag of a writable image

// The picture window.
inline constexpr long per_monitor_awareness = 2; // the window's DPI awareness on Windows
inline constexpr long screen_width_metric = 0;   // the system metric of the screen's width
inline constexpr long screen_height_metric = 1;  // the system metric of the screen's height
inline constexpr long property_on = 1;           // a window property on; a closed window's is less
inline constexpr long key_wait = 1;              // the milliseconds each pass waits for a key
inline constexpr long key_mask = 255;            // only the low byte of a key code counts
inline constexpr long origin_coordinate = 0;     // the first row and column; positions start there
inline constexpr long drag_threshold = 10;       // the pixels a crop drag exceeds right and down
inline constexpr long line_thickness = 4;        // of the freehand lines
inline constexpr long smallest_side = 100;       // the side that zooming out keeps above

// The colour band.
inline constexpr long blanking_factor = 0; // the band's rows multiplied by it are blank

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
