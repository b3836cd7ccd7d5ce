"""The frame checks each function declaration when it is compiled: the
parameters fit the binding's array and are the body's, the defaults are for
parameters, and the variable names begin with the parameters. A malformed
declaration does not build, and the error names what is wrong."""

import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "native")
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    not os.path.isfile(os.path.join(NATIVE, "frame", "function.hpp")) or CXX is None,
    reason="needs the source tree and a C++ compiler",
)

SOURCE = """
#include "frame/function.hpp"
using frame::Call;
using frame::Object;
Object one(Call&, Object) { return Object(); }
Object nine(Call&, Object, Object, Object, Object, Object, Object, Object, Object, Object) { return Object(); }
constexpr frame::Def d{"f", 1, %s, nullptr, frame::body<%s>};
"""

NINE = '{"a", "b", "c", "d", "e", "f", "g", "h", "i"}'


@pytest.mark.parametrize("declaration, body, error", [
    ('{"x"}, {2.0}, {"x", "y"}', "one", None),
    (NINE + ", {}, " + NINE, "nine", "more_parameters_than_max_params"),
    ('{"x", "y"}, {}, {"x", "y"}', "one", "parameters_differ_from_the_body_in_number"),
    ('{"x"}, {1.0, 2.0}, {"x"}', "one", "more_defaults_than_parameters"),
    ('{"x"}, {}, {"y", "x"}', "one", "variable_names_do_not_begin_with_the_parameters"),
    ('{"x"}, {}, {}', "one", "variable_names_do_not_begin_with_the_parameters"),
], ids=["well formed", "nine parameters", "arity", "defaults", "variable names", "no variable names"])
def test_declarations_are_checked_when_compiled(tmp_path, declaration, body, error):
    source = tmp_path / "declaration.cpp"
    source.write_text(SOURCE % (declaration, body))
    result = subprocess.run([CXX, "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-I", NATIVE,
                             "-I", sysconfig.get_paths()["include"], str(source)], capture_output=True, text=True)
    if error is None:
        assert result.returncode == 0 and "warning" not in result.stderr, result.stderr
    else:
        assert result.returncode != 0 and error in result.stderr, result.stderr
