#!/usr/bin/env python3
"""End-to-end reliability tests: Tarvex.exe under Wine against ecusim when things go wrong.

Every fault ecusim can play, at the wake-up and in blocks of the opening and of polling; every
byte value through echo and complement; a slow ECU; closing the window in each state; a kill in
the middle of a run; every awkward shape of Tarvex.cfg; a short soak (soak.py has the long one).
Each test is a table of cases run one after another in one Wine session, so that the prefix and
the display start once. CTest runs them one at a time by name (see CMakeLists.txt); the traces,
ecusim summaries and logs of each case stay in <build>/e2e/artefacts/<test>/.
"""
import os
import re
import signal
import time

from harness import WineSession, check, run_named
from link_test import HEADER_ROW, requests, wait_log
import soak

INITIALISED = b"Initialised OK!\r\n"
ANSWER = re.compile(rb"\r\nGetBlock returned block (\d+) blockNumber (\d+) Type ([ 0-9A-F]{2})\r\n")
# What closing must take at most, from the moment the close is posted to "Session ended".
CLOSE_LIMIT_S = 3.0


def dialog_owner(s, title):
    """'main' when the dialog is owned by Tarvex's main window, 'none' when it has no owner."""
    rc, out = s.tvctl("owner", title)
    check(rc == 0, f"no dialog {title!r} to ask about")
    return out.strip()


def timed_close(s):
    """Posts WM_CLOSE and returns the seconds until the log ended with "Session ended".

    The clock starts when tvctl has posted the message, as in link_test.close_quickly."""
    s.tvctl("close")
    start = time.monotonic()
    s.wait_for(lambda: s.log().endswith(b"Session ended"), 15, "the log never ended")
    took = time.monotonic() - start
    check(s.wait_exit(15), "Tarvex did not end")
    check(s.log().count(b"Session ended") == 1, "Session ended written more than once")
    return took


def close_within_limit(s, what):
    took = timed_close(s)
    check(took < CLOSE_LIMIT_S, f"{what}: closing took {took:.1f} s")
    return took


def answers_after(log, position):
    return len(ANSWER.findall(log, position))


def run_fault_case(s, case):
    """One run of Tarvex against an ecusim playing one fault in its first session only.

    case: what, ecusim arguments, the log texts the fault must produce (in order), the message
    box ("" for none) and its owner, and whether the fault breaks the session (a reconnection
    follows) or the session carries on."""
    what, args, texts, box, owner, breaks = case
    s.start_ecusim("com9", list(args) + ["--fault-sessions", "1"])
    s.start()
    position = 0
    for text in texts:
        s.wait_for(lambda: s.log().find(text, position) >= 0, 60,
                   f"{what}: {text!r} never logged")
        position = s.log().find(text, position) + len(text)
    if box:
        shown = s.wait_dialog("Error", 30000)
        check(shown == [box], f"{what}: message box {shown!r}")
        check(dialog_owner(s, "Error") == owner, f"{what}: the box is not owned by {owner}")
        # The window makes no new attempt while the box is up.
        check(s.log().find(INITIALISED, position) < 0, f"{what}: reconnected behind the box")
        s.tvctl("press", "Error", "OK")
    else:
        check(s.wait_dialog("Error", 300) is None, f"{what}: a message box came up")
    # A clean connection after a fault that broke the session, and polling on it; or polling
    # going on after one that did not.
    connected = position
    if breaks:
        s.wait_for(lambda: s.log().find(INITIALISED, position) >= 0, 60,
                   f"{what}: no connection after the fault")
        connected = s.log().find(INITIALISED, position)
    s.wait_for(lambda: answers_after(s.log(), connected) >= 8, 60,
               f"{what}: no polling after the fault")
    check(s.wait_dialog("Error", 300) is None, f"{what}: a message box after the reconnection")
    close_within_limit(s, what)
    summary = s.stop_ecusim()
    log = s.log()
    check(summary.get("faults injected", 0) >= 1, f"{what}: ecusim injected nothing {summary}")
    check(summary.get("wake-ups") == (2 if breaks else 1), f"{what}: ecusim summary {summary}")
    check(summary.get("sessions ended") == 1, f"{what}: the last session was not ended {summary}")
    connections = 2 if breaks and INITIALISED in texts else 1
    check(log.count(INITIALISED) == connections, f"{what}: {log.count(INITIALISED)} connections")
    check(log.endswith(b"Session ended"), f"{what}: log ends {log[-40:]!r}")
    os.replace(os.path.join(s.workdir, "Tarvex.log"),
               os.path.join(s.artefacts, f"Tarvex-{what.replace(' ', '-')}.log"))


