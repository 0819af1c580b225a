"""`python -m lumivar` and the `lumivar` command."""

import sys

from lumivar.host import main

if __name__ == "__main__":
    sys.exit(main())
