"""The checks every party's steps share: keys read for their role, outputs
that may be written, streams of one run, the fingerprints as hex."""
from __future__ import annotations

import os
import stat
import warnings
from typing import List, Optional, Sequence, Tuple

from .. import files
from ..errors import BadFileError, KeyMismatchError, PathLike, ToolWarning
from ..files import Header, StoredFile
from ..kinds import Role
from ..tables import STDIN

__all__ = ["party", "read_key", "outputs_apart", "fp_hex", "warn", "table_paths", "open_stream", "same_run"]


def party(role: object) -> str:
    """The party ``role`` names, as messages say it (its repr when it names none)."""
    try:
        return Role(role).party
    except ValueError:
        return repr(role)


def read_key(path: PathLike, kind: files.Kind, roles: Sequence[str]) -> Tuple[bytes, Header]:
    with files.open_file(path, [kind.name]) as stored:
        header = stored.header
        if kind.secret:
            # Checked once the file is known to be a secret key, so that another
            # kind of file is named for what it is.
            mode = stat.S_IMODE(os.stat(path).st_mode)
            if mode & 0o077:
                raise BadFileError(path, f"is a secret key readable by other users (mode {mode:04o}); chmod 600 it")
        role = header.meta.get("role")
        if role not in roles:
            wanted = " or ".join(f"the {party(r)}'s" for r in roles)
            raise KeyMismatchError(path, f"is the {party(role)}'s {kind.description}, not {wanted}")
        key = stored.payload()
    return key, header


def outputs_apart(inputs: Sequence[Optional[PathLike]], outputs: Sequence[PathLike], overwrite: bool = False) -> None:
    """Refuses, before any work, an output that names an input of the step or
    another output (writing it would replace what the step reads, or one
    result with another), and an output that ``files.check_output`` refuses
    (an existing file without ``overwrite``, a secret key, a link, a device)."""
    for index, out in enumerate(outputs):
        for other in [i for i in inputs if i is not None] + list(outputs[:index]):
            if files.same_file(out, other):
                raise BadFileError(out, "is named both as an input or output of this step and as an output")
        files.check_output(out, overwrite)


def fp_hex(fp: bytes) -> str:
    """A key's fingerprint as the tools show and return it: lower-case hex."""
    return fp.hex()


def warn(warning: Optional[ToolWarning]) -> None:
    if warning is not None:
        warnings.warn(warning, stacklevel=3)



def table_paths(table: object) -> List[PathLike]:
    """The file a table argument names, for ``outputs_apart`` (none for a table
    in memory or standard input)."""
    if isinstance(table, (str, os.PathLike)) and os.fspath(table) != STDIN:
        return [table]
    return []


def open_stream(path: PathLike, kind: files.Kind) -> StoredFile:
    return files.open_file(path, [kind.name])


def same_run(path: PathLike, header: Header, reference: Header, reference_path: PathLike) -> None:
    if header.meta.get("run") != reference.meta.get("run"):
        raise BadFileError(path, f"comes from another run than {os.fspath(reference_path)}")
    if header.count != reference.count:
        raise BadFileError(
            path, f"holds {header.count} entries, {os.fspath(reference_path)} {reference.count}; they must agree"
        )

