#!/usr/bin/env bash
# Cross-builds the C++ library and its tests for arm64 (aarch64) with
# Debian's cross compiler and runs the tests under qemu-user. Not part of
# every CI run: it installs a cross toolchain and the arm64 builds of the
# test libraries (Debian multiarch), and the emulated run is slow.
#
# On arm64 only the portable batch backend is built (cmake/isa.cmake leaves
# the x86 sources out), so this also checks that nothing outside the x86
# backends needs x86.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${BUILD:-build/arm64}"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libgmp-dev:arm64 libsodium-dev:arm64 libxxhash-dev:arm64
          libgtest-dev:arm64 libsimde-dev pkg-config cmake)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "arm64_check: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $SUDO dpkg --add-architecture arm64
    fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=Release -DOSTRELLINE_TESTS=ON -DOSTRELLINE_PYTHON=OFF
cmake --build "$BUILD" -j2
file "$BUILD/edwards25519/tests/edwards25519_tests" | grep -q "ARM aarch64" \
    || { echo "arm64_check: the test programs are not arm64 programs" >&2; exit 1; }
# Each test is its own qemu run; the emulated CPU is some ten times slower.
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 600
