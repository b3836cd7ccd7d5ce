#include "frame/function.hpp"

#include "frame/module.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>

namespace frame {

// ---------------------------------------------------------------------------
// Traceback entries

namespace {

// The exception being raised, set aside while the entry is built (the API
// calls involved must not run with an exception set) and then put back.
// From 3.12 on the exception object carries its own type and traceback, and
// the (type, value, traceback) triple is deprecated.
class Propagating {
public:
    Propagating() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    Propagating(const Propagating&) = delete;
    Propagating& operator=(const Propagating&) = delete;
    // Puts it back in place of whatever is set now.
    ~Propagating()
    {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

PyFrameObject* new_frame(PyObject* code, PyObject* globals)
{
    if (!code) return nullptr;
    return PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
}

}  // namespace

void Site::add_traceback(int line, PyObject* globals) noexcept
{
    PyFrameObject* frame;
    {
        // A failure to build the entry leaves the propagating exception as it was.
        Propagating propagating;
        PyObject* code = code_at(line);
        frame = new_frame(code, globals);
        Py_XDECREF(code);
    }
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject* Site::code_at(int line) noexcept
{
    auto found = codes_.find(line);
    if (found != codes_.end()) {
        Py_INCREF(found->second);
        return found->second;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_.file(), qualname_.c_str(), line));
    if (!code) return nullptr;
    // Out of memory for the cache entry: the code object serves this entry
    // only, and the next one makes it again.
    try {
        codes_.emplace(line, code);
        Py_INCREF(code);
    } catch (...) {
    }
    return code;
}

// ---------------------------------------------------------------------------
// Global names

Object Call::global(const Name& name) const
{
    PyObject* key = name.get();
    PyObject* v = PyDict_GetItemWithError(globals_, key);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_, key);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        raise();
    }
    return Object::borrow(v);
}

Object Call::peek(const Name& name) const noexcept
{
    try {
        PyObject* v = PyDict_GetItemWithError(globals_, name.get());
        if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_, name.get());
        if (v) return Object::borrow(v);
    } catch (const Error&) {
    }
    PyErr_Clear();
    return Object();
}

void Call::set_global(const Name& name, const Object& value) const
{
    check(PyDict_SetItem(globals_, name.get(), value.get()));
}

// ---------------------------------------------------------------------------
// The function object

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Def* def;
    Module* module;
    Site* site;
    PyObject* globals;        // the module namespace
    PyObject* call_defaults;  // the defaults calls use, fixed at initialisation
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;  // __defaults__ as shown; assigning it changes no call
    PyObject* kwdefaults;
    PyObject* code;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

[[noreturn]] void count_error(const Def& def, const char* word, Py_ssize_t expected, Py_ssize_t given)
{
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, word, expected,
          expected == 1 ? "" : "s", given);
}

// Binds P positional and the keyword arguments to the parameters, in the
// classic order: too many positionals first, then each keyword in call order,
// then defaults, then the first missing required parameter.
void bind(FunctionObject* f, PyObject* const* args, Py_ssize_t P, PyObject* kwnames, Object* out)
{
    const Def& def = *f->def;
    const Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    const Py_ssize_t nd = PyTuple_GET_SIZE(f->call_defaults);
    const Py_ssize_t m = n - nd;
    const Py_ssize_t K = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const bool exact = m == n;

    if (K == 0) {
        if (P < m) count_error(def, exact ? "exactly" : "at least", m, P);
        if (P > n) count_error(def, exact ? "exactly" : "at most", n, P);
    } else if (P > n) {
        count_error(def, exact ? "exactly" : "at most", n, P);
    }
    for (Py_ssize_t i = 0; i < P; ++i) out[i] = Object::borrow(args[i]);

    for (Py_ssize_t j = 0; j < K; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        Py_ssize_t i = 0;
        for (const char* p : def.params) {
            if (PyUnicode_CompareWithASCIIString(key, p) == 0) break;
            ++i;
        }
        if (i == n) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
        if (i < P || out[i].get())
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
        out[i] = Object::borrow(args[P + j]);
    }
    for (Py_ssize_t i = m; i < n; ++i)
        if (!out[i].get()) out[i] = Object::borrow(PyTuple_GET_ITEM(f->call_defaults, i - m));
    for (Py_ssize_t i = P; i < m; ++i)
        if (!out[i].get()) count_error(def, exact ? "exactly" : "at least", m, i);
}

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    FunctionObject* f = as_function(self);
    if (!f->globals) {  // cleared by the garbage collector: no namespace to run in
        PyErr_Format(PyExc_RuntimeError, "%U() was cleared and cannot be called", f->qualname);
        return nullptr;
    }
    Call c(f->globals, f->module->builtins(), f->def->line);
    PyObject* result = nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        try {
            Object bound[max_params];
            bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
            result = f->def->body.run(c, bound).release();
        } catch (...) {
            set_python_error();
        }
        Py_LeaveRecursiveCall();
    }
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        f->site->add_traceback(c.line(), f->globals);
    }
    return result;
}

