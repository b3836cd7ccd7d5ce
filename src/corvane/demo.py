"""Run the demonstration of a corvane extension module.

    python -m corvane.demo resampler [--save DIR]
    python -m corvane.demo sarchip [--save DIR]

The demonstrations are part of the extension modules' bodies and run only when
a module is initialised under the name "__main__". `python -m` cannot do that
for an extension module, so this runner does what the interpreter does for a
main module: it takes the module definition that the library's PyInit_
function returns, creates the module from it with the spec name "__main__" and
executes it, in this process.

Without a display (or with --save), figures are drawn with the Agg backend and
every figure that the demonstration shows is saved as a PNG file instead.
"""

import argparse
import ctypes
import importlib.machinery
import importlib.util
import os
import sys

MODULES = {"resampler": "corvane.dsp.resampler", "sarchip": "corvane.datasets.sarchip"}
DEFAULT_SAVE_DIR = "corvane-figures"
_PYTHON_API_VERSION = 1013


def _has_display():
    if sys.platform.startswith(("win", "darwin")):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _save_figures_on_show(save_dir, prefix):
    """Switch matplotlib to Agg and make pyplot.show() save the new figures."""
    try:
        import matplotlib
    except ImportError:
        return  # the demonstration reports the missing package itself
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(save_dir, exist_ok=True)
    saved = set()

    def show(*args, **kwargs):
        for num in plt.get_fignums():
            if num in saved:
                continue
            path = os.path.join(save_dir, f"{prefix}-figure-{num}.png")
            plt.figure(num).savefig(path)
            saved.add(num)
            print(f"figure {num} saved to {path}", file=sys.stderr)

    plt.show = show


def run_as_main(name):
    """Initialise the extension module `name` as the main module; return it."""
    origin = importlib.util.find_spec(MODULES[name]).origin
    library = ctypes.PyDLL(origin)
    init = getattr(library, "PyInit_" + name)
    # The definition is a static object of the library: keep it a bare
    # pointer so that ctypes never takes (and later drops) a reference to it.
    init.restype = ctypes.c_void_p
    init.argtypes = []
    definition = init()

    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

    loader = importlib.machinery.ExtensionFileLoader("__main__", origin)
    spec = importlib.machinery.ModuleSpec("__main__", loader, origin=origin)
    module = api.PyModule_FromDefAndSpec2(definition, spec, _PYTHON_API_VERSION)
    module.__spec__ = spec
    sys.modules["__main__"] = module
    api.PyModule_ExecDef(module, definition)
    return module


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvane.demo", description=__doc__.split("\n\n")[0])
    parser.add_argument("module", choices=sorted(MODULES), help="the extension module to run")
    parser.add_argument("--save", metavar="DIR", help="save the figures as PNG files in DIR instead of showing them")
    args = parser.parse_args(argv)
    if args.save or not _has_display():
        _save_figures_on_show(args.save or DEFAULT_SAVE_DIR, args.module)
    run_as_main(args.module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
