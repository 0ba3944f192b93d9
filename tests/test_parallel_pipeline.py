"""The sharded pipeline on Dask: stores built from tables where they lie and
queried from a payments table give the match bits of the single calls, for
CSV and Parquet input, with a worker killed in each phase; each shard is read
once per run; a shard that keeps failing fails the run with its name."""
import dataclasses
import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")

import dask  # noqa: E402
import distributed  # noqa: E402

import ostrelline  # noqa: E402
import ostrelline_hiding  # noqa: E402
import ostrelline_parallel as op  # noqa: E402
from ostrelline_parallel import pipeline, shards  # noqa: E402
from ostrelline_tools.sharded import write_sharded_store, write_sharded_store_from_table  # noqa: E402
from test_parallel_dask import local_cluster, tls_cluster  # noqa: E402

BANK = 3000
PAYMENTS = 4000
# Small input partitions, so that every phase has several tasks.
BATCH = 24 << 10


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tables")
    keys = {name: ostrelline.key_gen() for name in ("s", "r", "q")}
    bank_s = [[f"DE{i:06d}", "37040044"] for i in range(BANK)]
    bank_r = [[f"FR{i:06d}", "30006"] for i in range(BANK)]
    senders, receivers, truth = [], [], []
    for i in range(PAYMENTS):
        held_s, held_r = i % 3 != 0, i % 7 != 2
        senders.append([f"DE{(i * 7) % BANK:06d}" if held_s else f"DE9{i:06d}", "37040044"])
        receivers.append([f"FR{(i * 11) % BANK:06d}" if held_r else f"FR9{i:06d}", "30006"])
        truth.append(held_s and held_r)
    tables = {}
    for name, rows in (("s", bank_s), ("r", bank_r)):
        frame = pd.DataFrame(rows, columns=["account", "branch"])
        # Some rows twice: a row is stored once.
        frame = pd.concat([frame, frame.iloc[::10]], ignore_index=True)
        frame.to_parquet(folder / f"bank_{name}.parquet", row_group_size=400)
        frame.to_csv(folder / f"bank_{name}.csv", index=False)
    payments = pd.DataFrame({
        "s_account": [r[0] for r in senders], "s_branch": [r[1] for r in senders],
        "r_account": [r[0] for r in receivers], "r_branch": [r[1] for r in receivers],
    })
    payments.to_parquet(folder / "payments.parquet", row_group_size=500)
    payments.to_csv(folder / "payments.csv", index=False)
    # The single calls: one store per bank, one call for all the payments.
    single = ostrelline.initiate_queries(
        senders, receivers, ostrelline_hiding.build_okvs(keys["s"][0], bank_s),
        ostrelline_hiding.build_okvs(keys["r"][0], bank_r), keys["q"][0],
    )
    w = dict(keys=keys, folder=folder, bank_s=bank_s, bank_r=bank_r, senders=senders, receivers=receivers,
             truth=truth)
    w["single_bits"] = finish_protocol(w, single)
    return w


def finish_protocol(w, queries):
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(
        ostrelline.decrypt(s, w["keys"]["s"][1]), ostrelline.decrypt(r, w["keys"]["r"][1]), g, d, w["keys"]["q"][1]
    )


def table(w, name, fmt):
    return pipeline.Table(str(w["folder"] / f"{name}.{fmt}"), batch_bytes=BATCH)


SENDER, RECEIVER = ["s_account", "s_branch"], ["r_account", "r_branch"]


def build_both(client, w, fmt, folder, ks=3, kr=2, progress=None):
    folder.mkdir(parents=True, exist_ok=True)
    stores = {}
    for name, k, role in (("s", ks, "sender"), ("r", kr, "receiver")):
        stores[name] = write_sharded_store_from_table(
            client, folder / f"{name}.ost", w["keys"][name][0], table(w, f"bank_{name}", fmt), ["account", "branch"],
            k, role=role, stage_dir=str(folder), progress=progress,
        )
    return stores


def query_bits(client, w, fmt, stores, folder, progress=None):
    out = pipeline.initiate_from_table(
        client, table(w, "payments", fmt), SENDER, RECEIVER, stores["s"], stores["r"], w["keys"]["q"][0],
        str(folder / "queries"), progress=progress,
    )
    stream = b"".join(pipeline.read_queries(out, batch_entries=333))
    assert len(stream) == 128 * PAYMENTS and out.payments == PAYMENTS
    return finish_protocol(w, stream), out


