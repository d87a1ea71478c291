"""The `geokern` command."""
# Placeholder: filled in by the command-line work.
from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    print("geokern: not built yet", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
