// Error plumbing between C++ and the interpreter.
//
// Inside the modules a failed C API call throws `PyError`; the interpreter's exception stays
// pending while the C++ stack unwinds (releasing every `Ref` on the way) to the entry point,
// which then either lets it propagate to the caller or reports and swallows it. `PyError`
// never crosses an interpreter frame: every function the interpreter calls goes through
// `entry_point` (or catches `PyError` itself).
#pragma once

#include "support/ref.hpp"

#include <new>

namespace velmora {

// Thrown when an interpreter exception is pending.
struct PyError {};

[[noreturn]] inline void throw_pending() {
    throw PyError{};
}

// Checks the result of a C API call that returns a new reference.
inline Ref check(PyObject* result) {
    if (result == nullptr) {
        throw_pending();
    }
    return Ref::steal(result);
}

// Checks the status of a C API call that returns -1 on failure.
inline int check_status(int status) {
    if (status < 0) {
        throw_pending();
    }
    return status;
}

// Raises the KeyboardInterrupt (or whatever a signal handler raises) of a signal that arrived
// since the last check. Every loop that can run long calls it on each pass, so that Ctrl-C
// stops the loop within one pass even when no Python code runs inside it.
inline void check_signals() {
    check_status(PyErr_CheckSignals());
}

// Whether the pending exception is an interrupt rather than a failure: anything that is not an
// `Exception` (KeyboardInterrupt, SystemExit, ...). Code that falls back to another way on
// failure lets an interrupt through instead.
inline bool interrupt_pending() noexcept {
    return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception) == 0;
}

// Where a traceback entry says the failure happened: the qualified name of the function
// ("velmora.strokeSmith.SimulateKeyPress"), the source file and the line.
struct Site {
    const char* qualname;
    const char* file;
    int line;
};

// Adds a traceback entry for `site` to the pending exception.
void add_traceback(const Site& site) noexcept;

// Reports the pending exception and clears it: it is printed with its traceback through the
// interpreter's exception hook (and recorded as the last exception), then handed to the
// unraisable-exception hook with `qualname` as the object.
void report_unraisable(const char* qualname) noexcept;

// The pending exception, set aside while cleanup code runs (which may raise and clear
// exceptions of its own) and put back afterwards. Dropped if never put back.
//
// CPython 3.12 keeps a pending exception as one normalised instance; older interpreters keep
// the (type, value, traceback) triple, which may not be normalised yet. Each is taken and
// given back in its own form, untouched, so that what the caller sees is what was raised.
class SavedError {
  public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
#endif
    }

    explicit operator bool() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return bool(value_);
#else
        return bool(type_);
#endif
    }

    // Whether the saved exception is an instance of `cls` (or of a subclass).
    bool matches(Borrowed cls) const noexcept {
        return *this && PyErr_GivenExceptionMatches(saved_type(), cls.get());
    }

    // Makes the saved exception pending again.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
    }

    // Makes the saved exception pending again and keeps it saved as well: the same objects
    // are pending and saved.
    void restore_copy() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Ref::borrow(value_).release());
#else
        PyErr_Restore(Ref::borrow(type_).release(), Ref::borrow(value_).release(),
                      Ref::borrow(traceback_).release());
#endif
    }

    // Makes the saved exception pending again and throws it.
    [[noreturn]] void rethrow() {
        restore();
        throw_pending();
    }

    // Makes the saved exception the context of the one pending now, as the interpreter does
    // for an exception raised while another is being handled.
    void chain_under_pending() noexcept;

    // The saved exception as a normalised (type, value, traceback) triple, the traceback
    // also set on the value; the saved exception is gone afterwards. Any of the three may be
    // null.
    struct Triple {
        Ref type;
        Ref value;
        Ref traceback;
    };
    Triple take_normalised() noexcept;

  private:
    PyObject* saved_type() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return reinterpret_cast<PyObject*>(Py_TYPE(value_.get()));
#else
        return type_.get();
#endif
    }

#if PY_VERSION_HEX < 0x030C0000
    Ref type_;
    Ref traceback_;
#endif
    Ref value_;
};

// Converts what escaped a C++ body into a pending interpreter exception; returns nullptr.
PyObject* translate_exception() noexcept;

// Runs `body`, which returns a `Ref`, for an entry point that the interpreter calls. Any
// failure becomes a pending exception and a nullptr result.
template <class Body>
PyObject* entry_point(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        return translate_exception();
    }
}

// Runs `body`, which may throw; whatever escapes it leaves as `PyError` with a traceback entry
// for `site` added to the pending exception. Returns what `body` returns.
template <class Body>
decltype(auto) traced(const Site& site, Body&& body) {
    try {
        return body();
    } catch (...) {
        translate_exception();
        add_traceback(site);
        throw_pending();
    }
}

// `entry_point` for a function whose failures propagate to the caller: the exception that
// escapes `body` carries a traceback entry naming the function.
template <class Body>
PyObject* traced_entry_point(const Site& site, Body&& body) noexcept {
    return entry_point([&] { return traced(site, body); });
}

// Runs `body` under the report-and-swallow rule: whatever escapes it is reported as
// unraisable under `qualname` and cleared. Returns whether the body completed.
template <class Body>
bool report_failures(const char* qualname, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        translate_exception();
        report_unraisable(qualname);
        return false;
    }
}

} // namespace velmora
