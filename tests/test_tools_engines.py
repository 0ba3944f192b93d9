"""The ``ostrelline`` command beyond one process: ``--workers N`` on a process
pool, ``--scheduler`` on a Dask cluster over TLS (and refused over plain TCP
where a secret key would travel), and sharded stores (``--shards``)."""
import os
import re
import time

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("xxhash")

from test_tools import STOPS_WITHIN, _interrupt, make_tables, read_results, write_big_table, write_table  # noqa: E402

from ostrelline_tools import cli, files, steps  # noqa: E402

ACCOUNTS, PAYMENTS = 50, 160
# Small chunks, so that every step is cut into several chunks on the workers.
CHUNK = ["--chunk-size", "24"]


def cli_ok(*args):
    status = cli.main([str(a) for a in args])
    assert status == 0, args
    return status


def make_parties(directory):
    truth = make_tables(directory, ".csv", accounts=ACCOUNTS, payments=PAYMENTS)
    for role in ("sender", "receiver", "network"):
        steps.keygen(directory / f"{role}.pub", directory / f"{role}.sec", role)
    return truth


def build(directory, bank, out, *extra):
    cli_ok("build-store", "--key", directory / f"{bank}.pub", "--input", directory / f"{bank}.csv",
           "--columns", "iban,branch", "--out", directory / out, *extra)


def payment_run(directory, name, sender_store, receiver_store, *engine):
    """The payment network's and the banks' steps on the given stores, every one
    with the ``engine`` options; returns the match column of the result."""
    d = lambda f: directory / f"{name}.{f}"  # noqa: E731
    cli_ok("initiate", "--payments", directory / "payments.csv", "--sender-columns", "s_iban,s_branch",
           "--receiver-columns", "r_iban,r_branch", "--sender-store", directory / sender_store,
           "--receiver-store", directory / receiver_store, "--network-key", directory / "network.pub",
           "--out", d("queries"), *CHUNK, *engine)
    cli_ok("randomize", d("queries"), "--out", d("copy1"), *CHUNK, *engine)
    cli_ok("randomize", d("queries"), "--out", d("copy2"), *CHUNK, *engine)
    cli_ok("combine", d("copy1"), d("copy2"), "--sender-out", d("to_sender"), "--receiver-out", d("to_receiver"),
           "--gamma-out", d("gamma"), "--delta-out", d("delta"), *CHUNK, *engine)
    for bank in ("sender", "receiver"):
        cli_ok("decrypt", d(f"to_{bank}"), "--secret-key", directory / f"{bank}.sec", "--out", d(f"from_{bank}"),
               *CHUNK, *engine)
    cli_ok("finish", "--sender", d("from_sender"), "--receiver", d("from_receiver"), "--gamma", d("gamma"),
           "--delta", d("delta"), "--secret-key", directory / "network.sec", "--payments",
           directory / "payments.csv", "--out", d("results.csv"), *CHUNK, *engine)
    return read_results(d("results.csv"))


def payload(path):
    with files.open_file(path) as stored:
        return stored.payload()


# --------------------------------------------------------------------------- a process pool


def test_workers_give_the_single_process_results(tmp_path, capsys):
    truth = make_parties(tmp_path)
    for bank in ("sender", "receiver"):
        build(tmp_path, bank, f"{bank}.store")
    assert sum(truth) and not all(truth)
    assert payment_run(tmp_path, "pool", "sender.store", "receiver.store", "--workers", "2") == truth
    # decrypt and finish are deterministic: the pool's outputs are the single
    # process's to the byte, on the same inputs.
    for bank in ("sender", "receiver"):
        cli_ok("decrypt", tmp_path / f"pool.to_{bank}", "--secret-key", tmp_path / f"{bank}.sec",
               "--out", tmp_path / f"single.from_{bank}")
        assert payload(tmp_path / f"single.from_{bank}") == payload(tmp_path / f"pool.from_{bank}")
    cli_ok("finish", "--sender", tmp_path / "pool.from_sender", "--receiver", tmp_path / "pool.from_receiver",
           "--gamma", tmp_path / "pool.gamma", "--delta", tmp_path / "pool.delta", "--secret-key",
           tmp_path / "network.sec", "--payments", tmp_path / "payments.csv", "--out", tmp_path / "single.csv")
    assert (tmp_path / "single.csv").read_bytes() == (tmp_path / "pool.results.csv").read_bytes()
    # Progress per finished chunk, up to the whole stream.
    capsys.readouterr()
    cli_ok("randomize", tmp_path / "pool.queries", "--out", tmp_path / "again", "--workers", "2", *CHUNK,
           "--progress", "always")
    reported = [line for line in capsys.readouterr().err.splitlines() if line.startswith("randomize")]
    assert reported[0].split()[-2] == f"0/{PAYMENTS}" and reported[-1].split()[-2] == f"{PAYMENTS}/{PAYMENTS}"


