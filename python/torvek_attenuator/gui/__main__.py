"""python3 -m torvek_attenuator.gui: the window, as attenuator-gui starts it."""

import sys

from .cli import main

sys.exit(main(sys.argv[1:]))
