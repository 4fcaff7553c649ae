"""Telling the caller when a selection falls short: a warning, or with
`strict` an error, that names why."""

from __future__ import annotations

import sys
import warnings
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import SelectionError, SelectionWarning


def shortfall(selection: Any, pool_costs: NDArray[np.uint32]) -> str | None:
    """Why this selection is short of what was asked, or None when it is not
    (nothing given, nothing asked: an empty input is no shortfall).
    `pool_costs` are the token costs of the candidates the solver saw."""
    if selection.num_inputs == 0:
        return None
    reasons = []
    if len(selection) == 0:
        budget, smallest = selection.token_budget, int(pool_costs.min()) if len(pool_costs) else 0
        if smallest > budget:
            which = "chunk" if selection.num_candidates == selection.num_inputs else "candidate chunk"
            reasons.append(f"every {which} exceeds the budget of {budget} tokens (the smallest has {smallest})")
        else:
            reasons.append("no chunk was selected")
    if selection.violations:
        reasons.append("unmet constraints: " + "; ".join(selection.violations))
    return "; ".join(reasons) or None


def report(selection: Any, pool_costs: NDArray[np.uint32], strict: bool) -> None:
    reason = shortfall(selection, pool_costs)
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
