// Owned Python references and the handful of operations that module bodies
// and function bodies are written in, so that a body reads like the Python it
// implements. Every operation that fails throws `Error`: the Python exception
// is already set, and the owned references unwind on the way out to the
// function boundary, which turns it back into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace frame {

// Thrown when a Python exception is set; carries nothing else.
struct Error {};

[[noreturn]] void raise();
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Inside a catch block: sets the Python exception for the C++ exception being
// handled (Error: already set; failed or impossible allocations: MemoryError;
// anything else: SystemError), so that the caller can return NULL or -1.
void set_python_error() noexcept;

inline PyObject* check(PyObject* p)
{
    if (!p) raise();
    return p;
}

inline int check(int status)
{
    if (status < 0) raise();
    return status;
}

// An interned identifier, created on first use and kept for the life of the
// process (the modules refuse a second interpreter, so one copy is enough).
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const
    {
        if (!object_) object_ = check(PyUnicode_InternFromString(text_));
        return object_;
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

struct Keyword;

class Object {
public:
    Object() noexcept = default;
    Object(const Object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Object(Object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Object() { Py_XDECREF(p_); }
    Object& operator=(Object o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }

    // Conversions of C++ values, as a Python literal would make them.
    Object(double v) : p_(check(PyFloat_FromDouble(v))) {}
    Object(int v) : p_(check(PyLong_FromLong(v))) {}
    Object(long v) : p_(check(PyLong_FromLong(v))) {}
    Object(long long v) : p_(check(PyLong_FromLongLong(v))) {}
    Object(bool v) : p_(v ? Py_True : Py_False) { Py_INCREF(p_); }
    Object(const char* s) : p_(check(PyUnicode_FromString(s))) {}
    Object(const Name& n) : p_(n.get()) { Py_INCREF(p_); }

    static Object steal(PyObject* p) { return Object(check(p), 0); }
    static Object borrow(PyObject* p)
    {
        Py_INCREF(check(p));
        return Object(p, 0);
    }
    static Object none() { return borrow(Py_None); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    bool is_none() const noexcept { return p_ == Py_None; }

    Object attr(const Name& n) const { return steal(PyObject_GetAttr(p_, n.get())); }
    void set_attr(const Name& n, const Object& v) const { check(PyObject_SetAttr(p_, n.get(), v.get())); }
    Object operator[](const Object& key) const { return steal(PyObject_GetItem(p_, key.get())); }
    void set_item(const Object& key, const Object& v) const { check(PyObject_SetItem(p_, key.get(), v.get())); }

    // Positional call: f(a, b, ...)
    template <class... A>
    Object operator()(const A&... a) const
    {
        const Object args[] = {Object(a)..., Object()};
        PyObject* raw[sizeof...(A) + 1];
        if constexpr (sizeof...(A) > 0)
            for (std::size_t i = 0; i < sizeof...(A); ++i) raw[i + 1] = args[i].get();
        return steal(PyObject_Vectorcall(p_, raw + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // Call with keywords: f.call({a, b}, {{name, value}, ...})
    Object call(std::initializer_list<Object> args, std::initializer_list<Keyword> kwargs) const;

private:
    Object(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

struct Keyword {
    const Name& name;
    Object value;
};

// Python truth value, `bool(o)`.
inline bool truth(const Object& o) { return check(PyObject_IsTrue(o.get())) != 0; }

// Arithmetic, with Python's binary operators (NumPy arrays broadcast).
inline Object operator+(const Object& a, const Object& b) { return Object::steal(PyNumber_Add(a.get(), b.get())); }
inline Object operator-(const Object& a, const Object& b) { return Object::steal(PyNumber_Subtract(a.get(), b.get())); }
inline Object operator*(const Object& a, const Object& b) { return Object::steal(PyNumber_Multiply(a.get(), b.get())); }
inline Object operator/(const Object& a, const Object& b)
{
    return Object::steal(PyNumber_TrueDivide(a.get(), b.get()));
}
inline Object operator|(const Object& a, const Object& b) { return Object::steal(PyNumber_Or(a.get(), b.get())); }
inline Object pow(const Object& a, const Object& b) { return Object::steal(PyNumber_Power(a.get(), b.get(), Py_None)); }
inline Object neg(const Object& a) { return Object::steal(PyNumber_Negative(a.get())); }

// Rich comparisons return objects (arrays compare element-wise).
inline Object lt(const Object& a, const Object& b)
{
    return Object::steal(PyObject_RichCompare(a.get(), b.get(), Py_LT));
}
inline Object eq(const Object& a, const Object& b)
{
    return Object::steal(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
}

// `int(o)`
inline Object to_int(const Object& o) { return Object::steal(PyNumber_Long(o.get())); }

// Builders for literals.
Object tuple(std::initializer_list<Object> items);
Object list(std::initializer_list<Object> items = {});
inline Object dict() { return Object::steal(PyDict_New()); }
Object slice(const Object& start, const Object& stop, const Object& step);

// Iteration: `for (Object i; next(it, i);)` after `Object it = iter(seq);`.
inline Object iter(const Object& o) { return Object::steal(PyObject_GetIter(o.get())); }
bool next(const Object& it, Object& item);

// `a, b = seq`: unpack exactly `n` items, with the interpreter's messages.
void unpack(const Object& seq, Object* out, Py_ssize_t n);

// `import name` (absolute); with `star`, `from name import *` semantics of the
// import itself (the leaf module is returned).
Object import(const char* name, bool from_list = false);

}  // namespace frame
