"""The Dask engine on clusters of its own: secret keys only over TLS, and
steps that survive the loss of a worker."""
import logging
import os
import signal
import warnings

import dask
import distributed
import pytest
from distributed.security import Security

import ostrelline
import ostrelline_parallel as op


def local_cluster(**options):
    settings = dict(
        threads_per_worker=1, host="127.0.0.1", dashboard_address=":0", silence_logs=logging.CRITICAL
    )
    settings.update(options)
    return distributed.LocalCluster(**settings)


def tls_cluster(allowed_failures):
    # A task is run again after as many deaths of its worker as allowed, then reported.
    with dask.config.set({"distributed.scheduler.allowed-failures": allowed_failures}):
        cluster = local_cluster(n_workers=2, processes=True, security=Security.temporary())
        client = distributed.Client(cluster)
    return cluster, client


@pytest.fixture
def tls_client(request):
    # A cluster of its own for each test: each loses at most one worker.
    cluster, client = tls_cluster(getattr(request, "param", 1))
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def plain_client():
    # In-process workers, reached over plain TCP on the loopback interface.
    cluster = local_cluster(n_workers=1, processes=False, protocol="tcp://")
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def world():
    keys = {name: ostrelline.key_gen() for name in ("s", "r", "q")}
    bank_s = [[f"DE{i:06d}", "s"] for i in range(3000)]
    bank_r = [[f"FR{i:06d}", "r"] for i in range(3000)]
    senders, receivers, truth = [], [], []
    for i in range(4000):
        held_s, held_r = i % 5 != 0, i % 7 != 3
        senders.append([f"DE{(i * 13) % 3000:06d}" if held_s else f"XX{i}", "s"])
        receivers.append([f"FR{(i * 17) % 3000:06d}" if held_r else f"YY{i}", "r"])
        truth.append(held_s and held_r)
    return dict(
        keys=keys, senders=senders, receivers=receivers, truth=truth,
        S=ostrelline.build_okvs(keys["s"][0], bank_s), R=ostrelline.build_okvs(keys["r"][0], bank_r),
    )


def run_protocol(engine, w, progress=None):
    (_, ssk), (_, rsk), (qpk, qsk) = w["keys"]["s"], w["keys"]["r"], w["keys"]["q"]
    queries = engine.initiate_queries(w["senders"], w["receivers"], w["S"], w["R"], qpk, progress=progress)
    s, r, g, d = engine.combine(engine.randomize(queries), engine.randomize(queries))
    return engine.finish(engine.decrypt(s, ssk), engine.decrypt(r, rsk), g, d, qsk)


# --------------------------------------------------------------------------- secret keys and the transport


def test_secret_keys_go_only_over_tls(tls_client, plain_client, world, monkeypatch):
    w = world
    assert op.DaskEngine(tls_client).plain_addresses() == []
    plain = op.DaskEngine(plain_client, chunk_size=1000)
    assert plain.plain_addresses() and all(a.startswith("tcp://127.0.0.1:") for a in plain.plain_addresses())

    stream = ostrelline.initiate_queries(w["senders"][:50], w["receivers"][:50], w["S"], w["R"], w["keys"]["q"][0])
    s, r, g, d = ostrelline.combine(stream, stream)
    ssk, qsk = w["keys"]["s"][1], w["keys"]["q"][1]
    submitted = []
    real_submit = plain_client.submit
    monkeypatch.setattr(plain_client, "submit", lambda *a, **k: submitted.append(a) or real_submit(*a, **k))
    with pytest.raises(op.PlainTransportError, match=r"decrypt would send a secret key without encryption to tcp://"):
        plain.decrypt(s, ssk)
    with pytest.raises(op.PlainTransportError, match="finish would send"):
        plain.finish(s, r, g, d, qsk)
    assert submitted == []  # refused before any task left
    # A key the module refuses fails as the single call does, before the transport matters.
    with pytest.raises(BaseException) as info:
        plain.decrypt(s, ssk[:5])
    assert type(info.value).__name__ == "PanicException"
    # Steps without a secret key run over plain TCP.
    assert len(plain.randomize(stream)) == len(stream)
    assert submitted

    allowed = op.DaskEngine(plain_client, chunk_size=16, allow_plain_secrets=True)
    with pytest.warns(op.PlainTransportWarning, match="decrypt would send a secret key without encryption"):
        assert allowed.decrypt(s, ssk) == ostrelline.decrypt(s, ssk)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert op.DaskEngine(tls_client, chunk_size=16).decrypt(s, ssk) == ostrelline.decrypt(s, ssk)


# --------------------------------------------------------------------------- two clients in one process


def test_an_engine_waits_on_its_own_client_not_the_default_one(tls_client, plain_client, world, monkeypatch):
    # The client made last is the process's default; an engine on the other
    # one must never track its futures through it (from another client's
    # event loop a finished step was now and then never seen to finish).
    w = world
    default = distributed.client.default_client()
    assert default is not plain_client

    def no_default(c=None):
        if c is None:
            raise AssertionError("the engine consulted the process's default client")
        return c

    monkeypatch.setattr(distributed.client, "default_client", no_default)
    engine = op.DaskEngine(plain_client, chunk_size=16)
    stream = ostrelline.initiate_queries(w["senders"][:40], w["receivers"][:40], w["S"], w["R"], w["keys"]["q"][0])
    # Every task at once, then a window of tasks taken in order.
    assert len(engine.randomize(stream)) == len(stream)
    results = list(engine._run_in_order(
        "randomize", "randomize", ((engine._pack([(stream[i : i + 1280],)])[0], 10) for i in range(0, len(stream), 1280)),
        40, 2, None))
    assert b"".join(results) != stream and len(b"".join(results)) == len(stream)


# --------------------------------------------------------------------------- losing a worker


def worker_pids(client):
    return client.run(os.getpid)


def test_a_worker_killed_in_mid_step_costs_a_recomputation(tls_client, world):
    w = world
    pids = worker_pids(tls_client)
    killed = {}

    def kill_a_busy_worker(step, done, total):
        if step != "initiate_queries" or killed or done == 0:
            return
        busy = [address for address, keys in tls_client.processing().items() if keys and address in pids]
        if not busy:
            return  # the other chunks finished first on a fast machine: try at the next report
        assert done < total
        killed.update(address=busy[0], done=done, total=total)
        os.kill(pids[busy[0]], signal.SIGKILL)

    engine = op.DaskEngine(tls_client, chunk_size=250)
    assert run_protocol(engine, w, progress=kill_a_busy_worker) == w["truth"]
    assert killed, "no worker was killed"
    assert killed["done"] < killed["total"]
    assert killed["address"] not in tls_client.scheduler_info()["workers"]


@pytest.mark.parametrize("tls_client", [0], indirect=True)
def test_a_task_that_kills_its_worker_names_it(tls_client):
    class Fatal(op.DaskEngine):
        def _submit(self, operation, args):
            if args[0][:1] == b"\xff":
                return self.client.submit(os._exit, 1, pure=False)
            return super()._submit(operation, args)

    stream = bytes(128) * 4 + b"\xff" * 128 * 2
    with pytest.raises(distributed.KilledWorker) as info:
        Fatal(tls_client, chunk_size=2).randomize(stream)
    assert "tls://127.0.0.1:" in str(info.value)
