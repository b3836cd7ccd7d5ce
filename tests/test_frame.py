"""The module as Python sees it: import behaviour, namespace, function
objects, argument binding, traceback entries and call-time name lookup."""

import concurrent.futures
import importlib
import inspect
import json
import multiprocessing
import os
import pickle
import pydoc
import shutil
import subprocess
import sys
import textwrap
import traceback
import types

import numpy
import pytest

import corvane.utils.const
import corvane.dsp.resampler as m
from reference import NumpyProxy

FILE = "corvane/dsp/resampler"
DEF_LINE = {"sinc_table": 52, "sinc_interp": 69, "interp": 82, "sinc": 124}
FUNCS = list(DEF_LINE)


def entries(exc):
    """(function name, line) of the traceback entries the module added."""
    return [(e.name.rpartition(".")[2], e.lineno) for e in traceback.extract_tb(exc.__traceback__) if e.filename == FILE]


def raises(exc_type, f, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        f(*args, **kwargs)
    return info.value


# -- argument binding ---------------------------------------------------------

BINDING = [
    ("sinc", (), {}, "sinc() takes exactly 1 positional argument (0 given)"),
    ("sinc", (1, 2), {}, "sinc() takes exactly 1 positional argument (2 given)"),
    ("sinc", (1, 2), {"x": 3}, "sinc() takes exactly 1 positional argument (2 given)"),
    ("sinc", (1,), {"x": 2}, "sinc() got multiple values for keyword argument 'x'"),
    ("sinc", (), {"y": 1}, "sinc() got an unexpected keyword argument 'y'"),
    ("sinc_table", (16,), {}, "sinc_table() takes exactly 2 positional arguments (1 given)"),
    ("sinc_table", (1, 2, 3), {}, "sinc_table() takes exactly 2 positional arguments (3 given)"),
    ("sinc_table", (), {"Nq": 16}, "sinc_table() takes exactly 2 positional arguments (1 given)"),
    ("sinc_table", (), {"Ns": 8}, "sinc_table() takes exactly 2 positional arguments (0 given)"),
    ("sinc_table", (16,), {"Nq": 8}, "sinc_table() got multiple values for keyword argument 'Nq'"),
    # An unknown keyword is reported before the missing argument.
    ("sinc_table", (), {"Nz": 3}, "sinc_table() got an unexpected keyword argument 'Nz'"),
    ("sinc_interp", (), {}, "sinc_interp() takes at least 1 positional argument (0 given)"),
    ("sinc_interp", (1, 2, 3), {}, "sinc_interp() takes at most 2 positional arguments (3 given)"),
    ("sinc_interp", (), {"r": 2}, "sinc_interp() takes at least 1 positional argument (0 given)"),
    ("sinc_interp", (1, 2), {"r": 3}, "sinc_interp() got multiple values for keyword argument 'r'"),
    ("sinc_interp", (1,), {"s": 2}, "sinc_interp() got an unexpected keyword argument 's'"),
    ("interp", (1, 2), {}, "interp() takes at least 3 positional arguments (2 given)"),
    ("interp", (1, 2, 3, 4, 5), {}, "interp() takes at most 4 positional arguments (5 given)"),
    ("interp", (1,), {"yp": 2}, "interp() takes at least 3 positional arguments (1 given)"),
    ("interp", (), {"x": 1, "xp": 2, "mod": 3}, "interp() takes at least 3 positional arguments (2 given)"),
    ("interp", (), {"xp": 1, "yp": 2}, "interp() takes at least 3 positional arguments (0 given)"),
    ("interp", (1, 2, 3, 4), {"mod": 5}, "interp() got multiple values for keyword argument 'mod'"),
    ("interp", (1, 2, 3), {"method": "sinc"}, "interp() got an unexpected keyword argument 'method'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(name, args, kwargs, message):
    exc = raises(TypeError, getattr(m, name), *args, **kwargs)
    assert str(exc) == message
    assert entries(exc) == [(name, DEF_LINE[name])]
    tb = traceback.extract_tb(exc.__traceback__)[-1]
    assert (tb.filename, tb.name) == (FILE, "corvane.dsp.resampler." + name)


def test_non_string_keyword():
    with pytest.raises(TypeError, match="keywords must be strings"):
        m.sinc(**{1: 2})


def test_keyword_calls(capsys):
    eq = numpy.testing.assert_array_equal
    eq(m.sinc(x=0.5), m.sinc(0.5))
    eq(m.sinc_table(Ns=3, Nq=2), m.sinc_table(2, 3))
    eq(m.sinc_interp(xin=[1.0, 2.0])[0], m.sinc_interp([1.0, 2.0], 1.0)[0])
    eq(m.sinc_interp([1.0, 2.0], r=2)[1], numpy.linspace(0, 2, 4))
    eq(m.interp(yp=[1, 2], xp=0, x=numpy.zeros(3), mod="sinc"), m.interp(numpy.zeros(3), 0, [1, 2]))


# -- traceback entries of failures inside the bodies ---------------------------

@pytest.mark.parametrize(
    "call, exc_type, where",
    [
        (lambda: m.sinc_table(16.0, 8), TypeError, [("sinc_table", 54)]),
        (lambda: m.sinc_table(-1, 8), ValueError, [("sinc_table", 54)]),
        (lambda: m.sinc_interp([1, 2], r=-1), ValueError, [("sinc_interp", 74)]),
        (lambda: m.sinc_interp(1, float("nan")), ValueError, [("sinc_interp", 72)]),
        (lambda: m.sinc_interp(1, float("inf")), OverflowError, [("sinc_interp", 72)]),
        (lambda: m.sinc_interp(numpy.ones((2, 3))), ValueError, [("sinc_interp", 78)]),
        (lambda: m.interp([1, 2, 3], [1], [1]), AttributeError, [("interp", 113)]),
        (lambda: m.interp(numpy.ones(2), 0, numpy.ones((2, 3))), ValueError, [("interp", 120)]),
        (lambda: m.sinc(None), TypeError, [("sinc", 127)]),
        (lambda: m.sinc("abc"), TypeError, [("sinc", 127)]),
    ],
)
def test_failure_lines(call, exc_type, where):
    exc = raises(exc_type, call)
    assert entries(exc) == where


def test_shapes_that_never_broadcast_are_fine_without_outputs():
    assert m.sinc_interp(numpy.ones((2, 3)), 0.1)[0].size == 0
    assert m.interp(numpy.array([]), 0, numpy.ones((2, 3))).size == 0


def raise_inside(d):
    raise KeyError("inner")


@pytest.mark.parametrize(
    "name, args, line",
    [("sinc_table", (2, 3), 66), ("sinc_interp", ([1.0, 2.0],), 78), ("interp", (numpy.ones(2), 0, [1.0, 2.0]), 120)],
)
def test_exception_inside_kernel_keeps_both_entries(monkeypatch, capsys, name, args, line):
    monkeypatch.setattr(m, "sinc", raise_inside)
    exc = raises(KeyError, getattr(m, name), *args)
    tb = traceback.extract_tb(exc.__traceback__)
    assert entries(exc) == [(name, line)]
    assert tb[-1].name == "raise_inside"  # the replacement's own frame comes after ours
    # With the module's own kernel failing, its entry follows the caller's.
    monkeypatch.undo()
    monkeypatch.setattr(m, "PI", None)
    exc = raises(TypeError, getattr(m, name), *args)
    assert entries(exc) == [(name, line), ("sinc", 127)]


# -- function objects ----------------------------------------------------------

CODE = {
    "sinc_table": (2, ("Nq", "Ns", "X", "q", "kasier_window"), None),
    "sinc_interp": (2, ("xin", "r", "N", "M", "u", "v", "xout", "i"), (1.0,)),
    "interp": (4, ("x", "xp", "yp", "mod", "N", "M", "y", "i"), ("sinc",)),
    "sinc": (1, ("x", "eps", "y"), None),
}


@pytest.mark.parametrize("name", FUNCS)
def test_function_attributes(name):
    f = getattr(m, name)
    argcount, varnames, defaults = CODE[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "corvane.dsp.resampler")
    assert f.__globals__ is vars(m)
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None
    assert defaults is None or type(f.__defaults__[0]) is type(defaults[0])
    c = f.__code__
    assert (c.co_name, c.co_filename, c.co_firstlineno) == (name, FILE, DEF_LINE[name])
    assert (c.co_argcount, c.co_posonlyargcount, c.co_kwonlyargcount) == (argcount, 0, 0)
    assert c.co_varnames == varnames
    if name != "interp":
        assert f.__doc__ is None


def test_interp_docstring():
    doc = m.interp.__doc__
    lines = doc.split("\n")
    assert (len(doc), len(lines)) == (735, 26)
    assert lines[0] == "interpolation" and lines[2] == "    interpolation"
    assert lines[4:6] == ["    Parameters", "    ----------"]
    assert lines[18] == "        ``'sinc'`` : sinc interpolation (the default is 'sinc')"
    assert lines[-1] == "    "
    assert lines[7].strip() in pydoc.render_doc(m.interp, renderer=pydoc.plaintext)


SIGNATURES = {"sinc_table": "(Nq, Ns)", "sinc_interp": "(xin, r=1.0)", "interp": "(x, xp, yp, mod='sinc')", "sinc": "(x)"}


@pytest.mark.parametrize("name", FUNCS)
def test_signature_help_and_pickle(name):
    f = getattr(m, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert name + SIGNATURES[name] in pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert pickle.loads(pickle.dumps(f)) is f


def test_assigned_defaults_do_not_change_calls():
    f = m.sinc_interp
    saved = f.__defaults__
    expected = f([1.0, 2.0, 3.0], 1.0)
    try:
        f.__defaults__ = (2.0,)
        assert f.__defaults__ == (2.0,)
        got = f([1.0, 2.0, 3.0])
    finally:
        f.__defaults__ = saved
    numpy.testing.assert_array_equal(got[0], expected[0])
    assert got[1].size == 3


def test_runs_in_a_fresh_worker_process():
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=ctx) as pool:
        values, positions = pool.submit(m.sinc_interp, [1.0, 2.0, 3.0], 2).result(timeout=60)
    numpy.testing.assert_array_equal(positions, numpy.linspace(0, 3, 6))
    numpy.testing.assert_allclose(values, m.sinc_interp([1.0, 2.0, 3.0], 2)[0], rtol=1e-15)


# -- module namespace and import ----------------------------------------------

@pytest.mark.real_numpy
def test_namespace_after_import():
    ns = vars(m)
    assert ns["np"] is numpy
    assert ns["__builtins__"] is __import__("builtins")
    for name in corvane.utils.const.__all__:
        assert ns[name] is getattr(corvane.utils.const, name)
    assert "math" not in ns  # const lists its exports; nothing else is copied
    assert m.PI is corvane.utils.const.PI
    assert m.__test__ == {}
    assert m.__doc__ is None and m.__package__ == "corvane.dsp"
    assert m.__loader__ is m.__spec__.loader and m.__file__ == m.__spec__.origin
    for absent in ("plt", "SINC_TABLE_Nq16Ns8_1", "SINC_TABLE_Nq16Ns8_2", "t0", "__path__"):
        assert not hasattr(m, absent)
    table = m.SINC_TABLE_Nq16Ns8
    assert type(table) is list and len(table) == 16
    assert all(type(row) is list and len(row) == 8 and all(type(v) is float for v in row) for row in table)


def test_import_again_gives_the_same_module(monkeypatch):
    monkeypatch.setattr(m, "_import_marker", object(), raising=False)
    table, test_dict = m.SINC_TABLE_Nq16Ns8, m.__test__
    assert importlib.import_module("corvane.dsp.resampler") is m
    del sys.modules["corvane.dsp.resampler"]
    try:
        again = importlib.import_module("corvane.dsp.resampler")
    finally:
        sys.modules["corvane.dsp.resampler"] = m
    assert again is m
    # The body did not run again: its objects and our marker are untouched.
    assert m.SINC_TABLE_Nq16Ns8 is table and m.__test__ is test_dict
    assert hasattr(m, "_import_marker")
    assert importlib.reload(m) is m
    assert m.SINC_TABLE_Nq16Ns8 is table and hasattr(m, "_import_marker")


def run_python(*args, timeout=120):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout)


# Runs `code` in a sub-interpreter of the kind argv[1] names; exit status 3
# when this Python cannot make one.
SUBINTERPRETER = textwrap.dedent(
    """
    import sys
    kind, module, code = sys.argv[1:]
    __import__(module)
    if kind == "shared GIL":
        try:
            import _testcapi
            _testcapi.run_in_subinterp(code)
        except (ImportError, AttributeError):
            try:
                import _xxsubinterpreters as interpreters  # before 3.12: always a shared GIL
            except ImportError:
                sys.exit(3)
            i = interpreters.create()
            interpreters.run_string(i, code)
            interpreters.destroy(i)
    else:
        if sys.version_info < (3, 12):
            sys.exit(3)
        try:
            import _interpreters as interpreters
            i = interpreters.create("isolated")
        except ImportError:
            import _xxsubinterpreters as interpreters
            i = interpreters.create(isolated=True)
        interpreters.run_string(i, code)
        interpreters.destroy(i)
    """
)


# Isolated interpreters (3.12+) have their own GIL; the import system turns a
# module away there unless its definition says it may be loaded, so the
# modules declare that and let their own guard give the answer.
@pytest.mark.parametrize("kind", ["shared GIL", "own GIL"])
@pytest.mark.parametrize("module", ["corvane.dsp.resampler", "corvane.datasets.sarchip"])
def test_second_interpreter_is_refused(tmp_path, kind, module):
    out = tmp_path / "outcome.txt"
    inner = textwrap.dedent(
        f"""
        try:
            import {module}
            outcome = "imported"
        except BaseException as e:
            outcome = type(e).__name__ + ": " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
        """
    )
    proc = run_python("-c", SUBINTERPRETER, kind, module, inner)
    if proc.returncode == 3:
        pytest.skip(f"no sub-interpreter with its {kind} here" if kind == "own GIL" else "no sub-interpreter API here")
    assert proc.returncode == 0, proc.stderr
    assert out.read_text() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_import_issues_no_version_warning():
    proc = run_python("-W", "error::RuntimeWarning", "-c", "import corvane.dsp.resampler")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


# -- module-level names are looked up when used --------------------------------

def test_replaced_kernel_is_used(monkeypatch, capsys):
    seen = []

    def ones(d):
        seen.append(numpy.shape(d))
        return numpy.ones(numpy.shape(d))

    monkeypatch.setattr(m, "sinc", ones)
    numpy.testing.assert_array_equal(m.sinc_table(2, 3), numpy.ones((2, 3)))
    numpy.testing.assert_array_equal(m.sinc_interp([1.0, 2.0, 4.0])[0], [7.0, 7.0, 7.0])
    numpy.testing.assert_array_equal(m.interp(numpy.zeros(2), 0, [1.0, 2.0]), [3.0, 3.0])
    assert seen == [(2, 3), (3,), (3,), (3,), (2,), (2,)]


def test_np_is_looked_up_at_call_time(monkeypatch, capsys):
    class Recording(NumpyProxy):
        def __getattr__(self, name):
            vars(self).setdefault("seen", set()).add(name)
            return super().__getattr__(name)

    expected = [m.sinc([0.5, 2.0]), m.sinc_table(2, 3), *m.sinc_interp([1.0, 2.0], 1.5), m.interp(numpy.zeros(2), 0, [1, 2])]
    rec = Recording()
    monkeypatch.setattr(m, "np", rec)
    got = [m.sinc([0.5, 2.0]), m.sinc_table(2, 3), *m.sinc_interp([1.0, 2.0], 1.5), m.interp(numpy.zeros(2), 0, [1, 2])]
    for a, b in zip(got, expected):
        numpy.testing.assert_allclose(a, b, rtol=1e-15, atol=1e-16)  # the native route may round differently
    assert {"array", "where", "abs", "sin", "zeros", "linspace", "sum"} <= rec.seen


@pytest.mark.parametrize("pi", [3.0, 3, numpy.float64(3.0)])
def test_pi_is_looked_up_at_call_time(monkeypatch, pi):
    monkeypatch.setattr(m, "PI", pi)
    x = numpy.array([0.5, -2.0, 1e-9])
    want = numpy.where(numpy.abs(3.0 * x) < 1e-8, 1.0, numpy.sin(3.0 * x + 1e-8) / (3.0 * x + 1e-8))
    numpy.testing.assert_allclose(m.sinc(x), want, rtol=2e-15)
    v = numpy.linspace(0, 2, 2)
    numpy.testing.assert_allclose(m.sinc_interp([1.0, 2.0], 1.5)[0][1], numpy.sum([1.0, 2.0] * m.sinc(v - 1.0)), rtol=1e-14)


def test_missing_pi(monkeypatch):
    monkeypatch.delattr(m, "PI")
    exc = raises(NameError, m.sinc, 1)
    assert str(exc) == "name 'PI' is not defined"
    assert entries(exc) == [("sinc", 127)]
    exc = raises(NameError, m.sinc_interp, [1.0, 2.0])
    assert entries(exc) == [("sinc_interp", 78), ("sinc", 127)]


def test_print_is_the_builtin_fetched_at_import(monkeypatch, capsys):
    calls = []
    monkeypatch.setattr("builtins.print", lambda *a, **k: calls.append(a))
    monkeypatch.setattr(m, "print", lambda *a, **k: calls.append(a), raising=False)
    m.sinc_table(1, 1)
    assert calls == []
    assert capsys.readouterr().out == "[-0.5]\n"


def test_generic_route_switch():
    from conftest import GENERIC

    assert isinstance(m.np, NumpyProxy) == GENERIC


@pytest.mark.parametrize("name, qualname", [("resampler", "corvane.dsp.resampler"),
                                            ("sarchip", "corvane.datasets.sarchip")])
def test_exec_slot_runs_the_body_once_per_process(name, qualname):
    import ctypes

    module = importlib.import_module(qualname)
    init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + name)
    init.restype = ctypes.c_void_p  # a static definition: no reference is taken
    definition = init()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    table = vars(module).get("SINC_TABLE_Nq16Ns8")
    assert exec_def(module, definition) == 0
    assert vars(module).get("SINC_TABLE_Nq16Ns8") is table
    message = f"Module '{name}' has already been imported. Re-initialisation is not supported."
    with pytest.raises(RuntimeError) as info:
        exec_def(types.ModuleType("other"), definition)
    assert str(info.value) == message


# Slot numbers: up to 3.14, and in 3.15's renumbering.
SLOT_NAMES = {1: "create", 2: "exec", 3: "multiple interpreters", 4: "gil",
              84: "create", 85: "exec", 86: "multiple interpreters", 87: "gil"}


@pytest.mark.parametrize("name, qualname", [("resampler", "corvane.dsp.resampler"),
                                            ("sarchip", "corvane.datasets.sarchip")])
def test_definition_slots_follow_the_interpreter_version(name, qualname):
    import ctypes

    module = importlib.import_module(qualname)
    init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + name)
    init.restype = ctypes.c_void_p
    definition = init()
    # PyModuleDef: object header, m_init, m_index, m_copy, m_name, m_doc,
    # m_size, m_methods, then m_slots.
    pointer = ctypes.sizeof(ctypes.c_void_p)
    slots = ctypes.c_void_p.from_address(definition + object.__basicsize__ + 7 * pointer).value

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

    declared = []
    for i in range(8):
        entry = Slot.from_address(slots + i * ctypes.sizeof(Slot))
        if entry.slot == 0:
            break
        declared.append((SLOT_NAMES.get(entry.slot, entry.slot), entry.value or 0))
    expected = ["create", "exec"]
    if sys.version_info >= (3, 12):
        expected.append("multiple interpreters")
    if sys.version_info >= (3, 13):
        expected.append("gil")
    assert [slot for slot, _ in declared] == expected
    values = dict(declared)
    # Any interpreter may run the create slot (its guard refuses all but the
    # first); the module needs the GIL.
    assert values.get("multiple interpreters", 2) == 2 and values.get("gil", 0) == 0


