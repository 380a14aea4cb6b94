#!/usr/bin/env python3
"""End-to-end tests of the ECU link: Tarvex.exe under Wine against ecusim through the RTS bridge.

Each test is one function; CTest runs them one at a time by name (see CMakeLists.txt).
ecusim's trace, summary and Tarvex's log stay in <build>/e2e/artefacts/<test>/.
"""
import re
import time

from harness import WineSession, check, run_named

CHANNEL_NAMES = (b"Intake Air Temp,Cylinder Head Temp,AFM Voltage,RPM,Injector Time,"
                 b"Ignition Advance,MAF Sensor,Battery")
HEADER_ROW = re.compile(rb"\d{1,2}:\d\d:\d\d [AP]M," + CHANNEL_NAMES + rb"\r\n")
BLOCK_LINE = re.compile(rb"\r\nblockNumber (\d+) Type = ([ 0-9A-F]{2}) Length = (\d+) data ")
# The request each channel's poll puts on the line: memory reads of one byte, then two ADC reads.
MEMORY_ADDRESSES = [0x37, 0x38, 0x45, 0x3A, 0x42, 0x5D]
REQUEST = re.compile(rb"\x06(.)\x01\x01\x00([\x37\x38\x45\x3a\x42\x5d])\x03|\x04(.)\x08([\x00\x01])\x03",
                     re.S)


def wait_log(s, text, seconds, message, count=1):
    s.wait_for(lambda: s.log().count(text) >= count, seconds, message)


def requests(trace):
    """(counter, channel) of every request the program sent, in order."""
    out = []
    for m in REQUEST.finditer(trace.sent("tester")):
        if m.group(1) is not None:
            out.append((m.group(1)[0], MEMORY_ADDRESSES.index(m.group(2)[0])))
        else:
            out.append((m.group(3)[0], 6 + m.group(4)[0]))
    return out


def close_quickly(s):
    """Closes the window; the log must end with "Session ended" within 3 s of the request.

    The clock starts when tvctl has posted WM_CLOSE, not when wine began starting tvctl."""
    s.tvctl("close")
    start = time.monotonic()
    s.wait_for(lambda: s.log().endswith(b"Session ended"), 10, "the log never ended")
    took = time.monotonic() - start
    check(took < 3.0, f"closing took {took:.1f} s")
    check(s.wait_exit(15), "Tarvex did not end")
    return s.log()


def connect_poll_and_close():
    with WineSession("connect_poll_and_close", ecusim={"com9": []}) as s:
        s.start()
        wait_log(s, b"Initialised OK!\r\n", 30, "no connection")
        time.sleep(5)
        log = s.log()
        # The seven identification blocks, then the success lines and the header row.
        lines = BLOCK_LINE.findall(log)
        check([int(n) for n, _, _ in lines] == [1, 3, 5, 7, 9, 11, 13],
              f"block lines: {lines!r}")
        opened = log.index(b"\r\nblockNumber 13 ")
        success = log.index(b"\r\nReader Thread Started\r\nInitialised OK!\r\n", opened)
        header = HEADER_ROW.search(log, success)
        check(header is not None, "no header row after the connection")
        check(b"\r\nRequest Block 14 Parameter = 0 vals 1 0 37\r\n" in log, "no first request line")
        check(b"\r\nGetBlock returned block 15 blockNumber 15 Type FE\r\n" in log,
              "no first answer line")

        # ecusim saw the eight channels requested in turn, counters two apart from 14.
        polled = requests(s.ecusim_trace())
        check(len(polled) >= 40, f"only {len(polled)} requests in 5 s")
        for i, (counter, channel) in enumerate(polled):
            check(counter == (14 + 2 * i) % 256, f"request {i} carries counter {counter}")
            check(channel == i % 8, f"request {i} is for channel {channel}")

        close_quickly(s)
        # The last block on the line is the end of the session, with the counter of the last
        # answer: the reader was let finish its cycle before the window took the line back.
        trace = s.ecusim_trace()
        tester = trace.sent("tester")
        last_request = requests(trace)[-1][0]
        check(tester[-4:] == bytes([0x03, (last_request + 1) % 256, 0x06, 0x03]),
              f"the last block sent is not the end of the session: {tester[-8:].hex()}")
        summary = s.stop_ecusim()
        check(summary.get("sessions ended") == 1, f"ecusim summary {summary!r}")
        check(summary.get("protocol errors") == 0, f"ecusim summary {summary!r}")


