"""Run the demonstration of a corvane extension module.

    python -m corvane.demo resampler [--save DIR]
    python -m corvane.demo sarchip [--save DIR]

The demonstrations are part of the extension modules' bodies and run only when
a module is initialised under the name "__main__". `python -m` cannot do that
for an extension module, so this runner does what the interpreter does for a
main module: it takes the module definition that the library's PyInit_
function returns, creates the module from it with the spec name "__main__" and
executes it, in this process.

Whenever matplotlib's backend cannot show figures (no display, a DISPLAY with
no X server behind it, or a non-interactive MPLBACKEND), and always with
--save, every figure that the demonstration shows is saved as a PNG file
instead, and the runner says where. Installed, this runner is the command
`corvane-demo`.
"""

import argparse
import ctypes
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import traceback
import types
import typing

MODULES = {"resampler": "corvane.dsp.resampler", "sarchip": "corvane.datasets.sarchip"}
DEFAULT_SAVE_DIR = "corvane-figures"
_PYTHON_API_VERSION = 1013
INSTALL_HINT = 'matplotlib is needed to run the demonstrations; install it with: pip install "corvane[demo]"'
# Backends that draw only into files or memory, for matplotlib releases that
# have no backend registry to ask.
_NON_INTERACTIVE = ("agg", "cairo", "pdf", "pgf", "ps", "svg", "template")


def _has_display() -> bool:
    if sys.platform.startswith(("win", "darwin")):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _backend_can_show() -> bool:
    """Whether matplotlib's backend, once resolved, can show a figure.

    Importing pyplot resolves the automatic choice: matplotlib keeps a GUI
    backend only when it can reach a display, and otherwise settles on Agg,
    whatever DISPLAY says. Backends unknown to matplotlib (third-party ones)
    are taken to show figures."""
    import matplotlib
    import matplotlib.pyplot  # noqa: F401  (resolves the backend)

    backend = matplotlib.get_backend().lower()
    backends: typing.Any = importlib.import_module("matplotlib.backends")
    registry = getattr(backends, "backend_registry", None)  # matplotlib 3.9 and newer
    if registry is None:
        non_interactive = _NON_INTERACTIVE
    else:
        non_interactive = tuple(registry.list_builtin(backends.BackendFilter.NON_INTERACTIVE))
    return backend not in non_interactive


def _save_figures_on_show(save_dir: str, prefix: str) -> typing.List[str]:
    """Switch matplotlib to Agg and make pyplot.show() save the new figures.

    Returns the list to which the paths of the saved figures are added."""
    paths: typing.List[str] = []
    try:
        import matplotlib
    except ImportError:
        return paths  # the demonstration reports the missing package itself
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(save_dir, exist_ok=True)
    saved = set()

    def show(*args: object, **kwargs: object) -> None:
        for num in plt.get_fignums():
            if num in saved:
                continue
            path = os.path.join(save_dir, f"{prefix}-figure-{num}.png")
            plt.figure(num).savefig(path)
            saved.add(num)
            paths.append(path)
            print(f"figure {num} saved to {path}", file=sys.stderr)

    plt.show = show
    return paths


def _is_missing_matplotlib(error: ImportError) -> bool:
    name = error.name or ""
    return name == "matplotlib" or name.startswith("matplotlib.")


def run_as_main(name: str) -> types.ModuleType:
    """Initialise the extension module `name` as the main module; return it."""
    origin = typing.cast(str, typing.cast(importlib.machinery.ModuleSpec, importlib.util.find_spec(MODULES[name])).origin)
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
    return typing.cast(types.ModuleType, module)


def main(argv: typing.Optional[typing.Sequence[str]] = None) -> int:
    prog = "corvane-demo" if os.path.basename(sys.argv[0]) == "corvane-demo" else "python -m corvane.demo"
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.split("\n\n")[0])
    parser.add_argument("module", choices=sorted(MODULES), help="the extension module to run")
    parser.add_argument("--save", metavar="DIR", help="save the figures as PNG files in DIR instead of showing them")
    args = parser.parse_args(argv)

    save_dir = args.save
    if save_dir is None:
        try:
            import matplotlib
        except ImportError:
            pass  # the demonstration fails at its own import line; see below
        else:
            if not _has_display():
                matplotlib.use("Agg")
            try:
                can_show = _backend_can_show()
            except Exception:
                can_show = True  # a broken pyplot: let the demonstration report it
            if not can_show:
                save_dir = DEFAULT_SAVE_DIR
    saved = _save_figures_on_show(save_dir, args.module) if save_dir is not None else []

    try:
        run_as_main(args.module)
    except ImportError as error:
        if not _is_missing_matplotlib(error):
            raise
        # The module's own failure, as it is, then what to do about it.
        traceback.print_exc()
        print(f"{prog}: {INSTALL_HINT}", file=sys.stderr)
        return 1
    if saved:
        print(f"{prog}: {len(saved)} figures saved in {os.path.abspath(save_dir)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