int traverse(PyObject* self, visitproc visit, void* arg)
{
    FunctionObject* f = as_function(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->call_defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// What can take part in a reference cycle: the fields that may hold any
// object. The name, qualified name, code and the call defaults (strings, a
// code object, floats) stay until the function is freed, so that repr,
// pickling and tracebacks still work on a cleared function.
int clear(PyObject* self)
{
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->call_defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

PyObject* repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Functions found as class attributes stay plain functions (no binding).
PyObject* descr_get(PyObject* self, PyObject*, PyObject*)
{
    Py_INCREF(self);
    return self;
}

// Pickled by reference: `module.qualname`, as for any module-level function.
PyObject* reduce(PyObject* self, PyObject*)
{
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Attribute setters, with the checks and messages of Python's own functions.
int set_field(PyObject*& field, PyObject* value)
{
    Py_XINCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

template <PyObject* FunctionObject::*F>
PyObject* get_field(PyObject* self, void*)
{
    PyObject* v = as_function(self)->*F;
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_string(PyObject* self, PyObject* value, PyObject* FunctionObject::*field, const char* what)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    return set_field(as_function(self)->*field, value);
}

int set_name(PyObject* self, PyObject* v, void*) { return set_string(self, v, &FunctionObject::name, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*)
{
    return set_string(self, v, &FunctionObject::qualname, "__qualname__");
}
int set_module(PyObject* self, PyObject* v, void*)
{
    return set_field(as_function(self)->module_name, v ? v : Py_None);
}
int set_doc(PyObject* self, PyObject* v, void*) { return set_field(as_function(self)->doc, v ? v : Py_None); }

int set_defaults(PyObject* self, PyObject* v, void*)
{
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return set_field(as_function(self)->defaults, v);
}

int set_kwdefaults(PyObject* self, PyObject* v, void*)
{
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return set_field(as_function(self)->kwdefaults, v);
}

PyObject* get_annotations(PyObject* self, void*)
{
    FunctionObject* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject* self, PyObject* v, void*)
{
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    return set_field(as_function(self)->annotations, v);
}

PyGetSetDef getset[] = {
    {"__name__", get_field<&FunctionObject::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, set_qualname, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module_name>, set_module, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc>, set_doc, nullptr, nullptr},
    {"__globals__", get_field<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionObject::code>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionObject::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field<&FunctionObject::kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyTypeObject* ready_type()
{
    PyTypeObject& t = function_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return &t;
    t.tp_name = "corvane.function";
    t.tp_doc = "A module-level function of a corvane extension module.";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_dealloc = dealloc;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_repr = repr;
    t.tp_descr_get = descr_get;
    t.tp_methods = methods;
    t.tp_getset = getset;
    check(PyType_Ready(&t));
    return &t;
}

Object new_ref(PyObject* p) { return Object::borrow(p ? p : Py_None); }

}  // namespace

Object make_function(const Def& def, Module& module)
{
    PyTypeObject* type = ready_type();
    const Module::Prepared& prep = module.prepared(def);
    Object name(def.name);
    Object module_name(module.qualname());
    Object doc = def.doc ? Object(def.doc) : Object::none();
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (!f) raise();
    f->vectorcall = vectorcall;
    f->def = &def;
    f->module = &module;
    f->site = prep.site.get();
    f->globals = new_ref(module.globals()).release();
    f->call_defaults = new_ref(prep.defaults).release();
    f->qualname = Object(name).release();
    f->name = name.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->defaults = PyTuple_GET_SIZE(prep.defaults) ? Object::borrow(prep.defaults).release() : nullptr;
    f->kwdefaults = nullptr;
    f->code = Object::borrow(prep.code).release();
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Object::steal(reinterpret_cast<PyObject*>(f));
}

bool is_function(PyObject* o, const Def& def) { return Py_TYPE(o) == &function_type && as_function(o)->def == &def; }

}  // namespace frame
