"""python -m velmora_sweep: the velmora-sweep command."""

import sys

from velmora_sweep.sweep import main

sys.exit(main())
