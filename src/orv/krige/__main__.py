"""``python -m orv.krige``: the orv-variogram command."""
import sys

from .cli import main

sys.exit(main())
