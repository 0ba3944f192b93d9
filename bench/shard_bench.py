"""Sharded stores on a Dask LocalCluster against the unsharded single calls.

Two banks of --rows accounts each, every bank cut into --shards shards, and
--payments payments against them (half of them matching). Prints, for the
bank builds and for initiate_queries: wall time, CPU time, and the peak
resident memory of each worker (VmHWM, reset before each phase) against one
process making the same single calls. The phases run one at a time, builds
first (single, then sharded), then queries (single, then sharded), each
printed when it ends.

A worker's memory is given twice: as it is, and above the worker's baseline,
the resident size of an idle worker with the module and this package
imported (interpreter, Dask and the module's code: the same whatever the data).
The target, at most twice the two shards a worker holds plus one chunk of
rows and outputs, is about the data a worker holds, so it is compared with
the peak above the baseline. A chunk is, for the builds, one shard's rows
(the module takes a shard's rows in one call) and, for the queries,
--chunk-size rows of each side and their outputs; its Python size is
measured with tracemalloc on rows unpickled as a worker unpickles them. The
workers are restarted between the builds and the queries: a bank builds on
its cluster, the payment network queries on its own.

Not a test; sizes are options, so that it can be run small (the defaults are
the full size, which takes a while on two cores).

    python bench/shard_bench.py --rows 200000 --payments 100000
"""
from __future__ import annotations

import argparse
import logging
import multiprocessing
import os
import pickle
import random
import resource
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import distributed  # noqa: E402

import ostrelline  # noqa: E402
import ostrelline_parallel as op  # noqa: E402
from ostrelline_parallel import shards  # noqa: E402
from ostrelline_tools.sharded import write_sharded_store  # noqa: E402


def bank_rows(prefix, count):
    return [[f"{prefix}{i:010d}", "branch-01"] for i in range(count)]


def payments(rows, count, seed):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        if rng.random() < 0.5:
            out.append(list(rows[rng.randrange(len(rows))]))
        else:
            out.append([f"XX{i:010d}", "branch-01"])
    return out


