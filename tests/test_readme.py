"""The README's examples run as written: the protocol example prints what it
says, and the process-pool example runs under every start method this
platform has (`spawn` and `forkserver` import the main script again in each
worker, which only a script that guards its work tolerates)."""
import multiprocessing
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Runs a script as `python SCRIPT` would, with the given start method.
RUNNER = """
import multiprocessing, runpy, sys
multiprocessing.set_start_method(sys.argv[1])
runpy.run_path(sys.argv[2], run_name="__main__")
"""


def example(containing):
    blocks = re.findall(r"^```python\n(.*?)^```$", (ROOT / "README.md").read_text(), re.MULTILINE | re.DOTALL)
    (block,) = [b for b in blocks if containing in b]
    return block


def test_protocol_example(tmp_path):
    script = tmp_path / "protocol.py"
    script.write_text(example("# [True, False]"))
    done = subprocess.run([sys.executable, str(script)], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[True, False]\n"


@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
def test_process_pool_example_under_every_start_method(tmp_path, method):
    script = tmp_path / "pool_example.py"
    script.write_text(example("ProcessPoolExecutor(max_workers=2)"))
    runner = tmp_path / "runner.py"
    runner.write_text(RUNNER)
    done = subprocess.run([sys.executable, str(runner), method, str(script)], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "initiate_queries 0 3000" and "initiate_queries 3000 3000" in lines, lines
    assert lines[-1] == "1500 of 3000 payments have both accounts held", lines
