#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one from its seed corpus
# (fuzz/corpus/<harness>/, read only) and a working corpus kept in
# build/fuzz/corpus/<harness>/ for a bounded time, FUZZ_SECONDS (default 60)
# per harness. Any crash, sanitizer report or property violation stops the
# script with the fuzzer's exit status; the input is kept in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"

cxx=""
for candidate in clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    if command -v "$candidate" >/dev/null 2>&1; then cxx="$candidate"; break; fi
done
if [ -z "$cxx" ]; then
    echo "fuzz: no clang++ found (scripts/setup.sh installs clang-19)" >&2
    exit 1
fi
cc="${cxx/clang++/clang}"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELLINE_FUZZ=ON -DOSTRELLINE_PYTHON=OFF \
    -DOSTRELLINE_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz -j2 --target fuzzers

# Longest input each harness reads: store inputs hold a store of a few dozen
# cells and the keys in front, the others a few dozen points at most.
declare -A max_len=([store]=6000 [wide_streams]=1100 [points]=700 [uniform]=32 [keys]=64)
mkdir -p build/fuzz/artifacts
for harness in store wide_streams points uniform keys; do
    work="build/fuzz/corpus/$harness"
    mkdir -p "$work"
    log="build/fuzz/$harness.log"
    echo "== fuzz_$harness for ${seconds}s"
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build/fuzz/fuzz/fuzz_$harness" -max_total_time="$seconds" -max_len="${max_len[$harness]}" \
        -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$harness-" "$work" "fuzz/corpus/$harness" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "fuzz: fuzz_$harness failed with status $status (log: $log)" >&2
        exit "$status"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/\1/')
    echo "fuzz_$harness: $runs runs ($speed/s), $final, no failure"
done
