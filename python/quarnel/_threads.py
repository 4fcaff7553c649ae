"""The native worker pools' size in an engine's worker process.

Each native module starts its pool at its first parallel call, sized by the
environment variable RAYON_NUM_THREADS, and keeps that size for the life of
the process: `quarnel._native` for the package's selection and MaxSim, and
`quarnel_solver` for the module's own functions. `use_threads` sets the
variable in this process before any native call, so both pools follow it,
and starts `quarnel._native`'s pool at once with `start_pool`, which returns
the size of a pool that was already running. A request that comes too late,
or that differs from an earlier one in the same process, raises a
RuntimeWarning instead of passing unnoticed. A forked child starts fresh
pools and may ask again.
"""

from __future__ import annotations

import os
import warnings

from . import _native

THREADS_VARIABLE = "RAYON_NUM_THREADS"

_granted: dict[int, int] = {}  # by process id: the count this process asked for and got


def use_threads(threads: int) -> int:
    """Sizes this process's native pools to `threads` if not done yet; returns `quarnel._native`'s pool size."""
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
        raise ValueError(f"threads: expected a positive int, got {threads!r}")
    pid = os.getpid()
    earlier = _granted.get(pid)
    if earlier is not None:
        if earlier != threads:
            warnings.warn(
                f"quarnel: this process already runs its native pools with {earlier} threads; "
                f"the request for {threads} has no effect (the size is fixed at first use)",
                RuntimeWarning,
                stacklevel=3,
            )
        return earlier
    os.environ[THREADS_VARIABLE] = str(threads)
    running = _native.start_pool(threads)
    if running != threads:
        warnings.warn(
            f"quarnel: the native worker pool had already started with {running} threads before the "
            f"request for {threads}; set threads before the first quarnel call in this process",
            RuntimeWarning,
            stacklevel=3,
        )
    _granted[pid] = running
    return running
