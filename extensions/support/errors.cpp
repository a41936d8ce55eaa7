#include "support/errors.hpp"

#include <frameobject.h>

namespace velmora {

void add_traceback(const Site& site) noexcept {
    // A traceback entry is a frame of an empty code object whose name is the function's
    // qualified name and whose first line is the site's line. The pending exception is set
    // aside while they are made.
    PyFrameObject* frame = nullptr;
    {
        SavedError pending;
        PyCodeObject* code = PyCode_NewEmpty(site.file, site.qualname, site.line);
        PyObject* globals = code == nullptr ? nullptr : PyDict_New();
        frame =
            globals == nullptr ? nullptr : PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        Py_XDECREF(globals);
        Py_XDECREF(code);
        pending.restore();
    }
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
    SavedError::Triple error = SavedError().take_normalised();
    PyObject* none = Py_None;
    PyObject* type = error.type ? error.type.get() : none;
    PyObject* value = error.value ? error.value.get() : none;
    PyObject* traceback = error.traceback ? error.traceback.get() : none;
    PySys_SetObject("last_type", type);
    PySys_SetObject("last_value", value);
    PySys_SetObject("last_traceback", traceback);
#if PY_VERSION_HEX >= 0x030C0000
    PySys_SetObject("last_exc", value);
#endif
    // Held for the call: the hook may rebind `sys.excepthook`, dropping itself.
    Ref hook = Ref::borrow(PySys_GetObject("excepthook"));
    if (hook && hook.get() != Py_None) {
        PyObject* args[] = {type, value, traceback};
        Ref result = Ref::steal(PyObject_Vectorcall(hook.get(), args, 3, nullptr));
        if (result) {
            return;
        }
        PyErr_Clear();
    }
    PyErr_Display(type, value, traceback);
}

} // namespace

void report_unraisable(const char* qualname) noexcept {
    SavedError error;
    if (!error) {
        return;
    }
    // The printer consumes one copy of the exception; the unraisable hook gets the other.
    error.restore_copy();
    print_exception();
    PyErr_Clear();

    PyObject* context = PyUnicode_FromString(qualname);
    // The interpreter calls `sys.unraisablehook` without a reference of its own; a hook that
    // rebinds it would drop itself mid-call. Hold it until the report is done.
    Ref hook = Ref::borrow(PySys_GetObject("unraisablehook"));
    error.restore();
    if (context == nullptr) {
        PyErr_WriteUnraisable(Py_None);
    } else {
        PyErr_WriteUnraisable(context);
        Py_DECREF(context);
    }
}

SavedError::Triple SavedError::take_normalised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (!value_) {
        return Triple{};
    }
    Ref type = Ref::borrow(saved_type());
    Ref traceback = Ref::steal(PyException_GetTraceback(value_.get()));
    return Triple{std::move(type), std::move(value_), std::move(traceback)};
#else
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
    }
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    return Triple{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
#endif
}

void SavedError::chain_under_pending() noexcept {
    if (!*this) {
        return;
    }
    Triple earlier = take_normalised();
    SavedError later;
#if PY_VERSION_HEX >= 0x030C0000
    // The same exception raised again is not its own context: a cycle there would make any
    // reader that follows the chain go round for ever.
    if (later.value_ && earlier.value && later.value_.get() != earlier.value.get()) {
        PyException_SetContext(later.value_.get(), earlier.value.release());
    }
#else
    Triple pending = later.take_normalised();
    // The same exception raised again is not its own context: a cycle there would make any
    // reader that follows the chain go round for ever.
    if (pending.value && earlier.value && pending.value.get() != earlier.value.get()) {
        PyException_SetContext(pending.value.get(), earlier.value.release());
    }
    later.type_ = std::move(pending.type);
    later.value_ = std::move(pending.value);
    later.traceback_ = std::move(pending.traceback);
#endif
    later.restore();
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
