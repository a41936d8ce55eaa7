// `BeginImageProcessing`: the direct mode, which inverts the clipboard picture in place, and
// the interactive picture window with its key commands, freehand drawing, crop and colour band.
#include "snapTone/platform.hpp"
#include "snapTone/snapTone.hpp"
#include "support/sound.hpp"

#include <utility>

namespace velmora::snapTone {

namespace {

const Name n_ImageGrab("ImageGrab");
const Name n_grabclipboard("grabclipboard");
const Name n_image_invert("image_invert");
const Name n_pil_to_cv("pil_to_cv");
const Name n_make_transparent("make_transparent");
const Name n_life_color_update("life_color_update");
const Name n_MouseHelper("MouseHelper");
const Name n_ctypes("ctypes");
const Name n_GetSystemMetrics("GetSystemMetrics");

const Name n_namedWindow("namedWindow");
const Name n_imshow("imshow");
const Name n_setWindowProperty("setWindowProperty");
const Name n_getWindowProperty("getWindowProperty");
const Name n_WND_PROP_TOPMOST("WND_PROP_TOPMOST");
const Name n_WND_PROP_VISIBLE("WND_PROP_VISIBLE");
const Name n_setMouseCallback("setMouseCallback");
const Name n_waitKey("waitKey");
const Name n_destroyAllWindows("destroyAllWindows");
const Name n_bitwise_not("bitwise_not");
const Name n_rotate("rotate");
const Name n_ROTATE_90_CLOCKWISE("ROTATE_90_CLOCKWISE");
const Name n_resize("resize");
const Name n_line("line");
const Name n_concatenate("concatenate");
const Name n_astype("astype");
const Name n_uint8("uint8");
const Name n_size("size");
const Name n_axis("axis");
const Name n_fx("fx");
const Name n_fy("fy");

const Name n_update_life_data("update_life_data");
const Name n_px("px");
const Name n_py("py");
const Name n_cropping("cropping");
const Name n_drawing("drawing");
const Name n_mouse_selection_start("mouse_selection_start");
const Name n_mouse_selection_end("mouse_selection_end");

const Name s_window("Image Window");
const Name s_coins("SFX\\coins-497.wav");

const KeywordNames axis_keyword(n_axis);
const KeywordNames factor_keywords(n_fx, n_fy);

constexpr long escape = 27;

// `cv2.<name>`
Ref cv2_attribute(const Name& name) {
    return getattr(module.lookup(n_cv2), name);
}

// `cv2.imshow("Image Window", picture)`
void show(Borrowed picture) {
    Ref imshow = cv2_attribute(n_imshow);
    call(imshow, s_window, picture);
}

// ---- Direct mode ------------------------------------------------------------------------------

// Inverts the picture onto the clipboard, then plays the coin sound to its end.
void direct_mode(Borrowed image) {
    call(module.lookup(n_image_invert), image);
    play_sound(module, s_coins, Playback::to_end);
}

// ---- Interactive mode -------------------------------------------------------------------------

// The state of one interactive call.
struct Session {
    Ref image;          // the clipboard picture, or its latest transparency conversion
    Ref screen_size;    // (width, height) of the primary screen
    Ref cv2_main_image; // the picture as displayed
    bool color_picker_switch = false;
    Ref mouse_helper;
};

// `mouse_helper.shape = cv2_main_image.shape`
void update_tracker_shape(const Session& session) {
    Ref shape = getattr(session.cv2_main_image, n_shape);
    setattr(session.mouse_helper, n_shape, shape);
}

// `(win32api.GetSystemMetrics(0), win32api.GetSystemMetrics(1))`
Ref measure_screen(Borrowed win32api) {
    Ref width = call(getattr(win32api, n_GetSystemMetrics), screen_width_metric);
    Ref height = call(getattr(win32api, n_GetSystemMetrics), screen_height_metric);
    return new_tuple(width, height);
}

// Whether the crop branch of a pass applies: a selection is being dragged and both corners
// are stored.
bool crop_pending(const Session& session) {
    return truthy(getattr(session.mouse_helper, n_cropping)) &&
           truthy(getattr(session.mouse_helper, n_mouse_selection_start)) &&
           truthy(getattr(session.mouse_helper, n_mouse_selection_end));
}

void clear_selection(const Session& session) {
    setattr(session.mouse_helper, n_mouse_selection_start, Py_None);
    setattr(session.mouse_helper, n_mouse_selection_end, Py_None);
}

// Crops to the rows from the start corner's row up to the end corner's row and the columns
// from the start corner's column up to the end corner's column (a view of the old picture).
// An end corner above or left of the start corner selects nothing: the picture stays as it is
// and only the corners are cleared.
void crop(Session& session) {
    Ref start = getattr(session.mouse_helper, n_mouse_selection_start);
    Ref end = getattr(session.mouse_helper, n_mouse_selection_end);
    Ref first_row = getitem(start, vertical_item);
    Ref end_row = getitem(end, vertical_item);
    Ref rows = new_slice(first_row, end_row);
    Ref first_column = getitem(start, horizontal_item);
    Ref end_column = getitem(end, horizontal_item);
    Ref columns = new_slice(first_column, end_column);
    Ref region = new_tuple(rows, columns);
    Ref selection = getitem(session.cv2_main_image, region);
    if (!truthy(getattr(selection, n_size))) {
        clear_selection(session);
        return;
    }
    session.color_picker_switch = false;
    session.cv2_main_image = std::move(selection);
    update_tracker_shape(session);
    clear_selection(session);
    show(session.cv2_main_image);
}

// A red line of thickness 4 from the previous to the current pointer position, drawn into the
// picture in place.
void draw(const Session& session) {
    Ref line = cv2_attribute(n_line);
    Ref previous_x = getattr(session.mouse_helper, n_px);
    Ref previous_y = getattr(session.mouse_helper, n_py);
    Ref from = new_tuple(previous_x, previous_y);
    Ref x = getattr(session.mouse_helper, n_x);
    Ref y = getattr(session.mouse_helper, n_y);
    Ref to = new_tuple(x, y);
    call(line, session.cv2_main_image, from, to, captured.red, line_thickness);
    show(session.cv2_main_image);
}

// Whether the picture has four channels, the fourth one alpha: `shape[2] == 4`.
bool has_alpha(Borrowed cv2_main_image) {
    Ref shape = getattr(cv2_main_image, n_shape);
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) < 3) {
        return false;
    }
    return compare(Borrowed(PyTuple_GET_ITEM(shape.get(), 2)), channels_with_alpha, Py_EQ);
}

