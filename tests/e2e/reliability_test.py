#!/usr/bin/env python3
"""End-to-end reliability tests: Tarvex.exe under Wine against ecusim when things go wrong.

Every fault ecusim can play, at the wake-up and in blocks of the opening and of polling; every
byte value through echo and complement; a slow ECU; closing the window every way and in each
state; a kill in the middle of a run; every awkward shape of Tarvex.cfg; a short soak (soak.py
has the long one). Each test is a table of cases run one after another in one Wine session, so
that the prefix and the display start once. CTest runs them one at a time by name (see
CMakeLists.txt); the traces, ecusim summaries and logs of each case stay in
<build>/e2e/artefacts/<test>/.
"""
import os
import re
import time

import soak
from harness import (INITIALISED, READER_LINE, STARTED, TIME, WineSession, check, data_rows,
                     run_named, wait_for)

# What closing may take at most, from the moment the close is posted to "Session ended": the
# window hears a close through every wait of an attempt and of the reader's cycle.
CLOSE_LIMIT_S = 3.0
# A poll request on the line, its counter the second byte: a one-byte memory read of a channel's
# address, or an ADC read.
REQUEST = re.compile(rb"\x06(.)\x01\x01\x00[\x37\x38\x45\x3a\x42\x5d]\x03"
                     rb"|\x04(.)\x08[\x00\x01]\x03", re.S)


def request_counters(trace):
    """The counter of every poll request the program sent, in order."""
    return [(m.group(1) or m.group(2))[0] for m in REQUEST.finditer(trace.sent("tester"))]


def run_fault_table(name, cases):
    """Runs Tarvex against an ecusim playing one fault in its first session only, for each
    case: the ecusim arguments that play it, the log texts the fault must produce (in order),
    the message box ("" for none), and whether the fault breaks the session (a reconnection
    follows) or the session carries on."""
    with WineSession(name, ports=()) as s:
        for args, texts, box, breaks in cases:
            s.start(ecusim=args + " --fault-sessions 1")
            position = 0
            for text in texts:
                s.wait_log(text, 60, f"{args}: {text!r} never logged", since=position)
                position = s.log().find(text, position) + len(text)
            if box:
                # The opening's box has no owner; the reader's, once connected, is the window's.
                owner = "main" if INITIALISED in texts else "none"
                shown = s.wait_dialog("Error", 30000, owner=True)
                check(shown == [owner, box], f"{args}: owner and message box {shown!r}")
                # The window makes no new attempt while the box is up.
                check(s.log().find(INITIALISED, position) < 0, f"{args}: reconnected behind it")
                s.tvctl("press", "Error", "OK")
            # A clean connection after a fault that broke the session, and polling on it; or
            # polling going on after one that did not. A box that came up meanwhile stays up.
            s.wait_polling(args, since=position, connect=breaks)
            s.close(what=args, limit=CLOSE_LIMIT_S)
            # A wake-up for each session, and so a connection at most, the last session ended.
            # (That the fault played, its texts show; the link's unit tests see that a session
            # which failed logged no connection first.)
            s.stop_ecusim(args, wake_ups=1 + breaks, sessions_ended=1)
            s.keep_log(args)


def wake_up_faults():
    # None gives a message box; each attempt fails with its log line and the next tick's
    # attempt, to a healthy ECU, connects. (The second keyword, a wrong echo, and a silence after
    # the sync byte, take the same ways on the line as the first keyword, a missing echo and a
    # silent ECU; the link's unit tests check each text.)
    run_fault_table("wake_up_faults", [(args, [text], "", True) for args, text in [
        ("--sync-byte 0xAA", b"\r\nIncorrect baudrate = AAh"),
        ("--keyword1 0x0C", b"\r\nAnswer not 0x0B"),
        ("--no-fd-echo", b"\r\nIncorrect echo"),
        ("--silent-after-bytes 0", b"\r\nDevice not responding")]])  # a silent ECU


