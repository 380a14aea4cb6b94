#!/usr/bin/env python3
"""Records the real Tarvex logs that tarvex-log's tests convert, each with the truth of its run.

    record_logs.py [NAME...]            records switching, session and killed (or those named)
    record_logs.py --check [NAME...]    verifies the files in data/, each log against its truth

The builds are the demo's (scripts/build-dirs.sh: build/win-release and build/native-release,
which scripts/demo.sh makes), or TARVEX_WIN_BUILD and TARVEX_NATIVE_BUILD.

Runs Tarvex.exe under Wine against ecusim on the rig (tools/rig/wine_rig.py) and writes
data/NAME.log (Tarvex.log as written) and data/NAME.truth: "OFFSET MASK" lines (every data row that starts at
or after byte OFFSET was written with channels MASK on, '1' or '0' for channels 0..7) and
"# OFFSET what" notes of what the run did there. Clicks go through `tvctl send` (the rig's
helper, from the cross build), which sends them synchronously and reads the log's size on both
sides of each. A run is
refused, and made again, when a data row starts between those two sizes, when a row does not
hold the values of its mask, or when ecusim saw the link falter (Wine under load can be late).
"""
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
with open(os.path.join(ROOT, "scripts", "build-dirs.sh")) as f:  # the scripts' build folders
    FOLDERS = dict(re.findall(r"^(\w+)=(\S+)$", f.read(), re.M))
WIN = os.path.abspath(os.environ.get("TARVEX_WIN_BUILD",
                                     os.path.join(ROOT, FOLDERS["WIN_RELEASE"])))
NATIVE = os.path.abspath(os.environ.get("TARVEX_NATIVE_BUILD",
                                        os.path.join(ROOT, FOLDERS["NATIVE_RELEASE"])))
os.environ.update(TARVEX_EXE=f"{WIN}/Tarvex.exe", TARVEX_TVCTL=f"{WIN}/tools/rig/tvctl.exe",
                  TARVEX_E2E_DIR=f"{NATIVE}/record-logs",
                  TARVEX_ECUSIM=f"{NATIVE}/tools/ecusim/ecusim",
                  TARVEX_RTSBRIDGE=f"{NATIVE}/tools/ecusim/librtsbridge.so")
sys.path.insert(0, os.path.join(ROOT, "tools", "rig"))
from wine_rig import (E2EFailure, INITIALISED, WineSession, check, data_rows,  # noqa: E402
                      make_prefix, wait_for)  # (it reads the environment above when imported)

PAUSE, DEBUG, CHANNEL_0 = 112, 32771, 10101
ALL_ON = "11111111"
UNITS = [b"F", b"F", b"Volts", b"RPM", b"ms", b"deg", b"Volts", b"Volts"]


def row_shape(mask):
    """The values a data row holds with `mask` on: each a number and its unit, "," after each
    but channel 7's."""
    return re.compile(b"".join(rb"[ -]*\d+(?:\.\d\d)? " + UNITS[i] + (b"," if i < 7 else b"")
                               for i in range(8) if mask[i] == "1"))


class Run:
    """Tarvex started in session `s` and connected, and the truth of what is done to it."""

    def __init__(self, s):
        self.s, self.mask, self.truth, self.clicks = s, ALL_ON, [(0, f"0 {ALL_ON}")], []
        self.path = "Z:" + os.path.join(s.workdir, "Tarvex.log").replace("/", "\\")
        s.start()
        self.connect()

    def note(self, text, at=None):
        at = len(self.s.log()) if at is None else at
        self.truth.append((at, f"# {at} {text}"))

    def send(self, *commands, what=None):
        """Clicks, each handled before the next; a note `what` at the last."""
        rc, out = self.s.tvctl("send", self.path, *commands)
        lines = out.split()
        check(rc == 0 and len(lines) == 3 * len(commands), f"tvctl send {commands}: {rc} {out!r}")
        for i in range(0, len(lines), 3):
            command, before, after = (int(v) for v in lines[i:i + 3])
            self.clicks.append((before, after))
            if CHANNEL_0 <= command < CHANNEL_0 + 8:
                c = command - CHANNEL_0
                self.mask = self.mask[:c] + "01"[self.mask[c] == "0"] + self.mask[c + 1:]
                self.truth.append((after, f"{after} {self.mask}"))
        if what:
            self.note(what, after)

    def channels(self, on):
        """Switches to the channels in `on` on, the others off."""
        self.send(*(CHANNEL_0 + c for c in range(8) if (c in on) != (self.mask[c] == "1")))

    def rows(self, n, seconds=30):
        """Waits for n more whole data rows."""
        start = len(self.s.log())
        wait_for(lambda: sum(r >= start for r, _ in data_rows(self.s.log())) >= n,
                 seconds, f"not {n} rows after {start}")

    def connect(self, count=1):
        self.s.wait_log(INITIALISED, 60, "no connection", count=count)
        self.rows(4)

    def held(self):
        """Stops ecusim, which must have seen the link run as it should: under load a late byte
        of Tarvex's ends the session, and the log would go on without polling."""
        self.s.stop_ecusim("recorded", sessions_timed_out=0, late_tester_bytes=0, protocol_errors=0)

    def save(self, name):
        """Checks the truth against the log and writes both."""
        self.held()
        log, starts = self.s.log(), [r for r, _ in data_rows(self.s.log())]
        for before, after in self.clicks:
            check(not any(before <= r < after for r in starts), f"a row began in a click: {before}")
        lines = [line for _, line in sorted(self.truth, key=lambda e: e[0])]
        counts = verify(log, lines)
        # A mask that no row was written with, left between the clicks of a switch, says nothing.
        empty = {line for k, (line, n) in enumerate(counts) if n == 0 and 0 < k < len(counts) - 1}
        base = os.path.join(HERE, "data", name)
        open(base + ".log", "wb").write(log)
        open(base + ".truth", "w").writelines(line + "\n" for line in lines if line not in empty)


