#!/usr/bin/env python3
"""tarvex-log against inputs made to break it: each run ends, with its exit status, in bounded
memory, and leaves the log and any existing output as they were where it fails.

    limits_test.py TARVEX_LOG WORKDIR [--sanitized]

The large inputs are streamed through a FIFO, so that a gigabyte of input costs no disk. Each
case prints its time and peak memory (counted from the fork, so Python's own is in it too); a run that takes more than a minute counts as a hang.
"""
import os
import shutil
import subprocess
import sys
import threading
import time

TOOL, WORK = sys.argv[1], sys.argv[2]
# Under the sanitizers, freed memory is kept by their allocator: the peak is shown, not judged.
JUDGE_PEAK = "--sanitized" not in sys.argv[3:]
PEAK_LIMIT_MB = 64
HANG_SECONDS = 60

START = b"Starting ...\r\nRead Config file: COM1:\r\n\r\nCOM Opened\r\n"
CONNECT = b"Reader Thread Started\r\nInitialised OK!\r\n"
NAMES = (b",Intake Air Temp,Cylinder Head Temp,AFM Voltage,RPM,Injector Time,"
         b"Ignition Advance,MAF Sensor,Battery\r\n")
VALUES = b" 32.65 F,89.00 F, 1.96 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts\r\n"
HEAD = START + CONNECT + b"7:00:00 PM" + NAMES


def clock(seconds):
    """Tarvex's time of day for `seconds` after midnight: "7:00:00 PM"."""
    h, m, s = seconds // 3600 % 24, seconds // 60 % 60, seconds % 60
    return b"%d:%02d:%02d %s" % ((h + 11) % 12 + 1, m, s, b"AM" if h < 12 else b"PM")


def repeated(first, chunk, times, last=b"Session ended"):
    """A log that is `first`, `chunk` `times` over, then `last`: made as it is read."""
    def make():
        yield first
        for _ in range(times):
            yield chunk
        yield last
    return make


ROW = b"7:00:01 PM" + VALUES
ONE_LONG_LINE = repeated(HEAD + ROW, b"7" * (1 << 20), 1024,
                         b"\r\n7:00:02 PM" + VALUES + b"Session ended")
ATTEMPT_LINES = repeated(HEAD + ROW + b"Device not responding\r\n",  # 1 M lines
                         b"Device not responding\r\nCannot Set State\r\n" * 10000, 50)
ROWS_IN_ONE_SECOND = repeated(HEAD, ROW * 10000, 200)  # 2 M rows


def gaps():
    """A row every 7 seconds for 20 days of clock time: each one a gap, midnight again and again."""
    yield HEAD
    batch = []
    for i in range(250000):
        batch.append(clock(19 * 3600 + i * 7) + VALUES)
        if len(batch) == 5000:
            yield b"".join(batch)
            batch = []
    yield b"".join(batch) + b"Session ended"


def fed(name, make):
    """A FIFO that a thread fills with what `make` yields; a reader that stops early ends it."""
    path = os.path.join(WORK, name)
    os.mkfifo(path)

    def feed():
        try:
            with open(path, "wb") as fifo:
                for piece in make():
                    fifo.write(piece)
        except BrokenPipeError:
            pass

    threading.Thread(target=feed, daemon=True).start()
    return path


def write(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    session = write("session.log", HEAD + b"7:00:01 PM" + VALUES + b"Session ended")
    os.link(session, os.path.join(WORK, "second-name.log"))
    # a short log whose RPM no 16-bit reading gives
    huge_rpm = write("huge-rpm.log", HEAD + b"7:00:01 PM" + VALUES.replace(b"800 RPM", b"9" * 15 + b" RPM")
                     + b"Session ended")
    existing = write("existing.csv", b"kept,as,it,was\r\n")
    out = os.path.join(WORK, "out.html")

    # what | arguments | expected status | a text standard error must hold | files that must stay
    # (The log as its own output by its own name, and an input that is no log, with an existing
    # output, are cli_test.sh's.)
    cases = [
        ("a short log with a 15-digit RPM", ["report", huge_rpm, "-o", out], 0,
         "a row with a field that is no value", [huge_rpm]),
        ("the log as its own output by a second name",
         ["csv", session, "-o", os.path.join(WORK, "second-name.log")], 1,
         "is the log itself", [session]),
        ("a line of 1 GB", ["csv", fed("long-line.log", ONE_LONG_LINE), "-o", out], 0,
         "a line longer than 4096 bytes", []),
        ("/dev/zero", ["events", "/dev/zero", "-o", existing], 1,
         "is no Tarvex log", [existing]),
        ("/dev/urandom", ["csv", "/dev/urandom", "-o", existing], 1,
         "is no Tarvex log", [existing]),
        ("1 M attempt lines", ["events", fed("attempts.log", ATTEMPT_LINES), "-o", out], 0,
         "tarvex-log: 1 rows", []),
        ("2 M rows in one second", ["report", fed("flood.log", ROWS_IN_ONE_SECOND), "-o", out], 0,
         "2000000 rows", []),
        ("250 000 rows, each after a gap", ["report", fed("gaps.log", gaps), "-o", out], 0,
         "250000 rows", []),
    ]
    failures = 0
    for what, args, status, says, kept in cases:
        before = {path: read(path) for path in kept}
        began = time.monotonic()
        with open(os.path.join(WORK, "stderr"), "wb") as err:
            process = subprocess.Popen([TOOL] + args, stdout=subprocess.DEVNULL, stderr=err)
        timer = threading.Timer(HANG_SECONDS, process.kill)
        timer.start()
        _, wait_status, usage = os.wait4(process.pid, 0)
        timer.cancel()
        seconds = time.monotonic() - began
        got = os.waitstatus_to_exitcode(wait_status)
        peak_mb = usage.ru_maxrss / 1024
        said = read(os.path.join(WORK, "stderr")).decode("utf-8", "replace")
        print(f"{what}: status {got}, {seconds:.1f} s, peak {peak_mb:.1f} MB")
        problems = []
        if got != status:
            problems.append(f"status {got}, want {status}")
        if says not in said:
            problems.append(f"standard error lacks {says!r}")
        if JUDGE_PEAK and peak_mb >= PEAK_LIMIT_MB:
            problems.append(f"peak memory {peak_mb:.1f} MB")
        problems += [f"{path} changed" for path in kept if read(path) != before[path]]
        leftovers = [name for name in os.listdir(WORK) if name.endswith(".tmp")]
        if leftovers:
            problems.append(f"left behind {leftovers}")
        if problems:
            failures += 1
            print("FAILED: " + "; ".join(problems) + "\n" + said[-2000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
