"""No leaks: every function is called a hundred thousand times, half of the
calls succeeding on tiny inputs and half failing, in turn at each of the
function's checks (binding, row lists, byte-string types, lengths, points,
stores, refusals). Across the calls neither the reference counts of the
arguments, nor the number of objects the collector tracks, nor the number
of blocks the interpreter's allocator holds, nor resident memory may grow.

A leaked result, exception or argument reference shows up as tens of
thousands of objects or blocks; a leaked C++ allocation of a few dozen
bytes per call as megabytes of resident memory.
"""
import contextlib
import gc
import os
import sys

import pytest

import ostrelline
from conftest import PanicException

CALLS = 100_000
WARM_UP = 5_000
# Resident memory may move by allocator noise; a leak of 32 bytes per call
# is 3.2 MB over the calls.
RSS_SLACK = 2 << 20
BLOCK_SLACK = 500
OBJECT_SLACK = 200

PK, SK = ostrelline.key_gen()
PK_Q, SK_Q = ostrelline.key_gen()
ROW = ["a"]
ROWS = [ROW]
STORE = ostrelline.build_okvs(PK, ROWS)
QUERY = ostrelline.initiate_queries(ROWS, ROWS, STORE, STORE, PK_Q)
S, R, G, D = ostrelline.combine(QUERY, QUERY)
IDENTITY = bytes([1]) + bytes(31)
NOT_A_POINT = bytes([2]) + bytes(31)
NOT_A_POINT_ENTRY = IDENTITY * 2 + NOT_A_POINT + IDENTITY
SHORT_KEY = b"k" * 31
SHORT_STORE = bytes(100)
EMPTY_GRAPH_STORE = bytes(2072)
SURROGATE_ROWS = [["ok", "\ud800"]]
DUPLICATE_ROWS = [["ab"], ["a", "b"]]
BAD_COLUMN_ROWS = [[1]]
TUPLE_IN_ROW = [(("a",),)]


class RaisingIter(list):
    def __iter__(self):
        raise LookupError("iteration refused")


RAISING_ROWS = RaisingIter([ROW])
STR_ROWS = "not a list"
NOT_BYTES = 12345

# Every object handed to a call; their reference counts must come back.
WATCHED = [PK, SK, PK_Q, SK_Q, ROW, ROWS, STORE, QUERY, S, R, G, D, IDENTITY, NOT_A_POINT, NOT_A_POINT_ENTRY,
           SHORT_KEY, SHORT_STORE, EMPTY_GRAPH_STORE, SURROGATE_ROWS, DUPLICATE_ROWS, BAD_COLUMN_ROWS,
           TUPLE_IN_ROW, RAISING_ROWS, STR_ROWS, NOT_BYTES]

