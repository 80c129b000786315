"""``python -m orv.krige.cli``: the orv-variogram command."""
import sys

from . import main

sys.exit(main())
