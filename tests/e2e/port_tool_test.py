#!/usr/bin/env python3
"""End-to-end tests of tarvex-port.exe under Wine: the port list from the registry, the check
against ecusim's adapters and against a port another program holds, and a Tarvex.cfg with which
Tarvex connects on COM12.

Wine does not fill HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM from the prefix's dosdevices links: at
each start its mount manager enters only the serial devices it finds itself (/dev/ttyS*,
/dev/ttyUSB*, /dev/ttyACM*) and those named under HKLM\\Software\\Wine\\Ports, and it rewrites
their links. So the list test enters its ports as Windows' drivers would, in that volatile key,
which is gone when the session's Wine server ends.

Wine opens a COM port to any number of handles at once, where Windows refuses a second open;
the RTS bridge plays Windows' rule in the Wine server, which the sessions with ecusim start with
the bridge preloaded. Each test is a table of cases in one Wine session; artefacts stay in
<build>/e2e/artefacts/<test>/.

A failure's wording, and every other text's, is the unit tests' (port_tool_test.cpp, on the fake
system); here a failure is known by its key, the words before its colon, which no other shares.
"""
import os
import subprocess

from harness import (INITIALISED, TARVEX_EXE, TVCTL_EXE, WineSession, check, end, run_named,
                     wait_for)
from reliability_test import CLOSE_LIMIT_S

PORT_EXE = os.path.join(os.path.dirname(TARVEX_EXE), "tarvex-port.exe")
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"


def port_tool(s, *args):
    """Runs tarvex-port in the working directory: (exit status, standard output, standard error),
    line ends made "\\n". Its output goes through files: Wine's background processes would hold
    a pipe open."""
    s.port_runs = getattr(s, "port_runs", 0) + 1
    base = os.path.join(s.artefacts, "tarvex-port-%d" % s.port_runs)
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        status = subprocess.run(["wine", PORT_EXE] + list(args), cwd=s.workdir, env=s.env(),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=60).returncode
    said = [open(base + ext, "rb").read().decode("utf-8", "replace").replace("\r\n", "\n")
            for ext in (".out", ".err")]
    return status, said[0], said[1]


def failure_key(s, *args):
    """Runs tarvex-port: (exit status, standard output, the key of what standard error says)."""
    status, out, err = port_tool(s, *args)
    return status, out, err.split(":")[0]


def reg(s, *args):
    subprocess.run(["wine", "reg"] + list(args), env=s.env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)


def port_list():
    with WineSession("port_list", ports=("com2", "com9", "com12")) as s:
        reg(s, "delete", SERIALCOMM, "/va", "/f")
        # As the drivers enter them: a motherboard port, a second one, a USB adapter's.
        for device, port in [(r"\Device\VCP0", "COM12"), (r"\Device\Serial8", "COM9"),
                             (r"\Device\Serial1", "COM2")]:
            reg(s, "add", SERIALCOMM, "/v", device, "/d", port, "/f")
        listed = (0, "COM2    \\Device\\Serial1\nCOM9    \\Device\\Serial8\n"
                     "COM12   \\Device\\VCP0\n", "")
        none = (1, "", "No COM ports")
        for what, change, expected in [
            ("three ports", None, listed),
            ("an empty list", ["delete", SERIALCOMM, "/va", "/f"], none),
            ("no list at all", ["delete", SERIALCOMM, "/f"], none),
        ]:
            if change:
                reg(s, *change)
            got = failure_key(s, "list")
            check(got == expected, f"{what}: {got}")


def check_lines(port, rts_back=None):
    """What a check of `port` prints to standard output when the echo works: with the RTS line
    and the verdict when the byte written with RTS on came back as `rts_back`."""
    lines = f"Echo OK: 55 AA 0F F0 sent on {port} came back as sent.\n"
    if rts_back:
        lines += (f"RTS OK: with RTS on, the K-line is held low: 55 sent, {rts_back} back.\n"
                  f"{port} is ready for Tarvex. To make Tarvex open it: tarvex-port use {port}\n")
    return lines


