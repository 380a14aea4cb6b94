#!/usr/bin/env python3
"""The end-to-end tests' side of the rig (tools/rig/wine_rig.py, which runs Tarvex.exe under Wine
and whose docstring lists the environment): the rig's names, for the tests to import from here,
and what only the tests need, the program's colours on screen and the running of one named test.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "rig"))
from wine_rig import *  # noqa: E402,F401,F403
from wine_rig import E2E_DIR, E2EFailure, check, missing_programs  # noqa: E402
from product_tables import channel_rows  # noqa: E402

# The window's own colours as (red, green, blue), as they reach the screen; the channels' come
# from their rows in the program's table.
RED, ORANGE, GREEN, GREY = (255, 0, 0), (200, 100, 0), (0, 255, 0), (180, 180, 180)
AMBER, DASH, BLACK, WHITE = (255, 200, 0), (100, 100, 100), (0, 0, 0), (255, 255, 255)
CHANNEL_COLOURS = [colour for _, colour, _ in channel_rows()]


def run_named(tests):
    """Runs the test named on the command line from the list of functions `tests`."""
    name, tests = sys.argv[-1], {f.__name__: f for f in tests}
    if len(sys.argv) != 2 or name not in tests:
        sys.exit("usage: %s {%s}" % (sys.argv[0], ",".join(sorted(tests))))
    missing = missing_programs()
    check(not missing, f"missing: {missing} (see the environment in tools/rig/wine_rig.py)")
    try:
        tests[name]()
    except E2EFailure as failure:
        print(f"FAIL {name}: {failure}\nartefacts: {os.path.join(E2E_DIR, 'artefacts', name)}")
        return 1
    print(f"PASS {name}")
    return 0
