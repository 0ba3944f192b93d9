"""Sharded stores: the same match bits as unsharded stores, shards of equal
size, headers that describe them, and a build and a query run that survive
the loss of a worker."""
import concurrent.futures as cf
import multiprocessing
import os
import signal

import pytest

import ostrelline
import ostrelline_parallel as op
from ostrelline_parallel import shards
from ostrelline_tools import files
from ostrelline_tools.errors import BadFileError, KeyMismatchError
from ostrelline_tools.sharded import open_sharded_store, write_sharded_store
from test_parallel_dask import tls_cluster

BANK = 1200
PAYMENTS = 900


@pytest.fixture(scope="module")
def pool():
    with cf.ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("forkserver")) as executor:
        yield executor


@pytest.fixture
def dask_client():
    # A cluster of its own for each test (each loses one worker), with TLS as
    # a bank's would have: its rows travel.
    cluster, client = tls_cluster(1)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def world():
    keys = {name: ostrelline.key_gen() for name in ("s", "r", "q")}
    bank_s = [[f"DE{i:05d}", "37040044"] for i in range(BANK)]
    bank_r = [[f"FR{i:05d}", "30006"] for i in range(BANK)]
    senders, receivers, truth = [], [], []
    for i in range(PAYMENTS):
        held_s, held_r = i % 3 != 0, i % 5 != 1
        senders.append([f"DE{(i * 7) % BANK:05d}" if held_s else f"DE9{i:05d}", "37040044"])
        receivers.append([f"FR{(i * 11) % BANK:05d}" if held_r else f"FR9{i:05d}", "30006"])
        truth.append(held_s and held_r)
    return dict(keys=keys, bank_s=bank_s, bank_r=bank_r, senders=senders, receivers=receivers, truth=truth)


def finish_protocol(w, queries):
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(
        ostrelline.decrypt(s, w["keys"]["s"][1]), ostrelline.decrypt(r, w["keys"]["r"][1]), g, d, w["keys"]["q"][1]
    )


# --------------------------------------------------------------------------- the shard function


def test_shards_split_rows_by_the_public_hash_and_hide_their_counts():
    rows = [[f"acct{i}", "x"] for i in range(5000)]
    parts = shards.split_into_shards(rows, 7)
    assert sorted(map(tuple, sum(parts, []))) == sorted(map(tuple, rows))
    for index, part in enumerate(parts):
        assert all(shards.shard_of(row, 7) == index for row in part)
    # What the tasks carry: each row as its key.
    assert shards.row_keys([["ab", "c"], ("d",), []]) == ["abc", "d", ""]
    # The key is the module's: how the strings split into columns does not matter.
    assert shards.shard_of(["ab", "c"], 7) == shards.shard_of(["a", "bc"], 7) == shards.shard_of(["abc"], 7)
    # The capacity depends on the row count and k alone, and covers every shard.
    capacity = shards.shard_capacity(5000, 7)
    assert max(map(len, parts)) <= capacity < 5000 / 7 * 1.4
    assert shards.shard_capacity(0, 3) >= 1
    assert shards.shards_for(60_000, 25_000) == 3 and shards.shards_for(0) == 1
    with pytest.raises(shards.ShardOverflow, match="shard 0 of 2"):
        # Rows chosen to fall in one shard overflow it rather than show in its size.
        crowded = [[f"r{i}"] for i in range(1000) if shards.shard_of([f"r{i}"], 2) == 0][:300]
        shards.split_into_shards(crowded, 2)


def test_padded_shards_are_equal_and_dummies_are_not_found(world):
    w = world
    pk = w["keys"]["s"][0]
    few = w["bank_s"][:10]
    layout, built = shards.build_shards(op.ExecutorEngine(cf.ThreadPoolExecutor(2)), pk, few, 4,
                                        construction="specified")
    stores = list(built)
    assert len(stores) == 4 and {len(s) for s in stores} == {layout.shard_size}
    assert layout.capacity == shards.shard_capacity(10, 4)
    assert layout.shard_size == len(ostrelline.build_okvs(pk, [[str(i)] for i in range(layout.capacity)]))
    # A padded shard answers for its real rows only.
    parts = shards.split_into_shards(few, 4)
    index = max(range(4), key=lambda i: len(parts[i]))
    queries = ostrelline.initiate_queries(parts[index] + [["\0" + "0" * 32]], parts[index] + [["x"]],
                                          stores[index], stores[index], w["keys"]["q"][0])
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    bits = ostrelline.finish(ostrelline.decrypt(s, w["keys"]["s"][1]), ostrelline.decrypt(r, w["keys"]["s"][1]),
                             g, d, w["keys"]["q"][1])
    assert bits == [True] * len(parts[index]) + [False]


