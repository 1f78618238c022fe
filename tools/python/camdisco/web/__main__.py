# SPDX-License-Identifier: MIT
"""python3 -m camdisco.web: the installers' page (camdisco web --help)."""

import sys

from . import main

sys.exit(main())
