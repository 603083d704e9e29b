"""python -m velmora_check: the velmora-check command."""

import sys

from velmora_check.cli import main

sys.exit(main())