def test_runaway_recursion_through_rebound_names_is_a_recursion_error(monkeypatch):
    monkeypatch.setattr(m, "sinc", m.sinc_interp)
    with pytest.raises(RecursionError):
        m.sinc_interp([1.0, 2.0])


# -- failed initialisation and exhausted memory --------------------------------

FAILING_IMPORTS = textwrap.dedent(
    """
    import builtins, importlib, json, sys, traceback
    import numpy

    # Fresh objects in place of the builtins, so that their reference counts
    # show exactly what the module holds.
    builtins.print = print_ = lambda *a, **k: None
    builtins.open = open_ = lambda *a, **k: None
    name = sys.argv[1]
    before = [sys.getrefcount(print_), sys.getrefcount(open_)]
    sys.modules["numpy"] = None  # the module body's `import numpy` fails
    for _ in range(20):
        try:
            importlib.import_module(name)
        except ImportError as e:
            entries = [[f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith("corvane/")]
        else:
            raise SystemExit("imported without numpy")
    failed = [sys.getrefcount(print_), sys.getrefcount(open_)]
    sys.modules["numpy"] = numpy
    importlib.import_module(name)
    imported = [sys.getrefcount(print_), sys.getrefcount(open_)]
    sys.stdout.write(json.dumps({"entries": entries, "failed": [a - b for a, b in zip(failed, before)],
                                 "imported": [a - b for a, b in zip(imported, before)]}))
    """
)


