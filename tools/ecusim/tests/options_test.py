#!/usr/bin/env python3
"""ecusim's options as its help text lists them and as its README's table does: the same set.

    options_test.py ECUSIM README.md
"""
import re
import subprocess
import sys

ecusim, readme = sys.argv[1], sys.argv[2]
shown = subprocess.run([ecusim, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=30).stdout
# An option is named where a help line begins with it; the prose after it may mention others.
in_help = set(re.findall(r"^\s{2}(--[a-z0-9-]+)", shown, re.M)) | {"--help"}
with open(readme, encoding="utf-8") as f:
    in_readme = set(re.findall(r"`(--[a-z0-9-]+)", "".join(
        line for line in f if line.startswith("| `--"))))
failures = [f"{o} is in ecusim --help but not in the README's table" for o in sorted(in_help - in_readme)]
failures += [f"{o} is in the README's table but not in ecusim --help" for o in sorted(in_readme - in_help)]
print(f"{len(in_help)} options in the help text, {len(in_readme)} in the README")
for failure in failures:
    print("FAILED: " + failure)
sys.exit(1 if failures else 0)
