"""python -m qeltypes: the qel command."""
import sys

from .cli import main

sys.exit(main())
