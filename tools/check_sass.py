#!/usr/bin/env python3
"""Checks the cuda build's machine code for one architecture (sm_90 by default).

Inputs: the build log of a cuda build configured with -DQUORRA_PTXAS_VERBOSE=ON (ptxas's
per-kernel report: registers, stack frame, spills, shared memory) and the SASS of the built
modules (cuobjdump -sass -arch sm_90, run here on the given .so files, or read from saved
dumps with --sass).

Fails (exit 1) when a kernel
  - uses local memory: spill stores or loads, a stack frame, or LDL/STL in its SASS, or
  - takes a complex element type (its first template argument, float or double) and moves an
    element with global accesses narrower than it (64 bits for complex64, 128 bits for
    complex128): a split amplitude access,
unless tools/sass_known.txt lists it. Prints a per-kernel table into the log either way.

A split element shows in SASS as narrow accesses of one direction off one base register at
adjacent offsets that start on an element boundary (re at +0, im at +4 for complex64; +0 and
+8 for complex128). Narrow accesses that do not pair up that way are lookups of other data
(the int64 target lists, of which kernels read the low word; the 2/pi table of the sine and
cosine slow path) and are shown in the table but not failed.

    tools/check_sass.py --ptxas-log build/ci-cuda.build.log [--known tools/sass_known.txt]
                        [--arch sm_90] [--cuobjdump PATH] [--sass DUMP ...] [MODULE.so ...]
"""

from __future__ import annotations

import argparse
import fnmatch
import glob
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

# ---- the ptxas report ---------------------------------------------------------------------------

_COMPILING = re.compile(r"Compiling entry function '([^']+)' for '(sm_\w+)'")
_PROPERTIES = re.compile(r"Function properties for (\S+)")
_FRAME = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
_USED = re.compile(r"Used (\d+) registers")
_SMEM = re.compile(r"(\d+) bytes smem")
_CUMULATIVE = re.compile(r"(\d+) bytes cumulative stack size")


@dataclass
class PtxasRecord:
    registers: int = 0
    stack: int = 0
    spill_stores: int = 0
    spill_loads: int = 0
    smem: int = 0


def parse_ptxas(text: str, arch: str) -> dict[str, PtxasRecord]:
    """Per mangled kernel name, ptxas's report for `arch`. Frame lines of helper functions
    (Function properties for a non-entry function) are not a kernel's; the kernel's own
    stack comes from its frame line or, where printed, its cumulative stack size."""
    records: dict[str, PtxasRecord] = {}
    entry: str | None = None  # the entry function being compiled for `arch`
    properties_of: str | None = None
    for line in text.splitlines():
        m = _COMPILING.search(line)
        if m:
            entry = m.group(1) if m.group(2) == arch else None
            if entry is not None:
                records[entry] = PtxasRecord()
            properties_of = None
            continue
        m = _PROPERTIES.search(line)
        if m:
            properties_of = m.group(1)
            continue
        m = _FRAME.search(line)
        if m:
            if entry is not None and properties_of == entry:
                rec = records[entry]
                rec.stack = max(rec.stack, int(m.group(1)))
                rec.spill_stores = int(m.group(2))
                rec.spill_loads = int(m.group(3))
            properties_of = None
            continue
        m = _USED.search(line)
        if m and entry is not None:
            rec = records[entry]
            rec.registers = int(m.group(1))
            s = _SMEM.search(line)
            rec.smem = int(s.group(1)) if s else 0
            c = _CUMULATIVE.search(line)
            if c:
                rec.stack = max(rec.stack, int(c.group(1)))
    return records


# ---- the SASS -----------------------------------------------------------------------------------

_FUNCTION = re.compile(r"^\s*Function\s*:\s*(\S+)")
_INSTRUCTION = re.compile(
    r"^\s*/\*[0-9a-fA-F]+\*/\s+(?:@!?U?P[T0-9]+\s+)?([A-Z][A-Z0-9_]*)((?:\.[A-Z0-9_]+)*)([^;]*);")
# The address operand: the last [...] of the operands, a register with an optional offset.
_ADDRESS = re.compile(r"\[(U?R[Z0-9]+)(?:\.64|\.U32)?(?:\s*\+\s*(-?0x[0-9a-fA-F]+))?\]\s*(?:,|$)")

# Memory instruction -> space. LD/ST are generic (the compiler could not prove the space);
# they are counted with the global accesses because a state pointer is global memory.
_SPACES = {
    "LDG": ("global", "load"),
    "STG": ("global", "store"),
    "LD": ("global", "load"),
    "ST": ("global", "store"),
    "LDL": ("local", "load"),
    "STL": ("local", "store"),
    "LDS": ("shared", "load"),
    "STS": ("shared", "store"),
}


def access_width(modifiers: str) -> int:
    """Bits moved by one LDG/STG/LD/ST/LDL/STL with these dot modifiers (.E.128, .U8, ...)."""
    parts = set(modifiers.split("."))
    for bits in ("128", "64"):
        if bits in parts:
            return int(bits)
    if parts & {"U8", "S8"}:
        return 8
    if parts & {"U16", "S16"}:
        return 16
    return 32


