"""What runs in a worker process: one call of the extension module per chunk.

The module's PanicException cannot cross a process boundary: the class is
made by the module at run time and is not an attribute of it, so pickle cannot
find it by name. A worker therefore wraps it in WorkerPanic, an ordinary
Exception with the same arguments, which pickles; the driver turns it back
into the PanicException of its own process (see ``_engine``). Every other
exception passes unchanged.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import ostrelline

# The operations a chunk may run; key_gen has no stream to cut.
OPERATIONS = frozenset({"build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"})


class WorkerPanic(Exception):
    """A PanicException raised by the module in a worker, carried back with its arguments."""

    @property
    def message(self) -> str:
        return self.args[0] if self.args else ""


class StoreRef:
    """Stands for a store installed in the worker by ``install_stores``."""

    __slots__ = ("token", "side")

    def __init__(self, token: str, side: int):
        self.token = token
        self.side = side

    def __reduce__(self):
        return (StoreRef, (self.token, self.side))

    def __repr__(self) -> str:
        return f"StoreRef({self.token!r}, {self.side})"


_installed: Optional[Tuple[str, bytes, bytes]] = None


def install_stores(token: str, sender_okvs: bytes, receiver_okvs: bytes) -> None:
    """Executor initializer: keeps the two stores of one ``initiate_queries`` run in this worker."""
    global _installed
    _installed = (token, sender_okvs, receiver_okvs)


def _resolve(value: Any) -> Any:
    if not isinstance(value, StoreRef):
        return value
    if _installed is None or _installed[0] != value.token:
        raise RuntimeError("this worker holds no stores for this run (was the executor made by the driver?)")
    return _installed[1 + value.side]


def is_panic(error: BaseException) -> bool:
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "ostrelline"


def run(operation: str, *args: Any) -> Any:
    """Calls ``ostrelline.<operation>(*args)``, wrapping a PanicException in WorkerPanic."""
    if operation not in OPERATIONS:
        raise ValueError(f"unknown operation {operation!r}")
    function = getattr(ostrelline, operation)
    args = tuple(_resolve(a) for a in args)
    failure = None
    try:
        return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        failure = WorkerPanic(*error.args)
    # Raised outside the handler, so that nothing unpicklable hangs on it.
    raise failure
