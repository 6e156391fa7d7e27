"""Prints, one per line, where the system's python3 looks for pure-Python modules under each
prefix given, relative to that prefix (CMake's install step puts the package there)."""

import os
import sys
import sysconfig


def module_dir(prefix: str) -> str:
    schemes = sysconfig.get_scheme_names()
    if prefix == "/usr" and "deb_system" in schemes:
        # Debian: packaged modules, for every python3 version at once.
        path = sysconfig.get_path("purelib", "deb_system", vars={"base": "/usr"})
    elif prefix == "/usr/local" and "posix_local" in schemes:
        # Debian: what the local administrator installs; the scheme adds "local" to /usr.
        path = sysconfig.get_path("purelib", "posix_local", vars={"base": "/usr"})
    else:
        path = sysconfig.get_path("purelib", "posix_prefix",
                                  vars={"base": prefix, "platbase": prefix})
    return os.path.relpath(path, prefix)


if __name__ == "__main__":
    print(";".join(module_dir(os.path.normpath(prefix)) for prefix in sys.argv[1:]))
