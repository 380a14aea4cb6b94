#!/usr/bin/env python3
"""The program's folders include each other in one direction only:

    app  ->  link, display  ->  log  ->  channels  ->  platform

app/ drives the run; link/ (the ECU link) and display/ (the chart and the buttons) serve it and
do not include each other; log/ writes the session log for all of them; channels/ holds what
every one of them needs, the channel table, the raw readings and their conversion into a tick's
sample; platform/ is the one seam to the system. A folder may include its own headers and those
of any folder below it. The Win32 shell's *_win files sit in the folders of what they show, so
they obey the same order. A new folder of the program must be given its place here before the
check passes.

    include_direction_test.py SOURCE_DIR
"""
import os
import re
import sys

from sources import ROOT, program_folders, report

LEVEL = {"app": 4, "link": 3, "display": 3, "log": 2, "channels": 1, "platform": 0, "res": 0}


def main():
    failures = []
    folders = program_folders(ROOT)
    checked = 0
    for folder in folders:
        if folder not in LEVEL:
            failures.append(f"{folder}/ has no place in the order of folders")
            continue
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".cpp", ".h", ".c", ".rc")):
                continue
            path = os.path.join(folder, name)
            with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if not m:
                        continue
                    checked += 1
                    target = m.group(1).split("/")[0] if "/" in m.group(1) else folder
                    if target == folder:
                        continue
                    if target not in LEVEL:
                        failures.append(f"{path}:{number} includes {m.group(1)}, outside the program")
                    elif LEVEL[target] >= LEVEL[folder]:
                        failures.append(f"{path}:{number} includes {m.group(1)}: {folder}/ may "
                                        f"only include folders below it")
    print(f"{checked} includes in {len(folders)} folders")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
