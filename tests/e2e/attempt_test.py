#!/usr/bin/env python3
"""End-to-end tests of what the user does while a connection attempt runs.

The attempt runs on the window's thread, and the ECU times it: the address bits are 200 ms each,
and an ECU byte left unanswered for longer than ecusim's limit (100 ms by default) ends its
session. So the user's menus, dialogs, drags, keys, clicks and commands must wait until the
attempt is over, and then take effect as usual. Each test is a table of cases run in one Wine
session; every case checks that the first wake-up went out on time and that the user's input
cost the ECU no late reply.
"""
import time

from harness import INITIALISED, WineSession, check, run_named, wait_for

address_begun, opening_begun = WineSession.address_begun, WineSession.opening_begun

# The changes of RTS in the address 0x10 (start bit, 7 bits, odd parity, stop bit, each one
# step): on at step 0, off at 5 (bit 4), on at 6, off at 9 (the stop bit), in steps of 200 ms.
ADDRESS_CHANGES = [(0, True), (5, False), (6, True), (9, False)]
# The ECU's own slack, a quarter bit: a step the user's input stretched is off by a second or more,
# while Wine's scheduling on a busy machine alone has moved one by 32 ms.
BIT_MS, STEP_TOLERANCE_MS = 200, 50
PAUSE_BUTTON = 112
SLOW_ECU = "--ecu-delay-us 20000"  # 20 ms before each ECU byte: the opening takes seconds


def check_address_timing(trace, what):
    """The first wake-up's RTS changes sit on the 200 ms grid of its first step."""
    rts = trace.rts[:len(ADDRESS_CHANGES)]
    check(len(rts) == len(ADDRESS_CHANGES), f"{what}: the address was not sent whole: {rts}")
    for (step, asserted), (t, level) in zip(ADDRESS_CHANGES, rts):
        off_ms = (t - rts[0][0]) / 1000 - step * BIT_MS
        check(level == asserted and abs(off_ms) <= STEP_TOLERANCE_MS,
              f"{what}: RTS {'on' if level else 'off'} at step {step} is {off_ms:+.0f} ms off")


def click_file_menu(s):
    s.click(s.origin[0] + 15, s.origin[1] - 10)  # in the menu bar, above the client area
    time.sleep(1.5)  # the menu would hold the line this long if it opened now


def close_menu(s):
    time.sleep(0.5)
    s.key("Escape", "Escape")


def about_from_help_menu(s):
    s.click(s.origin[0] + 50, s.origin[1] - 10)
    s.key("a")


def about_closed_by(key):
    def close_about(s):
        texts = s.wait_dialog("About", 15000)
        check(texts and texts[0] == "Tarvex Version 1.1c", f"About box {texts!r}")
        s.tvctl("press", "About", "OK") if key == "OK" else s.key(key)
        check(s.tvctl("wait-gone", "About", 10000)[0] == 0, f"{key} left the About box up")
    return close_about


def drag_title_bar(s):
    x, y = s.origin[0] + 500, s.origin[1] - 32  # the caption, above the menu bar
    s.xdo("mousemove", "--sync", x, y, "mousedown", 1)
    for step in range(1, 11):
        s.xdo("mousemove", x + 10 * step, y + 5 * step)
        time.sleep(0.15)
    s.xdo("mouseup", 1)


def window_moved(s):
    wait_for(lambda: s.numbers("wait-main", 0)[:2] != s.origin[:2], 10, "the drag moved nothing")


def run_attempt_table(name, cases):
    """cases: (what, ecusim arguments, when, what the user does then, what the test checks once
    connected, and the wake-ups the connection took when more than one)."""
    with WineSession(name, ports=()) as s:
        for what, args, when, act, after, *wake_ups in cases:
            s.start(ecusim=args)
            when(s)
            check(INITIALISED not in s.log(), f"{what}: connected before the user acted")
            act(s)
            s.wait_log(INITIALISED, 40, f"{what}: no connection")
            after(s)
            s.close(what=what)
            # Every wake-up but the connection's failed (paused_after counts them).
            s.stop_ecusim(what, wake_ups=(wake_ups or [1])[0], late_tester_bytes=0)
            check_address_timing(s.ecusim_trace(), what)
            s.keep_log(what)


def user_input_waits_for_the_attempt():
    run_attempt_table("user_input_waits_for_the_attempt", [
        ("File menu during the address", "", address_begun, click_file_menu, close_menu),
        ("File menu in the opening exchange", SLOW_ECU, opening_begun, click_file_menu, close_menu),
        ("Help > About during the address", "", address_begun, about_from_help_menu,
         about_closed_by("OK")),
        ("Alt+/ during the address", "", address_begun, lambda s: s.key("alt+slash"),
         about_closed_by("Escape")),
        ("Alt+? during the address", "", address_begun, lambda s: s.key("alt+question"),
         about_closed_by("Return")),
        ("title bar dragged during the address", "", address_begun, drag_title_bar, window_moved),
    ])


def paused_after(caption, header, failed):
    """The caption of the Pause button once connected, whether the connection wrote a header
    row, and the failed attempts before it."""
    def check_paused(s):
        wait_for(lambda: s.text("text", PAUSE_BUTTON) == caption, 10, f"no caption {caption}")
        time.sleep(2)
        check(s.log().count(b"\r\nIncorrect baudrate = AAh") == failed, f"not {failed} failures")
        # (The header row's text is the link's unit tests'.)
        check((b",Intake Air Temp,Cylinder Head Temp," in s.log()) == header, f"header? {header}")
    return check_paused


def pause_during_an_attempt():
    run_attempt_table("pause_during_an_attempt", [
        # The first wake-up gets a wrong sync byte. The command waits in the queue until that
        # attempt has failed: the next attempt is the command's, and connects without a header
        # row.
        ("posted during a failing attempt", "--sync-byte 0xAA --fault-sessions 1",
         address_begun, lambda s: s.tvctl("post", PAUSE_BUTTON), paused_after("Pause", False, 1),
         2),
        # The click waits for the tick's attempt, which connects; it then pauses the link it
        # finds up.
        ("clicked during an attempt that connects", "", address_begun,
         lambda s: s.click(s.origin[0] + 125, s.origin[1] + 20), paused_after("Resume", True, 0),
         1),
    ])


if __name__ == "__main__":
    raise SystemExit(run_named([user_input_waits_for_the_attempt, pause_during_an_attempt]))
