// What the areas of the image module share: the module's lifecycle and namespace, the objects
// made or fetched once at import, the interned names and the public entries.
#pragma once

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/names.hpp"

#include <cstddef>

namespace velmora::snapTone {

// The module, its namespace and its one module object.
extern ModuleLifecycle module;

// Objects made or fetched once during initialisation and held for the life of the process.
struct Captured {
    PyObject* TypeError = nullptr;   // builtins.TypeError, raised by the argument type tests
    PyObject* max = nullptr;         // builtins.max
    PyObject* all = nullptr;         // builtins.all
    PyObject* module_name = nullptr; // "velmora.snapTone", the functions' __module__
    PyObject* transparent = nullptr; // (255, 255, 255, 0), a replaced background pixel
    PyObject* default_screen_size = nullptr; // (1920, 1080)
    PyObject* after_file_header = nullptr;   // slice(14, None): a BMP file minus its header
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

// The qualified names that traceback entries carry.
inline constexpr const char* q_pil_image_to_bmp = "velmora.snapTone.pil_image_to_bmp";
inline constexpr const char* q_send_to_clipboard = "velmora.snapTone.send_to_clipboard";
inline constexpr const char* q_pil_to_cv = "velmora.snapTone.pil_to_cv";
inline constexpr const char* q_cv_to_pil = "velmora.snapTone.cv_to_pil";
inline constexpr const char* q_image_invert = "velmora.snapTone.image_invert";
inline constexpr const char* q_make_transparent = "velmora.snapTone.make_transparent";
inline constexpr const char* q_MouseHelper___init__ = "velmora.snapTone.MouseHelper.__init__";
inline constexpr const char* q_MouseHelper_update_life_data =
    "velmora.snapTone.MouseHelper.update_life_data";
inline constexpr const char* q_life_color_update = "velmora.snapTone.life_color_update";
inline constexpr const char* q_BeginImageProcessing = "velmora.snapTone.BeginImageProcessing";

// `PIL.Image.Image`, the Pillow image class as the module namespace reaches it now.
Ref pil_image_class();

// Raises the TypeError cached at import with `message`.
[[noreturn]] void raise_type_error(const char* message);

// `os.path.<name>`, with `os` looked up in the module namespace.
Ref os_path(const Name& name);

// `os.path.dirname(os.path.abspath(__file__))`: the folder that holds the module file, under
// which the picture folder "Images" lies.
Ref module_folder();

// The picture window's commands that take the displayed picture out of it (commands.cpp).
// Copies the picture to the clipboard.
void copy_picture(Borrowed cv2_main_image);
// Saves the picture as a new time-stamped PNG file in the picture folder, with a sound.
void save_picture(Borrowed cv2_main_image);
// Shows the newest PNG file of the picture folder in the file manager, with a sound; with
// none there, opens the folder.
void open_picture_folder();

// Public functions, in the order of binding.
PyObject* pil_image_to_bmp(PyObject*, PyObject* image);
PyObject* send_to_clipboard(PyObject*, PyObject* image);
PyObject* pil_to_cv(PyObject*, PyObject* image);
PyObject* cv_to_pil(PyObject*, PyObject* cv2_main_image);
PyObject* image_invert(PyObject*, PyObject* image);
PyObject* make_transparent(PyObject*, PyObject* image);
PyObject* life_color_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* BeginImageProcessing(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The methods of `MouseHelper`, called through the vectorcall protocol with `self` first.
PyObject* MouseHelper___init__(PyObject*, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames);
PyObject* MouseHelper_update_life_data(PyObject*, PyObject* const* args, std::size_t nargsf,
                                       PyObject* kwnames);

} // namespace velmora::snapTone
