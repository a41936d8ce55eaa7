#include "support/function.hpp"

#include <cstddef>
#include <structmember.h>

namespace velmora {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall; // the entry of every call
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* owner;            // the module object
    const char* text_signature; // static text
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    Py_VISIT(function->owner);
    return 0;
}

int function_clear(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->owner);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Fetched through an instance, the function becomes a method bound to it.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

// A function that the collector has cleared has no qualified name any more.
PyObject* function_repr(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    if (function->qualname == nullptr) {
        return PyUnicode_FromFormat("<function at %p>", self);
    }
    return PyUnicode_FromFormat("<function %U at %p>", function->qualname, self);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), 0, nullptr},
    {"__text_signature__", T_STRING, offsetof(FunctionObject, text_signature), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velmora.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyObject* made_type = nullptr; // the type, once made

PyTypeObject* function_type() {
    if (made_type == nullptr) {
        made_type = check(PyType_FromSpec(&function_spec)).release();
    }
    return reinterpret_cast<PyTypeObject*>(made_type);
}

} // namespace

PyObject* function_owner(PyObject* function) noexcept {
    if (made_type == nullptr || Py_TYPE(function) != reinterpret_cast<PyTypeObject*>(made_type)) {
        return nullptr;
    }
    return reinterpret_cast<FunctionObject*>(function)->owner;
}

Ref new_function(const FunctionSpec& spec, Borrowed owner, Borrowed module_name,
                 Borrowed annotations) {
    Ref name = new_str(spec.name);
    Ref qualname = new_str(spec.qualname);
    Ref doc = new_str(spec.doc);
    PyTypeObject* type = function_type();
    auto* function = PyObject_GC_New(FunctionObject, type);
    if (function == nullptr) {
        throw_pending();
    }
    function->vectorcall = spec.implementation;
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = Ref::borrow(module_name).release();
    function->doc = doc.release();
    function->annotations = Ref::borrow(annotations).release();
    function->dict = nullptr;
    function->owner = Ref::borrow(owner).release();
    function->text_signature = spec.text_signature;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

} // namespace velmora
