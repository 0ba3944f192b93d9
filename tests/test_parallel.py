"""The chunked protocol steps of ostrelline_parallel, on a process pool and on a
Dask cluster of worker processes: results equal to the single calls, and the
same exception as the single call for every failing input."""
import concurrent.futures as cf
import logging
import multiprocessing
import os
import pickle

import distributed
import pytest
from distributed.security import Security
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ed25519_ref as ed
import ostrelline
import ostrelline_parallel as op
from conftest import PanicException
from ostrelline_parallel import _worker, chunks

GOOD_POINT = ed.compress(ed.mul(7, ed.BASE))
BAD_POINT = bytes([2]) + bytes(31)
N = 24  # payments; chunk sizes 4, 6 and 24 divide it, 5, 7 and 50 do not
CHUNK_SIZES = [1, 4, 5, 6, 7, 24, 50]


# --------------------------------------------------------------------------- engines


@pytest.fixture(scope="module")
def pool():
    # Forked workers (the default on Linux, which the module reseeds after a
    # fork), started at once, while this process has no other thread.
    with cf.ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("fork")) as executor:
        assert executor.submit(int).result() == 0
        yield executor


@pytest.fixture(scope="module")
def dask_client(pool):
    # TLS with temporary certificates: decrypt and finish send secret keys.
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0",
        silence_logs=logging.CRITICAL, security=Security.temporary(),
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module", params=["pool", "dask"])
def make_engine(request):
    """A factory of engines of one kind, by chunk size."""
    if request.param == "pool":
        executor = request.getfixturevalue("pool")
        return lambda chunk_size: op.ExecutorEngine(executor, chunk_size=chunk_size)
    client = request.getfixturevalue("dask_client")
    return lambda chunk_size: op.DaskEngine(client, chunk_size=chunk_size)


# --------------------------------------------------------------------------- data


@pytest.fixture(scope="module")
def world():
    """Keys, stores, N payments with their truth, and single-call streams."""
    (spk, ssk), (rpk, rsk), (qpk, qsk) = ostrelline.key_gen(), ostrelline.key_gen(), ostrelline.key_gen()
    sender_rows = [[f"S{i:03d}", "bank-s"] for i in range(40)]
    receiver_rows = [[f"R{i:03d}", "bank-r"] for i in range(40)]
    queries_s, queries_r, truth = [], [], []
    for i in range(N):
        s_held, r_held = i % 3 != 1, i % 4 != 2
        queries_s.append([f"S{(5 * i) % 40:03d}", "bank-s"] if s_held else [f"absent-{i}", "bank-s"])
        queries_r.append([f"R{(7 * i) % 40:03d}", "bank-r"] if r_held else [f"absent-{i}", "bank-r"])
        truth.append(s_held and r_held)
    w = dict(spk=spk, ssk=ssk, rpk=rpk, rsk=rsk, qpk=qpk, qsk=qsk, truth=truth, queries_s=queries_s,
             queries_r=queries_r)
    w["S"] = ostrelline.build_okvs(spk, sender_rows)
    w["R"] = ostrelline.build_okvs(rpk, receiver_rows)
    w["q"] = ostrelline.initiate_queries(queries_s, queries_r, w["S"], w["R"], qpk)
    w["a"], w["b"] = ostrelline.randomize(w["q"]), ostrelline.randomize(w["q"])
    w["s"], w["r"], w["g"], w["d"] = ostrelline.combine(w["a"], w["b"])
    w["ds"], w["dr"] = ostrelline.decrypt(w["s"], ssk), ostrelline.decrypt(w["r"], rsk)
    assert ostrelline.finish(w["ds"], w["dr"], w["g"], w["d"], qsk) == truth
    return w


def match_bits(w, queries):
    """The rest of the protocol in single calls, from a query stream."""
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(ostrelline.decrypt(s, w["ssk"]), ostrelline.decrypt(r, w["rsk"]), g, d, w["qsk"])


def outcome(call, *, randomized=False):
    """What a call gives: its result (only its length if randomized) or its exception's type and arguments."""
    try:
        value = call()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return ("raised", type(error), error.args)
    return ("ok", len(value) if randomized else value)


