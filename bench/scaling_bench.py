"""Throughput of the chunked protocol against one process.

Runs the payment-side steps (initiate_queries, two randomize copies, combine,
the two decrypt calls, finish) on generated data: once as single calls in
this process, then chunked on a process pool and on a Dask LocalCluster of
worker processes with 1 and 2 workers, and prints payments per second, the
speed-up over one process and the scaling efficiency (speed-up per worker).
It also compares the ways of giving initiate_queries its stores on a
process pool: pickled into every task, one file read once per worker, or
once per worker through the pool's initializer. Every run's match bits are checked against the known truth.
The "others" column is the CPU load of other programs during a run, in
cores, from /proc/stat: on a shared machine it explains a low figure;
"caller" is the CPU time of the calling process itself (with Dask's
scheduler and client in it), which competes with the workers for the cores.

    PYTHONPATH=build/par/src:python python bench/scaling_bench.py
    python bench/scaling_bench.py --payments 20000 --accounts 10000 --engines single,pool

It takes several minutes at the default sizes; it is not part of the tests.
"""
import argparse
import concurrent.futures as cf
import logging
import os
import random
import resource
import sys
import time

import ostrelline
import ostrelline_parallel as op

STEPS = ["initiate_queries", "randomize", "combine", "decrypt", "finish"]


def account(rng, bank):
    return [bank, f"{rng.randrange(10**10):010d}", rng.choice(["EUR", "USD", "GBP", "CHF"])]


def make_data(accounts, payments, match_share, seed):
    rng = random.Random(seed)
    senders = sorted({tuple(account(rng, "BANK-S")) for _ in range(accounts)})
    receivers = sorted({tuple(account(rng, "BANK-R")) for _ in range(accounts)})
    held_s, held_r = set(senders), set(receivers)
    sender_rows, receiver_rows, truth = [], [], []
    for _ in range(payments):
        if rng.random() < match_share:
            s, r = rng.choice(senders), rng.choice(receivers)
        else:
            s = rng.choice(senders) if rng.random() < 0.5 else tuple(account(rng, "BANK-S"))
            r = rng.choice(receivers) if rng.random() < 0.5 else tuple(account(rng, "BANK-R"))
        sender_rows.append(list(s))
        receiver_rows.append(list(r))
        truth.append(s in held_s and r in held_r)
    return [list(a) for a in senders], [list(a) for a in receivers], sender_rows, receiver_rows, truth


class Forwarding(cf.Executor):
    """Hands tasks to a pool but is no ProcessPoolExecutor, so that
    ExecutorEngine pickles both stores into every task, as for any executor."""

    def __init__(self, pool):
        self.pool = pool

    def submit(self, fn, /, *args, **kwargs):
        return self.pool.submit(fn, *args, **kwargs)


def pipeline(step, data, keys, stores):
    """The payment-side steps with `step` (the module or an engine); (matches, seconds per step)."""
    _, sender_rows, receiver_rows = data
    (_, ssk), (_, rsk), (qpk, qsk) = keys
    times = {}

    def timed(name, call):
        start = time.perf_counter()
        value = call()
        times[name] = times.get(name, 0.0) + time.perf_counter() - start
        return value

    queries = timed("initiate_queries", lambda: step.initiate_queries(sender_rows, receiver_rows, *stores, qpk))
    first = timed("randomize", lambda: step.randomize(queries))
    second = timed("randomize", lambda: step.randomize(queries))
    s, r, g, d = timed("combine", lambda: step.combine(first, second))
    ds = timed("decrypt", lambda: step.decrypt(s, ssk))
    dr = timed("decrypt", lambda: step.decrypt(r, rsk))
    matches = timed("finish", lambda: step.finish(ds, dr, g, d, qsk))
    return matches, times