// Inverts the picture's colours. A picture with alpha keeps it, as the direct mode does: an
// opaque picture stays opaque, and a transparent background stays transparent.
void invert(Session& session) {
    Ref bitwise_not = cv2_attribute(n_bitwise_not);
    Ref inverted = call(bitwise_not, session.cv2_main_image);
    if (has_alpha(session.cv2_main_image)) {
        // inverted[..., 3] = cv2_main_image[..., 3]
        Ref alpha = getitem(session.cv2_main_image, captured.alpha_plane);
        setitem(inverted, captured.alpha_plane, alpha);
    }
    session.cv2_main_image = std::move(inverted);
    show(session.cv2_main_image);
}

// Turns the picture a quarter clockwise; the tracker's positions go back to the origin.
void rotate(Session& session) {
    setattr(session.mouse_helper, n_x, origin_coordinate);
    setattr(session.mouse_helper, n_y, origin_coordinate);
    setattr(session.mouse_helper, n_px, origin_coordinate);
    setattr(session.mouse_helper, n_py, origin_coordinate);
    Ref rotate = cv2_attribute(n_rotate);
    Ref clockwise = cv2_attribute(n_ROTATE_90_CLOCKWISE);
    session.cv2_main_image = call(rotate, session.cv2_main_image, clockwise);
    update_tracker_shape(session);
    show(session.cv2_main_image);
}

// Shows the clipboard picture again. It carries no colour band, so the band is off, and the
// tracker takes its shape.
void reload(Session& session) {
    Ref grab = getattr(getattr(module.lookup(n_PIL), n_ImageGrab), n_grabclipboard);
    session.image = call(grab);
    session.cv2_main_image = call(module.lookup(n_pil_to_cv), session.image);
    session.color_picker_switch = false;
    update_tracker_shape(session);
    show(session.cv2_main_image);
}

