"""Running the steps of the tools beyond one process, on the engines of
``ostrelline_parallel``: a process pool of this machine or a Dask scheduler.

``open_engine`` gives the engine a step runs on (None for the single-process
path); ``Windows`` hands the engine the step's entries a window at a time (the
engine cuts each window into its chunks of ``chunk_size`` entries), so that
memory follows the window, progress is reported per finished chunk across the
whole step, and Ctrl-C is acted on while a window runs (the engine cancels
its outstanding chunks).

Secret keys travel to Dask workers only over TLS: ``require_protected`` makes
a step that would send one over plain TCP fail before any work, with a
``PlainTransportRefused`` that names the addresses; the engines' own
``PlainTransportError`` becomes the same error.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import signal
from typing import Any, Callable, Iterator, Optional

from ostrelline_parallel import Engine, ExecutorEngine

from .errors import STOPPING_SIGNALS, Extra, MissingDependencyError, ToolError

__all__ = ["PlainTransportRefused", "open_engine", "require_protected", "Windows", "window_for"]

Progress = Callable[[str, int, int], None]

#: Chunks per worker in one window: enough that the last ones even out.
CHUNKS_PER_WORKER = 4


class PlainTransportRefused(ToolError):
    """A step would send a secret key to a scheduler or worker without encryption."""


def _ignore_interrupts() -> None:
    # Ctrl-C at a terminal goes to the whole process group: the command stops
    # the pool itself, and a worker interrupted mid-task would break it. A
    # termination signal (the pool's own, when the command stops) ends a
    # worker at once, without the command's handlers it was forked with.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for number in STOPPING_SIGNALS:
        signal.signal(number, signal.SIG_DFL)


def _cluster_missing() -> MissingDependencyError:
    return MissingDependencyError("--scheduler", "dask and distributed", Extra.CLUSTER)


def _security(ca_file: Optional[str], cert_file: Optional[str], key_file: Optional[str]) -> Any:
    given = [p for p in (ca_file, cert_file, key_file) if p is not None]
    if not given:
        return None
    try:
        from distributed.security import Security
    except ImportError:
        raise _cluster_missing() from None
    if ca_file is None or cert_file is None:
        raise ToolError("TLS needs the CA file (--tls-ca-file) and this client's certificate (--tls-cert)")
    for path in given:
        if not os.path.isfile(path):
            raise ToolError(f"{path}: TLS file cannot be read (no such file)")
    return Security(
        tls_ca_file=ca_file, tls_client_cert=cert_file, tls_client_key=key_file, require_encryption=True
    )


def _stop_workers(pool: cf.ProcessPoolExecutor) -> None:
    """Ends the pool's workers at once, so that its shutdown cannot hang.

    A worker ended while it was sending a result leaves part of a message in
    the result pipe, and the pool's manager thread then waits for the rest
    forever: this process holds the pipe's writing end too, so no end of file
    comes. Once every worker is gone, that end is closed here, the manager
    reads end of file, takes the pool for broken and ends."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(timeout=10)
        if process.is_alive():
            process.kill()
            process.join()
    writer = getattr(getattr(pool, "_result_queue", None), "_writer", None)
    if writer is not None:
        writer.close()


@contextlib.contextmanager
def _pool(workers: int, chunk_size: int) -> Iterator[Engine]:
    if workers < 1:
        raise ToolError(f"--workers must be at least 1, not {workers}")
    # Forked, as the single-process build is: a spawned worker would import the
    # caller's main module again, which a script need not guard. The workers
    # only call the module (no table reader of this process runs there).
    pool = cf.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("fork"), initializer=_ignore_interrupts
    )
    engine = ExecutorEngine(pool, chunk_size=chunk_size)
    engine.workers = workers  # type: ignore[attr-defined]
    try:
        yield engine
    except BaseException:
        # Ctrl-C or a failure: outstanding chunks are dropped and the running
        # ones are not waited for.
        _stop_workers(pool)
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