def run_fault_table(name, cases):
    with WineSession(name, ecusim={"com9": []}) as s:
        s.stop_ecusim()  # each case starts its own
        for case in cases:
            run_fault_case(s, case)
        print(f"{len(cases)} scenarios passed")


# Faults at the wake-up: none gives a message box; each attempt fails with its log line and the
# next tick's attempt, to a healthy ECU, connects.
WAKE_UP_CASES = [
    ("wrong sync byte", ["--sync-byte", "0xAA"], [b"\r\nIncorrect baudrate = AAh"], "", "", True),
    ("wrong keyword 1", ["--keyword1", "0x0C"], [b"\r\nAnswer not 0x0B"], "", "", True),
    ("wrong keyword 2", ["--keyword2", "0x03"], [b"\r\nAnswer not 0x02"], "", "", True),
    ("no echo of FD", ["--no-fd-echo"], [b"\r\nIncorrect echo"], "", "", True),
    ("wrong echo of FD", ["--wrong-fd-echo", "0xFC"], [b"\r\nIncorrect echo"], "", "", True),
    ("silent ECU", ["--silent-after-bytes", "0"], [b"\r\nDevice not responding"], "", "", True),
    ("silent after the sync", ["--silent-after-bytes", "1"], [b"\r\nDevice not responding"],
     "", "", True),
]


def wake_up_faults():
    run_fault_table("wake_up_faults", WAKE_UP_CASES)


# Faults in blocks. Block 5 is an identification block of the opening, whose failure the window
# reports in a box of its own; block 41 answers a poll, whose failure the reader thread reports
# in a box owned by the main window. A length above 202 is no failure: the block is received
# whole with its handshake and cut to what a slot holds.
BLOCK_CASES = [
    ("title 0A at an identification block", ["--reject-at-block", "5"],
     [b"\r\nWrong title!"], "GetBlock failed", "none", True),
    ("title 0A in a poll answer", ["--reject-at-block", "41"],
     [INITIALISED, b"\r\nWrong title!"], "GetBlock failed", "main", True),
    ("length 2 at an identification block", ["--bad-length-at-block", "3", "--bad-length", "2"],
     [b"\r\nBad block length = 02h"], "GetBlock failed", "none", True),
    ("length 0 in a poll answer", ["--bad-length-at-block", "41", "--bad-length", "0"],
     [INITIALISED, b"\r\nBad block length = 00h"], "GetBlock failed", "main", True),
    ("length 255 at an identification block", ["--bad-length-at-block", "7"],
     [b"\r\nLong block: data cut to 199 bytes\r\nblockNumber 7 Type = F6 Length = 199 data "
      + bytes(0x20 + i % 64 for i in range(199)) + b"\r\n"], "", "", False),
    ("length 203 in a poll answer", ["--bad-length-at-block", "41", "--bad-length", "203"],
     [INITIALISED, b"\r\nLong block: data cut to 199 bytes"], "", "", False),
    ("silence at an identification block", ["--silent-at-block", "5"],
     [b"\r\nblockNumber 3 "], "GetBlock failed", "none", True),
    # Pulled out as the answer would begin: the echo of the request's end goes with the port,
    # so it is the request (block 40, a memory read) that fails.
    ("adapter pulled out at a poll answer", ["--hang-up-at-block", "41",
                                             "--hang-up-pause-ms", "2000"],
     [INITIALISED], "SendValueRequestBlock failed", "main", True),
]


def block_faults():
    run_fault_table("block_faults", BLOCK_CASES)


