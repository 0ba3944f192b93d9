"""The party tools' tables in an operator's hands: key values that would match
by accident (empty, white space only, null), columns repeated, empty or in
another order than the store's, empty tables, values that match only as
written, the name normalisation, and files that are no table at all."""
import gzip
import os
import sys
import warnings
import zipfile

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.feather as feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from test_tools import CONSTRUCTIONS, read_results, run_cli, write_table  # noqa: E402

from ostrelline_tools import InputError, cli, files, results, rows, steps  # noqa: E402
from ostrelline_tools.errors import BadFileError, ToolWarning  # noqa: E402

SENDERS = [("DE01", "BNPAFRPP"), ("DE02", "COBADEFF"), ("DE03", "BNPAFRPP")]
RECEIVERS = [("FR01", "SOGEFRPP"), ("FR02", "CRLYFRPP")]


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys")
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    return d


def cli_in(directory, *args):
    return run_cli(*[str(a) for a in args], cwd=directory)


def only_text(stream):
    """Nothing a terminal would act on, and nothing but printable text, reached the stream."""
    return all(c.isprintable() or c == "\n" for c in stream)


def build(keys, bank, table, out, columns=("iban", "bic"), *extra):
    return cli_in(out.parent, "build-store", "--key", keys / f"{bank}.pub", "--input", table, "--columns",
                  ",".join(columns), "--out", out, "--specified", *extra)


def run_payments(keys, d, payments, sender_store, receiver_store, sender_columns, receiver_columns, *extra,
                 out="results.parquet"):
    """initiate .. finish through the command; returns (stdout of initiate, of finish, results path)."""
    c = lambda *args: cli_in(d, *args)  # noqa: E731
    started = c("initiate", "--payments", payments, "--sender-columns", sender_columns, "--receiver-columns",
                receiver_columns, "--sender-store", sender_store, "--receiver-store", receiver_store,
                "--network-key", keys / "network.pub", "--out", "q", *extra)
    assert started.returncode == 0, started.stderr
    for args in (("randomize", "q", "--out", "q1"), ("randomize", "q", "--out", "q2"),
                 ("combine", "q1", "q2", "--sender-out", "ts", "--receiver-out", "tr", "--gamma-out", "g",
                  "--delta-out", "dl"),
                 ("decrypt", "ts", "--secret-key", keys / "sender.sec", "--out", "fs"),
                 ("decrypt", "tr", "--secret-key", keys / "receiver.sec", "--out", "fr")):
        done = c(*args)
        assert done.returncode == 0, done.stderr
    finished = c("finish", "--sender", "fs", "--receiver", "fr", "--gamma", "g", "--delta", "dl", "--secret-key",
                 keys / "network.sec", "--payments", payments, "--out", out)
    assert finished.returncode == 0, finished.stderr
    return started.stdout + started.stderr, finished.stdout, d / out


# --------------------------------------------------------------------------- values that would match by accident


BLANK_CSV = [("DE01", "A"), ("", "B"), ("DE03", "  "), ("\u3000", "C"), ("DE05", "\t")]


def test_blank_values_in_a_csv_are_refused_naming_file_column_lines_and_count(keys, tmp_path):
    write_table(tmp_path / "bank.csv", ["iban", "bic"], BLANK_CSV)
    done = build(keys, "sender", tmp_path / "bank.csv", tmp_path / "s.store")
    assert done.returncode == 1 and only_text(done.stderr)
    message = done.stderr
    assert "bank.csv: has 4 rows whose key value is empty, white space only or null" in message, message
    assert "column 'iban' in 2 (lines 3, 5)" in message and "column 'bic' in 2 (lines 4, 6)" in message
    assert "--skip-invalid" in message and not (tmp_path / "s.store").exists()
    # Lines are lines of the file: a field holding a line break and an empty line move them on.
    (tmp_path / "multi.csv").write_text('iban,bic\n"DE\n01",A\n\nDE02,B\n,C\n' + "DE04,D\n" * 8 + ",E\n")
    with pytest.raises(InputError) as caught:
        steps.build_store(keys / "sender.pub", tmp_path / "multi.csv", ["iban", "bic"], tmp_path / "m.store",
                          construction="specified")
    assert caught.value.path == str(tmp_path / "multi.csv")
    assert "has 2 rows" in caught.value.problem and "column 'iban' in 2 (lines 6, 15)" in caught.value.problem
    # Many such rows: the first five are named, and the count is of all of them.
    write_table(tmp_path / "many.csv", ["iban", "bic"], [(" ", "A")] * 40 + [("DE01", "A")])
    with pytest.raises(InputError, match=r"has 40 rows .* column 'iban' in 40 \(lines 2, 3, 4, 5, 6, \.\.\.\)"):
        steps.build_store(keys / "sender.pub", tmp_path / "many.csv", ["iban", "bic"], tmp_path / "x.store",
                          construction="specified")


