"""Allocation failure at every step of every function, run in a child process
by tests/test_resources.py.

Mode "cpp" (with tests/leakcheck/failing_new.cpp loaded by LD_PRELOAD): for
k = 0, 1, 2, ... the k-th C++ allocation of the call fails, until a call
runs through without reaching it. Mode "python" (with _testcapi): the same
with the k-th allocation of the interpreter's allocators.

Every call must give a correct result, its own documented error, or
MemoryError; the arguments' reference counts must be unchanged after it;
in mode "cpp" every block the call allocated must be freed again. At the end
the whole protocol must still give correct results. Prints one JSON line
with the number of injected failures per case.
"""
import ctypes
import gc
import json
import os
import sys

import ostrelline

MODE = sys.argv[1]
LIMIT = 20_000  # far above the C++ allocations of any case
PYTHON_STEPS = 300  # far above the interpreter allocations of any case

PK_S, SK_S = ostrelline.key_gen()
PK_Q, SK_Q = ostrelline.key_gen()
ROWS = [["a"], ["b", "c"]]
STORE = ostrelline.build_okvs(PK_S, ROWS)
QUERY = ostrelline.initiate_queries([["a"]], [["bc"]], STORE, STORE, PK_Q)
S, R, G, D = ostrelline.combine(QUERY, QUERY)
DS = ostrelline.decrypt(S, SK_S)
DR = ostrelline.decrypt(R, SK_S)


def panic(error):
    return type(error).__name__ == "PanicException"


def matches(store):
    """The rows of a store built from ROWS are found; another row is not."""
    queries = ostrelline.initiate_queries([["a"], ["x"]], [["bc"], ["bc"]], store, store, PK_Q)
    s, r, g, d = ostrelline.combine(queries, queries)
    return ostrelline.finish(ostrelline.decrypt(s, SK_S), ostrelline.decrypt(r, SK_S), g, d, SK_Q)


def check_query(result):
    s, r, g, d = ostrelline.combine(result, result)
    return ostrelline.finish(ostrelline.decrypt(s, SK_S), ostrelline.decrypt(r, SK_S), g, d, SK_Q) == [True]


# name: (call, check of a result, check of an error)
CASES = {
    "key_gen": (lambda: ostrelline.key_gen(),
                lambda r: ostrelline.decrypt(bytes.fromhex("58" + "66" * 31), r[1]) == r[0], None),
    "key_gen binding": (lambda: ostrelline.key_gen(1, 2), None, lambda e: isinstance(e, TypeError)),
    "build_okvs": (lambda: ostrelline.build_okvs(PK_S, ROWS), lambda r: matches(r) == [True, False], None),
    "build_okvs missing": (lambda: ostrelline.build_okvs(PK_S), None, lambda e: isinstance(e, TypeError)),
    "build_okvs row type": (lambda: ostrelline.build_okvs(PK_S, [["a"], [1]]), None,
                            lambda e: isinstance(e, TypeError) and str(e).startswith("argument 'strings_in_each_row'")),
    "build_okvs duplicate": (lambda: ostrelline.build_okvs(PK_S, [["ab"], ["a", "b"]]), None, panic),
    "build_okvs key": (lambda: ostrelline.build_okvs(b"short", ROWS), None, panic),
    "initiate_queries": (lambda: ostrelline.initiate_queries([["a"]], [["bc"]], STORE, STORE, PK_Q),
                         check_query, None),
    "initiate_queries short store": (lambda: ostrelline.initiate_queries([["a"]], [["a"]], bytes(100), STORE, PK_Q),
                                     None, panic),
    "randomize": (lambda: ostrelline.randomize(QUERY), check_query, None),
    "randomize type": (lambda: ostrelline.randomize(12345), None, panic),
    "combine": (lambda: ostrelline.combine(QUERY, QUERY), lambda r: r == (S, R, G, D), None),
    "decrypt": (lambda: ostrelline.decrypt(S, SK_S), lambda r: r == DS, None),
    "decrypt short": (lambda: ostrelline.decrypt(S + b"x", SK_S), None, panic),
    "finish": (lambda: ostrelline.finish(DS, DR, G, D, SK_Q), lambda r: r == [True], None),
    "finish missing": (lambda: ostrelline.finish(DS, DR), None, lambda e: isinstance(e, TypeError)),
}
WATCHED = [PK_S, SK_S, PK_Q, SK_Q, ROWS, STORE, QUERY, S, R, G, D, DS, DR]


