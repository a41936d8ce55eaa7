#include "support/args.hpp"

#include <climits>
#include <cmath>
#include <limits>

namespace velmora {

namespace {

[[noreturn]] void raise_count_error(const Signature& signature, Py_ssize_t given) {
    const Py_ssize_t minimum = Py_ssize_t(signature.required);
    const Py_ssize_t maximum = Py_ssize_t(signature.count);
    Py_ssize_t expected = given < minimum ? minimum : maximum;
    const char* bound = given < minimum ? "at least" : "at most";
    if (minimum == maximum) {
        bound = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.name, bound, expected, expected == 1 ? "" : "s", given);
    throw_pending();
}

// True when the keyword `key` names `parameter`: the same object, or an equal str.
bool same_name(PyObject* key, PyObject* parameter) {
    if (key == parameter) {
        return true;
    }
    if (!PyUnicode_Check(key)) {
        return false;
    }
    int order = PyUnicode_Compare(key, parameter);
    if (order == -1 && PyErr_Occurred()) {
        throw_pending();
    }
    return order == 0;
}

// The value passed under the keyword `parameter`, or nullptr.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* parameter) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == parameter) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), parameter)) {
            return kwvalues[i];
        }
    }
    return nullptr;
}

// Goes through keywords left over after every parameter had its chance: a keyword that
// names a parameter not filled positionally is taken; anything else is an error.
void check_leftover_keywords(const Signature& signature, Py_ssize_t nargs, PyObject* kwnames,
                             PyObject* const* kwvalues,
                             std::array<PyObject*, Signature::max_parameters>& values) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool taken = false;
        for (std::size_t i = std::size_t(nargs); i < signature.count && !taken; ++i) {
            if (same_name(key, signature.parameters[i]->get())) {
                values[i] = kwvalues[k];
                taken = true;
            }
        }
        if (taken) {
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
            throw_pending();
        }
        for (std::size_t i = 0; i < std::size_t(nargs); ++i) {
            if (same_name(key, signature.parameters[i]->get())) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             signature.name, key);
                throw_pending();
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     signature.name, key);
        throw_pending();
    }
}

void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::array<PyObject*, Signature::max_parameters>& values) {
    if (nargs > Py_ssize_t(signature.count)) {
        raise_count_error(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[std::size_t(i)] = args[i];
    }
    if (kwnames == nullptr) {
        if (nargs < Py_ssize_t(signature.required)) {
            raise_count_error(signature, nargs);
        }
        return;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    for (std::size_t i = std::size_t(nargs); i < signature.count; ++i) {
        if (i >= signature.required && unused == 0) {
            break;
        }
        PyObject* value = keyword_value(kwnames, kwvalues, signature.parameters[i]->get());
        if (value != nullptr) {
            values[i] = value;
            --unused;
        } else if (i < signature.required) {
            // The count reported is the number of parameters filled before the gap.
            raise_count_error(signature, Py_ssize_t(i));
        }
    }
    if (unused > 0) {
        check_leftover_keywords(signature, nargs, kwnames, kwvalues, values);
    }
}

// Turns the result of `__int__` into an exact int, or raises.
Ref exact_int_result(Ref result) {
    if (PyLong_CheckExact(result.get())) {
        return result;
    }
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            throw_pending();
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result.get())->tp_name);
    throw_pending();
}

int long_to_int32(PyObject* number) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw_pending();
    }
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        throw_pending();
    }
    return int(value);
}

} // namespace

Signature::Signature(const char* name_, Site site_, std::initializer_list<const Name*> names,
                     std::size_t required_) noexcept
    : name(name_), site(site_), parameters{}, count(names.size()), required(required_) {
    std::size_t i = 0;
    for (const Name* parameter : names) {
        parameters[i++] = parameter;
    }
}

Arguments::Arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames)
    : signature_(signature) {
    std::array<PyObject*, Signature::max_parameters> bound{};
    try {
        bind(signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    } catch (const PyError&) {
        add_traceback(signature.site);
        throw;
    }
    for (std::size_t i = 0; i < bound.size(); ++i) {
        Py_XINCREF(bound[i]);
        values_[i] = bound[i];
    }
}

int Arguments::int32(std::size_t index, int fallback) const {
    if (values_[index] == nullptr) {
        return fallback;
    }
    try {
        return to_int32(values_[index]);
    } catch (const PyError&) {
        add_traceback(signature_.site);
        throw;
    }
}

float Arguments::float32(std::size_t index, float fallback) const {
    if (values_[index] == nullptr) {
        return fallback;
    }
    try {
        return to_float32(values_[index]);
    } catch (const PyError&) {
        add_traceback(signature_.site);
        throw;
    }
}

Borrowed Arguments::exact(std::size_t index, PyTypeObject* type, Borrowed fallback) const {
    Borrowed value = get(index, fallback);
    require_exact(value, type, signature_.parameters[index]->text());
    return value;
}

int to_int32(Borrowed value) {
    PyObject* object = value.get();
    if (PyLong_Check(object)) {
        return long_to_int32(object);
    }
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        throw_pending();
    }
    PyObject* result = number->nb_int(object);
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        throw_pending();
    }
    Ref integer = exact_int_result(Ref::steal(result));
    return long_to_int32(integer.get());
}

float to_float32(Borrowed value) {
    double number = PyFloat_CheckExact(value.get()) ? PyFloat_AS_DOUBLE(value.get())
                                                    : PyFloat_AsDouble(value.get());
    if (number == -1.0 && PyErr_Occurred()) {
        throw_pending();
    }
    // Narrow as IEEE hardware rounds: doubles past the largest float (by half a unit in the
    // last place or more) become infinities; a plain cast of those is undefined in C++.
    constexpr double overflow_threshold = 0x1.ffffffp127;
    if (std::fabs(number) >= overflow_threshold) {
        return std::copysign(std::numeric_limits<float>::infinity(), float(number > 0 ? 1 : -1));
    }
    return float(number);
}

void require_exact(Borrowed value, PyTypeObject* type, const char* parameter) {
    PyObject* object = value.get();
    if (object == Py_None || Py_TYPE(object) == type) {
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 type->tp_name, Py_TYPE(object)->tp_name);
    throw_pending();
}

} // namespace velmora
