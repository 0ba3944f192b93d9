#!/usr/bin/env bash
# Sets everything up, then runs the C++ unit tests (natively, then all of
# them again with the x86 vector instructions emulated, so that every batch
# backend is tested whatever this CPU has, optimised and under
# AddressSanitizer and UndefinedBehaviorSanitizer), a short valgrind run, the
# fuzzers and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
# Seconds per fuzzer; longer runs by hand: FUZZ_SECONDS=600 bash scripts/fuzz.sh
export FUZZ_SECONDS="${FUZZ_SECONDS:-30}"

bash scripts/setup.sh

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

echo "== C++ unit tests"
cmake -S . -B build/tests "${generator[@]}" -DOSTRELLINE_TESTS=ON -DOSTRELLINE_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2
echo "== Vector instructions only inside the vector backends (test programs; the module in the Python tests)"
find build/tests -type f -perm -u+x -name '*_tests' -print0 | xargs -0 "$PYTHON" scripts/isa_check.py
echo "== All C++ tests with the vector instructions emulated, for every batch backend (IFMA, AVX-512F, AVX2, portable): optimised, then under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/emulated_batch.sh

echo "== A short protocol run under valgrind (leaks and memory errors in the module)"
bash scripts/valgrind.sh

echo "== Fuzzing the parsers and decoders (libFuzzer, ${FUZZ_SECONDS}s each)"
bash scripts/fuzz.sh

echo "== Python tests"
"$PYTHON" -m pytest tests -q
