#!/usr/bin/env python3
"""End-to-end tests of Tarvex's window: its pixels and buttons while it waits for an ECU, then,
connected, its Debug menu item, Save Log As and the live chart, paused and running.

Each test is one function; CTest runs them one at a time by name (see CMakeLists.txt).
Screenshots and the run's files stay in <build>/e2e/artefacts/<test>/ for inspection.

Where a test needs the window to answer promptly it puts the simulated ECU behind COM9: without
one every tick's connection attempt holds the window for the 2-second wake-up and the wait for an
answer, as it does at a car with the ignition off.
"""
import os
import time

from harness import (AMBER, BLACK, CHANNEL_COLOURS, DASH, GREEN, GREY, ORANGE, RED, STARTED, WHITE,
                     WineSession, check, data_rows, dos_path, run_named, wait_for)

RPM_BUTTON, SAVE_LOG_AS, SAVE_TITLE = 10104, 111, "Save Log to File"


def window_and_channel_buttons():
    with WineSession("window_and_channel_buttons") as s:
        s.start()
        wait_for(lambda: s.status_text() == "Waiting to connect to ECU", 20, "never waiting")
        ox, oy, width, height = s.origin
        check((width, height) == (994, 556), f"client area {width} x {height}")
        img = s.screenshot("idle")
        # Pause: red caption on black in an orange frame, 250 x 40 at the top left.
        check(img.count(RED, ox + 2, oy + 2, ox + 248, oy + 38) > 30, "no red Pause caption")
        check(img.count(ORANGE, ox, oy, ox + 250, oy + 40) > 300, "no orange frame on Pause")
        check(img.at(ox + 20, oy + 20) == BLACK, "Pause background is not black")
        # The status line to its right, grey text on white.
        check(img.at(ox + 900, oy + 20) == WHITE, "status line is not white")
        check(img.count(GREY, ox + 250, oy, ox + 994, oy + 40) > 30, "no grey status text")
        # "Starting" in amber, centred at the top of the black chart area.
        check(img.count(AMBER, ox + 440, oy + 80, ox + 560, oy + 98) > 30, "no amber Starting")
        check(img.count(AMBER, ox, oy + 80, ox + 400, oy + 98) == 0, "Starting is not centred")
        check(img.at(ox + 100, oy + 300) == BLACK, "chart area is not black")

        rects = [s.numbers("rect", 10101 + i) for i in range(8)]
        for i, (left, top, right, bottom) in enumerate(rects):
            place = (left - ox, top - oy, right - left, bottom - top)  # in the client area
            check(place == ((i % 4) * 250, 40 + (i // 4) * 20, 250, 20), f"channel {i} at {place}")
            check(img.at(left + 8, top + 8) == GREEN, f"channel {i} indicator is not green")
            check(img.count(CHANNEL_COLOURS[i], left + 20, top + 2, right - 2, bottom - 2) > 20,
                  f"channel {i} caption is not in its colour")
            check(img.count(ORANGE, left, top, right, bottom) > 200, f"channel {i} frame")

        # A click on RPM turns its indicator red, and only its; a second turns it green again.
        left, top = rects[3][:2]
        for label, colour in (("rpm-off", RED), ("rpm-on", GREEN)):
            s.click(left + 125, top + 10)
            wait_for(lambda: s.screenshot(label).at(left + 8, top + 8) == colour, 15, f"no {label}")
            img = s.screenshot(label)
            check(all(img.at(l + 8, t + 8) == GREEN for l, t, _, _ in rects[:3] + rects[4:]),
                  "another channel changed with RPM")
            check(s.text("text", RPM_BUTTON) == "RPM", "the RPM caption changed")
        s.close()


def check_debug_menu(s):
    """Opens File from the keyboard and reads the check mark beside its first item, Debug: at
    the start, after one choice of it and after a second."""
    # The menu's first mark is the resource's, the reader's first lines follow the flag's first
    # value: they must agree. A choice sets the flag and then the mark from it, and the reader's
    # lines follow the flag (tests/unit/connection_test.cpp).
    check(b"\r\nRequest Block " in s.log(), "no debug lines while Debug is checked")
    ox, oy = s.origin[:2]
    for label, checked in (("debug-at-start", True), ("debug-once", False), ("debug-twice", True)):
        if label != "debug-at-start":
            s.key("alt+f", "Return")
        s.key("alt+f")
        time.sleep(0.5)
        # The first item is highlighted when the menu opens from the keyboard: the check mark is
        # drawn in white on the highlight, left of the item's text (the box holds only the mark).
        marks = s.screenshot(label).count(WHITE, ox + 5, oy + 7, ox + 16, oy + 17)
        s.key("Escape", "Escape")
        check((marks > 3) == checked, f"Debug's mark {label}: not {checked}")


def save_dialog_owned_by(s, owner):
    """The static texts of the topmost window with the save dialog's title once it is owned by
    `owner`: "main" for the dialog itself, "other" for a box the dialog raised over itself (which
    takes its title); None if that never came."""
    for _ in range(20):
        shown = s.wait_dialog(SAVE_TITLE, 500, owner=True)
        if shown and shown[0] == owner:
            return shown[1:]
    return None


def check_save_log_as(s):
    """Save Log As through the window's dialog, over an existing file: the dialog asks first.
    "No" leaves the file as it was and the dialog up, and its Cancel then saves nothing; "Yes"
    replaces the file with the log so far. What a save does to the files, in this folder or one
    the dialog moved the working directory to, and that the log goes on after it,
    tests/unit/log_file_win_test.cpp checks on real files."""
    copy = os.path.join(s.workdir, "copy.log")
    older = b"an older file of the same name\r\n" * 20
    open(copy, "wb").write(older)
    read = lambda: open(copy, "rb").read()  # noqa: E731
    for answer in ("n", "y"):
        s.tvctl("post", SAVE_LOG_AS)
        check(s.wait_dialog(SAVE_TITLE) is not None, "command 111 opened no dialog")
        s.key("ctrl+a")
        s.xdo("type", "--delay", 20, dos_path(copy))
        s.key("Return")
        prompt = save_dialog_owned_by(s, "other")
        check(prompt and "exists" in " ".join(prompt), f"no prompt before replacing: {prompt!r}")
        s.key(answer)
        if answer == "n":
            check(save_dialog_owned_by(s, "main") is not None, "No closed the save dialog")
            check(read() == older, "No changed the file")
            s.key("Escape")
        check(s.tvctl("wait-gone", SAVE_TITLE, 10000)[0] == 0, f"still up after {answer!r}")
        check(answer == "y" or read() == older, "Cancel touched the file")
    wait_for(lambda: read().startswith(STARTED), 10, "no copy of the log")
    check(s.log().startswith(read()), "the copy is not the log so far, or the older file is left")


# --- the chart --------------------------------------------------------------------------------

# The chart in client coordinates: everything below the 80-pixel strip of controls, a grid line
# every 47 pixels. The label columns end left of LABELS_END, and only traces and grid lie to its
# right. The newest sample of every trace is 10 pixels from the right edge, and 61 ticks of
# 500 ms before it the first sample more than 30 s old.
CHART_TOP, CHART_BOTTOM, CHART_RIGHT, LABELS_END = 80, 556, 994, 230
GRID_STEP, NEWEST_X = (CHART_BOTTOM - CHART_TOP) // 10, CHART_RIGHT - 10
MARK_30S_X = NEWEST_X - 61


def dashed(flags):
    """Whether a line of pixels (True: the dash colour) is dashed: 20 runs of it or more, and 100
    pixels of something else."""
    runs = sum(1 for i, f in enumerate(flags) if f and (i == 0 or not flags[i - 1]))
    return runs >= 20 and flags.count(False) >= 100


def check_chart(img, ox, oy):
    """What the window's pens and texts make of a minute of running, on screen. Where the chart
    puts each thing is the drawing code's, tested against the fake platform
    (tests/unit/chart_test.cpp); this sees that each comes out in its colour and line style."""
    left, top, bottom = ox + LABELS_END, oy + CHART_TOP, oy + CHART_BOTTOM
    colours = img.positions(left, top, ox + CHART_RIGHT, bottom)
    # Eight traces, each in its colour, 100 samples long up to the newest. The solid grid line
    # and the time marks' texts share the ignition advance's grey, so that trace is counted away
    # from them.
    for colour in CHANNEL_COLOURS:
        xs = [x for x, y in colours.get(colour, [])
              if colour != GREY or (y != bottom - GRID_STEP and y < bottom - 16)]
        check(len(xs) >= 60 and max(xs) >= ox + NEWEST_X - 2 and min(xs) <= ox + NEWEST_X - 100,
              f"{colour}: {len(xs)} pixels, x {min(xs, default=0) - ox}-{max(xs, default=0) - ox}")
    # The dashed pen: eight grid lines above the solid one, and the "-30s" mark, a vertical line
    # where the history passes 30 s, with its text in grey beside the chart's bottom. (Traces
    # may cross any line on the right.)
    for y in (bottom - k * GRID_STEP for k in range(2, 10)):
        line = [img.at(x, y) == DASH for x in range(left, ox + 700)]
        check(dashed(line) and img.at(left + 5, y - 3) == BLACK, f"grid line at y {y - oy}")
    column = lambda x: [img.at(x, y) == DASH for y in range(top, bottom)]  # noqa: E731
    x = max(range(ox + MARK_30S_X - 4, ox + MARK_30S_X + 5), key=lambda x: sum(column(x)))
    check(dashed(column(x)), "no dashed -30s mark")
    check(img.count(GREY, x, bottom - 15, x + 30, bottom) >= 10, "no -30s text beside the mark")


# Pause while running is clicked in attempt_test.py (its caption and the status line), and a
# paused tick draws nothing (tests/unit/chart_test.cpp), so the window keeps its last picture.
def running_window():
    with WineSession("running_window", ecusim={"com9": ""}) as s:
        s.start()
        s.wait_polling("at the start")
        wait_for(lambda: s.status_text().startswith("Running: ") and data_rows(s.log()), 10,
                 "no Running status line and data row")
        check_debug_menu(s)
        check_save_log_as(s)

        # One tick, one data row, one more sample of history: past 61 ticks the oldest samples are
        # over 30 s old. The window's timer sets the pace, which the -30s mark's place on screen
        # checks: a tick every 500 ms puts it 61 samples from the newest.
        wait_for(lambda: len(data_rows(s.log())) >= 127, 150, "fewer than 127 rows")
        check_chart(s.screenshot("after-a-minute"), *s.origin[:2])
        s.close()


if __name__ == "__main__":
    raise SystemExit(run_named([window_and_channel_buttons, running_window]))
