"""The ``ostrelline`` command as a command-line tool: its version, the
spellings it accepts, its exit statuses, a closed standard output, missing
optional packages named by their extra, and the one place that recognises the
module's PanicException."""
import os
import re
import subprocess
import sys

import pytest

PYTHON_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
ROOT = os.path.dirname(PYTHON_DIR)
sys.path.insert(0, PYTHON_DIR)

pytest.importorskip("pyarrow")

import ostrelline  # noqa: E402
import ostrelline_parallel  # noqa: E402
import ostrelline_tools  # noqa: E402
from ostrelline_parallel import _version, _worker, faults  # noqa: E402
from ostrelline_tools import audit, cli, files, kinds, steps  # noqa: E402
from ostrelline_tools.errors import Extra, MissingDependencyError, ToolError  # noqa: E402


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return env


def run_cli(*args, cwd, blocked=()):
    """The command in a process of its own; the modules named in ``blocked``
    cannot be imported there, as where they are not installed."""
    code = "import sys\n"
    code += "".join(f"sys.modules[{name!r}] = None\n" for name in blocked)
    code += "from ostrelline_tools.cli import main\nsys.exit(main(sys.argv[1:]))\n"
    return subprocess.run(
        [sys.executable, "-c", code, *args], cwd=cwd, env=_env(), capture_output=True, text=True
    )