def port_check():
    with WineSession("port_check", ecusim={"com9": ""}) as s:
        # The adapter's arguments, what the check says (status, standard output, the failure's
        # key), and what crossed the line: the tester's bytes, their echoes, the RTS changes.
        for what, args, expected, tester, echoes, rts in [
            ("a healthy adapter", "", (0, check_lines("COM9", "00"), ""),
             b"\x55\xaa\x0f\xf0\x55", b"\x55\xaa\x0f\xf0\x00", [True, False]),
            ("an adapter that ignores RTS", "--ignore-rts",
             (1, check_lines("COM9"), "RTS ignored"),
             b"\x55\xaa\x0f\xf0\x55", b"\x55\xaa\x0f\xf0\x55", [True, False]),
            ("an adapter without echo", "--no-echo",
             (1, "RTS not checked: the echo has to work first.\n", "No echo"),
             b"\x55\xaa\x0f\xf0", b"", []),
        ]:
            if args:
                s.stop_ecusim(what)
                s.start_ecusim(args)
            got = failure_key(s, "check", "COM9")
            check(got == expected, f"{what}: {got}")
            # The check never woke the ECU, and left RTS off (it set it off first, too).
            s.stop_ecusim(what, wake_ups=0)
            trace = s.ecusim_trace()
            check(trace.sent("tester") == tester and trace.sent("echo") == echoes,
                  f"{what}: wrote {trace.sent('tester')!r}, echoed {trace.sent('echo')!r}")
            check([on for _, on in trace.rts] == rts, f"{what}: RTS {trace.rts}")

        # Another program holds the port: refused until it lets go.
        s.start_ecusim("")
        hold_out = os.path.join(s.artefacts, "hold.out")
        with open(hold_out, "wb") as out:
            holder = subprocess.Popen(["wine", TVCTL_EXE, "hold", r"\\.\COM9", "60000"],
                                      env=s.env(), stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.DEVNULL)
        try:
            wait_for(lambda: open(hold_out, "rb").read().startswith(b"held"), 30,
                     "tvctl did not hold the port")
            got = failure_key(s, "check", "COM9")
            check(got == (1, "", "Port in use"), f"a port held by another program: {got}")
        finally:
            end(holder, seconds=0)
        got = port_tool(s, "check", "COM9")
        check(got == (0, check_lines("COM9", "00"), ""), f"once the holder has ended: {got}")

        got = failure_key(s, "check", "COM7")
        check(got == (1, "", "No such port"), f"no COM7: {got}")
        s.stop_ecusim("the last check", wake_ups=0)


def port_use():
    # Tarvex.cfg as an editor leaves it, with a line end that makes Tarvex refuse the name, is
    # replaced by COM12 as Tarvex wants it; Tarvex then opens \\.\COM12, where ecusim is. COM10
    # and up are no DOS device names, which Wine opens all the same: its file channel shows the
    # name CreateFileW was given.
    with WineSession("port_use", ports=(), ecusim={"com12": ""}) as s:
        config = os.path.join(s.workdir, "Tarvex.cfg")
        open(config, "wb").write(b"COM9:\r\n")
        got = port_tool(s, "check", "COM12")
        check(got == (0, check_lines("COM12", "00"), ""), f"check COM12: {got}")
        got = port_tool(s, "use", "COM12")
        check(got == (0, 'Replaced Tarvex.cfg: it held "COM9:\\r\\n", now "COM12".\n'
                         "Tarvex will open COM12 (as \\\\.\\COM12).\n", ""), f"use COM12: {got}")
        check(open(config, "rb").read() == b"COM12", f"Tarvex.cfg: {open(config, 'rb').read()}")
        s.start(WINEDEBUG="+file")
        s.wait_log(INITIALISED, 30, "Tarvex did not connect on COM12")
        check(s.log().startswith(b"Starting ...\r\nRead Config file: COM12\r\n\r\nCOM Opened\r\n"),
              f"the log starts {s.log()[:80]!r}")
        s.wait_polling("COM12", connect=False)
        s.close(limit=CLOSE_LIMIT_S)
        trace = os.path.join(s.artefacts, "tarvex-wine.log")
        check(rb'trace:file:CreateFileW L"\\\\.\\COM12" GENERIC_READ GENERIC_WRITE'
              in open(trace, "rb").read(), f"not opened as \\\\.\\COM12 (see {trace})")
        s.stop_ecusim("Tarvex on COM12", wake_ups=1, sessions_ended=1)


if __name__ == "__main__":
    raise SystemExit(run_named([port_list, port_check, port_use]))
