"""Lists the device code embedded in a CUDA binary and checks it against the release
rule: machine code (ELF) for every wanted architecture and no PTX.

    python tools/check_fatbin.py FILE [--require 75,80,86,89,90,120]

Reads the fat-binary containers directly, since the toolkit's own dump tool is not
always installed.
"""

import argparse
import struct
import sys

FATBIN_MAGIC = struct.pack("<I", 0xBA55ED50)
KIND_PTX, KIND_ELF = 1, 2


def entries(data: bytes):
    """(kind, architecture) of every entry of every fat-binary container."""
    found = []
    pos = 0
    while (start := data.find(FATBIN_MAGIC, pos)) >= 0:
        _version, header_size, body_size = struct.unpack_from("<HHQ", data, start + 4)
        entry, end = start + header_size, start + header_size + body_size
        while entry < end:
            kind, _flags, entry_header, size = struct.unpack_from("<HHIQ", data, entry)
            arch = struct.unpack_from("<I", data, entry + 28)[0]
            found.append((kind, arch))
            entry += entry_header + size
        pos = max(end, start + 4)
    return found


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--require", default="75,80,86,89,90,120")
    args = parser.parse_args()
    with open(args.file, "rb") as handle:
        found = entries(handle.read())
    elf = sorted({arch for kind, arch in found if kind == KIND_ELF})
    ptx = sorted({arch for kind, arch in found if kind == KIND_PTX})
    print(f"{args.file}: machine code for sm_{', sm_'.join(map(str, elf))}; PTX: {ptx or 'none'}")
    missing = sorted(set(int(a) for a in args.require.split(",")) - set(elf))
    if missing or ptx:
        print(f"missing machine code: {missing}; unexpected PTX: {ptx}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
