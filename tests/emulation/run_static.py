#!/usr/bin/env python3
"""Runs a statically linked x86-64 Linux program on an emulated CPU.

The CPU is the Bochs CPU model of the `bochscpu` wheel, which reports and
executes AVX-512 (F, DQ, BW, VL, IFMA), so code built for instructions that
the host lacks runs here as it would on such a machine. There is no kernel:
the program runs in long mode at ring 0 on identity-mapped pages that are
allocated on first touch, `syscall` jumps to a `hlt` whose hook hands the
call to this script, and the few system calls that a static C and C++ runtime
makes (memory, time, random bytes, output, exit) are answered here. Every
other call fails with ENOSYS; a CPU exception (undefined opcode, page fault
and so on) or a `hlt` anywhere else ends the run with an error.

Usage: run_static.py --compat LIB [--env NAME=VALUE]... PROGRAM [ARGS...]
The exit status is the program's; 125 means the emulation itself failed.
"""
import argparse
import ctypes
import os
import struct
import sys
import time

PAGE = 4096
MASK64 = (1 << 64) - 1

# Physical layout (identity-mapped): page tables, the system-call trap, the
# program's own segments from 0x400000, the mmap area and the stack.
PML4 = 0x1000
PDPT = 0x2000
PD = 0x3000  # four page directories: 4 GiB in 2 MiB pages
PT0 = 0x7000  # the first 2 MiB in 4 KiB pages, page 0 left unmapped
TRAP = 0x8000  # one `hlt`: the system-call entry
MMAP_BASE = 0x1_0000_0000 - 0x8000_0000  # 2 GiB .. 3 GiB
MMAP_END = 0x1_0000_0000 - 0x4000_0000
STACK_TOP = 0x1_0000_0000 - 0x1000

EXIT_EMULATION_FAILED = 125

ENOENT, EBADF, ENOMEM, EINVAL, ENOTTY, ESPIPE, ENOSYS = 2, 9, 12, 22, 25, 29, 38

SYSCALL_NAMES = {
    0: "read", 1: "write", 2: "open", 3: "close", 4: "stat", 5: "fstat", 8: "lseek", 9: "mmap",
    10: "mprotect", 11: "munmap", 12: "brk", 13: "rt_sigaction", 14: "rt_sigprocmask", 16: "ioctl",
    20: "writev", 21: "access", 24: "sched_yield", 25: "mremap", 28: "madvise", 39: "getpid",
    60: "exit", 62: "kill", 63: "uname", 72: "fcntl", 79: "getcwd", 89: "readlink",
    96: "gettimeofday", 102: "getuid", 104: "getgid", 107: "geteuid", 108: "getegid", 110: "getppid",
    158: "arch_prctl", 186: "gettid", 200: "tkill", 201: "time", 202: "futex",
    204: "sched_getaffinity", 218: "set_tid_address", 228: "clock_gettime", 231: "exit_group",
    234: "tgkill", 257: "openat", 262: "newfstatat", 273: "set_robust_list", 302: "prlimit64",
    318: "getrandom", 334: "rseq",
}

# Calls that need no work here: files do not exist, nothing is a terminal,
# signals and protections are accepted and never act, there is one thread.
FIXED_ANSWERS = {
    **dict.fromkeys(["open", "openat", "access", "readlink", "stat"], -ENOENT),
    **dict.fromkeys(["fstat", "newfstatat", "sched_getaffinity", "rseq", "uname"], -ENOSYS),
    "ioctl": -ENOTTY, "lseek": -ESPIPE, "mremap": -ENOMEM,
    **dict.fromkeys(["close", "mprotect", "munmap", "madvise", "rt_sigaction", "rt_sigprocmask",
                     "sched_yield", "futex", "set_robust_list", "fcntl", "getuid", "getgid", "geteuid",
                     "getegid", "getppid"], 0),
    **dict.fromkeys(["getpid", "gettid", "set_tid_address"], 1),
}


class EmulationError(Exception):
    pass


def load_emulator(compat):
    # The wheel needs two C23 symbols that this C library lacks; see glibc_compat.c.
    ctypes.CDLL(os.path.abspath(compat), mode=ctypes.RTLD_GLOBAL)
    import bochscpu
    import bochscpu.cpu
    import bochscpu.memory

    return bochscpu


