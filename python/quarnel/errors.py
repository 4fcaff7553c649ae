"""Exceptions of the quarnel package."""

from __future__ import annotations


class InternalError(RuntimeError):
    """The native solver failed on input this package had already checked.

    That is a bug in quarnel, never in the caller's data; the original
    `quarnel_solver.PanicException` is chained as the cause.
    """
