"""Sphinx configuration of the corvane user guide.

Build it from the source checkout, with corvane installed with the docs
extra:  python -m sphinx -W --keep-going -b html docs docs/_build/html
"""

import os
import runpy

import corvane

HERE = os.path.dirname(os.path.abspath(__file__))

project = "corvane"
author = "The corvane developers"
copyright = "2026, The corvane developers"
release = version = corvane.__version__

extensions = []
exclude_patterns = ["_build", "_generated", "examples"]
html_theme = "alabaster"
html_static_path = []
today_fmt = "%Y-%m-%d"

# The figures are drawn by the installed package at every build, never pasted in.
runpy.run_path(os.path.join(HERE, "make_figures.py"))["main"](os.path.join(HERE, "_generated"))
