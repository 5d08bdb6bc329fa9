"""``python -m tarvel_tools``: the command line (see `tarvel_tools.cli`)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