// Removes the alpha channel of a picture that has one; makes the background of any other
// picture transparent.
void toggle_transparency(Session& session) {
    session.image = call(module.lookup(n_cv_to_pil), session.cv2_main_image);
    Ref mode = getattr(session.image, n_mode);
    if (compare(mode, s_RGBA, Py_EQ)) {
        session.image = call_method(session.image, n_convert, s_RGB);
    } else {
        Ref make_transparent = module.lookup(n_make_transparent);
        Ref fresh = call(module.lookup(n_cv_to_pil), session.cv2_main_image);
        session.image = call(make_transparent, fresh);
    }
    session.cv2_main_image = call(module.lookup(n_pil_to_cv), session.image);
    show(session.cv2_main_image);
}

// Switching the band on stacks a copy of the first 20 rows above the picture; the band
// refresh of the same pass paints and shows it. Switching it off removes the first 20 rows.
void toggle_band(Session& session) {
    if (!session.color_picker_switch) {
        Ref concatenate = getattr(module.lookup(n_np), n_concatenate);
        Ref band = getitem(session.cv2_main_image, captured.band_rows);
        Ref parts = new_tuple(band, session.cv2_main_image);
        Ref stacked = call_with_keywords(concatenate, axis_keyword.get(), parts, row_axis);
        Ref astype = getattr(stacked, n_astype);
        Ref uint8 = getattr(module.lookup(n_np), n_uint8);
        session.cv2_main_image = call(astype, uint8);
        session.color_picker_switch = true;
    } else {
        session.cv2_main_image = getitem(session.cv2_main_image, captured.below_band);
        session.color_picker_switch = false;
        show(session.cv2_main_image);
    }
    update_tracker_shape(session);
}

// `cv2_main_image.shape[side] <op> screen_size[screen_side] / 1.2`
bool fits_after_zoom_in(const Session& session, long side, long screen_side, int op) {
    Ref shape = getattr(session.cv2_main_image, n_shape);
    Ref length = getitem(shape, side);
    Ref screen_length = getitem(session.screen_size, screen_side);
    Ref limit = true_divide(screen_length, captured.zoom_in_factor);
    return compare(length, limit, op);
}

// `cv2_main_image.shape[side] > 100`
bool larger_than_smallest(const Session& session, long side) {
    Ref shape = getattr(session.cv2_main_image, n_shape);
    Ref length = getitem(shape, side);
    return compare(length, smallest_side, Py_GT);
}

// `cv2.resize(cv2_main_image, (0, 0), fx=factor, fy=factor)`; show; the tracker's shape.
void scale(Session& session, Borrowed factor) {
    Ref resize = cv2_attribute(n_resize);
    session.cv2_main_image =
        call_with_keywords(resize, factor_keywords.get(), session.cv2_main_image,
                           captured.derived_size, factor, factor);
    show(session.cv2_main_image);
    update_tracker_shape(session);
}

// Enlarges by 1.2 while the rows fit within the screen's height and the columns within its
// width, each divided by 1.2.
void zoom_in(Session& session) {
    if (fits_after_zoom_in(session, row_axis, vertical_item, Py_LE) &&
        fits_after_zoom_in(session, column_axis, horizontal_item, Py_LT)) {
        scale(session, captured.zoom_in_factor);
    }
}

// Shrinks by 0.8 while both sides are longer than 100 pixels.
void zoom_out(Session& session) {
    if (larger_than_smallest(session, row_axis) && larger_than_smallest(session, column_axis)) {
        scale(session, captured.zoom_out_factor);
    }
}

void run_key_command(Session& session, long k) {
    switch (k) {
    case 'a':
    case 'A':
        invert(session);
        break;
    case 'R':
    case 'r':
        rotate(session);
        break;
    case 'C':
    case 'c':
        copy_picture(session.cv2_main_image);
        break;
    case ' ':
    case 'V':
    case 'v':
        reload(session);
        break;
    case 'T':
    case 't':
        toggle_transparency(session);
        break;
    case 'W':
    case 'w':
        toggle_band(session);
        break;
    case '+':
    case '=':
        zoom_in(session);
        break;
    case '-':
    case '_':
        zoom_out(session);
        break;
    case 'S':
    case 's':
        save_picture(session.cv2_main_image);
        break;
    case 'O':
    case 'o':
        open_picture_folder();
        break;
    default:
        break;
    }
}