# --------------------------------------------------------------------------- chunk helpers


@pytest.mark.parametrize("length", [0, 1, 31, 32, 33, 127, 128, 129, 128 * 4, 128 * 4 + 5, 128 * 9 - 1])
@pytest.mark.parametrize("width", [32, 128])
@pytest.mark.parametrize("chunk_size", [1, 2, 3, 4, 100])
def test_split_stream_cuts_on_entry_boundaries(length, width, chunk_size):
    stream = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
    pieces = chunks.split_stream(stream, width, chunk_size)
    assert b"".join(pieces) == stream
    assert len(pieces) >= 1
    for piece in pieces[:-1]:
        assert len(piece) == width * chunk_size
    assert 0 <= len(pieces[-1]) <= width * chunk_size
    assert sum(chunks.entry_count(p, width) for p in pieces) == chunks.entry_count(stream, width)
    if length % width:
        # The short tail is at the end of the last piece.
        assert len(pieces[-1]) % width == length % width


def test_split_streams_pairs_up_to_the_shortest():
    a, b = bytes(range(128)) * 5 + b"xy", bytes(range(1, 129)) * 3
    pieces = chunks.split_streams([a, b], 128, 2)
    assert [tuple(len(p) for p in piece) for piece in pieces] == [(256, 256), (128, 128)]
    assert b"".join(p[1] for p in pieces) == b
    # Equal entry counts: the short tail of a stream stays in the last piece.
    pieces = chunks.split_streams([a, bytes(128 * 6)], 128, 4)
    assert [tuple(len(p) for p in piece) for piece in pieces] == [(512, 512), (130, 256)]
    # A stream with fewer entries stops all of them; entries past it are dropped.
    pieces = chunks.split_streams([bytes(32 * 7), bytes(32 * 2 + 1), bytes(32 * 9)], 32, 2)
    assert [tuple(len(p) for p in piece) for piece in pieces] == [(64, 64, 64), (32, 1, 32)]
    assert chunks.split_streams([b"", bytes(64)], 32, 3) == [(b"", b"")]
    with pytest.raises(ValueError):
        chunks.split_streams([], 32, 3)


def test_split_query_rows_keeps_the_extra_sender_lookup():
    s, r = [[str(i)] for i in range(10)], [[str(i)] for i in range(7)]
    pairs = chunks.split_query_rows(s, r, 3)
    assert [(len(a), len(b)) for a, b in pairs] == [(3, 3), (3, 3), (2, 1)]
    assert [row for a, _ in pairs for row in a] == s[:8]
    pairs = chunks.split_query_rows(r, s, 3)
    assert [(len(a), len(b)) for a, b in pairs] == [(3, 3), (3, 3), (1, 1)]
    assert chunks.split_query_rows(s, [], 4) == [(s[:1], [])]
    assert chunks.split_query_rows([], s, 4) == [([], [])]
    assert chunks.split_rows(s, 4) == [s[0:4], s[4:8], s[8:10]]
    assert chunks.split_rows([], 4) == [[]]


def test_chunk_size_is_checked():
    for bad in (0, -1):
        with pytest.raises(ValueError):
            chunks.chunk_bounds(5, bad)
    for bad in (1.0, "2", True, None):
        with pytest.raises(TypeError):
            chunks.chunk_bounds(5, bad)
    with pytest.raises(ValueError):
        op.ExecutorEngine(cf.ThreadPoolExecutor(1), chunk_size=0)
    with pytest.raises(TypeError):
        op.ExecutorEngine(object())
    assert chunks.chunk_bounds(0, 3) == [(0, 0)]
    assert chunks.chunk_bounds(7, 3) == [(0, 3), (3, 6), (6, 7)]


def test_joins():
    assert chunks.join_bytes([b"ab", b"", b"c"]) == b"abc"
    assert chunks.join_streams([(b"a", b"b"), (b"c", b"d")]) == (b"ac", b"bd")
    assert chunks.join_lists([[True], [], [False, True]]) == [True, False, True]


# --------------------------------------------------------------------------- results equal the single calls


