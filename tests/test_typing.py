"""The type stubs as a user's type checker sees them: mypy --strict on a small
typed user script, against the installed module, its stubs and
ostrelline_parallel, must pass (and the script runs); a script with deliberate
mistakes must fail with exactly the expected errors, each on its line. The
same for a user's script of the party tools (ostrelline_tools, typed by its
py.typed)."""
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

PYTHON_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")

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


def _mypy(tmp_path, name, text, tools=False):
    script = tmp_path / name
    script.write_text(text)
    # Run where the checkout is not on the path, so that mypy sees the
    # installed module, its stubs and ostrelline_parallel, as a user's would;
    # with ``tools``, the checkout's python/ is the path, whose packages mypy
    # then reads as installed ones: ostrelline_tools only for its py.typed.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if tools:
        env["PYTHONPATH"] = PYTHON_DIR
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


# A user's script of the party tools' API on pyarrow Tables and files.
TOOLS_SCRIPT = r'''
from __future__ import annotations

import pathlib
import tempfile
from typing import Optional

import pyarrow as pa  # type: ignore[import-untyped]

import ostrelline_tools as tools
from ostrelline_tools import results, steps


def run(d: pathlib.Path) -> int:
    fps = [tools.keygen(d / f"{r}.pub", d / f"{r}.sec", r) for r in ("sender", "receiver", "network")]
    accounts = pa.table({"iban": ["DE01", "DE02"]})
    report = tools.build_store(d / "sender.pub", accounts, ["iban"], d / "s.store", construction="specified")
    stored: int = report.rows_stored
    (d / "r.csv").write_text("iban;bic\nFR01;X\n")
    tools.build_store(d / "receiver.pub", str(d / "r.csv"), ("iban",), d / "r.store", construction="specified",
                      csv=tools.CsvOptions(delimiter=";"))
    payments = pa.table({"s": ["DE01", "DE09"], "r": ["FR01", "FR01"]})
    header = tools.initiate(payments, ["s"], ["r"], d / "s.store", d / "r.store", d / "network.pub", d / "q")
    network: str = header.fingerprint_hex
    assert network == fps[2]
    tools.randomize(d / "q", d / "q1")
    tools.randomize(d / "q", d / "q2")
    tools.combine(d / "q1", d / "q2", d / "ts", d / "tr", d / "g", d / "dl")
    tools.decrypt(d / "ts", d / "sender.sec", d / "fs")
    tools.decrypt(d / "tr", d / "receiver.sec", d / "fr")
    table = tools.finish(d / "fs", d / "fr", d / "g", d / "dl", d / "network.sec", payments, d / "res.csv.gz")
    count, matches, skipped = results.counts(table)
    try:
        tools.keygen(d / "sender.pub", d / "other.sec", "sender")
    except FileExistsError as error:
        code: Optional[int] = error.errno
        print("exists", code is not None)
    try:
        steps.randomize(d / "missing", d / "x")
    except tools.MissingFileError as error:
        print("missing", error.filename == str(d / "missing"))
    return stored * 100 + count * 10 + matches + skipped


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        print(run(pathlib.Path(folder)))
'''

TOOLS_MISTAKES = r'''
import ostrelline_tools as tools
from ostrelline_tools import results

fp: bytes = tools.keygen("a.pub", "a.sec", "sender")  # expect: assignment
tools.build_store("k", "t", ["c"], "o", csv=";")  # expect: arg-type
table = tools.finish("s", "r", "g", "d", "k", "p")
payments, matches = results.counts(table)  # expect: misc
tools.CsvOptions(delimiter=1)  # expect: arg-type
tools.rows.CsvOptions.parse(quote_char=0)  # expect: arg-type
tools.initiate("p", ["a"], ["b"], "s", "r", "k", "q", normalise=None)  # expect: arg-type
'''


def test_a_user_script_of_the_tools_passes_strict_mypy_and_runs(tmp_path):
    pytest.importorskip("pyarrow")
    assert os.path.isfile(os.path.join(PYTHON_DIR, "ostrelline_tools", "py.typed"))
    _, done = _mypy(tmp_path, "user.py", TOOLS_SCRIPT, tools=True)
    assert done.returncode == 0, done.stdout + done.stderr
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")])))
    ran = subprocess.run([sys.executable, "user.py"], cwd=str(tmp_path), env=env, capture_output=True, text=True,
                         timeout=300)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines() == ["exists True", "missing True", "221"]


def test_mistakes_in_a_user_script_of_the_tools_fail_strict_mypy(tmp_path):
    _, done = _mypy(tmp_path, "bad.py", TOOLS_MISTAKES, tools=True)
    expected = {(number, match.group(1)) for number, line in enumerate(TOOLS_MISTAKES.splitlines(), 1)
                for match in [re.search(r"# expect: ([a-z-]+)$", line)] if match}
    found = {(int(m.group(1)), m.group(2)) for m in re.finditer(r"^bad\.py:(\d+): error: .*\[([a-z-]+)\]$",
                                                                 done.stdout, re.M)}
    assert done.returncode == 1 and found == expected, done.stdout
