#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, then builds and
# installs the extension module into the current Python environment.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON="${PYTHON:-python3}"
DEBIAN_PACKAGES=(g++ pkg-config libxxhash-dev libsodium-dev libgmp-dev libgtest-dev xxhash
                 clang-19 libclang-rt-19-dev valgrind)

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "setup: installing Debian packages: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

echo "setup: installing Python tools"
"$PYTHON" -m pip install --quiet --disable-pip-version-check cmake ninja scikit-build-core pytest hypothesis pynacl xxhash dask distributed
"$PYTHON" -m pip install --quiet --disable-pip-version-check pyarrow
"$PYTHON" -m pip install --quiet --disable-pip-version-check cryptography  # Dask TLS certificates of the parallel tests
"$PYTHON" -m pip install --quiet --disable-pip-version-check bochscpu-python  # the AVX-512 CPU of scripts/emulated_batch.sh

echo "setup: building and installing ostrelline"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps .
