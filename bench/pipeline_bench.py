"""The sharded pipeline on a Dask LocalCluster against the single calls.

Writes two banks of --rows accounts and --payments payments (about half of
each side held, so a quarter match) as Parquet (or CSV) tables in --folder,
then runs, one phase at a time, each printed when it ends:

* the single calls, in a process of their own that reads the tables first:
  ``ostrelline_hiding.build_okvs`` of each bank, then
  ``ostrelline.initiate_queries`` of all payments;
* the pipeline on --workers worker processes (one thread each): each bank's
  build (``pipeline.build_sharded``: rows read and shuffled by the workers,
  staged per shard, one build task a shard, the stores written by this
  process), then, on restarted workers (the payment network's cluster is not
  the bank's), the queries (``pipeline.initiate_from_table``: lookups per
  shard, cryptography per payment partition, Parquet written by the
  workers), then the stream read back in payment order. The workers run
without Dask's statistical profiler and with a 500 ms tick (--dask-defaults
keeps Dask's settings).

Per phase: wall time; CPU of the workers and of this process (the driver,
which runs Dask's scheduler too) against the single calls; peak resident
memory (VmHWM, reset before the phase) of each worker and of the driver;
bytes read: the table and store bytes the workers' tasks read (rchar of the
workers, which also counts the shuffle's files), the store bytes the lookup
tasks read against the stores' sizes; and the compute time of the task
groups (read and key, shuffle, lookup, cryptography) from Dask's task
stream. A sample of the queries (--check payments) is finished with the
single calls and compared with the expected matches.

Not a test; sizes are options (the defaults are the full size, which takes
a while on two cores):

    python bench/pipeline_bench.py --rows 1000000 --payments 1000000
"""
from __future__ import annotations

import argparse
import logging
import multiprocessing
import os
import re
import shutil
import sys
import tempfile
import time
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, HERE)

import dask  # noqa: E402
import distributed  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import ostrelline  # noqa: E402
import ostrelline_hiding  # noqa: E402
from ostrelline_parallel import pipeline, shards  # noqa: E402
from shard_bench import cpu_seconds, peak_mib, reset_peak, resident_mib  # noqa: E402

BRANCH = "branch-01"
BLOCK = 100_000  # rows per row group of a Parquet table (and per block written)


def account(prefix, i):
    return f"{prefix}{i:010d}"


def sender_index(i, rows):
    """The sending bank's account of payment i, or -1 for an account it does not hold."""
    return (i * 7919) % rows if i % 2 == 0 else -1


def receiver_index(i, rows):
    return (i * 104729) % rows if i % 3 != 1 else -1


def matches(i, rows):
    return sender_index(i, rows) >= 0 and receiver_index(i, rows) >= 0


def write_table(path, fmt, columns):
    """Writes blocks of columns ({name: list}) as they come: Parquet with row
    groups of one block, or CSV."""
    writer = None
    for block in columns:
        table = pa.table(block)
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema) if fmt == "parquet" else pa.csv.CSVWriter(path, table.schema)
        writer.write_table(table)
    writer.close()


def make_tables(args, folder):
    import pyarrow.csv  # noqa: F401 - pa.csv

    fmt = args.format
    for prefix, name in (("DE", "bank_s"), ("FR", "bank_r")):
        write_table(os.path.join(folder, f"{name}.{fmt}"), fmt, (
            {"account": [account(prefix, i) for i in range(a, min(a + BLOCK, args.rows))],
             "branch": [BRANCH] * (min(a + BLOCK, args.rows) - a)}
            for a in range(0, args.rows, BLOCK)))

    def payment_blocks():
        for a in range(0, args.payments, BLOCK):
            ids = range(a, min(a + BLOCK, args.payments))
            s = [sender_index(i, args.rows) for i in ids]
            r = [receiver_index(i, args.rows) for i in ids]
            yield {"s_account": [account("DE", x) if x >= 0 else f"XX{i:010d}" for i, x in zip(ids, s)],
                   "s_branch": [BRANCH] * len(ids),
                   "r_account": [account("FR", x) if x >= 0 else f"YY{i:010d}" for i, x in zip(ids, r)],
                   "r_branch": [BRANCH] * len(ids)}

    write_table(os.path.join(folder, f"payments.{fmt}"), fmt, payment_blocks())


