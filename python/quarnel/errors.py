"""Exceptions and warnings of the quarnel package."""

from __future__ import annotations

from typing import Any


class InternalError(RuntimeError):
    """The native solver failed on input this package had already checked.

    That is a bug in quarnel, never in the caller's data; the original
    `quarnel_solver.PanicException` is chained as the cause.
    """


class SelectionWarning(UserWarning):
    """A selection came back short of what was asked: a constraint is unmet,
    or nothing fits the token budget. The message names the reason."""


class SelectionError(ValueError):
    """What `SelectionWarning` reports, raised instead with `strict=True`.

    `selection` holds the result the solver did find, for inspection.
    """

    def __init__(self, message: str, selection: Any) -> None:
        super().__init__(message)
        self.selection = selection
