#!/usr/bin/env python3
"""End-to-end tests of Tarvex's window, log, menu and About box.

Each test is one function; CTest runs them one at a time by name (see CMakeLists.txt).
Screenshots and the run's files stay in <build>/e2e/artefacts/<test>/ for inspection.

Where a test needs the window to answer promptly it puts the simulated ECU behind COM9: without
one every tick's connection attempt holds the window for the 2-second wake-up and the wait for an
answer, as it does at a car with the ignition off.
"""
import os
import time

from harness import (AMBER, CHANNEL_COLOURS, GREEN, GREY, ORANGE, RED, WineSession, check,
                     run_named)

STARTED = b"Starting ...\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n"
WAITING = "Waiting to connect to ECU"
HEALTHY_ECU = {"com9": []}

RPM_BUTTON = 10104


def wait_waiting(s):
    s.wait_for(lambda: s.status_text() == WAITING, 20, "the status line never said " + WAITING)


def wait_connected(s):
    s.wait_for(lambda: b"Initialised OK!\r\n" in s.log(), 30, "Tarvex did not connect")
    s.wait_for(lambda: s.status_text().startswith("Running: "), 10, "no Running status line")


def check_only_failed_attempts(log, start, what):
    """After the start-up lines, a log with nothing behind the port holds only failed attempts."""
    rest = log[len(start):]
    if rest.endswith(b"Session ended"):
        rest = rest[:-len(b"Session ended")]
    check(log.startswith(start), f"{what}: start-up lines {log[:120]!r}")
    check(rest.replace(b"\r\nDevice not responding", b"") == b"",
          f"{what}: unexpected lines after start-up: {rest[:200]!r}")


def close_and_check_end(s, how):
    """Closes Tarvex one way and checks the log's last text."""
    how()
    check(s.wait_exit(15), "Tarvex did not end")
    log = s.log()
    check(log.endswith(b"Session ended"), f"log does not end with Session ended: {log[-60:]!r}")
    check(log.count(b"Session ended") == 1, "Session ended written more than once")
    return log


def startup_default_port():
    # Nothing answers on the port: every attempt ends in "Device not responding".
    with WineSession("startup_default_port") as s:
        s.start()
        wait_waiting(s)
        check(s.log().startswith(STARTED), f"start-up lines: {s.log()!r}")
        log = close_and_check_end(s, lambda: s.tvctl("close"))
        check_only_failed_attempts(log, STARTED, "no ECU")


def startup_config_port():
    with WineSession("startup_config_port", ports=("com7",)) as s:
        s.write_config(b"COM7:")
        s.start()
        wait_waiting(s)
        expected = b"Starting ...\r\nRead Config file: COM7:\r\n\r\nCOM Opened\r\n"
        log = close_and_check_end(s, lambda: s.tvctl("close"))
        check_only_failed_attempts(log, expected, "COM7")


def startup_bad_port():
    cases = [
        # (what, ports wired, Tarvex.cfg or None, the line that names the port)
        ("line end in the name", ("com7",), b"COM7:\r\n", b"Read Config file: COM7:\r\n\r\n"),
        ("empty name", ("com9",), b"", b"Read Config file: \r\n"),
        ("no device", (), None, b"Default port: COM9:\r\n"),
        ("name too long", ("com7",), b"COM7:\r\n\r\n\r",
         b"Config file refused: the name is longer than 9 characters\r\n"),
    ]
    for i, (what, ports, config, port_line) in enumerate(cases):
        with WineSession(f"startup_bad_port_{i}", ports=ports) as s:
            if config is not None:
                s.write_config(config)
            s.start()
            texts = s.wait_dialog("Error")
            check(texts == ["Cannot open COM port"], f"{what}: message box {texts!r}")
            # The box comes before any tick: the status line has not been written yet.
            check(s.status_text() == "", f"{what}: a tick ran before the message box")
            s.tvctl("press", "Error", "OK")
            check(s.wait_exit(15), f"{what}: Tarvex did not end after the message box")
            expected = (b"Starting ...\r\n" + port_line + b"\r\n\r\nCannot open COM port"
                        b"Session ended")
            check(s.log() == expected, f"{what}: log {s.log()!r}")