def block_faults():
    # Blocks 3, 5 and 7 are identification blocks of the opening, whose failure the window
    # reports in a box of its own; block 41 answers a poll, whose failure the reader thread
    # reports in a box owned by the main window, except for a wrong counter, after which the
    # next tick reconnects without a word. A length above 202 (255 unless given) is no failure:
    # the block is received whole with its handshake and cut to what a slot holds. (A title
    # refused while polling, and a bad length in the opening, take the ways of the bad length
    # while polling and the title refused in the opening; the link's unit tests check each text.)
    failed, cut = "GetBlock failed", b"\r\nLong block: data cut to 199 bytes"
    filler = bytes(0x20 + i % 64 for i in range(199))  # the data bytes ecusim sends
    logged = filler.replace(b"\\", b"\\x5C")  # the ECU's backslash, escaped in the log
    run_fault_table("block_faults", [
        ("--reject-at-block 5", [b"\r\nWrong title!"], failed, True),  # title 0A
        ("--bad-length-at-block 41 --bad-length 0", [INITIALISED, b"\r\nBad block length = 00h"],
         failed, True),
        ("--bad-length-at-block 7",
         [cut + b"\r\nblockNumber 7 Type = F6 Length = 199 data " + logged + b"\r\n"], "", False),
        ("--bad-length-at-block 41 --bad-length 203", [INITIALISED, cut], "", False),
        ("--silent-at-block 5", [b"\r\nblockNumber 3 "], failed, True),
        ("--silent-at-block 41", [INITIALISED], failed, True),
        ("--wrong-counter-at-block 41",
         [INITIALISED, b"\r\nGetBlock returned block 42 blockNumber 41 Type FE\r\n"], "", True),
        # The adapter pulled out as the answer would begin: the echo of the request's end goes
        # with the port, so it is the request (block 40, a memory read) that fails.
        ("--hang-up-at-block 41 --hang-up-pause-ms 2000", [INITIALISED],
         "SendValueRequestBlock failed", True),
    ])


def every_byte_value_and_slow_ecu():
    with WineSession("every_byte_value_and_slow_ecu", ecusim={"com9": "--sweep-memory"}) as s:
        # The ECU's memory bytes run through 0..255, so every value goes out from the ECU, comes
        # back as the tester's complement and again as the adapter's echo. A byte lost or altered
        # on the way in (Wine's serial code once took 0x11 and 0x13 for flow control) breaks the
        # handshake: the complement the tester sends back is wrong, or it waits for a byte that
        # never comes. So one connection, no box and no protocol error in ecusim mean every value
        # crossed both ways intact.
        s.start()
        wait_for(lambda: all(set(s.ecusim_trace().sent(d)) == set(range(256))
                             for d in ("tester", "echo", "ecu")), 90, "not every value crossed")
        s.close(what="sweep", limit=CLOSE_LIMIT_S)
        # ecusim checks each request's counter: none out of step, through the wrap at 255. One
        # wake-up: the connection never broke while the values swept.
        s.stop_ecusim("sweep", wake_ups=1, sessions_ended=1, protocol_errors=0,
                      tester_counter_errors=0)
        s.keep_log("sweep")

        # A slow ECU, 50 ms before each byte it sends: every read still gets its byte within the
        # tester's wait, so it connects and polls, at about two cycles a second.
        s.start(ecusim="--ecu-delay-us 50000")
        s.wait_polling("slow ECU")
        # A read that gave up would have failed the attempt or the reader: a second wake-up, or a
        # box that close() sees.
        s.close(what="slow ECU", limit=CLOSE_LIMIT_S)
        slow = s.stop_ecusim("slow ECU", wake_ups=1, protocol_errors=0)
        check(slow["poll_cycles"] >= 8, f"the slow ECU answered {slow['poll_cycles']} polls")


# --- closing ---------------------------------------------------------------------------------

# Moments to close in.
polling = lambda s: s.wait_polling("close", answers=16, seconds=30)  # noqa: E731
box_up = lambda s: check(s.wait_dialog("Error", 40000) == ["GetBlock failed"], "no box")  # noqa