def verify(log, truth):
    """Each MASK line of the truth with the number of rows it governs; a failure when a row
    does not hold the values of the mask that was on when it began."""
    masks = [line for line in truth if not line.startswith("#")]
    check(masks[0] == f"0 {ALL_ON}", f"the truth begins {masks[0]}")
    rows, counts = data_rows(log), []
    for k, line in enumerate(masks):
        offset, mask = int(line.split()[0]), line.split()[1]
        end = int(masks[k + 1].split()[0]) if k + 1 < len(masks) else len(log)
        governed = [v for r, v in rows if offset <= r < end]
        for values in governed:
            check(row_shape(mask).fullmatch(values), f"{values!r} after {offset} is no {mask} row")
        counts.append((line, len(governed)))
    print(f"{len(log)} bytes, rows per mask:", ", ".join(f"{l[-8:]} {n}" for l, n in counts if n))
    return counts


def switching(run, s):
    run.rows(8)
    for on in ([0], [1], [6], [7], [0, 7], [1, 6], range(1, 8), range(7), [], range(8)):
        run.channels(on)
        run.rows(7)
    run.note("close")
    s.close()


def session(run, s):
    run.rows(8)
    run.send(PAUSE, what="pause")
    time.sleep(5)
    run.send(PAUSE, what="resume")
    run.rows(6)
    run.send(DEBUG, what="debug off")
    run.rows(10)
    run.note("ecusim stopped")
    run.held()
    check(s.wait_dialog("Error", 30000) is not None, "the lost link brought no box")
    s.tvctl("press", "Error", "OK")
    run.note("message box dismissed")
    time.sleep(8)  # failed attempts meanwhile
    run.note("ecusim started")
    s.start_ecusim()
    run.connect(count=2)
    for on in ([0, 1, 4, 5, 6, 7], [0, 1, 4, 5, 6], [0, 1, 2, 4, 5, 6]):
        run.channels(on)
        run.rows(6)
    run.note("close")
    s.close()


def killed(run, s):
    run.rows(10)
    for on in ([0, 1, 2, 4, 5, 6, 7], [0, 1, 2, 4, 5, 6]):
        run.channels(on)
        run.rows(12)
    # Each row is written whole, with the reader's lines between rows: the kill lands between
    # two writes, and the log ends there, without its end.
    s.tarvex.kill()  # SIGKILL
    s.tarvex.wait(10)
    run.note("kill -9")
    check(b"Session ended" not in s.log(), "a killed run wrote its end")


if __name__ == "__main__":
    names = [a for a in sys.argv[1:] if a != "--check"] or ["switching", "session", "killed"]
    if "--check" in sys.argv:
        for name in names:
            base = os.path.join(HERE, "data", name)
            verify(open(base + ".log", "rb").read(), open(base + ".truth").read().splitlines())
        sys.exit(0)
    make_prefix()
    for name in names:
        for attempt in range(1, 4):
            try:
                with WineSession("record-" + name, ecusim={"com9": ""}) as s:
                    run = Run(s)
                    globals()[name](run, s)  # what the run does to Tarvex
                    run.save(name)
                break
            except E2EFailure as failure:  # timing under load: worth another go
                print(f"{name}, attempt {attempt}: {failure}")
        else:
            sys.exit(f"{name}: no good recording in three attempts")
