"""/usr/bin/python3 -I scripts/launcher_release COMMAND ARGS...: see cli.py."""
import os
import sys
import warnings

sys.dont_write_bytecode = True
# A user sees no Python warning; the release tests, which run this as
# python3 -I -W error, see each as the error it is.
if not sys.warnoptions:
    warnings.simplefilter("ignore")
sys.path[0] = os.path.dirname(os.path.abspath(sys.path[0]))
from launcher_release import cli  # noqa: E402 (the path above first)

cli.main(sys.argv[1] if len(sys.argv) > 1 else "", sys.argv[2:])