def test_engine_options_refused_where_they_cannot_apply(tmp_path, capsys):
    make_parties(tmp_path)
    before = set(os.listdir(tmp_path))
    # (An engine for an unsharded build is refused by the step before it reads anything: a usage error, 2.)
    cases = [
        (["build-store", "--key", "sender.pub", "--input", "sender.csv", "--columns", "iban,branch",
          "--out", "s.store", "--workers", "2"], "unsharded store is one call", 2),
        (["randomize", "x.ost", "--out", "y.ost", "--scheduler", "tls://127.0.0.1:9", "--tls-ca-file", "nowhere.pem",
          "--tls-cert", "nowhere.pem"], "nowhere.pem", 1),
    ]
    # Usage errors, refused by argparse (exit status 2) before anything is read.
    usage = [
        (["build-store", "--key", "sender.pub", "--input", "sender.csv", "--columns", "iban,branch",
          "--out", "s.store", "--shards", "2", "--workers", "0"], "at least 1"),
        (["randomize", "x.ost", "--out", "y.ost", "--tls-ca-file", "ca.pem"], "go with --scheduler"),
    ]
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        for args, message, status in cases:
            assert cli.main(args) == status, args
            assert message in capsys.readouterr().err, args
        for args, message in usage:
            with pytest.raises(SystemExit) as info:
                cli.main(args)
            assert info.value.code == 2 and message in capsys.readouterr().err, args
    finally:
        os.chdir(cwd)
    assert set(os.listdir(tmp_path)) == before
    with pytest.raises(SystemExit):  # argparse: not a shard count
        cli.main(["build-store", "--key", "k", "--input", "i", "--columns", "a", "--out", "o", "--shards", "none"])


def test_ctrl_c_on_workers_stops_quickly_and_writes_nothing(tmp_path):
    # Far more queries than two workers of the fastest backend finish while the test waits.
    write_big_table(tmp_path / "big.csv", 3_000_000)
    write_table(tmp_path / "r.csv", ["b"], [("B1",)])
    for role in ("sender", "receiver", "network"):
        steps.keygen(tmp_path / f"{role}.pub", tmp_path / f"{role}.sec", role)
    for bank in ("sender", "receiver"):
        steps.build_store(tmp_path / f"{bank}.pub", tmp_path / "r.csv", ["b"], tmp_path / f"{bank}.store",
                          construction="specified")
    before = set(os.listdir(tmp_path))
    args = ["initiate", "--payments", "big.csv", "--sender-columns", "a", "--receiver-columns", "b",
            "--sender-store", "sender.store", "--receiver-store", "receiver.store", "--network-key", "network.pub",
            "--out", "big.ost", "--workers", "2", "--chunk-size", "512"]
    status, seconds = _interrupt(args, tmp_path, lambda line: line.startswith("initiate")
                                 and not line.split()[-2].startswith("0/"))
    assert status == 130 and seconds < STOPS_WITHIN, (status, seconds)
    assert set(os.listdir(tmp_path)) == before


# --------------------------------------------------------------------------- sharded stores


def test_sharded_stores_give_the_unsharded_match_bits(tmp_path, capsys):
    truth = make_parties(tmp_path)
    for bank in ("sender", "receiver"):
        build(tmp_path, bank, f"{bank}.store")
        build(tmp_path, bank, f"{bank}.sharded", "--shards", "3", "--workers", "2")
    build(tmp_path, "receiver", "receiver.auto", "--shards", "auto")  # one shard here, on a pool of one
    unsharded = payment_run(tmp_path, "plain", "sender.store", "receiver.store")
    assert unsharded == truth
    assert payment_run(tmp_path, "sharded", "sender.sharded", "receiver.sharded", "--workers", "2") == unsharded
    # Either bank's store sharded, on the single-process path (a pool of one worker).
    assert payment_run(tmp_path, "mixed", "sender.store", "receiver.auto") == unsharded
    with files.open_file(tmp_path / "sharded.queries") as sharded, files.open_file(tmp_path / "plain.queries") as plain:
        assert sharded.header.payload_length == plain.header.payload_length == 128 * PAYMENTS
        assert sharded.header.meta["rows"] == plain.header.meta["rows"]
    capsys.readouterr()
    assert cli.main(["inspect", str(tmp_path / "sender.sharded")]) == 0
    shown = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in capsys.readouterr().out.splitlines())
    assert shown["kind"] == "sharded-store" and shown["entries"] == str(ACCOUNTS)
    assert shown["meta.shards"] == "3" and shown["meta.role"] == "sender" and shown["checksum"] == "ok"
    # A sharded store keeps the checks of a store: the other bank's in its place, other row encodings.
    assert cli.main(["initiate", "--payments", str(tmp_path / "payments.csv"), "--sender-columns", "s_iban,s_branch",
                     "--receiver-columns", "r_iban,r_branch", "--sender-store", str(tmp_path / "receiver.sharded"),
                     "--receiver-store", str(tmp_path / "receiver.store"), "--network-key",
                     str(tmp_path / "network.pub"), "--out", str(tmp_path / "x.ost")]) == 1
    assert "receiving bank's store, given in the sending bank's place" in capsys.readouterr().err
    assert cli.main(["initiate", "--payments", str(tmp_path / "payments.csv"), "--sender-columns", "s_iban",
                     "--receiver-columns", "r_iban,r_branch", "--sender-store", str(tmp_path / "sender.sharded"),
                     "--receiver-store", str(tmp_path / "receiver.store"), "--network-key",
                     str(tmp_path / "network.pub"), "--out", str(tmp_path / "x.ost")]) == 1
    assert "sender.sharded" in capsys.readouterr().err
    assert not (tmp_path / "x.ost").exists()


