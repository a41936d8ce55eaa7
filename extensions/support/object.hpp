// The object operations the module bodies are written in: interned names, attribute access,
// calls, truth tests and small constructors. Each throws `PyError` when the interpreter
// raises, so a body reads as the sequence of its steps.
#pragma once

#include "support/errors.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace velmora {

// An interned str made from a literal the first time it is used and kept for the life of
// the process (the modules are never unloaded).
class Name {
  public:
    constexpr explicit Name(const char* text) noexcept
        : text_(text), dunder_(text[0] == '_' && text[1] == '_') {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const noexcept { return text_; }
    // Whether the name starts with two underscores, as the interpreter's own attributes do.
    bool dunder() const noexcept { return dunder_; }
    PyObject* get() const {
        if (object_ == nullptr) {
            object_ = PyUnicode_InternFromString(text_);
            if (object_ == nullptr) {
                throw_pending();
            }
        }
        return object_;
    }
    operator Borrowed() const { return Borrowed(get()); }

  private:
    const char* text_;
    bool dunder_;
    mutable PyObject* object_ = nullptr;
};

inline PyObject* as_object(Borrowed object) noexcept {
    return object.get();
}
inline PyObject* as_object(const Ref& object) noexcept {
    return object.get();
}
inline PyObject* as_object(const Name& name) {
    return name.get();
}
inline PyObject* as_object(PyObject* object) noexcept {
    return object;
}

// `object.name`
inline Ref getattr(Borrowed object, const Name& name) {
    // A module's own attributes are the entries of its namespace: the module type and `object`
    // define no attribute outside the `__dunder__` names. Read them straight from the
    // namespace; anything else (and a name the namespace lacks, for the module's
    // `__getattr__` and the error) takes the interpreter's attribute lookup.
    if (!name.dunder() && PyModule_CheckExact(object.get())) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(object.get()), name.get());
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            throw_pending();
        }
    }
    return check(PyObject_GetAttr(object.get(), name.get()));
}

// `object.name = value`
inline void setattr(Borrowed object, const Name& name, Borrowed value) {
    check_status(PyObject_SetAttr(object.get(), name.get(), value.get()));
}

// `function(*args)`: positional arguments only.
template <class... Args>
Ref call(Borrowed function, const Args&... args) {
    std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, as_object(args)...};
    return check(PyObject_Vectorcall(function.get(), stack.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `function(*args, **kwargs)`, the keyword names given as a tuple of str that matches the
// trailing values.
template <class... Args>
Ref call_with_keywords(Borrowed function, Borrowed keyword_names, const Args&... args) {
    std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, as_object(args)...};
    Py_ssize_t positional = Py_ssize_t(sizeof...(Args)) - PyTuple_GET_SIZE(keyword_names.get());
    return check(PyObject_Vectorcall(function.get(), stack.data() + 1,
                                     size_t(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     keyword_names.get()));
}

// `object.name(*args)`
template <class... Args>
Ref call_method(Borrowed object, const Name& name, const Args&... args) {
    Ref method = getattr(object, name);
    return call(method, args...);
}

// `bool(object)`
inline bool truthy(Borrowed object) {
    return check_status(PyObject_IsTrue(object.get())) != 0;
}

// `a == b`, `a < b` and friends, as a truth value.
inline bool compare(Borrowed a, Borrowed b, int op) {
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), op)) != 0;
}

// `isinstance(object, cls)`
inline bool isinstance(Borrowed object, Borrowed cls) {
    return check_status(PyObject_IsInstance(object.get(), cls.get())) != 0;
}

inline Ref new_int(long value) {
    return check(PyLong_FromLong(value));
}
inline Ref new_float(double value) {
    return check(PyFloat_FromDouble(value));
}
inline Ref new_str(const char* text) {
    return check(PyUnicode_FromString(text));
}
inline Ref none() {
    return Ref::borrow(Py_None);
}

// `(items...)`: a new tuple holding the given objects.
template <class... Items>
Ref new_tuple(const Items&... items) {
    return check(PyTuple_Pack(sizeof...(Items), as_object(items)...));
}

// A tuple of keyword names, made once and kept for the life of the process.
template <std::size_t N>
class KeywordNames {
  public:
    template <class... Texts>
    constexpr explicit KeywordNames(const Texts&... names) noexcept : names_{&names...} {}

    Borrowed get() const {
        if (tuple_ == nullptr) {
            Ref tuple = check(PyTuple_New(N));
            for (std::size_t i = 0; i < N; ++i) {
                PyObject* name = names_[i]->get();
                Py_INCREF(name);
                PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), name);
            }
            tuple_ = tuple.release();
        }
        return tuple_;
    }

  private:
    std::array<const Name*, N> names_;
    mutable PyObject* tuple_ = nullptr;
};

template <class... Texts>
KeywordNames(const Texts&...) -> KeywordNames<sizeof...(Texts)>;

} // namespace velmora
