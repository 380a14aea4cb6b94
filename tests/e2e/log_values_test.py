#!/usr/bin/env python3
"""End-to-end tests of what goes into the log: every value was read, in the link that logs it,
every row lands whole, and a start keeps the log that was there.

The rows are checked against the reader's own debug lines around them (Debug is on from the
start): a link's first row must come after an answer to every channel of that link, and no
reader line lands inside a row.
"""
import os
import re
import time

from harness import INITIALISED, TIME, WineSession, check, run_named, wait_for

# One whole data row: the time, then the eight values with their units, nothing between them.
WHOLE_ROW = re.compile(rb"(?<=\n)" + TIME + rb" -?[ \d.]+ F,-?[ \d.]+ F,[ \d.]+ Volts,\d+ RPM,"
                       rb"[ \d.]+ ms,-?[ \d.]+ deg,[ \d.]+ Volts,[ \d.]+ Volts\r\n")
ROW_START = re.compile(rb"(?<=\n)" + TIME + rb" ")
REQUEST = re.compile(rb"\r\nRequest Block (\d+) Parameter = (\d) ")
ANSWER = re.compile(rb"\r\nGetBlock returned block (\d+) blockNumber (\d+) ")


def rows_after(log, since):
    return [m.start() for m in ROW_START.finditer(log, since)]


def check_rows_whole(log, what):
    """Every row is one whole line: no reader line inside it, no piece of it elsewhere."""
    starts = rows_after(log, 0)
    whole = [m.start() for m in WHOLE_ROW.finditer(log)]
    check(starts and starts == whole, f"{what}: {len(starts) - len(whole)} rows of "
          f"{len(starts)} broken, the first at {sorted(set(starts) - set(whole))[:1]}")


def check_first_row_of_each_link(log, what):
    """Each link's first data row comes after its reader answered every channel once; a link
    that never got that far logged no row."""
    links = [m.end() for m in re.finditer(re.escape(INITIALISED), log)] + [len(log)]
    for n, (begin, end) in enumerate(zip(links, links[1:]), 1):
        rows = [r for r in rows_after(log, begin) if r < end]
        before = log[begin:rows[0]] if rows else b""
        # The channel of each request whose answer came (its counter one above the request's).
        asked = {int(block): int(channel) for block, channel in REQUEST.findall(before)}
        answered = {asked.get((int(block) - 1) % 256) for block, _ in ANSWER.findall(before)}
        check(not rows or answered >= set(range(8)),
              f"{what}: link {n}'s first row before channels {set(range(8)) - answered} were read")


def first_rows_of_each_link():
    """The first connection, and one after the ECU fell silent in its first session: the box
    dismissed, then rows again on the next link. A slow ECU, whose round of
    eight polls takes longer than a tick: still no row before every channel was read."""
    with WineSession("first_rows_of_each_link", ports=()) as s:
        for what, args, box in [
                ("silent mid-poll", "--silent-at-block 201 --fault-sessions 1", True),
                ("slow ECU", "--ecu-delay-us 8000", False)]:
            s.start(ecusim=args)
            s.wait_log(INITIALISED, 40, f"{what}: no connection")
            if box:
                check(s.wait_dialog("Error", 40000) == ["GetBlock failed"], f"{what}: no box")
                # No row while the box is up: tests/unit/connection_test.cpp, the box's hook
                # ticking meanwhile.
                check(rows_after(s.log(), 0), f"{what}: no row before the ECU fell silent")
                s.tvctl("press", "Error", "OK")
                s.wait_log(INITIALISED, 40, f"{what}: no reconnection", count=2)
            start = s.log().rfind(INITIALISED)
            wait_for(lambda: len(rows_after(s.log(), start)) >= 3, 30, f"{what}: no rows")
            s.close(what=what)
            s.stop_ecusim(what, wake_ups=2 if box else 1)
            log = s.log()
            check_first_row_of_each_link(log, what)
            check_rows_whole(log, what)
            s.keep_log(what)


def a_start_keeps_the_earlier_log():
    """A Tarvex.log in the working directory is kept under its last change's time, byte for
    byte, and the run writes a log of its own. (A second earlier log of the same second takes the
    next name: tests/unit/log_file_win_test.cpp sees that on real files.)"""
    with WineSession("a_start_keeps_the_earlier_log", ecusim={"com9": ""}) as s:
        earlier = os.path.join(s.workdir, "Tarvex.log")
        text = b"Starting ...\r\nthe first drive\r\n"
        open(earlier, "wb").write(text)
        when = time.mktime((2026, 11, 30, 17, 45, 12, 0, 0, -1))  # local time, as Wine's
        os.utime(earlier, (when, when))
        s.start()
        s.wait_log(INITIALISED, 40, "no connection")
        s.close()
        names = [n for n in os.listdir(s.workdir) if n.startswith("Tarvex-")]
        check(names == ["Tarvex-20261130-174512.log"], f"kept as {names}")
        with open(os.path.join(s.workdir, names[0]), "rb") as f:
            check(f.read() == text, f"{names[0]} is not the earlier log byte for byte")
        check(s.log().startswith(b"Starting ...\r\nDefault port: COM9:\r\n"), "no new log")


if __name__ == "__main__":
    raise SystemExit(run_named([first_rows_of_each_link, a_start_keeps_the_earlier_log]))
