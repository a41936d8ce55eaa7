// Declarative entry tables: each public function of a module is declared once, and its method
// definition, its argument binding, its qualified name and its traceback site all come from
// that one declaration.
//
//     constexpr auto entries = std::make_tuple(
//         entry(q_CrudeOpenWith, Form::keywords, Failure::report,
//               parameters(param<int>("tool_number", 4), param<int>("prog_index", 0)),
//               doc_CrudeOpenWith, crude_open_with),
//         ...);
//     MethodTable<module, entries> functions;   // functions.definitions() for the PyModuleDef
//
// The body is a plain function whose parameters are the declared ones, in order and of the
// declared types: `void crude_open_with(int tool_number, int prog_index)`. The types are
//   int       a signed 32-bit int, converted as `to_int32` does; a default is an int
//   float     the float conversion held in single precision; a default is its decimal text
//   Str, Tuple, Dict
//             exactly that built-in type, or None; a Str default is its text
//   Borrowed  any object, unconverted; a default is a `Literal` (False, (1920, 1080), ...)
// Numeric conversions run first, in parameter order, then the exact-type checks, in parameter
// order: a caller sees the first bad number before a wrong type. Conversion and binding
// errors carry a traceback entry naming the function; the exact-type errors do not.
//
// The failure rule says what happens to an exception that escapes the body:
//   Failure::propagate  it reaches the caller, with a traceback entry naming the function;
//   Failure::report     it is reported as unraisable under the function's qualified name and
//                       cleared; the call returns None (a body returning int gives 0).
// Binding errors always reach the caller, before the body runs.
//
// A method of a class the module builds (Form::method) is a function of the support layer's
// function type (support/function.hpp): its first parameter is the instance, and its table
// gives a `FunctionSpec` instead of a method definition.
//
// The signature that `inspect.signature` and `help` show comes from the declaration too: a
// function's docstring is handed to the interpreter behind a line "Name(a, b=1)" and a line
// "--", which the interpreter keeps as `__text_signature__` and leaves out of `__doc__`; a
// method carries it as `__text_signature__` of the function type.
//
// The build checks the first line of every docstring against its declaration: the name (a
// method's with its class, "MouseHelper.__init__"), each parameter as "int key_id",
// "float delay=0.2", "str caret='{!}'", or a bare name for any object ("show_window=False"),
// each optionally annotated ("x: int"), and the result: "-> int" for a body returning an int;
// "-> void", "-> None" or nothing for a body returning nothing; anything for an object.
#pragma once

#include "support/args.hpp"
#include "support/function.hpp"
#include "support/module.hpp"

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>
#include <version>
#ifdef __cpp_lib_source_location
#include <source_location>
#endif

namespace velmora {

// The calling forms: positional and keyword arguments bound by name, exactly one positional
// argument (the interpreter's METH_O), none at all (METH_NOARGS), or a method of a class,
// bound like `keywords` with the instance first. `one` and `none` keep the interpreter's own
// count and keyword messages.
enum class Form { keywords, one, none, method };

enum class Failure { propagate, report };

// Parameters that must be exactly one built-in type (or None).
struct Str : Borrowed {};
struct Tuple : Borrowed {};
struct Dict : Borrowed {};

// The default of an object parameter, as a Python literal: False, True or a tuple of ints;
// `Literal{}` is None. The object is made when first needed and kept for the life of
// the process.
struct Literal {
    enum class Kind { none, boolean, tuple };
    static constexpr std::size_t max_items = 4;

    Kind kind = Kind::none;
    std::array<long long, max_items> items{}; // the truth value, or the tuple's items
    std::size_t count = 0;                    // the tuple's length

    static constexpr Literal boolean(bool value) { return {Kind::boolean, {value ? 1 : 0}, 0}; }
    template <class... Items>
    static constexpr Literal tuple(Items... values) {
        static_assert(sizeof...(Items) <= max_items, "a longer tuple than a default may hold");
        return {Kind::tuple, {static_cast<long long>(values)...}, sizeof...(Items)};
    }

