"""python -m scanner_gate: the scanner-core command."""

import sys

from scanner_gate.cli import main

sys.exit(main())
