#!/usr/bin/env python3
"""Checks a build's release packages without running them: names, the zip's
exact contents, the machine type and version of each executable, and that
varnel.exe and varnel-monitor.exe leave InpOut32.dll to a run-time load.

Usage: check_packages.py PACKAGE_DIR VERSION i686|x64 SOURCE_DIR
Exit 77 (skipped) when PACKAGE_DIR holds no packages at all."""

import os
import struct
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
import user_guide  # noqa: E402  (the one definition of README.txt)

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


def imported_functions(data):
    """{DLL name upper-cased: set of imported function names} ("#n" for an ordinal)."""
    machine, optional, sections = pe_sections(data)
    wide = machine != MACHINES["i686"]
    directories = optional + (112 if wide else 96)
    rva = struct.unpack_from("<I", data, directories + 8)[0]
    found = {}
    if rva == 0:
        return found
    thunk_size, ordinal_flag = (8, 1 << 63) if wide else (4, 1 << 31)
    offset = rva_to_offset(sections, rva)
    while True:
        lookup, _, _, name_rva, address = struct.unpack_from("<IIIII", data, offset)
        if name_rva == 0:
            break
        start = rva_to_offset(sections, name_rva)
        dll = data[start:data.index(b"\0", start)].decode("ascii").upper()
        names = found.setdefault(dll, set())
        thunk = rva_to_offset(sections, lookup or address)
        while True:
            entry = int.from_bytes(data[thunk:thunk + thunk_size], "little")
            if entry == 0:
                break
            if entry & ordinal_flag:
                names.add(f"#{entry & 0xFFFF}")
            else:
                at = rva_to_offset(sections, entry & 0x7FFFFFFF) + 2  # past the hint
                names.add(data[at:data.index(b"\0", at)].decode("ascii"))
            thunk += thunk_size
        offset += 20
    return found