def read_rows(path, fmt, columns):
    if fmt == "parquet":
        table = pq.read_table(path, columns=columns)
    else:
        import pyarrow.csv as pc_csv

        table = pc_csv.read_csv(path, convert_options=pc_csv.ConvertOptions(include_columns=columns))
    return [list(row) for row in zip(*(table.column(c).to_pylist() for c in columns))]


def single_calls(args, folder, keys, conn):
    """In a fresh process: both banks' builds, then initiate_queries, each reported."""
    fmt = args.format
    results = {}
    stores = []
    for name, key in (("bank_s", keys[0]), ("bank_r", keys[1])):
        rows = read_rows(os.path.join(folder, f"{name}.{fmt}"), fmt, ["account", "branch"])
        start, cpu = time.perf_counter(), cpu_seconds()
        stores.append(ostrelline_hiding.build_okvs(key, rows))
        results[name] = dict(wall=time.perf_counter() - start, cpu=cpu_seconds() - cpu, store=len(stores[-1]))
        del rows
    results["build_peak"] = peak_mib()
    conn.send(results)
    payments = os.path.join(folder, f"payments.{fmt}")
    cpu = cpu_seconds()
    senders = read_rows(payments, fmt, ["s_account", "s_branch"])
    receivers = read_rows(payments, fmt, ["r_account", "r_branch"])
    read_cpu = cpu_seconds() - cpu
    start, cpu = time.perf_counter(), cpu_seconds()
    ostrelline.initiate_queries(senders, receivers, stores[0], stores[1], keys[2])
    conn.send(dict(wall=time.perf_counter() - start, cpu=cpu_seconds() - cpu, peak=peak_mib(), read_cpu=read_cpu))


def io_bytes():
    """This process's bytes read through read() and pread() (rchar) and from storage (read_bytes)."""
    with open("/proc/self/io") as io:
        fields = dict(line.split(": ") for line in io.read().splitlines())
    return int(fields["rchar"]), int(fields["read_bytes"])


class CountShardReads(distributed.WorkerPlugin):
    """Counts, in each worker, the store bytes the lookup tasks read."""

    def setup(self, worker):
        ref = shards.ShardRef
        original = ref.__dict__.get("uncounted_load", ref.load)

        def load(self):
            data = original(self)
            shards.shard_bytes_read = getattr(shards, "shard_bytes_read", 0) + len(data)
            return data

        ref.uncounted_load, ref.load = original, load


def shard_bytes_read():
    return getattr(shards, "shard_bytes_read", 0)


