#!/usr/bin/env bash
# Runs every C++ test with the x86 vector instructions emulated, so that the
# code of every batch backend (AVX-512 IFMA, AVX-512F, AVX2 and portable) is
# tested on any x86-64 machine, whatever instructions its CPU has.
#
# The build takes the intrinsics from SIMDe (OSTRELLINE_SIMD_EMULATION, see
# cmake/isa.cmake and edwards25519/batch/simd.hpp), where dispatch reports
# every backend as supported: the tests that compare each backend with the
# scalar path then run for all of them. Two builds: optimised, then under
# AddressSanitizer and UndefinedBehaviorSanitizer. The script fails if a test
# fails or if any test did not run (a skip would mean a backend went
# untested).
#
# What this does not test is the compiler's machine code for the real
# instructions; scripts/emulated_machine_code.sh runs that on an emulated CPU.
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

# run_build DIR BUILD_TYPE [CMAKE_ARGS...]: configures, builds and runs the
# tests of one build; fails on a failed or skipped test.
run_build() {
    local dir=$1 type=$2
    shift 2
    cmake -S . -B "$dir" "${generator[@]}" -DOSTRELLINE_SIMD_EMULATION=ON -DOSTRELLINE_TESTS=ON \
        -DOSTRELLINE_PYTHON=OFF -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
    cmake --build "$dir" -j2
    local log="$dir/ctest.log" status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$dir" --output-on-failure -j2 2>&1 | tee "$log" || status=$?
    if ((status != 0)); then
        echo "emulated_batch: tests failed in $dir" >&2
        return 1
    fi
    if grep -q "The following tests did not run" "$log" || ! grep -q "tests passed" "$log"; then
        echo "emulated_batch: tests were skipped or none ran in $dir:" >&2
        sed -n '/The following tests did not run/,/^$/p' "$log" >&2
        return 1
    fi
}

start=$SECONDS
run_build build/emulated Release
echo "emulated_batch: optimised build passed in $((SECONDS - start)) s"

start=$SECONDS
run_build build/emulated-sanitize RelWithDebInfo -DOSTRELLINE_SANITIZE=address,undefined
echo "emulated_batch: sanitizer build passed in $((SECONDS - start)) s"