def silence_then_reconnect():
    # The first session's ECU falls silent at an answer; the next wake-up is healthy.
    with WineSession("silence_then_reconnect",
                     ecusim={"com9": ["--silent-at-block", "41", "--fault-sessions", "1"]}) as s:
        s.start()
        texts = s.wait_dialog("Error", 40000)
        check(texts == ["GetBlock failed"], f"message box {texts!r}")
        # While the box is up the window still sees the link as up and makes no new attempt.
        check(s.status_text().startswith("Running: "), "the status line left Running")
        before = s.ecusim_trace().rts
        time.sleep(2)
        check(s.ecusim_trace().rts == before, "a wake-up went out while the box was up")
        s.tvctl("press", "Error", "OK")
        wait_log(s, b"Initialised OK!\r\n", 30, "no reconnection after the box", count=2)
        check(len(HEADER_ROW.findall(s.log())) == 2, "each connection by the tick has a header")
        close_quickly(s)
        summary = s.stop_ecusim()
        check(summary.get("wake-ups") == 2, f"ecusim summary {summary!r}")


def wrong_counter_reconnects_silently():
    with WineSession("wrong_counter_reconnects_silently",
                     ecusim={"com9": ["--wrong-counter-at-block", "41", "--fault-sessions", "1"]}
                     ) as s:
        s.start()
        wait_log(s, b"Initialised OK!\r\n", 40, "no reconnection", count=2)
        check(s.wait_dialog("Error", 1000) is None, "a message box came up")
        log = s.log()
        check(b"\r\nGetBlock returned block 42 blockNumber 41 Type FE\r\n" in log,
              "the debug line does not show the wrong counter")
        close_quickly(s)


def pause_before_connection():
    # The first wake-up gets a wrong sync byte. The Pause button's command, posted during that
    # attempt, waits in the queue until it has failed: the next attempt is the click's, and
    # connects without a header row.
    with WineSession("pause_before_connection",
                     ecusim={"com9": ["--sync-byte", "0xAA", "--fault-sessions", "1"]}) as s:
        s.start()
        s.wait_for(lambda: s.ecusim_trace().rts, 20, "no wake-up began")
        s.tvctl("post", 112)
        wait_log(s, b"Initialised OK!\r\n", 40, "Pause made no connection")
        time.sleep(2)
        log = s.log()
        check(log.count(b"\r\nIncorrect baudrate = AAh") == 1, "not exactly one failed attempt")
        check(HEADER_ROW.search(log) is None, "a connection made by Pause wrote a header row")
        check(s.tvctl("text", 112)[1].strip() == "Pause", "the caption is not Pause")
        check(s.status_text().startswith("Running: "), "not running after Pause connected")
        close_quickly(s)


def unplug_and_replug():
    # The adapter is pulled out 12 s after ecusim starts and plugged back in 5 s later.
    with WineSession("unplug_and_replug",
                     ecusim={"com9": ["--hang-up-after-ms", "12000",
                                      "--hang-up-pause-ms", "5000"]}) as s:
        s.start()
        wait_log(s, b"Initialised OK!\r\n", 30, "no connection")
        texts = s.wait_dialog("Error", 30000)
        check(texts is not None and texts[0].endswith(" failed"), f"message box {texts!r}")
        s.tvctl("press", "Error", "OK")
        wait_log(s, b"Initialised OK!\r\n", 60, "no reconnection after the replug", count=2)
        log = s.log()
        unplugged = log[log.index(b"Initialised OK!"):log.rindex(b"\r\nblockNumber 1 ")]
        check(b"\r\nCannot Set Timeouts" in unplugged or b"\r\nCannot Set State" in unplugged
              or b"\r\nCannot reopen COM port" in unplugged or
              b"\r\nDevice not responding" in unplugged,
              f"nothing logged while unplugged: {unplugged[-300:]!r}")
        close_quickly(s)
        summary = s.stop_ecusim()
        check(summary.get("hang-ups") == 1, f"ecusim summary {summary!r}")


def close_while_the_reader_shows_a_message():
    with WineSession("close_while_the_reader_shows_a_message",
                     ecusim={"com9": ["--silent-at-block", "41"]}) as s:
        s.start()
        check(s.wait_dialog("Error", 40000) == ["GetBlock failed"], "no message box")
        close_quickly(s)
        log = s.log()
        check(log.endswith(b"Session ended"), "the log does not end with Session ended")


if __name__ == "__main__":
    raise SystemExit(run_named({f.__name__: f for f in [
        connect_poll_and_close, silence_then_reconnect, wrong_counter_reconnects_silently,
        pause_before_connection, unplug_and_replug, close_while_the_reader_shows_a_message]}))
