#!/usr/bin/env bash
# Runs a short protocol run (tests/leakcheck/protocol_run.py), with failing
# calls of every kind, under valgrind's memcheck against a build of the module
# with debug information, and fails on any leak or memory error whose stack
# passes through the module. The interpreter's own allocations at exit are
# not the module's and are not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
# The interpreter itself, not a wrapper script that valgrind would check instead.
PYTHON="$("$PYTHON" -c 'import sys; print(sys.executable)')"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B build/valgrind "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELLINE_PYTHON=ON \
    -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build/valgrind -j2 --target ostrelline

xml=build/valgrind/memcheck.xml
PYTHONMALLOC=malloc PYTHONPATH=build/valgrind/src \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect --track-origins=no --num-callers=40 \
    --xml=yes --xml-file="$xml" "$PYTHON" tests/leakcheck/protocol_run.py 2>/dev/null

"$PYTHON" - "$xml" <<'PY'
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
ours = []
counted = 0
for error in root.iter("error"):
    counted += 1
    frames = [(f.findtext("obj") or "") + " " + (f.findtext("fn") or "") + " " + (f.findtext("file") or "")
              for f in error.iter("frame")]
    if any("ostrelline" in frame for frame in frames):
        kind = error.findtext("kind")
        what = error.findtext("xwhat/text") or error.findtext("what") or ""
        ours.append(f"{kind}: {what}\n    " + "\n    ".join(frames[:12]))
print(f"valgrind: {counted} reports in all, {len(ours)} through the module")
for report in ours:
    print(report)
sys.exit(1 if ours else 0)
PY