def test_dummies_land_in_uniformly_random_places():
    # Where a dummy row sits says nothing of it: over many orderings every
    # item is at the front about equally often, and each ordering is a
    # permutation of the items.
    items = list(range(8))
    fronts = [0] * 8
    for _ in range(4000):
        ordered = shards.random_order(items)
        assert sorted(ordered) == items
        fronts[ordered[0]] += 1
    expected = 4000 / 8
    chi_square = sum((f - expected) ** 2 / expected for f in fronts)
    assert chi_square < 24.3  # the 10^-3 critical value for 7 degrees of freedom


class CountingEngine(op.ExecutorEngine):
    """Counts the tasks sent to the pool."""

    def __init__(self, executor):
        super().__init__(executor)
        self.sent = 0

    def _submit(self, operation, args):
        self.sent += 1
        return super()._submit(operation, args)


def test_a_build_keeps_a_bounded_window_of_shards_out(world):
    pk = world["keys"]["s"][0]
    with cf.ThreadPoolExecutor(2) as executor:
        engine = CountingEngine(executor)
        layout, built = shards.build_shards(engine, pk, world["bank_s"][:60], 6, construction="specified", window=2)
        first = next(built)
        # The first shard comes once the window is out; the next are sent as shards are taken.
        assert engine.sent == 2 and len(first) == layout.shard_size
        assert len(list(built)) == 5 and engine.sent == 6
        # A caller that stops early sends no more.
        engine.sent = 0
        _, built = shards.build_shards(engine, pk, world["bank_s"][:60], 6, construction="specified", window=2)
        next(built)
        built.close()
        assert engine.sent == 2


def test_a_shard_that_fails_fails_the_build_and_writes_nothing(world, pool, tmp_path):
    # Two rows with the same key fall into one shard, whose build_okvs call refuses them.
    rows = world["bank_s"][:40]
    duplicate = rows + [list(rows[17])]
    path = tmp_path / "s.ost"
    with pytest.raises(op.panic_exception_type(), match="have the same key bytes"):
        write_sharded_store(op.ExecutorEngine(pool), path, world["keys"]["s"][0], duplicate, 4,
                            construction="specified")
    assert not path.exists() and not list(tmp_path.iterdir())


# --------------------------------------------------------------------------- files and the protocol


@pytest.fixture(scope="module")
def sharded_files(world, pool, tmp_path_factory):
    w, folder = world, tmp_path_factory.mktemp("shards")
    engine = op.ExecutorEngine(pool)
    calls = []
    store_s = write_sharded_store(engine, folder / "s.ost", w["keys"]["s"][0], w["bank_s"], 5, role="sender",
                                  progress=lambda *a: calls.append(a))
    store_r = write_sharded_store(engine, folder / "r.ost", w["keys"]["r"][0], w["bank_r"], 3)
    return dict(s=store_s, r=store_r, calls=calls, folder=folder)


def test_the_header_describes_the_shards(world, sharded_files):
    store = sharded_files["s"]
    header = files.check_file(store.path, ["sharded-store"])
    assert header.count == BANK and header.fingerprint == files.fingerprint(world["keys"]["s"][0])
    meta = header.meta
    assert meta["shards"] == 5 and meta["capacity"] == shards.shard_capacity(BANK, 5)
    assert meta["offsets"] == [i * meta["shard_size"] for i in range(5)]
    assert meta["shard_function"] == {"name": shards.SHARD_FUNCTION, "seed": shards.SHARD_SEED}
    assert meta["construction"] == shards.default_construction() and meta["role"] == "sender"
    assert header.payload_length == 5 * meta["shard_size"]
    assert sharded_files["calls"][0] == ("build_shards", 0, BANK) and sharded_files["calls"][-1][1:] == (BANK, BANK)
    # Each shard is read from its own offset.
    with open(store.path, "rb") as file:
        file.seek(header.header_length + 2 * meta["shard_size"])
        assert store.shard(2) == file.read(meta["shard_size"])
    with pytest.raises(KeyMismatchError):
        open_sharded_store(store.path, public_key=world["keys"]["r"][0])
    with pytest.raises(BadFileError, match="expected a 'sharded-store' file"):
        files.write_file(sharded_files["folder"] / "q.ost", "queries", bytes(128), 1)
        open_sharded_store(sharded_files["folder"] / "q.ost")


