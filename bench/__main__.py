"""Entry point of ``python -m bench``."""
import sys

from bench.cli import main

sys.exit(main(sys.argv[1:]))
