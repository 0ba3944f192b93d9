"""Threads, processes and interpreters: calls from many threads at once give
correct results; children made by os.fork and by multiprocessing pools draw
fresh randomness and compute correctly; a subinterpreter, or a second
initialisation, gets a clean ImportError while the first module goes on."""
import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ostrelline


def protocol_run(present=("DE89", "3704"), absent=("XX00",)):
    """One full protocol run with fresh keys; the match bits of one present
    and one absent sender row."""
    pk_s, sk_s = ostrelline.key_gen()
    pk_r, sk_r = ostrelline.key_gen()
    pk_q, sk_q = ostrelline.key_gen()
    store_s = ostrelline.build_okvs(pk_s, [list(present), ["FR76"]])
    store_r = ostrelline.build_okvs(pk_r, [["GB29"]])
    queries = ostrelline.initiate_queries([list(present), list(absent)], [["GB29"], ["GB29"]], store_s, store_r,
                                          pk_q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    return ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q)


def test_many_threads_at_once_give_correct_results():
    errors, results, keys = [], [], []
    lock = threading.Lock()
    start = threading.Barrier(8)

    def worker(index):
        try:
            start.wait()
            for round_ in range(6):
                bits = protocol_run((f"T{index}", f"R{round_}"), (f"T{index}", "absent"))
                pair = ostrelline.key_gen()
                with lock:
                    results.append(bits)
                    keys.append(pair)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert results == [[True, False]] * 48
    # Every thread's generator is its own: no two key pairs are equal.
    assert len({pk for pk, _ in keys}) == len(keys) == 48
    assert len({sk for _, sk in keys}) == 48


def test_threads_share_inputs_without_interference():
    pk, sk = ostrelline.key_gen()
    points = ostrelline.combine(*(ostrelline.initiate_queries(
        [["a"]] * 4, [["b"]] * 4, ostrelline.build_okvs(pk, [["a"], ["b"]]),
        ostrelline.build_okvs(pk, [["b"]]), pk),) * 2)[0]
    expected = ostrelline.decrypt(points, sk)
    outcomes = []

    def worker():
        outcomes.extend(ostrelline.decrypt(points, sk) == expected for _ in range(40))

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == [True] * 240


def _read_all(fd):
    chunks = []
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def test_forked_children_draw_fresh_randomness():
    ostrelline.key_gen()  # the parent's generator is seeded before the forks
    children = []
    for _ in range(3):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child
            status = 1
            try:
                os.close(read_end)
                pk, sk = ostrelline.key_gen()
                ok = protocol_run() == [True, False]
                os.write(write_end, pk + sk + (b"1" if ok else b"0"))
                status = 0
            finally:
                os._exit(status)
        os.close(write_end)
        children.append((pid, read_end))
    parent_pk, parent_sk = ostrelline.key_gen()
    outputs = []
    for pid, read_end in children:
        data = _read_all(read_end)
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
        assert len(data) == 65 and data[64:] == b"1"
        outputs.append(data[:64])
    # The first draws after the fork differ between parent and children and
    # between the children: each reseeded.
    assert len(set(outputs) | {parent_pk + parent_sk}) == 4


def _pool_ready(barrier):
    # Every worker exists before any takes a task, so that a loaded machine
    # cannot leave all tasks to the first worker that started.
    barrier.wait(timeout=120)


def _pool_task(index):
    pk, sk = ostrelline.key_gen()
    time.sleep(0.05)
    return os.getpid(), pk, sk, protocol_run((f"P{index}",), ("none",))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool_children_draw_fresh_randomness(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method")
    ostrelline.key_gen()
    context = multiprocessing.get_context(method)
    with context.Pool(3, initializer=_pool_ready, initargs=(context.Barrier(3),)) as pool:
        results = pool.map(_pool_task, range(9), chunksize=1)
    parent = ostrelline.key_gen()
    assert all(bits == [True, False] for *_, bits in results)
    assert len({pid for pid, *_ in results}) >= 2
    keys = {pk for _, pk, _, _ in results} | {parent[0]}
    assert len(keys) == 10
    assert len({sk for _, _, sk, _ in results} | {parent[1]}) == 10


# Appended to every child program: the first module still works.
STILL_WORKS = """
pk, sk = ostrelline.key_gen()
assert ostrelline.decrypt(bytes.fromhex("58" + "66" * 31), sk) == pk
print("OK")
"""


def _expect_ok(code):
    """Runs the program in a fresh interpreter; it prints SKIP when the
    interpreter lacks what it needs, else OK once everything held."""
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code) + STILL_WORKS], capture_output=True,
                               text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    if completed.stdout.strip() == "SKIP":
        pytest.skip("not available in this interpreter")
    assert completed.stdout.strip() == "OK"


MESSAGE = "ostrelline may only be initialised once per interpreter process"


def test_import_in_a_subinterpreter_fails_cleanly():
    _expect_ok(f"""
        import ostrelline
        try:
            import _testcapi
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
        code = (
            "try:\\n"
            "    import ostrelline\\n"
            "except ImportError as error:\\n"
            "    assert {MESSAGE!r} in str(error), str(error)\\n"
            "else:\\n"
            "    raise SystemExit('imported')\\n"
        )
        assert _testcapi.run_in_subinterp(code) == 0
    """)


def test_import_through_xxsubinterpreters_fails_cleanly():
    _expect_ok(f"""
        import ostrelline
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import ostrelline")
        except interpreters.RunFailedError as error:
            assert "ImportError" in str(error) and {MESSAGE!r} in str(error), str(error)
        else:
            raise SystemExit("imported in a subinterpreter")
        finally:
            interpreters.destroy(interp)
    """)


def test_second_initialisation_after_deleting_the_module_fails_cleanly():
    _expect_ok(f"""
        import importlib, sys
        import ostrelline
        first = ostrelline
        del sys.modules["ostrelline"]
        try:
            importlib.import_module("ostrelline")
        except ImportError as error:
            assert {MESSAGE!r} in str(error), str(error)
        else:
            raise SystemExit("initialised twice")
        assert "ostrelline" not in sys.modules or sys.modules["ostrelline"] is first
        ostrelline = first
    """)