@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
def test_deterministic_steps_are_byte_for_byte(make_engine, world, chunk_size):
    w, engine = world, make_engine(chunk_size)
    assert engine.combine(w["a"], w["b"]) == (w["s"], w["r"], w["g"], w["d"])
    assert engine.decrypt(w["s"], w["ssk"]) == w["ds"]
    assert engine.decrypt(w["r"], w["rsk"]) == w["dr"]
    assert engine.finish(w["ds"], w["dr"], w["g"], w["d"], w["qsk"]) == w["truth"]
    # Streams of unequal lengths, with unexamined bytes past the shortest.
    a, b = w["a"] + b"tail", w["b"][: 128 * 17]
    assert engine.combine(a, b) == ostrelline.combine(a, b)
    streams = (w["ds"] + b"x", w["dr"], w["g"][: 32 * 19], w["d"] + BAD_POINT)
    assert engine.finish(*streams, w["qsk"]) == ostrelline.finish(*streams, w["qsk"]) == w["truth"][:19]


@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
def test_randomized_steps_keep_the_match_bits(make_engine, world, chunk_size):
    w, engine = world, make_engine(chunk_size)
    queries = engine.initiate_queries(w["queries_s"], w["queries_r"], w["S"], w["R"], w["qpk"])
    assert len(queries) == 128 * N and queries != w["q"]
    assert match_bits(w, queries) == w["truth"]
    first, second = engine.randomize(w["q"]), engine.randomize(w["q"])
    assert len(first) == len(second) == 128 * N and first != second
    s, r, g, d = engine.combine(first, second)
    matches = engine.finish(engine.decrypt(s, w["ssk"]), engine.decrypt(r, w["rsk"]), g, d, w["qsk"])
    assert matches == w["truth"]


def test_unequal_row_lists(make_engine, world):
    w, engine = world, make_engine(5)
    longer = w["queries_s"] + [["more"]] * 9
    for s, r in [(longer, w["queries_r"]), (w["queries_s"], w["queries_r"][:13]), ([], w["queries_r"])]:
        queries = engine.initiate_queries(s, r, w["S"], w["R"], w["qpk"])
        count = min(len(s), len(r))
        assert len(queries) == 128 * count
        assert match_bits(w, queries) == w["truth"][:count]


def test_every_worker_draws_its_own_scalars(make_engine):
    # The same entry many times, one entry per chunk over both workers: every
    # blinded copy differs, so no two workers share a random generator state.
    entry = GOOD_POINT * 4
    out = make_engine(1).randomize(entry * 16)
    copies = [out[i : i + 128] for i in range(0, len(out), 128)]
    assert len(set(copies)) == 16 and entry not in copies


class Shouting(str):
    """A str subclass whose pickle round trip upper-cases it and whose str() lies:
    the module reads its characters as they are."""

    def __reduce__(self):
        return (Shouting, (self.upper(),))

    def __str__(self):
        return "something else"


def test_str_subclasses_give_the_single_call_s_bits(make_engine, world):
    w, engine = world, make_engine(5)
    assert pickle.loads(pickle.dumps(Shouting("abc"))) == "ABC"
    bank = [[Shouting(f"acct-{i:03d}"), "bank-s"] for i in range(30)]
    senders = [[Shouting(f"acct-{i:03d}"), "bank-s"] if i % 2 else [f"acct-{i:03d}", "bank-s"] for i in range(12)]
    senders[3] = (Shouting("acct-003"), Shouting("bank-s"))
    receivers = [tuple(row) for row in w["queries_r"][:12]]
    store = engine.build_okvs(w["spk"], bank)
    plain = ostrelline.build_okvs(w["spk"], bank)
    for sender_store in (store, plain):
        single = ostrelline.initiate_queries(senders, receivers, sender_store, w["R"], w["qpk"])
        chunked = engine.initiate_queries(senders, receivers, sender_store, w["R"], w["qpk"])
        assert match_bits(w, chunked) == match_bits(w, single) == [i % 4 != 2 for i in range(12)]
    assert type(senders[1][0]) is Shouting  # the caller's rows are left alone


def test_build_okvs_is_one_task(make_engine, world):
    engine = make_engine(4)
    rows = [[f"S{i:03d}", "bank-s"] for i in range(40)]
    store = engine.build_okvs(world["spk"], rows)
    assert len(store) == 2072 + 64 * 96
    queries = ostrelline.initiate_queries(world["queries_s"], world["queries_r"], store, world["R"], world["qpk"])
    assert match_bits(world, queries) == world["truth"]


