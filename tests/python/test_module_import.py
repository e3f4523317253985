"""Module initialisation of both modules: the interpreter-version guard and the refusal
of subinterpreters."""

import glob
import importlib
import os
import shutil
import subprocess

import pytest

MODULES = ["velqa", "dravik"]


def other_python():
    """A CPython other than 3.12, to load the modules into."""
    for candidate in ["python3.11", "python3.10"] + sorted(
        glob.glob(os.path.expanduser("~/.pyenv/versions/3.1[01].*/bin/python3"))
    ):
        path = shutil.which(candidate) or (candidate if os.path.isfile(candidate) else None)
        if path:
            return path
    return None


@pytest.mark.parametrize("name", MODULES)
def test_import_under_another_python_version_fails_with_the_version_message(name, tmp_path):
    module = importlib.import_module(name)
    interpreter = other_python()
    if interpreter is None:
        pytest.skip("no CPython 3.10 or 3.11 on this machine")
    # Without its ABI tag the file is importable by any version, which then reaches the guard.
    shutil.copy(module.__file__, tmp_path / f"{name}.so")
    run = subprocess.run(
        [interpreter, "-c", f"import {name}"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env={"PATH": os.environ.get("PATH", ""), "PYTHONPATH": str(tmp_path)},
    )
    assert run.returncode != 0
    version = subprocess.run(
        [interpreter, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    expected = (
        "ImportError: Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert expected in run.stderr


@pytest.mark.parametrize("name", MODULES)
def test_subinterpreters_are_refused(name):
    module = importlib.import_module(name)
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        folder = os.path.dirname(module.__file__)
        with pytest.raises(interpreters.RunFailedError, match="does not support loading in subinterpreters"):
            interpreters.run_string(interp, f"import sys; sys.path.insert(0, {folder!r}); import {name}")
    finally:
        interpreters.destroy(interp)
