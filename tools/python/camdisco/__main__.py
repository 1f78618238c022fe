# SPDX-License-Identifier: MIT
"""python3 -m camdisco: the command line."""

import sys

from .cli import main

sys.exit(main())
