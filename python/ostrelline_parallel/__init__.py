"""Running the steps of the ``ostrelline`` protocol over chunks, in parallel.

Every stream the protocol exchanges is a concatenation of fixed-size
independent entries, so a step can cut its stream at entry boundaries, run
the pieces on several workers and join the results; the outcome is that of
the single call, failures included (see ``_engine`` for how).

* ``chunks``: cutting streams and row lists, joining results.
* ``ExecutorEngine`` and the functions ``build_okvs``, ``initiate_queries``,
  ``randomize``, ``combine``, ``decrypt``, ``finish``: on a
  ``concurrent.futures`` executor (a process pool by default).
* ``DaskEngine`` (module ``cluster``, imported on first use): on a Dask cluster.
* ``layout``: the store format's rules that the layers above use: a row's
  key (``row_key``, ``row_text``) and a store's size (``store_size``).
* ``shards`` and ``pipeline``: sharded stores, and building and querying
  them as a data-parallel job on Dask from tables where they lie.
* ``faults``: the module's fault report captured around its calls (workers
  send it back with the failure instead of writing it to their terminal),
  and ``is_panic`` and ``panic_exception_type``, which recognise the module's
  PanicException (also here).

``__version__`` is the version of the ``ostrelline`` distribution, which
ships this package and the party tools.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import chunks, faults, layout
from ._engine import Engine, Row
from ._version import version as _distribution_version
from ._worker import WorkerPanic
from .chunks import *  # noqa: F401,F403 - the helpers, listed in chunks.__all__
from .faults import is_panic, panic_exception_type
from .layout import row_key, row_text, store_size
from .pool import ExecutorEngine, build_okvs, combine, decrypt, finish, initiate_queries, randomize

if TYPE_CHECKING:
    # Imported on first use at run time (see __getattr__); type checkers see it here.
    from .cluster import DaskEngine, PlainTransportError, PlainTransportWarning

__version__ = _distribution_version()

__all__ = [
    "chunks",
    "faults",
    "layout",
    "row_key",
    "row_text",
    "store_size",
    "Engine",
    "ExecutorEngine",
    "DaskEngine",
    "PlainTransportError",
    "PlainTransportWarning",
    "WorkerPanic",
    "panic_exception_type",
    "is_panic",
    "build_okvs",
    "initiate_queries",
    "randomize",
    "combine",
    "decrypt",
    "finish",
    "Row",
]
# In this form (not `[...] + chunks.__all__`) type checkers follow it, and
# take every name listed as exported.
__all__ += chunks.__all__


def __getattr__(name: str) -> Any:
    # The Dask engine imports dask.distributed, which only it needs.
    if name in ("DaskEngine", "PlainTransportError", "PlainTransportWarning"):
        from . import cluster

        return getattr(cluster, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