    // Makes the object; throws `PyError`.
    Ref make() const {
        switch (kind) {
        case Kind::none:
            return none();
        case Kind::boolean:
            return Ref::borrow(items[0] != 0 ? Py_True : Py_False);
        case Kind::tuple:
            break;
        }
        Ref made = check(PyTuple_New(Py_ssize_t(count)));
        for (std::size_t i = 0; i < count; ++i) {
            PyTuple_SET_ITEM(made.get(), Py_ssize_t(i),
                             check(PyLong_FromLongLong(items[i])).release());
        }
        return made;
    }
};

// A `Literal`'s object, made on first use and kept for the life of the process, as a `Name`'s
// interned str is.
class LiteralObject {
  public:
    constexpr explicit LiteralObject(const Literal& value) noexcept : value_(value) {}
    LiteralObject(const LiteralObject&) = delete;
    LiteralObject& operator=(const LiteralObject&) = delete;

    Borrowed get() const {
        if (object_ == nullptr) {
            // Making it may run a finalizer that needs the same default: the first object
            // stored is the one kept.
            Ref made = value_.make();
            if (object_ == nullptr) {
                object_ = made.release();
            }
        }
        return object_;
    }

  private:
    Literal value_;
    mutable PyObject* object_ = nullptr;
};

template <class T>
struct ParameterTraits {
    static_assert(std::is_same_v<T, Borrowed>, "unsupported parameter type");
    using Default = Literal;
    static constexpr const char* shown = nullptr; // a bare name in the docstring
};
template <>
struct ParameterTraits<int> {
    using Default = int;
    static constexpr const char* shown = "int";
};
template <>
struct ParameterTraits<float> {
    using Default = const char*;
    static constexpr const char* shown = "float";
};
template <>
struct ParameterTraits<Str> {
    using Default = const char*;
    static constexpr const char* shown = "str";
};
template <>
struct ParameterTraits<Tuple> {
    using Default = std::nullptr_t;
    static constexpr const char* shown = "tuple";
};
template <>
struct ParameterTraits<Dict> {
    using Default = std::nullptr_t;
    static constexpr const char* shown = "dict";
};

template <class T>
struct Parameter {
    using Type = T;
    const char* name;
    bool optional;
    typename ParameterTraits<T>::Default fallback;
};

// A required parameter.
template <class T>
constexpr Parameter<T> param(const char* name) {
    return Parameter<T>{name, false, {}};
}
// A parameter with a default.
template <class T>
constexpr Parameter<T> param(const char* name, typename ParameterTraits<T>::Default fallback) {
    static_assert(!std::is_same_v<typename ParameterTraits<T>::Default, std::nullptr_t>,
                  "a tuple or dict parameter takes no default");
    return Parameter<T>{name, true, fallback};
}

template <class... Types>
constexpr std::tuple<Parameter<Types>...> parameters(Parameter<Types>... declared) {
    return {declared...};
}

// The text after the last dot of a qualified name.
constexpr const char* short_name(const char* qualname) {
    const char* name = qualname;
    for (const char* at = qualname; *at != '\0'; ++at) {
        if (*at == '.') {
            name = at + 1;
        }
    }
    return name;
}

// The text after the next-to-last dot of a qualified name: a method's name with its class.
constexpr const char* class_and_name(const char* qualname) {
    const char* name = short_name(qualname);
    const char* start = qualname;
    for (const char* at = qualname; at + 1 < name; ++at) {
        if (*at == '.') {
            start = at + 1;
        }
    }
    return start;
}

template <class Body, class... Types>
struct Entry {
    const char* qualname; // "velmora.strokeSmith.CrudeOpenWith"
    Form form;
    Failure failure;
    std::tuple<Parameter<Types>...> parameters;
    const char* doc;
    Body* body;
    int line; // where the entry is declared: the line of its traceback entries

