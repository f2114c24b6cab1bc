#!/usr/bin/env python3
"""Iron-Post development backend. Run with --help for options; see README.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from ironpost_backend.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
