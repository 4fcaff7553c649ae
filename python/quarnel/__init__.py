"""Context selection for retrieval pipelines, on the quarnel_solver engine.

`ContextSelector` chooses the chunks that best serve a query within a token
budget and returns a `Selection`. Framework adapters live in submodules that
import only when their framework is installed: `quarnel.langchain`
(`QuarnelCompressor`) and `quarnel.haystack` (`QuarnelRanker`).
"""

from __future__ import annotations

from quarnel_solver import version as _native_version

from .defaults import DEFAULTS, SelectionDefaults
from .errors import InternalError
from .selection import ChunkReport, Selection
from .selector import ContextSelector

__version__ = _native_version()

__all__ = [
    "ContextSelector",
    "Selection",
    "ChunkReport",
    "InternalError",
    "DEFAULTS",
    "SelectionDefaults",
]
