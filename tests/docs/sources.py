"""The program's own top-level folders, found afresh so that a new one counts: every folder of the
checkout but the tools, the tests, the benchmarks, the build's and the release's, and hidden ones."""
import os

NOT_PROGRAM = {"tools", "tests", "bench", "scripts", "cmake", "docs", "dist"}


def program_folders(root):
    return sorted(d for d in os.listdir(root)
                  if d not in NOT_PROGRAM and not d.startswith((".", "build"))
                  and os.path.isdir(os.path.join(root, d)))
