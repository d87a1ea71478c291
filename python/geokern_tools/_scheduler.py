"""The scheduler names of the command and of geokern_tools.dask."""
from __future__ import annotations

import os


def local_workers(scheduler: str) -> int | None:
    """N of "local" (the number of cores) or "local:N"; None for an address."""
    if scheduler == "local":
        return os.cpu_count() or 1
    if scheduler.startswith("local:"):
        count = scheduler[len("local:"):]
        if not count.isdigit() or int(count) < 1:
            raise ValueError(f"local:N needs a positive number of workers, got {scheduler!r}")
        return int(count)
    return None