class Memory:
    """Guest physical memory, one host page per guest page, made on first touch."""

    def __init__(self, api):
        self.api = api
        self.pages = {}

    def host(self, gpa):
        base = gpa & ~(PAGE - 1)
        hva = self.pages.get(base)
        if hva is None:
            hva = self.api.allocate_host_page()
            if not hva:
                raise EmulationError("out of host memory")
            self.api.page_insert(base, hva)
            self.pages[base] = hva
        return hva

    def write(self, address, data):
        data = bytes(data)
        done = 0
        while done < len(data):
            at = address + done
            n = min(PAGE - (at % PAGE), len(data) - done)
            ctypes.memmove(self.host(at) + at % PAGE, data[done:done + n], n)
            done += n

    def read(self, address, size):
        parts = []
        done = 0
        while done < size:
            at = address + done
            n = min(PAGE - (at % PAGE), size - done)
            parts.append(ctypes.string_at(self.host(at) + at % PAGE, n))
            done += n
        return b"".join(parts)

    def zero(self, address, size):
        self.write(address, bytes(size))

    def u64(self, address, value):
        self.write(address, struct.pack("<Q", value & MASK64))


class Program:
    def __init__(self, bochscpu, path, argv, environment, verbose):
        self.b = bochscpu
        self.mem = Memory(bochscpu.memory)
        self.verbose = verbose
        self.exit_code = None
        self.stop_reason = None
        self.unknown = set()
        self._map_pages()
        entry, self.brk_start, phdr, phnum = self._load_elf(path)
        self.brk = self.brk_start
        self.mmap_next = MMAP_BASE
        rsp = self._initial_stack(argv, environment, entry, phdr, phnum)
        self.session = bochscpu.Session()
        self.session.missing_page_handler = self.mem.host
        self.session.cpu.set_state(self._initial_state(entry, rsp))
        self.hook = bochscpu.Hook()
        self.hook.hlt = self._on_hlt
        self.hook.exception = self._on_exception

    # ---- setting up -----------------------------------------------------

    def _map_pages(self):
        m = self.mem
        m.u64(PML4, PDPT | 3)
        m.write(PDPT, b"".join(struct.pack("<Q", (PD + PAGE * i) | 3) for i in range(4)))
        for i in range(4):
            entries = []
            for j in range(512):
                base = (i * 512 + j) << 21
                entries.append(PT0 | 3 if base == 0 else base | 0x83)
            m.write(PD + PAGE * i, b"".join(struct.pack("<Q", e) for e in entries))
        m.write(PT0, bytes(8) + b"".join(struct.pack("<Q", (j << 12) | 3) for j in range(1, 512)))
        m.write(TRAP, b"\xf4")

    def _load_elf(self, path):
        with open(path, "rb") as f:
            image = f.read()
        if image[:4] != b"\x7fELF" or image[4] != 2 or image[5] != 1:
            raise EmulationError(f"{path}: not a 64-bit little-endian ELF file")
        e_type, e_machine = struct.unpack_from("<HH", image, 16)
        entry, phoff = struct.unpack_from("<QQ", image, 24)
        phentsize, phnum = struct.unpack_from("<HH", image, 54)
        if e_type != 2 or e_machine != 62:
            raise EmulationError(f"{path}: not a static x86-64 executable (build it with -static, without PIE)")
        end = 0
        phdr_address = None
        for i in range(phnum):
            p_type, _, p_offset, p_vaddr, _, p_filesz, p_memsz, _ = struct.unpack_from(
                "<IIQQQQQQ", image, phoff + i * phentsize)
            if p_type == 3:  # PT_INTERP
                raise EmulationError(f"{path}: dynamically linked; build it with -static")
            if p_type != 1:  # PT_LOAD
                continue
            self.mem.write(p_vaddr, image[p_offset:p_offset + p_filesz])
            end = max(end, p_vaddr + p_memsz)
            if p_offset <= phoff < p_offset + p_filesz:
                phdr_address = p_vaddr + phoff - p_offset
        if phdr_address is None:
            raise EmulationError(f"{path}: program headers are not in a loaded segment")
        return entry, (end + PAGE - 1) & ~(PAGE - 1), phdr_address, phnum

    def _initial_stack(self, argv, environment, entry, phdr, phnum):
        strings = bytearray()
        offsets = []
        for s in list(argv) + list(environment) + ["x86_64"]:
            offsets.append(len(strings))
            strings += s.encode() + b"\0"
        random_offset = len(strings)
        strings += os.urandom(16)
        area = (STACK_TOP - len(strings)) & ~15
        self.mem.write(area, strings)
        addresses = [area + o for o in offsets]
        auxv = [(3, phdr), (4, 56), (5, phnum), (6, PAGE), (7, 0), (8, 0), (9, entry), (11, 0), (12, 0),
                (13, 0), (14, 0), (15, addresses[-1]), (16, 0), (17, 100), (23, 0),
                (25, area + random_offset), (31, addresses[0]), (0, 0)]
        words = [len(argv)] + addresses[:len(argv)] + [0] + addresses[len(argv):-1] + [0]  # argc, argv, envp
        for key, value in auxv:
            words += [key, value]
        rsp = (area - 8 * len(words) - 64) & ~15
        self.mem.write(rsp, b"".join(struct.pack("<Q", w) for w in words))
        return rsp

    def _initial_state(self, entry, rsp):
        b = self.b
        state = b.State()
        b.cpu.set_long_mode(state)
        cr4 = b.cpu.ControlRegister()
        cr4.PAE = True
        cr4.OSFXSR = True
        cr4.OSXMMEXCPT = True
        cr4.OSXSAVE = True
        state.cr4 = int(cr4)
        state.cr3 = PML4
        state.xcr0 = 0xE7  # x87, SSE, AVX, opmask, ZMM upper halves, ZMM16-31
        state.mxcsr = 0x1F80
        state.mxcsr_mask = 0xFFFF
        state.fpcw = 0x37F
        state.star = 0x10 << 32  # syscall: CS 0x10, SS 0x18
        state.lstar = TRAP
        state.sfmask = 0
        code = self._segment(0x10, 0xA09B)  # present, ring 0, code, long mode
        state.cs = code
        for name in ("ds", "es", "ss", "fs", "gs"):
            setattr(state, name, self._segment(0x18 if name != "fs" else 0, 0xC093))
        state.rip = entry
        state.rsp = rsp
        state.rflags = 0x2
        for name in ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "r8", "r9", "r10", "r11", "r12",
                     "r13", "r14", "r15"):
            setattr(state, name, 0)
        return state

    def _segment(self, selector, attr):
        s = self.b.Segment()
        s.base = 0
        s.limit = 0xFFFFFFFF
        s.selector = selector
        s.attr = attr
        s.present = True
        return s

    # ---- running --------------------------------------------------------

    def _on_hlt(self, session, cpu_id):
        self.stop_reason = ("hlt",)
        session.stop()

    def _on_exception(self, session, cpu_id, vector, error_code):
        self.stop_reason = ("exception", vector, error_code)
        session.stop()

    def run(self):
        while self.exit_code is None:
            self.stop_reason = None
            self.session.run([self.hook])
            state = self.session.cpu.state
            if self.stop_reason is None:
                raise EmulationError(f"the CPU stopped for no known reason at rip={state.rip:#x}")
            if self.stop_reason[0] == "exception":
                _, vector, error = self.stop_reason
                raise EmulationError(f"CPU exception {vector} (error code {error:#x}) at rip={state.rip:#x}, "
                                     f"cr2={state.cr2:#x}")
            if not TRAP <= state.rip <= TRAP + 1:
                raise EmulationError(f"hlt outside the system-call entry at rip={state.rip:#x}")
            result = self._syscall(state)
            if self.exit_code is not None:
                break
            state.rax = result & MASK64
            state.rip = state.rcx
            state.rflags = state.r11
            self.session.cpu.set_state(state)
        return self.exit_code

    # ---- system calls ---------------------------------------------------

    def _syscall(self, state):
        number = state.rax
        a = (state.rdi, state.rsi, state.rdx, state.r10, state.r8, state.r9)
        name = SYSCALL_NAMES.get(number)
        handler = getattr(self, "_sys_" + name, None) if name else None
        if handler:
            result = handler(state, *a)
        elif name in FIXED_ANSWERS:
            result = FIXED_ANSWERS[name]
        else:
            result = self._sys_unknown(number)
        if self.verbose:
            name = SYSCALL_NAMES.get(number, str(number))
            print(f"[emulator] {name}({', '.join(hex(x) for x in a[:3])}) = {result:#x}", file=sys.stderr)
        return result

    def _sys_unknown(self, number):
        if number not in self.unknown:
            self.unknown.add(number)
            if self.verbose:
                print(f"[emulator] system call {number} answered ENOSYS", file=sys.stderr)
        return -ENOSYS

    def _sys_write(self, state, fd, buffer, size, *_):
        data = self.mem.read(buffer, size)
        return self._output(fd, data)

    def _sys_writev(self, state, fd, iov, count, *_):
        data = b""
        for i in range(count):
            base, size = struct.unpack("<QQ", self.mem.read(iov + 16 * i, 16))
            data += self.mem.read(base, size)
        return self._output(fd, data)

    def _output(self, fd, data):
        if fd not in (1, 2):
            return -EBADF
        stream = sys.stdout if fd == 1 else sys.stderr
        stream.flush()
        stream.buffer.write(data)
        stream.buffer.flush()
        return len(data)

    def _sys_read(self, state, fd, *_):
        return 0 if fd == 0 else -EBADF

    def _sys_getcwd(self, state, buffer, size, *_):
        if size < 2:
            return -34  # ERANGE
        self.mem.write(buffer, b"/\0")
        return 2

    def _sys_brk(self, state, address, *_):
        if address >= self.brk_start and address < MMAP_BASE:
            self.brk = address
        return self.brk

    def _sys_mmap(self, state, address, size, prot, flags, fd, offset):
        map_fixed, map_anonymous = 0x10, 0x20
        if not flags & map_anonymous:
            return -ENOSYS
        size = (size + PAGE - 1) & ~(PAGE - 1)
        if flags & map_fixed:
            self.mem.zero(address, size)
            return address
        if self.mmap_next + size > MMAP_END:
            return -ENOMEM
        address = self.mmap_next
        self.mmap_next += size + PAGE  # a gap page between mappings; fresh pages are zero
        return address

    def _sys_arch_prctl(self, state, code, address, *_):
        arch_set_gs, arch_set_fs, arch_get_fs, arch_get_gs = 0x1001, 0x1002, 0x1003, 0x1004
        if code == arch_set_fs:
            segment = state.fs
            segment.base = address
            state.fs = segment
            return 0
        if code == arch_set_gs:
            segment = state.gs
            segment.base = address
            state.gs = segment
            return 0
        if code in (arch_get_fs, arch_get_gs):
            self.mem.u64(address, (state.fs if code == arch_get_fs else state.gs).base)
            return 0
        return -EINVAL

    def _sys_prlimit64(self, state, pid, resource, new, old, *_):
        if old:
            limit = 8 << 20 if resource == 3 else MASK64  # RLIMIT_STACK
            self.mem.write(old, struct.pack("<QQ", limit, MASK64))
        return 0

    def _sys_getrandom(self, state, buffer, size, *_):
        self.mem.write(buffer, os.urandom(size))
        return size

    def _now(self):
        return time.time(), time.monotonic()

    def _sys_clock_gettime(self, state, clock, out, *_):
        wall, mono = self._now()
        t = wall if clock == 0 else mono
        self.mem.write(out, struct.pack("<qq", int(t), int((t % 1) * 1e9)))
        return 0

    def _sys_gettimeofday(self, state, out, *_):
        if out:
            wall, _ = self._now()
            self.mem.write(out, struct.pack("<qq", int(wall), int((wall % 1) * 1e6)))
        return 0

    def _sys_time(self, state, out, *_):
        wall = int(time.time())
        if out:
            self.mem.u64(out, wall)
        return wall

    def _sys_exit_group(self, state, code, *_):
        self.exit_code = code & 0xFF
        return 0

    _sys_exit = _sys_exit_group

    def _sys_kill(self, state, pid, signal, *_):
        print(f"[emulator] the program raised signal {signal}", file=sys.stderr)
        self.exit_code = 128 + (signal & 0x7F)
        return 0

    def _sys_tkill(self, state, tid, signal, *_):
        return self._sys_kill(state, tid, signal)

    def _sys_tgkill(self, state, tgid, tid, signal, *_):
        return self._sys_kill(state, tid, signal)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--compat", required=True, help="the shared library built from glibc_compat.c")
    parser.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                        help="put NAME=VALUE in the program's environment (which is otherwise empty)")
    parser.add_argument("--verbose", action="store_true", help="log every system call to standard error")
    parser.add_argument("program")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    try:
        bochscpu = load_emulator(options.compat)
        program = Program(bochscpu, options.program, [options.program] + options.args, options.env,
                          options.verbose)
        code = program.run()
    except (EmulationError, ImportError, OSError) as error:
        print(f"run_static: {error}", file=sys.stderr)
        code = EXIT_EMULATION_FAILED
    sys.stdout.flush()
    sys.stderr.flush()
    # Leave without tearing the emulator down: its bindings crash at interpreter exit.
    os._exit(code)


if __name__ == "__main__":
    main()
