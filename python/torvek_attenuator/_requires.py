"""Modules that come from Debian's packages rather than with this one (numpy, scipy,
matplotlib, tqdm, tango). Debian installs them for its own interpreter, /usr/bin/python3; another
python3 first on PATH (pyenv, a virtual environment) has none of them, and its bare "No module
named 'numpy'" does not say where they are."""

from __future__ import annotations

import importlib
import sys
from types import ModuleType


def require(module: str, debian_package: str, needed_by: str) -> ModuleType:
    """Imports ``module``; when it is missing, the error names the Debian package that brings
    it and the interpreter that has Debian's packages."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as missing:
        raise ModuleNotFoundError(
            f"{needed_by} needs the module {missing.name} (Debian package {debian_package}), "
            f"which {sys.executable} does not have: run it with /usr/bin/python3, after "
            f"`apt-get install {debian_package}`",
            name=missing.name) from missing