    constexpr const char* name() const { return short_name(qualname); }
    // The name a docstring shows: a method's with its class ("MouseHelper.__init__").
    constexpr const char* shown_name() const {
        return form == Form::method ? class_and_name(qualname) : name();
    }
};

// Where an entry is declared: its line goes into its traceback entries. A standard library
// without std::source_location (clang's MSVC mode on GCC's library, in the Windows
// cross-build) gives line 1, as the exec step's own traceback entry has.
#ifdef __cpp_lib_source_location
using DeclaredAt = std::source_location;
#else
struct DeclaredAt {
    static constexpr DeclaredAt current() noexcept { return DeclaredAt{}; }
    constexpr unsigned line() const noexcept { return 1; }
};
#endif

template <class Result, class... Types>
constexpr Entry<Result(Types...), Types...>
entry(const char* qualname, Form form, Failure failure, std::tuple<Parameter<Types>...> declared,
      const char* doc, Result (*body)(Types...), DeclaredAt at = DeclaredAt::current()) {
    return {qualname, form, failure, declared, doc, body, int(at.line())};
}

// Reached only for a float default whose text is not a decimal number. It is not constexpr,
// so reaching it while `decimal_float` is evaluated stops the build, naming the fault: a
// signed, exponent or mistyped text ("-1", "1e3", "0,2") would otherwise be read as some
// other number without a word, and the function would run with a default other than the one
// its docstring shows.
inline void float_default_is_not_a_decimal_number() {}

// Decimal text ("0.2") to a float, through the double nearest to it, as a compiler reads a
// literal of a few digits. The text is digits with at most one dot and at least one digit;
// anything else fails the build. Evaluated while compiling, even in a branch never taken: a
// parameter without a default (a null text) reads as 0.
consteval float decimal_float(const char* text) {
    if (text == nullptr) {
        return 0.0f;
    }
    double whole = 0;
    double scale = 1;
    bool fraction = false;
    bool digits = false;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '.') {
            if (fraction) {
                float_default_is_not_a_decimal_number();
            }
            fraction = true;
            continue;
        }
        if (*at < '0' || *at > '9') {
            float_default_is_not_a_decimal_number();
        }
        digits = true;
        whole = whole * 10 + (*at - '0');
        if (fraction) {
            scale *= 10;
        }
    }
    if (!digits) {
        float_default_is_not_a_decimal_number();
    }
    return float(whole / scale);
}

namespace entry_detail {

// Writes `value` in decimal to `out`, anything with `text(const char*)`.
template <class Out>
constexpr void write_number(Out& out, long long value) {
    char digits[24] = {};
    int count = 0;
    // The magnitude as unsigned: the most negative value has no positive counterpart.
    unsigned long long rest = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value);
    do {
        digits[count++] = char('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0) {
        out.text("-");
    }
    char forward[24] = {};
    for (int i = 0; i < count; ++i) {
        forward[i] = digits[count - 1 - i];
    }
    out.text(forward);
}

// Writes a `Literal` as Python shows it: None, True, False, (1920, 1080), (7,).
template <class Out>
constexpr void write_literal(Out& out, const Literal& value) {
    switch (value.kind) {
    case Literal::Kind::none:
        out.text("None");
        return;
    case Literal::Kind::boolean:
        out.text(value.items[0] != 0 ? "True" : "False");
        return;
    case Literal::Kind::tuple:
        break;
    }
    out.text("(");
    for (std::size_t i = 0; i < value.count; ++i) {
        out.text(i == 0 ? "" : ", ");
        write_number(out, value.items[i]);
    }
    out.text(value.count == 1 ? ",)" : ")");
}

// Whether a str default can stand between single quotes as it is.
constexpr bool plain_text(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text == '\'' || *text == '\\' || *text < ' ') {
            return false;
        }
    }
    return true;
}

// Writes "=<default>" of an optional parameter as a Python literal.
template <class Out, class T>
constexpr void write_default(Out& out, const Parameter<T>& declared) {
    if (!declared.optional) {
        return;
    }
    out.text("=");
    if constexpr (std::is_same_v<T, int>) {
        write_number(out, declared.fallback);
    } else if constexpr (std::is_same_v<T, float>) {
        out.text(declared.fallback);
    } else if constexpr (std::is_same_v<T, Str>) {
        out.text("'");
        out.text(declared.fallback);
        out.text("'");
    } else if constexpr (std::is_same_v<T, Borrowed>) {
        write_literal(out, declared.fallback);
    }
}

