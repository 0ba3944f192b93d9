"""The file kinds the party tools write, registered with ``files``.

| kind          | payload                                  | count    | fingerprint of      |
|---------------|------------------------------------------|----------|---------------------|
| public-key    | 32-byte public key                       | 1        | that key            |
| secret-key    | 32-byte secret key (file mode 0600)      | 1        | its public key      |
| store         | a store of ``build_okvs`` (either kind)  | rows     | the bank's key      |
| sharded-store | k stores one after another (``sharded``) | rows     | the bank's key      |
| queries       | wide-ciphertext stream, 128 B per entry  | payments | the network's key   |
| points        | point stream, 32 B per entry             | payments | see ``component``   |
| results       | a payments table with a match column (a  | payments | the network's key   |
|               | file of the tools; `finish` now writes   |          |                     |
|               | plain tables, see `results`)             |          |                     |

Metadata fields (besides ``rows``, the row-encoding record):

* ``role``: on keys and stores, the party: "sender", "receiver" or "network".
* ``construction``: on stores, "hiding" (membership-hiding) or "specified".
* ``columns``: on stores, the bank's column names, in order (absent on stores
  built before they were recorded).
* ``run``: on streams and results, a random identifier that ``initiate``
  draws; every stream of one run carries it.
* ``copy``: on queries made by ``randomize``, a random identifier of that copy.
* ``component``: on points, "sender", "receiver", "gamma" or "delta"; a
  sender or receiver stream is made for that bank's key, gamma and delta for
  the network's; ``decrypted`` is true after the bank's ``decrypt``.
* ``sender``, ``receiver``: on the network's own files (queries, gamma, delta,
  results), the fingerprints of both banks' keys, and ``payments``, a digest
  of the payments table; files sent to a bank carry none of these.
* ``skipped``: on queries and on gamma and delta, where ``initiate`` left out
  payments with an empty key value: the rule (``rows.BLANK_RULE``), the
  payment columns it was applied to and the number of rows; ``finish``
  finds those rows again in the payments table.
* ``format``: on results, "csv" or "parquet".
"""
from __future__ import annotations

import enum

from ostrelline_parallel.layout import store_size

from .files import Header, Kind, register_kind

__all__ = [
    "Role", "Construction", "Component",
    "PUBLIC_KEY", "SECRET_KEY", "STORE", "SHARDED_STORE", "QUERIES", "POINTS", "RESULTS", "KEY_SIZE", "WIDE", "POINT"
]


class _Recorded(str, enum.Enum):
    """A value that headers record as its string; compares equal to that string."""

    def __str__(self) -> str:
        return str(self.value)

    def __format__(self, spec: str) -> str:
        return format(str(self.value), spec)


class Role(_Recorded):
    """The party a key or a store belongs to (``role``)."""

    SENDER = "sender"
    RECEIVER = "receiver"
    NETWORK = "network"

    @property
    def party(self) -> str:
        """The party's name in messages."""
        return {"sender": "sending bank", "receiver": "receiving bank", "network": "payment network"}[self.value]

    @property
    def is_bank(self) -> bool:
        return self is not Role.NETWORK


class Construction(_Recorded):
    """The kind of store a bank builds (``construction``)."""

    #: membership-hiding: the store does not tell which rows it holds
    HIDING = "hiding"
    #: the specified construction of ``ostrelline.build_okvs``
    SPECIFIED = "specified"


class Component(_Recorded):
    """The four point streams of a run (``component``), by who receives them."""

    SENDER = "sender"
    RECEIVER = "receiver"
    GAMMA = "gamma"
    DELTA = "delta"

KEY_SIZE = 32
WIDE = 128
POINT = 32


def _store_size(header: Header) -> int:
    return store_size(header.count)


def _sharded_store_size(header: Header) -> int:
    meta = header.meta
    return int(meta.get("shards", 0)) * int(meta.get("shard_size", 0))


PUBLIC_KEY = register_kind(Kind("public-key", "public key", payload_size=lambda h: KEY_SIZE))
SECRET_KEY = register_kind(Kind("secret-key", "secret key", payload_size=lambda h: KEY_SIZE, secret=True))
STORE = register_kind(Kind("store", "bank store", payload_size=_store_size))
# Registered here, not by ``sharded``, so that such a store is told and
# checked where the hash that building and querying it need is not installed.
SHARDED_STORE = register_kind(Kind("sharded-store", "sharded bank store", payload_size=_sharded_store_size))
QUERIES = register_kind(Kind("queries", "query stream", entry_width=WIDE))
POINTS = register_kind(Kind("points", "point stream", entry_width=POINT))
RESULTS = register_kind(Kind("results", "results table"))
