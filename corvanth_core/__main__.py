"""`python -m corvanth_core`: the command `corvanth-core`."""

import sys

from corvanth_core.cli import main

sys.exit(main())
