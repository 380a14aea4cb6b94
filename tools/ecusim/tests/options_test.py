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
    """[(name, argument or "")] of the help lines that begin with an option (two spaces in); the
    lines under them, further in, are its text, and may mention other options."""
    return re.findall(r"^  " + OPTION + r"(?:  |$)", text, re.M)


def from_readme(text):
    """[(name, argument or "")] of the options in the first column of the README's table, where a
    row may name several (`--keyword1 B`, `--keyword2 B`)."""
    return [option for line in text.splitlines() if line.startswith("| `--")
            for option in re.findall(r"`" + OPTION + r"`", line.split("|")[1])]


def compare(in_help, in_readme):
    failures = []
    for where, found in (("ecusim --help", in_help), ("the README's table", in_readme)):
        names = [name for name, _ in found]
        if not names:
            failures.append(f"no options found in {where}")
        failures += [f"--{n} is listed {names.count(n)} times in {where}"
                     for n in sorted(set(names)) if names.count(n) > 1]
    shown, written = dict(in_help), dict(in_readme)
    for n in sorted(shown.keys() | written.keys()):
        if shown.get(n) != written.get(n):
            says = [("is not listed" if d.get(n) is None else f"takes {d[n] or 'no argument'}")
                    for d in (shown, written)]
            failures.append(f"--{n} {says[0]} in ecusim --help but {says[1]} in the README's table")
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
