"""``python -m chromalens``: the command line (see :mod:`chromalens.cli`)."""

import sys

from chromalens.cli import main

if __name__ == "__main__":
    sys.exit(main())
