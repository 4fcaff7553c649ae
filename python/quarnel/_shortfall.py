"""Telling the caller when a selection falls short: a warning, or with
`strict` an error, that names why."""

from __future__ import annotations

import sys
import warnings
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import SelectionError, SelectionWarning


def shortfall(selection: Any, costs: NDArray[np.uint32], pool_costs: NDArray[np.uint32]) -> str | None:
    """Why this selection is short of what was asked, or None when it is not
    (nothing given, nothing asked: an empty input is no shortfall)."""
    if selection.num_inputs == 0:
        return None
    reasons = []
    if len(selection) == 0:
        budget = selection.token_budget
        if int(costs.min()) > budget:
            reasons.append(f"every chunk exceeds the budget of {budget} tokens (the smallest has {int(costs.min())})")
        elif len(pool_costs) and int(pool_costs.min()) > budget:
            reasons.append(f"every candidate the solver saw exceeds the budget of {budget} tokens")
        else:
            reasons.append("no chunk was selected")
    if selection.violations:
        reasons.append("unmet constraints: " + "; ".join(selection.violations))
    return "; ".join(reasons) or None


def report(selection: Any, costs: NDArray[np.uint32], pool_costs: NDArray[np.uint32], strict: bool) -> None:
    reason = shortfall(selection, costs, pool_costs)
    if reason is None:
        return
    if strict:
        raise SelectionError(f"selection falls short: {reason}", selection)
    warnings.warn(f"selection falls short: {reason}", SelectionWarning, stacklevel=_caller_level())


def _caller_level() -> int:
    """The stack level of the first frame outside this package, so that the
    warning points at the caller's code (or their framework's), not ours."""
    frame = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_globals.get("__name__", "").split(".")[0] == "quarnel":
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    return level
