#!/usr/bin/env python3
"""End-to-end tests of Tarvex among the rest of Windows: the serial driver's checks, port names
past COM9, other programs reading its log, the end of a Windows session, the user's close and
keys during a connection attempt as real input, and its import table.

Each test is a table of cases run in one Wine session; CTest runs them one at a time by name
(see CMakeLists.txt), and their artefacts stay in <build>/e2e/artefacts/<test>/.
"""
import os
import re
import subprocess
import time

from harness import (INITIALISED, STARTED, TARVEX_EXE, TVCTL_EXE, WineSession, check, dos_path,
                     run_named, wait_for)
from reliability_test import CLOSE_LIMIT_S, close_at, ended_after_the_last_answer

SILENT = "--silent-after-bytes 0"  # an ECU that never answers: attempt after attempt
NOT_RESPONDING = b"\r\nDevice not responding"


def attempt_broken_off(s, trace):
    """Every attempt before the last ran out with its line in the log; the last, under way, broke
    off without one. Nothing awake answered the end of the session: its first byte went alone.
    (An address turns RTS on twice, or once when it broke off in its first 1.2 s.)"""
    addresses = (sum(on for _, on in trace.rts) + 1) // 2
    check(s.log() == STARTED + NOT_RESPONDING * (addresses - 1) + b"Session ended",
          f"the log of {addresses} attempts ends {s.log()[-80:]!r}")
    check(trace.sent("tester") == b"\x03", f"the program wrote {trace.sent('tester')!r}")


def serial_driver_refuses_equal_xon_xoff():
    # The RTS bridge refuses, as a Windows driver does, an Xon character equal to the Xoff
    # character, which Wine would take. The DCB is the one GetCommState reports with only the
    # pair changed: Tarvex once set both to 0, which failed on Windows and passed under Wine.
    with WineSession("serial_driver_refuses_equal_xon_xoff", ecusim={"com9": ""}) as s:
        for what, xon_xoff, env, result in [
            ("0 and 0", "0 0", {}, "0 87"),  # ERROR_INVALID_PARAMETER
            ("0x11 and 0x13", "11 13", {}, "1 0"),
            # Last: the pair it sets stays on the pty, where the strict driver refuses it.
            ("0 and 0, the driver lenient", "0 0", {"TARVEX_LENIENT_DRIVER": "1"}, "1 0"),
        ]:
            out = s.text("comm-chars", r"\\.\COM9", *xon_xoff.split(), **env)
            # A pty starts with the terminal's ^Q and ^S, which GetCommState reports.
            check(out == "11 13 " + result, f"{what}: reported pair, SetCommState, error: {out}")


def port_names_past_com9():
    # COM10 and up are no DOS device names: the port is opened as \\.\COMn, whichever way
    # Tarvex.cfg writes it. Wine's file channel shows the name CreateFileW was given.
    with WineSession("port_names_past_com9", ports=()) as s:
        s.start_ecusim("", port="com12")
        trace = os.path.join(s.artefacts, "tarvex-wine.log")
        for name in (b"COM12", b"COM12:"):
            open(os.path.join(s.workdir, "Tarvex.cfg"), "wb").write(name)
            since = os.path.getsize(trace) if os.path.exists(trace) else 0
            s.start(WINEDEBUG="+file")
            opened = b"Starting ...\r\nRead Config file: %s\r\n\r\nCOM Opened\r\n" % name
            s.wait_log(b"COM Opened", 30, f"{name}: not opened")
            check(s.log().startswith(opened), f"{name}: the log starts {s.log()[:80]!r}")
            s.wait_polling(name)
            s.close(what=name, limit=CLOSE_LIMIT_S)
            with open(trace, "rb") as f:
                f.seek(since)
                check(rb'trace:file:CreateFileW L"\\\\.\\COM12" GENERIC_READ GENERIC_WRITE'
                      in f.read(), f"{name}: not opened as \\\\.\\COM12 (see {trace})")
            s.keep_log(name.decode())
        s.stop_ecusim("COM12", wake_ups=2, sessions_ended=2)


def log_shared_for_reading():
    with WineSession("log_shared_for_reading", ecusim={"com9": ""}) as s:
        s.start()
        s.wait_polling("reading the log")
        # Another program reads the log while Tarvex writes it: what it reads is the log so far.
        before = len(s.log())
        rc, out = s.tvctl("read", dos_path(os.path.join(s.workdir, "Tarvex.log")))
        size, _, text = out.partition("\n")
        check(rc == 0, f"the log could not be opened for reading: {out.strip()}")
        log = s.log()
        check(before <= int(size) <= len(log) and log[:int(size)].decode() == text.replace(
            "\n", "\r\n"), f"read {size} bytes, not the log's first: {text[:80]!r}")
        check(log.startswith(STARTED) and INITIALISED in log[:int(size)], "not the log's start")
        wait_for(lambda: len(s.log()) > len(log), 5, "logging stopped after the read")

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
    raise SystemExit(run_named([serial_driver_refuses_equal_xon_xoff, port_names_past_com9,
                                log_shared_for_reading, windows_session_ends,
                                real_input_during_an_attempt, no_global_hooks]))
