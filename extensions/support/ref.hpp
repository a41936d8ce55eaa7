// Object references: `Ref` owns one strong reference and gives it back when it goes out of
// scope; `Borrowed` names an object that somebody else keeps alive. A `Ref` can be moved but
// never copied, so every strong reference has exactly one owner at any time.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora {

class Borrowed {
  public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (the result of most C API calls); null stays null.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to an object kept alive elsewhere.
    static Ref borrow(Borrowed object) noexcept {
        Py_XINCREF(object.get());
        return Ref(object.get());
    }

    PyObject* get() const noexcept { return object_; }
    operator Borrowed() const noexcept { return Borrowed(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (for returning it to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Ref old(std::move(*this)); }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

} // namespace velmora