def test_nulls_and_blank_values_in_parquet_are_refused_like_csv(keys, tmp_path):
    pq.write_table(pa.table({"iban": ["DE01", None, "DE03", " ", "DE05"], "bic": ["A", "B", "", "D", "E"],
                             "n": pa.array([1, 2, 3, 4, None], pa.int64())}), tmp_path / "bank.parquet")
    done = build(keys, "sender", tmp_path / "bank.parquet", tmp_path / "s.store")
    assert done.returncode == 1
    assert "bank.parquet: has 3 rows whose key value is empty" in done.stderr, done.stderr
    assert "column 'iban' in 2 (rows 2, 4)" in done.stderr and "column 'bic' in 1 (row 3)" in done.stderr
    with pytest.raises(InputError, match=r"has 1 row .* column 'n' in 1 \(row 5\)"):
        steps.build_store(keys / "sender.pub", tmp_path / "bank.parquet", ["n"], tmp_path / "n.store",
                          construction="specified")
    # The payment network's table is held to the same rule, before any work.
    stores = tmp_path / "stores"
    stores.mkdir()
    write_table(stores / "s.csv", ["iban", "bic"], SENDERS)
    write_table(stores / "r.csv", ["iban", "bic"], RECEIVERS)
    assert build(keys, "sender", stores / "s.csv", stores / "sender.store").returncode == 0
    assert build(keys, "receiver", stores / "r.csv", stores / "receiver.store").returncode == 0
    pq.write_table(pa.table({"s_iban": ["DE01", None], "s_bic": ["BNPAFRPP", "A"], "r_iban": ["FR01", "FR02"],
                             "r_bic": ["SOGEFRPP", " \u00a0"]}), tmp_path / "pay.parquet")
    seen = []
    with pytest.raises(InputError, match=r"has 1 row .*'s_iban' in 1 \(row 2\); column 'r_bic' in 1 \(row 2\)"):
        steps.initiate(tmp_path / "pay.parquet", ["s_iban", "s_bic"], ["r_iban", "r_bic"], stores / "sender.store",
                       stores / "receiver.store", keys / "network.pub", tmp_path / "q",
                       progress=lambda *a: seen.append(a))
    assert seen == [] and not (tmp_path / "q").exists()