def close_each_way():
    with WineSession("close_each_way", ecusim=HEALTHY_ECU) as s:
        # A previous, longer log in the working directory is replaced, not appended to.
        with open(os.path.join(s.workdir, "Tarvex.log"), "wb") as f:
            f.write(b"an earlier run's log\r\n" * 50)
        ways = [
            ("close box", lambda: s.tvctl("syscommand-close")),
            ("File > Exit", lambda: s.key("alt+f", "x")),
            ("WM_CLOSE", lambda: s.tvctl("close")),
            ("Alt+F4", lambda: s.key("alt+F4")),
        ]
        for what, how in ways:
            s.start()
            wait_connected(s)
            log = close_and_check_end(s, how)
            check(log.startswith(STARTED), f"{what}: log {log[:100]!r}")
            check(log.count(b"Starting ...") == 1, f"{what}: an earlier run's log is still there")


def window_and_channel_buttons():
    with WineSession("window_and_channel_buttons") as s:
        s.start()
        wait_waiting(s)
        ox, oy, width, height = s.origin
        check((width, height) == (994, 556), f"client area {width} x {height}")
        img = s.screenshot("idle")

        # Pause: red caption on black in an orange frame, 250 x 40 at the top left.
        check(img.count(RED, ox + 2, oy + 2, ox + 248, oy + 38) > 30, "no red Pause caption")
        check(img.count(ORANGE, ox, oy, ox + 250, oy + 40) > 300, "no orange frame on Pause")
        check(img.at(ox + 20, oy + 20) == (0, 0, 0), "Pause background is not black")
        # The status line to its right, grey text on white.
        check(img.at(ox + 900, oy + 20) == (255, 255, 255), "status line is not white")
        check(img.count(GREY, ox + 250, oy, ox + 994, oy + 40) > 30, "no grey status text")
        # "Starting" in amber, centred at the top of the black chart area.
        chart_top = oy + 80
        check(img.count(AMBER, ox + 440, chart_top, ox + 560, chart_top + 18) > 30,
              "no amber Starting")
        check(img.count(AMBER, ox, chart_top, ox + 400, chart_top + 18) == 0,
              "Starting is not centred")
        check(img.at(ox + 100, oy + 300) == (0, 0, 0), "chart area is not black")

        rects = []
        for i in range(8):
            left, top, right, bottom = s.control_rect(10101 + i)
            check((left - ox, top - oy) == ((i % 4) * 250, 40 + (i // 4) * 20),
                  f"channel {i} button at {left - ox},{top - oy}")
            check((right - left, bottom - top) == (250, 20), f"channel {i} button size")
            rects.append((left, top, right, bottom))
            check(img.at(left + 8, top + 8) == GREEN, f"channel {i} indicator is not green")
            check(img.count(CHANNEL_COLOURS[i], left + 20, top + 2, right - 2, bottom - 2) > 20,
                  f"channel {i} caption is not in its colour")
            check(img.count(ORANGE, left, top, right, bottom) > 200, f"channel {i} frame")

        left, top, _, _ = rects[3]
        s.click(left + 125, top + 10)
        s.wait_for(lambda: s.screenshot("rpm-off").at(left + 8, top + 8) == RED, 15,
                   "the RPM indicator did not turn red")
        img = s.screenshot("rpm-off")
        for i, (l, t, _, _) in enumerate(rects):
            if i != 3:
                check(img.at(l + 8, t + 8) == GREEN, f"channel {i} changed with RPM")
        check(s.tvctl("text", RPM_BUTTON)[1].strip() == "RPM", "the RPM caption changed")
        s.click(left + 125, top + 10)
        s.wait_for(lambda: s.screenshot("rpm-on").at(left + 8, top + 8) == GREEN, 15,
                   "the RPM indicator did not turn green again")
        check_only_failed_attempts(s.log(), STARTED, "clicks")
        close_and_check_end(s, lambda: s.tvctl("close"))


def debug_check_mark_shown(s, label):
    """Opens File from the keyboard and reads the check mark beside its first item, Debug."""
    s.key("alt+f")
    time.sleep(0.5)
    img = s.screenshot(label)
    ox, oy = s.origin[0], s.origin[1]
    # The first item is highlighted when the menu opens from the keyboard: the check mark is
    # drawn in white on the highlight, left of the item's text (the box holds only the mark).
    marks = img.count((255, 255, 255), ox + 5, oy + 7, ox + 16, oy + 17)
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
        before = len(s.log())
        s.wait_for(lambda: b"\r\nRequest Block " in s.log()[before:], 10,
                   "debug lines did not come back")
        close_and_check_end(s, lambda: s.tvctl("close"))


def about_box():
    with WineSession("about_box", ecusim=HEALTHY_ECU) as s:
        s.start()
        wait_connected(s)
        openers = [("Alt+?", ("alt+question",)), ("Alt+/", ("alt+slash",)),
                   ("Help > About", ("alt+h", "a"))]
        closers = [("OK", lambda: s.tvctl("press", "About", "OK")),
                   ("Escape", lambda: s.key("Escape")),
                   ("Return", lambda: s.key("Return"))]
        for (open_what, keys), (close_what, close) in zip(openers, closers):
            s.key(*keys)
            texts = s.wait_dialog("About", 5000)
            check(texts is not None, f"{open_what} did not open the About box")
            check(texts[0] == "Tarvex Version 1.1c", f"About box reads {texts!r}")
            s.screenshot("about")
            close()
            check(s.dialog_gone("About"), f"{close_what} did not close the About box")
        close_and_check_end(s, lambda: s.tvctl("close"))


def save_log_as():
    with WineSession("save_log_as", ecusim=HEALTHY_ECU) as s:
        s.start()
        wait_connected(s)
        copy = os.path.join(s.workdir, "copy.log")
        with open(copy, "wb") as f:
            f.write(b"an older file of the same name\r\n" * 20)

        # Cancel changes nothing.
        s.tvctl("post", 111)
        check(s.wait_dialog("Save Log to File") is not None, "command 111 opened no dialog")
        s.key("Escape")
        check(s.dialog_gone("Save Log to File"), "Cancel did not close the dialog")
        check(open(copy, "rb").read().startswith(b"an older file"), "Cancel touched the file")

        # Saving over an existing file replaces it without a prompt (a prompt would carry the
        # dialog's title and keep it open).
        s.tvctl("post", 111)
        check(s.wait_dialog("Save Log to File") is not None, "command 111 opened no dialog")
        s.key("ctrl+a")
        s.xdo("type", "--delay", 20, "Z:" + copy.replace("/", "\\"))
        s.key("Return")
        check(s.dialog_gone("Save Log to File"), "the save asked something or did not end")
        s.wait_for(lambda: open(copy, "rb").read().startswith(STARTED), 10,
                   "the copy does not hold the log so far")
        saved = open(copy, "rb").read()
        time.sleep(3)  # more rows and debug lines go to Tarvex.log meanwhile

        # Into another folder, browsed to in the dialog: the dialog makes it the working
        # directory, and the log must go on where it was all the same.
        other = os.path.join(s.workdir, "other")
        os.mkdir(other)
        s.tvctl("post", 111)
        check(s.wait_dialog("Save Log to File") is not None, "command 111 opened no dialog")
        s.key("ctrl+a")
        s.xdo("type", "--delay", 20, "Z:" + other.replace("/", "\\"))
        s.key("Return")  # into the folder; the dialog stays open
        s.key("ctrl+a")
        s.xdo("type", "--delay", 20, "elsewhere.log")
        s.key("Return")
        check(s.dialog_gone("Save Log to File"), "the save in another folder did not end")
        elsewhere = os.path.join(other, "elsewhere.log")
        s.wait_for(lambda: os.path.exists(elsewhere), 10, "no copy in the folder browsed to")
        saved_elsewhere = open(elsewhere, "rb").read()
        time.sleep(2)

        # Later lines go only to Tarvex.log, which kept its content and grew.
        log = close_and_check_end(s, lambda: s.tvctl("close"))
        check(log.startswith(saved), "Tarvex.log lost what it held at the save")
        check(len(log) > len(saved) + 1000, "Tarvex.log did not grow after the save")
        check(open(copy, "rb").read() == saved, "the copy grew after the save")
        check(b"Session ended" not in saved, "the copy was made at the end, not at the save")
        check(saved_elsewhere.startswith(STARTED) and log.startswith(saved_elsewhere),
              "the copy in the other folder is not the log so far")
        check(len(log) > len(saved_elsewhere) + 500, "Tarvex.log stopped growing at that save")
        check(not os.path.exists(os.path.join(other, "Tarvex.log")),
              "a new Tarvex.log began in the folder browsed to")


if __name__ == "__main__":
    raise SystemExit(run_named({f.__name__: f for f in [
        startup_default_port, startup_config_port, startup_bad_port, close_each_way,
        window_and_channel_buttons, debug_menu_check, about_box, save_log_as]}))