def test_a_query_worker_holds_one_shard_a_side(world, sharded_files, monkeypatch):
    # A worker keeps the last shard of each side for the next task; a task on
    # another shard lets the kept one go before reading its own, so that a
    # worker never holds two shards of one side at once (traced: the shards
    # are Python bytes; every task below changes at least one side).
    import tracemalloc

    w, s, r = world, sharded_files["s"], sharded_files["r"]
    monkeypatch.setattr(shards, "_kept", [None, None])
    keys = shards.row_keys(w["senders"][:3]), shards.row_keys(w["receivers"][:3])
    smaller = min(s.layout.shard_size, r.layout.shard_size)
    tracemalloc.start()
    try:
        shards.shard_queries(*keys, s.ref(0), r.ref(0), w["keys"]["q"][0])
        for a, b in [(1, 1), (1, 2), (3, 2), (4, 0)]:
            tracemalloc.reset_peak()
            held = tracemalloc.get_traced_memory()[0]
            assert len(shards.shard_queries(*keys, s.ref(a), r.ref(b), w["keys"]["q"][0])) == 3 * 128
            current, peak = tracemalloc.get_traced_memory()
            assert peak - held < smaller // 2, (a, b)
            assert abs(current - held) < smaller // 2, (a, b)
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("chunk_size", [7, 4096])
def test_sharded_and_unsharded_runs_give_the_same_bits(world, sharded_files, pool, chunk_size):
    w = world
    engine = op.ExecutorEngine(pool, chunk_size=chunk_size)
    queries = shards.initiate_sharded_queries(engine, w["senders"], w["receivers"], sharded_files["s"],
                                              sharded_files["r"], w["keys"]["q"][0])
    assert len(queries) == 128 * PAYMENTS
    plain_s = ostrelline.build_okvs(w["keys"]["s"][0], w["bank_s"])
    plain_r = ostrelline.build_okvs(w["keys"]["r"][0], w["bank_r"])
    unsharded = ostrelline.initiate_queries(w["senders"], w["receivers"], plain_s, plain_r, w["keys"]["q"][0])
    assert finish_protocol(w, queries) == finish_protocol(w, unsharded) == w["truth"]
    # Unequal row lists: as many queries as the shorter one has rows.
    short = shards.initiate_sharded_queries(engine, w["senders"][:50], w["receivers"], sharded_files["s"],
                                            sharded_files["r"], w["keys"]["q"][0])
    assert finish_protocol(w, short) == w["truth"][:50]


def killer(client, times=1):
    """A progress callback that kills a worker running a task of the step, up to
    ``times`` times in mid-step, each time after some progress since the last."""
    killed = []
    pids = [client.run(os.getpid)]

    def kill(step, done, total):
        if len(killed) < times and 0 < done < total and done > (killed[-1][1] if killed else 0):
            if killed:
                # A killed worker comes back as another; until the scheduler
                # notices, the dead one is still listed and cannot answer.
                pids[0] = client.run(os.getpid, on_error="ignore")
            busy = [a for a, keys in client.processing().items() if keys and a in pids[0]]
            if busy:
                killed.append((busy[0], done))
                os.kill(pids[0][busy[0]], signal.SIGKILL)

    return killed, kill


@pytest.mark.parametrize("step", ["build", "queries"])
def test_a_sharded_run_on_dask_survives_a_killed_worker(world, dask_client, tmp_path, step):
    w = world
    engine = op.DaskEngine(dask_client, chunk_size=60)
    killed, kill_once = killer(dask_client)
    # Rows no payment names make the build tasks long enough to be caught running.
    bank_s = w["bank_s"] + ([[f"DX{i:06d}", "37040044"] for i in range(12_000)] if step == "build" else [])
    store_s = write_sharded_store(engine, tmp_path / "s.ost", w["keys"]["s"][0], bank_s, 6,
                                  progress=kill_once if step == "build" else None)
    store_r = write_sharded_store(engine, tmp_path / "r.ost", w["keys"]["r"][0], w["bank_r"], 2)
    queries = shards.initiate_sharded_queries(engine, w["senders"], w["receivers"], store_s, store_r,
                                              w["keys"]["q"][0], progress=kill_once if step == "queries" else None)
    assert finish_protocol(w, queries) == w["truth"]
    assert killed, "no worker was killed in mid-step"


def test_sharded_queries_survive_three_workers_killed_in_one_cluster(world, tmp_path):
    w = world
    cluster, client = tls_cluster(3)
    try:
        engine = op.DaskEngine(client, chunk_size=20)
        store_s = write_sharded_store(engine, tmp_path / "s.ost", w["keys"]["s"][0], w["bank_s"], 3)
        store_r = write_sharded_store(engine, tmp_path / "r.ost", w["keys"]["r"][0], w["bank_r"], 3)
        killed, kill = killer(client, times=3)
        # The payments four times over: enough tasks to see three workers go.
        queries = shards.initiate_sharded_queries(engine, w["senders"] * 4, w["receivers"] * 4, store_s, store_r,
                                                  w["keys"]["q"][0], progress=kill)
        assert finish_protocol(w, queries) == w["truth"] * 4
        assert len(killed) == 3, f"only {len(killed)} workers were killed in mid-step"
    finally:
        client.close()
        cluster.close()
