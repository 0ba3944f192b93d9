"""The party tools as a Python API: the standard exception bases, fingerprints
in hex, column lists that are one string refused, the namespace free of private
names, and docstrings that say what comes back and what is raised (a user's
script of the API under mypy --strict is in test_typing)."""
import errno
import inspect
import os
import re

import pytest

pa = pytest.importorskip("pyarrow")

import test_tools  # noqa: E402,F401 - puts the checkout's python/ first on the path

import ostrelline_tools  # noqa: E402
from ostrelline_tools import (  # noqa: E402
    BadFileError, FileAccessError, InputError, KeyMismatchError, MissingFileError, OutputExistsError, ToolError,
    UsageError, errors, files, kinds, results, rows, steps, tables,
)
from ostrelline_tools.steps import bank, inspecting, keys, network  # noqa: E402


@pytest.fixture(scope="module")
def party(tmp_path_factory):
    d = tmp_path_factory.mktemp("party")
    fps = {role: steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role) for role in ("sender", "receiver", "network")}
    (d / "accounts.csv").write_text("iban,bic\nDE01,A\nDE02,B\n")
    steps.build_store(d / "sender.pub", d / "accounts.csv", ["iban", "bic"], d / "sender.store",
                      construction="specified")
    steps.build_store(d / "receiver.pub", d / "accounts.csv", ["iban", "bic"], d / "receiver.store",
                      construction="specified")
    return d, fps


# --------------------------------------------------------------------------- exceptions


def test_a_missing_file_is_a_file_not_found_error(party, tmp_path):
    d, _ = party
    calls = {
        "a stream": lambda: steps.randomize(tmp_path / "nope", tmp_path / "out"),
        "a key": lambda: steps.build_store(tmp_path / "nope", d / "accounts.csv", ["iban"], tmp_path / "out"),
        "a table": lambda: steps.build_store(d / "sender.pub", tmp_path / "nope", ["iban"], tmp_path / "out"),
    }
    for what, call in calls.items():
        with pytest.raises(FileNotFoundError) as caught:
            call()
        error = caught.value
        assert isinstance(error, MissingFileError) and isinstance(error, BadFileError), what
        assert (error.errno, error.filename, error.path) == (errno.ENOENT, str(tmp_path / "nope"), error.filename)
        assert str(error) == f"{tmp_path / 'nope'}: cannot be read (No such file or directory)", what
        assert not (tmp_path / "out").exists()


def test_an_existing_output_is_a_file_exists_error(party, tmp_path):
    d, _ = party
    (tmp_path / "taken").write_bytes(b"mine")
    with pytest.raises(FileExistsError) as caught:
        steps.randomize(d / "sender.store", tmp_path / "taken")  # refused before the input is looked at
    assert isinstance(caught.value, OutputExistsError) and caught.value.errno == errno.EEXIST
    assert str(caught.value) == f"{tmp_path / 'taken'}: already exists; not overwritten (--force replaces it)"
    with pytest.raises(OutputExistsError, match="secret key; it is never overwritten"):
        steps.keygen(tmp_path / "n.pub", d / "network.sec", "network", overwrite=True)
    assert (tmp_path / "taken").read_bytes() == b"mine" and not (tmp_path / "n.pub").exists()


def test_an_unreadable_file_is_a_permission_error(party, tmp_path, monkeypatch):
    d, _ = party
    (tmp_path / "locked.csv").write_text("iban\nDE01\n")
    if os.geteuid() == 0:  # root reads every file: the refusal is the system's all the same
        real_open = open

        def refusing(path, *args, **kwargs):
            if os.fspath(path) == str(tmp_path / "locked.csv"):
                raise PermissionError(errno.EACCES, "Permission denied", os.fspath(path))
            return real_open(path, *args, **kwargs)

        monkeypatch.setattr(tables, "open", refusing, raising=False)
    else:
        os.chmod(tmp_path / "locked.csv", 0)
    with pytest.raises(PermissionError) as caught:
        steps.build_store(d / "sender.pub", tmp_path / "locked.csv", ["iban"], tmp_path / "out")
    assert isinstance(caught.value, FileAccessError) and caught.value.errno == errno.EACCES
    assert "locked.csv: cannot be read (Permission denied)" in str(caught.value)


