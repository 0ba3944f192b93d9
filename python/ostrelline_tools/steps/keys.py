"""Every party's first step: its key pair."""
from __future__ import annotations

import os

import ostrelline

from .. import files, kinds
from ..errors import BadFileError, PathLike, UsageError
from ..files import FileWriter
from ..kinds import Role
from .checks import fp_hex

__all__ = ["ROLES", "keygen"]

ROLES = tuple(r.value for r in Role)


def keygen(public_path: PathLike, secret_path: PathLike, role: str, overwrite: bool = False) -> str:
    """Writes a key pair for ``role``: the public key file, and the secret key
    file with mode 0600.

    Returns:
        The key's fingerprint, in hex (as ``inspect`` shows it).

    Raises:
        UsageError: ``role`` is not one of ``ROLES`` (also a ``ValueError``).
        BadFileError: one name for both files, or an output that may not be
            written (a link, a device, a folder).
        OutputExistsError: an existing file, unless ``overwrite``; an
            existing secret key even then (also a ``FileExistsError``).
    """
    try:
        role = Role(role)
    except ValueError:
        raise UsageError(f"role is one of {', '.join(ROLES)}, not {role!r}") from None
    if os.path.abspath(public_path) == os.path.abspath(secret_path):
        raise BadFileError(secret_path, "is named for both the public and the secret key")
    public_key, secret_key = ostrelline.key_gen()
    fp = files.fingerprint(public_key)
    meta = {"role": role}
    for path in (public_path, secret_path):
        files.check_output(path, overwrite)
    # Both files or neither: each is written to a temporary file first, the
    # public key renamed into place only once the secret key's is written,
    # and taken back should the secret key's rename fail.
    written = False
    try:
        with FileWriter(secret_path, kinds.SECRET_KEY.name, 1, fp, meta, overwrite) as secret_writer:
            secret_writer.write(secret_key)
            files.write_file(public_path, kinds.PUBLIC_KEY.name, public_key, 1, fp, meta, overwrite)
            written = True
    except BaseException:
        if written:
            os.unlink(public_path)
        raise
    return fp_hex(fp)

