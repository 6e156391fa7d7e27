"""Where the package is installed, and how the installed package finds the library."""

from __future__ import annotations

import os
import shutil
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import torvek_attenuator
from torvek_attenuator import _library

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))
import install_dirs  # noqa: E402  (python/install_dirs.py, run by CMake at configure time)

DEBIAN = "deb_system" in sysconfig.get_scheme_names()


@pytest.mark.skipif(not DEBIAN, reason="Debian's python3 and its schemes")
@pytest.mark.parametrize("prefix", ["/usr", "/usr/local"])
def test_the_system_prefixes_lead_where_python3_looks(prefix: str) -> None:
    directory = os.path.join(prefix, install_dirs.module_dir(prefix))
    assert directory in site.getsitepackages()


def run_in_copy(tmp_path: Path, layout: str, env_changes: dict) -> subprocess.CompletedProcess:
    """The package copied to tmp_path with the given _layout.py, imported by a new python3."""
    copy = tmp_path / "torvek_attenuator"
    shutil.copytree(Path(torvek_attenuator.__file__).parent, copy,
                    ignore=shutil.ignore_patterns("_layout.py", "__pycache__"))
    (copy / "_layout.py").write_text(layout)
    env = {k: v for k, v in os.environ.items()
           if k not in ("TORVEK_ATTENUATOR_LIBRARY", "LD_LIBRARY_PATH")}
    env.update(PYTHONPATH=str(tmp_path), **env_changes)
    code = ("from torvek_attenuator import _library as l\n"
            "print(l.candidates())\nprint(l.load()._name)\n")
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)


SYSTEM_LAYOUT = 'LIBRARY_DIR = None\nLIBRARY_FILE = "libtorvek_attenuator.so.1"\n'


@pytest.mark.skipif(sys.platform != "linux", reason="sonames")
def test_installed_under_usr_the_loader_finds_the_library_by_soname(tmp_path: Path) -> None:
    build_lib_dir = str(Path(_library.load()._name).parent)
    result = run_in_copy(tmp_path, SYSTEM_LAYOUT, {"LD_LIBRARY_PATH": build_lib_dir})
    assert result.returncode == 0, result.stderr
    candidates, loaded = result.stdout.splitlines()
    copy = tmp_path / "torvek_attenuator"
    assert candidates == str([str(copy / "libtorvek_attenuator.so.1"),
                              str(copy / "libtorvek_attenuator.so"),
                              "libtorvek_attenuator.so.1", "libtorvek_attenuator.so"])
    assert loaded == "libtorvek_attenuator.so.1"


PACKAGE_PARENT = Path(torvek_attenuator.__file__).resolve().parent.parent


# A module that Debian's interpreter has and another python3 may not: the error names the
# module, its Debian package and the interpreter that has it, whichever call needs it first.
@pytest.mark.parametrize("missing, package, code", [
    ("numpy", "python3-numpy", "import torvek_attenuator.calibration"),
    ("scipy.optimize", "python3-scipy",
     "from torvek_attenuator.calibration import fit\n"
     "fit(range(0, 360, 10), [(a // 10) % 5 for a in range(0, 360, 10)])"),
    ("matplotlib.figure", "python3-matplotlib",
     "from torvek_attenuator.calibration import plot; plot(None, 'fit.png')"),
    ("tqdm", "python3-tqdm",
     "from torvek_attenuator.calibration import measure; measure(None, None, [])"),
    ("tango", "python3-tango", "import torvek_attenuator_tango"),
    ("PyQt5.QtCore", "python3-pyqt5", "import torvek_attenuator.gui.window"),
])
def test_a_missing_debian_module_says_which_package_and_interpreter(
        tmp_path, missing, package, code) -> None:
    blocked = f"import sys; sys.modules[{missing!r}] = None\n"
    done = subprocess.run([sys.executable, "-c", blocked + code], cwd=tmp_path,
                          capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(PACKAGE_PARENT)})
    last = done.stderr.strip().splitlines()[-1]
    assert done.returncode == 1 and last.startswith("ModuleNotFoundError: "), done.stderr
    for value in (missing, package, sys.executable, "/usr/bin/python3"):
        assert value in last
