"""Test-suite set-up: where the modules under test are found."""

import os
import sys

# tools/test.sh points this at its build directory; otherwise the installed modules are used.
for path in reversed(os.environ.get("QUORRA_MODULE_DIRS", "").split(os.pathsep)):
    if path and os.path.isdir(path):
        sys.path.insert(0, path)