// Walks a docstring's first line, comparing it with the pieces of the expected one.
struct LineCheck {
    const char* at;
    bool ok = true;

    constexpr void text(const char* expected) {
        for (; ok && *expected != '\0'; ++expected, ++at) {
            ok = *at == *expected;
        }
    }
    // An annotation (": np.ndarray"), which the check does not read: up to the next comma,
    // equals sign or closing parenthesis outside brackets.
    constexpr void annotation() {
        if (!ok || *at != ':') {
            return;
        }
        int depth = 0;
        for (++at; *at != '\0' && *at != '\n'; ++at) {
            if (depth == 0 && (*at == ',' || *at == '=' || *at == ')')) {
                break;
            }
            depth += *at == '[' || *at == '(';
            depth -= *at == ']' || *at == ')';
        }
    }
    template <class T>
    constexpr void parameter(const Parameter<T>& declared) {
        if constexpr (ParameterTraits<T>::shown != nullptr) {
            text(ParameterTraits<T>::shown);
            text(" ");
        }
        text(declared.name);
        annotation();
        write_default(*this, declared);
    }
    // Whether the line ends here.
    constexpr bool ends() const { return ok && (*at == '\n' || *at == '\0'); }
};

// Whether the rest of a line shows the result `shown` (" -> int") and ends there.
constexpr bool result_is(LineCheck line, const char* shown) {
    line.text(" -> ");
    line.text(shown);
    return line.ends();
}

template <class Result, class... Types>
constexpr bool docstring_matches(const Entry<Result(Types...), Types...>& declared) {
    LineCheck line{declared.doc};
    line.text(declared.shown_name());
    line.text("(");
    std::apply(
        [&](const auto&... parameter) {
            bool first = true;
            ((line.text(first ? "" : ", "), line.parameter(parameter), first = false), ...);
        },
        declared.parameters);
    line.text(")");
    if (!line.ok) {
        return false;
    }
    if constexpr (std::is_void_v<Result>) {
        return line.ends() || result_is(line, "void") || result_is(line, "None");
    } else if constexpr (std::is_same_v<Result, int>) {
        return result_is(line, "int");
    } else {
        return true; // an object: the docstring names it freely, or not at all
    }
}

// Counts the characters of a text, and writes them too when given a buffer.
struct TextOut {
    char* out = nullptr;
    std::size_t length = 0;

    constexpr void text(const char* piece) {
        for (; *piece != '\0'; ++piece, ++length) {
            if (out != nullptr) {
                out[length] = *piece;
            }
        }
    }
};

// Writes an entry's signature as `inspect` reads it: "(key_id, key_scancode=0, times=1)",
// the parameters of a one-argument function positional-only ("(image, /)"). With `builtin`,
// writes the whole docstring of a built-in function: the name and that signature, the line
// "--" that ends it, and then the docstring as it is, which `__doc__` shows.
template <class Out, class Result, class... Types>
constexpr void write_signature(Out& out, const Entry<Result(Types...), Types...>& declared,
                               bool builtin) {
    if (builtin) {
        out.text(declared.name());
    }
    out.text("(");
    std::apply(
        [&](const auto&... parameter) {
            bool first = true;
            ((out.text(first ? "" : ", "), out.text(parameter.name), write_default(out, parameter),
              first = false),
             ...);
        },
        declared.parameters);
    out.text(declared.form == Form::one ? ", /)" : ")");
    if (builtin) {
        out.text("\n--\n\n");
        out.text(declared.doc);
    }
}

// Whether a parameter's default, if a str, can be shown between single quotes.
template <class T>
constexpr bool default_is_plain(const Parameter<T>& declared) {
    if constexpr (std::is_same_v<T, Str>) {
        return !declared.optional || plain_text(declared.fallback);
    } else {
        return true;
    }
}