def test_bad_arguments_and_malformed_input_are_value_errors(party, tmp_path):
    d, _ = party
    (tmp_path / "short.csv").write_text("iban,bic\nDE01\n")
    refused = {
        "a role no party has": (lambda: steps.keygen(tmp_path / "a", tmp_path / "b", "bank"), UsageError,
                                "role is one of sender, receiver, network, not 'bank'"),
        "a construction": (lambda: steps.build_store(d / "sender.pub", d / "accounts.csv", ["iban"], tmp_path / "o",
                                                     construction="secret"), UsageError, "construction is one of"),
        "an engine without shards": (lambda: steps.build_store(d / "sender.pub", d / "accounts.csv", ["iban"],
                                                               tmp_path / "o", engine=object()), UsageError,
                                     "an unsharded store is one call"),
        "a missing column": (lambda: steps.build_store(d / "sender.pub", d / "accounts.csv", ["name"], tmp_path / "o"),
                             InputError, "has no column 'name'"),
        "a short row": (lambda: steps.build_store(d / "sender.pub", tmp_path / "short.csv", ["iban"], tmp_path / "o"),
                        InputError, "line 2 has 1 field, the header 2"),
        "a bank key for the network": (lambda: steps.initiate(d / "accounts.csv", ["iban"], ["bic"], d / "sender.store",
                                                              d / "receiver.store", d / "sender.pub", tmp_path / "o"),
                                       KeyMismatchError, "is the sending bank's public key"),
        "repeated column names": (lambda: steps.build_store(d / "sender.pub", d / "accounts.csv", ["iban", "iban"],
                                                            tmp_path / "o"), ValueError, "more than once"),
    }
    for what, (call, kind, message) in refused.items():
        with pytest.raises(ValueError) as caught:
            call()
        assert isinstance(caught.value, kind) and message in str(caught.value), (what, caught.value)
        # The command catches ToolError: all but the plain ValueError of a column list are one.
        assert isinstance(caught.value, ToolError) or kind is ValueError, what
    assert not (tmp_path / "o").exists()


def test_a_bare_string_for_columns_is_refused(party, tmp_path):
    d, _ = party
    with pytest.raises(TypeError, match=r"the columns are a sequence of names, not one string \('iban'\): "
                                        r"write \['iban'\]"):
        steps.build_store(d / "sender.pub", d / "accounts.csv", "iban", tmp_path / "o")
    for sender, receiver, what in (("iban", ["bic"], "sender"), (["iban"], "bic", "receiver")):
        with pytest.raises(TypeError, match=f"the {what} columns are a sequence of names, not one string"):
            steps.initiate(d / "accounts.csv", sender, receiver, d / "sender.store", d / "receiver.store",
                           d / "network.pub", tmp_path / "o")
    with pytest.raises(TypeError):
        rows.check_names("ab")
    assert not (tmp_path / "o").exists()
    # A tuple of one name is a sequence: accepted.
    assert steps.build_store(d / "sender.pub", d / "accounts.csv", ("iban",), tmp_path / "o",
                             construction="specified").rows_stored == 2


# --------------------------------------------------------------------------- fingerprints


def test_fingerprints_are_hex_everywhere_the_api_gives_one(party, tmp_path):
    d, fps = party
    for role, fp in fps.items():
        assert re.fullmatch(r"[0-9a-f]{32}", fp), fp
        assert steps.describe(d / f"{role}.pub")["key fingerprint"] == fp
        assert steps.describe(d / f"{role}.sec")["key fingerprint"] == fp
        assert files.read_header(d / f"{role}.pub").fingerprint_hex == fp
    report = steps.build_store(d / "sender.pub", d / "accounts.csv", ["iban", "bic"], tmp_path / "s.store",
                               construction="specified")
    assert report.header.fingerprint_hex == fps["sender"]
    header = steps.initiate(pa.table({"s": ["DE01", "DE09"], "sb": ["A", "A"], "r": ["DE02", "DE02"],
                                      "rb": ["B", "B"]}),
                            [("s", "iban"), ("sb", "bic")], [("r", "iban"), ("rb", "bic")], d / "sender.store",
                            d / "receiver.store", d / "network.pub", tmp_path / "q")
    assert header.fingerprint_hex == fps["network"]
    assert (header.meta["sender"], header.meta["receiver"]) == (fps["sender"], fps["receiver"])


# --------------------------------------------------------------------------- the namespace


PUBLIC_MODULES = [ostrelline_tools, errors, files, kinds, results, rows, steps, tables, bank, inspecting, keys,
                  network]


@pytest.mark.parametrize("module", PUBLIC_MODULES, ids=lambda m: m.__name__)
def test_nothing_private_in_the_namespace(module):
    for name in module.__all__:
        assert not name.startswith("_") or (name.startswith("__") and name.endswith("__")), name
        assert hasattr(module, name), name
    # No public name of the module is a private helper of another under a public alias.
    for name, value in vars(module).items():
        if name.startswith("_") or inspect.ismodule(value):
            continue
        if (inspect.isfunction(value) or inspect.isclass(value)) and getattr(value, "__module__", "").startswith(
                "ostrelline"):
            assert not value.__name__.startswith("_"), (name, value)
    if module is ostrelline_tools:
        public = {n for n in vars(module) if not n.startswith("_") and not inspect.ismodule(getattr(module, n))}
        assert public <= set(module.__all__), public - set(module.__all__)


def _api_functions():
    """Every public function a user of the tools calls: the package's, the steps',
    and those of the modules of tables, results, files and errors."""
    found = {}
    for module in (ostrelline_tools, steps, results, tables, files, errors):
        for name in module.__all__:
            value = getattr(module, name)
            if inspect.isfunction(value):
                found[f"{value.__module__}.{name}"] = value
    return found


@pytest.mark.parametrize("name", sorted(_api_functions()))
def test_docstrings_say_what_is_returned_and_raised(name):
    doc = inspect.getdoc(_api_functions()[name]) or ""
    assert re.search(r"^Returns:\n    \S", doc, re.M), name
    assert re.search(r"^Raises:\n    \S", doc, re.M), name
