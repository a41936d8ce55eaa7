// The object operations the module bodies are written in: interned names, attribute access,
// calls, truth tests, lengths, indexing, slicing, arithmetic, text, unpacking and small
// constructors. Each throws `PyError` when the interpreter raises, so a body reads as the
// sequence of its steps.
#pragma once

#include "support/errors.hpp"
#include "support/remembered.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
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

    // `dict[name]` (borrowed), or null with no exception set when missing: the last lookup
    // of this name, remembered while the dictionary is unchanged (support/remembered.hpp).
    PyObject* find_in(PyObject* dict) const { return found_.find(dict, get()); }

  private:
    const char* text_;
    bool dunder_;
    mutable PyObject* object_ = nullptr;
    RememberedLookup found_;
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

inline Ref new_int(long value);

// An operand of the operations below: an object, or a C integer, which becomes an int object
// for the length of the operation (the interpreter shares the small ones). Constants that
// only C++ reads stay plain C values; the operation makes the object where Python needs one.
class Operand {
  public:
    Operand(PyObject* object) noexcept : object_(object) {}
    Operand(Borrowed object) noexcept : object_(object.get()) {}
    Operand(const Ref& object) noexcept : object_(object.get()) {}
    Operand(const Name& name) : object_(name.get()) {}
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) Operand(T value)
        : owned_(new_int(long(value))), object_(owned_.get()) {}
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;

    PyObject* get() const noexcept { return object_; }

  private:
    Ref owned_;
    PyObject* object_;
};
inline PyObject* as_object(const Operand& operand) noexcept {
    return operand.get();
}

// `object.name`
inline Ref getattr(Borrowed object, const Name& name) {
    // A module's own attributes are the entries of its namespace: the module type and `object`
    // define no attribute outside the `__dunder__` names. Read them straight from the
    // namespace; anything else (and a name the namespace lacks, for the module's
    // `__getattr__` and the error) takes the interpreter's attribute lookup.
    if (!name.dunder() && PyModule_CheckExact(object.get())) {
        // A module object made without its initialiser has no namespace yet (CPython 3.10).
        PyObject* namespace_dict = PyModule_GetDict(object.get());
        PyObject* value = namespace_dict != nullptr ? name.find_in(namespace_dict) : nullptr;
        if (value != nullptr) {
            return Ref::borrow(value);
        }
    }
    return check(PyObject_GetAttr(object.get(), name.get()));
}

// `object.name = value`
inline void setattr(Borrowed object, const Name& name, const Operand& value) {
    check_status(PyObject_SetAttr(object.get(), name.get(), value.get()));
}

// Calls `function` with the objects of `held`, the last `keyword_names` of them (a tuple of
// str, or null) passed by keyword, through the vectorcall protocol.
template <std::size_t N>
Ref vectorcall(Borrowed function, const std::array<Operand, N>& held, Borrowed keyword_names) {
    std::array<PyObject*, N + 1> stack{}; // the first slot free, for a bound method's `self`
    for (std::size_t i = 0; i < N; ++i) {
        stack[i + 1] = held[i].get();
    }
    const Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names.get()) : 0;
    return check(
        PyObject_Vectorcall(function.get(), stack.data() + 1,
                            std::size_t(Py_ssize_t(N) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                            keyword_names.get()));
}

// `function(*args)`: positional arguments only.
template <class... Args>
Ref call(Borrowed function, const Args&... args) {
    return vectorcall(function, std::array<Operand, sizeof...(Args)>{Operand(args)...}, nullptr);
}

// `function(*args, **kwargs)`, the keyword names given as a tuple of str that matches the
// trailing values.
template <class... Args>
Ref call_with_keywords(Borrowed function, Borrowed keyword_names, const Args&... args) {
    return vectorcall(function, std::array<Operand, sizeof...(Args)>{Operand(args)...},
                      keyword_names);
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
inline bool compare(const Operand& a, const Operand& b, int op) {
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), op)) != 0;
}

// `isinstance(object, cls)`
inline bool isinstance(Borrowed object, Borrowed cls) {
    return check_status(PyObject_IsInstance(object.get(), cls.get())) != 0;
}

// `len(object)`
inline Py_ssize_t length(Borrowed object) {
    const Py_ssize_t size = PyObject_Length(object.get());
    if (size < 0) {
        throw_pending();
    }
    return size;
}

// `object[key]`
inline Ref getitem(Borrowed object, const Operand& key) {
    return check(PyObject_GetItem(object.get(), key.get()));
}

// `object[key] = value`
inline void setitem(Borrowed object, Borrowed key, Borrowed value) {
    check_status(PyObject_SetItem(object.get(), key.get(), value.get()));
}

// `slice(start, stop)`, either bound left open when null.
inline Ref new_slice(Borrowed start, Borrowed stop) {
    return check(PySlice_New(start.get(), stop.get(), nullptr));
}

// `object[start:stop]`, either bound left open when null.
inline Ref slice(Borrowed object, Borrowed start, Borrowed stop) {
    return getitem(object, new_slice(start, stop));
}

// `a + b`, `a - b`, `a * b`, `a / b`, `a & b`, `a | b`: the interpreter's binary operators.
inline Ref add(const Operand& a, const Operand& b) {
    return check(PyNumber_Add(a.get(), b.get()));
}
inline Ref subtract(const Operand& a, const Operand& b) {
    return check(PyNumber_Subtract(a.get(), b.get()));
}
inline Ref multiply(const Operand& a, const Operand& b) {
    return check(PyNumber_Multiply(a.get(), b.get()));
}
inline Ref true_divide(const Operand& a, const Operand& b) {
    return check(PyNumber_TrueDivide(a.get(), b.get()));
}
inline Ref bitwise_and(const Operand& a, const Operand& b) {
    return check(PyNumber_And(a.get(), b.get()));
}
inline Ref bitwise_or(const Operand& a, const Operand& b) {
    return check(PyNumber_Or(a.get(), b.get()));
}

// `abs(a)` and `~a`
inline Ref absolute(Borrowed a) {
    return check(PyNumber_Absolute(a.get()));
}
inline Ref bitwise_not(Borrowed a) {
    return check(PyNumber_Invert(a.get()));
}

// `f"{object}"`, which is `format(object, "")`.
inline Ref format(Borrowed object) {
    return check(PyObject_Format(object.get(), nullptr));
}

// `separator.join(items)` for a str separator.
inline Ref str_join(Borrowed separator, Borrowed items) {
    return check(PyUnicode_Join(separator.get(), items.get()));
}

// `first, second, ... = iterable` with `N` targets. A tuple or list must hold exactly `N`
// items; anything else is iterated, and at most `N + 1` items are pulled from it (the last
// only to learn that there is one too many). The errors are the interpreter's.
template <std::size_t N>
std::array<Ref, N> unpack(Borrowed iterable) {
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(N));
        throw_pending();
    };
    auto too_few = [](Py_ssize_t count) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                     count == 1 ? "" : "s");
        throw_pending();
    };
    std::array<Ref, N> items;
    PyObject* object = iterable.get();
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size > Py_ssize_t(N)) {
            too_many();
        }
        if (size < Py_ssize_t(N)) {
            too_few(size);
        }
        PyObject** stored = PySequence_Fast_ITEMS(object);
        for (std::size_t i = 0; i < N; ++i) {
            items[i] = Ref::borrow(stored[i]);
        }
        return items;
    }
    Ref iterator = check(PyObject_GetIter(object));
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) {
                throw_pending();
            }
            too_few(Py_ssize_t(i));
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        too_many();
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
    return items;
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