class Phase:
    """Wall time, CPU, peaks and bytes read of one phase on the cluster."""

    def __init__(self, client, name):
        self.client, self.name = client, name

    def __enter__(self):
        self.client.run(reset_peak)
        reset_peak()
        self.io = self.client.run(io_bytes)
        self.cpu = self.client.run(cpu_seconds)
        self.driver_cpu = cpu_seconds()
        self.stream = distributed.get_task_stream(self.client)
        self.stream.__enter__()
        self.start = time.perf_counter()
        return self

    def __exit__(self, *failure):
        self.wall = time.perf_counter() - self.start
        self.stream.__exit__(*failure)
        if failure[0] is not None:
            return
        cpu, io = self.client.run(cpu_seconds), self.client.run(io_bytes)
        self.worker_cpu = sum(cpu[w] - self.cpu.get(w, 0) for w in cpu)
        self.driver = cpu_seconds() - self.driver_cpu
        self.peaks = self.client.run(peak_mib)
        self.driver_peak = peak_mib()
        self.rchar = sum(io[w][0] - self.io.get(w, (0, 0))[0] for w in io)
        groups = defaultdict(float)
        for record in self.stream.data:
            key = record["key"]
            name = re.sub(r"-([0-9a-f]{32}|[0-9a-f]{8}-[0-9a-f-]{27}).*", "",
                          str(key[0] if isinstance(key, tuple) else key))
            name = re.sub(r"-\d+$", "", name)  # tasks named by their shard or partition
            for span in record.get("startstops", ()):
                if span["action"] == "compute":
                    groups[name] += span["stop"] - span["start"]
        self.groups = dict(sorted(groups.items(), key=lambda item: -item[1]))

    def report(self, single_cpu=None, extra=""):
        ratio = f", {(self.worker_cpu + self.driver) / single_cpu:.3f}x the single call's CPU" if single_cpu else ""
        peaks = [round(self.peaks[w]) for w in sorted(self.peaks)]
        print(f"pipeline {self.name:<14} {self.wall:8.1f} s; CPU workers {self.worker_cpu:.1f} s + driver "
              f"{self.driver:.1f} s{ratio}; peak per worker {peaks} MiB, driver {self.driver_peak:.0f} MiB; workers "
              f"read {self.rchar / 2**20:.0f} MiB{extra}; load average {os.getloadavg()[0]:.1f}", flush=True)
        shown = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in list(self.groups.items())[:8])
        print(f"    task compute time: {shown}", flush=True)


def finish_sample(keys, secret, queries):
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(ostrelline.decrypt(s, secret[0]), ostrelline.decrypt(r, secret[1]), g, d, secret[2])