template <class... Types>
constexpr bool defaults_are_plain(const std::tuple<Parameter<Types>...>& declared) {
    return std::apply([](const auto&... parameter) { return (default_is_plain(parameter) && ...); },
                      declared);
}

template <class... Types>
constexpr std::size_t required_count(const std::tuple<Parameter<Types>...>& declared) {
    return std::apply(
        [](const auto&... parameter) {
            std::size_t count = 0;
            bool optional_seen = false;
            ((optional_seen = optional_seen || parameter.optional, count += optional_seen ? 0 : 1),
             ...);
            return count;
        },
        declared);
}

template <class T>
constexpr bool numeric = std::is_same_v<T, int> || std::is_same_v<T, float>;

// The built-in type a parameter must be exactly.
template <class T>
PyTypeObject* exact_type() noexcept {
    if constexpr (std::is_same_v<T, Str>) {
        return &PyUnicode_Type;
    } else if constexpr (std::is_same_v<T, Tuple>) {
        return &PyTuple_Type;
    } else {
        return &PyDict_Type;
    }
}

} // namespace entry_detail

// The binding of the entries of a table `entries` (a tuple of `Entry`): each entry's calling
// form, its argument binding and conversion, and its failure rule. Every call goes through
// the readiness check of `lifecycle`. `MethodTable` and `ClassMethods` hand these to the
// interpreter.
template <ModuleLifecycle& lifecycle, const auto& entries>
class EntryBinding {
  protected:
    using Entries = std::remove_cvref_t<decltype(entries)>;
    static constexpr std::size_t count = std::tuple_size_v<Entries>;

    template <std::size_t I>
    static constexpr const auto& declared() noexcept {
        return std::get<I>(entries);
    }

    template <std::size_t I>
    static constexpr std::size_t parameter_count =
        std::tuple_size_v<std::remove_cvref_t<decltype(declared<I>().parameters)>>;

    // Checks the declaration of entry `I` at build time.
    template <std::size_t I>
    static constexpr void check_declaration() noexcept {
        static_assert(entry_detail::docstring_matches(declared<I>()),
                      "the docstring's first line does not match the declaration");
        static_assert(declared<I>().form != Form::one || parameter_count<I> == 1,
                      "a one-argument function has one parameter");
        static_assert(declared<I>().form != Form::none || parameter_count<I> == 0,
                      "a no-argument function has no parameters");
        static_assert(declared<I>().form != Form::method || parameter_count<I> >= 1,
                      "a method's first parameter is its instance");
        static_assert(parameter_count<I> <= Signature::max_parameters,
                      "more parameters than a signature holds");
        static_assert(entry_detail::defaults_are_plain(declared<I>().parameters),
                      "a str default shows as it is between single quotes");
    }

    // The signature text of entry `I`, as `write_signature` writes it, with its final NUL.
    template <std::size_t I, bool builtin>
    static constexpr std::size_t signature_length = [] {
        entry_detail::TextOut out;
        entry_detail::write_signature(out, declared<I>(), builtin);
        return out.length + 1;
    }();

    template <std::size_t I, bool builtin>
    static constexpr std::array<char, signature_length<I, builtin>> signature_text = [] {
        std::array<char, signature_length<I, builtin>> text{};
        entry_detail::TextOut out{text.data()};
        entry_detail::write_signature(out, declared<I>(), builtin);
        return text;
    }();

    template <std::size_t I>
    static PyObject* keywords_form(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
        return entry_point([&] { return bind_and_run<I>(args, std::size_t(nargs), kwnames); });
    }

    template <std::size_t I>
    static PyObject* one_form(PyObject*, PyObject* argument) noexcept {
        return entry_point([&] { return bind_and_run<I>(&argument, 1, nullptr); });
    }

    template <std::size_t I>
    static PyObject* none_form(PyObject*, PyObject*) noexcept {
        return entry_point([&] {
            std::tuple<> values;
            return run<I>(values);
        });
    }

