"""`python -m lumvarde_quorle`: the command-line tool."""

from .cli import run

# Guarded: worker processes import the main module again and must not start the tool.
if __name__ == "__main__":
    run()