@contextlib.contextmanager
def _dask(address: str, security: Any, chunk_size: int, timeout: float) -> Iterator[Engine]:
    try:
        import distributed
        from ostrelline_parallel import DaskEngine
    except ImportError:
        raise _cluster_missing() from None
    try:
        client = distributed.Client(address, security=security, timeout=timeout)
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        raise ToolError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    try:
        engine = DaskEngine(client, chunk_size=chunk_size)
        threads = sum(w.get("nthreads", 1) for w in client.scheduler_info(n_workers=-1).get("workers", {}).values())
        engine.workers = max(1, threads)  # type: ignore[attr-defined]
        yield engine
    finally:
        client.close()


@contextlib.contextmanager
def open_engine(
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    tls_ca_file: Optional[str] = None,
    tls_cert: Optional[str] = None,
    tls_key: Optional[str] = None,
    chunk_size: int = 4096,
    timeout: float = 30.0,
) -> Iterator[Optional[Engine]]:
    """The engine of ``workers`` processes of this machine, or of the Dask
    scheduler at ``scheduler`` (TLS with the CA file, this client's certificate
    and key), closed at the end; None when neither is given."""
    if workers is not None and scheduler is not None:
        raise ToolError("--workers and --scheduler exclude each other")
    if scheduler is None and any(p is not None for p in (tls_ca_file, tls_cert, tls_key)):
        raise ToolError("the TLS options go with --scheduler")
    if workers is not None:
        with _pool(workers, chunk_size) as engine:
            yield engine
    elif scheduler is not None:
        with _dask(scheduler, _security(tls_ca_file, tls_cert, tls_key), chunk_size, timeout) as engine:
            yield engine
    else:
        yield None


def require_protected(engine: Optional[Engine], step: str) -> None:
    """Refuses, before any work, a step that would send a secret key to a
    scheduler or worker reached without encryption."""
    plain = getattr(engine, "plain_addresses", None)
    addresses = plain() if plain is not None else []
    if addresses:
        raise PlainTransportRefused(
            f"{step} would send a secret key without encryption to {', '.join(addresses[:4])}"
            f"{' and more' if len(addresses) > 4 else ''}; refused: connect to a tls:// scheduler "
            "with --tls-ca-file, --tls-cert and --tls-key, or run it here (without --scheduler)"
        )


def window_for(engine: Engine) -> int:
    """Entries handed to the engine at once: some chunks for each of its workers."""
    return engine.chunk_size * max(1, int(getattr(engine, "workers", 1))) * CHUNKS_PER_WORKER


class Windows:
    """The counterpart of the single-process chunking for an engine: ``run``
    calls ``call(start, stop)`` over windows of ``window_for(engine)`` entries,
    and ``function`` gives an engine step whose progress counts across the
    windows (``done`` is the entries finished so far)."""

    def __init__(self, step: str, total: int, engine: Engine, progress: Optional[Progress]):
        self.step, self.total, self.engine, self.progress = step, total, engine, progress
        self.window = window_for(engine)
        self.done = 0
        if progress is not None:
            progress(step, 0, total)

    def _report(self, _step: str, done: int, _total: int) -> None:
        if self.progress is not None and done:
            self.progress(self.step, self.done + done, self.total)

    def function(self, method: Any) -> Callable[..., Any]:
        """The engine's step ``method`` (a name, or a function taking the engine
        first), reporting its progress as this step's."""
        if isinstance(method, str):
            bound = getattr(self.engine, method)
        else:
            bound = lambda *args, **kwargs: method(self.engine, *args, **kwargs)  # noqa: E731

        def call(*args: Any) -> Any:
            try:
                return bound(*args, progress=self._report)
            except RuntimeError as error:
                if type(error).__name__ == "PlainTransportError":
                    raise PlainTransportRefused(f"{self.step}: {error}") from None
                raise

        return call

    def run(self, count: int, call: Callable[[int, int], None]) -> None:
        for start in range(0, count, self.window):
            stop = min(count, start + self.window)
            call(start, stop)
            self.done += stop - start
            if self.progress is not None:
                self.progress(self.step, self.done, self.total)