def ended_after_the_last_answer(s, trace):
    # The reader is let finish its cycle before the window takes the line back: the last block
    # is the end of the session, with the counter of the last answer.
    s.stop_ecusim("closed while polling", sessions_ended=1, protocol_errors=0,
                  tester_counter_errors=0)
    last = request_counters(trace)[-1]
    check(trace.sent("tester")[-4:] == bytes([0x03, (last + 1) % 256, 0x06, 0x03]),
          f"the last block sent is not the end of the session: {trace.sent('tester')[-8:].hex()}")


NOT_RESPONDING = b"\r\nDevice not responding"


def attempt_broken_off(s, trace):
    """Every attempt before the last ran out with its line in the log; the last, under way, broke
    off without one. Nothing awake answered the end of the session: its first byte went alone.
    (An address turns RTS on twice, or once when it broke off in its first 1.2 s.)"""
    addresses = (sum(on for _, on in trace.rts) + 1) // 2
    check(s.log() == STARTED + NOT_RESPONDING * (addresses - 1) + b"Session ended",
          f"the log of {addresses} attempts ends {s.log()[-80:]!r}")
    check(trace.sent("tester") == b"\x03", f"the program wrote {trace.sent('tester')!r}")


# How the user closes the window; WM_CLOSE (None) is what the window manager sends.
CLOSE_WAYS = [("by the close box", lambda s: s.tvctl("syscommand-close")),
              ("by File > Exit", lambda s: s.key("alt+f", "x")),
              ("by Alt+F4", lambda s: s.key("alt+F4")), ("by WM_CLOSE", None)]
# (what, ecusim arguments, when to close, how, whether it had connected, a further check)
CLOSE_CASES = [(f"while polling, {way}", "", polling, how, True, ended_after_the_last_answer)
               for way, how in CLOSE_WAYS] + [
    ("while the reader's box is up", "--silent-at-block 41", box_up, None, True, None),
    # The attempt runs on the window's thread; the close breaks it off at each of its stages.
    ("during the address", "", WineSession.address_begun, None, False, attempt_broken_off),
    ("waiting for the sync byte", "--silent-after-bytes 0", WineSession.sync_wait_begun, None,
     False, attempt_broken_off),
    ("in the slow opening exchange", "--ecu-delay-us 50000", WineSession.opening_begun, None,
     False, None),
    ("with the attempt's box up", "--silent-at-block 5", box_up, None, False, None),
]


def close_at(s, what, args, when, how, connected, then):
    """Starts Tarvex against an ecusim with `args`, closes it `how` at the moment `when` and
    sees it end within CLOSE_LIMIT_S, the line released; `then` checks the log and the trace."""
    s.start(ecusim=args)
    when(s)
    s.close(how and (lambda: how(s)), what, CLOSE_LIMIT_S, first_no_box=False)
    check((INITIALISED in s.log()) == connected, f"{what}: connected {not connected}")
    s.stop_ecusim(what)
    trace = s.ecusim_trace()
    check(trace.rts and not trace.rts[-1][1], f"{what}: the K-line was left pulled low")
    if then:
        then(s, trace)
    s.keep_log(what)


def close_in_every_state():
    with WineSession("close_in_every_state", ports=()) as s:
        for case in CLOSE_CASES:
            close_at(s, *case)


# --- kill -9 -------------------------------------------------------------------------------

# A data row is written in pieces: the time, a space, each value and each comma, the line end.
VALUE = rb"[ -]*\d+(?:\.\d\d)? (?:F|Volts|RPM|ms|deg)"
ROW_PREFIX = re.compile(rb"(?:" + TIME + rb"(?: (?:" + VALUE + rb"(?:," + VALUE + rb")*,?)?)?)?")


