#include "frame/module.hpp"

#include <cstdio>
#include <cstdlib>

namespace frame {

namespace {

// Each extension library holds exactly one module.
Module* the_module = nullptr;

// The running interpreter's major and minor version, parsed once from the
// text that sys.version shows.
void runtime_version(int& major, int& minor)
{
    static int cached_major = -1, cached_minor = -1;
    if (cached_major < 0) {
        const char* v = Py_GetVersion();
        char* end = nullptr;
        cached_major = static_cast<int>(std::strtol(v, &end, 10));
        cached_minor = (end && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
    }
    major = cached_major;
    minor = cached_minor;
}

// Copies spec.<attr> to module.<key>; a missing attribute is skipped, and so
// is None when `skip_none`.
void copy_spec_attr(const Object& spec, const Object& module, const char* attr, const char* key, bool skip_none)
{
    PyObject* v = PyObject_GetAttrString(spec.get(), attr);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Object value = Object::steal(v);
    if (skip_none && value.is_none()) return;
    check(PyObject_SetAttrString(module.get(), key, value.get()));
}

}  // namespace

// clang-format off: the slot list changes with the Python version
Module::Module(const char* name, const char* qualname, const char* file, std::initializer_list<const Def*> defs,
               std::initializer_list<Builtin*> builtins, Body body)
    : name_(name), qualname_(qualname), file_(file), defs_(defs), fetch_(builtins), body_(body), slots_
{
    {Py_mod_create, reinterpret_cast<void*>(&Module::create)}, {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {
        0, nullptr
    }
}
, methods_{{nullptr, nullptr, 0, nullptr}},
    def_{PyModuleDef_HEAD_INIT, name, nullptr, 0, methods_, slots_, nullptr, nullptr, nullptr},
    init_site_(*this, std::string("init ") + qualname)
// clang-format on
{
}

PyObject* Module::init()
{
    the_module = this;
    return PyModuleDef_Init(&def_);
}

PyObject* Module::create(PyObject* spec, PyModuleDef*)
{
    Module& m = *the_module;
    PyInterpreterState* interp = PyInterpreterState_Get();
    long long id = static_cast<long long>(PyInterpreterState_GetID(interp));
    if (id < 0) return nullptr;
    long long recorded = -1;
    if (!m.interpreter_.compare_exchange_strong(recorded, id) && recorded != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (m.module_) {
        Py_INCREF(m.module_);
        return m.module_;
    }
    try {
        Object s = Object::borrow(spec);
        Object name = Object::steal(PyObject_GetAttrString(spec, "name"));
        Object module = Object::steal(PyModule_NewObject(name.get()));
        copy_spec_attr(s, module, "loader", "__loader__", false);
        copy_spec_attr(s, module, "origin", "__file__", false);
        copy_spec_attr(s, module, "parent", "__package__", false);
        copy_spec_attr(s, module, "submodule_search_locations", "__path__", true);
        return module.release();
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

int Module::exec(PyObject* module) { return the_module->exec_here(module); }

int Module::exec_here(PyObject* module)
{
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     name_);
        return -1;
    }
    Py_INCREF(module);
    module_ = module;
    globals_ = PyModule_GetDict(module);

    // Set-up before the body runs: failures here add no traceback entry.
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins || PyDict_SetItemString(globals_, "__builtins__", builtins) < 0) {
        forget();
        return -1;
    }
    builtins_dict_ = PyModule_GetDict(builtins);
    int major, minor;
    runtime_version(major, minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                      PY_MINOR_VERSION, qualname_, "does not match", major, minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) {
            forget();
            return -1;
        }
    }

    Call c(globals_, builtins_dict_, 1);
    try {
        PyObject* modules = PyImport_GetModuleDict();
        Object key(qualname_);
        if (!check(PyDict_Contains(modules, key.get()))) check(PyDict_SetItem(modules, key.get(), module));
        for (Builtin* b : fetch_) {
            PyObject* v = PyDict_GetItemWithError(builtins_dict_, b->name().get());
            if (!v) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", b->name().text());
                raise();
            }
            Py_INCREF(v);
            b->set(v);
        }
        prepare();
        body_(c, *this);
        return 0;
    } catch (...) {
        set_python_error();
    }
    init_site_.add_traceback(c.line(), globals_);
    forget();
    return -1;
}

void Module::forget()
{
    globals_ = nullptr;
    Py_CLEAR(module_);
}

void Module::prepare()
{
    for (const Def* def : defs_) {
        bool done = false;
        for (const Prepared& p : prepared_) done = done || p.def == def;
        if (done) continue;

        // __code__: an empty code object at the definition line, given the
        // function's argument count and local variable names.
        Object code = Object::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_, def->name, def->line)));
        Object varnames = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(def->varnames.size())));
        Py_ssize_t i = 0;
        for (const char* v : def->varnames) PyTuple_SET_ITEM(varnames.get(), i++, Object(v).release());
        static Name co_argcount("co_argcount"), co_nlocals("co_nlocals"), co_varnames("co_varnames"),
            replace("replace");
        code = code.attr(replace).call({}, {{co_argcount, Object(static_cast<long>(def->params.size()))},
                                            {co_nlocals, Object(static_cast<long>(def->varnames.size()))},
                                            {co_varnames, varnames}});

        Object defaults = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(def->defaults.size())));
        i = 0;
        for (const Default& d : def->defaults)
            PyTuple_SET_ITEM(defaults.get(), i++, (d.is_float ? Object(d.number) : Object(d.text)).release());

        // Everything that can fail comes before the references are handed over.
        auto site = std::make_unique<Site>(*this, std::string(qualname_) + "." + def->name);
        prepared_.reserve(prepared_.size() + 1);
        prepared_.push_back(Prepared{def, code.release(), defaults.release(), std::move(site)});
    }
}

const Module::Prepared& Module::prepared(const Def& def) const
{
    for (const Prepared& p : prepared_)
        if (p.def == &def) return p;
    std::abort();  // every Def of the module is prepared before the body runs
}

void Module::define(Call& c, const Def& def)
{
    c.at(def.line);
    Object f = make_function(def, *this);
    Object key = Object::steal(PyUnicode_InternFromString(def.name));
    check(PyDict_SetItem(c.globals().get(), key.get(), f.get()));
}

void Module::star_import(Call& c, const char* name)
{
    Object source = import(name, true);
    static Name all_("__all__"), dict_("__dict__");
    Object names;
    bool skip_private = false;
    if (PyObject* all = PyObject_GetAttr(source.get(), all_.get())) {
        names = Object::steal(all);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        PyObject* d = PyObject_GetAttr(source.get(), dict_.get());
        if (!d) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
            raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        }
        names = Object::steal(d);
        skip_private = true;
    }
    // Fetch every value first, then bind them all.
    Object pairs = list();
    Object it = iter(names);
    for (Object key; next(it, key);) {
        if (skip_private) {
            if (!PyUnicode_Check(key.get()))
                raise(PyExc_TypeError, "Key in %s.__dict__ must be str, not %.100s", name, Py_TYPE(key.get())->tp_name);
            if (PyUnicode_GetLength(key.get()) > 0 && PyUnicode_READ_CHAR(key.get(), 0) == '_') continue;
        }
        Object value = Object::steal(PyObject_GetAttr(source.get(), key.get()));
        check(PyList_Append(pairs.get(), tuple({key, value}).get()));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        check(PyDict_SetItem(c.globals().get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
    }
}

}  // namespace frame
