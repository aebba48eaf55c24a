"""How many threads the package's batched work uses when the caller does not say."""

from __future__ import annotations

import os


def default_threads() -> int:
    """The cores this process may run on."""
    if hasattr(os, "process_cpu_count"):  # 3.13
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1