@pytest.fixture(scope="module")
def client():
    cluster = local_cluster(n_workers=2, processes=True)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


# --------------------------------------------------------------------------- results


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_the_pipeline_gives_the_bits_of_the_single_calls(world, client, tmp_path, fmt):
    w = world
    calls = []
    stores = build_both(client, w, fmt, tmp_path, progress=lambda *a: calls.append(a))
    # Rows that appear twice are stored once; the layout is the one the row count gives.
    for name in ("s", "r"):
        layout = stores[name].layout
        assert layout.rows == BANK and layout.capacity == shards.shard_capacity(BANK, layout.shards)
        assert layout.shard_size == op.store_size(layout.capacity)
    assert ("stage_shards", 3, 3) in calls and calls[-1] == ("build_shards", BANK, BANK)
    # The stage folders are gone.
    assert not [p for p in os.listdir(tmp_path) if p.startswith("ostrelline-stage-")]
    seen = []
    bits, out = query_bits(client, w, fmt, stores, tmp_path, progress=lambda *a: seen.append(a))
    assert bits == w["single_bits"] == w["truth"]
    # One Parquet file per payment partition, in payment order; progress per partition.
    assert len(out.files) > 2 and all(os.path.exists(p) for p in out.files)
    assert seen[0] == ("initiate_queries", 0, len(out.files)) and seen[-1][1] == len(out.files)


def test_pipeline_stores_are_those_of_the_sharded_path(world, client, tmp_path):
    # A store built by the pipeline answers the queries of the engine path,
    # and a store built by the engine path those of the pipeline: the shard
    # function, padding and layout are the same.
    import concurrent.futures as cf

    w = world
    built = build_both(client, w, "parquet", tmp_path / "pipeline")
    with cf.ThreadPoolExecutor(2) as executor:
        engine = op.ExecutorEngine(executor)
        queries = shards.initiate_sharded_queries(engine, w["senders"], w["receivers"], built["s"], built["r"],
                                                  w["keys"]["q"][0])
        assert finish_protocol(w, queries) == w["truth"]
        old = {
            "s": write_sharded_store(engine, tmp_path / "old_s.ost", w["keys"]["s"][0], w["bank_s"], 3),
            "r": write_sharded_store(engine, tmp_path / "old_r.ost", w["keys"]["r"][0], w["bank_r"], 2),
        }
    assert [dataclasses.astuple(old[n].layout) for n in "sr"] == [dataclasses.astuple(built[n].layout) for n in "sr"]
    bits, _ = query_bits(client, w, "parquet", old, tmp_path)
    assert bits == w["truth"]


class CountReads(distributed.WorkerPlugin):
    """Logs every shard a worker reads (store file, offset) to ``log``."""

    def __init__(self, log):
        self.log = log

    def setup(self, worker):
        ref = shards.ShardRef
        original = ref.__dict__.get("unlogged_load", ref.load)
        log = self.log

        def load(self):
            with open(log, "a") as file:
                file.write(f"{self.path} {self.offset}\n")
            return original(self)

        ref.unlogged_load, ref.load = original, load

    def teardown(self, worker):
        shards.ShardRef.load = shards.ShardRef.unlogged_load


def shards_read(client, log, run):
    """The shards (store file, offset) the workers read while ``run()`` runs, and its result."""
    if log.exists():
        log.unlink()
    client.register_plugin(CountReads(str(log)), name="count-reads")
    try:
        result = run()
    finally:
        client.unregister_worker_plugin("count-reads")
    return (log.read_text().split("\n")[:-1] if log.exists() else []), result


