// `MouseHelper`: the pointer position, the last mouse event, freehand drawing and the corners
// of a Ctrl-drag crop selection, recorded from OpenCV's mouse callback.
#include "snapTone/snapTone.hpp"

namespace velmora::snapTone {

namespace {

const Name n_px("px");
const Name n_py("py");
const Name n_mouse_selection_start("mouse_selection_start");
const Name n_mouse_selection_end("mouse_selection_end");
const Name n_cropping("cropping");
const Name n_drawing("drawing");
const Name n_EVENT_LBUTTONDOWN("EVENT_LBUTTONDOWN");
const Name n_EVENT_LBUTTONUP("EVENT_LBUTTONUP");
const Name n_EVENT_FLAG_CTRLKEY("EVENT_FLAG_CTRLKEY");

// `value > limit` for the item `index` of `self.<name>` subtracted from `value`.
bool exceeds(Borrowed value, Borrowed self, const Name& name, long index, long limit) {
    Ref corner = getattr(self, name);
    Ref start = getitem(corner, index);
    Ref distance = subtract(value, start);
    return compare(distance, limit, Py_GT);
}

// `value <= self.shape[axis]`
bool within_shape(Borrowed value, Borrowed self, long axis) {
    Ref shape = getattr(self, n_shape);
    Ref bound = getitem(shape, axis);
    return compare(value, bound, Py_LE);
}

// Whether a left-button release at (x, y) ends a crop selection: a selection is being
// dragged from a start corner, the release lies on the picture or at most one past its last
// column and row, and the drag went more than 10 pixels right and more than 10 down.
bool ends_selection(Borrowed self, Borrowed x, Borrowed y) {
    return truthy(getattr(self, n_cropping)) && truthy(getattr(self, n_mouse_selection_start)) &&
           within_shape(x, self, column_axis) && within_shape(y, self, row_axis) &&
           exceeds(x, self, n_mouse_selection_start, horizontal_item, drag_threshold) &&
           exceeds(y, self, n_mouse_selection_start, vertical_item, drag_threshold);
}

} // namespace

void mouse_helper_init(Borrowed self, Tuple shape) {
    setattr(self, n_x, origin_coordinate);
    setattr(self, n_y, origin_coordinate);
    setattr(self, n_px, origin_coordinate);
    setattr(self, n_py, origin_coordinate);
    setattr(self, n_shape, shape);
    setattr(self, n_mouse_selection_start, Py_None);
    setattr(self, n_mouse_selection_end, Py_None);
    setattr(self, n_cropping, Py_False);
    setattr(self, n_event, Py_None);
    setattr(self, n_drawing, Py_False);
}

// `param`, the callback's user data, is not read.
void mouse_helper_update(Borrowed self, Borrowed event, Borrowed x, Borrowed y, Borrowed flags,
                         Borrowed) {
    Ref previous_x = getattr(self, n_x);
    Ref previous_y = getattr(self, n_y);
    setattr(self, n_px, previous_x);
    setattr(self, n_py, previous_y);
    setattr(self, n_x, x);
    setattr(self, n_y, y);
    setattr(self, n_event, event);

    Ref button_down = getattr(module.lookup(n_cv2), n_EVENT_LBUTTONDOWN);
    if (compare(event, button_down, Py_EQ)) {
        Ref ctrl = getattr(module.lookup(n_cv2), n_EVENT_FLAG_CTRLKEY);
        Ref ctrl_held = bitwise_and(flags, ctrl);
        if (truthy(ctrl_held)) {
            setattr(self, n_cropping, Py_True);
            setattr(self, n_drawing, Py_False);
            Ref start = new_tuple(x, y);
            setattr(self, n_mouse_selection_start, start);
        } else {
            setattr(self, n_cropping, Py_False);
            setattr(self, n_drawing, Py_True);
        }
        return;
    }
    Ref button_up = getattr(module.lookup(n_cv2), n_EVENT_LBUTTONUP);
    if (compare(event, button_up, Py_EQ)) {
        if (ends_selection(self, x, y)) {
            Ref end = new_tuple(x, y);
            setattr(self, n_mouse_selection_end, end);
        }
        setattr(self, n_cropping, Py_False);
        setattr(self, n_drawing, Py_False);
    }
}

} // namespace velmora::snapTone
