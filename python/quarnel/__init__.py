"""Context selection for retrieval pipelines, on the quarnel_solver engine.

`ContextSelector` chooses the chunks that best serve a query within a token
budget and returns a `Selection`. Framework adapters live in submodules that
import only when their framework is installed: `quarnel.langchain`
(`QuarnelCompressor`), `quarnel.haystack` (`QuarnelRanker`) and `quarnel.llama_index`
(`QuarnelNodePostprocessor`). `maxsim`,
`maxsim_quantized` and `maxsim_binary_documents` score late-interaction
tokens of items with their own lengths (`quarnel.maxsim`). `quarnel.coverage`
builds the query-term coverage that `select` rewards: lexical from the texts
(`query_text=`), or per token from token vectors (`token_coverage`). Offline
jobs over columnar batches use `quarnel.batch`, on Ray Data (`quarnel.ray`)
or Dask (`quarnel.dask`).
"""

from __future__ import annotations

# A development build keeps the private native module (quarnel/_native) in its
# build directory; extending the package path lets `PYTHONPATH=build/<name>:python`
# find it beside these sources. An installed package has both in one place.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)

from quarnel_solver import version as _native_version

from .coverage import CorpusStatistics, token_coverage
from .defaults import DEFAULTS, SelectionDefaults
from .errors import InternalError, SelectionError, SelectionWarning
from .maxsim import maxsim, maxsim_binary_documents, maxsim_quantized
from .selection import ChunkReport, Selection
from .selector import ContextSelector

__version__ = _native_version()

__all__ = [
    "ContextSelector",
    "Selection",
    "ChunkReport",
    "InternalError",
    "SelectionWarning",
    "SelectionError",
    "DEFAULTS",
    "SelectionDefaults",
    "maxsim",
    "maxsim_quantized",
    "maxsim_binary_documents",
    "token_coverage",
    "CorpusStatistics",
]
