"""What the installed distribution carries: the licence text, the version
written once in the package, and a classifier for the running interpreter."""

import importlib.metadata
import sys

import pytest

import corvane


def test_installed_distribution():
    try:
        dist = importlib.metadata.distribution("corvane")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("corvane is on the path, not installed as a distribution")
    assert dist.version == corvane.__version__
    text = dist.read_text("licenses/LICENSE") or dist.read_text("LICENSE")
    assert text is not None and text.startswith("BSD 3-Clause License")
    classifiers = dist.metadata.get_all("Classifier")
    assert "Programming Language :: Python :: %d.%d" % sys.version_info[:2] in classifiers
    assert "License :: OSI Approved :: BSD License" in classifiers
    assert dist.metadata["License"] == "BSD-3-Clause"