class CppInjector:
    def __init__(self):
        lib = ctypes.CDLL(None)
        self.arm_fn = lib.failing_new_arm
        self.arm_fn.argtypes = [ctypes.c_long]
        self.fired_fn = lib.failing_new_fired
        self.live_fn = lib.failing_new_live
        self.live_fn.restype = ctypes.c_long

    def arm(self, k):
        self.arm_fn(k)

    def disarm(self):
        self.arm_fn(-1)

    def fired(self):
        return self.fired_fn() == 1

    def live(self):
        return self.live_fn()


class PythonInjector:
    def __init__(self):
        import _testcapi
        self.capi = _testcapi
        self.k = None

    def arm(self, k):
        self.k = k
        self.capi.set_nomemory(k, k + 1)

    def disarm(self):
        self.capi.remove_mem_hooks()

    def fired(self):
        return None  # unknown: the caller runs a fixed number of steps

    def live(self):
        return 0


def run(call):
    try:
        return call(), None
    except BaseException as error:  # noqa: BLE001
        return None, error


def attempt(injector, k, call):
    """Runs the call with the k-th allocation failing. In Python mode the
    failure may also hit this function's own bookkeeping around the call,
    which then shows as a MemoryError like any other."""
    result = error = None
    fired = None
    injector.arm(k)
    try:
        result = call()
    except BaseException as caught:  # noqa: BLE001
        error = caught
    finally:
        fired = injector.fired()
        while True:
            try:
                injector.disarm()
                break
            except MemoryError as caught:
                error = caught
    return result, error, fired


def main():
    injector = CppInjector() if MODE == "cpp" else PythonInjector()
    steps = {}
    for name, (call, check_result, check_error) in CASES.items():
        # Warm up: lazily built tables and classes exist before counting.
        run(call)
        run(call)
        refcounts = [sys.getrefcount(obj) for obj in WATCHED]
        baseline = injector.live()
        memory_errors = 0
        interpreter_losses = 0
        for k in range(LIMIT):
            result, error, fired = attempt(injector, k, call)
            if isinstance(error, MemoryError):
                memory_errors += 1
            elif (MODE == "python" and check_error is not None and type(error) is SystemError
                  and str(error) == "error return without exception set"):
                # The interpreter's own exception machinery loses the error
                # when one of its allocations fails while an error is being
                # raised: len(1, 2) does the same at one step. Counted, not
                # failed, on the failing paths only.
                interpreter_losses += 1
            elif error is not None:
                assert check_error is not None and check_error(error), f"{name} step {k}: {error!r}"
            else:
                assert check_result is not None and check_result(result), f"{name} step {k}: wrong result"
            del result, error
            assert [sys.getrefcount(obj) for obj in WATCHED] == refcounts, f"{name} step {k}: references"
            live = injector.live()
            assert live == baseline, f"{name} step {k}: {live - baseline} C++ blocks left live"
            if fired is False:
                break  # the call made fewer than k + 1 allocations
            if fired is None and k + 1 >= PYTHON_STEPS:
                break  # Python mode cannot tell; every case makes far fewer
        steps[name] = memory_errors
        if interpreter_losses:
            steps[name + " (interpreter lost the error)"] = interpreter_losses
        gc.collect()

    # The process goes on and computes correct results.
    assert matches(ostrelline.build_okvs(PK_S, ROWS)) == [True, False]
    print(json.dumps(steps))
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