@dataclass
class SassRecord:
    # (space, direction) -> {width: count}
    accesses: dict[tuple[str, str], dict[int, int]] = field(default_factory=dict)
    # global accesses below 128 bits: (direction, width, base register, offset)
    narrow: list[tuple[str, int, str, int]] = field(default_factory=list)

    def add(self, space: str, direction: str, width: int, address: tuple[str, int] | None = None) -> None:
        widths = self.accesses.setdefault((space, direction), {})
        widths[width] = widths.get(width, 0) + 1
        if space == "global" and width < 128 and address is not None:
            self.narrow.append((direction, width, address[0], address[1]))

    def split_elements(self, element: int) -> int:
        """Elements moved in narrower pieces: a narrow access on an element boundary whose
        neighbour piece (same direction, base register and width) is accessed too."""
        seen = {(d, w, base, offset) for d, w, base, offset in self.narrow if w < element}
        return sum(
            1
            for d, w, base, offset in seen
            if offset % (element // 8) == 0 and (d, w, base, offset + w // 8) in seen
        )

    def widths(self, space: str, direction: str | None = None) -> dict[int, int]:
        out: dict[int, int] = {}
        for (s, d), widths in self.accesses.items():
            if s == space and (direction is None or d == direction):
                for w, n in widths.items():
                    out[w] = out.get(w, 0) + n
        return out


def parse_sass(text: str) -> dict[str, SassRecord]:
    """Per mangled kernel name, its memory instructions by space, direction and width."""
    records: dict[str, SassRecord] = {}
    current: SassRecord | None = None
    for line in text.splitlines():
        m = _FUNCTION.match(line)
        if m:
            current = records.setdefault(m.group(1), SassRecord())
            continue
        if current is None:
            continue
        m = _INSTRUCTION.match(line)
        if not m or m.group(1) not in _SPACES:
            continue
        space, direction = _SPACES[m.group(1)]
        a = None
        for found in _ADDRESS.finditer(m.group(3)):
            a = (found.group(1), int(found.group(2) or "0", 16))
        current.add(space, direction, access_width(m.group(2)), a)
    return records


# ---- names and the list of known kernels --------------------------------------------------------


def demangle(names: list[str]) -> dict[str, str]:
    tool = shutil.which("c++filt")
    if tool is None or not names:
        return {n: n for n in names}
    out = subprocess.run([tool], input="\n".join(names), capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    if len(lines) != len(names):
        return {n: n for n in names}
    return dict(zip(names, lines))


def element_bits(demangled: str) -> int | None:
    """Width of the complex element a kernel moves: its first template argument, float or
    double (64 or 128 bits); None for a kernel not templated on the element type."""
    m = re.match(r"^(?:void\s+)?[\w:]+<(float|double)\b", demangled)
    if not m:
        return None
    return 64 if m.group(1) == "float" else 128


@dataclass
class KnownEntry:
    status: str  # keep: must keep it, with the reason; known: fails today, to be fixed
    check: str  # local or narrow
    pattern: str
    reason: str
    used: bool = False


def parse_known(text: str) -> list[KnownEntry]:
    """Lines `status check pattern -- reason`; # starts a comment. The pattern is an fnmatch
    pattern over the demangled kernel name."""
    entries = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip() if not raw.lstrip().startswith("#") else ""
        if not line:
            continue
        head, sep, reason = line.partition(" -- ")
        fields = head.split(None, 2)
        if not sep or len(fields) != 3 or fields[0] not in ("keep", "known") or fields[1] not in ("local", "narrow"):
            raise ValueError(f"sass known list line {number}: expected 'keep|known local|narrow PATTERN -- reason'")
        if not reason.strip():
            raise ValueError(f"sass known list line {number}: an entry needs its reason")
        entries.append(KnownEntry(fields[0], fields[1], fields[2].strip(), reason.strip()))
    return entries


def find_known(entries: list[KnownEntry], check: str, demangled: str) -> KnownEntry | None:
    for e in entries:
        if e.check == check and fnmatch.fnmatchcase(demangled, e.pattern):
            e.used = True
            return e
    return None


# ---- the check ----------------------------------------------------------------------------------


@dataclass
class Row:
    name: str
    element: int | None
    ptxas: PtxasRecord
    sass: SassRecord
    local_problem: str = ""
    narrow_problem: str = ""
    status: str = "ok"


def _fmt_widths(widths: dict[int, int]) -> str:
    return ",".join(f"{w}x{n}" for w, n in sorted(widths.items())) or "-"


def evaluate(ptxas: dict[str, PtxasRecord], sass: dict[str, SassRecord], known: list[KnownEntry]) -> tuple[list[Row], list[str]]:
    """The table rows and the failures. A kernel in the SASS without a ptxas report is a
    failure too: the log was not the one of this build, or -Xptxas -v was off."""
    names = sorted(sass)
    pretty = demangle(names)
    rows: list[Row] = []
    failures: list[str] = []
    for mangled in names:
        name = pretty[mangled]
        rec = ptxas.get(mangled)
        if rec is None:
            failures.append(f"{name}: no ptxas report for this kernel (build without -DQUORRA_PTXAS_VERBOSE=ON?)")
            rec = PtxasRecord()
        s = sass[mangled]
        row = Row(name, element_bits(name), rec, s)
        local_ops = sum(s.widths("local").values())
        if rec.spill_stores or rec.spill_loads:
            row.local_problem = f"spills {rec.spill_stores} B stored / {rec.spill_loads} B loaded"
        elif rec.stack or local_ops:
            row.local_problem = f"local memory: {rec.stack} B stack frame, {local_ops} LDL/STL"
        if row.element is not None:
            split = s.split_elements(row.element)
            if split:
                row.narrow_problem = f"{split} {row.element}-bit element access(es) split into narrower pieces"
        statuses = []
        for check, problem in (("local", row.local_problem), ("narrow", row.narrow_problem)):
            if not problem:
                continue
            entry = find_known(known, check, name)
            if entry is None:
                failures.append(f"{name}: {problem}")
                statuses.append("FAIL")
            else:
                statuses.append(f"{entry.status}-{check}")
        row.status = " ".join(statuses) or "ok"
        rows.append(row)
    return rows, failures


def format_table(rows: list[Row]) -> str:
    header = ("kernel", "elem", "regs", "stack", "spill st/ld", "smem", "global ld", "global st", "split", "local",
              "status")
    lines = [header]
    for r in rows:
        lines.append((
            r.name,
            str(r.element or "-"),
            str(r.ptxas.registers),
            str(r.ptxas.stack),
            f"{r.ptxas.spill_stores}/{r.ptxas.spill_loads}",
            str(r.ptxas.smem),
            _fmt_widths(r.sass.widths("global", "load")),
            _fmt_widths(r.sass.widths("global", "store")),
            str(r.sass.split_elements(r.element)) if r.element else "-",
            str(sum(r.sass.widths("local").values())),
            r.status,
        ))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    widths[0] = min(widths[0], 100)
    out = []
    for line in lines:
        name = line[0] if len(line[0]) <= widths[0] else line[0][: widths[0] - 3] + "..."
        cells = [name.ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:-1], widths[1:-1])] + [line[-1]]
        out.append("  ".join(cells))
    return "\n".join(out)


