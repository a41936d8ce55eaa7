// A small function type for methods of classes that a module builds by calling `type`.
//
// Built-in function objects do not bind to instances, and they cannot carry `__qualname__`
// or `__annotations__`. This type behaves like an ordinary Python function in both ways:
// fetched through an instance it returns a bound method, and it carries `__name__`,
// `__qualname__`, `__module__`, `__doc__`, `__annotations__` and the `__text_signature__`
// that `inspect.signature` reads. It is called through the vectorcall protocol; the
// implementation binds its own arguments (support/args.hpp).
#pragma once

#include "support/object.hpp"

namespace velmora {

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    const char* text_signature; // "(self, shape)", which `inspect.signature` reads
    vectorcallfunc implementation;
};

// Makes a function object of the module object `owner`, named `module_name` (a str), with the
// given annotations dict. The type itself is created on first use and kept for the life of the
// process; Python code cannot make instances of it.
Ref new_function(const FunctionSpec& spec, Borrowed owner, Borrowed module_name,
                 Borrowed annotations);

// The module object a function object was made for (borrowed; null for anything else).
PyObject* function_owner(PyObject* function) noexcept;

} // namespace velmora
