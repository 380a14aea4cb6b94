#!/usr/bin/env python3
"""The guide's troubleshooting table against the texts Tarvex can show.

    guide_texts_test.py SOURCE_DIR

Every string literal of the program's own code (app/, link/, display/, log/, ...) is either a text the
table explains or one of the texts below that are no failure; a new text that is neither fails,
so that whoever adds a message box or a failure line also tells the user what it means. The table
names no text that the program no longer has.
"""
import os
import re
import sys

from sources import ROOT, program_folders, report

# The program's own code: its folders (sources.py) but the system's side and the resources,
# those that hold C++ sources.
FOLDERS = [d for d in program_folders(ROOT) if d not in ("platform", "res")
           and any(n.endswith(".cpp") for n in os.listdir(os.path.join(ROOT, d)))]

# Texts that tell of no failure, by what they are.
NOT_FAILURES = {
    # the run's course in the log and the status line
    "Starting ...", "Starting", "Default port: ", "Read Config file: ", "COM Opened",
    "Reader Thread Started", "Initialised OK!", "Session ended", "Waiting to connect to ECU",
    "Running", "Paused", "N: SysTime Nms Effective Baud Rate N BlockNumber N History N",
    # the debug lines and the identification lines
    "Request Block N Parameter = N vals N N N", "GetBlock returned block N blockNumber N Type XX",
    "blockNumber N Type = XX Length = N data ", "\\xXX",
    # the channels, their units and their values
    "Intake Air Temp", "Cylinder Head Temp", "AFM Voltage", "RPM", "Injector Time",
    "Ignition Advance", "MAF Sensor", "Battery", "Fahr", "Volts", "ms", "Angle",
    "N F", "N Volts", "N RPM", "N ms", "N deg", "N", "-Ns", ",", " ", " = ",
    # the window's controls, the message boxes' captions
    "Pause", "Resume", "BUTTON", "edit", "Error", "Error!",
    # a message of the build's, never of the program's
    "a colour's component is one byte",
    # file and device names
    "COM9:", "\\\\.\\", ".log", "Tarvex-NNN-NNN", "-N",
}


# A comment, a character literal, or a string literal (group 1: its text, escapes unread).
TOKEN = re.compile(r"//[^\n]*|/\*.*?\*/|'(?:\\.|[^\\'])*'|\"((?:\\.|[^\\\"])*)\"", re.S)
ESCAPES = {"r": "\r", "n": "\n", "\\": "\\", '"': '"'}


def literals(code):
    """The string literals of C++ source, without its comments, #include lines, the "C" of
    extern "C" and static_assert messages, with their escapes read."""
    code = re.sub(r"^\s*#\s*include.*$", "", code, flags=re.M)
    code = re.sub(r'\bextern\s+"C"', "", code)
    return [re.sub(r"\\(.)", lambda e: ESCAPES.get(e.group(1), e.group(0)), m.group(1))
            for m in TOKEN.finditer(code) if m.group(1) is not None and
            not re.search(r"static_assert\([^;]*,\s*L?$", code[max(0, m.start() - 300):m.start()])]


def shown(text):
    """A literal as the user sees it: without the line ends around it, a printf field as N
    (a hexadecimal byte as XX)."""
    text = re.sub(r"%[-0-9.]*X", "XX", text)
    text = re.sub(r"%[-0-9.]*[dufsxc]", "N", text)
    return text.strip("\r\n")


def guide_table(readme):
    guide = readme.split("<!-- guide -->")[1].split("<!-- /guide -->")[0]
    table = guide.split("## When it does not work")[1]
    texts = []
    for line in table.splitlines():
        if line.startswith("| `"):
            texts += re.findall(r"`([^`]+)`", line.split("|")[1])
    return texts


def main():
    code = set()
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(ROOT, folder, name), encoding="utf-8") as f:
                    code.update(shown(t) for t in literals(f.read()))
    code.discard("")
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        table = guide_table(f.read())
    failures = []
    for text in sorted(code - set(table) - NOT_FAILURES):
        failures.append(f"{text!r} is in the code, but the guide's table does not explain it "
                        "(or add it to this test's texts that are no failure)")
    for text in table:
        if text not in code:
            failures.append(f"the guide's table explains {text!r}, which the code does not have")
    for text in sorted(NOT_FAILURES - code):
        failures.append(f"{text!r} is listed as no failure but is no longer in the code")
    for text in sorted(NOT_FAILURES & set(table)):
        failures.append(f"{text!r} is listed as no failure, yet the guide explains it")
    print(f"{len(code)} texts in the code, {len(table)} in the guide's table")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