class Load:
    """CPU seconds over a block: this process and its reaped children, and the
    whole machine (from /proc/stat); the difference is other programs' load."""

    def __enter__(self):
        self.start = self._sample()
        return self

    def __exit__(self, *exc):
        end = self._sample()
        wall, mine, ours, machine = (b - a for a, b in zip(self.start, end))
        self.others = max(0.0, machine - ours) / wall if wall > 0 else 0.0
        self.mine = mine  # CPU seconds of this process alone (the caller, and Dask's scheduler)
        return False

    @staticmethod
    def _sample():
        own = resource.getrusage(resource.RUSAGE_SELF)
        mine = own.ru_utime + own.ru_stime
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        ours = mine + children.ru_utime + children.ru_stime
        try:
            with open("/proc/stat") as stat:
                fields = [int(x) for x in stat.readline().split()[1:]]
            machine = (sum(fields[:3]) + sum(fields[5:8])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            machine = ours
        return time.perf_counter(), mine, ours, machine


def report(label, workers, times, matches, truth, single_total, load):
    total = sum(times.values())
    n = len(truth)
    ok = "all correct" if matches == truth else f"MISMATCH ({sum(m == t for m, t in zip(matches, truth))}/{n})"
    speedup = single_total / total if single_total else 1.0
    steps = "  ".join(f"{name} {times[name]:6.1f}s" for name in STEPS)
    print(f"{label:<14} {workers:>7} {total:9.1f} {n / total:12,.0f} {speedup:8.2f}x {speedup / workers:10.0%} "
          f"{load.others:7.2f} {load.mine:8.1f}   {steps}   {ok}", flush=True)
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payments", type=int, default=200_000)
    parser.add_argument("--accounts", type=int, default=100_000, help="accounts per bank")
    parser.add_argument("--match-share", type=float, default=0.6)
    parser.add_argument("--chunk-size", type=int, default=op.DEFAULT_CHUNK_SIZE, help="entries per chunk")
    parser.add_argument("--workers", default="1,2", help="worker counts, comma-separated")
    parser.add_argument("--engines", default="single,pool,dask", help="any of single,pool,dask")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    workers = [int(w) for w in args.workers.split(",")]
    engines = args.engines.split(",")

    print(f"== {args.payments:,} payments, {args.accounts:,} accounts per bank, chunks of {args.chunk_size:,} "
          f"entries, {os.cpu_count()} cores")
    start = time.perf_counter()
    sender_accounts, receiver_accounts, sender_rows, receiver_rows, truth = make_data(
        args.accounts, args.payments, args.match_share, args.seed)
    print(f"   data generated in {time.perf_counter() - start:.1f} s; {sum(truth):,} payments have both rows held")
    keys = [ostrelline.key_gen() for _ in range(3)]
    start = time.perf_counter()
    stores = (ostrelline.build_okvs(keys[0][0], sender_accounts), ostrelline.build_okvs(keys[1][0], receiver_accounts))
    print(f"   two stores of {len(stores[0]):,} and {len(stores[1]):,} bytes built in "
          f"{time.perf_counter() - start:.1f} s (one build_okvs call each)")
    data = (None, sender_rows, receiver_rows)

    print(f"\n{'engine':<14} {'workers':>7} {'seconds':>9} {'payments/s':>12} {'speed-up':>9} {'efficiency':>10}   "
          f"{'others':>7} {'caller':>8}   seconds per step")
    print(f"{'':<14} {'':>7} {'':>9} {'':>12} {'':>9} {'':>10} {'(cores)':>7} {'(cpu s)':>8}")
    single_total = 0.0
    if "single" in engines:
        with Load() as load:
            matches, times = pipeline(ostrelline, data, keys, stores)
        single_total = report("one process", 1, times, matches, truth, 0.0, load)

    if "pool" in engines:
        for w in workers:
            with Load() as load, cf.ProcessPoolExecutor(max_workers=w) as pool:
                engine = op.ExecutorEngine(pool, chunk_size=args.chunk_size)
                pool.submit(int).result()  # start the workers before the clock
                matches, times = pipeline(engine, data, keys, stores)
            report("process pool", w, times, matches, truth, single_total, load)

    notes = []
    if "pool" in engines and max(workers) > 1:
        # Right after the pool runs: before any Dask thread exists in this process to fork.
        w = max(workers)
        chunks = -(-len(truth) // args.chunk_size)
        size = len(stores[0]) + len(stores[1])
        notes.append(f"\n== initiate_queries on a process pool of {w}, {chunks} chunks: where the stores travel")
        runs = [
            (f"pickled into every task ({size:,} bytes each)", lambda pool: op.ExecutorEngine(Forwarding(pool), chunk_size=args.chunk_size)),
            ("one file, read once per worker (ExecutorEngine)", lambda pool: op.ExecutorEngine(pool, chunk_size=args.chunk_size)),
        ]
        for label, make in runs:
            with Load() as load, cf.ProcessPoolExecutor(max_workers=w) as pool:
                pool.submit(int).result()
                engine = make(pool)
                start = time.perf_counter()
                queries = engine.initiate_queries(sender_rows, receiver_rows, *stores, keys[2][0])
                seconds = time.perf_counter() - start
            assert len(queries) == 128 * len(truth)
            notes.append(f"   {label:<52} {seconds:6.1f} s   (others {load.others:.2f} cores)")
        with Load() as load:
            start = time.perf_counter()
            queries = op.initiate_queries(sender_rows, receiver_rows, *stores, keys[2][0], max_workers=w,
                                          chunk_size=args.chunk_size)
            seconds = time.perf_counter() - start
        assert len(queries) == 128 * len(truth)
        label = "pool initializer (op.initiate_queries, pool start in)"
        notes.append(f"   {label:<52} {seconds:6.1f} s   (others {load.others:.2f} cores)")

    if "dask" in engines:
        import distributed

        for w in workers:
            with Load() as load:
                with distributed.LocalCluster(n_workers=w, threads_per_worker=1, processes=True, host="127.0.0.1",
                                              dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                        distributed.Client(cluster) as client:
                    client.wait_for_workers(w)
                    engine = op.DaskEngine(client, chunk_size=args.chunk_size)
                    matches, times = pipeline(engine, data, keys, stores)
            report("dask", w, times, matches, truth, single_total, load)

    for line in notes:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