def test_each_shard_is_read_once_and_only_where_lookups_fall(world, client, tmp_path):
    w = world
    stores = build_both(client, w, "parquet", tmp_path, ks=4, kr=3)
    log = tmp_path / "reads.log"
    reads, (bits, _) = shards_read(client, log, lambda: query_bits(client, w, "parquet", stores, tmp_path))
    assert bits == w["truth"]
    expected = {f"{s.ref(i).path} {s.ref(i).offset}" for s in stores.values() for i in range(s.layout.shards)}
    assert sorted(reads) == sorted(expected)  # every shard once, no shard twice

    def payments_of(frame, name):
        frame.to_parquet(tmp_path / f"{name}.parquet")
        return lambda: pipeline.initiate_from_table(client, pipeline.Table(str(tmp_path / f"{name}.parquet")), SENDER,
                                                    RECEIVER, stores["s"], stores["r"], w["keys"]["q"][0],
                                                    str(tmp_path / name))

    # Payments that fall in few shards read only those.
    few = pd.DataFrame({c: [w["senders"][0][i % 2] if c[0] == "s" else w["receivers"][0][i % 2]]
                        for i, c in enumerate(SENDER + RECEIVER)})
    reads, out = shards_read(client, log, payments_of(few, "one"))
    assert out.payments == 1 and len(reads) == 2
    assert finish_protocol(w, b"".join(pipeline.read_queries(out))) == [w["truth"][0]]
    # No payments: no shard read, an empty stream, no exchange files left.
    reads, out = shards_read(client, log, payments_of(few.iloc[:0], "none"))
    assert out.payments == 0 and b"".join(pipeline.read_queries(out)) == b"" and reads == []
    assert sorted(os.listdir(tmp_path / "none")) == [os.path.basename(f) for f in out.files]


@pytest.mark.parametrize("construction", ["hiding", "specified"])
def test_a_staged_shard_is_built_padded_and_answers_its_rows_only(world, tmp_path, monkeypatch, construction):
    # In this process: the staged keys of one shard, built with the packed
    # rows where the module takes them and as Python rows otherwise.
    import pyarrow as pa

    w = world
    keys = ["".join(row) for row in w["bank_s"][:300]]
    path = str(tmp_path / "shard-000000.arrow")
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, pa.schema([("key", pa.large_string())])) as writer:
        writer.write_batch(pa.record_batch([pa.array(keys, pa.large_string())], names=["key"]))
    capacity = shards.shard_capacity(300, 1)
    ways = ["packed", "rows"] if hasattr(ostrelline_hiding, "build_okvs_packed") else ["rows"]
    for way in ways:
        if way == "rows":
            monkeypatch.delattr(ostrelline_hiding, "build_okvs_packed", raising=False)
        store = pipeline.build_staged_shard(construction, w["keys"]["s"][0], path, capacity)
        assert len(store) == op.store_size(capacity)
        probe = w["bank_s"][:300:7] + [["\0" + "0" * 32], ["DE999999", "37040044"]]
        queries = ostrelline.initiate_queries(probe, probe, store, store, w["keys"]["q"][0])
        s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
        bits = ostrelline.finish(ostrelline.decrypt(s, w["keys"]["s"][1]), ostrelline.decrypt(r, w["keys"]["s"][1]),
                                 g, d, w["keys"]["q"][1])
        assert bits == [True] * (len(probe) - 2) + [False, False], way
    with pytest.raises(shards.ShardOverflow, match="more than the capacity 100"):
        pipeline.build_staged_shard(construction, w["keys"]["s"][0], path, 100)


# --------------------------------------------------------------------------- failures


def dies_once(name, marker):
    """In a worker: the pipeline's task ``name`` kills its worker the first
    time any worker runs it (the marker file tells the others)."""
    import ostrelline_parallel.pipeline as target

    original = getattr(target, name)

    def dying(*args, **kwargs):
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return original(*args, **kwargs)
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        os.kill(os.getpid(), signal.SIGKILL)

    setattr(target, name, dying)


@pytest.mark.parametrize("phase, task, fmt", [
    ("staging", "_stage_shard", "csv"),
    ("build", "build_staged_shard", "parquet"),
    ("lookup", "decode_shard", "csv"),
    ("cryptography", "query_partition", "parquet"),
])
def test_a_worker_killed_in_a_phase_costs_only_recomputation(world, tmp_path, phase, task, fmt):
    w = world
    cluster, client = tls_cluster(2)
    try:
        client.run(lambda: __import__("ostrelline_parallel.pipeline"))
        pids = set(client.run(os.getpid).values())
        marker = tmp_path / "killed"
        building = phase in ("staging", "build")
        if building:
            client.run(dies_once, task, str(marker))
        stores = build_both(client, w, fmt, tmp_path)
        if not building:
            client.run(dies_once, task, str(marker))
        bits, _ = query_bits(client, w, fmt, stores, tmp_path)
        assert bits == w["truth"]
        assert marker.exists(), f"no worker was killed in the {phase} phase"
        assert int(marker.read_text()) in pids
        assert int(marker.read_text()) not in set(client.run(os.getpid).values())
    finally:
        client.close()
        cluster.close()