def every_byte_value_and_slow_ecu():
    with WineSession("every_byte_value_and_slow_ecu", ecusim={"com9": ["--sweep-memory"]}) as s:
        # The ECU's memory bytes run through 0..255, so every value goes out from the ECU, comes
        # back as the tester's complement and again as the adapter's echo. A byte lost or altered
        # on the way in (Wine's serial code once took 0x11 and 0x13 for flow control) breaks the
        # handshake: the complement the tester sends back is wrong, or it waits for a byte that
        # never comes. So one connection, no box and no protocol error in ecusim mean every value
        # crossed both ways intact.
        s.start()
        wait_log(s, INITIALISED, 30, "no connection")
        every = set(range(256))

        def all_values_seen():
            t = s.ecusim_trace()
            return all(set(t.sent(d)) == every for d in ("tester", "echo", "ecu"))

        s.wait_for(all_values_seen, 90, "not every byte value crossed the line")
        log = s.log()
        check(log.count(INITIALISED) == 1, "the connection broke while the values swept")
        check(s.wait_dialog("Error", 300) is None, "a message box came up")
        close_within_limit(s, "sweep")
        summary = s.stop_ecusim()
        check(summary.get("protocol errors") == 0, f"ecusim summary {summary}")
        check(summary.get("tester counter errors") == 0, f"ecusim summary {summary}")
        check(summary.get("sessions ended") == 1, f"ecusim summary {summary}")
        polled = requests(s.ecusim_trace())
        check(len(polled) >= 340, f"only {len(polled)} requests")
        sweep_requests = len(polled)
        check(all(counter == (14 + 2 * i) % 256 for i, (counter, _) in enumerate(polled)),
              "the request counters did not run on through their wrap")
        os.replace(os.path.join(s.workdir, "Tarvex.log"),
                   os.path.join(s.artefacts, "Tarvex-sweep.log"))

        # A slow ECU, 50 ms before each byte it sends: every read still gets its byte within the
        # tester's wait, so it connects and polls, at about two cycles a second.
        s.start_ecusim("com9", ["--ecu-delay-us", "50000"])
        s.start()
        wait_log(s, INITIALISED, 60, "no connection to the slow ECU")
        connected = s.log().index(INITIALISED)
        s.wait_for(lambda: answers_after(s.log(), connected) >= 8, 60,
                   "the slow ECU was not polled through all eight channels")
        check(s.wait_dialog("Error", 300) is None, "a message box came up")
        close_within_limit(s, "slow ECU")
        log = s.log()
        check(log.count(INITIALISED) == 1, "the slow connection broke")
        check(b"Device not responding" not in log, "a read gave up on the slow ECU")
        summary = s.stop_ecusim()
        check(summary.get("wake-ups") == 1 and summary.get("protocol errors") == 0,
              f"ecusim summary {summary}")
        check(summary.get("poll cycles", 0) >= 8, f"ecusim summary {summary}")
    print(f"every byte value crossed both ways in {sweep_requests} polls, without a fault; "
          f"the 50 ms ECU answered {summary['poll cycles']} polls")


def close_in_every_state():
    """Closing while polling and while the reader's box is up; connecting has a test of its
    own."""
    figures = []
    with WineSession("close_in_every_state", ecusim={"com9": []}) as s:
        # While polling: the reader ends its cycle and the session is ended on the line.
        s.start()
        wait_log(s, INITIALISED, 30, "no connection")
        s.wait_for(lambda: answers_after(s.log(), 0) >= 16, 30, "no polling")
        took = close_within_limit(s, "while polling")
        figures.append(("while polling", took))
        summary = s.stop_ecusim()
        check(summary.get("sessions ended") == 1, f"no end of session on the line {summary}")
        os.replace(os.path.join(s.workdir, "Tarvex.log"),
                   os.path.join(s.artefacts, "Tarvex-polling.log"))

        # While the reader's box is up: the box goes with its owner.
        s.start_ecusim("com9", ["--silent-at-block", "41"])
        s.start()
        check(s.wait_dialog("Error", 40000) == ["GetBlock failed"], "no message box")
        took = close_within_limit(s, "while the box is up")
        figures.append(("while the reader's box is up", took))
        check(s.wait_dialog("Error", 300) is None, "the box outlived the program")
        s.stop_ecusim()
    for what, took in figures:
        print(f"closed {what} in {took:.2f} s")


STARTED = b"\r\nCOM Opened\r\n"


