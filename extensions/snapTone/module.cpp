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
    Ref header_size = new_int(14);
    hold(captured.after_file_header, new_slice(header_size, nullptr));
    Ref alpha_channel = new_int(3);
    hold(captured.alpha_plane, new_tuple(Py_Ellipsis, alpha_channel));
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

// `os.makedirs(<the picture folder>, exist_ok=True)`: "Images" beside the module file on
// Windows, the user's pictures folder elsewhere.
void make_image_folder() {
    Ref makedirs = getattr(module.lookup(n_os), n_makedirs);
    Ref images = picture_folder();
    call_with_keywords(makedirs, exist_ok_keyword.get(), images, Py_True);
}

// The qualified names of the public functions and methods, which their traceback entries
// and failure reports carry.
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

// The public functions, in the order of the module namespace: the picture functions, then
// (after the class `MouseHelper`) the window's. Each is made at initialisation and bound
// under its name, as a Python module binds its functions after its imports.
constexpr auto picture_entries = std::make_tuple(
    entry(q_pil_image_to_bmp, Form::one, Failure::propagate, parameters(param<Borrowed>("image")),
          doc_pil_image_to_bmp, pil_image_to_bmp),
    entry(q_send_to_clipboard, Form::one, Failure::propagate, parameters(param<Borrowed>("image")),
          doc_send_to_clipboard, send_to_clipboard),
    entry(q_pil_to_cv, Form::one, Failure::propagate, parameters(param<Borrowed>("image")),
          doc_pil_to_cv, pil_to_cv),
    entry(q_cv_to_pil, Form::one, Failure::propagate, parameters(param<Borrowed>("cv2_main_image")),
          doc_cv_to_pil, cv_to_pil),
    entry(q_image_invert, Form::one, Failure::propagate, parameters(param<Borrowed>("image")),
          doc_image_invert, image_invert),
    entry(q_make_transparent, Form::one, Failure::propagate, parameters(param<Borrowed>("image")),
          doc_make_transparent, make_transparent));

constexpr auto window_entries = std::make_tuple(
    entry(q_life_color_update, Form::keywords, Failure::propagate,
          parameters(param<Borrowed>("cv2_main_image"), param<Borrowed>("x"), param<Borrowed>("y")),
          doc_life_color_update, life_color_update),
    entry(q_BeginImageProcessing, Form::keywords, Failure::propagate,
          parameters(param<Borrowed>("show_window", Literal::boolean(false)),
                     param<Borrowed>("screen_size", Literal::tuple(1920, 1080))),
          doc_BeginImageProcessing, begin_image_processing));

// The methods of `MouseHelper`.
constexpr auto mouse_helper_entries = std::make_tuple(
    entry(q_MouseHelper___init__, Form::method, Failure::propagate,
          parameters(param<Borrowed>("self"), param<Tuple>("shape")), doc_MouseHelper___init__,
          mouse_helper_init),
    entry(q_MouseHelper_update_life_data, Form::method, Failure::propagate,
          parameters(param<Borrowed>("self"), param<Borrowed>("event"), param<Borrowed>("x"),
                     param<Borrowed>("y"), param<Borrowed>("flags"), param<Borrowed>("param")),
          doc_MouseHelper_update_life_data, mouse_helper_update));

MethodTable<module, picture_entries> picture_functions;
MethodTable<module, window_entries> window_functions;
using MouseHelperMethods = ClassMethods<module, mouse_helper_entries>;

// Makes each function of `table` for the module object `self` and binds it under its name.
void publish(PyObject* self, PyMethodDef* table) {
    for (PyMethodDef* definition = table; definition->ml_name != nullptr; ++definition) {
        Ref function = check(PyCFunction_NewEx(definition, self, captured.module_name));
        Ref name = check(PyUnicode_InternFromString(definition->ml_name));
        check_status(PyDict_SetItem(module.dict(), name.get(), function.get()));
    }
}

// `dict(pairs...)`, the values given as objects.
Ref new_dict(std::initializer_list<std::pair<const Name*, PyObject*>> items) {
    Ref dict = check(PyDict_New());
    for (const auto& [key, value] : items) {
        check_status(PyDict_SetItem(dict.get(), key->get(), value));
    }
    return dict;
}

// `namespace[spec.name] = <the method>`: a method of `MouseHelper`, made for the module object
// `self`, with its annotations.
void add_method(Borrowed namespace_, PyObject* self, const FunctionSpec& spec,
                Borrowed annotations) {
    Ref method = new_function(spec, self, captured.module_name, annotations);
    check_status(PyDict_SetItemString(namespace_.get(), spec.name, method.get()));
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
    add_method(namespace_, self, MouseHelperMethods::spec<0>(), init_annotations);

    Ref update_annotations = new_dict({{&n_event, n_int.get()},
                                       {&n_x, n_int.get()},
                                       {&n_y, n_int.get()},
                                       {&n_flags, n_int.get()},
                                       {&n_return, Py_None}});
    add_method(namespace_, self, MouseHelperMethods::spec<1>(), update_annotations);

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

    publish(self, picture_functions.definitions());
    Ref mouse_helper = make_mouse_helper(self);
    module.bind(n_MouseHelper, mouse_helper);
    publish(self, window_functions.definitions());

    Ref test = check(PyDict_New());
    module.bind(n___test__, test);
}

} // namespace

void raise_type_error(const char* message) {
    PyErr_SetString(captured.TypeError, message);
    throw_pending();
}

} // namespace velmora::snapTone

PyMODINIT_FUNC PyInit_snapTone() {
    // The functions are made at initialisation, in the order of the module namespace.
    using namespace velmora::snapTone;
    return velmora::ModuleDefinition<module, execute>::init("snapTone", nullptr, nullptr);
}