class AlwaysDies(distributed.WorkerPlugin):
    """Every worker, restarted ones too, dies in the middle of the task on
    ``target``: building the staged shard file ``target``, or reading the
    store shard named ``target`` for its lookups."""

    def __init__(self, target):
        self.target = target

    def setup(self, worker):
        import ostrelline_parallel.pipeline as pipeline_module

        target = self.target
        load = shards.ShardRef.load

        def dying_load(ref):
            if ref.name == target:
                os.kill(os.getpid(), signal.SIGKILL)
            return load(ref)

        original = pipeline_module.build_staged_shard

        def dying_staged(construction, key, path, capacity):
            if path.endswith(target):
                os.kill(os.getpid(), signal.SIGKILL)
            return original(construction, key, path, capacity)

        pipeline_module.build_staged_shard = dying_staged
        shards.ShardRef.load = dying_load


@pytest.mark.parametrize("task, named", [
    ("build_staged_shard", "building shard 1 of 3"),
    ("decode_shard", r"the lookups in the receiver store .*r\.ost, shard 1 of 2"),
])
def test_a_shard_that_keeps_killing_workers_fails_the_run_with_its_name(world, tmp_path, task, named):
    w = world
    # One task at a time on a worker: a worker's death then counts against the
    # task it runs only (with more queued there, Dask counts it against those too).
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
        cluster, client = tls_cluster(1)
    try:
        if task == "build_staged_shard":
            client.register_plugin(AlwaysDies("shard-000001.arrow"))
            with pytest.raises(pipeline.ShardFailure, match=named) as info:
                build_both(client, w, "parquet", tmp_path)
            assert not (tmp_path / "s.ost").exists()
        else:
            stores = build_both(client, w, "parquet", tmp_path)
            client.register_plugin(AlwaysDies(stores["r"].ref(1).name))
            with pytest.raises(pipeline.ShardFailure, match=named) as info:
                query_bits(client, w, "parquet", stores, tmp_path)
        assert isinstance(info.value.__cause__, distributed.KilledWorker)
    finally:
        client.close()
        cluster.close()


def test_a_shard_the_module_refuses_fails_the_run_with_its_name(world, client, tmp_path):
    w = world
    stores = build_both(client, w, "parquet", tmp_path)
    # A layout whose shards are 100 bytes, too short for a store: every shard read is refused.
    short = dataclasses.replace(stores["s"].layout, shard_size=100)
    broken = dict(stores, s=dataclasses.replace(stores["s"], layout=short))
    with pytest.raises(pipeline.ShardFailure, match=r"the sender store .*s\.ost, shard \d of 3"):
        query_bits(client, w, "parquet", broken, tmp_path)
    # The network's key is checked before any task, as the single call checks it.
    with pytest.raises(BaseException) as info:
        pipeline.initiate_from_table(client, table(w, "payments", "parquet"), SENDER, RECEIVER, stores["s"],
                                     stores["r"], b"\x01" * 31, str(tmp_path / "q"))
    assert op.is_panic(info.value)


# --------------------------------------------------------------------------- the party tools


