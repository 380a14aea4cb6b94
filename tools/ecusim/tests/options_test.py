#!/usr/bin/env python3
"""ecusim's options as its help text lists them and as its README's table does: the same names,
each with the same argument name (or none), both ways.

    options_test.py ECUSIM README.md
"""
import re
import subprocess
import sys

# "--name" or "--name ARG", as a help line begins and as the README's first column writes it.
OPTION = r"--([a-z0-9][a-z0-9-]*)(?: ([A-Z]+))?"


def from_help(text):
    """{name: argument or None} of the help lines that begin with an option (two spaces in); the
    lines under them, further in, are its text, and may mention other options."""
    found = {}
    for name, arg in re.findall(r"^  " + OPTION + r"(?:  |$)", text, re.M):
        found.setdefault(name, []).append(arg or None)
    return found


def from_readme(text):
    """{name: argument or None} of the options in the first column of the README's table, where a
    row may name several (`--keyword1 B`, `--keyword2 B`)."""
    found = {}
    for line in text.splitlines():
        if not line.startswith("| `--"):
            continue
        first_cell = line.split("|")[1]
        for name, arg in re.findall(r"`" + OPTION + r"`", first_cell):
            found.setdefault(name, []).append(arg or None)
    return found


def compare(in_help, in_readme):
    failures = []
    for where, found in (("ecusim --help", in_help), ("the README's table", in_readme)):
        if not found:
            failures.append(f"no options found in {where}")
        failures += [f"--{n} is listed {len(a)} times in {where}"
                     for n, a in sorted(found.items()) if len(a) > 1]
    failures += [f"--{n} is in ecusim --help but not in the README's table"
                 for n in sorted(in_help.keys() - in_readme.keys())]
    failures += [f"--{n} is in the README's table but not in ecusim --help"
                 for n in sorted(in_readme.keys() - in_help.keys())]
    for n in sorted(in_help.keys() & in_readme.keys()):
        shown, written = in_help[n][0], in_readme[n][0]
        if shown != written:
            failures.append(f"--{n} takes {shown or 'no argument'} in ecusim --help but "
                            f"{written or 'no argument'} in the README's table")
    return failures


def main():
    ecusim, readme = sys.argv[1], sys.argv[2]
    shown = subprocess.run([ecusim, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=30)
    if shown.returncode != 0:
        print(f"FAILED: ecusim --help exited with {shown.returncode}")
        return 1
    with open(readme, encoding="utf-8") as f:
        in_readme = from_readme(f.read())
    in_help = from_help(shown.stdout)
    print(f"{len(in_help)} options in the help text, {len(in_readme)} in the README")
    failures = compare(in_help, in_readme)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