def default_cuobjdump() -> str | None:
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for pattern in (os.path.join(here, ".venv/lib/python3*/site-packages/nvidia/cu*/bin/cuobjdump"),):
        found = sorted(glob.glob(pattern))
        if found:
            return found[-1]
    return shutil.which("cuobjdump")


def dump_sass(cuobjdump: str, arch: str, module: str) -> str:
    result = subprocess.run([cuobjdump, "-sass", "-arch", arch, module], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"cuobjdump failed on {module}: {result.stderr.strip()}")
    return result.stdout


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("modules", nargs="*", help="built modules (.so) to disassemble")
    parser.add_argument("--ptxas-log", required=True, help="build log holding the -Xptxas -v report")
    parser.add_argument("--known", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "sass_known.txt"))
    parser.add_argument("--arch", default="sm_90")
    parser.add_argument("--cuobjdump", default=None)
    parser.add_argument("--sass", nargs="*", default=[], help="saved cuobjdump -sass output instead of modules")
    args = parser.parse_args(argv)

    with open(args.ptxas_log, encoding="utf-8", errors="replace") as f:
        ptxas = parse_ptxas(f.read(), args.arch)
    with open(args.known, encoding="utf-8") as f:
        known = parse_known(f.read())

    texts = []
    for path in args.sass:
        with open(path, encoding="utf-8", errors="replace") as f:
            texts.append(f.read())
    if args.modules:
        tool = args.cuobjdump or default_cuobjdump()
        if tool is None:
            print("check_sass: cuobjdump not found (pip install nvidia-cuda-cuobjdump)", file=sys.stderr)
            return 2
        texts.extend(dump_sass(tool, args.arch, m) for m in args.modules)
    sass: dict[str, SassRecord] = {}
    for text in texts:
        sass.update(parse_sass(text))
    if not sass:
        print(f"check_sass: no {args.arch} kernels found in the machine code", file=sys.stderr)
        return 1

    rows, failures = evaluate(ptxas, sass, known)
    print(f"check_sass: {len(rows)} kernels for {args.arch}")
    print(format_table(rows))
    for e in known:
        if not e.used:
            print(f"check_sass: note: '{e.status} {e.check} {e.pattern}' matches no failing kernel now; remove it")
    if failures:
        print(f"check_sass: {len(failures)} failure(s):", file=sys.stderr)
        for line in failures:
            print(f"  {line}", file=sys.stderr)
        return 1
    print("check_sass: no unlisted local memory and no split amplitude access")
    return 0


if __name__ == "__main__":
    sys.exit(main())