def test_progress_reports_every_chunk(make_engine, world):
    calls = []
    make_engine(7).decrypt(world["s"], world["ssk"], progress=lambda *args: calls.append(args))
    assert calls[0] == ("decrypt", 0, N) and calls[-1] == ("decrypt", N, N)
    assert len(calls) == 1 + 4
    done = [c[1] for c in calls]
    assert sorted(b - a for a, b in zip(done, done[1:])) == [3, 7, 7, 7]
    calls.clear()
    make_engine(10).initiate_queries(world["queries_s"], world["queries_r"], world["S"], world["R"], world["qpk"],
                                     progress=lambda *args: calls.append(args))
    assert calls[0] == ("initiate_queries", 0, N) and calls[-1] == ("initiate_queries", N, N) and len(calls) == 4


# --------------------------------------------------------------------------- the same failures as the single calls


def good(n):
    return GOOD_POINT * n


def wide_with(n, bad=(), tail=b""):
    """n wide entries, bad points at the given (entry, component) positions, then a tail."""
    entries = [bytearray(GOOD_POINT * 4) for _ in range(n)]
    for entry, component in bad:
        entries[entry][32 * component : 32 * component + 32] = BAD_POINT
    return b"".join(bytes(e) for e in entries) + tail


def points_with(n, bad=(), tail=b""):
    points = [BAD_POINT if i in bad else GOOD_POINT for i in range(n)]
    return b"".join(points) + tail


RANDOMIZE_CASES = [
    wide_with(9),
    wide_with(9, [(6, 2)]),
    wide_with(9, [(1, 0), (8, 3)]),
    wide_with(9, tail=b"ab"),
    wide_with(9, tail=bytes(72)),
    wide_with(8, tail=b"x"),  # with chunk sizes 4 and 8 the last chunk is the tail alone
    wide_with(9, [(7, 1)], tail=b"x"),  # the bad entry comes before the tail
    wide_with(9, tail=BAD_POINT + GOOD_POINT),
    b"",
    None,
    "text",
    bytearray(wide_with(2)),
]


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 4, 8, 50])
def test_randomize_failures(make_engine, chunk_size):
    engine = make_engine(chunk_size)
    for stream in RANDOMIZE_CASES:
        expected = outcome(lambda: ostrelline.randomize(stream), randomized=True)
        assert outcome(lambda: engine.randomize(stream), randomized=True) == expected, stream


COMBINE_CASES = [
    (wide_with(9, [(5, 1)]), wide_with(9)),
    (wide_with(9), wide_with(9, [(2, 3)])),
    (wide_with(9, [(7, 0)]), wide_with(9, [(3, 2)])),
    (wide_with(9, tail=b"ab"), wide_with(10)),
    (wide_with(9, tail=b"ab"), wide_with(9)),  # the short tail is past the shortest stream
    (wide_with(6), wide_with(5, tail=bytes(40))),
    (wide_with(4), wide_with(9, [(6, 0)])),  # not examined
    (b"", wide_with(3)),
    (None, wide_with(3)),
    (wide_with(3), "text"),
    (None, None),
]


@pytest.mark.parametrize("chunk_size", [1, 2, 4, 5, 50])
def test_combine_failures(make_engine, chunk_size):
    engine = make_engine(chunk_size)
    for a, b in COMBINE_CASES:
        assert outcome(lambda: engine.combine(a, b)) == outcome(lambda: ostrelline.combine(a, b)), (a, b)


@pytest.mark.parametrize("chunk_size", [1, 3, 4, 50])
def test_decrypt_failures(make_engine, world, chunk_size):
    engine, key = make_engine(chunk_size), world["rsk"]
    cases = [
        (points_with(10, {7}), key),
        (points_with(10, {2, 9}), key),
        (points_with(10, tail=b"x"), key),
        (points_with(10, {8}, tail=b"x"), key),
        (points_with(8, tail=b"x"), key),
        (points_with(10), key[:31]),
        (points_with(10, {1}), key + b"!"),  # the key is read before the points
        (points_with(10), None),
        (None, key),
        ("x", key),
        (b"", key),
    ]
    for points, k in cases:
        assert outcome(lambda: engine.decrypt(points, k)) == outcome(lambda: ostrelline.decrypt(points, k)), points


