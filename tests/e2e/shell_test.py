#!/usr/bin/env python3
"""End-to-end tests of Tarvex's window: its pixels, buttons, Debug menu item, Save Log As, the
ways to close it and the live chart, paused and running.

Each test is one function; CTest runs them one at a time by name (see CMakeLists.txt).
Screenshots and the run's files stay in <build>/e2e/artefacts/<test>/ for inspection.

Where a test needs the window to answer promptly it puts the simulated ECU behind COM9: without
one every tick's connection attempt holds the window for the 2-second wake-up and the wait for an
answer, as it does at a car with the ignition off.
"""
import os
import re
import time

from harness import (AMBER, BLACK, BLUE, CHANNEL_COLOURS, DASH, GREEN, GREY, INITIALISED,
                     ORANGE, PINK, READER_LINE, RED, TIME, WHITE, WineSession, check, run_named)

STARTED = b"Starting ...\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n"
HEALTHY_ECU = {"com9": []}
PAUSE_BUTTON, RPM_BUTTON = 112, 10104
DATA_ROW = re.compile(rb"(?:^|(?<=\n))" + TIME + rb" ([^\r\n]*)\r\n")
CHANNEL_NAMES = ["intake air", "head temperature", "AFM voltage", "RPM", "injector time",
                 "ignition advance", "MAF sensor", "battery"]


def data_rows(log):
    """The values of each whole data row of a log, its reader lines taken out."""
    return [m.group(1).split(b",") for m in DATA_ROW.finditer(READER_LINE.sub(b"", log))]


def wait_connected(s):
    s.wait_log(INITIALISED, 30, "Tarvex did not connect")
    s.wait_for(lambda: s.status_text().startswith("Running: ") and data_rows(s.log()), 10,
               "no Running status line and data row")


