#!/usr/bin/env bash
# Runs the C++ tests of the AVX-512 IFMA batch backend on an emulated CPU that
# has those instructions, for machines (this one and CI's) that lack them.
#
# The tests are the ordinary ones (edwards25519/tests/batch_*_test.cpp,
# src/tests/batch_*_test.cpp) and tests/emulation/batch_select_test.cpp, which
# compare every batch result with the scalar layer's result for the same
# input. Built here as static programs, they run under
# tests/emulation/run_static.py, whose CPU reports and executes
# AVX-512 F/DQ/BW/VL/IFMA, so batch::available() is true and the kernels'
# machine code itself is what is tested. Each listed test is its own emulated
# run; the script fails if the emulator cannot be loaded or if any test fails,
# is skipped or does not report its pass.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
BUILD=build/emulation
# The emulated CPU runs some tens of millions of instructions a second; one
# test that takes this long is stuck.
LIMIT_SECONDS="${EMULATION_LIMIT_SECONDS:-900}"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

cmake -S . -B "$BUILD" "${generator[@]}" -DOSTRELLINE_TESTS=ON -DOSTRELLINE_PYTHON=OFF \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$BUILD" -j2 --target edwards25519_batch_tests batch_operations_tests
cc -shared -fPIC -O2 -Wall -Werror tests/emulation/glibc_compat.c -o "$BUILD/glibc_compat.so"
# Point selection and broadcast, which the group layer's tests leave to callers.
"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Werror -static -I. \
    tests/emulation/batch_select_test.cpp "$BUILD/edwards25519/libedwards25519.a" "$BUILD/support/libsupport.a" \
    -lgtest -lgtest_main -pthread -o "$BUILD/batch_select_tests"

runner=("$PYTHON" tests/emulation/run_static.py --compat "$BUILD/glibc_compat.so")
if ! "$PYTHON" -c "
import ctypes, os
ctypes.CDLL(os.path.abspath('$BUILD/glibc_compat.so'), mode=ctypes.RTLD_GLOBAL)
import bochscpu
os._exit(0)"; then
    echo "emulated_batch: the CPU emulator (Python package bochscpu-python) cannot be loaded;" \
         "scripts/setup.sh installs it" >&2
    exit 1
fi

logs="$BUILD/logs"
rm -rf "$logs"
mkdir -p "$logs"

edwards="$BUILD/edwards25519/tests/edwards25519_batch_tests"
operations="$BUILD/src/tests/batch_operations_tests"

# Every test as its own emulated run, two at a time (the stream operations,
# the longer ones, first), so that both cores stay busy to the end.
runs=()
for program in "$operations" "$edwards" "$BUILD/batch_select_tests"; do
    suite=""
    while IFS= read -r line; do
        case "$line" in
            "  "*) runs+=("$program $suite${line#  }") ;;
            *) suite=$line ;;
        esac
    done < <("$program" --gtest_list_tests | sed 's/ *#.*//')
done
if ((${#runs[@]} == 0)); then
    echo "emulated_batch: the test programs list no tests" >&2
    exit 1
fi

# One emulated run of one test; its output goes to $logs/NAME.log.
emulate() {
    local program=$1 name=$2 start=$SECONDS status=0
    timeout "$LIMIT_SECONDS" "${runner[@]}" "$program" --gtest_filter="$name" >"$logs/$name.log" 2>&1 || status=$?
    echo "emulated_batch: $name finished with status $status in $((SECONDS - start)) s"
    return "$status"
}

running=0
for run in "${runs[@]}"; do
    if ((running == 2)); then
        wait -n || true
        running=$((running - 1))
    fi
    emulate $run &
    running=$((running + 1))
done
wait

# A test passed if its run says so and skipped nothing (a skip would mean the
# emulated CPU did not take the batch path).
failed=()
for run in "${runs[@]}"; do
    name=${run#* }
    log="$logs/$name.log"
    if ! grep -qx '\[  PASSED  \] 1 test\.' "$log" || grep -q '^\[  SKIPPED \]' "$log"; then
        failed+=("$name")
        echo "---- $name"
        cat "$log"
    fi
done
if ((${#failed[@]})); then
    echo "emulated_batch: FAILED under emulation: ${failed[*]}" >&2
    exit 1
fi
echo "emulated_batch: ${#runs[@]} passed, 0 failed"
