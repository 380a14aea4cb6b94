#!/usr/bin/env python3
"""Writes the user's guide, the part of README.md between the lines "<!-- guide -->" and
"<!-- /guide -->", as the README.txt that goes beside Tarvex.exe: plain text for Notepad, CR LF
line ends, UTF-8 without a byte order mark.

    guide_text.py README.md README.txt

Markdown reads well enough as text; what is dropped is what means nothing outside a browser: the
marker lines and pictures. A link keeps its words and its address.
"""
import re
import sys

START, END = "<!-- guide -->", "<!-- /guide -->"


def guide(markdown):
    lines = markdown.splitlines()
    if lines.count(START) != 1 or lines.count(END) != 1 or lines.index(START) > lines.index(END):
        raise SystemExit(f"guide_text.py: the README needs one {START} line and one {END} after it")
    text = []
    for line in lines[lines.index(START) + 1:lines.index(END)]:
        if line.startswith("!["):  # a picture
            continue
        text.append(re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1 (\2)", line))
    while text and not text[0].strip():
        text.pop(0)
    return "\r\n".join(text).rstrip() + "\r\n"


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: guide_text.py README.md README.txt")
    with open(sys.argv[1], encoding="utf-8") as f:
        text = guide(f.read())
    with open(sys.argv[2], "w", encoding="utf-8", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
