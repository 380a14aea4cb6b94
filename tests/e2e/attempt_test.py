#!/usr/bin/env python3
"""End-to-end tests of what the user does while a connection attempt runs.

The attempt runs on the window's thread, and the ECU times it: the address bits are 200 ms each,
and an ECU byte left unanswered for longer than ecusim's limit (100 ms by default) ends its
session. So the user's menus, dialogs, drags, keys and clicks must wait until the attempt is
over, and then take effect as usual. Each test is a table of cases run in one Wine session.
"""
import os
import time

from harness import WineSession, check, run_named
from link_test import HEADER_ROW, wait_log

INITIALISED = b"Initialised OK!\r\n"
BIT_MS = 200
# The changes of RTS in the address 0x10 (start bit, 7 bits, odd parity, stop bit, each one
# step): on at step 0, off at 5 (bit 4), on at 6, off at 9 (the stop bit), in steps of 200 ms.
ADDRESS_CHANGES = [(0, True), (5, False), (6, True), (9, False)]
STEP_TOLERANCE_MS = 25


def check_address_timing(trace, what):
    """The first wake-up's RTS changes sit on the 200 ms grid of its first step."""
    rts = trace.rts[:len(ADDRESS_CHANGES)]
    check(len(rts) == len(ADDRESS_CHANGES), f"{what}: the address was not sent whole: {rts}")
    start = rts[0][0]
    for (step, asserted), (t, level) in zip(ADDRESS_CHANGES, rts):
        off_ms = (t - start) / 1000 - step * BIT_MS
        check(level == asserted and abs(off_ms) <= STEP_TOLERANCE_MS,
              f"{what}: RTS {'on' if level else 'off'} at step {step} is {off_ms:+.0f} ms off")


def menu_bar(s, item_x):
    """The point of a menu bar item, item_x pixels from the client area's left."""
    ox, oy = s.origin[0], s.origin[1]
    return ox + item_x, oy - 10


def click_file_menu(s):
    s.click(*menu_bar(s, 15))
    time.sleep(1.5)  # the menu would hold the line this long if it opened now


def close_menu(s):
    time.sleep(0.5)
    s.screenshot("menu-open-after-the-attempt")
    s.key("Escape", "Escape")


def about_from_help_menu(s):
    s.click(*menu_bar(s, 50))
    s.key("a")


def close_about(s):
    check(s.wait_dialog("About", 15000) is not None, "Help > About opened no About box")
    s.tvctl("press", "About", "OK")
    check(s.dialog_gone("About"), "the About box did not close")


def drag_title_bar(s):
    ox, oy = s.origin[0], s.origin[1]
    x, y = ox + 500, oy - 32  # the caption, above the menu bar
    s.xdo("mousemove", "--sync", x, y)
    s.xdo("mousedown", 1)
    for step in range(1, 11):
        s.xdo("mousemove", x + 10 * step, y + 5 * step)
        time.sleep(0.15)
    s.xdo("mouseup", 1)


def window_moved(s):
    before = s.origin
    s.wait_for(lambda: s.wait_main()[:2] != before[:2], 10, "the drag did not move the window")
    s.origin = s.wait_main()


def wait_address_begun(s):
    s.wait_for(lambda: s.ecusim_trace().rts, 30, "no wake-up began")
    time.sleep(0.3)


def wait_opening_begun(s):
    wait_log(s, b"\r\nblockNumber 1 ", 30, "the opening exchange never began")


# (what, ecusim arguments, when, what the user does then, what the test does afterwards)
SLOW_ECU = ["--ecu-delay-us", "20000"]  # 20 ms before each ECU byte: the opening takes seconds
USER_CASES = [
    ("File menu during the address", [], wait_address_begun, click_file_menu, close_menu),
    ("File menu in the opening exchange", SLOW_ECU, wait_opening_begun, click_file_menu,
     close_menu),
    ("Help > About during the address", [], wait_address_begun, about_from_help_menu,
     close_about),
    ("title bar dragged during the address", [], wait_address_begun, drag_title_bar, window_moved),
]


def user_input_waits_for_the_attempt():
    with WineSession("user_input_waits_for_the_attempt", ecusim={"com9": []}) as s:
        s.stop_ecusim()
        for what, args, when, act, after in USER_CASES:
            s.start_ecusim("com9", args)
            s.start()
            when(s)
            check(INITIALISED not in s.log(), f"{what}: connected before the user acted")
            act(s)
            wait_log(s, INITIALISED, 30, f"{what}: no connection")
            after(s)
            check(s.wait_dialog("Error", 300) is None, f"{what}: a message box came up")
            s.tvctl("close")
            check(s.wait_exit(15), f"{what}: Tarvex did not end")
            summary = s.stop_ecusim()
            log = s.log()
            check(summary.get("wake-ups") == 1 and log.count(INITIALISED) == 1,
                  f"{what}: the first wake-up did not connect: {summary}")
            check(summary.get("late tester bytes") == 0, f"{what}: late replies {summary}")
            check_address_timing(s.ecusim_trace(), what)
            os.replace(os.path.join(s.workdir, "Tarvex.log"),
                       os.path.join(s.artefacts, f"Tarvex-{what.replace(' ', '-')}.log"))
        print(f"{len(USER_CASES)} cases: each first wake-up connected, its address on time")


def accelerators_after_an_attempt():
    # No ECU behind the port: the window is inside an attempt almost all the time.
    with WineSession("accelerators_after_an_attempt") as s:
        s.start()
        for keys in ("alt+slash", "alt+question"):
            count = s.log().count(b"\r\nDevice not responding")
            s.wait_for(lambda: s.log().count(b"\r\nDevice not responding") > count, 20,
                       "no attempt ended")
            time.sleep(0.5)  # well inside the next attempt's address
            s.key(keys)
            texts = s.wait_dialog("About", 10000)
            check(texts is not None and texts[0] == "Tarvex Version 1.1c",
                  f"{keys} pressed during an attempt opened no About box: {texts!r}")
            s.tvctl("press", "About", "OK")
            check(s.dialog_gone("About"), "the About box did not close")
        s.tvctl("close")
        check(s.wait_exit(15), "Tarvex did not end")
        check(s.log().endswith(b"Session ended"), "the log did not end")
    print("Alt+/ and Alt+? each opened the About box after the attempt")


def pause_during_an_attempt_that_connects():
    with WineSession("pause_during_an_attempt_that_connects", ecusim={"com9": []}) as s:
        s.start()
        wait_address_begun(s)
        ox, oy = s.origin[0], s.origin[1]
        s.click(ox + 125, oy + 20)
        wait_log(s, INITIALISED, 30, "no connection")
        s.wait_for(lambda: s.tvctl("text", 112)[1].strip() == "Resume", 10,
                   "the click did not pause the link it found up")
        log = s.log()
        check(HEADER_ROW.search(log) is not None, "the tick's connection wrote no header row")
        check(log.count(INITIALISED) == 1, "more than one connection")
        s.tvctl("close")
        check(s.wait_exit(15), "Tarvex did not end")
        summary = s.stop_ecusim()
        check(summary.get("wake-ups") == 1, f"ecusim summary {summary}")
    print("a Pause click during the attempt left the new link Paused")


TESTS = [user_input_waits_for_the_attempt, accelerators_after_an_attempt,
         pause_during_an_attempt_that_connects]

if __name__ == "__main__":
    raise SystemExit(run_named({f.__name__: f for f in TESTS}))