# --------------------------------------------------------------------------- Dask


@pytest.fixture(scope="module")
def tls_cluster(tmp_path_factory):
    distributed = pytest.importorskip("distributed")
    from distributed.security import Security

    security = Security.temporary()
    folder = tmp_path_factory.mktemp("tls")
    paths = {}
    for name, pem in (("ca", security.tls_ca_file), ("cert", security.tls_client_cert),
                      ("key", security.tls_client_key)):
        paths[name] = folder / f"{name}.pem"
        paths[name].write_text(pem)
        paths[name].chmod(0o600)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  security=security, dashboard_address=":0") as cluster:
        assert cluster.scheduler_address.startswith("tls://")
        yield ["--scheduler", cluster.scheduler_address, "--tls-ca-file", paths["ca"], "--tls-cert", paths["cert"],
               "--tls-key", paths["key"]]


def test_dask_over_tls_from_the_command(tmp_path, tls_cluster):
    truth = make_parties(tmp_path)
    # The sending bank's store sharded on the cluster, the receiving bank's not.
    build(tmp_path, "sender", "sender.sharded", "--shards", "2", *tls_cluster)
    build(tmp_path, "receiver", "receiver.store")
    assert payment_run(tmp_path, "dask", "sender.sharded", "receiver.store", *tls_cluster) == truth
    cli_ok("decrypt", tmp_path / "dask.to_sender", "--secret-key", tmp_path / "sender.sec",
           "--out", tmp_path / "single.from_sender")
    assert payload(tmp_path / "single.from_sender") == payload(tmp_path / "dask.from_sender")


def test_secret_keys_refused_over_plain_tcp(tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    truth = make_parties(tmp_path)
    for bank in ("sender", "receiver"):
        build(tmp_path, bank, f"{bank}.store")
    payment_run(tmp_path, "run", "sender.store", "receiver.store")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, protocol="tcp://",
                                  host="127.0.0.1", dashboard_address=":0") as cluster:
        plain = ["--scheduler", cluster.scheduler_address]
        assert cluster.scheduler_address.startswith("tcp://")
        # No secret key: the step runs there.
        cli_ok("randomize", tmp_path / "run.queries", "--out", tmp_path / "plain.copy", *CHUNK, *plain)
        assert files.check_file(tmp_path / "plain.copy").count == PAYMENTS
        before = set(os.listdir(tmp_path))
        capsys.readouterr()
        refused = [
            ["decrypt", tmp_path / "run.to_sender", "--secret-key", tmp_path / "sender.sec", "--out",
             tmp_path / "out.points"],
            ["finish", "--sender", tmp_path / "run.from_sender", "--receiver", tmp_path / "run.from_receiver",
             "--gamma", tmp_path / "run.gamma", "--delta", tmp_path / "run.delta", "--secret-key",
             tmp_path / "network.sec", "--payments", tmp_path / "payments.csv", "--out", tmp_path / "out.csv"],
        ]
        for args in refused:
            started = time.monotonic()
            assert cli.main([str(a) for a in args + plain]) == 1
            err = capsys.readouterr().err
            assert err.startswith("ostrelline: error: ") and "without encryption" in err, err
            assert cluster.scheduler_address in err and "Traceback" not in err
            assert time.monotonic() - started < 30
        assert set(os.listdir(tmp_path)) == before
    assert read_results(tmp_path / "run.results.csv") == truth
