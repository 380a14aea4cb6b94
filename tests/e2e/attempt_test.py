#!/usr/bin/env python3
"""End-to-end tests of what the user does while a connection attempt runs.

The attempt runs on the window's thread, and the ECU times it: the address bits are 200 ms each,
and an ECU byte left unanswered for longer than ecusim's limit (100 ms by default) ends its
session. So the user's menus, dialogs, drags, keys and clicks must wait until the attempt is
over, and then take effect as usual. Each test is a table of cases run in one Wine session.
"""
import time

from harness import HEADER_ROW, INITIALISED, WineSession, check, run_named

# The changes of RTS in the address 0x10 (start bit, 7 bits, odd parity, stop bit, each one
# step): on at step 0, off at 5 (bit 4), on at 6, off at 9 (the stop bit), in steps of 200 ms.
ADDRESS_CHANGES = [(0, True), (5, False), (6, True), (9, False)]
# The ECU's own slack, a quarter bit: a step the user's input stretched is off by a second or more,
# while Wine's scheduling on a busy machine alone has moved one by 32 ms.
BIT_MS, STEP_TOLERANCE_MS = 200, 50
PAUSE_BUTTON = 112


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
    s.screenshot("menu-open-after-the-attempt")
    s.key("Escape", "Escape")


def about_from_help_menu(s):
    s.click(s.origin[0] + 50, s.origin[1] - 10)
    s.key("a")


def close_about(s):
    check(s.wait_dialog("About", 15000) is not None, "Help > About opened no About box")
    s.tvctl("press", "About", "OK")
    check(s.dialog_gone("About"), "the About box did not close")


def drag_title_bar(s):
    x, y = s.origin[0] + 500, s.origin[1] - 32  # the caption, above the menu bar
    s.xdo("mousemove", "--sync", x, y)
    s.xdo("mousedown", 1)
    for step in range(1, 11):
        s.xdo("mousemove", x + 10 * step, y + 5 * step)
        time.sleep(0.15)
    s.xdo("mouseup", 1)


def window_moved(s):
    s.wait_for(lambda: s.wait_main()[:2] != s.origin[:2], 10, "the drag did not move the window")


def wait_address_begun(s):
    s.wait_for(lambda: s.ecusim_trace().rts, 30, "no wake-up began")
    time.sleep(0.3)


def wait_opening_begun(s):
    s.wait_log(b"\r\nblockNumber 1 ", 30, "the opening exchange never began")


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
            s.wait_log(INITIALISED, 30, f"{what}: no connection")
            after(s)
            check(s.wait_dialog("Error", 300) is None, f"{what}: a message box came up")
            s.close(what=what)
            summary = s.stop_ecusim()
            check(summary.get("wake-ups") == 1 and s.log().count(INITIALISED) == 1,
                  f"{what}: the first wake-up did not connect: {summary}")
            check(summary.get("late tester bytes") == 0, f"{what}: late replies {summary}")
            check_address_timing(s.ecusim_trace(), what)
            s.keep_log(what)
        print(f"{len(USER_CASES)} cases: each first wake-up connected, its address on time")


def about_box():
    # No ECU behind the port: the window is inside an attempt almost all the time, so each key
    # waits for one to end. (Help > About during an attempt is a case of the test above.)
    with WineSession("about_box") as s:
        s.start()
        for keys, close in (("alt+slash", "Escape"), ("alt+question", "Return")):
            failed = s.log().count(b"\r\nDevice not responding")
            s.wait_log(b"\r\nDevice not responding", 20, "no attempt ended", count=failed + 1)
            time.sleep(0.5)  # well inside the next attempt's address
            s.key(keys)
            texts = s.wait_dialog("About", 10000)
            check(texts and texts[0] == "Tarvex Version 1.1c", f"{keys}: About box {texts!r}")
            s.screenshot("about")
            s.key(close)
            check(s.dialog_gone("About"), f"{close} did not close the About box")
        s.close()
    print("Alt+/ and Alt+? each opened the About box after the attempt")


def post_pause(s):
    s.tvctl("post", PAUSE_BUTTON)


def click_pause(s):
    s.click(s.origin[0] + 125, s.origin[1] + 20)


# (what, ecusim arguments, how Pause comes during the first attempt, the caption after the
# connection, whether the connection wrote a header row, wake-ups)
PAUSE_CASES = [
    # The first wake-up gets a wrong sync byte. The command waits in the queue until that attempt
    # has failed: the next attempt is the command's, and connects without a header row.
    ("posted during a failing attempt", ["--sync-byte", "0xAA", "--fault-sessions", "1"],
     post_pause, "Pause", False, 2),
    # The click waits for the tick's attempt, which connects; it then pauses the link it finds up.
    ("clicked during an attempt that connects", [], click_pause, "Resume", True, 1),
]


def pause_during_an_attempt():
    with WineSession("pause_during_an_attempt", ecusim={"com9": []}) as s:
        s.stop_ecusim()
        for what, args, pause, caption, header, wake_ups in PAUSE_CASES:
            s.start_ecusim("com9", args)
            s.start()
            wait_address_begun(s)
            pause(s)
            s.wait_log(INITIALISED, 40, f"{what}: no connection")
            s.wait_for(lambda: s.text("text", PAUSE_BUTTON) == caption, 10,
                       f"{what}: the caption is not {caption}")
            time.sleep(2)
            log = s.log()
            check(log.count(INITIALISED) == 1, f"{what}: more than one connection")
            check(log.count(b"\r\nIncorrect baudrate = AAh") == wake_ups - 1,
                  f"{what}: not {wake_ups - 1} failed attempts")
            check((HEADER_ROW.search(log) is not None) == header, f"{what}: header {not header}")
            state = "Running: " if caption == "Pause" else "Paused: "
            check(s.status_text().startswith(state), f"{what}: status {s.status_text()!r}")
            s.close(what=what)
            summary = s.stop_ecusim()
            check(summary.get("wake-ups") == wake_ups, f"{what}: ecusim summary {summary}")
            s.keep_log(what)


if __name__ == "__main__":
    raise SystemExit(run_named([user_input_waits_for_the_attempt, about_box,
                                pause_during_an_attempt]))
