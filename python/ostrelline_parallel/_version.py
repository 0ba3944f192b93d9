"""The version of the ``ostrelline`` distribution, which ships this package and
the party tools.

It is written once, in the source tree's ``pyproject.toml``. Code run from a
source tree reports the version written there (an older installed copy of the
distribution may sit beside it); installed code reports its distribution's
metadata, which the build took from the same place.
"""
from __future__ import annotations

import os
import re
from typing import Optional

__all__ = ["DISTRIBUTION", "version"]

#: The distribution's name, as pip knows it.
DISTRIBUTION = "ostrelline"

_ENTRY = re.compile(r'(name|version)\s*=\s*"([^"]*)"\s*(#.*)?$')


def _tree_version(root: str) -> Optional[str]:
    """The version the ``[project]`` table of ``root/pyproject.toml`` writes,
    where that file exists and names this distribution."""
    try:
        with open(os.path.join(root, "pyproject.toml"), encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError):
        return None
    table, found = "", {}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            table = line
        elif table == "[project]":
            match = _ENTRY.match(line)
            if match:
                found.setdefault(match.group(1), match.group(2))
    return found.get("version") if found.get("name") == DISTRIBUTION else None


def version() -> str:
    """The version string, or "unknown" for a copy neither in a source tree nor installed."""
    package = os.path.dirname(os.path.abspath(__file__))
    in_tree = _tree_version(os.path.dirname(os.path.dirname(package)))
    if in_tree is not None:
        return in_tree
    try:
        from importlib import metadata

        return metadata.version(DISTRIBUTION)
    except Exception:  # noqa: BLE001 - no distribution metadata: a copy that was not installed
        return "unknown"
