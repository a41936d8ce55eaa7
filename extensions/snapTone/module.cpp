// velmora.snapTone: the module's surface. Its initialisation (the library imports, the picture
// folder, the cached builtins), the public functions made at initialisation, the class
// `MouseHelper`, and the entry point.
#include "snapTone/docstrings.hpp"
#include "snapTone/platform.hpp"
#include "snapTone/snapTone.hpp"

#include "support/function.hpp"

#include <initializer_list>
#include <utility>

namespace velmora::snapTone {

ModuleLifecycle module("snapTone", "velmora.snapTone", "snapTone/module.cpp");
Captured captured;

namespace {

const Name n_TypeError("TypeError");
const Name n_max("max");
const Name n_all("all");
const Name n_type("type");
const Name n_PIL_ImageOps("PIL.ImageOps");
const Name n_PIL_Image("PIL.Image");
const Name n_PIL_ImageGrab("PIL.ImageGrab");
const Name n_io("io");
const Name n_numpy("numpy");
const Name n_datetime("datetime");
const Name n_makedirs("makedirs");
const Name n_exist_ok("exist_ok");
const Name n_MouseHelper("MouseHelper");
const Name n___module__("__module__");
const Name n___qualname__("__qualname__");
const Name n___doc__("__doc__");
const Name n___init__("__init__");
const Name n_update_life_data("update_life_data");
const Name n___test__("__test__");
const Name n_tuple("tuple");
const Name n_int("int");
const Name n_return("return");

const KeywordNames exist_ok_keyword(n_exist_ok);

void make_constants() {
    hold(captured.module_name, new_str(module.qualified_name()));
    Ref white = new_int(255);
    Ref zero = new_int(0);
    hold(captured.transparent, new_tuple(white, white, white, zero));
    Ref width = new_int(1920);
    Ref height = new_int(1080);
    hold(captured.default_screen_size, new_tuple(width, height));
    Ref header_size = new_int(14);
    hold(captured.after_file_header, new_slice(header_size, nullptr));
    hold(captured.key_mask, new_int(255));
    hold(captured.key_wait, new_int(1));
    hold(captured.property_on, new_int(1));
    hold(captured.per_monitor_awareness, new_int(2));
    hold(captured.screen_width_metric, new_int(0));
    hold(captured.screen_height_metric, new_int(1));
    hold(captured.origin_coordinate, new_int(0));
    hold(captured.horizontal_item, new_int(0));
    hold(captured.vertical_item, new_int(1));
    hold(captured.row_axis, new_int(0));
    hold(captured.column_axis, new_int(1));
    hold(captured.channel_axis, new_int(2));
    hold(captured.channels_with_alpha, new_int(4));
    Ref alpha_channel = new_int(3);
    hold(captured.alpha_plane, new_tuple(Py_Ellipsis, alpha_channel));
    hold(captured.line_thickness, new_int(4));
    hold(captured.drag_threshold, new_int(10));
    hold(captured.blanking_factor, new_int(0));
    hold(captured.red_channel, new_int(0));
    hold(captured.green_channel, new_int(1));
    hold(captured.blue_channel, new_int(2));
    hold(captured.red_tolerance, new_int(10));
    hold(captured.exact_tolerance, new_int(1));
    hold(captured.counted_colour, new_int(1));
    hold(captured.encoder_finished, new_int(1));
    hold(captured.packed_stride, new_int(0));
    hold(captured.top_down, new_int(1));
    hold(captured.writable, new_int(0));
    Ref band_bottom = new_int(band_height);
    hold(captured.band_rows, new_slice(zero, band_bottom));
    hold(captured.below_band, new_slice(band_bottom, nullptr));
    Ref baseline = new_int(15);
    hold(captured.label_origin, new_tuple(zero, baseline));
    hold(captured.label_scale, new_float(0.5));
    hold(captured.red, new_tuple(zero, zero, white));
    hold(captured.derived_size, new_tuple(zero, zero));
    hold(captured.zoom_in_factor, new_float(1.2));
    hold(captured.zoom_out_factor, new_float(0.8));
    hold(captured.smallest_side, new_int(100));
}

// `import a.b` binds the top-level package `a`.
void import_package(const Name& dotted, const Name& bound_as) {
    Ref package = module.import_module(dotted);
    module.bind(bound_as, package);
}

// `from module import name as bound_as`
void import_name(const Name& from, const Name& name, const Name& bound_as) {
    Ref source = module.import_from_list(from, {&name});
    Ref value = ModuleLifecycle::import_from(source, name);
    module.bind(bound_as, value);
}

void import_libraries() {
    import_package(n_PIL_ImageOps, n_PIL);
    import_package(n_PIL_Image, n_PIL);
    import_package(n_PIL_ImageGrab, n_PIL);
    module.bind(n_PIL, pillow_for_this_desktop(module.lookup(n_PIL)));
    import_name(n_io, n_BytesIO, n_BytesIO);
    import_package(n_win32clipboard, n_win32clipboard);
    import_name(n_glob, n_glob, n_glob);
    import_package(n_os, n_os);
    import_package(n_numpy, n_np);
    import_package(n_cv2, n_cv2);
    import_package(n_winsound, n_winsound);
    import_name(n_datetime, n_datetime, n_dt);
}

// `os.makedirs(os.path.join(os.path.dirname(os.path.abspath(__file__)), "Images"),
// exist_ok=True)`: the picture folder beside the module file.
void make_image_folder() {
    Ref makedirs = getattr(module.lookup(n_os), n_makedirs);
    Ref join = os_path(n_join);
    Ref folder = module_folder();
    Ref images = call(join, folder, s_Images);
    call_with_keywords(makedirs, exist_ok_keyword.get(), images, Py_True);
}

// A one-argument or keyword function in the interpreter's own calling forms, refused until
// the module has finished initialising: an import that fails after publishing some functions
// leaves them reachable.
template <class Function>
PyCFunction plain(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <auto entry>
PyCFunction fastcall() {
    return plain(checked_fastcall<module, entry>);
}
template <auto entry>
PyCFunction unary() {
    return plain(checked_unary<module, entry>);
}

// The public functions; each is made at initialisation and bound under its name.
PyMethodDef pil_image_to_bmp_definition = {"pil_image_to_bmp", unary<pil_image_to_bmp>(), METH_O,
                                           doc_pil_image_to_bmp};
PyMethodDef send_to_clipboard_definition = {"send_to_clipboard", unary<send_to_clipboard>(), METH_O,
                                            doc_send_to_clipboard};
PyMethodDef pil_to_cv_definition = {"pil_to_cv", unary<pil_to_cv>(), METH_O, doc_pil_to_cv};
PyMethodDef cv_to_pil_definition = {"cv_to_pil", unary<cv_to_pil>(), METH_O, doc_cv_to_pil};
PyMethodDef image_invert_definition = {"image_invert", unary<image_invert>(), METH_O,
                                       doc_image_invert};
PyMethodDef make_transparent_definition = {"make_transparent", unary<make_transparent>(), METH_O,
                                           doc_make_transparent};
PyMethodDef life_color_update_definition = {"life_color_update", fastcall<life_color_update>(),
                                            METH_FASTCALL | METH_KEYWORDS, doc_life_color_update};
PyMethodDef BeginImageProcessing_definition = {
    "BeginImageProcessing", fastcall<BeginImageProcessing>(), METH_FASTCALL | METH_KEYWORDS,
    doc_BeginImageProcessing};

void publish(PyObject* self, PyMethodDef& definition) {
    Ref function = check(PyCFunction_NewEx(&definition, self, captured.module_name));
    Ref name = check(PyUnicode_InternFromString(definition.ml_name));
    check_status(PyDict_SetItem(module.dict(), name.get(), function.get()));
}

// `dict(pairs...)`, the values given as objects.
Ref new_dict(std::initializer_list<std::pair<const Name*, PyObject*>> items) {
    Ref dict = check(PyDict_New());
    for (const auto& [key, value] : items) {
        check_status(PyDict_SetItem(dict.get(), key->get(), value));
    }
    return dict;
}

// `MouseHelper = type("MouseHelper", (), namespace)`, its methods being functions that bind
// to the instance.
Ref make_mouse_helper(PyObject* self) {
    Ref class_doc = new_str(doc_MouseHelper);
    Ref qualname = new_str("MouseHelper");
    Ref namespace_ = new_dict({{&n___module__, captured.module_name},
                               {&n___qualname__, qualname.get()},
                               {&n___doc__, class_doc.get()}});

    Ref init_annotations = new_dict({{&n_shape, n_tuple.get()}});
    Ref init =
        new_function(FunctionSpec{"__init__", "MouseHelper.__init__", doc_MouseHelper___init__,
                                  checked_method<module, MouseHelper___init__>},
                     self, captured.module_name, init_annotations);
    check_status(PyDict_SetItem(namespace_.get(), n___init__.get(), init.get()));

    Ref update_annotations = new_dict({{&n_event, n_int.get()},
                                       {&n_x, n_int.get()},
                                       {&n_y, n_int.get()},
                                       {&n_flags, n_int.get()},
                                       {&n_return, Py_None}});
    Ref update = new_function(FunctionSpec{"update_life_data", "MouseHelper.update_life_data",
                                           doc_MouseHelper_update_life_data,
                                           checked_method<module, MouseHelper_update_life_data>},
                              self, captured.module_name, update_annotations);
    check_status(PyDict_SetItem(namespace_.get(), n_update_life_data.get(), update.get()));

    Ref type = module.builtin(n_type);
    Ref bases = check(PyTuple_New(0));
    return call(type, n_MouseHelper, bases, namespace_);
}

void execute(PyObject* self) {
    make_constants();

    hold(captured.TypeError, module.builtin(n_TypeError));
    hold(captured.max, module.builtin(n_max));
    hold(captured.all, module.builtin(n_all));

    import_libraries();
    make_image_folder();

    publish(self, pil_image_to_bmp_definition);
    publish(self, send_to_clipboard_definition);
    publish(self, pil_to_cv_definition);
    publish(self, cv_to_pil_definition);
    publish(self, image_invert_definition);
    publish(self, make_transparent_definition);
    Ref mouse_helper = make_mouse_helper(self);
    module.bind(n_MouseHelper, mouse_helper);
    publish(self, life_color_update_definition);
    publish(self, BeginImageProcessing_definition);

    Ref test = check(PyDict_New());
    module.bind(n___test__, test);
}

int exec_slot(PyObject* self) {
    return module.run_exec(self, execute);
}

PyObject* create_slot(PyObject* spec, PyModuleDef*) {
    return module.create(spec);
}

PyMethodDef no_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "snapTone", nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

} // namespace

void raise_type_error(const char* message) {
    PyErr_SetString(captured.TypeError, message);
    throw_pending();
}

} // namespace velmora::snapTone

PyMODINIT_FUNC PyInit_snapTone() {
    return PyModuleDef_Init(&velmora::snapTone::definition);
}
