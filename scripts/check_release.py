#!/usr/bin/env python3
"""Checks a release zip as a Windows user gets it, without Windows or Wine:

- one top folder named as the zip, holding exactly the build's programs (programs.txt) and
  README.txt, and nothing else;
- README.txt is UTF-8 without a byte order mark, with CR LF line ends throughout (Notepad);
- each .exe is a 64-bit Windows program that imports only Windows' own DLLs (SYSTEM_DLLS): no
  MinGW runtime beside it, nothing a user would have to find;
- each .exe's version information says the zip's version, and Tarvex.exe's About box does too
  (read back with the cross binutils: objdump's import table, windres' resource script).

    check_release.py tarvex-1.1c-win64.zip --programs build/release/programs.txt
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

# What the programs import, each for a reason; every one ships with every Windows since XP.
SYSTEM_DLLS = {
    "kernel32.dll",  # files, the serial port, threads, the console
    "advapi32.dll",  # the registry: tarvex-port's list of the COM ports Windows knows
    "user32.dll",    # windows, menus, dialogs, message boxes
    "gdi32.dll",     # the chart's drawing
    "comctl32.dll",  # the common controls (InitCommonControlsEx)
    "comdlg32.dll",  # the save dialog
    "winmm.dll",     # the 1 ms timer resolution that a connection attempt raises
    "msvcrt.dll",    # the C runtime that MinGW-w64 builds against (Windows' own copy)
}


def imports(objdump, exe):
    dump = subprocess.run([objdump, "-p", exe], check=True, stdout=subprocess.PIPE, text=True).stdout
    if "file format pei-x86-64" not in dump:
        raise SystemExit(f"{exe}: not a 64-bit Windows program")
    return re.findall(r"^\s*DLL Name: (\S+)", dump, re.M)


def resources(windres, exe):
    """The program's resources as a resource script; empty when it has none."""
    done = subprocess.run([windres, "-i", exe, "-O", "rc"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, errors="replace")
    return done.stdout if done.returncode == 0 else ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zip")
    parser.add_argument("--programs", required=True, help="programs.txt of the build")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--windres", default="x86_64-w64-mingw32-windres")
    args = parser.parse_args()

    top = os.path.basename(args.zip)
    match = re.fullmatch(r"tarvex-(\d+\.\d+[a-z]?)-win64\.zip", top)
    if not match:
        raise SystemExit(f"{args.zip}: not named tarvex-VERSION-win64.zip")
    version, top = match.group(1), top[:-len(".zip")]
    with open(args.programs) as f:
        programs = {os.path.basename(line.strip()) for line in f if line.strip()}
    problems = []
    with zipfile.ZipFile(args.zip) as z, tempfile.TemporaryDirectory() as tmp:
        files = {name for name in z.namelist() if not name.endswith("/")}
        want = {f"{top}/{name}" for name in programs | {"README.txt"}}
        problems += [f"no {name}" for name in sorted(want - files)]
        problems += [f"{name} does not belong in it" for name in sorted(files - want)]
        z.extractall(tmp)
        readme = os.path.join(tmp, top, "README.txt")
        if os.path.exists(readme):
            text = open(readme, "rb").read()
            if not text.strip() or text.startswith(b"\xef\xbb\xbf"):
                problems.append("README.txt is empty or starts with a byte order mark")
            if text.count(b"\n") != text.count(b"\r\n") or text.count(b"\r") != text.count(b"\r\n"):
                problems.append("README.txt has line ends other than CR LF")
            try:
                text.decode("utf-8")
            except UnicodeDecodeError as e:
                problems.append(f"README.txt is not UTF-8: {e}")
        for name in sorted(programs):
            exe = os.path.join(tmp, top, name)
            if not os.path.exists(exe):
                continue
            dlls = imports(args.objdump, exe)
            others = [dll for dll in dlls if dll.lower() not in SYSTEM_DLLS]
            print(f"{name}: imports {' '.join(dlls)}")
            if not dlls or others:
                problems.append(f"{name} imports {others or 'nothing'}: not only Windows' own DLLs")
            rc = resources(args.windres, exe)
            for key, value in [("FileVersion", version), ("ProductVersion", version),
                               ("OriginalFilename", name)]:
                if f'VALUE "{key}", "{value}"' not in rc:
                    problems.append(f"{name}'s version information has no {key} {value}")
            if name == "Tarvex.exe" and f'"Tarvex Version {version}"' not in rc:
                problems.append(f"Tarvex.exe's About box does not say Tarvex Version {version}")
    for problem in problems:
        print(f"{args.zip}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
