// Python-visible functions of our modules, and the call context their bodies
// run in.
//
// A module declares each function once, as a `Def`: its name, the line of its
// definition, parameters, defaults, local variable names, docstring and body.
// The frame makes the function object (with `__code__`, `__defaults__`,
// `__globals__`, ... like a Python function), binds arguments with the
// interpreter's classic messages, and adds one traceback entry naming the
// module's file, the qualified function name and the failing line to every
// exception that leaves the body.
#pragma once

#include "frame/object.hpp"

#include <initializer_list>
#include <string>
#include <unordered_map>
#include <utility>

namespace frame {

class Module;

// A place that appears in tracebacks: one qualified name in one file, with a
// code object per reported line (made once, then reused).
class Site {
public:
    Site(const Module& module, std::string qualname) : module_(module), qualname_(std::move(qualname)) {}
    // Add the entry "file, line, qualname" to the traceback of the exception
    // being raised. Never fails: a failure to build the entry keeps the
    // original exception.
    void add_traceback(int line, PyObject* globals) noexcept;

private:
    // A new reference to the code object of `line`, or NULL with an
    // exception set.
    PyObject* code_at(int line) noexcept;

    const Module& module_;
    std::string qualname_;
    std::unordered_map<int, PyObject*> codes_;
};

// What a body sees while it runs: the current source line and the module
// namespace in which global names are resolved at the moment of use.
class Call {
public:
    Call(PyObject* globals, PyObject* builtins, int line) : globals_(globals), builtins_(builtins), line_(line) {}

    void at(int line) { line_ = line; }
    int line() const { return line_; }

    // A module-level name: the module namespace, then the builtins, else
    // NameError, looked up afresh on every use.
    Object global(const Name& name) const;
    // The same lookup without raising: an empty Object when the name is
    // unbound (fast paths use it to check their conditions).
    Object peek(const Name& name) const noexcept;
    void set_global(const Name& name, const Object& value) const;
    Object globals() const { return Object::borrow(globals_); }

private:
    PyObject* globals_;
    PyObject* builtins_;
    int line_;
};

// A default value, fixed when the module is initialised.
struct Default {
    constexpr Default(double v) : is_float(true), number(v), text(nullptr) {}
    constexpr Default(const char* s) : is_float(false), number(0), text(s) {}
    bool is_float;
    double number;
    const char* text;
};

constexpr int max_params = 8;

// A body with its parameters as separate arguments, adapted to one type:
// `Object f(Call&, Object a, Object b, ...)` runs as run(call, args), and
// takes `arity` arguments.
struct Body {
    Object (*run)(Call&, Object* args);
    std::size_t arity;
};

template <auto F>
struct BodyOf;

template <class... P, Object (*F)(Call&, P...)>
struct BodyOf<F> {
    static constexpr std::size_t arity = sizeof...(P);
    static Object run(Call& c, Object* a) { return run(c, a, std::index_sequence_for<P...>{}); }
    template <std::size_t... I>
    static Object run(Call& c, Object* a, std::index_sequence<I...>)
    {
        return F(c, std::move(a[I])...);
    }
};

template <auto F>
constexpr Body body{&BodyOf<F>::run, BodyOf<F>::arity};

namespace detail {

// The errors a declaration can have. Not constexpr: reaching one while a
// constexpr Def is compiled stops the build, and the error names it.
inline bool more_parameters_than_max_params() { throw 0; }
inline bool parameters_differ_from_the_body_in_number() { throw 0; }
inline bool more_defaults_than_parameters() { throw 0; }
inline bool variable_names_do_not_begin_with_the_parameters() { throw 0; }

constexpr bool same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr bool lead(std::initializer_list<const char*> params, std::initializer_list<const char*> varnames)
{
    if (varnames.size() < params.size()) return false;
    auto v = varnames.begin();
    for (const char* p : params)
        if (!same(p, *v++)) return false;
    return true;
}

}  // namespace detail

// Declaration of one module-level function. Declare it constexpr: its
// checks then run when it is compiled, and a malformed one does not build.
struct Def {
    const char* name;
    int line;  // line of the definition; binding errors report it
    std::initializer_list<const char*> params;
    std::initializer_list<Default> defaults;  // for the last len(defaults) params
    std::initializer_list<const char*> varnames;
    const char* doc;  // nullptr: no docstring
    Body body;
    // The checks, run when a constexpr Def is compiled.
    bool checked = params.size() > max_params        ? detail::more_parameters_than_max_params()
                   : params.size() != body.arity     ? detail::parameters_differ_from_the_body_in_number()
                   : defaults.size() > params.size() ? detail::more_defaults_than_parameters()
                   : !detail::lead(params, varnames) ? detail::variable_names_do_not_begin_with_the_parameters()
                                                     : true;
};

// The function type shared by both modules (one copy per module library).
// Creating a function object also prepares its code object and defaults.
Object make_function(const Def& def, Module& module);

// True when `o` is a function object made from `def` by this library.
bool is_function(PyObject* o, const Def& def);

}  // namespace frame
