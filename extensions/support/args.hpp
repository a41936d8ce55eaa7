// Argument binding for functions called through the vectorcall protocol.
//
// Positional arguments fill the parameters in order; keywords fill the rest by name. The
// errors are the ones callers of these modules have always seen:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
// Count, keyword and numeric-conversion errors carry a traceback entry naming the function;
// the exact-type test of a str, tuple or dict parameter does not.
#pragma once

#include "support/object.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace velmora {

struct Signature {
    static constexpr std::size_t max_parameters = 8;

    const char* name; // as messages show it: "SimulateKeyPress"
    Site site;        // the traceback entry for binding and conversion errors
    std::array<const Name*, max_parameters> parameters;
    std::size_t count;    // number of parameters
    std::size_t required; // the first `required` parameters have no default

    Signature(const char* name, Site site, std::initializer_list<const Name*> parameters,
              std::size_t required) noexcept;
};

// The arguments of one call, bound to a signature. Each bound value is held for as long as
// the bound arguments live: the body may run code that drops every other reference to it
// (an argument of the caller's stack may be borrowed from an object that dies mid-call).
class Arguments {
  public:
    // Binds; throws `PyError` (with the traceback entry) on a count or keyword error.
    Arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf,
              PyObject* kwnames);
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() {
        for (PyObject* value : values_) {
            Py_XDECREF(value);
        }
    }

    // The argument bound to parameter `index`, or nullptr when it was not given.
    PyObject* operator[](std::size_t index) const noexcept { return values_[index]; }
    // The argument, or `fallback` when it was not given.
    Borrowed get(std::size_t index, Borrowed fallback) const noexcept {
        return values_[index] != nullptr ? Borrowed(values_[index]) : fallback;
    }

    // The argument as a signed 32-bit int (see `to_int32`), or `fallback` when not given.
    int int32(std::size_t index, int fallback) const;
    // The argument through the float conversion, held in single precision.
    float float32(std::size_t index, float fallback) const;
    // Requires the argument (or the fallback) to be exactly of `type`, or None.
    Borrowed exact(std::size_t index, PyTypeObject* type, Borrowed fallback) const;

  private:
    const Signature& signature_;
    std::array<PyObject*, Signature::max_parameters> values_{};
};

// Converts to a signed 32-bit int: an int (or a subclass such as bool) by value, any other
// object through its `__int__`. Throws `PyError` with TypeError "an integer is required",
// TypeError "__int__ returned non-int (type ...)" or the interpreter's OverflowError.
int to_int32(Borrowed value);

// The interpreter's float conversion, narrowed to single precision. Throws `PyError`.
float to_float32(Borrowed value);

// Raises the incorrect-type TypeError unless `value` is exactly `type` or None.
void require_exact(Borrowed value, PyTypeObject* type, const char* parameter);

} // namespace velmora