def run(args, folder):
    fmt = args.format
    pairs = [ostrelline.key_gen() for _ in range(3)]
    keys, secret = [p for p, _ in pairs], [s for _, s in pairs]
    start = time.perf_counter()
    make_tables(args, folder)
    sizes = {n: os.path.getsize(os.path.join(folder, f"{n}.{fmt}")) for n in ("bank_s", "bank_r", "payments")}
    print(f"tables written in {time.perf_counter() - start:.1f} s: "
          + ", ".join(f"{n} {s / 2**20:.0f} MiB" for n, s in sizes.items()), flush=True)
    single = None
    if not args.skip_single:
        context = multiprocessing.get_context("spawn")
        conn, child_conn = context.Pipe()
        child = context.Process(target=single_calls, args=(args, folder, keys, child_conn))
        child.start()
        single = conn.recv()
        for name in ("bank_s", "bank_r"):
            result = single[name]
            print(f"single {name} build_okvs {result['wall']:8.1f} s, CPU {result['cpu']:.1f} s, store "
                  f"{result['store'] / 2**20:.0f} MiB", flush=True)
        print(f"single builds: peak of the process {single['build_peak']:.0f} MiB (the rows as lists and both "
              f"stores); load average {os.getloadavg()[0]:.1f}", flush=True)
        single["queries"] = conn.recv()
        child.join()
        result = single["queries"]
        print(f"single initiate_queries {result['wall']:8.1f} s, CPU {result['cpu']:.1f} s (reading the payments "
              f"into row lists before it: CPU {result['read_cpu']:.1f} s), peak of the process {result['peak']:.0f} "
              f"MiB; load average {os.getloadavg()[0]:.1f}", flush=True)
    table = {n: pipeline.Table(os.path.join(folder, f"{n}.{fmt}"), batch_bytes=args.batch_bytes)
             for n in sizes}
    k = args.shards or shards.shards_for(args.rows)
    if not args.dask_defaults:
        # A worker's statistical profiler and the 20 ms tick cost some CPU
        # all the time (measured idle: 2.2 % of a core per worker and 3.1 %
        # for the scheduler with them, 0.7 % and 1.7 % without).
        dask.config.set({"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "500ms"})
    with distributed.LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0",
        silence_logs=logging.ERROR,
    ) as cluster, distributed.Client(cluster) as client:
        base = client.run(resident_mib)
        print(f"workers idle: {[round(base[w]) for w in sorted(base)]} MiB resident; driver {resident_mib():.0f} "
              f"MiB", flush=True)
        stores = {}
        for name, key, role in (("bank_s", keys[0], "sender"), ("bank_r", keys[1], "receiver")):
            path = os.path.join(folder, f"{name}.ost")
            with Phase(client, f"build {name}") as phase:
                layout, built = pipeline.build_sharded(client, key, table[name], ["account", "branch"], k,
                                                       stage_dir=folder)
                with open(path, "wb") as out:
                    for store in built:
                        out.write(store)
            stores[name] = shards.ShardedStore(path, 0, layout, name)
            phase.report(single[name]["cpu"] if single else None,
                         f" (table {sizes[name] / 2**20:.0f} MiB); {k} shards of {layout.capacity:,} rows, "
                         f"{layout.shard_size / 2**20:.1f} MiB each")
        client.restart()
        client.register_plugin(CountShardReads(), name="count-shard-reads")
        base = client.run(resident_mib)
        out_dir = os.path.join(folder, "queries")
        with Phase(client, "queries") as phase:
            output = pipeline.initiate_from_table(
                client, table["payments"], ["s_account", "s_branch"], ["r_account", "r_branch"], stores["bank_s"],
                stores["bank_r"], keys[2], out_dir)
        read = sum(client.run(shard_bytes_read).values())
        total = sum(os.path.getsize(os.path.join(folder, f"{n}.ost")) for n in ("bank_s", "bank_r"))
        phase.report(single["queries"]["cpu"] if single else None,
                     f"; store bytes read by the lookups {read / 2**20:.0f} MiB of the stores' {total / 2**20:.0f} "
                     f"MiB; {len(output.files)} payment partitions")
        if single:
            with_reading = single["queries"]["cpu"] + single["queries"]["read_cpu"]
            print(f"    against the single call with its reading of the table: "
                  f"{(phase.worker_cpu + phase.driver) / with_reading:.3f}x", flush=True)
        start, cpu = time.perf_counter(), cpu_seconds()
        reset_peak()
        sample = b""
        count = 0
        for piece in pipeline.read_queries(output):
            count += len(piece) // 128
            if len(sample) < 128 * args.check:
                sample += piece[: 128 * args.check - len(sample)]
        print(f"stream read back in payment order: {count:,} queries in {time.perf_counter() - start:.1f} s "
              f"(CPU {cpu_seconds() - cpu:.1f} s), driver peak {peak_mib():.0f} MiB", flush=True)
        bits = finish_sample(keys, secret, sample)
        expected = [matches(i, args.rows) for i in range(len(bits))]
        print(f"sample of {len(bits):,} payments finished: {'the expected matches' if bits == expected else 'WRONG'} "
              f"({sum(bits):,} matches)", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=10_000_000, help="accounts per bank")
    parser.add_argument("--payments", type=int, default=10_000_000)
    parser.add_argument("--shards", type=int, default=0, help="shards per bank (default: shards_for(rows))")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--format", choices=["parquet", "csv"], default="parquet")
    parser.add_argument("--batch-bytes", type=int, default=pipeline.DEFAULT_BATCH_BYTES,
                        help="bytes of a table per input partition")
    parser.add_argument("--check", type=int, default=20_000, help="payments whose matches are checked")
    parser.add_argument("--folder", default=None, help="where the tables, stores and queries go (removed after)")
    parser.add_argument("--skip-single", action="store_true", help="do not run the single calls")
    parser.add_argument("--dask-defaults", action="store_true",
                        help="keep the workers' profiler and Dask's 20 ms tick (turned off by default)")
    args = parser.parse_args()
    print(f"banks of {args.rows:,} rows, {args.payments:,} payments, {args.workers} Dask workers, {args.format}; "
          f"load average {os.getloadavg()[0]:.1f}", flush=True)
    folder = tempfile.mkdtemp(prefix="pipeline-bench-", dir=args.folder)
    try:
        run(args, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"load average at the end: {os.getloadavg()[0]:.1f} (1 minute; 2 cores here)")


if __name__ == "__main__":
    main()
