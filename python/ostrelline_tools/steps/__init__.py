"""The protocol steps as the parties run them, on files.

Each function reads the files it is given, checks them (kind, checksums,
sizes, keys, roles, runs, counts and row encodings agree), runs the module's
operation in chunks and writes its output atomically: a refused input or a
failure, Ctrl-C included, leaves nothing behind.

Who runs what, and where it lives:

* every party (``keys``): ``keygen`` (role "sender", "receiver" or "network");
* each bank (``bank``): ``build_store`` from its table, sent to the payment
  network, and later ``decrypt`` of the stream it is sent, sent back;
* the payment network (``network``): ``initiate``, ``randomize`` (twice),
  ``combine``, which writes the stream for each bank and gamma and delta for
  itself, and ``finish``, which writes the payments table with a match
  column;
* anyone (``inspecting``): ``describe`` and ``export`` of a file.

``checks`` holds the checks the parties' steps share, ``calls`` the module's
calls and their chunking.

``progress``, where a step takes it, is called as ``progress(step, done,
total)`` with entries (rows, payments) done so far: 0 first, then after each
chunk. Failures raise the exceptions of ``errors``.

``engine``, where a step takes it, is an engine of ``ostrelline_parallel``
(see ``engines.open_engine``): the step's module calls then run on its
workers, in chunks of the engine's own ``chunk_size``, with the same result.
"""
from __future__ import annotations

from .bank import CONSTRUCTIONS, BuildReport, build_store, decrypt
from .calls import DEFAULT_CHUNK_SIZE, Progress
from .inspecting import describe, export
from .keys import ROLES, keygen
from .network import combine, finish, initiate, randomize

__all__ = [
    "ROLES",
    "CONSTRUCTIONS",
    "DEFAULT_CHUNK_SIZE",
    "Progress",
    "BuildReport",
    "keygen",
    "build_store",
    "initiate",
    "randomize",
    "combine",
    "decrypt",
    "finish",
    "describe",
    "export",
]
