#!/usr/bin/env python3
"""Checks that vector instructions stay inside the vector backends.

The backend translation units are compiled with -mavx512* or -mavx2, while
the module must load and run on CPUs without those instructions; dispatch
enters a backend only where the CPU has them. The hazard is a function that
other code calls and that contains such instructions: typically an inline
function or template (std::min, a container method) that the compiler emits
out of line in a backend translation unit, and that the linker then picks as
the one copy for every caller.

Usage: isa_check.py ELF [ELF...]

For each ELF file, every function whose instructions use AVX-512 (zmm
registers, mask registers k0-k7, xmm/ymm 16-31) or AVX/AVX2 (ymm registers,
VEX-encoded instructions) is listed unless it is allowed:

  - ELF files with a symbol table: the function's demangled name matches one
    of ALLOWED_NAMES. (Symbol binding cannot tell file-local functions: the
    linker makes hidden symbols local too, hence the anonymous namespace.)
  - Stripped ELF files (function boundaries from the unwind tables, no
    names): the function is listed, by address, if a function without vector
    instructions calls or jumps to it directly. Dispatch enters backends
    through tables of functions, not direct calls, so a direct call from
    baseline code into vector code is the hazard itself. (A backend
    function with no vector instruction of its own that calls vector code
    directly is listed too: a false alarm that the same file with symbols
    would not raise.)

Exit status 0 when nothing is listed, 1 otherwise, 2 when the ELF cannot be
read (objdump or readelf missing or failing).
"""
from __future__ import annotations

import bisect
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

# Demangled names that may contain vector instructions: the backends'
# namespaces (edwards25519::batch::ifma::, ostrelline::paths::avx2::, ...)
# and the backends' lane types, which appear as template arguments of the
# generic code instantiated for them (Radix25Field<...::Avx2Ops>,
# Engine<...::IfmaField>, ...). Such instantiations are only emitted in the
# backend's own translation units, the ones compiled for its instructions.
#
# Functions in an anonymous namespace are allowed too: no other translation
# unit can call them, so no linker choice can hand them to code outside the
# translation unit they were compiled in.
ALLOWED_NAMES = [
    re.compile(r"(?:^|[^\w])(?:ifma|avx512f|avx2)::"),
    re.compile(r"(?:^|[^\w])(?:Ifma|Avx512f|Avx2)\w*"),
    re.compile(r"\(anonymous namespace\)::"),
]

AVX512 = re.compile(r"%zmm\d|%k[0-7]\b|%[xy]mm(?:1[6-9]|2\d|3[01])\b")
AVX = re.compile(r"%ymm\d")
# VEX/EVEX mnemonics all start with v; verr and verw are older system
# instructions.
VEX_MNEMONIC = re.compile(r"v(?!err\b|erw\b)[a-z0-9]+$")
FUNCTION_HEADER = re.compile(r"^([0-9a-f]+) <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
DIRECT_BRANCH = re.compile(r"^(?:call|jmp)q?$")
BRANCH_TARGET = re.compile(r"^([0-9a-f]+)\b")


@dataclass
class Function:
    address: int
    name: str
    kinds: set[str] = field(default_factory=set)
    calls: set[int] = field(default_factory=set)


def run(command: list[str]) -> str:
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: {result.stderr.strip()}")
    return result.stdout


def instruction_kind(mnemonic: str, operands: str) -> str | None:
    if AVX512.search(operands) or mnemonic.startswith("k") and "%k" in operands:
        return "avx512"
    if AVX.search(operands):
        return "avx2"
    if VEX_MNEMONIC.match(mnemonic):
        return "avx"
    return None


def has_function_symbols(path: str) -> bool:
    return re.search(r"^[0-9a-f]+ .{6}F ", run(["objdump", "-t", path]), re.M) is not None


def unwind_ranges(path: str) -> list[tuple[int, int]]:
    """Function extents from the FDEs of .eh_frame, sorted."""
    ranges = set()
    for match in re.finditer(r"pc=([0-9a-f]+)\.\.([0-9a-f]+)", run(["readelf", "--debug-dump=frames", path])):
        ranges.add((int(match.group(1), 16), int(match.group(2), 16)))
    return sorted(ranges)


def disassemble(path: str, ranges: list[tuple[int, int]] | None) -> dict[int, Function]:
    """Functions by start address, with their vector kinds and direct branches.

    With `ranges`, instructions belong to the unwind range that holds them
    (stripped files); otherwise to the symbol header above them."""
    functions: dict[int, Function] = {}
    starts = [start for start, _ in ranges] if ranges else []
    current: Function | None = None
    process = subprocess.Popen(
        ["objdump", "-d", "--no-show-raw-insn", "-C", path], stdout=subprocess.PIPE, text=True
    )
    assert process.stdout is not None
    for line in process.stdout:
        line = line.rstrip("\n")
        header = FUNCTION_HEADER.match(line)
        if header:
            if ranges is None:
                address = int(header.group(1), 16)
                current = functions.setdefault(address, Function(address, header.group(2)))
            continue
        instruction = INSTRUCTION.match(line)
        if not instruction:
            continue
        address = int(instruction.group(1), 16)
        if ranges is not None:
            i = bisect.bisect_right(starts, address) - 1
            if i < 0 or address >= ranges[i][1]:
                current = None
                continue
            start = ranges[i][0]
            current = functions.setdefault(start, Function(start, f"function at {start:#x}"))
        if current is None:
            continue
        mnemonic, operands = instruction.group(2), instruction.group(3)
        kind = instruction_kind(mnemonic, operands)
        if kind:
            current.kinds.add(kind)
        if DIRECT_BRANCH.match(mnemonic):
            target = BRANCH_TARGET.match(operands)
            if target:
                current.calls.add(int(target.group(1), 16))
    if process.wait() != 0:
        raise RuntimeError(f"objdump -d {path} failed")
    return functions


def allowed_name(name: str) -> bool:
    return any(pattern.search(name) for pattern in ALLOWED_NAMES)


def check(path: str) -> list[str]:
    """The offending functions of one ELF file, one line each."""
    if has_function_symbols(path):
        functions = disassemble(path, None)
        return [
            f"{f.name} [{', '.join(sorted(f.kinds))}]"
            for f in functions.values()
            if f.kinds and not allowed_name(f.name)
        ]
    ranges = unwind_ranges(path)
    if not ranges:
        raise RuntimeError(f"{path}: neither a symbol table nor unwind tables to find functions by")
    functions = disassemble(path, ranges)
    offending = {}
    for caller in functions.values():
        if caller.kinds:
            continue
        for target in caller.calls:
            callee = functions.get(target)
            if callee is not None and callee.kinds:
                offending[callee.address] = (
                    f"{callee.name} [{', '.join(sorted(callee.kinds))}], called directly from {caller.name}"
                )
    return [offending[a] for a in sorted(offending)]


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    for tool in ("objdump", "readelf"):
        if shutil.which(tool) is None:
            print(f"isa_check: {tool} not found (binutils)", file=sys.stderr)
            return 2
    status = 0
    for path in argv[1:]:
        try:
            found = check(path)
        except (RuntimeError, OSError) as error:
            print(f"isa_check: {error}", file=sys.stderr)
            return 2
        if found:
            status = 1
            print(f"isa_check: {path}: {len(found)} function(s) with vector instructions outside the backends:")
            for line in sorted(found):
                print(f"  {line}")
        else:
            print(f"isa_check: {path}: vector instructions only inside the backends")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