def window_and_channel_buttons():
    with WineSession("window_and_channel_buttons") as s:
        s.start()
        s.wait_for(lambda: s.status_text() == "Waiting to connect to ECU", 20, "never waiting")
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

        rects = [s.control_rect(10101 + i) for i in range(8)]
        for i, (left, top, right, bottom) in enumerate(rects):
            check((left - ox, top - oy, right - left, bottom - top) ==
                  ((i % 4) * 250, 40 + (i // 4) * 20, 250, 20), f"channel {i} button at "
                  f"{left - ox},{top - oy}, {right - left} x {bottom - top}")
            check(img.at(left + 8, top + 8) == GREEN, f"channel {i} indicator is not green")
            check(img.count(CHANNEL_COLOURS[i], left + 20, top + 2, right - 2, bottom - 2) > 20,
                  f"channel {i} caption is not in its colour")
            check(img.count(ORANGE, left, top, right, bottom) > 200, f"channel {i} frame")

        # A click on RPM turns its indicator red, and only its; a second turns it green again.
        left, top = rects[3][:2]
        for label, colour in (("rpm-off", RED), ("rpm-on", GREEN)):
            s.click(left + 125, top + 10)
            s.wait_for(lambda: s.screenshot(label).at(left + 8, top + 8) == colour, 15,
                       f"the RPM indicator did not turn {label}")
            img = s.screenshot(label)
            check(all(img.at(l + 8, t + 8) == GREEN for i, (l, t, _, _) in enumerate(rects)
                      if i != 3), "another channel changed with RPM")
            check(s.text("text", RPM_BUTTON) == "RPM", "the RPM caption changed")
        s.close()
        # Nothing behind the port: the start-up lines, then only failed attempts.
        log = s.log()
        check(log.startswith(STARTED), f"start-up lines {log[:120]!r}")
        rest = log[len(STARTED):-len(b"Session ended")]
        check(rest.replace(b"\r\nDevice not responding", b"") == b"", f"log {rest[:200]!r}")


def close_each_way():
    with WineSession("close_each_way", ecusim=HEALTHY_ECU) as s:
        ways = [
            ("close box", lambda: s.tvctl("syscommand-close")),
            ("File > Exit", lambda: s.key("alt+f", "x")),
            ("WM_CLOSE", lambda: s.tvctl("close")),
            ("Alt+F4", lambda: s.key("alt+F4")),
        ]
        for what, how in ways:
            s.start()
            wait_connected(s)
            s.close(how, what)
            log = s.log()
            check(log.startswith(STARTED), f"{what}: log {log[:100]!r}")


def debug_check_mark_shown(s, label):
    """Opens File from the keyboard and reads the check mark beside its first item, Debug."""
    s.key("alt+f")
    time.sleep(0.5)
    img = s.screenshot(label)
    ox, oy = s.origin[0], s.origin[1]
    # The first item is highlighted when the menu opens from the keyboard: the check mark is
    # drawn in white on the highlight, left of the item's text (the box holds only the mark).
    marks = img.count(WHITE, ox + 5, oy + 7, ox + 16, oy + 17)
    s.key("Escape", "Escape")
    return marks > 3


def debug_menu_check():
    with WineSession("debug_menu_check", ecusim=HEALTHY_ECU) as s:
        s.start()
        wait_connected(s)
        check(debug_check_mark_shown(s, "debug-at-start"), "Debug is not checked at start")
        check(b"\r\nRequest Block " in s.log(), "no debug lines while Debug is checked")
        s.key("alt+f", "Return")
        check(not debug_check_mark_shown(s, "debug-once"), "Debug still checked after one choice")
        # The reader's debug lines follow the check mark; the polling and the rows go on.
        time.sleep(1)
        before = len(s.log())
        time.sleep(3)
        later = s.log()[before:]
        check(b"Request Block" not in later and b"GetBlock returned" not in later,
              "debug lines go on after Debug was switched off")
        check(later.count(b"\r\n") >= 4, "no data rows while Debug is off")
        s.key("alt+f", "Return")
        check(debug_check_mark_shown(s, "debug-twice"), "Debug not checked after a second choice")
        s.wait_log(b"\r\nRequest Block ", 10, "debug lines did not come back", since=len(s.log()))
        s.close()


def save_as(s, *typed):
    """Save Log As (command 111): each text typed over the name and entered, in turn."""
    s.tvctl("post", 111)
    check(s.wait_dialog("Save Log to File") is not None, "command 111 opened no dialog")
    for text in typed:
        s.key("ctrl+a")
        s.xdo("type", "--delay", 20, text)
        s.key("Return")
    if not typed:
        s.key("Escape")
    check(s.dialog_gone("Save Log to File"), f"the dialog did not close after {typed}")


def save_log_as():
    with WineSession("save_log_as", ecusim=HEALTHY_ECU) as s:
        s.start()
        wait_connected(s)
        copy = os.path.join(s.workdir, "copy.log")
        with open(copy, "wb") as f:
            f.write(b"an older file of the same name\r\n" * 20)
        read = lambda path: open(path, "rb").read()  # noqa: E731

        save_as(s)  # Cancel changes nothing.
        check(read(copy).startswith(b"an older file"), "Cancel touched the file")
        # Saving over an existing file replaces it without a prompt (a prompt would carry the
        # dialog's title and keep it open).
        save_as(s, "Z:" + copy.replace("/", "\\"))
        s.wait_for(lambda: read(copy).startswith(STARTED), 10, "the copy is not the log so far")
        saved = read(copy)
        time.sleep(3)  # more rows and debug lines go to Tarvex.log meanwhile

        # Into another folder, browsed to in the dialog (the first Return enters it): the dialog
        # makes it the working directory, and the log must go on where it was all the same.
        other = os.path.join(s.workdir, "other")
        os.mkdir(other)
        save_as(s, "Z:" + other.replace("/", "\\"), "elsewhere.log")
        elsewhere = os.path.join(other, "elsewhere.log")
        s.wait_for(lambda: os.path.exists(elsewhere), 10, "no copy in the folder browsed to")
        saved_elsewhere = read(elsewhere)
        time.sleep(2)

        # Later lines go only to Tarvex.log, which kept its content and grew.
        s.close()
        log = s.log()
        check(log.startswith(saved) and len(log) > len(saved) + 1000,
              "Tarvex.log lost what it held at the save, or did not grow after it")
        check(read(copy) == saved and b"Session ended" not in saved,
              "the copy grew after the save, or was made at the end")
        check(saved_elsewhere.startswith(STARTED) and log.startswith(saved_elsewhere)
              and len(log) > len(saved_elsewhere) + 500,
              "the copy in the other folder is not the log so far, or the log stopped there")
        check(not os.path.exists(os.path.join(other, "Tarvex.log")),
              "a new Tarvex.log began in the folder browsed to")


# --- the chart --------------------------------------------------------------------------------

# The chart in client coordinates: everything below the 80-pixel strip of controls.
CHART_TOP, CHART_BOTTOM, CHART_RIGHT = 80, 556, 994
GRID_STEP = (CHART_BOTTOM - CHART_TOP) // 10  # 47
LABEL_COLUMNS = [2, 47, 92, 137, 182]
LABELS_END = 230  # the label columns end left of this; only traces and grid lie to its right
NEWEST_X = CHART_RIGHT - 10  # the newest sample of every trace
MARK_30S_X = NEWEST_X - 61  # 61 ticks of 500 ms: the first sample more than 30 s old
STATUS = re.compile(r"^(Running|Paused): SysTime +(-?\d+)ms Effective Baud Rate (\d+) "
                    r"BlockNumber +(\d+) History +(\d+)$")


def runs(flags):
    """Number of runs of True in a sequence of booleans."""
    return sum(1 for i, f in enumerate(flags) if f and (i == 0 or not flags[i - 1]))


def check_chart(img, ox, oy):
    """The chart after a minute of running."""
    box = (ox + LABELS_END, oy + CHART_TOP, ox + CHART_RIGHT, oy + CHART_BOTTOM)
    colours = img.positions(*box)
    grid_y = oy + CHART_BOTTOM - GRID_STEP

    # Eight traces, each in its colour, right of the label columns, 100 samples long up to the
    # newest. The solid grid line and the time marks' texts share the ignition advance's grey, so
    # that trace is counted away from them.
    for name, colour in zip(CHANNEL_NAMES, CHANNEL_COLOURS):
        xs = [x for x, y in colours.get(colour, [])
              if colour != GREY or (y != grid_y and y < oy + CHART_BOTTOM - 16)]
        check(len(xs) >= 60 and max(xs) >= ox + NEWEST_X - 2 and min(xs) <= ox + NEWEST_X - 100,
              f"{name}: {len(xs)} pixels of {colour} from x {min(xs, default=0) - ox} to "
              f"{max(xs, default=0) - ox}")
    # The engine idles near 800 RPM with a rev-up to about 3500 every 20 s; RPM is plotted from
    # -1000 to 9000 over the chart's 476 pixels.
    rpm_y = [y - oy for _, y in colours.get(BLUE, [])]
    check(max(rpm_y) >= 440 and min(rpm_y) <= 360, f"the RPM trace spans y {min(rpm_y)}.."
          f"{max(rpm_y)}: no idle and rev-up")
    # The battery (13.8 V on -2..20 V) near y 214, above the other Volts traces; over the last
    # 100 samples, as a connection's first is drawn from a raw 0.
    pink_y = sorted(y - oy for x, y in colours.get(PINK, []) if x >= ox + NEWEST_X - 100)
    check(200 <= pink_y[len(pink_y) // 2] <= 230, f"battery near y {pink_y[len(pink_y) // 2]}")

    # The grid: the lowest line solid grey, one pixel thick, eight dashed lines above it.
    # (Traces may cross any line on the right; the label texts stay above their lines.)
    grid_x = range(ox + LABELS_END, ox + NEWEST_X - 140)
    gaps = [x for x in grid_x if img.at(x, grid_y) != GREY]
    check(not gaps, f"the lowest grid line has {len(gaps)} gaps")
    for y in (grid_y - 1, grid_y + 1):
        check(img.count(GREY, ox + LABELS_END, y, ox + 700, y + 1) == 0, f"grey at y {y - oy}")
    for k in range(2, 10):
        y = oy + CHART_BOTTOM - k * GRID_STEP
        dashes = [img.at(x, y) == DASH for x in grid_x]
        check(runs(dashes) >= 20 and dashes.count(False) >= 100 and
              img.at(ox + LABELS_END + 5, y - 3) == BLACK, f"grid line {k} at y {y - oy}: "
              f"{runs(dashes)} dashes, {dashes.count(False)} gap pixels, or too thick")

    # The label columns: one per unit, the unit's name at the top and nine axis labels below it
    # (the solid grid line adds 40 grey pixels of its own).
    for x in LABEL_COLUMNS:
        unit = img.count(GREY, ox + x, oy + CHART_TOP + 15, ox + x + 40, oy + CHART_TOP + 30)
        column = img.count(GREY, ox + x, oy + CHART_TOP, ox + x + 40, oy + CHART_BOTTOM)
        check(unit >= 10 and column >= 40 + unit + 90, f"labels at x {x}: {unit}, {column}")

    # The "-30s" mark: a dashed vertical line where the history passes 30 s, its text grey
    # beside the chart's bottom.
    def dash_column(x):
        return [img.at(x, oy + y) == DASH for y in range(CHART_TOP, CHART_BOTTOM)]
    best = max(range(ox + MARK_30S_X - 8, ox + MARK_30S_X + 9),
               key=lambda x: dash_column(x).count(True))
    column = dash_column(best)
    check(abs(best - ox - MARK_30S_X) <= 4 and runs(column) >= 20 and column.count(False) >= 100,
          f"no dashed -30s mark near x {MARK_30S_X}: best x {best - ox}, {runs(column)} dashes")
    check(img.count(GREY, best, oy + CHART_BOTTOM - 15, best + 30, oy + CHART_BOTTOM) >= 10,
          "no -30s text beside the mark")


def chart_and_pause():
    with WineSession("chart_and_pause", ecusim=HEALTHY_ECU) as s:
        s.start()
        wait_connected(s)
        connected = time.monotonic()
        ox, oy = s.origin[:2]

        def status():
            m = STATUS.match(s.status_text())
            check(m is not None, f"status line {s.status_text()!r}")
            return m.group(1), int(m.group(2)), int(m.group(5))

        # More than 61 ticks of history: the oldest samples are over 30 s old. One tick, one data
        # row, one more sample of history (the status line shows the length before the tick's
        # increment, so it trails the rows by a tick or two), a tick every 500 ms at most.
        s.wait_for(lambda: len(data_rows(s.log())) >= 127, 150, "fewer than 127 rows")
        state, _, history = status()
        elapsed, rows = time.monotonic() - connected, len(data_rows(s.log()))
        check(state == "Running" and abs(rows - history) <= 3, f"history {history}, {rows} rows")
        check(history <= elapsed / 0.5 + 3, f"history {history} after {elapsed:.1f} s")
        check_chart(s.screenshot("after-a-minute"), ox, oy)

        # Paused, the window keeps showing the chart's last picture; resumed, it moves on.
        chart = (ox, oy + CHART_TOP, ox + CHART_RIGHT, oy + CHART_BOTTOM)
        pause = s.control_rect(PAUSE_BUTTON)
        for caption, state in (("Resume", "Paused"), ("Pause", "Running")):
            s.click((pause[0] + pause[2]) // 2, (pause[1] + pause[3]) // 2)
            s.wait_for(lambda: status()[0] == state, 10, f"the status line never read {state}")
            check(s.text("text", PAUSE_BUTTON) == caption, f"the caption is not {caption}")
            picture = s.screenshot(state).box(*chart)
            time.sleep(3)
            check((s.screenshot(state).box(*chart) == picture) == (state == "Paused"),
                  f"{state}: the chart {'changed' if state == 'Paused' else 'stood still'}")
        s.close()


if __name__ == "__main__":
    raise SystemExit(run_named([window_and_channel_buttons, close_each_way, debug_menu_check,
                                save_log_as, chart_and_pause]))