@pytest.mark.parametrize("chunk_size", [1, 3, 4, 50])
def test_finish_failures(make_engine, world, chunk_size):
    engine, key = make_engine(chunk_size), world["qsk"]
    p = points_with(10)
    cases = [
        (points_with(10, {6}), p, p, p, key),
        (p, p, points_with(10, {2}), p, key),
        (p, points_with(10, {8}), p, points_with(10, {4}), key),
        (p, p, p, points_with(10, tail=b"x"), key),
        (p, points_with(9, tail=b"x"), p + p, points_with(10, {9}), key),
        (p, p[:64], p, points_with(10, {5}), key),  # not examined
        (p, p, p, p, key[:5]),
        (points_with(10, {0}), p, p, p, None),
        (p, p, p, None, key),
        (None, None, None, None, None),
        (b"", p, p, p, key),
    ]
    for args in cases:
        assert outcome(lambda: engine.finish(*args)) == outcome(lambda: ostrelline.finish(*args)), args


class Rows(list):
    """A list subclass: accepted by the module, run as one call by the engines."""


def failing_rows():
    yield ["a"]
    raise LookupError("the row source failed")


@pytest.mark.parametrize("chunk_size", [1, 4, 50])
def test_initiate_queries_failures(make_engine, world, chunk_size):
    w, engine = world, make_engine(chunk_size)
    S, R, pk, qs, qr = w["S"], w["R"], w["qpk"], w["queries_s"], w["queries_r"]
    empty = ostrelline.build_okvs(w["spk"], [])
    bad_s, bad_r = list(qs), list(qr)
    bad_s[17], bad_r[2] = [1], ["ok", None]
    cases = [
        lambda: (qs, qr, S, R, pk),
        lambda: (qs, qr, empty, R, pk),
        lambda: (qs, qr, S, empty, pk),
        lambda: (qs, [], S, empty, pk),  # no receiver row is looked up
        lambda: (qs[:5], [], empty, R, pk),  # the sender row after the last query is looked up
        lambda: ([], qs[:5], empty, R, pk),
        lambda: (qs, qr, bytes(7), R, pk),
        lambda: (qs, qr, S, bytes(2071), pk),
        lambda: (qs, qr, S, R, BAD_POINT),
        lambda: (qs, qr, S, R, pk[:31]),
        lambda: (qs, qr, None, R, pk),
        lambda: (bad_s, qr, S, R, pk),
        lambda: (qs, bad_r, S, R, pk),
        lambda: (bad_s, bad_r, S, R, pk),  # the sender rows are converted first
        lambda: (bad_s, qr, None, R, pk),  # rows before stores
        lambda: (qs[:3] + [["\ud800"]], qr, S, R, pk),
        lambda: (qs, "rows", S, R, pk),
        lambda: (qs, [qr[0], "row"], S, R, pk),
        lambda: (failing_rows(), qr, S, R, pk),
        lambda: (qs, failing_rows(), empty, R, pk),
        lambda: (Rows(qs), qr, S, R, pk),
        lambda: (tuple(tuple(row) for row in qs), qr, S, R, pk),
    ]
    for case in cases:
        expected = outcome(lambda: ostrelline.initiate_queries(*case()), randomized=True)
        assert outcome(lambda: engine.initiate_queries(*case()), randomized=True) == expected, case()[2:]


def test_build_okvs_failures(make_engine, world):
    engine = make_engine(4)
    for key, rows in [
        (world["spk"], [["a"], ["ab", "c"], ["x"], ["a", "bc"]]),
        (BAD_POINT, [["a"]]),
        (ed.IDENTITY_BYTES, [["a"]]),
        (world["spk"], [["a"], [2]]),
        (None, [["a"]]),
    ]:
        assert outcome(lambda: engine.build_okvs(key, rows), randomized=True) == outcome(
            lambda: ostrelline.build_okvs(key, rows), randomized=True
        )