def close_while_connecting():
    """Closing at each stage of a connection attempt, which runs on the window's thread: the
    window hears a close through the attempt's waits, so the close breaks the attempt off at
    once. The end-of-session block follows, as at every close."""
    figures = []

    def close_stage(s, what, log_end):
        took = close_within_limit(s, what)
        figures.append((what, took))
        log = s.log()
        check(log.endswith(log_end), f"{what}: the log ends {log[-80:]!r}")
        check(INITIALISED not in log, f"{what}: the attempt went on")
        check(s.wait_dialog("Error", 300) is None, f"{what}: a box outlived the program")
        s.stop_ecusim()
        trace = s.ecusim_trace()
        check(trace.rts and not trace.rts[-1][1], f"{what}: the K-line was left pulled low")
        os.replace(os.path.join(s.workdir, "Tarvex.log"),
                   os.path.join(s.artefacts, f"Tarvex-{what.replace(' ', '-')}.log"))
        return trace

    with WineSession("close_while_connecting", ecusim={"com9": []}) as s:
        # In the address bits, as soon as the first wake-up has begun.
        s.start()
        s.wait_for(lambda: s.ecusim_trace().rts, 30, "no wake-up began")
        trace = close_stage(s, "during the address", STARTED + b"Session ended")
        # Nothing is awake to answer the end-of-session block: its first byte goes out alone.
        check(trace.sent("tester") == b"\x03", f"the program wrote {trace.sent('tester')!r}")

        # In the wait for the sync byte, of an ECU that never answers.
        s.start_ecusim("com9", ["--silent-after-bytes", "0"])
        s.start()
        # The address 0x10 moves RTS four times; the last, 1.8 s in, is the release for the
        # parity and stop bits, and the wait for the sync byte runs from 2.0 s to 3.5 s.
        s.wait_for(lambda: len(s.ecusim_trace().rts) >= 4, 30, "the address never ended")
        time.sleep(0.7)
        trace = close_stage(s, "waiting for the sync byte", STARTED + b"Session ended")
        check(trace.sent("tester") == b"\x03", f"the program wrote {trace.sent('tester')!r}")

        # In the opening exchange, with an ECU taking 50 ms before each byte.
        s.start_ecusim("com9", ["--ecu-delay-us", "50000"])
        s.start()
        wait_log(s, b"\r\nblockNumber 1 ", 30, "the opening exchange never began")
        close_stage(s, "in the slow opening exchange", b"Session ended")

        # With the attempt's box up ("GetBlock failed", owned by no window).
        s.start_ecusim("com9", ["--silent-at-block", "5"])
        s.start()
        check(s.wait_dialog("Error", 30000) == ["GetBlock failed"], "no message box")
        close_stage(s, "with the attempt's box up", b"Session ended")
    for what, took in figures:
        print(f"closed {what} in {took:.2f} s")


# --- kill -9 -------------------------------------------------------------------------------

VALUE = rb"[ -]*\d+(?:\.\d\d)? (?:F|Volts|RPM|ms|deg)"
TIME = rb"\d{1,2}:\d\d:\d\d [AP]M"
ROW = re.compile(TIME + rb" " + VALUE + rb"(?:," + VALUE + rb"){7}\r\n")
# A row is written in pieces: the time, a space, each value and each comma, the line end. A row
# cut off by the kill ends after one of those pieces.
ROW_PREFIX = re.compile(rb"(?:" + TIME + rb"(?: (?:" + VALUE + rb"(?:," + VALUE + rb")*,?)?)?)?")
# The reader's lines are one write each, whole even when they land inside a row.
READER_LINE = re.compile(rb"\r\nRequest Block (\d+) Parameter = (\d) vals [0-9a-f]+ [0-9a-f]+ "
                         rb"[0-9a-f]+\r\n|" + ANSWER.pattern)
OPENING = re.compile(rb"Starting \.\.\.\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n"
                     rb"(?:\r\nblockNumber (?:1|3|5|7|9|11|13) Type = F6 Length = \d+ data "
                     rb"[ -~]*){7}\r\nReader Thread Started\r\nInitialised OK!\r\n")


