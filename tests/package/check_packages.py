#!/usr/bin/env python3
"""Checks a build's release packages without running them: names, the zip's
exact contents, the machine type and version of each executable, and that
varnel.exe leaves InpOut32.dll to a run-time load.

Usage: check_packages.py PACKAGE_DIR VERSION i686|x64 SOURCE_DIR
Exit 77 (skipped) when PACKAGE_DIR holds no packages at all."""

import os
import struct
import sys
import zipfile

MACHINES = {"i686": 0x014C, "x64": 0x8664}

failures = []


def check(ok, message):
    print(("ok: " if ok else "FAIL: ") + message)
    if not ok:
        failures.append(message)


def pe_sections(data):
    """Machine type and (virtual address, virtual size, raw offset) of each section."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    machine, count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        size, address, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        sections.append((address, size, raw))
    return machine, pe + 24, sections


def rva_to_offset(sections, rva):
    for address, size, raw in sections:
        if address <= rva < address + size:
            return raw + rva - address
    raise ValueError(f"address {rva:#x} in no section")


def imported_dlls(data):
    """Names of the DLLs in the import directory, upper-cased."""
    machine, optional, sections = pe_sections(data)
    directories = optional + (96 if machine == MACHINES["i686"] else 112)
    rva = struct.unpack_from("<I", data, directories + 8)[0]  # entry 1: imports
    names = []
    if rva == 0:
        return names
    offset = rva_to_offset(sections, rva)
    while True:
        name_rva = struct.unpack_from("<I", data, offset + 12)[0]
        if name_rva == 0:
            break
        start = rva_to_offset(sections, name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii").upper())
        offset += 20
    return names


def version_strings(data):
    """The version resource's FileVersion/ProductVersion values (UTF-16 text)."""
    text = data.decode("utf-16-le", errors="replace") + data[1:].decode("utf-16-le", errors="replace")
    found = {}
    for key in ("FileVersion", "ProductVersion"):
        at = text.find(key + "\0")
        if at >= 0:
            value = text[at + len(key):].lstrip("\0")
            found[key] = value[:value.index("\0")]
    return found


def main():
    package_dir, version, arch, source = sys.argv[1:5]
    suffix = "" if arch == "i686" else "-" + arch
    setup = os.path.join(package_dir, f"varnel-{version}{suffix}-setup.exe")
    archive = os.path.join(package_dir, f"varnel-{version}{suffix}.zip")
    if not os.path.exists(setup) and not os.path.exists(archive):
        print(f"skipped: no packages in {package_dir} "
              f"(cmake --build --preset windows-{arch} --target package)")
        return 77
    check(os.path.exists(setup), f"{os.path.basename(setup)} exists")
    check(os.path.exists(archive), f"{os.path.basename(archive)} exists")

    if os.path.exists(archive):
        top = f"varnel-{version}{suffix}/"
        with zipfile.ZipFile(archive) as z:
            names = sorted(n for n in z.namelist() if not n.endswith("/"))
            expected = sorted(top + n for n in ("varnel.exe", "README.txt", "LICENSE.txt", "RUNNING.txt"))
            check(names == expected, f"zip holds exactly {expected} (has {names})")
            check(not any("inpout" in n.lower() for n in names), "zip holds no InpOut32.dll")
            texts = {"README.txt": "README.md", "LICENSE.txt": "LICENSE",
                     "RUNNING.txt": "packaging/RUNNING.txt"}
            for packed, original in texts.items():
                if top + packed in names:
                    with open(os.path.join(source, original), "rb") as f:
                        check(z.read(top + packed) == f.read(), f"{packed} is {original}")
            if top + "varnel.exe" in names:
                program = z.read(top + "varnel.exe")
                machine = pe_sections(program)[0]
                check(machine == MACHINES[arch], f"varnel.exe machine {machine:#x} is {arch}")
                versions = version_strings(program)
                check(versions == {"FileVersion": version, "ProductVersion": version},
                      f"varnel.exe's version resource says {version} (has {versions})")
                # Start-up must be able to report a missing library itself.
                dlls = imported_dlls(program)
                check("INPOUT32.DLL" not in dlls, f"varnel.exe loads InpOut32.dll at run time (imports {dlls})")

    if os.path.exists(setup):
        with open(setup, "rb") as f:
            data = f.read()
        machine = pe_sections(data)[0]
        check(machine == MACHINES[arch], f"setup machine {machine:#x} is {arch}")
        check(b"Nullsoft" in data or b"NullsoftInst" in data, "setup is an NSIS installer")
        versions = version_strings(data)
        check(versions.get("ProductVersion") == version,
              f"setup's version resource says {version} (has {versions})")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