# Every function varnel.exe and varnel-monitor.exe may import. Windows Vista is the oldest Windows
# Varnel supports (README.md), and each of these exists there, checked against
# its documented minimum; most go back to Windows 2000. Functions newer than
# Vista are resolved at run time (GetProcAddress), never imported. A new import
# fails this check until it has been checked and added here.
ALLOWED_IMPORTS = {
    "ADVAPI32.DLL": {"AdjustTokenPrivileges", "LookupPrivilegeValueA", "OpenProcessToken", "RegCloseKey",
                     "RegCreateKeyExA", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA"},
    "COMCTL32.DLL": {"InitCommonControlsEx"},
    "GDI32.DLL": {"GetStockObject"},
    "KERNEL32.DLL": {"BuildCommDCBA", "CloseHandle", "CreateFileA", "DeleteCriticalSection",
                     "EnterCriticalSection", "FreeLibrary", "GetCommModemStatus", "GetCurrentProcess",
                     "GetDateFormatA", "GetLastError", "GetModuleFileNameA", "GetModuleHandleA",
                     "GetProcAddress", "GetStartupInfoA", "GetSystemDirectoryA", "GetTimeFormatA",
                     "GetVersionExA", "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
                     "LoadLibraryExA", "PurgeComm", "SetCommState", "SetLocalTime",
                     "SetUnhandledExceptionFilter", "Sleep", "SwitchToThread", "TlsGetValue", "VirtualProtect",
                     "VirtualQuery", "lstrcatA", "lstrcpyA", "lstrcpynA", "lstrlenA",
                     # the clock guard: the local clock and the performance
                     # counter (Windows 2000)
                     "GetLocalTime", "QueryPerformanceCounter", "QueryPerformanceFrequency",
                     "__C_specific_handler",  # x64 only: the exception unwinder's handler
                     # varnel-monitor.exe: the console, its Ctrl-C handler, the
                     # recording file, and the C runtime's own needs (Windows
                     # 2000, GetConsoleProcessList XP)
                     "FlushFileBuffers", "GetConsoleMode", "GetConsoleProcessList", "GetConsoleScreenBufferInfo",
                     "GetModuleHandleW", "GetStdHandle", "GetSystemTime", "IsDBCSLeadByteEx",
                     "MultiByteToWideChar", "SetConsoleCtrlHandler", "SetConsoleTextAttribute",
                     "WideCharToMultiByte", "WriteFile"},
    "SHELL32.DLL": {"Shell_NotifyIconA"},
    "USER32.DLL": {"AppendMenuA", "CheckRadioButton", "CreatePopupMenu", "CreateWindowExA", "DefWindowProcA",
                   "DestroyMenu", "DestroyWindow", "DialogBoxParamA", "DispatchMessageA", "EnableWindow",
                   "EndDialog", "GetCursorPos", "GetDlgCtrlID", "GetDlgItem", "GetDlgItemTextA", "GetMessageA",
                   "InvalidateRect", "IsDlgButtonChecked", "IsWindowEnabled", "KillTimer", "LoadIconA",
                   "LoadImageA", "MessageBoxA", "PostMessageA", "PostQuitMessage", "RegisterClassExA",
                   "RegisterWindowMessageA", "SendDlgItemMessageA", "SendMessageA", "SetFocus",
                   "SetForegroundWindow", "SetMenuDefaultItem", "SetTimer", "SetWindowTextA", "TrackPopupMenu",
                   "TranslateMessage"},
    "WINMM.DLL": {"timeGetDevCaps", "timeKillEvent", "timeSetEvent"},
    # The C runtime's start-up and the little of it the product uses; the names
    # differ between the two builds.
    "MSVCRT.DLL": {"__getmainargs", "__initenv", "__set_app_type", "__setusermatherr", "_amsg_exit", "_cexit",
                   "_initterm", "_onexit", "abort", "calloc", "exit", "fprintf", "free", "fwrite", "malloc",
                   "memcpy", "signal", "strlen", "strncmp", "vfprintf",
                   # varnel-monitor.exe: stdio and the formatting behind it
                   "__mb_cur_max", "_errno", "_lock", "_unlock", "atoi", "fflush", "fgets", "fputc", "fputs",
                   "localeconv", "memset", "setlocale", "strchr", "strcmp", "strerror", "strtoul", "wcslen",
                   "___lc_codepage_func", "___mb_cur_max_func",  # x64
                   # i686
                   "__p__acmdln", "__p__commode", "__p__fmode", "_iob",
                   # x64
                   "__iob_func", "_acmdln", "_commode", "_fmode"},
}


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
            expected = sorted(top + n for n in ("varnel.exe", "varnel-monitor.exe", "README.txt",
                                                "LICENSE.txt", "RUNNING.txt"))
            check(names == expected, f"zip holds exactly {expected} (has {names})")
            check(not any("inpout" in n.lower() for n in names), "zip holds no InpOut32.dll")
            texts = {"README.txt": "README.md", "LICENSE.txt": "LICENSE",
                     "RUNNING.txt": "packaging/RUNNING.txt"}
            for packed, original in texts.items():
                if top + packed not in names:
                    continue
                data = z.read(top + packed)
                with open(os.path.join(source, original), encoding="utf-8") as f:
                    text = f.read()
                expected = user_guide.user_guide(text, version) if packed == "README.txt" else text
                check(data == user_guide.windows_text(expected),
                      f"{packed} is {'the user guide of ' if packed == 'README.txt' else ''}{original}, "
                      "with Windows line ends")
            if top + "README.txt" in names:
                readme = z.read(top + "README.txt").decode("utf-8-sig")
                check("InpOut32.dll" in readme and "Windows Vista" in readme
                      and not any(word in readme for word in ("For developers", "scripts/test", "CMake")),
                      "README.txt is for users: the guide without the developers' part")
            for exe in ("varnel.exe", "varnel-monitor.exe"):
                if top + exe not in names:
                    continue
                program = z.read(top + exe)
                machine = pe_sections(program)[0]
                check(machine == MACHINES[arch], f"{exe} machine {machine:#x} is {arch}")
                versions = version_strings(program)
                check(versions == {"FileVersion": version, "ProductVersion": version},
                      f"{exe}'s version resource says {version} (has {versions})")
                # Start-up must be able to report a missing library itself.
                dlls = imported_dlls(program)
                check("INPOUT32.DLL" not in dlls, f"{exe} loads InpOut32.dll at run time (imports {dlls})")
                functions = imported_functions(program)
                unknown = sorted(f"{dll}!{name}" for dll, names in functions.items()
                                 for name in names - ALLOWED_IMPORTS.get(dll, set()))
                check(functions and not unknown,
                      f"{exe} imports only functions checked against Windows Vista (new: {unknown})")

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
