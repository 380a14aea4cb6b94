#!/usr/bin/env python3
"""Writes the user's guide, the lines of README.md between "<!-- guide -->" and "<!-- /guide -->",
as the README.txt that goes beside Tarvex.exe: CR LF line ends for Notepad, UTF-8 without a byte
order mark.

    guide_text.py README.md README.txt
"""
import sys

START, END = "<!-- guide -->", "<!-- /guide -->"


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: guide_text.py README.md README.txt")
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().splitlines()
    if lines.count(START) != 1 or lines.count(END) != 1 or lines.index(START) > lines.index(END):
        raise SystemExit(f"guide_text.py: {sys.argv[1]} needs one {START} line and one {END} after it")
    guide = lines[lines.index(START) + 1:lines.index(END)]
    with open(sys.argv[2], "w", encoding="utf-8", newline="") as f:
        f.write("\r\n".join(guide).strip("\r\n") + "\r\n")


if __name__ == "__main__":
    main()
