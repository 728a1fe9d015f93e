#!/usr/bin/env python3
"""Lists the DLLs a PE file imports, at start and delay-loaded.

GNU ld leaves the delay import directory of the header empty, so the delay
descriptors are found through their symbols (nm) and read from the file.
usage: pe-imports.py <nm> <file.exe|dll>
"""
import struct
import subprocess
import sys


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    image_base = struct.unpack_from("<Q", data, pe + 24 + 24)[0]
    table = pe + 24 + optional_size
    out = []
    for i in range(count):
        va, raw_size, raw = struct.unpack_from("<III", data, table + i * 40 + 12)
        virtual_size = struct.unpack_from("<I", data, table + i * 40 + 8)[0]
        out.append((va, max(virtual_size, raw_size), raw))
    return image_base, pe, out


def offset_of(rva, table):
    for va, size, raw in table:
        if va <= rva < va + size:
            return raw + rva - va
    raise ValueError(f"RVA {rva:#x} outside every section")


def c_string(data, at):
    return data[at:data.index(b"\0", at)].decode("ascii", "replace")


def scan_delay_descriptors(data, table):
    found = set()
    for va, size, raw in table:
        for at in range(raw, raw + size - 32, 4):
            attributes, name_rva, handle_rva, iat_rva, int_rva = struct.unpack_from("<IIIII", data, at)
            if attributes != 1 or not all((name_rva, handle_rva, iat_rva, int_rva)):
                continue
            try:
                name = c_string(data, offset_of(name_rva, table))
                for rva in (handle_rva, iat_rva, int_rva):
                    offset_of(rva, table)
            except ValueError:
                continue
            if name.lower().endswith(".dll") and name.isprintable() and 4 < len(name) < 64:
                found.add(name)
    return found


def main():
    nm, path = sys.argv[1], sys.argv[2]
    data = open(path, "rb").read()
    image_base, pe, table = sections(data)
    # Import directory: data directory 1 of the PE32+ optional header.
    import_rva = struct.unpack_from("<I", data, pe + 24 + 112 + 8)[0]
    bound = []
    at = offset_of(import_rva, table) if import_rva else None
    while at is not None:
        name_rva = struct.unpack_from("<I", data, at + 12)[0]
        if name_rva == 0:
            break
        bound.append(c_string(data, offset_of(name_rva, table)))
        at += 20
    delayed = set()
    symbols = subprocess.run([nm, path], capture_output=True, text=True).stdout
    for line in symbols.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2].startswith("__DELAY_IMPORT_DESCRIPTOR_"):
            descriptor = offset_of(int(parts[0], 16) - image_base, table)
            name_rva = struct.unpack_from("<I", data, descriptor + 4)[0]
            delayed.add(c_string(data, offset_of(name_rva, table)))
    # A stripped file has no symbols: the descriptors are found by their
    # form (attributes 1, a DLL name, module handle, address and name tables
    # inside the image).
    if not symbols.strip():
        delayed |= scan_delay_descriptors(data, table)
    print("imports: " + " ".join(bound))
    print("delay imports: " + " ".join(sorted(delayed, key=str.lower)))


if __name__ == "__main__":
    main()