o = ostrelline
# For each function: the succeeding call, then one failing call per check.
CASES = {
    "key_gen": (
        lambda: o.key_gen(),
        [lambda: o.key_gen(1), lambda: o.key_gen(x=PK)],
    ),
    "build_okvs": (
        lambda: o.build_okvs(PK, ROWS),
        [
            lambda: o.build_okvs(PK),
            lambda: o.build_okvs(PK, ROWS, PK),
            lambda: o.build_okvs(PK, STR_ROWS),
            lambda: o.build_okvs(PK, BAD_COLUMN_ROWS),
            lambda: o.build_okvs(PK, TUPLE_IN_ROW),
            lambda: o.build_okvs(PK, SURROGATE_ROWS),
            lambda: o.build_okvs(PK, RAISING_ROWS),
            lambda: o.build_okvs(NOT_BYTES, ROWS),
            lambda: o.build_okvs(SHORT_KEY, ROWS),
            lambda: o.build_okvs(NOT_A_POINT, ROWS),
            lambda: o.build_okvs(IDENTITY, ROWS),
            lambda: o.build_okvs(PK, DUPLICATE_ROWS),
        ],
    ),
    "initiate_queries": (
        lambda: o.initiate_queries(ROWS, ROWS, STORE, STORE, PK_Q),
        [
            lambda: o.initiate_queries(ROWS, ROWS, STORE, STORE, swift=PK_Q),
            lambda: o.initiate_queries(STR_ROWS, ROWS, STORE, STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, SURROGATE_ROWS, STORE, STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, RAISING_ROWS, STORE, STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, ROWS, NOT_BYTES, STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, ROWS, SHORT_STORE, STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, ROWS, STORE, NOT_BYTES, PK_Q),
            lambda: o.initiate_queries(ROWS, ROWS, STORE, SHORT_STORE, PK_Q),
            lambda: o.initiate_queries(ROWS, ROWS, STORE, STORE, NOT_BYTES),
            lambda: o.initiate_queries(ROWS, ROWS, STORE, STORE, SHORT_KEY),
            lambda: o.initiate_queries(ROWS, ROWS, STORE, STORE, NOT_A_POINT),
            lambda: o.initiate_queries(ROWS, ROWS, EMPTY_GRAPH_STORE, STORE, PK_Q),
        ],
    ),
    "randomize": (
        lambda: o.randomize(QUERY),
        [
            lambda: o.randomize(),
            lambda: o.randomize(NOT_BYTES),
            lambda: o.randomize(SHORT_STORE),
            lambda: o.randomize(NOT_A_POINT_ENTRY),
        ],
    ),
    "combine": (
        lambda: o.combine(QUERY, QUERY),
        [
            lambda: o.combine(QUERY, sender_ciphertexts=QUERY),
            lambda: o.combine(NOT_BYTES, QUERY),
            lambda: o.combine(QUERY, NOT_BYTES),
            lambda: o.combine(QUERY, SHORT_STORE),
            lambda: o.combine(NOT_A_POINT_ENTRY, QUERY),
        ],
    ),
    "decrypt": (
        lambda: o.decrypt(S, SK),
        [
            lambda: o.decrypt(S),
            lambda: o.decrypt(S, NOT_BYTES),
            lambda: o.decrypt(S, SHORT_KEY),
            lambda: o.decrypt(NOT_BYTES, SK),
            lambda: o.decrypt(SHORT_KEY, SK),
            lambda: o.decrypt(NOT_A_POINT, SK),
        ],
    ),
    "finish": (
        lambda: o.finish(S, R, G, D, SK_Q),
        [
            lambda: o.finish(S, R, G, D),
            lambda: o.finish(S, R, G, D, NOT_BYTES),
            lambda: o.finish(S, R, G, D, SHORT_KEY),
            lambda: o.finish(NOT_BYTES, R, G, D, SK_Q),
            lambda: o.finish(S, NOT_BYTES, G, D, SK_Q),
            lambda: o.finish(S, R, NOT_BYTES, D, SK_Q),
            lambda: o.finish(S, R, G, NOT_BYTES, SK_Q),
            lambda: o.finish(SHORT_KEY, R, G, D, SK_Q),
            lambda: o.finish(S, R, NOT_A_POINT, D, SK_Q),
        ],
    ),
}
EXPECTED_ERRORS = (TypeError, UnicodeEncodeError, LookupError, PanicException)


@contextlib.contextmanager
def stderr_silenced():
    """Every PanicException writes a fault report line to fd 2."""
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        sys.stderr.flush()
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_calls(success, failures, count):
    failed = 0
    for i in range(count):
        if i % 2 == 0:
            success()
            continue
        try:
            failures[(i // 2) % len(failures)]()
        except EXPECTED_ERRORS:
            failed += 1
    return failed


def snapshot():
    gc.collect()
    return {
        "refcounts": [sys.getrefcount(obj) for obj in WATCHED],
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "rss": resident_bytes(),
    }


@pytest.mark.parametrize("name", list(CASES))
def test_no_growth_over_a_hundred_thousand_calls(name):
    success, failures = CASES[name]
    # Every failing variant really fails, and the succeeding one succeeds.
    with stderr_silenced():
        assert success() is not None
        for failing in failures:
            with pytest.raises(EXPECTED_ERRORS):
                failing()
        run_calls(success, failures, WARM_UP)
        before = snapshot()
        failed = run_calls(success, failures, CALLS)
        after = snapshot()
    assert failed == CALLS // 2
    assert after["refcounts"] == before["refcounts"]
    assert after["objects"] - before["objects"] < OBJECT_SLACK, (before["objects"], after["objects"])
    assert after["blocks"] - before["blocks"] < BLOCK_SLACK, (before["blocks"], after["blocks"])
    assert after["rss"] - before["rss"] < RSS_SLACK, (before["rss"], after["rss"])