def peak_mib():
    """Peak resident memory of this process since it started or since reset_peak.

    VmHWM, not getrusage's ru_maxrss: that one survives exec, so a worker
    process started by a large driver would count the driver's memory."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def resident_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def load_modules():
    """In a worker: imports what the tasks use; the resident size then."""
    import ostrelline_parallel._worker  # noqa: F401
    from ostrelline_parallel import shards as worker_shards

    if worker_shards.default_construction() == "hiding":
        import ostrelline_hiding  # noqa: F401
    return resident_mib()


def package_file():
    import ostrelline_parallel

    return ostrelline_parallel.__file__


def python_mib(value):
    """The Python memory ``value`` takes when unpickled (as a task's argument is)."""
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    tracemalloc.start()
    copy = pickle.loads(data)
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del copy
    return size / 2**20


def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def cpu_seconds():
    times = os.times()
    return times.user + times.system


def build_function():
    if shards.default_construction() == "hiding":
        import ostrelline_hiding

        return ostrelline_hiding.build_okvs
    return ostrelline.build_okvs


def single_calls(args, conn):
    """In a fresh process: the unsharded build of both banks, reported; then, when
    told, initiate_queries, reported. The sharded builds run in between, so
    that the build figures of both come first."""
    (pk_s, _), (pk_r, _), (pk_q, _) = ostrelline.key_gen(), ostrelline.key_gen(), ostrelline.key_gen()
    rows_s, rows_r = bank_rows("DE", args.rows), bank_rows("FR", args.rows)
    senders, receivers = payments(rows_s, args.payments, 1), payments(rows_r, args.payments, 2)
    base = peak_mib()
    build_okvs = build_function()
    start, cpu = time.perf_counter(), cpu_seconds()
    store_s = build_okvs(pk_s, rows_s)
    store_r = build_okvs(pk_r, rows_r)
    build, build_cpu = time.perf_counter() - start, cpu_seconds() - cpu
    conn.send(dict(build=build, build_cpu=build_cpu, base=base, store=len(store_s), peak=peak_mib()))
    conn.recv()
    start, cpu = time.perf_counter(), cpu_seconds()
    ostrelline.initiate_queries(senders, receivers, store_s, store_r, pk_q)
    query, query_cpu = time.perf_counter() - start, cpu_seconds() - cpu
    conn.send(dict(query=query, query_cpu=query_cpu, peak=peak_mib()))


class SingleCalls:
    """The single calls in a child process, one phase at a time."""

    def __init__(self, args):
        context = multiprocessing.get_context("spawn")
        self.conn, child_conn = context.Pipe()
        self.child = context.Process(target=single_calls, args=(args, child_conn))
        self.child.start()

    def builds(self):
        result = self.conn.recv()
        print(f"single calls   build both banks {result['build']:8.1f} s (CPU {result['build_cpu']:.1f} s), "
              f"peak {result['peak']:.0f} MiB (rows and payments alone {result['base']:.0f} MiB), "
              f"store {result['store'] / 2**20:.1f} MiB per bank; load average {os.getloadavg()[0]:.1f}", flush=True)
        return result

    def queries(self):
        self.conn.send("go")
        result = self.conn.recv()
        self.child.join()
        print(f"single calls   initiate_queries {result['query']:7.1f} s (CPU {result['query_cpu']:.1f} s), "
              f"peak of the process {result['peak']:.0f} MiB; load average {os.getloadavg()[0]:.1f}", flush=True)
        return result


def worker_peaks(client):
    """Each worker's peak, by address."""
    return client.run(peak_mib)


def worker_cpu(client):
    return sum(client.run(cpu_seconds).values())


def memory_line(phase, peaks, base, two, chunk):
    workers = sorted(base)
    above = [peaks[w] - base[w] for w in workers]
    target = 2 * two + chunk
    return (f"peak per worker, {phase}: {[round(peaks[w]) for w in workers]} MiB raw, {[round(a) for a in above]} MiB "
            f"above the baseline; target 2 x {two:.1f} + one chunk {chunk:.1f} = {target:.1f} MiB above the baseline: "
            f"{'met' if max(above) <= target else 'missed'}")


def sharded(args, folder):
    """The single calls and the sharded run, their figures printed as each
    phase ends: single builds, sharded builds, single queries, sharded queries."""
    (pk_s, _), (pk_r, _), (pk_q, _) = ostrelline.key_gen(), ostrelline.key_gen(), ostrelline.key_gen()
    rows_s, rows_r = bank_rows("DE", args.rows), bank_rows("FR", args.rows)
    senders, receivers = payments(rows_s, args.payments, 1), payments(rows_r, args.payments, 2)
    # The rows as a task gives them to the module: one string each.
    shard_rows = python_mib(shards.key_rows(shards.row_keys(shards.split_into_shards(rows_s, args.shards)[0])))
    chunk = args.chunk_size
    query_chunk = sum(python_mib(shards.key_rows(shards.row_keys(side[:chunk]))) for side in (senders, receivers))
    query_chunk += 128 * chunk / 2**20
    mib = 2**20
    with distributed.LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0",
        silence_logs=logging.ERROR,
    ) as cluster, distributed.Client(cluster) as client:
        engine = op.DaskEngine(client, chunk_size=args.chunk_size)
        base = client.run(load_modules)
        if set(client.run(package_file).values()) != {op.__file__}:
            print(f"warning: the workers run another copy of ostrelline_parallel than {op.__file__}", flush=True)
        # Started only now, so that nothing of this process's set-up runs beside it.
        single = None if args.skip_single else SingleCalls(args)
        single_builds = single.builds() if single else None
        client.run(reset_peak)
        start, cpu = time.perf_counter(), worker_cpu(client)
        store_s = write_sharded_store(engine, os.path.join(folder, "s.ost"), pk_s, rows_s, args.shards)
        first = time.perf_counter() - start
        store_r = write_sharded_store(engine, os.path.join(folder, "r.ost"), pk_r, rows_r, args.shards)
        build, build_cpu = time.perf_counter() - start, worker_cpu(client) - cpu
        build_peaks = worker_peaks(client)
        after_builds = client.run(resident_mib)
        two = 2 * store_s.layout.shard_size / mib
        print(f"sharded        build both banks {build:8.1f} s ({first:.1f} s and {build - first:.1f} s), CPU of all "
              f"workers {build_cpu:.1f} s; {store_s.layout.construction} stores, {store_s.layout.capacity:,} rows and "
              f"{store_s.layout.shard_size / mib:.1f} MiB per shard; load average {os.getloadavg()[0]:.1f}", flush=True)
        if single:
            print(f"speed-up of the builds: {single_builds['build'] / build:.2f}x", flush=True)
        print(f"worker baseline (idle, modules imported) {[round(base[w]) for w in sorted(base)]} MiB; "
              f"two shards {two:.1f} MiB", flush=True)
        print(memory_line("builds", build_peaks, base, two, shard_rows), flush=True)
        print(f"resident after the builds "
              f"{[round(after_builds[w] - base[w]) for w in sorted(base)]} MiB above the baseline", flush=True)
        single_queries = single.queries() if single else None
        # The payment network queries on workers of its own, which never
        # built a store: the workers start afresh, and their baseline is taken again.
        client.restart()
        base = client.run(load_modules)
        client.run(reset_peak)
        start, cpu = time.perf_counter(), worker_cpu(client)
        queries = shards.initiate_sharded_queries(engine, senders, receivers, store_s, store_r, pk_q)
        query, query_cpu = time.perf_counter() - start, worker_cpu(client) - cpu
        query_peaks = worker_peaks(client)
        assert len(queries) == 128 * args.payments
        print(f"sharded        initiate_queries {query:7.1f} s, CPU of all workers {query_cpu:.1f} s; "
              f"load average {os.getloadavg()[0]:.1f}", flush=True)
        if single:
            print(f"speed-up of initiate_queries: {single_queries['query'] / query:.2f}x", flush=True)
        print(f"worker baseline of the restarted workers {[round(base[w]) for w in sorted(base)]} MiB", flush=True)
        print(memory_line("queries", query_peaks, base, two, query_chunk), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=2_000_000, help="accounts per bank")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--payments", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk-size", type=int, default=4096)
    parser.add_argument("--skip-single", action="store_true", help="do not run the unsharded single calls")
    args = parser.parse_args()
    print(f"banks of {args.rows:,} rows in {args.shards} shards, {args.payments:,} payments, "
          f"{args.workers} Dask workers, construction {shards.default_construction()}", flush=True)
    folder = tempfile.mkdtemp(prefix="shard-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        sharded(args, folder)
    finally:
        for name in ("s.ost", "r.ost"):
            path = os.path.join(folder, name)
            if os.path.exists(path):
                os.unlink(path)
        os.rmdir(folder)
    print(f"other programs' load at the end: {os.getloadavg()[0]:.1f} (1-minute load average, 2 cores here)")


if __name__ == "__main__":
    main()
