#!/usr/bin/env bash
# Runs the batch backends' C++ tests as the compiler built them for the real
# instructions, on an emulated CPU that has AVX-512 F/DQ/BW/VL/IFMA and AVX2,
# for machines that lack them. Optional, not part of scripts/test.sh: there
# scripts/emulated_batch.sh runs every test with the intrinsics emulated by
# SIMDe, which is fast but never runs the compiler's AVX-512 machine code;
# this script does, slowly.
#
#   bash scripts/emulated_machine_code.sh                  # the batch test programs
#   bash scripts/emulated_machine_code.sh TARGET...        # other test programs
#
# The programs are built here as static programs and run under
# tests/emulation/run_static.py, whose CPU reports and executes those
# instructions, so run-time dispatch takes the vector backends. Each test is
# its own emulated run; the script fails if the emulator cannot be loaded or
# if any test fails, is skipped or does not report its pass.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
BUILD=build/emulated-machine-code
if (($#)); then targets=("$@"); else targets=(edwards25519_batch_tests batch_operations_tests); fi
# The emulated CPU runs some tens of millions of instructions a second; one
# test that takes this long is stuck.
LIMIT_SECONDS="${EMULATION_LIMIT_SECONDS:-900}"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

cmake -S . -B "$BUILD" "${generator[@]}" -DOSTRELLINE_TESTS=ON -DOSTRELLINE_PYTHON=OFF \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$BUILD" -j2 --target "${targets[@]}"
cc -shared -fPIC -O2 -Wall -Werror tests/emulation/glibc_compat.c -o "$BUILD/glibc_compat.so"

runner=("$PYTHON" tests/emulation/run_static.py --compat "$BUILD/glibc_compat.so")
if ! "$PYTHON" -c "import bochscpu" 2>/dev/null; then
    "$PYTHON" -m pip install --quiet --disable-pip-version-check bochscpu-python
fi
if ! "$PYTHON" -c "
import ctypes, os
ctypes.CDLL(os.path.abspath('$BUILD/glibc_compat.so'), mode=ctypes.RTLD_GLOBAL)
import bochscpu
os._exit(0)"; then
    echo "emulated_machine_code: the CPU emulator (Python package bochscpu-python) cannot be loaded" >&2
    exit 1
fi

logs="$BUILD/logs"
rm -rf "$logs"
mkdir -p "$logs"

programs=()
for target in "${targets[@]}"; do
    program=$(find "$BUILD" -type f -perm -u+x -name "$target" | head -n 1)
    if [ -z "$program" ]; then
        echo "emulated_machine_code: no program $target in $BUILD" >&2
        exit 1
    fi
    programs+=("$program")
done

# Every test as its own emulated run, two at a time, so that both cores stay
# busy to the end.
runs=()
for program in "${programs[@]}"; do
    suite=""
    while IFS= read -r line; do
        case "$line" in
            "  "*) runs+=("$program $suite${line#  }") ;;
            *) suite=$line ;;
        esac
    done < <("$program" --gtest_list_tests | sed 's/ *#.*//')
done
if ((${#runs[@]} == 0)); then
    echo "emulated_machine_code: the test programs list no tests" >&2
    exit 1
fi

# One emulated run of one test; its output goes to $logs/NAME.log.
emulate() {
    local program=$1 name=$2 start=$SECONDS status=0
    timeout "$LIMIT_SECONDS" "${runner[@]}" "$program" --gtest_filter="$name" >"$logs/$name.log" 2>&1 || status=$?
    echo "emulated_machine_code: $name finished with status $status in $((SECONDS - start)) s"
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
# emulated CPU did not take a vector path).
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
    echo "emulated_machine_code: FAILED under emulation: ${failed[*]}" >&2
    exit 1
fi
echo "emulated_machine_code: ${#runs[@]} passed, 0 failed"
