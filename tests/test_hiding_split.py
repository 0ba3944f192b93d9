"""initiate_queries in two steps apart (ostrelline_hiding.decode_okvs, then
ostrelline_hiding.queries_from_cells): the same match bits as the whole call
on every batch backend the CPU runs, fresh scalars, cells as an independent
reader of the store format decodes them, and initiate_queries' failures and
messages."""
import json
import os
import subprocess
import sys

import pytest

import okvs_ref
import ostrelline
import ostrelline_hiding
from conftest import raises_panic

BACKENDS = ("portable", "avx2", "avx512f", "avx512ifma")
BAD_POINT = bytes([2]) + bytes(31)


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            return next((set(line.split(":", 1)[1].split()) for line in cpuinfo if line.startswith("flags")), set())
    except OSError:
        return set()


def _runs(backend):
    """Whether this CPU runs the backend (the module's dispatch ignores a
    backend it does not run and takes the fastest instead)."""
    flags = _cpu_flags()
    avx512 = {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= flags
    return {"portable": True, "avx2": "avx2" in flags, "avx512f": avx512,
            "avx512ifma": avx512 and "avx512ifma" in flags}[backend]


# Runs in a child process, whose module dispatch reads OSTRELLINE_BATCH_BACKEND
# once: both ways to the query stream, then the rest of the protocol on each.
CHILD = r"""
import json
import ostrelline, ostrelline_hiding

n = 45
(ps, xs), (pr, xr), (pq, xq) = (ostrelline.key_gen() for _ in range(3))
store_s = ostrelline_hiding.build_okvs(ps, [[f"s {i}", "x"] for i in range(n)])
store_r = ostrelline.build_okvs(pr, [[f"r {i}"] for i in range(n)])
# Every third query misses its sender row, every fifth its receiver row; one
# sender row more than receiver rows.
sq = [[f"absent {i}", "x"] if i % 3 == 0 else [f"s {i}", "x"] for i in range(n + 1)]
rq = [[f"absent {i}"] if i % 5 == 0 else [f"r {i}"] for i in range(n)]
whole = ostrelline.initiate_queries(sq, rq, store_s, store_r, pq)
cells_s = ostrelline_hiding.decode_okvs(sq, store_s)
cells_r = ostrelline_hiding.decode_okvs(rq, store_r)
split = ostrelline_hiding.queries_from_cells(cells_s, cells_r, pq)
again = ostrelline_hiding.queries_from_cells(cells_s, cells_r, pq)

def matches(queries):
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(ostrelline.decrypt(s, xs), ostrelline.decrypt(r, xr), g, d, xq)

gammas = [q[128 * i + 64 : 128 * i + 96].hex() for q in (whole, split, again) for i in range(len(q) // 128)]
print(json.dumps({"n": n, "lengths": [len(whole), len(split), len(cells_s), len(cells_r)],
                  "whole": matches(whole), "split": matches(split), "again": matches(again),
                  "gammas": gammas}))
"""


@pytest.mark.parametrize("backend", BACKENDS)
def test_both_ways_give_the_same_match_bits_and_fresh_scalars(backend):
    if not _runs(backend):
        pytest.skip(f"this CPU does not run {backend} (the emulated C++ tests cover it)")
    env = dict(os.environ, OSTRELLINE_BATCH_BACKEND=backend,
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    n = result["n"]
    assert result["lengths"] == [128 * n, 128 * n, 64 * (n + 1), 64 * n]
    want = [i % 3 != 0 and i % 5 != 0 for i in range(n)]
    assert result["whole"] == want
    assert result["split"] == want
    assert result["again"] == want
    # gamma = z B: one fresh z per query, none repeated in or across the streams.
    assert len(set(result["gammas"])) == 3 * n


def test_cells_are_the_stores_values(parties):
    pk = parties["sender"][0]
    rows = [["alice", "1"], ["bob", "2"], [], ["ü"]]
    for build in (ostrelline.build_okvs, ostrelline_hiding.build_okvs):
        store = build(pk, rows)
        reader = okvs_ref.Store(store)
        probe = rows + [["carol"], ["alice", "1"]]
        cells = ostrelline_hiding.decode_okvs(probe, store)
        assert cells == b"".join(reader.decode(row) for row in probe)
        # Rows in a tuple and lists of tuples are read as initiate_queries reads them.
        assert ostrelline_hiding.decode_okvs(tuple(tuple(row) for row in probe), store) == cells
    # Foreign bytes of store length decode without error.
    assert len(ostrelline_hiding.decode_okvs([["q"]], bytes(2072 + 64))) == 64
    assert ostrelline_hiding.decode_okvs([], bytes(2072)) == b""


def test_query_counts(parties):
    pk = parties["swift"][0]
    cells = os.urandom(64 * 3)
    assert len(ostrelline_hiding.queries_from_cells(cells, cells, pk)) == 3 * 128
    assert len(ostrelline_hiding.queries_from_cells(cells, cells[:64], pk)) == 128
    assert ostrelline_hiding.queries_from_cells(b"", cells, pk) == b""
    assert len(ostrelline_hiding.queries_from_cells(sender_cells=cells, receiver_cells=cells, swift_pk=pk)) == 3 * 128


def _failure(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - comparing whatever is raised
        return type(error), str(error)
    raise AssertionError("no failure")


def test_decode_okvs_fails_as_initiate_queries(parties):
    pk = parties["sender"][0]
    store = ostrelline.build_okvs(pk, [["a"]])
    empty = ostrelline.build_okvs(pk, [])
    # The store side: initiate_queries' failures with the argument named okvs.
    for bad in (None, bytearray(3), "store", 7):
        kind, message = _failure(lambda: ostrelline.initiate_queries([], [], bad, store, pk))
        assert _failure(lambda: ostrelline_hiding.decode_okvs([], bad)) == (
            kind, message.replace("The sender_okvs object", "The okvs object"))
    with raises_panic(exact='The okvs object should be of type `bytes`.: PyDowncastError { from: None, '
                      'to: "PyBytes" }'):
        ostrelline_hiding.decode_okvs([], None)
    for bad in (bytes(7), bytes(2071), store[:100]):
        assert _failure(lambda: ostrelline_hiding.decode_okvs([["a"]], bad)) == \
            _failure(lambda: ostrelline.initiate_queries([["a"]], [], bad, store, pk))
    with raises_panic(exact="attempt to calculate the remainder with a divisor of zero"):
        ostrelline_hiding.decode_okvs([["a"]], empty)
    # The rows: the conversion of sender_data, named data, before the store is read.
    for bad in ("abc", [[1]], [5], {("a",)}, [["a", b"b"]]):
        kind, message = _failure(lambda: ostrelline.initiate_queries(bad, [], store, store, pk))
        assert kind is TypeError
        assert _failure(lambda: ostrelline_hiding.decode_okvs(bad, None)) == (
            kind, message.replace("argument 'sender_data'", "argument 'data'"))
    with pytest.raises(TypeError, match=r"^decode_okvs\(\) missing 1 required positional argument: 'okvs'$"):
        ostrelline_hiding.decode_okvs([])
    with pytest.raises(TypeError, match=r"^decode_okvs\(\) got an unexpected keyword argument 'store'$"):
        ostrelline_hiding.decode_okvs(data=[], store=store)


def test_queries_from_cells_fails_as_initiate_queries(parties):
    pk = parties["swift"][0]
    store = ostrelline.build_okvs(pk, [["a"]])
    cells = bytes(128)
    # The key: initiate_queries' public-key reader, after both cell streams.
    for bad in (BAD_POINT, pk[:31], pk + b"\0", None, bytearray(pk)):
        assert _failure(lambda: ostrelline_hiding.queries_from_cells(cells, cells, bad)) == \
            _failure(lambda: ostrelline.initiate_queries([], [], store, store, bad))
    with raises_panic(exact="The public key was not a valid curve point."):
        ostrelline_hiding.queries_from_cells(b"", b"", BAD_POINT)
    # The cell streams: bytes, of whole 64-byte cells, sender first.
    with raises_panic(exact="The sender_cells object should hold whole 64-byte cells: its length, 65, is not a "
                      "multiple of 64."):
        ostrelline_hiding.queries_from_cells(bytes(65), bytes(63), BAD_POINT)
    with raises_panic(exact="The receiver_cells object should hold whole 64-byte cells: its length, 63, is not a "
                      "multiple of 64."):
        ostrelline_hiding.queries_from_cells(cells, bytes(63), BAD_POINT)
    with raises_panic(exact='The sender_cells object should be of type `bytes`.: PyDowncastError { from: '
                      'bytearray(b\'\'), to: "PyBytes" }'):
        ostrelline_hiding.queries_from_cells(bytearray(), 5, pk)
    with raises_panic(exact='The receiver_cells object should be of type `bytes`.: PyDowncastError { from: 5, '
                      'to: "PyBytes" }'):
        ostrelline_hiding.queries_from_cells(b"", 5, pk)
    with pytest.raises(TypeError, match=r"^queries_from_cells\(\) takes 3 positional arguments but 4 were given$"):
        ostrelline_hiding.queries_from_cells(cells, cells, pk, pk)