// `0 <= x < cv2_main_image.shape[1] and 0 <= y < cv2_main_image.shape[0]`
bool on_picture(const Session& session, Borrowed x, Borrowed y) {
    Ref shape = getattr(session.cv2_main_image, n_shape);
    Ref rows = getitem(shape, row_axis);
    Ref columns = getitem(shape, column_axis);
    return compare(origin_coordinate, x, Py_LE) && compare(x, columns, Py_LT) &&
           compare(origin_coordinate, y, Py_LE) && compare(y, rows, Py_LT);
}

// Repaints the band in the colour under the pointer and shows the picture. A pointer that
// the picture no longer covers (it shrank, or a smaller one was loaded, while the pointer
// rested beyond its new edge) has no colour: the band keeps its colour until the pointer
// moves back onto the picture.
void refresh_band(Session& session) {
    Ref x = getattr(session.mouse_helper, n_x);
    Ref y = getattr(session.mouse_helper, n_y);
    if (!on_picture(session, x, y)) {
        return;
    }
    Ref life_color_update = module.lookup(n_life_color_update);
    session.cv2_main_image = call(life_color_update, session.cv2_main_image, x, y);
    show(session.cv2_main_image);
}

// One pass of the loop; false once the window is to close.
bool run_pass(Session& session) {
    check_signals(); // Ctrl-C ends the loop with the windows closed, as any failure
    Ref wait_key = cv2_attribute(n_waitKey);
    Ref pressed = call(wait_key, key_wait); // mouse callbacks run inside
    Ref masked = bitwise_and(pressed, key_mask);
    const long k = PyLong_AsLong(masked.get());
    if (k == -1 && PyErr_Occurred()) {
        throw_pending();
    }

    if (k == escape) {
        return false;
    }
    Ref get_property = cv2_attribute(n_getWindowProperty);
    Ref visible = cv2_attribute(n_WND_PROP_VISIBLE);
    if (compare(call(get_property, s_window, visible), property_on, Py_LT)) {
        return false; // closed by its frame button
    }

    if (crop_pending(session)) {
        crop(session);
    } else if (truthy(getattr(session.mouse_helper, n_drawing))) {
        draw(session);
    } else {
        run_key_command(session, k);
    }

    if (session.color_picker_switch) {
        refresh_band(session);
    }
    return true;
}

// Runs `body`; should it fail (or Ctrl-C interrupt it), every OpenCV window is closed before the
// failure propagates unchanged: a window that no loop pumps any more stops responding. Should
// closing fail as well, the first failure is the one that propagates.
template <class Body>
void closing_windows_on_failure(Body&& body) {
    try {
        body();
    } catch (...) {
        translate_exception();
        SavedError failure;
        try {
            call(cv2_attribute(n_destroyAllWindows));
        } catch (const PyError&) {
            PyErr_Clear();
        }
        failure.rethrow();
    }
}

void interactive_mode(Ref image) {
    Session session;
    session.image = std::move(image);

    Ref ctypes = module.import_module(n_ctypes);
    Ref win32api = module.import_module(n_win32api);
    make_process_dpi_aware(ctypes);
    session.screen_size = measure_screen(win32api);
    session.cv2_main_image = call(module.lookup(n_pil_to_cv), session.image);
    check_window_display();

    closing_windows_on_failure([&] {
        call(cv2_attribute(n_namedWindow), s_window);
        show(session.cv2_main_image);
        Ref set_property = cv2_attribute(n_setWindowProperty);
        Ref topmost = cv2_attribute(n_WND_PROP_TOPMOST);
        call(set_property, s_window, topmost, property_on);
        pin_window_above(s_window);

        session.color_picker_switch = false;

        Ref shape = getattr(session.cv2_main_image, n_shape);
        session.mouse_helper = call(module.lookup(n_MouseHelper), shape);
        Ref set_mouse_callback = cv2_attribute(n_setMouseCallback);
        Ref callback = getattr(session.mouse_helper, n_update_life_data);
        call(set_mouse_callback, s_window, callback);

        while (run_pass(session)) {
        }
    });

    call(cv2_attribute(n_destroyAllWindows));
}

} // namespace

// The screen size is measured by the interactive mode; the argument is not read.
void begin_image_processing(Borrowed show_window, Borrowed) {
    Ref grab = getattr(getattr(module.lookup(n_PIL), n_ImageGrab), n_grabclipboard);
    Ref image = call(grab);
    if (!truthy(show_window)) {
        direct_mode(image);
    } else {
        interactive_mode(std::move(image));
    }
}

} // namespace velmora::snapTone
