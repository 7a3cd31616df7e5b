"""Checks a Windows DLL or program with objdump -p: it exports exactly the
names given (undecorated), and every DLL it imports comes with Windows, so it
runs without any runtime DLL of the cross compiler beside it.

usage: check_pe.py OBJDUMP FILE [EXPORTED_NAME...]
"""
import re
import subprocess
import sys

# DLLs present on every Windows installation. Anything else (libstdc++-6.dll,
# libgcc_s_dw2-1.dll, libwinpthread-1.dll) would have to ship alongside.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll",
    "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "ucrtbase.dll",
    "user32.dll", "userenv.dll", "version.dll", "winmm.dll", "ws2_32.dll",
}


def imported_dlls(dump):
    return [m.group(1) for m in re.finditer(r"^\s*DLL Name: (\S+)", dump, re.M)]


def exported_names(dump):
    # Rows of the "[Ordinal/Name Pointer] Table" section: "\t[   0] name".
    section = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) < 2:
        return []
    names = []
    for line in section[1].splitlines()[1:]:
        match = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not match:
            break
        names.append(match.group(1))
    return names


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    objdump, path, expected = argv[1], argv[2], sorted(argv[3:])
    dump = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    failures = []
    found = sorted(exported_names(dump))
    if found != expected:
        failures.append(f"exports: expected {expected}, found {found}")
    imports = imported_dlls(dump)
    foreign = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS
               and not dll.lower().startswith("api-ms-win-")]
    if foreign:
        failures.append(f"imports: expected only system DLLs, found {foreign}")
    for failure in failures:
        print(f"{path}: {failure}", file=sys.stderr)
    if not failures:
        print(f"{path}: exports {found}, imports {imports}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