@pytest.mark.parametrize(
    "qualname, line, held",
    [("corvane.dsp.resampler", 29, [1, 0]), ("corvane.datasets.sarchip", 31, [1, 1])],
)
def test_failed_initialisations_keep_one_reference_to_each_builtin(qualname, line, held):
    proc = run_python("-c", FAILING_IMPORTS, qualname)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["entries"] == [["init " + qualname, line]]
    assert report["failed"] == held and report["imported"] == held


FAIL_NEW = r"""
#include <cstdlib>
#include <new>
static bool failing = false;
extern "C" void corvane_fail_new(int on) { failing = on != 0; }
void* operator new(std::size_t n)
{
    void* p = failing ? nullptr : std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
"""

TRACEBACK_WITHOUT_MEMORY = textwrap.dedent(
    """
    import ctypes, json, sys, traceback
    import corvane.dsp.resampler as m

    fail_new = ctypes.CDLL(sys.argv[1]).corvane_fail_new
    seen = []
    for failing in (1, 0):  # C++ allocations fail, then work again
        fail_new(failing)
        try:
            m.sinc(None)
        except TypeError as e:
            fail_new(0)
            seen.append([[f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith("corvane/")])
    sys.stdout.write(json.dumps(seen))
    """
)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer runtime owns operator new")
def test_traceback_entry_without_memory_for_its_cache(tmp_path):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if cxx is None:
        pytest.skip("needs a C++ compiler")
    source, library = tmp_path / "fail_new.cpp", tmp_path / "libfail_new.so"
    source.write_text(FAIL_NEW)
    subprocess.run([cxx, "-shared", "-fPIC", "-O1", "-o", str(library), str(source)], check=True)
    env = dict(os.environ, LD_PRELOAD=str(library))
    proc = subprocess.run([sys.executable, "-c", TRACEBACK_WITHOUT_MEMORY, str(library)], capture_output=True,
                          text=True, timeout=120, env=env)
    # The exception being raised survives with its entry; nothing terminates.
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [[["corvane.dsp.resampler.sinc", 127]]] * 2


