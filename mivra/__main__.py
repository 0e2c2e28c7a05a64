"""``python -m mivra``: the ``mivra-gdq`` command line."""
import sys

from .cli import main

sys.exit(main())