def test_white_space_is_what_python_calls_white_space():
    """The rule's white space, in pyarrow's expressions, is exactly str.isspace, over every code point."""
    characters = [chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
    check = rows.RowCheck("t", ["c"])
    keep = check.keep([pa.array(characters, pa.string())])
    held = [c for c, kept in zip(characters, keep.to_pylist()) if not kept]
    assert held == [c for c in characters if c.isspace()] and check.blank == len(held) > 20


def test_skip_invalid_leaves_rows_out_of_a_store_and_payments_get_no_match(keys, tmp_path):
    bank = tmp_path / "bank"
    bank.mkdir()
    write_table(bank / "s.csv", ["iban", "bic"], SENDERS + [("", "BNPAFRPP"), ("DE09", " ")])
    write_table(bank / "r.csv", ["iban", "bic"], RECEIVERS)
    built = build(keys, "sender", bank / "s.csv", bank / "sender.store", ("iban", "bic"), "--skip-invalid")
    assert built.returncode == 0, built.stderr
    assert "store of 3 rows" in built.stdout and "2 rows with an empty key value were left out" in built.stdout
    assert files.check_file(bank / "sender.store").count == 3
    report = steps.build_store(keys / "sender.pub", bank / "s.csv", ["iban", "bic"], bank / "api.store",
                               construction=CONSTRUCTIONS[0], skip_invalid=True)
    assert (report.rows_read, report.rows_skipped, report.rows_stored) == (5, 2, 3)
    assert build(keys, "receiver", bank / "r.csv", bank / "receiver.store").returncode == 0

    # Payments with an empty value, the very ("", "BNPAFRPP") the bank's table had: none of them matches.
    payments = [
        ("DE01", "BNPAFRPP", "FR01", "SOGEFRPP", "p0"),  # both held
        ("", "BNPAFRPP", "FR01", "SOGEFRPP", "p1"),  # empty sender iban
        ("DE02", "COBADEFF", "FR09", "SOGEFRPP", "p2"),  # receiver not held
        ("", "BNPAFRPP", "FR02", "CRLYFRPP", "p3"),  # empty again
        ("DE03", "BNPAFRPP", "FR02", " ", "p4"),  # white-space receiver bic
        ("DE03", "BNPAFRPP", "FR02", "CRLYFRPP", "p5"),  # both held
    ]
    write_table(tmp_path / "pay.csv", ["s_iban", "s_bic", "r_iban", "r_bic", "id"], payments)
    expected = [True, None, False, None, None, True]
    for out in ("results.parquet", "results.csv"):
        d = tmp_path / out.split(".")[1]
        d.mkdir()
        refused = cli_in(d, "initiate", "--payments", tmp_path / "pay.csv", "--sender-columns", "s_iban,s_bic",
                         "--receiver-columns", "r_iban,r_bic", "--sender-store", bank / "sender.store",
                         "--receiver-store", bank / "receiver.store", "--network-key", keys / "network.pub",
                         "--out", "q")
        assert refused.returncode == 1 and "pay.csv: has 3 rows" in refused.stderr and os.listdir(d) == []
        started, finished, result = run_payments(
            keys, d, tmp_path / "pay.csv", bank / "sender.store", bank / "receiver.store", "s_iban,s_bic",
            "r_iban,r_bic", "--skip-invalid", out=out)
        assert "3 queries" in started and "3 payments with an empty key value were left out" in started
        assert "6 payments, 2 with both accounts held, 3 left out" in finished
        assert read_results(result) == expected
        assert files.check_file(d / "q").count == 3
        for stream in ("ts", "tr"):  # a bank learns nothing of which payments were left out
            assert "skipped" not in files.check_file(d / stream).meta
    # A Parquet result checks with its nulls, and a null turned into a bit is found.
    record = results.check(tmp_path / "parquet" / "results.parquet")
    assert record["meta"]["skipped"] == 3 and record["entries"] == 6
    table = pq.read_table(tmp_path / "parquet" / "results.parquet")
    index = table.schema.get_field_index("match")
    filled = pa.array([bool(m) for m in expected])
    pq.write_table(table.set_column(index, "match", filled), tmp_path / "filled.parquet")
    with pytest.raises(BadFileError, match="0 empty cells in its match column 'match', its header 3"):
        results.check(tmp_path / "filled.parquet")
    assert results.matches_checksum([True, None]) != results.matches_checksum([True, False])


# --------------------------------------------------------------------------- column names


def test_repeated_and_empty_column_names_are_refused(keys, tmp_path):
    write_table(tmp_path / "bank.csv", ["iban", "bic"], SENDERS)
    for columns in (["--columns", "iban,iban"], ["--columns", "iban,"], ["--columns", "iban", "--columns", "iban"],
                    ["--columns", ",bic"]):
        done = cli_in(tmp_path, "build-store", "--key", keys / "sender.pub", "--input", "bank.csv", *columns,
                      "--out", "s.store")
        assert done.returncode == 2, (columns, done.stderr)
        assert "argument --columns:" in done.stderr and ("more than once" in done.stderr or "empty" in done.stderr)
    done = cli_in(tmp_path, "initiate", "--payments", "bank.csv", "--sender-columns", "a=iban,b=iban",
                  "--receiver-columns", "iban,bic", "--sender-store", "x", "--receiver-store", "y", "--network-key",
                  "z", "--out", "q")
    assert done.returncode == 2 and "argument --sender-columns:" in done.stderr and "'iban' more than once" in done.stderr
    for columns, problem in ((["iban", "iban"], "more than once"), (["iban", ""], "empty name"), ([], "no column")):
        with pytest.raises(ValueError, match=problem):
            steps.build_store(keys / "sender.pub", tmp_path / "bank.csv", columns, tmp_path / "s.store")
    with pytest.raises(ValueError, match="the sender columns name 'iban' more than once"):
        steps.initiate(tmp_path / "bank.csv", ["iban", "iban"], ["bic"], "x", "y", keys / "network.pub",
                       tmp_path / "q")
    assert os.listdir(tmp_path) == ["bank.csv"]


def test_tables_without_rows_are_refused_unless_allowed(keys, tmp_path):
    (tmp_path / "head.csv").write_text("iban,bic\n")
    pq.write_table(pa.table({"iban": pa.array([], pa.string()), "bic": pa.array([], pa.string())}),
                   tmp_path / "head.parquet")
    for table in ("head.csv", "head.parquet"):
        done = build(keys, "sender", tmp_path / table, tmp_path / "s.store")
        assert done.returncode == 1 and f"{table}: holds no rows (--allow-empty" in done.stderr, done.stderr
        assert not (tmp_path / "s.store").exists()
        done = build(keys, "sender", tmp_path / table, tmp_path / "s.store", ("iban", "bic"), "--allow-empty")
        assert done.returncode == 0 and "store of 0 rows" in done.stdout, done.stderr
        os.unlink(tmp_path / "s.store")
    # No row left once the empty ones are out is no row either.
    write_table(tmp_path / "blank.csv", ["iban", "bic"], [("", "A"), (" ", "B")])
    with pytest.raises(InputError, match="no row left once the 2 with an empty key value are left out"):
        steps.build_store(keys / "sender.pub", tmp_path / "blank.csv", ["iban", "bic"], tmp_path / "s.store",
                          construction="specified", skip_invalid=True)
    write_table(tmp_path / "s.csv", ["iban", "bic"], SENDERS)
    write_table(tmp_path / "r.csv", ["iban", "bic"], RECEIVERS)
    steps.build_store(keys / "sender.pub", tmp_path / "s.csv", ["iban", "bic"], tmp_path / "sender.store",
                      construction="specified")
    steps.build_store(keys / "receiver.pub", tmp_path / "r.csv", ["iban", "bic"], tmp_path / "receiver.store",
                      construction="specified")
    (tmp_path / "pay.csv").write_text("s_iban,s_bic,r_iban,r_bic\n")
    args = (tmp_path / "pay.csv", ["s_iban", "s_bic"], ["r_iban", "r_bic"], tmp_path / "sender.store",
            tmp_path / "receiver.store", keys / "network.pub", tmp_path / "q")
    with pytest.raises(InputError, match="pay.csv: holds no payments"):
        steps.initiate(*args)
    assert not (tmp_path / "q").exists()
    assert steps.initiate(*args, allow_empty=True).count == 0


def stores_of_order(keys, d, sender_columns=("iban", "bic")):
    write_table(d / "s.csv", ["iban", "bic"], SENDERS)
    write_table(d / "r.csv", ["iban", "bic"], RECEIVERS)
    steps.build_store(keys / "sender.pub", d / "s.csv", list(sender_columns), d / "sender.store",
                      construction="specified")
    steps.build_store(keys / "receiver.pub", d / "r.csv", ["iban", "bic"], d / "receiver.store",
                      construction="specified")
    payments = [("DE01", "BNPAFRPP", "FR01", "SOGEFRPP"), ("DE02", "COBADEFF", "FR02", "CRLYFRPP"),
                ("DE09", "BNPAFRPP", "FR01", "SOGEFRPP")]
    write_table(d / "pay.csv", ["iban", "bic", "payee_iban", "payee_bic"], payments)
    return [True, True, False]


def test_columns_in_another_order_than_the_store_are_refused_and_mappings_checked(keys, tmp_path):
    truth = stores_of_order(keys, tmp_path)
    assert files.check_file(tmp_path / "sender.store").meta["columns"] == ["iban", "bic"]

    def initiate(sender, receiver, out="q", **options):
        return cli_in(tmp_path, "initiate", "--payments", "pay.csv", "--sender-columns", sender,
                      "--receiver-columns", receiver, "--sender-store", "sender.store", "--receiver-store",
                      "receiver.store", "--network-key", keys / "network.pub", "--out", out)

    swapped = initiate("bic,iban", "payee_iban,payee_bic")
    assert swapped.returncode == 1, swapped.stdout
    assert "sender.store: holds rows of the columns 'iban', 'bic', in that order" in swapped.stderr
    assert "the sender columns 'bic', 'iban' name them in another order" in swapped.stderr
    disagreeing = initiate("iban,bic", "payee_bic=bic,payee_iban=iban")
    assert disagreeing.returncode == 1
    assert "receiver.store: holds rows" in disagreeing.stderr and "mapped onto 'bic', 'iban', another order" in \
        disagreeing.stderr
    unknown = initiate("iban,bic", "payee_iban=iban,payee_bic=swift")
    assert unknown.returncode == 1 and "mapped onto 'swift', which it does not have" in unknown.stderr
    assert not (tmp_path / "q").exists()
    # The mapping names the store's columns in its order: the run goes through and matches.
    d = tmp_path / "mapped"
    d.mkdir()
    _, finished, result = run_payments(keys, d, tmp_path / "pay.csv", tmp_path / "sender.store",
                                       tmp_path / "receiver.store", "iban,bic", "payee_iban=iban,payee_bic=bic")
    assert read_results(result) == truth and "2 with both accounts held" in finished
    # The API takes pairs or a mapping.
    with pytest.raises(BadFileError, match="another order"):
        steps.initiate(tmp_path / "pay.csv", ["iban", "bic"], {"payee_bic": "bic", "payee_iban": "iban"},
                       tmp_path / "sender.store", tmp_path / "receiver.store", keys / "network.pub", tmp_path / "q")
    header = steps.initiate(tmp_path / "pay.csv", ["iban", "bic"], [("payee_iban", "iban"), ("payee_bic", "bic")],
                            tmp_path / "sender.store", tmp_path / "receiver.store", keys / "network.pub",
                            tmp_path / "q")
    assert header.count == 3


def test_a_sharded_store_records_its_column_names_too(keys, tmp_path):
    pytest.importorskip("xxhash")
    write_table(tmp_path / "s.csv", ["iban", "bic"], SENDERS)
    write_table(tmp_path / "r.csv", ["iban", "bic"], RECEIVERS)
    steps.build_store(keys / "sender.pub", tmp_path / "s.csv", ["iban", "bic"], tmp_path / "sender.store",
                      construction="specified", shards=2)
    steps.build_store(keys / "receiver.pub", tmp_path / "r.csv", ["iban", "bic"], tmp_path / "receiver.store",
                      construction="specified")
    header = files.read_header(tmp_path / "sender.store")
    assert header.kind == "sharded-store" and header.meta["columns"] == ["iban", "bic"]
    write_table(tmp_path / "pay.csv", ["bic", "iban", "r_iban", "r_bic"], [("BNPAFRPP", "DE01", "FR01", "SOGEFRPP")])
    with pytest.raises(BadFileError, match="the sender columns 'bic', 'iban' name them in another order"):
        steps.initiate(tmp_path / "pay.csv", ["bic", "iban"], ["r_iban", "r_bic"], tmp_path / "sender.store",
                       tmp_path / "receiver.store", keys / "network.pub", tmp_path / "q")


def test_a_store_without_column_names_still_works_with_a_warning(keys, tmp_path):
    truth = stores_of_order(keys, tmp_path)
    with files.open_file(tmp_path / "sender.store") as stored:
        header, payload = stored.header, stored.payload()
    old = {k: v for k, v in header.meta.items() if k != "columns"}
    os.rename(tmp_path / "sender.store", tmp_path / "new.store")
    files.write_file(tmp_path / "sender.store", header.kind, payload, header.count, header.fingerprint, old)
    with pytest.warns(ToolWarning, match="sender.store: records no column names") as caught:
        steps.initiate(tmp_path / "pay.csv", ["iban", "bic"], ["payee_iban", "payee_bic"],
                       tmp_path / "sender.store", tmp_path / "receiver.store", keys / "network.pub", tmp_path / "q")
    assert "the order of the sender columns cannot be checked" in str(caught[0].message)
    d = tmp_path / "run"
    d.mkdir()
    started, _, result = run_payments(keys, d, tmp_path / "pay.csv", tmp_path / "sender.store",
                                      tmp_path / "receiver.store", "iban,bic", "payee_iban,payee_bic")
    warned = [line for line in started.splitlines() if line.startswith("ostrelline: warning: ")]
    assert len(warned) == 1 and "sender.store: records no column names" in warned[0]
    assert read_results(result) == truth


# --------------------------------------------------------------------------- normalisation


def test_values_that_match_only_as_written_give_one_warning_line(keys, tmp_path):
    write_table(tmp_path / "loose.csv", ["iban", "bic"], [(" DE01", "BNPAFRPP"), ("de02", "COBADEFF")] + SENDERS)
    done = build(keys, "sender", tmp_path / "loose.csv", tmp_path / "s.store")
    assert done.returncode == 0, done.stderr
    (warning,) = done.stderr.splitlines()
    assert warning.startswith("ostrelline: warning: ") and "loose.csv: column 'iban' has 1 value with white space" \
        in warning and "column 'iban' mixes upper and lower case" in warning and "--normalise identifier" in warning
    assert "'bic'" not in warning
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning: the values are normalised, or clean
        steps.build_store(keys / "sender.pub", tmp_path / "loose.csv", ["iban", "bic"], tmp_path / "i.store",
                          "identifier", construction="specified")
        write_table(tmp_path / "clean.csv", ["iban", "bic"], SENDERS)
        steps.build_store(keys / "sender.pub", tmp_path / "clean.csv", ["iban", "bic"], tmp_path / "c.store",
                          construction="specified")
    with pytest.warns(ToolWarning, match="--normalise identifier"):
        steps.build_store(keys / "sender.pub", tmp_path / "loose.csv", ["bic", "iban"], tmp_path / "n.store",
                          construction="specified")


def test_the_name_normalisation(keys, tmp_path):
    same = [("Müller  GmbH", "MÜLLER GMBH"), ("\tMüller\u00a0GmbH ", "müller gmbh"), ("ﬁrma Straße", "FIRMA STRASSE"),
            ("Ｍüller", "müller"), ("Mu\u0308ller", "Müller")]
    for a, b in same:
        assert rows.encode_row([a], "name") == rows.encode_row([b], "name"), (a, b)
    assert rows.encode_row(["Müller  GmbH"], "name") == "12:müller gmbh"
    assert rows.encode_row(["Müller GmbH"], "name") != rows.encode_row(["MüllerGmbH"], "name")
    # identifier keeps its meaning: white space removed, upper-cased
    assert rows.encode_row(["Müller GmbH"], "identifier") == rows.encode_row(["MÜLLERGMBH"], "identifier")
    assert rows.Normalisation("name") is rows.Normalisation.NAME and "name" in rows.NORMALISATIONS

    write_table(tmp_path / "s.csv", ["name", "city"], [("Müller  GmbH", "Köln"), ("Dupont SA", "Paris")])
    write_table(tmp_path / "r.csv", ["name", "city"], [("Smith Ltd", "London")])
    for bank, table in (("sender", "s.csv"), ("receiver", "r.csv")):
        done = build(keys, bank, tmp_path / table, tmp_path / f"{bank}.store", ("name", "city"), "--normalise",
                     "name")
        assert done.returncode == 0 and done.stderr == "", done.stderr
    assert files.check_file(tmp_path / "sender.store").rows["normalise"] == "name"
    write_table(tmp_path / "pay.csv", ["payer", "payer_city", "payee", "payee_city"],
                [("MÜLLER GMBH", "KÖLN", "smith  ltd", "london"), ("Müller", "Köln", "Smith Ltd", "London")])
    d = tmp_path / "run"
    d.mkdir()
    _, _, result = run_payments(keys, d, tmp_path / "pay.csv", tmp_path / "sender.store",
                                tmp_path / "receiver.store", "payer=name,payer_city=city",
                                "payee=name,payee_city=city", "--normalise", "name")
    assert read_results(result) == [True, False]
    # Stores and queries of other normalisations are refused against each other.
    for normalise in ("none", "identifier"):
        done = cli_in(tmp_path, "initiate", "--payments", "pay.csv", "--sender-columns", "payer,payer_city",
                      "--receiver-columns", "payee,payee_city", "--sender-store", "sender.store", "--receiver-store",
                      "receiver.store", "--network-key", keys / "network.pub", "--normalise", normalise, "--out", "q")
        assert done.returncode == 1 and "sender.store: rows were encoded with normalisation name" in done.stderr
    steps.build_store(keys / "sender.pub", tmp_path / "s.csv", ["name", "city"], tmp_path / "id.store",
                      "identifier", construction="specified")
    with pytest.raises(BadFileError, match="normalisation identifier, the sender columns with name"):
        steps.initiate(tmp_path / "pay.csv", ["payer", "payer_city"], ["payee", "payee_city"], tmp_path / "id.store",
                       tmp_path / "receiver.store", keys / "network.pub", tmp_path / "q", "name")


# --------------------------------------------------------------------------- files that are no table


def not_tables(d, keys):
    """Files an operator may give as a table by mistake, and what each must be called."""
    with warnings.catch_warnings():  # the version is deprecated, which is the point
        warnings.simplefilter("ignore", DeprecationWarning)
        feather.write_feather(pa.table({"iban": ["DE01"], "bic": ["X\x1b[2J\x07"]}), d / "bank.feather", version=1)
    with open(d / "random.bin", "wb") as file:
        file.write(bytes([0x41, 0x8E, 0x1B, 0x5B, 0x32, 0x4A, 0x00, 0x9B]) + bytes(range(256)) * 8)
    (d / "latin1.csv").write_bytes("iban,name\nDE01,Müller\n".encode("latin-1"))
    (d / "bank.csv.gz").write_bytes(gzip.compress(b"iban,bic\nDE01,A\n"))
    with zipfile.ZipFile(d / "bank.zip", "w") as archive:
        archive.writestr("bank.csv", "iban,bic\nDE01,A\n")
    (d / "empty.csv").write_bytes(b"")
    (d / "utf16.csv").write_bytes("iban,bic\nDE01,A\n".encode("utf-16"))
    (d / "nul.csv").write_bytes(b"iban,bic\nDE01,A\x00B\n")
    # Text that is UTF-8 for its first 64 KiB and then is not.
    (d / "late.csv").write_bytes(b"iban,bic\n" + b"DE01,BNPAFRPP\n" * 6000 + b"DE\xe902,A\n")
    late = len(b"iban,bic\n" + b"DE01,BNPAFRPP\n" * 6000) + 2
    return {
        "bank.feather": "is a Feather version 1 file (write it as Feather version 2, the Arrow IPC file), not a table",
        "store": "is an ostrelline tools file (a bank store), not a table",
        "public key": "is an ostrelline tools file (a public key), not a table",
        "random.bin": "is not UTF-8 text (byte 0x8e at offset 1): not a CSV table",
        "latin1.csv": "is not UTF-8 text (byte 0xfc at offset 16): not a CSV table (Latin-1",
        "bank.csv.gz": "is a gzip-compressed file",
        "bank.zip": "is a ZIP archive",
        "empty.csv": "is empty (0 bytes)",
        "utf16.csv": "is UTF-16 text (save it as UTF-8)",
        "nul.csv": "holds a NUL byte at offset 15: binary data",
        "late.csv": f"is not UTF-8 text (byte 0xe9 at offset {late})",
    }


def test_files_that_are_no_table_are_refused_for_what_they_are(keys, tmp_path):
    expected = not_tables(tmp_path, keys)
    write_table(tmp_path / "s.csv", ["iban", "bic"], SENDERS)
    steps.build_store(keys / "sender.pub", tmp_path / "s.csv", ["iban", "bic"], tmp_path / "store",
                      construction="specified")
    os.link(keys / "sender.pub", tmp_path / "public key")
    for name, problem in expected.items():
        done = build(keys, "sender", tmp_path / name, tmp_path / "out.store")
        assert done.returncode == 1, name
        assert f"{name}: {problem}" in done.stderr, (name, done.stderr)
        assert only_text(done.stderr) and done.stdout == "" and len(done.stderr.splitlines()) == 1, done.stderr
        assert not (tmp_path / "out.store").exists()
        with pytest.raises(InputError) as caught:
            rows.count_rows(tmp_path / name, ["iban"])
        assert caught.value.path == str(tmp_path / name) and problem in caught.value.problem


def test_csv_rows_of_the_wrong_length_name_the_line_and_not_the_content(keys, tmp_path):
    (tmp_path / "short.csv").write_text("iban,bic,x\nDE01,A,1\n\n\"DE\n02\",B,2\nSECRET-DE03,C\nDE04,D,4\n")
    done = build(keys, "sender", tmp_path / "short.csv", tmp_path / "s.store")
    assert done.returncode == 1
    assert "short.csv: cannot be read as CSV: line 6 has 2 fields, the header 3" in done.stderr, done.stderr
    assert "SECRET" not in done.stderr
    # Past the first block (read on several threads), the line is found all the same.
    (tmp_path / "long.csv").write_text("iban,bic\n" + "DE01,A\n" * 300000 + "SECRET,B,C\n")
    with pytest.raises(InputError, match="line 300002 has 3 fields, the header 2") as caught:
        steps.build_store(keys / "sender.pub", tmp_path / "long.csv", ["iban", "bic"], tmp_path / "s.store",
                          construction="specified")
    assert "SECRET" not in str(caught.value)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
