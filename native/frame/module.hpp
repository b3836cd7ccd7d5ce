// One extension module on multi-phase initialisation: the create and exec
// slots with their guards (one interpreter per process, one initialisation per
// process), the runtime version check, registration in sys.modules, the
// builtins fetched once, and the module body run statement by statement with
// an "init <module>" traceback entry at the failing line.
//
// The state here is process-wide on purpose: the module refuses to load into
// a second interpreter, and once initialised it lives until the process ends.
// That refusal is our own: the definition declares (3.12+) that any
// interpreter, one with its own GIL included, may run the create slot, so that
// every other interpreter meets the guard's ImportError rather than the import
// system's. It also declares (3.13+) that the module needs the GIL: the
// functions borrow references from the namespace, and the frame fills its
// caches (interned names, traceback code objects) without locks.
#pragma once

#include "frame/function.hpp"

#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace frame {

// A builtin that the module fetches once at initialisation and calls from
// then on, whatever later happens to the builtins or the module namespace.
class Builtin {
public:
    constexpr explicit Builtin(const char* name) : name_(name) {}
    Object get() const { return Object::borrow(value_); }
    const Name& name() const { return name_; }
    // Takes over the reference `v`; a value kept from an earlier, failed
    // initialisation is released.
    void set(PyObject* v) noexcept { Py_XSETREF(value_, v); }

private:
    Name name_;
    PyObject* value_ = nullptr;  // held for the life of the process
};

class Module {
public:
    using Body = void (*)(Call&, Module&);

    // `name` is the short name ("resampler"), `qualname` the import name
    // ("corvane.dsp.resampler"), `file` the file name shown in tracebacks.
    Module(const char* name, const char* qualname, const char* file, std::initializer_list<const Def*> defs,
           std::initializer_list<Builtin*> builtins, Body body);

    // What PyInit_<name> returns.
    PyObject* init();

    const char* qualname() const { return qualname_; }
    const char* file() const { return file_; }
    PyObject* globals() const { return globals_; }
    PyObject* builtins() const { return builtins_dict_; }

    // `def name(...)` on the line of the definition: make the function object
    // of `def` and bind it.
    void define(Call& c, const Def& def);
    // `from <name> import *`
    void star_import(Call& c, const char* name);

    // Code object, defaults and traceback site of a function, made once per
    // process during initialisation and never freed: function objects of a
    // failed initialisation may still point at them.
    struct Prepared {
        const Def* def;
        PyObject* code;
        PyObject* defaults;
        std::unique_ptr<Site> site;
    };
    const Prepared& prepared(const Def& def) const;

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def);
    static int exec(PyObject* module);
    int exec_here(PyObject* module);
    void prepare();
    void forget();

    const char* name_;
    const char* qualname_;
    const char* file_;
    std::vector<const Def*> defs_;
    std::vector<Builtin*> fetch_;
    Body body_;

    // create, exec, the interpreter and GIL declarations of newer Pythons, end
    PyModuleDef_Slot slots_[5];
    PyMethodDef methods_[1];
    PyModuleDef def_;
    Site init_site_;  // "init <qualname>" entries of the module body

    // Process-wide state. The recorded interpreter is atomic: interpreters
    // with their own GIL may run the create slot at the same time.
    std::atomic<long long> interpreter_{-1};
    PyObject* module_ = nullptr;
    PyObject* globals_ = nullptr;
    PyObject* builtins_dict_ = nullptr;
    std::vector<Prepared> prepared_;
};

}  // namespace frame
