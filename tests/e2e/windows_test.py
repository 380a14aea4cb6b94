#!/usr/bin/env python3
"""End-to-end tests of Tarvex among the rest of Windows: a second Tarvex that finds its log taken,
the end of a Windows session, the user's close and keys during a connection attempt as real
input, and its import table.

Each test is a table of cases run in one Wine session; CTest runs them one at a time by name
(see CMakeLists.txt), and their artefacts stay in <build>/e2e/artefacts/<test>/.
"""
import os
import re
import subprocess
import time

from harness import TARVEX_EXE, TVCTL_EXE, WineSession, check, run_named, wait_for
from reliability_test import (CLOSE_LIMIT_S, NOT_RESPONDING, attempt_broken_off, close_at,
                              ended_after_the_last_answer)

SILENT = "--silent-after-bytes 0"  # an ECU that never answers: attempt after attempt


def log_kept_from_a_second_tarvex():
    # How the log is shared with a reader and refused to a second writer,
    # tests/unit/log_file_win_test.cpp checks on real files; here, what Tarvex makes of the refusal.
    with WineSession("log_kept_from_a_second_tarvex", ecusim={"com9": ""}) as s:
        s.start()
        s.wait_polling("before the second Tarvex")
        log = s.log()

        # A second Tarvex in the same folder cannot take the log over, and leaves it whole.
        second = s.launch()
        texts = s.wait_dialog("Error", 30000, owner=True)
        check(texts == ["none", "Cannot open Log File"], f"the second Tarvex showed {texts!r}")
        s.tvctl("press", "Error", "OK")
        wait_for(lambda: second.poll() is not None, 15, "the second Tarvex did not end")
        grown = len(s.log())
        check(s.log().startswith(log), "the log was emptied or changed")
        s.wait_polling("after the second Tarvex", since=grown, connect=False)
        s.close(limit=CLOSE_LIMIT_S)


def end_session(s):
    out = s.text("end-session")
    # The query answered TRUE (the session may end), and both messages handled within Windows'
    # wait; then the process was terminated.
    check(out == "1 1 1", f"query answer, query handled, end handled: {out}")


def windows_session_ends():
    # Log-off or shutdown: Windows ends the process once WM_ENDSESSION returns, so the run must
    # be over by then: the end of the session on the line, "Session ended", the log closed.
    with WineSession("windows_session_ends", ports=()) as s:
        polling = lambda s: s.wait_polling("before the end of the session")  # noqa: E731
        for what, args, when, connected, then in [
            ("while polling", "", polling, True, ended_after_the_last_answer),
            ("during the address", SILENT, WineSession.address_begun, False, attempt_broken_off),
            ("waiting for the sync byte", SILENT, WineSession.sync_wait_begun, False,
             attempt_broken_off),
        ]:
            close_at(s, f"the session ends {what}", args, when, end_session, connected, then)


# --- real input during a connection attempt ------------------------------------------------

def close_box_then(moment):
    """Looks up the close box and where the virtual desktop sits on the X screen, then waits for
    `moment` in the next attempt to begin (the look-up is slow during an attempt)."""
    def find_then_wait(s):
        x, y = s.numbers("close-box")
        geometry = dict(line.split("=") for line in s.xdo(
            "search", "--name", "^tarvex - Wine desktop$", "getwindowgeometry", "--shell").split())
        s.close_box = x + int(geometry["X"]), y + int(geometry["Y"])
        # The pointer leaves the last case's close box: xdotool's synchronous move to where the
        # pointer already is waits 15 s for a motion there.
        s.xdo("mousemove", 0, 0)
        moment(s, fresh=True)
    return find_then_wait


def about_after_the_attempt(s):
    """Alt+/ during the address: the About box shows once the attempt is over, within a second
    of the attempt's last line. tvctl waits for the box from before that moment, so that a Wine
    process's start-up is not counted."""
    s.start(ecusim=SILENT)
    s.address_begun()
    s.xdo("key", "alt+slash")
    waiter = subprocess.Popen(["wine", TVCTL_EXE, "wait-dialog", "About", "20000"], env=s.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ended = None
    while waiter.poll() is None:
        time.sleep(0.02)
        if ended is None and NOT_RESPONDING in s.log():
            ended = time.monotonic()
    shown, log = time.monotonic(), s.log()  # a box that came up after the attempt finds its end
    waiter.stdout.close()
    check(waiter.returncode == 0, "no About box")
    check(NOT_RESPONDING in log, "the About box came up during the attempt")
    delay = shown - (ended or shown)
    check(delay < 1.0, f"the About box came {delay:.1f} s after the attempt's end")
    s.key("Escape")
    s.close(what="after the About box")
    s.stop_ecusim("About")
    s.keep_log("About")


def real_input_during_an_attempt():
    # Real key presses and clicks on a virtual desktop, where Wine draws the frame and its
    # close box takes clicks. A close ends Tarvex at once, whatever stage of the attempt it is
    # in; other input waits for the attempt, then takes effect at once.
    alt_f4 = lambda s: s.xdo("key", "alt+F4")  # noqa: E731
    close_box = lambda s: s.click(*s.close_box)  # noqa: E731
    with WineSession("real_input_during_an_attempt", ports=(), desktop=True) as s:
        for what, when, how in [
            ("Alt+F4 during the address", WineSession.address_begun, alt_f4),
            ("Alt+F4 waiting for the sync byte", WineSession.sync_wait_begun, alt_f4),
            ("close box during the address", close_box_then(WineSession.address_begun),
             close_box),
            ("close box waiting for the sync byte", close_box_then(WineSession.sync_wait_begun),
             close_box),
        ]:
            close_at(s, what, SILENT, when, how, False, attempt_broken_off)
        about_after_the_attempt(s)


def no_global_hooks():
    # Input reaches the window during an attempt without hooks on the whole desktop's input.
    imports = subprocess.run([os.environ["TARVEX_OBJDUMP"], "-p", TARVEX_EXE], check=True,
                             stdout=subprocess.PIPE).stdout
    check(re.search(rb"\bCreateWindowExW\b", imports), "objdump listed no imports")
    check(b"SetWindowsHookEx" not in imports, "Tarvex.exe imports SetWindowsHookEx")


if __name__ == "__main__":
    raise SystemExit(run_named([log_kept_from_a_second_tarvex, windows_session_ends,
                                real_input_during_an_attempt, no_global_hooks]))
