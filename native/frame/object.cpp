#include "frame/object.hpp"

#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

namespace frame {

void raise()
{
    // Only reached with an exception set; make sure of it so that a NULL
    // return is never left without one.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw Error{};
}

void raise(PyObject* type, const char* format, ...)
{
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw Error{};
}

void set_python_error() noexcept
{
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a size beyond what the platform can allocate
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

Object Object::call(std::initializer_list<Object> args, std::initializer_list<Keyword> kwargs) const
{
    std::vector<PyObject*> raw(1 + args.size() + kwargs.size());
    std::size_t i = 1;
    for (const Object& a : args) raw[i++] = a.get();
    Object names = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const Keyword& kw : kwargs) {
        PyObject* n = kw.name.get();
        Py_INCREF(n);
        PyTuple_SET_ITEM(names.get(), k++, n);
        raw[i++] = kw.value.get();
    }
    return steal(PyObject_Vectorcall(p_, raw.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwargs.size() ? names.get() : nullptr));
}

namespace {

// A new tuple or list holding `items`, filled with the type's own SET_ITEM.
template <class Set>
Object sequence(PyObject* created, std::initializer_list<Object> items, Set set)
{
    Object seq = Object::steal(created);
    Py_ssize_t i = 0;
    for (const Object& o : items) {
        Py_INCREF(o.get());
        set(seq.get(), i++, o.get());
    }
    return seq;
}

}  // namespace

Object tuple(std::initializer_list<Object> items)
{
    return sequence(PyTuple_New(static_cast<Py_ssize_t>(items.size())), items,
                    [](PyObject* t, Py_ssize_t i, PyObject* o) { PyTuple_SET_ITEM(t, i, o); });
}

Object list(std::initializer_list<Object> items)
{
    return sequence(PyList_New(static_cast<Py_ssize_t>(items.size())), items,
                    [](PyObject* l, Py_ssize_t i, PyObject* o) { PyList_SET_ITEM(l, i, o); });
}

Object slice(const Object& start, const Object& stop, const Object& step)
{
    return Object::steal(PySlice_New(start.get(), stop.get(), step.get()));
}

bool next(const Object& it, Object& item)
{
    PyObject* p = PyIter_Next(it.get());
    if (!p) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    item = Object::steal(p);
    return true;
}

[[noreturn]] static void too_few(Py_ssize_t got)
{
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

void unpack(const Object& seq, Object* out, Py_ssize_t n)
{
    PyObject* s = seq.get();
    if (PyTuple_CheckExact(s) || PyList_CheckExact(s)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(s);
        if (size > n) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        if (size < n) too_few(size);
        PyObject** items = PySequence_Fast_ITEMS(s);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Object::borrow(items[i]);
        return;
    }
    Object it = iter(seq);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next(it, out[i])) too_few(i);
    Object extra;
    if (next(it, extra)) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
}

Object import(const char* name, bool from_list)
{
    Object n = Object(name);
    Object from = from_list ? tuple({Object("*")}) : Object();
    return Object::steal(PyImport_ImportModuleLevelObject(n.get(), nullptr, nullptr, from.get(), 0));
}

}  // namespace frame