def run_into_closed_pipe(*args, cwd):
    """The command with a standard output whose reader is gone before it starts
    (as ``| head -1`` leaves it once head has read its line)."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        return subprocess.run(
            [sys.executable, "-m", "ostrelline_tools", *args],
            cwd=cwd, env=_env(), stdout=write_end, stderr=subprocess.PIPE, text=True,
        )
    finally:
        os.close(write_end)


def _pyproject():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as file:
        return file.read()


@pytest.fixture(scope="module")
def party(tmp_path_factory):
    """Keys, stores and a query stream, made through the API."""
    d = tmp_path_factory.mktemp("party")
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    (d / "accounts.csv").write_text("iban\nDE01\nDE02\nDE03\n")
    (d / "payments.csv").write_text("payer,payee\nDE01,DE02\nDE09,DE03\n")
    for bank in ("sender", "receiver"):
        steps.build_store(d / f"{bank}.pub", d / "accounts.csv", ["iban"], d / f"{bank}.store", construction="specified")
    steps.initiate(
        d / "payments.csv", [("payer", "iban")], [("payee", "iban")], d / "sender.store", d / "receiver.store",
        d / "network.pub", d / "queries.ost",
    )
    return d


# --------------------------------------------------------------------------- version


def test_version_is_written_once_and_shown(party):
    written = re.search(r'^\[project\][^\[]*?^version\s*=\s*"([^"]+)"', _pyproject(), re.M | re.S).group(1)
    assert ostrelline_tools.__version__ == ostrelline_parallel.__version__ == written
    assert audit.tools_version() == written
    result = run_cli("--version", cwd=party)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"ostrelline {written}\n", "")


def test_version_source(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[build-system]\nversion = "9"\n[project]\nname = "ostrelline"\n'
                                             'version = "2.3.4"  # the release\n[tool.x]\nversion = "7"\n')
    assert _version._tree_version(str(tmp_path)) == "2.3.4"
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "another"\nversion = "1.0"\n')
    assert _version._tree_version(str(tmp_path)) is None
    (tmp_path / "pyproject.toml").write_bytes(b"\xff\xfe")
    assert _version._tree_version(str(tmp_path)) is None
    assert _version._tree_version(str(tmp_path / "absent")) is None


# --------------------------------------------------------------------------- spellings and flags


def test_normalize_is_normalise():
    parser = cli._parser()
    common = ["--key", "k", "--input", "t", "--columns", "a", "--out", "o"]
    for spelling in ("--normalise", "--normalize"):
        args = parser.parse_args(["build-store", *common, spelling, "identifier"])
        assert args.normalise == "identifier"
        args = parser.parse_args(
            ["initiate", "--payments", "p", "--sender-columns", "a", "--receiver-columns", "b", "--sender-store", "s",
             "--receiver-store", "r", "--network-key", "n", "--out", "o", spelling, "name"]
        )
        assert args.normalise == "name"
    with pytest.raises(SystemExit):
        parser.parse_args(["build-store", *common, "--normalize", "upper"])


def test_normalize_builds_the_same_store(party):
    result = run_cli("build-store", "--key", "sender.pub", "--input", "accounts.csv", "--columns", "iban",
                     "--normalize", "identifier", "--specified", "--out", "normalized.store", cwd=party)
    assert result.returncode == 0, result.stderr
    assert files.check_file(party / "normalized.store", ["store"]).rows["normalise"] == "identifier"


def test_progress_only_where_it_shows(party):
    for name in ("keygen", "inspect"):
        shown = run_cli(name, "--help", cwd=party)
        assert shown.returncode == 0 and "--progress" not in shown.stdout
    assert "--progress" in run_cli("randomize", "--help", cwd=party).stdout
    # Still taken, so that a script giving it to every step goes on working.
    result = run_cli("keygen", "--role", "sender", "--public", "p.pub", "--secret", "p.sec", "--progress", "never",
                     cwd=party)
    assert result.returncode == 0, result.stderr
    assert run_cli("inspect", "p.pub", "--progress", "always", cwd=party).returncode == 0


# --------------------------------------------------------------------------- exit statuses


@pytest.mark.parametrize(
    "args,names",
    [
        (["randomize", "queries.ost", "--out", "x", "--chunk-size", "0"], "--chunk-size"),
        (["randomize", "queries.ost", "--out", "x", "--chunk-size", "-5"], "--chunk-size"),
        (["randomize", "queries.ost", "--out", "x", "--chunk-size", "many"], "--chunk-size"),
        (["randomize", "queries.ost", "--out", "x", "--workers", "0"], "--workers"),
        (["decrypt", "absent.ost", "--secret-key", "sender.sec", "--out", "x", "--max-entries", "-1"], "--max-entries"),
        (["build-store", "--key", "sender.pub", "--input", "accounts.csv", "--columns", "iban", "--out", "x",
          "--shards", "0"], "--shards"),
        (["finish", "--sender", "a", "--receiver", "b", "--gamma", "c", "--delta", "d", "--secret-key", "e",
          "--payments", "f", "--out", "g", "--column", ""], "--column"),
        (["randomize", "queries.ost", "--out", "x", "--tls-cert", "cert.pem"], "--scheduler"),
        (["randomize", "queries.ost", "--out", "x", "--no-such-option"], "--no-such-option"),
        ([], "COMMAND"),
    ],
)
def test_usage_errors_exit_2(party, args, names):
    result = run_cli(*args, cwd=party)
    assert result.returncode == 2, result.stderr
    assert names in result.stderr and "usage:" in result.stderr and "Traceback" not in result.stderr
    assert not (party / "x").exists()


def test_counts_accept_their_least_value():
    parser = cli._parser()
    args = parser.parse_args(["decrypt", "p", "--secret-key", "s", "--out", "o", "--max-entries", "0",
                              "--chunk-size", "1", "--workers", "1"])
    assert (args.max_entries, args.chunk_size, args.workers) == (0, 1, 1)
    for flag in ("--chunk-size", "--workers", "--max-entries"):
        with pytest.raises(SystemExit) as info:
            parser.parse_args(["decrypt", "p", "--secret-key", "s", "--out", "o", flag, "1.5"])
        assert info.value.code == 2


def test_refusals_exit_1_and_interruptions_130(party, monkeypatch, capsys):
    result = run_cli("randomize", "absent.ost", "--out", "x", cwd=party)
    assert result.returncode == 1 and result.stderr.startswith("ostrelline: error: absent.ost")
    # A refusal of the engine's options that only a run can find is a refusal too.
    result = run_cli("randomize", "queries.ost", "--out", "x", "--scheduler", "tcp://x:1", "--tls-cert", "absent.pem",
                     cwd=party)
    assert result.returncode == 1 and "Traceback" not in result.stderr

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(steps, "randomize", interrupted)
    assert cli.main(["randomize", str(party / "queries.ost"), "--out", str(party / "x")]) == cli.EXIT_INTERRUPTED == 130
    assert "interrupted; nothing written" in capsys.readouterr().err


# --------------------------------------------------------------------------- a closed standard output


@pytest.mark.parametrize("args", [["inspect", "sender.pub"], ["--version"], ["--help"], ["randomize", "--help"]])
def test_closed_output_ends_quietly(party, args):
    result = run_into_closed_pipe(*args, cwd=party)
    assert (result.returncode, result.stderr) == (0, "")


def test_closed_output_leaves_the_step_whole(party):
    result = run_into_closed_pipe("keygen", "--role", "network", "--public", "late.pub", "--secret", "late.sec",
                                  cwd=party)
    assert (result.returncode, result.stderr) == (0, "")
    assert files.check_file(party / "late.pub", ["public-key"]).kind == "public-key"
    result = run_into_closed_pipe("inspect", "queries.ost", "--export", "payload.bin", cwd=party)
    assert (result.returncode, result.stderr) == (0, "")
    assert (party / "payload.bin").read_bytes() == files.open_file(party / "queries.ost").payload()
    # The exit status stays the step's: a corrupted file is still reported.
    data = bytearray((party / "sender.pub").read_bytes())
    data[-1] ^= 1
    (party / "damaged.pub").write_bytes(bytes(data))
    result = run_into_closed_pipe("inspect", "damaged.pub", cwd=party)
    assert result.returncode == 1
    assert result.stderr == "ostrelline: error: damaged.pub: is corrupted (its checksums do not match)\n"


def test_output_closed_from_the_start(party):
    result = subprocess.run(
        ["sh", "-c", 'exec "$@" >&-', "sh", sys.executable, "-m", "ostrelline_tools", "inspect", "sender.pub"],
        cwd=party, env=_env(), capture_output=True, text=True,
    )
    assert (result.returncode, result.stderr) == (0, "")


# --------------------------------------------------------------------------- missing optional packages


def test_extras_named_are_the_distributions():
    text = _pyproject()
    extras = dict(re.findall(r'^(\w+) = \[([^\]]*)\]', text.split("[project.optional-dependencies]")[1], re.M))
    assert re.findall(r'"([^"]+)"', extras[Extra.TOOLS.value]) == ["pyarrow", "xxhash"]
    assert set(re.findall(r'"([^"]+)"', extras[Extra.CLUSTER.value])) >= {"dask", "distributed"}
    error = MissingDependencyError("a sharded store", "xxhash", Extra.TOOLS)
    assert isinstance(error, ToolError) and isinstance(error, ImportError) and error.extra is Extra.TOOLS
    assert str(error) == "a sharded store needs xxhash (pip install 'ostrelline[tools]')"


@pytest.mark.parametrize("tls", [False, True])
def test_scheduler_without_distributed_names_the_extra(party, tls):
    (party / "ca.pem").write_text("")
    options = ["--tls-ca-file", "ca.pem", "--tls-cert", "ca.pem"] if tls else []
    result = run_cli("randomize", "queries.ost", "--out", "x", "--scheduler", "tls://127.0.0.1:1", *options,
                     cwd=party, blocked=["distributed"])
    assert result.returncode == 1
    assert result.stderr == "ostrelline: error: --scheduler needs dask and distributed (pip install 'ostrelline[cluster]')\n"
    assert not (party / "x").exists()


def test_sharded_stores_without_xxhash_name_the_extra(party):
    pytest.importorskip("xxhash")
    steps.build_store(party / "sender.pub", party / "accounts.csv", ["iban"], party / "sharded.store",
                      construction="specified", shards=2)
    message = "ostrelline: error: a sharded store needs xxhash (pip install 'ostrelline[tools]')\n"
    result = run_cli("build-store", "--key", "sender.pub", "--input", "accounts.csv", "--columns", "iban",
                     "--specified", "--shards", "2", "--out", "x", cwd=party, blocked=["xxhash"])
    assert (result.returncode, result.stderr) == (1, message)
    result = run_cli("initiate", "--payments", "payments.csv", "--sender-columns", "payer=iban", "--receiver-columns",
                     "payee=iban", "--sender-store", "sharded.store", "--receiver-store", "receiver.store",
                     "--network-key", "network.pub", "--out", "x", cwd=party, blocked=["xxhash"])
    assert (result.returncode, result.stderr) == (1, message)
    assert not (party / "x").exists()
    # Its header and checksums are checked without the hash.
    result = run_cli("inspect", "sharded.store", cwd=party, blocked=["xxhash"])
    assert result.returncode == 0 and "sharded-store" in result.stdout and result.stderr == ""
    assert kinds.SHARDED_STORE.name == "sharded-store"


def test_tables_without_pyarrow_name_the_extra(party):
    result = run_cli("build-store", "--key", "sender.pub", "--input", "accounts.csv", "--columns", "iban",
                     "--out", "x", cwd=party, blocked=["pyarrow"])
    assert result.returncode == 1
    assert result.stderr == ("ostrelline: error: reading CSV and Parquet files needs pyarrow "
                             "(pip install 'ostrelline[tools]')\n")


# --------------------------------------------------------------------------- the module's PanicException


def test_panic_is_recognised_by_its_class(panic):
    try:
        ostrelline.randomize(b"\x00" * 127)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        raised = error
    assert type(raised) is panic and ostrelline_parallel.is_panic(raised)
    assert ostrelline_parallel.panic_exception_type() is panic
    impostor = type("PanicException", (BaseException,), {})
    for other in (ValueError("x"), KeyboardInterrupt(), impostor("x"), _worker.WorkerPanic("x")):
        assert not ostrelline_parallel.is_panic(other)
    # One definition, used by the engines' workers and by the tools.
    assert _worker.is_panic is faults.is_panic is ostrelline_parallel.is_panic is steps.calls.is_panic is steps.network.is_panic
    assert not hasattr(steps.calls, "_is_panic")


def test_panic_is_told_without_provoking_one():
    code = (
        "import ostrelline_parallel as op\n"
        "assert not op.is_panic(ValueError('x'))\n"
        "assert not [k for k in BaseException.__subclasses__() if k.__name__ == 'PanicException']\n"
        "kind = op.panic_exception_type()\n"
        "assert kind.__name__ == 'PanicException' and op.is_panic(kind('m'))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], env=_env(), capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")


def test_the_tools_turn_panics_into_module_errors():
    with pytest.raises(ostrelline_tools.ModuleError, match="randomize failed inside the module"):
        steps.calls.call_module("randomize", ostrelline.randomize, b"\x00" * 127)
    with pytest.raises(ValueError):
        steps.calls.call_module("randomize", lambda: (_ for _ in ()).throw(ValueError("not the module")))
