"""``python -m korvel INPUT``: the same as the ``korvel`` command."""

import sys

from korvel.cli import main

if __name__ == "__main__":
    sys.exit(main())
