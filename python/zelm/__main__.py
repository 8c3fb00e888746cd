"""`python -m zelm`: the command line of zelm.cli.

Its frame is on the stack while `zelm run` records a program, so the
built-in filter leaves it out by name.
"""

import sys

from zelm.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