def wide_streams():
    entry = st.lists(st.sampled_from([None, 0, 1, 2, 3]), min_size=0, max_size=12)
    return st.tuples(entry, st.sampled_from([b"", b"x", bytes(40), BAD_POINT + bytes(8)]))


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(first=wide_streams(), second=wide_streams(), chunk_size=st.integers(1, 6))
def test_failures_agree_on_arbitrary_streams(make_engine, first, second, chunk_size):
    (kinds_a, tail_a), (kinds_b, tail_b) = first, second
    a = wide_with(len(kinds_a), [(i, c) for i, c in enumerate(kinds_a) if c is not None], tail_a)
    b = wide_with(len(kinds_b), [(i, c) for i, c in enumerate(kinds_b) if c is not None], tail_b)
    engine = make_engine(chunk_size)
    assert outcome(lambda: engine.randomize(a), randomized=True) == outcome(
        lambda: ostrelline.randomize(a), randomized=True
    )
    assert outcome(lambda: engine.combine(a, b)) == outcome(lambda: ostrelline.combine(a, b))


# --------------------------------------------------------------------------- how failures travel


def test_worker_panic_is_raised_as_the_module_panic(make_engine):
    stream = wide_with(6, [(4, 1)])
    with pytest.raises(BaseException) as info:
        make_engine(2).randomize(stream)
    assert type(info.value) is PanicException and op.panic_exception_type() is PanicException
    assert info.value.args == ("called `Option::unwrap()` on a `None` value",)
    assert not isinstance(info.value, Exception)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert any("chunk 2 of randomize" in note for note in getattr(info.value, "__notes__", ["chunk 2 of randomize"]))


def test_worker_wraps_only_panics():
    with pytest.raises(_worker.WorkerPanic) as info:
        _worker.run("decrypt", GOOD_POINT + b"x", bytes(32))
    assert info.value.args == ("source slice length (1) does not match destination slice length (32)",)
    again = pickle.loads(pickle.dumps(info.value))
    assert type(again) is _worker.WorkerPanic and again.args == info.value.args and again.message == again.args[0]
    with pytest.raises(TypeError):
        _worker.run("build_okvs", bytes(32), [[3]])
    with pytest.raises(ValueError):
        _worker.run("key_gen")
    with pytest.raises(RuntimeError):
        _worker.run("initiate_queries", [], [], _worker.StoreRef("elsewhere", 0), b"", b"")


def test_packed_values_for_dask(world):
    w = world
    rows = _worker.Packed.of(w["queries_s"])
    assert pickle.loads(pickle.dumps(rows)).value() == w["queries_s"]
    result = _worker.run_packed("finish", _worker.Packed.of(w["ds"]), w["dr"], w["g"], w["d"], w["qsk"])
    assert type(result) is _worker.Packed and result.value() == w["truth"]
    assert _worker.run_packed("decrypt", w["s"], w["ssk"]) == w["ds"]


def test_binding_errors_read_as_the_module_s():
    for name, args, kwargs in [("randomize", (), {}), ("decrypt", (b"",), {}), ("combine", (b"", b""), {"x": 1})]:
        with pytest.raises(TypeError) as mine:
            getattr(op, name)(*args, **kwargs)
        with pytest.raises(TypeError) as theirs:
            getattr(ostrelline, name)(*args, **kwargs)
        assert str(mine.value) == str(theirs.value)


# --------------------------------------------------------------------------- shipping the stores


