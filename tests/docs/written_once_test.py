#!/usr/bin/env python3
"""Each fixed text of Tarvex.log and each channel's name is written once in the sources: in
log/log_texts.h and in its row of channels/channel_table.cpp. Everything else that writes or
reads them (the program, tarvex-log, the rig, the benchmarks) takes them from there, so a copy
typed again, which would drift, fails here. The tests' own expectations are not looked at.

    written_once_test.py SOURCE_DIR
"""
import ast
import os
import sys

from guide_texts_test import literals, shown
from sources import ROOT, report

sys.path.insert(0, os.path.join(ROOT, "tools", "rig"))
from product_tables import channel_rows, log_texts  # noqa: E402

# Texts that a message box shows in the same words as the log's line: a box is no copy of it.
MESSAGE_BOXES = {"Cannot open COM port", "Cannot Set Timeouts", "Cannot Set State"}


def python_literals(code):
    """The string and bytes constants of Python source, its docstrings left out."""
    tree = ast.parse(code)
    docs = {id(n.body[0].value) for n in ast.walk(tree)
            if isinstance(n, (ast.Module, ast.FunctionDef, ast.ClassDef)) and n.body
            and isinstance(n.body[0], ast.Expr) and isinstance(n.body[0].value, ast.Constant)}
    return [n.value.decode("latin-1") if isinstance(n.value, bytes) else n.value
            for n in ast.walk(tree) if isinstance(n, ast.Constant)
            and isinstance(n.value, (str, bytes)) and id(n) not in docs]


def sources():
    for folder, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build")) and d not in ("tests", "dist")]
        for name in files:
            if name.endswith((".cpp", ".h", ".py")):
                yield os.path.join(folder, name)


def main():
    wanted = {shown(t.decode("latin-1")): "log/log_texts.h" for t in log_texts().values()}
    wanted.update({name: "channels/channel_table.cpp" for name, _, _ in channel_rows()})
    seen = {text: [] for text in wanted}
    for path in sources():
        with open(path, encoding="utf-8") as f:
            code = f.read()
        found = python_literals(code) if path.endswith(".py") else literals(code)
        for text in {shown(t) for t in found} & seen.keys():
            seen[text].append(os.path.relpath(path, ROOT))
    failures = []
    for text, paths in sorted(seen.items()):
        copies = sorted(set(paths) - {wanted[text]})
        if text in MESSAGE_BOXES and len(copies) == 1:
            continue
        if paths.count(wanted[text]) != 1 or copies:
            failures.append(f"{text!r} is written in {sorted(paths)}, not once in {wanted[text]}")
    print(f"{len(seen)} texts and names looked for")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
