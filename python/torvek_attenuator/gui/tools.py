"""The programs the window runs beside itself: attenuator-sim plays a simulated device,
attenuatorctl probes the ports (its probe keeps away from ports that another program has
locked or holds, which the library alone does not know). Both come with the tools package."""

from __future__ import annotations

import os
import shutil
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

SIMULATOR = "attenuator-sim"
CONTROL = "attenuatorctl"
#: What to do when one of them is not found.
INSTALL_HINT = ("install the tools (Debian package torvek-attenuator-tools), or put them on "
                "PATH")


def find_tool(name: str, directories: Sequence[str]) -> Optional[str]:
    """The program ``name`` in the first of ``directories`` that has it, else on PATH."""
    for directory in directories:
        path = os.path.join(directory, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return shutil.which(name)


@dataclass(frozen=True)
class Tools:
    """Where the two programs are (None: not found), and what the simulator is started with
    besides its defaults (a device at 9600 baud that turns half a revolution a second)."""

    simulator: Optional[str]
    control: Optional[str]
    simulator_arguments: Tuple[str, ...] = ()

    @classmethod
    def find(cls, directories: Sequence[str] = (), simulator_arguments: Sequence[str] = ()
             ) -> "Tools":
        """Looks in ``directories`` (the launcher's: beside it when installed, the build
        tree's tool directories there), then on PATH."""
        return cls(find_tool(SIMULATOR, directories), find_tool(CONTROL, directories),
                   tuple(simulator_arguments))

    def missing(self, name: str) -> str:
        """Why the window cannot run ``name``, for people."""
        return f"{name} was not found beside attenuator-gui nor on PATH"