def tools_bits(d, kind, payments):
    """The match bits of the tools' steps after initiate wrote q-KIND.ost in ``d``
    (keys of the three parties in ``d``)."""
    from ostrelline_tools import steps

    steps.randomize(d / f"q-{kind}.ost", d / f"a-{kind}.ost")
    steps.randomize(d / f"q-{kind}.ost", d / f"b-{kind}.ost")
    parts = [d / f"{c}-{kind}.ost" for c in ("s", "r", "g", "dl")]
    steps.combine(d / f"a-{kind}.ost", d / f"b-{kind}.ost", *parts)
    steps.decrypt(parts[0], d / "sender.sec", d / f"ds-{kind}.ost")
    steps.decrypt(parts[1], d / "receiver.sec", d / f"dr-{kind}.ost")
    table = steps.finish(d / f"ds-{kind}.ost", d / f"dr-{kind}.ost", parts[2], parts[3], d / "network.sec", payments)
    return table.column("match").to_pylist()


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_the_tools_steps_on_a_cluster_read_rows_where_they_lie(world, tmp_path, fmt, monkeypatch):
    # build-store --shards and initiate on a Dask engine (--scheduler) run the
    # pipeline: the tables are read by the workers, and the results are those
    # of the unsharded steps in one process.
    from ostrelline_tools import sharded, steps

    w, d = world, tmp_path
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    used = []
    for name in ("build_where_rows_lie", "queries_where_rows_lie"):
        original = getattr(sharded, name)
        monkeypatch.setattr(sharded, name, lambda *a, _f=original, _n=name, **k: used.append(_n) or _f(*a, **k))
    cluster, client = tls_cluster(1)
    try:
        engine = op.DaskEngine(client)
        for role, name in (("sender", "s"), ("receiver", "r")):
            bank = w["folder"] / f"bank_{name}.{fmt}"
            report = steps.build_store(d / f"{role}.pub", bank, ["account", "branch"], d / f"{role}-sharded.ost",
                                       shards=3, engine=engine)
            assert (report.rows_read, report.rows_stored, report.header.meta["shards"]) == (BANK * 11 // 10, BANK, 3)
            steps.build_store(d / f"{role}.pub", bank, ["account", "branch"], d / f"{role}.ost")
        payments = w["folder"] / f"payments.{fmt}"
        columns = ([("s_account", "account"), ("s_branch", "branch")], [("r_account", "account"), ("r_branch", "branch")])
        for kind, stores, options in (("sharded", ("sender-sharded", "receiver-sharded"), {"engine": engine}),
                                      ("single", ("sender", "receiver"), {})):
            header = steps.initiate(payments, *columns, d / f"{stores[0]}.ost", d / f"{stores[1]}.ost",
                                    d / "network.pub", d / f"q-{kind}.ost", **options)
            assert header.count == PAYMENTS
    finally:
        client.close()
        cluster.close()
    assert used == ["build_where_rows_lie", "build_where_rows_lie", "queries_where_rows_lie"]
    assert not [p for p in os.listdir(d) if p.startswith(("ostrelline-stage-", "ostrelline-queries-"))]
    bits = {kind: tools_bits(d, kind, payments) for kind in ("sharded", "single")}
    assert bits["sharded"] == bits["single"] == w["truth"]


def test_the_command_line_with_a_scheduler_runs_the_pipeline(world, client, tmp_path):
    # build-store --shards --scheduler and initiate --scheduler: the same steps
    # from the command line, on the cluster's workers (their tasks are the
    # pipeline's: staged shards, lookups per shard, cryptography per partition).
    import subprocess

    from ostrelline_tools import steps

    w, d = world, tmp_path
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    address = client.scheduler.address
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

    def cli(*args):
        result = subprocess.run([sys.executable, "-m", "ostrelline_tools", *args], cwd=d, env=env,
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        return result

    for role, name in (("sender", "s"), ("receiver", "r")):
        cli("build-store", "--key", f"{role}.pub", "--table", str(w["folder"] / f"bank_{name}.csv"), "--columns",
            "account,branch", "--shards", "2", "--scheduler", address, "--out", f"{role}.ost")
    prefixes = client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.task_prefixes))
    assert "stage_shard" in prefixes and "run_packed" in prefixes, prefixes
    reads, _ = shards_read(client, d / "reads.log", lambda: cli(
        "initiate", "--table", str(w["folder"] / "payments.parquet"), "--sender-columns",
        "s_account=account,s_branch=branch", "--receiver-columns", "r_account=account,r_branch=branch",
        "--sender-store", "sender.ost", "--receiver-store", "receiver.ost", "--network-key", "network.pub",
        "--scheduler", address, "--out", "q-cli.ost"))
    # The lookups read each of the four shards once (the engine path reads a
    # shard per group of queries it serves).
    assert len(reads) == len(set(reads)) == 4
    assert tools_bits(d, "cli", w["folder"] / "payments.parquet") == w["truth"]
