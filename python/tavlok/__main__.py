import sys

from .cli import main

sys.exit(main(prog="python -m tavlok"))