# The garbage collector's clear slot: what a cleared function still does. Run
# in a child process (the function stays cleared for the rest of it); the
# slot is taken from the type, by PyType_GetSlot where static types allow it.
CLEARED = r"""
import ctypes, pickle, sys
import corvane.dsp.resampler as m
f = m.{name}
kind = type(f)
if sys.version_info >= (3, 10):
    get = ctypes.pythonapi.PyType_GetSlot
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    slot = get(kind, 51)  # Py_tp_clear
else:  # tp_clear: the 25th pointer-sized field of a type object
    slot = ctypes.c_void_p.from_address(id(kind) + 24 * ctypes.sizeof(ctypes.c_void_p)).value
# PYFUNCTYPE keeps the GIL for the call; tp_clear drops references and must hold it
assert ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(f) == 0
assert f.__globals__ is None and f.__module__ is None and f.__defaults__ is None
print(repr(f).split(" at ")[0], f.__reduce__(), f.__name__, f.__qualname__, f.__code__.co_firstlineno)
assert pickle.loads(pickle.dumps(f)) is f
try:
    f(1)
except RuntimeError as e:
    print(e)
"""


@pytest.mark.parametrize("name", ["sinc", "interp"])
def test_cleared_function_keeps_its_names_and_refuses_calls(name):
    result = subprocess.run([sys.executable, "-c", CLEARED.format(name=name)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"<function {name} {name} {name} {name} {DEF_LINE[name]}",
        f"{name}() was cleared and cannot be called",
    ]