    template <std::size_t I>
    static PyObject* method_form(PyObject*, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept {
        return entry_point([&] { return bind_and_run<I>(args, nargsf, kwnames); });
    }

  private:
    template <std::size_t I>
    static Site site() noexcept {
        return Site{declared<I>().qualname, lifecycle.source_file(), declared<I>().line};
    }

    // The default of parameter `P` of entry `I`, as the object or value the body receives.
    template <std::size_t I, std::size_t P>
    static auto fallback() {
        constexpr const auto& parameter = std::get<P>(declared<I>().parameters);
        using T = typename std::remove_cvref_t<decltype(parameter)>::Type;
        if constexpr (std::is_same_v<T, int>) {
            return parameter.optional ? parameter.fallback : 0;
        } else if constexpr (std::is_same_v<T, float>) {
            return parameter.optional ? decimal_float(parameter.fallback) : 0.0f;
        } else if constexpr (parameter.optional && std::is_same_v<T, Str>) {
            return Borrowed(default_text<I, P>);
        } else if constexpr (parameter.optional && std::is_same_v<T, Borrowed>) {
            return default_object<I, P>.get();
        } else {
            return Borrowed();
        }
    }

    // The bound arguments converted to the body's parameter types: numbers first, then the
    // exact-type checks, then the defaults of the objects not given.
    template <std::size_t I, std::size_t... P>
    static auto convert(const Arguments& arguments, std::index_sequence<P...>) {
        using Values = std::tuple<
            typename std::remove_cvref_t<decltype(std::get<P>(declared<I>().parameters))>::Type...>;
        Values values{};
        auto number = [&]<std::size_t Q>(std::integral_constant<std::size_t, Q>) {
            using T = std::tuple_element_t<Q, Values>;
            if constexpr (std::is_same_v<T, int>) {
                std::get<Q>(values) = arguments.int32(Q, fallback<I, Q>());
            } else if constexpr (std::is_same_v<T, float>) {
                std::get<Q>(values) = arguments.float32(Q, fallback<I, Q>());
            }
        };
        auto object = [&]<std::size_t Q>(std::integral_constant<std::size_t, Q>) {
            using T = std::tuple_element_t<Q, Values>;
            if constexpr (std::is_same_v<T, Borrowed>) {
                std::get<Q>(values) =
                    arguments[Q] != nullptr ? Borrowed(arguments[Q]) : fallback<I, Q>();
            } else if constexpr (!entry_detail::numeric<T>) {
                std::get<Q>(values) =
                    T{arguments.exact(Q, entry_detail::exact_type<T>(), fallback<I, Q>())};
            }
        };
        (number(std::integral_constant<std::size_t, P>{}), ...);
        (object(std::integral_constant<std::size_t, P>{}), ...);
        return values;
    }

    // Runs the body of entry `I` under its failure rule and makes the result object.
    template <std::size_t I, class Values>
    static Ref run(Values& values) {
        constexpr const auto& e = declared<I>();
        using Result = decltype(std::apply(e.body, values));
        if constexpr (e.failure == Failure::report) {
            static_assert(std::is_void_v<Result> || std::is_same_v<Result, int>,
                          "a reporting body returns nothing or an int");
            if constexpr (std::is_void_v<Result>) {
                report_failures(e.qualname, [&] { std::apply(e.body, values); });
                return none();
            } else {
                Result result{};
                report_failures(e.qualname, [&] { result = std::apply(e.body, values); });
                return new_int(result);
            }
        } else {
            const Site where = site<I>();
            if constexpr (std::is_void_v<Result>) {
                traced(where, [&] { std::apply(e.body, values); });
                return none();
            } else if constexpr (std::is_same_v<Result, int>) {
                return new_int(traced(where, [&] { return std::apply(e.body, values); }));
            } else {
                return traced(where, [&] { return std::apply(e.body, values); });
            }
        }
    }

    template <std::size_t I>
    static Ref bind_and_run(PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        Arguments arguments(signature<I>, args, nargsf, kwnames);
        auto values = convert<I>(arguments, std::make_index_sequence<parameter_count<I>>{});
        return run<I>(values);
    }

    // The binding of entry `I`: its names, its required count and its traceback site. Both are
    // made when the library loads, as namespace-scope objects are: no guarded function-local
    // static, whose thread-safe guard needs the runtime's thread-local storage.
    template <std::size_t I>
    static inline const std::array<Name, parameter_count<I>> parameter_names = std::apply(
        [](const auto&... parameter) {
            return std::array<Name, sizeof...(parameter)>{Name(parameter.name)...};
        },
        declared<I>().parameters);

    template <std::size_t I>
    static inline const Signature signature = std::apply(
        [](const auto&... name) {
            return Signature(declared<I>().name(), site<I>(), {&name...},
                             entry_detail::required_count(declared<I>().parameters));
        },
        parameter_names<I>);

    // The default text of Str parameter `P` of entry `I`, as an interned str.
    template <std::size_t I, std::size_t P>
    static inline const Name default_text{std::get<P>(declared<I>().parameters).fallback};

    // The default of object parameter `P` of entry `I`, made on first use.
    template <std::size_t I, std::size_t P>
    static inline const LiteralObject default_object{
        std::get<P>(declared<I>().parameters).fallback};
};

// The function table of a module, made from its entry table `entries`, whose forms are the
// function forms: `definitions()` for a PyModuleDef, or for functions made at initialisation.
template <ModuleLifecycle& lifecycle, const auto& entries>
class MethodTable : EntryBinding<lifecycle, entries> {
    using Base = EntryBinding<lifecycle, entries>;