def check_log_is_a_prefix(log, trace):
    """The log of a killed run: every line whole and of a known kind, the end at a write
    boundary, and no reader line lost: their counters run on without a gap, as far as the line
    shows the exchange went."""
    units = list(READER_LINE.finditer(log))
    rest = READER_LINE.sub(b"", log)
    opening = OPENING.match(rest)
    check(opening is not None, f"the opening lines are not whole: {rest[:300]!r}")
    position = opening.end()
    header = HEADER_ROW.match(rest, position)
    check(header is not None, f"no header row after the opening: {rest[position:][:120]!r}")
    position = header.end()
    rows = 0
    while True:
        row = ROW.match(rest, position)
        if not row:
            break
        rows += 1
        position = row.end()
    tail = rest[position:]
    check(ROW_PREFIX.fullmatch(tail) is not None, f"the log ends inside a write: {tail!r}")
    check(rows >= 4, f"only {rows} rows before the kill")

    # Request, answer, request, ...: counters two apart from 14, each answer one after its
    # request, the channels in turn.
    expected = 14
    for i, unit in enumerate(units):
        if i % 2 == 0:
            check(unit.group(1) is not None, f"reader line {i} is not a request")
            check(int(unit.group(1)) == expected and int(unit.group(2)) == (i // 2) % 8,
                  f"reader line {i} is {unit.group(0)!r}, not request {expected}")
        else:
            check(unit.group(3) is not None and int(unit.group(3)) == expected + 1 and
                  int(unit.group(4)) == expected + 1, f"reader line {i} is {unit.group(0)!r}")
            expected = (expected + 2) % 256
    logged = (len(units) + 1) // 2
    sent = len(requests(trace))
    # A request is logged just before it goes out, so the last logged one may not have.
    check(logged in (sent, sent + 1), f"{logged} requests logged, {sent} on the line")
    return rows, len(units)


def kill_mid_run():
    with WineSession("kill_mid_run", ecusim={"com9": []}) as s:
        s.start()
        wait_log(s, INITIALISED, 30, "no connection")
        s.wait_for(lambda: len(ROW.findall(READER_LINE.sub(b"", s.log()))) >= 6, 30, "no rows")
        os.kill(s.tarvex.pid, signal.SIGKILL)
        s.tarvex.wait(10)
        check(s.tvctl("gone", 10000)[0] == 0, "the window outlived the kill")
        log = s.log()
        check(b"Session ended" not in log, "a killed run wrote its end")
        time.sleep(2)
        check(s.log() == log, "the log changed after the kill")
        s.stop_ecusim()
        rows, lines = check_log_is_a_prefix(log, s.ecusim_trace())
        print(f"killed after {len(log)} bytes: {rows} rows and {lines} reader lines, all whole")


# --- Tarvex.cfg ----------------------------------------------------------------------------

NINE = b"\\\\.\\COM10"  # \\.\COM10: nine bytes, the longest name taken
CONFIG_CASES = [
    # (what, the file's bytes or "directory", the line naming the port, or for a name that
    # connects, that name)
    ("empty", b"", b"Read Config file: \r\n"),
    ("CR LF alone", b"\r\n", b"Read Config file: \r\n\r\n"),
    ("name and CR LF", b"COM10:\r\n", b"Read Config file: COM10:\r\n\r\n"),
    ("nine bytes", NINE, NINE),
    # The name ends at a NUL byte, where the C library's conversion of the bytes stops: COM5:
    # opens (a bare port, with nothing behind it).
    ("name and NUL", b"COM5:\x00", b"COM5:"),
    ("ten bytes", NINE + b":", b"Config file refused: the name is longer than 9 characters\r\n"),
    ("200 bytes", b"COM10:" + b" " * 194,
     b"Config file refused: the name is longer than 9 characters\r\n"),
    ("NUL inside", b"COM\x0010:", b"Read Config file: COM\r\n"),
    # A file that cannot be opened counts as no file: the default port, absent here.
    ("a directory", "directory", b"Default port: COM9:\r\n"),
]


def config_shapes():
    with WineSession("config_shapes", ports=("com5",), ecusim={"com10": []}) as s:
        config = os.path.join(s.workdir, "Tarvex.cfg")
        for what, content, port_line in CONFIG_CASES:
            if os.path.isdir(config):
                os.rmdir(config)
            if content == "directory":
                os.remove(config)
                os.mkdir(config)
            else:
                s.write_config(content)
            log_path = os.path.join(s.workdir, "Tarvex.log")
            if os.path.exists(log_path):
                os.remove(log_path)  # so that nothing is read from the last case's log
            s.start()
            if not port_line.endswith(b"\r\n"):
                opened = (b"Starting ...\r\nRead Config file: " + port_line +
                          b"\r\n\r\nCOM Opened\r\n")
                wait_log(s, opened, 30, f"{what}: the port did not open")
                if port_line == NINE:
                    wait_log(s, INITIALISED, 30, f"{what}: no connection")
                check(s.log().startswith(opened), f"{what}: {s.log()[:80]!r}")
                close_within_limit(s, what)
                continue
            texts = s.wait_dialog("Error")
            check(texts == ["Cannot open COM port"], f"{what}: message box {texts!r}")
            s.tvctl("press", "Error", "OK")
            check(s.wait_exit(15), f"{what}: Tarvex did not end after the message box")
            expected = (b"Starting ...\r\n" + port_line + b"\r\n\r\nCannot open COM port"
                        b"Session ended")
            check(s.log() == expected, f"{what}: log {s.log()!r}")
        summary = s.stop_ecusim()
        check(summary.get("wake-ups") == 1, f"only the nine-byte name connects: {summary}")
    print(f"{len(CONFIG_CASES)} shapes of Tarvex.cfg passed")


def soak_two_minutes():
    result = soak.run("soak_two_minutes", seconds=90, reconnect_every_s=30, sample_every_s=5,
                      warm_up_s=40)
    soak.check_no_growth(result)


TESTS = [wake_up_faults, block_faults, every_byte_value_and_slow_ecu, close_in_every_state,
         close_while_connecting, kill_mid_run, config_shapes, soak_two_minutes]

if __name__ == "__main__":
    raise SystemExit(run_named({f.__name__: f for f in TESTS}))
