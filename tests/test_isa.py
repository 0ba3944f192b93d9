"""Vector instructions stay inside the vector backends (scripts/isa_check.py).

The module is checked as installed; the checker itself is checked on small
programs built here, with and without the hazard it looks for: an inline
function emitted out of line in a translation unit compiled for AVX2, which
the linker picks as the copy every caller gets. The programs are only
disassembled, never run, so this holds on any CPU.
"""
from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECKER = ROOT / "scripts" / "isa_check.py"

pytestmark = pytest.mark.skipif(
    shutil.which("objdump") is None or shutil.which("readelf") is None, reason="binutils not installed"
)

SHARED = """
#include <cstddef>
__attribute__((noinline)) inline void add_arrays(float* a, const float* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) a[i] += b[i];
}
"""

# Compiled with -mavx2: the inline function, a backend function in an avx2
# namespace and a helper of its own in an anonymous namespace.
BACKEND = SHARED + """
namespace {
void scale(float* a, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) a[i] *= 3.0f;
}
}
namespace lanes::avx2 {
void kernel(float* a, const float* b, std::size_t n) {
    scale(a, n);
    add_arrays(a, b, n);
}
}
"""

# Baseline: calls the inline function directly, the backend through a pointer.
BASELINE = SHARED + """
namespace lanes::avx2 { void kernel(float*, const float*, std::size_t); }
void (*volatile entry)(float*, const float*, std::size_t) = lanes::avx2::kernel;
int main(int argc, char**) {
    float a[64] = {}, b[64] = {};
    add_arrays(a, b, static_cast<std::size_t>(argc) * 16);
    entry(a, b, 64);
    return static_cast<int>(a[0]);
}
"""


def check(*paths: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(CHECKER), *map(str, paths)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def programs(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """'hazard': the AVX2 copy of add_arrays linked first, so the linker picks
    it; 'clean': the baseline copy first; each also stripped."""
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the checker's test programs")
    d = tmp_path_factory.mktemp("isa")
    (d / "backend.cpp").write_text(BACKEND)
    (d / "baseline.cpp").write_text(BASELINE)
    flags = ["-O3", "-fvisibility=hidden", "-c"]
    subprocess.run([compiler, *flags, "-mavx2", "backend.cpp", "-o", "backend.o"], cwd=d, check=True)
    subprocess.run([compiler, *flags, "baseline.cpp", "-o", "baseline.o"], cwd=d, check=True)
    out = {}
    for name, objects in {"hazard": ["backend.o", "baseline.o"], "clean": ["baseline.o", "backend.o"]}.items():
        subprocess.run([compiler, *objects, "-o", name], cwd=d, check=True)
        shutil.copy(d / name, d / f"{name}-stripped")
        subprocess.run(["strip", f"{name}-stripped"], cwd=d, check=True)
        out[name] = d / name
        out[f"{name}-stripped"] = d / f"{name}-stripped"
    return out


class TestChecker:
    def test_linker_picked_copy_is_named(self, programs: dict[str, Path]) -> None:
        result = check(programs["hazard"])
        assert result.returncode == 1, result.stdout + result.stderr
        listed = [line.strip() for line in result.stdout.splitlines()[1:]]
        assert len(listed) == 1 and listed[0].startswith("add_arrays(float*, float const*, unsigned long) ["), listed
        assert "avx2" in listed[0]

    def test_backend_namespace_and_file_local_functions_are_allowed(self, programs: dict[str, Path]) -> None:
        result = check(programs["clean"])
        assert result.returncode == 0, result.stdout + result.stderr
        # The program does contain AVX2 code (the backend's): the checker saw
        # it and let it be.
        disassembly = subprocess.run(
            ["objdump", "-d", "--no-show-raw-insn", "-C", str(programs["clean"])], capture_output=True, text=True
        ).stdout
        kernel = disassembly.split("<lanes::avx2::kernel(float*, float const*, unsigned long)>:", 1)[1]
        assert "%ymm" in kernel.split("\n\n", 1)[0]

    def test_stripped_program_direct_call_into_vector_code(self, programs: dict[str, Path]) -> None:
        result = check(programs["hazard-stripped"])
        assert result.returncode == 1, result.stdout + result.stderr
        listed = [line.strip() for line in result.stdout.splitlines()[1:]]
        assert len(listed) == 1 and "called directly from" in listed[0], listed
        clean = check(programs["clean-stripped"])
        assert clean.returncode == 0, clean.stdout + clean.stderr

    def test_unreadable_file_is_an_error(self, tmp_path: Path) -> None:
        (tmp_path / "not-elf").write_text("text")
        assert check(tmp_path / "not-elf").returncode == 2


def test_installed_module() -> None:
    import ostrelline

    module = Path(ostrelline.__file__)
    # By name, not the stripped-file heuristic: the backends' own wrappers
    # call their vector code directly, which by address alone looks like the
    # hazard.
    symbols = subprocess.run(["objdump", "-t", str(module)], capture_output=True, text=True).stdout
    assert " F .text" in symbols, "the module was installed stripped (pyproject.toml: install.strip = false)"
    result = check(module)
    assert result.returncode == 0, result.stdout + result.stderr
