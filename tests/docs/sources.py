"""What the checks of the sources and the documents share: the checkout they look at (the first
argument, else this one), the program's own top-level folders, found afresh so that a new one
counts (every folder of the checkout but the tools, the tests, the benchmarks, the build's and the
release's, and hidden ones), and the report of their failures."""
import os
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")

NOT_PROGRAM = {"tools", "tests", "bench", "scripts", "cmake", "docs", "dist"}


def program_folders(root):
    return sorted(d for d in os.listdir(root)
                  if d not in NOT_PROGRAM and not d.startswith((".", "build"))
                  and os.path.isdir(os.path.join(root, d)))


def report(failures):
    """Prints each failure; the exit status."""
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0
