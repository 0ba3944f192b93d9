"""Memory exhaustion under an address-space limit, run in a child process by
tests/test_resources.py.

The large inputs are made first; then RLIMIT_AS is set a little above what
the process already uses, and each call that would need more than that must
raise MemoryError. Each is made three times, and after each the bytes that
malloc has handed out and not had back (mallinfo2: uordblks + hblkhd) must be
what they were before the call: a failed call leaves nothing behind. (The
resident size is reported too, but malloc keeps freed memory for reuse, so it
proves nothing.) Between the calls, under the same limit, and at the end
with the limit lifted, the protocol must still give correct results. Prints
one JSON line of figures.
"""
import ctypes
import gc
import json
import resource
import sys

import ostrelline

MB = 1 << 20


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = MallInfo2


def malloc_in_use():
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


PK_S, SK_S = ostrelline.key_gen()
PK_Q, SK_Q = ostrelline.key_gen()


def protocol_works():
    store = ostrelline.build_okvs(PK_S, [["a"], ["b"]])
    queries = ostrelline.initiate_queries([["a"], ["z"]], [["b"], ["b"]], store, store, PK_Q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), queries)
    return ostrelline.finish(ostrelline.decrypt(s, SK_S), ostrelline.decrypt(r, SK_S), g, d, SK_Q) == [True, False]


def limit_to(headroom):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + headroom, hard))


def lift_limit():
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))


def main():
    assert protocol_works()
    # The inputs, made before any limit. Every huge byte string starts with
    # bytes that are no point, so that a call which wrongly got its memory
    # would stop at once instead of computing for minutes.
    huge = bytes([2]) * (400 * MB)
    huge_store = bytes(400 * MB)
    many_rows = [[str(i)] for i in range(1_000_000)]
    a_million = [["a"]] * 1_000_000
    small_store = ostrelline.build_okvs(PK_S, [["a"], ["b"]])
    long_rows = [["x" * 10_000 + str(i)] for i in range(20_000)]

    scenarios = {
        # Rows reserve 56 MB; the pairs of row and ciphertext 120 MB more.
        "build_okvs, a million rows": (96 * MB, lambda: ostrelline.build_okvs(PK_S, many_rows)),
        # The rows' 200 MB of text are copied while they are read.
        "build_okvs, 200 MB of row text": (64 * MB, lambda: ostrelline.build_okvs(PK_S, long_rows)),
        # A million queries' rows and their 128 MB of results.
        "initiate_queries, a million queries": (64 * MB, lambda: ostrelline.initiate_queries(
            a_million, a_million, small_store, small_store, PK_Q)),
        # Results as long as the input are allocated before the first entry.
        "randomize, 400 MB": (64 * MB, lambda: ostrelline.randomize(huge)),
        "combine, 400 MB": (64 * MB, lambda: ostrelline.combine(huge, huge)),
        "decrypt, 400 MB": (64 * MB, lambda: ostrelline.decrypt(huge, SK_S)),
        # finish keeps 12.5 MB of match flags for 400 MB streams.
        "finish, 400 MB": (4 * MB, lambda: ostrelline.finish(huge, huge, huge, huge, SK_Q)),
    }
    # The stores a query looks keys up in are read where they lie: two 400 MB
    # stores need no memory of their size.
    limit_to(64 * MB)
    try:
        looked_up = ostrelline.initiate_queries([["a"]], [["a"]], huge_store, huge_store, PK_Q)
    finally:
        lift_limit()
    assert len(looked_up) == 128, len(looked_up)
    figures = {}
    for name, (headroom, call) in scenarios.items():
        resident, in_use = [], []
        for _ in range(3):
            gc.collect()
            before = malloc_in_use()
            limit_to(headroom)
            try:
                call()
            except MemoryError:
                pass
            else:
                raise AssertionError(f"{name}: no MemoryError")
            finally:
                lift_limit()
            gc.collect()
            in_use.append(malloc_in_use() - before)
            resident.append(status("VmRSS"))
            # Under the same limit again, small calls still work.
            limit_to(headroom)
            try:
                assert protocol_works(), name
            finally:
                lift_limit()
        assert all(abs(delta) < MB for delta in in_use), (name, in_use)
        figures[name] = {"malloc_in_use_change_bytes": in_use, "rss_mb": [round(r / MB, 1) for r in resident]}
    del huge, huge_store, many_rows, long_rows, a_million
    gc.collect()
    assert protocol_works()
    print(json.dumps(figures))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