def test_default_pool_installs_the_stores_once_per_worker(world, monkeypatch):
    w = world
    sent = []

    class Spy(cf.ProcessPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            sent.append(args)
            return super().submit(fn, *args, **kwargs)

    monkeypatch.setattr(cf, "ProcessPoolExecutor", Spy)
    # A fresh pool: not forked from this process, which has the threads of the Dask client by now.
    queries = op.initiate_queries(w["queries_s"], w["queries_r"], w["S"], w["R"], w["qpk"], max_workers=2,
                                  mp_context=multiprocessing.get_context("forkserver"), chunk_size=5)
    assert match_bits(w, queries) == w["truth"]
    assert len(sent) == 5
    for args in sent:
        assert args[0] == "initiate_queries"
        assert all(isinstance(a, _worker.StoreRef) for a in args[3:5])
        assert not any(isinstance(a, bytes) and len(a) > 1000 for a in args)


def test_a_process_pool_of_the_caller_reads_the_stores_from_one_file(pool, world, monkeypatch):
    w = world
    sent = []
    real_submit = pool.submit

    def submit(fn, *args, **kwargs):
        sent.append(args)
        return real_submit(fn, *args, **kwargs)

    monkeypatch.setattr(pool, "submit", submit)
    queries = op.ExecutorEngine(pool, chunk_size=5).initiate_queries(
        w["queries_s"], w["queries_r"], w["S"], w["R"], w["qpk"]
    )
    assert match_bits(w, queries) == w["truth"]
    assert len(sent) == 5
    refs = [args[3:5] for args in sent]
    assert all(isinstance(ref, _worker.StoreRef) for pair in refs for ref in pair)
    assert len({(a.token, a.path, b.token, b.path) for a, b in refs}) == 1
    assert not any(isinstance(a, bytes) and len(a) > 1000 for args in sent for a in args)
    assert not os.path.exists(refs[0][0].path)  # removed after the run


def test_a_worker_reads_the_store_file_once(tmp_path):
    path = tmp_path / "stores"
    path.write_bytes(b"sender" + b"receiver!")
    first = _worker.StoreRef("run-1", 1, str(path), 6)
    assert _worker._resolve(first) == b"receiver!"
    path.unlink()
    assert _worker._resolve(_worker.StoreRef("run-1", 0, str(path), 6)) == b"sender"
    with pytest.raises(FileNotFoundError):
        _worker._resolve(_worker.StoreRef("run-2", 0, str(path), 6))
    assert _worker._resolve(b"plain") == b"plain"


def test_dask_sends_each_store_once_as_a_task(dask_client, world, monkeypatch):
    w = world
    submitted = []
    real_submit = dask_client.submit

    def submit(fn, *args, **kwargs):
        submitted.append((fn, args, kwargs))
        return real_submit(fn, *args, **kwargs)

    monkeypatch.setattr(dask_client, "submit", submit)
    engine = op.DaskEngine(dask_client, chunk_size=5)
    queries = engine.initiate_queries(w["queries_s"], w["queries_r"], w["S"], w["R"], w["qpk"])
    assert match_bits(w, queries) == w["truth"]
    holders = [args for fn, args, _ in submitted if fn is _worker.hold]
    assert holders == [(w["S"],), (w["R"],)]
    chunk_tasks = [(args, kwargs) for fn, args, kwargs in submitted if fn is not _worker.hold]
    assert len(chunk_tasks) == 5
    assert len({(args[3].key, args[4].key) for args, _ in chunk_tasks}) == 1
    for args, kwargs in chunk_tasks:
        assert kwargs.get("pure") is False
        assert all(isinstance(a, _worker.Packed) for a in args[1:3])  # the row slices, inside the task
        assert all(isinstance(a, distributed.Future) for a in args[3:5])


def test_any_executor_will_do(world):
    # Threads run the chunks one at a time (the module holds the interpreter
    # lock), but results and failures are the same.
    w = world
    with cf.ThreadPoolExecutor(2) as threads:
        engine = op.ExecutorEngine(threads, chunk_size=7)
        queries = engine.initiate_queries(w["queries_s"], w["queries_r"], w["S"], w["R"], w["qpk"])
        assert match_bits(w, queries) == w["truth"]
        stream = wide_with(9, [(8, 0)])
        assert outcome(lambda: engine.randomize(stream)) == outcome(lambda: ostrelline.randomize(stream))


def test_a_chunk_cancelled_elsewhere_is_a_failure(pool):
    # A task cancelled by someone else leaves no hole in the result.
    class Cancelling(op.ExecutorEngine):
        def _submit(self, operation, args):
            future = cf.Future()
            future.cancel()
            future.set_running_or_notify_cancel()  # as an executor does with a cancelled task
            return future

    with pytest.raises(cf.CancelledError, match="chunk 0 of randomize was cancelled"):
        Cancelling(pool, chunk_size=2).randomize(wide_with(3))