  public:
    MethodTable() noexcept { fill(std::make_index_sequence<Base::count>{}); }
    PyMethodDef* definitions() noexcept { return definitions_.data(); }

  private:
    template <class Function>
    static PyCFunction plain(Function* function) noexcept {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
    }

    // The docstring the interpreter is given: the signature from the table, then the entry's
    // own docstring, which is what `__doc__` shows.
    template <std::size_t I>
    static const char* doc() noexcept {
        return Base::template signature_text<I, true>.data();
    }

    template <std::size_t I>
    static PyMethodDef definition() noexcept {
        Base::template check_declaration<I>();
        constexpr const auto& e = Base::template declared<I>();
        static_assert(e.form != Form::method, "a method belongs in a class's table");
        if constexpr (e.form == Form::keywords) {
            return {e.name(), plain(checked_fastcall<lifecycle, Base::template keywords_form<I>>),
                    METH_FASTCALL | METH_KEYWORDS, doc<I>()};
        } else if constexpr (e.form == Form::one) {
            return {e.name(), plain(checked_unary<lifecycle, Base::template one_form<I>>), METH_O,
                    doc<I>()};
        } else {
            return {e.name(), plain(checked_unary<lifecycle, Base::template none_form<I>>),
                    METH_NOARGS, doc<I>()};
        }
    }

    template <std::size_t... I>
    void fill(std::index_sequence<I...>) noexcept {
        definitions_ = {definition<I>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
    }

    std::array<PyMethodDef, Base::count + 1> definitions_{};
};

// The methods of a class that a module builds, made from its entry table `entries`, whose
// forms are all `Form::method`: `spec<I>()` describes the function object of entry `I`.
template <ModuleLifecycle& lifecycle, const auto& entries>
class ClassMethods : EntryBinding<lifecycle, entries> {
    using Base = EntryBinding<lifecycle, entries>;

  public:
    template <std::size_t I>
    static FunctionSpec spec() noexcept {
        Base::template check_declaration<I>();
        constexpr const auto& e = Base::template declared<I>();
        static_assert(e.form == Form::method, "a class's table holds methods");
        return FunctionSpec{e.name(), class_and_name(e.qualname), e.doc,
                            Base::template signature_text<I, false>.data(),
                            checked_method<lifecycle, Base::template method_form<I>>};
    }
};

} // namespace velmora
