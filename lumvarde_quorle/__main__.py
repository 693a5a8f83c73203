"""`python -m lumvarde_quorle`: the command-line tool."""

import sys

from .cli import main

# Guarded: worker processes import the main module again and must not start the tool.
if __name__ == "__main__":
    sys.exit(main())
