#include "support/errors.hpp"

#include <frameobject.h>

namespace velmora {

void add_traceback(const Site& site) noexcept {
    // A traceback entry is a frame of an empty code object whose name is the function's
    // qualified name and whose first line is the site's line.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty(site.file, site.qualname, site.line);
    PyObject* globals = code == nullptr ? nullptr : PyDict_New();
    PyFrameObject* frame =
        globals == nullptr ? nullptr : PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_XDECREF(globals);
    Py_XDECREF(code);
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

namespace {

// Prints the pending exception like the interpreter's own error printer: it is stored as the
// last exception in `sys` and shown through `sys.excepthook`. Unlike the interpreter's
// printer, a SystemExit is printed too instead of ending the process, so that a body's
// failure can never take the host down.
void print_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    PyObject* none = Py_None;
    PySys_SetObject("last_type", type ? type : none);
    PySys_SetObject("last_value", value ? value : none);
    PySys_SetObject("last_traceback", traceback ? traceback : none);
#if PY_VERSION_HEX >= 0x030C0000
    PySys_SetObject("last_exc", value ? value : none);
#endif
    // Held for the call: the hook may rebind `sys.excepthook`, dropping itself.
    Ref hook = Ref::borrow(PySys_GetObject("excepthook"));
    if (hook && hook.get() != Py_None) {
        PyObject* args[] = {type ? type : none, value ? value : none, traceback ? traceback : none};
        Ref result = Ref::steal(PyObject_Vectorcall(hook.get(), args, 3, nullptr));
        if (result) {
            return;
        }
        PyErr_Clear();
    }
    PyErr_Display(type ? type : none, value ? value : none, traceback ? traceback : none);
}

} // namespace

void report_unraisable(const char* qualname) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return;
    }
    // The printer consumes one copy of the exception; the unraisable hook gets the other.
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    print_exception();
    PyErr_Clear();

    PyObject* context = PyUnicode_FromString(qualname);
    // The interpreter calls `sys.unraisablehook` without a reference of its own; a hook that
    // rebinds it would drop itself mid-call. Hold it until the report is done.
    Ref hook = Ref::borrow(PySys_GetObject("unraisablehook"));
    PyErr_Restore(type, value, traceback);
    if (context == nullptr) {
        PyErr_WriteUnraisable(Py_None);
    } else {
        PyErr_WriteUnraisable(context);
        Py_DECREF(context);
    }
}

void SavedError::chain_under_pending() noexcept {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    if (type == nullptr) {
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);

    PyObject* later_type = nullptr;
    PyObject* later_value = nullptr;
    PyObject* later_traceback = nullptr;
    PyErr_Fetch(&later_type, &later_value, &later_traceback);
    PyErr_NormalizeException(&later_type, &later_value, &later_traceback);
    if (later_value != nullptr && value != nullptr) {
        PyException_SetContext(later_value, value); // takes over `value`
    } else {
        Py_XDECREF(value);
    }
    PyErr_Restore(later_type, later_value, later_traceback);
}

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

} // namespace velmora
