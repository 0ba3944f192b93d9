"""Memory exhaustion: an allocation failure anywhere in an operation raises
MemoryError, leaves nothing behind, leaks nothing, and the process goes on
computing correct results. Each check runs in a child process (the scripts
in tests/leakcheck/), since it limits or breaks the allocators."""
import json
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
LEAKCHECK = os.path.join(HERE, "leakcheck")


def run_child(script, *args, env=None, timeout=600):
    completed = subprocess.run([sys.executable, os.path.join(LEAKCHECK, script), *args], capture_output=True,
                               text=True, timeout=timeout, env=env)
    assert completed.returncode == 0, completed.stderr[-4000:]
    return json.loads(completed.stdout.strip().splitlines()[-1])


def test_address_space_limit_gives_memory_error_and_the_process_goes_on():
    figures = run_child("address_limit.py")
    assert set(figures) == {
        "build_okvs, a million rows", "build_okvs, 200 MB of row text", "initiate_queries, a million queries",
        "randomize, 400 MB", "combine, 400 MB", "decrypt, 400 MB", "finish, 400 MB",
    }
    for name, figure in figures.items():
        assert all(abs(delta) < 1 << 20 for delta in figure["malloc_in_use_change_bytes"]), name


@pytest.fixture(scope="module")
def failing_new(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the failing operator new")
    library = tmp_path_factory.mktemp("failing_new") / "failing_new.so"
    subprocess.run([compiler, "-std=c++20", "-O2", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror", "-o",
                    str(library), os.path.join(LEAKCHECK, "failing_new.cpp")], check=True)
    return str(library)


def test_every_cpp_allocation_of_every_call_failing_in_turn(failing_new):
    env = dict(os.environ, LD_PRELOAD=failing_new)
    counts = run_child("alloc_failures.py", "cpp", env=env)
    # Calls that allocate in C++ got MemoryError at every one of those steps
    # and still gave correct results once no step failed.
    for name in ("build_okvs", "initiate_queries", "build_okvs duplicate", "initiate_queries short store",
                 "build_okvs row type", "finish"):
        assert counts[name] >= 1, (name, counts)
    assert counts["build_okvs"] >= 10


def test_every_interpreter_allocation_of_every_call_failing_in_turn():
    try:
        import _testcapi
    except ImportError:
        pytest.skip("no _testcapi in this interpreter")
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("_testcapi has no set_nomemory")
    counts = run_child("alloc_failures.py", "python")
    # Result objects (bytes, tuples, lists) and exception messages are all
    # interpreter allocations: every call met at least one failure.
    for name in ("key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"):
        assert counts[name] >= 1, (name, counts)
