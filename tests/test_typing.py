"""The type stubs as a user's type checker sees them: mypy --strict on a small
typed user script, against the installed module, its stubs and
ostrelline_parallel, must pass (and the script runs); a script with deliberate
mistakes must fail with exactly the expected errors, each on its line."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import ostrelline
import ostrelline_hiding
import ostrelline_parallel

GOOD = r'''
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple, Type

import ostrelline
import ostrelline_hiding
import ostrelline_parallel as op
import ostrelline_parallel.shards
from ostrelline_parallel import ExecutorEngine, Row, join_bytes, panic_exception_type, split_stream

if TYPE_CHECKING:
    from typing_extensions import assert_type

    from ostrelline_parallel import DaskEngine
else:
    def assert_type(value, _):
        return value


def keys() -> Tuple[bytes, bytes]:
    return ostrelline.key_gen()


def rest(engine: op.Engine, queries: bytes, sk_s: bytes, sk_r: bytes, sk_q: bytes) -> List[bool]:
    s, r, g, d = engine.combine(engine.randomize(queries), engine.randomize(queries))
    return engine.finish(engine.decrypt(s, sk_s), engine.decrypt(r, sk_r), g, d, sk_q)


def on_dask(engine: Optional[DaskEngine]) -> Optional[op.Engine]:
    return engine


def decrypt_or_refuse(engine: op.Engine, points: bytes, key: bytes) -> Optional[bytes]:
    try:
        return engine.decrypt(points, key)
    except op.PlainTransportError:
        return None


def shard_count(rows: Sequence[Row]) -> int:
    return op.shards.shards_for(len(rows))


def main() -> None:
    (pk_s, sk_s), (pk_r, sk_r), (pk_q, sk_q) = keys(), keys(), keys()
    sender_rows: List[List[str]] = [["DE89", "3704"], ["FR76", "3000"]]
    receiver_rows: Sequence[Tuple[str, ...]] = [("GB29", "NWBK")]
    mixed: List[Row] = [["DE89", "3704"], ("XX00",)]
    store_s = ostrelline.build_okvs(pk_s, sender_rows)
    store_r = ostrelline_hiding.build_okvs(public_key=pk_r, strings_in_each_row=receiver_rows)
    queries = ostrelline.initiate_queries(mixed, [("GB29", "NWBK")] * 2, store_s, store_r, pk_q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    matches = ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q)
    assert_type(matches, List[bool])
    assert matches == [True, False]

    with ThreadPoolExecutor(2) as pool:
        engine = ExecutorEngine(pool, chunk_size=1)
        chunked = rest(engine, engine.initiate_queries(mixed, [("GB29", "NWBK")] * 2, store_s, store_r, pk_q,
                                                       progress=lambda step, done, total: None),
                       sk_s, sk_r, sk_q)
    assert chunked == matches
    assert on_dask(None) is None
    assert shard_count(mixed) >= 1
    assert join_bytes(split_stream(queries, op.WIDE, 1)) == queries
    assert op.join_lists(op.split_rows(mixed, 1)) == mixed

    panic = panic_exception_type()
    assert_type(panic, Type[BaseException])
    try:
        ostrelline.randomize(b"too short")
    except op.panic_exception_type() as error:
        print("caught", type(error).__name__)
    except panic:
        raise AssertionError("not reached")


if __name__ == "__main__":
    main()
'''

# Each mistake carries the mypy error code it must produce on its line.
BAD = r'''
from concurrent.futures import ThreadPoolExecutor
from typing import List, Sequence

import ostrelline
import ostrelline_hiding
import ostrelline_parallel as op
from ostrelline import PanicException  # expect: attr-defined

pk, sk = ostrelline.key_gen()
ostrelline.key_gen(pk)  # expect: call-arg
store = ostrelline.build_okvs(pk, ["DE89", "3704"])  # expect: list-item
ostrelline.build_okvs(pk, "DE89")  # expect: arg-type
ostrelline_hiding.build_okvs(pk, ["DE89"])  # expect: list-item
ostrelline.initiate_queries([["a"]], [("b",)], store, store, "pk")  # expect: arg-type
loose: Sequence[Sequence[str]] = [["a"]]
ostrelline.build_okvs(pk, loose)  # expect: arg-type
s, r, g = ostrelline.combine(b"", b"")  # expect: misc
counts: List[int] = ostrelline.finish(b"", b"", b"", b"", sk)  # expect: assignment
ostrelline.decrypt(points=b"", secret_key=sk)  # expect: call-arg
op.build_okvs(pk, ["DE89"])  # expect: list-item
engine: op.Engine = op.ExecutorEngine(ThreadPoolExecutor(1), chunk_size=4096)
engine.initiate_queries("a", [("b",)], store, store, pk)  # expect: arg-type
op.ExecutorEngine(None)  # expect: arg-type
op.randomize(b"", chunk_size="big")  # expect: arg-type
try:
    pass
except op.panic_exception_type() as error:
    error.missing  # expect: attr-defined
'''


def _mypy(tmp_path, name, text):
    script = tmp_path / name
    script.write_text(text)
    # Run where the checkout is not on the path, so that mypy sees the
    # installed module, its stubs and ostrelline_parallel, as a user's would.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes", "--no-color-output",
         "--no-error-summary", name],
        cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=600,
    )
    return script, done


def test_typed_user_script_passes_strict_mypy_and_runs(tmp_path):
    script, done = _mypy(tmp_path, "good.py", GOOD)
    assert done.returncode == 0, done.stdout + done.stderr
    ran = subprocess.run([sys.executable, str(script)], cwd=str(tmp_path), capture_output=True, text=True,
                         timeout=300)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines() == ["caught PanicException"]


def test_mistakes_fail_strict_mypy_with_the_expected_errors(tmp_path):
    _, done = _mypy(tmp_path, "bad.py", BAD)
    assert done.returncode == 1, done.stdout + done.stderr
    expected = {(number, match.group(1))
                for number, line in enumerate(BAD.splitlines(), 1)
                for match in [re.search(r"# expect: ([a-z-]+)$", line)] if match}
    found = set()
    for line in done.stdout.splitlines():
        match = re.match(r"bad\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found.add((int(match.group(1)), match.group(2)))
    assert found == expected, done.stdout


def test_every_exported_name_exists():
    assert set(ostrelline_parallel.chunks.__all__) <= set(ostrelline_parallel.__all__)
    for name in ostrelline_parallel.__all__:
        assert getattr(ostrelline_parallel, name) is not None


@pytest.mark.parametrize("module", [ostrelline, ostrelline_hiding], ids=lambda m: m.__name__)
def test_stubs_match_the_module(module):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module.__name__], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    # stubtest cannot see the parameters (the functions carry no text
    # signature), so the stub's parameter names are bound as keywords here.
    stub = pathlib.Path(module.__file__).parent / f"{module.__name__}.pyi"
    functions = [node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == module.__all__
    for function in functions:
        keywords = {a.arg: None for a in function.args.args}
        try:
            getattr(module, function.name)(**keywords)
        except TypeError as error:  # a row list refused is fine; a binding failure is not
            assert not re.search(r"keyword argument|required positional argument", str(error)), error
        except BaseException as error:  # noqa: BLE001 - PanicException: bound, then refused the values
            assert type(error).__name__ == "PanicException", (function.name, error)