def check_log_is_a_prefix(log, trace):
    """The log of a killed run: each piece goes to the file as it is written, so the log ends
    where a piece ended, and it holds every reader line of the exchange the line shows. (That
    the pieces of several threads land whole and none is lost, tests/unit/log_file_win_test.cpp
    checks on real files; what each line says, the link's unit tests.)"""
    rest = READER_LINE.sub(b"", log)  # the reader's lines, one write each, come out whole
    cut = rest[rest.rfind(b"\n") + 1:]
    check(ROW_PREFIX.fullmatch(cut) is not None, f"the log ends inside a write: {cut!r}")
    # A request is logged just before it goes out, so the last logged one may not have.
    logged, sent = log.count(b"\r\nRequest Block "), len(request_counters(trace))
    check(logged in (sent, sent + 1), f"{logged} requests logged, {sent} on the line")


def kill_mid_run():
    with WineSession("kill_mid_run", ecusim={"com9": ""}) as s:
        s.start()
        wait_for(lambda: len(data_rows(s.log())) >= 6, 60, "no connection and rows")
        s.tarvex.kill()  # SIGKILL
        s.tarvex.wait(10)
        # A kill that missed Tarvex would let it write on: a row every 500 ms.
        log = s.log()
        time.sleep(2)
        check(s.log() == log, "the log changed after the kill")
        s.stop_ecusim()
        check_log_is_a_prefix(log, s.ecusim_trace())


# --- Tarvex.cfg ----------------------------------------------------------------------------

REFUSED = b"Config file refused: the name is longer than 9 characters\r\n"
CONFIG_CASES = [
    # (what, the file's bytes or "directory", the line naming a port that cannot be opened, or
    # the name of one that opens)
    # (A line end in the name, a name of ten bytes, and one of nine, the longest taken, are
    # tests/unit/session_test.cpp's; that \\.\COMn opens past COM9, port_tool_test.py's.)
    ("empty", b"", b"Read Config file: \r\n"),
    # The name ends at a NUL byte, where the C library's conversion of the bytes stops: COM5:
    # opens (a bare port, with nothing behind it).
    ("name and NUL", b"COM5:\x00", b"COM5:"),
    ("200 bytes", b"COM10:" + b" " * 194, REFUSED),  # the whole buffer read
    ("NUL inside", b"COM\x0010:", b"Read Config file: COM\r\n"),
    # A file that cannot be opened counts as no file: the default port, absent here.
    ("a directory", "directory", b"Default port: COM9:\r\n"),
]


def config_shapes():
    with WineSession("config_shapes", ports=("com5",)) as s:
        config = os.path.join(s.workdir, "Tarvex.cfg")
        for what, content, port_line in CONFIG_CASES:
            if content == "directory":
                os.remove(config)
                os.mkdir(config)
            else:
                open(config, "wb").write(content)
            s.start()
            if not port_line.endswith(b"\r\n"):
                opened = b"Starting ...\r\nRead Config file: %s\r\n\r\nCOM Opened\r\n" % port_line
                s.wait_log(opened, 30, f"{what}: not opened")
                check(s.log().startswith(opened), f"{what}: {s.log()[:80]!r}")
                s.close(what=what, limit=CLOSE_LIMIT_S)
            else:
                texts = s.wait_dialog("Error")
                check(texts == ["Cannot open COM port"], f"{what}: message box {texts!r}")
                # The box comes before any tick: the status line has not been written yet.
                check(s.status_text() == "", f"{what}: a tick ran before the message box")
                s.tvctl("press", "Error", "OK")
                wait_for(lambda: s.tarvex.poll() is not None, 15, f"{what}: no end after the box")
                check(s.log() == b"Starting ...\r\n%s\r\n\r\nCannot open COM portSession ended"
                      % port_line, f"{what}: log {s.log()!r}")
            s.keep_log(what)  # so that nothing is read from the last case's log


def soak_two_minutes():
    # 90 s, a reconnection every 30 s, a sample every 5 s, the first 40 s left out as warm-up.
    soak.check_no_growth(soak.run("soak_two_minutes", 90, 30, 5, 40))


if __name__ == "__main__":
    raise SystemExit(run_named([wake_up_faults, block_faults, every_byte_value_and_slow_ecu,
                                close_in_every_state, kill_mid_run, config_shapes,
                                soak_two_minutes]))
