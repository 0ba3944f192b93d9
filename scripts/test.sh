#!/usr/bin/env bash
# Sets everything up, then runs the C++ unit tests (plain, the batch
# backend's on an emulated AVX-512 IFMA CPU, and under AddressSanitizer and
# UndefinedBehaviorSanitizer), a short valgrind run, the fuzzers and the
# Python tests.
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
echo "== The AVX-512 IFMA batch backend's C++ tests on an emulated CPU"
bash scripts/emulated_batch.sh

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize "${generator[@]}" -DOSTRELLINE_TESTS=ON -DOSTRELLINE_PYTHON=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELLINE_SANITIZE=address,undefined >/dev/null
cmake --build build/sanitize -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure -j2

echo "== A short protocol run under valgrind (leaks and memory errors in the module)"
bash scripts/valgrind.sh

echo "== Fuzzing the parsers and decoders (libFuzzer, ${FUZZ_SECONDS}s each)"
bash scripts/fuzz.sh

echo "== Python tests"
"$PYTHON" -m pytest tests -q
