#!/usr/bin/env python3
"""The rig: runs the real Tarvex.exe under Wine, on a private Xvfb display or on a given one,
against ptys or the simulated adapter and ECU. The end-to-end tests (through tests/e2e/harness.py),
the demo (demo.py), the benchmarks (bench/) and the recording of tarvex-log's test logs all run
Tarvex through it, and every Wine prefix of the project is made by make_prefix here (the cross
build's unit tests get theirs through scripts/wine-run.sh).

A WineSession owns everything one run needs and tears it all down at the end: the X server,
the Wine server of the shared prefix, ptys linked as the prefix's COM ports, a working directory
and the Tarvex process. tvctl.exe (tools/rig/tvctl.cpp, in the cross build) reads window texts and
dialogs and samples the process from inside the prefix; xdotool types and clicks as a person would.

A session may put the simulated adapter and ECU (tools/ecusim) behind a COM port instead of a
bare pty: `WineSession("name", ecusim={"com9": "--ecu-delay-us 2000"})`, or
`s.start_ecusim("--sync-byte 0xAA")` for each case of a table. Wine switches RTS with
modem-control ioctls that a pty refuses, and it does so in the unix side of the Windows process
that calls EscapeCommFunction (not in the wineserver), so once a session has had an ecusim every
wine process of it runs with the RTS bridge preloaded; the bridge only touches pty descriptors,
so the others do not notice it.

Environment (set by CTest for the end-to-end tests, and by the scripts that use the rig):
  TARVEX_EXE        the cross build's Tarvex.exe
  TARVEX_TVCTL      tvctl.exe; by default the one of TARVEX_EXE's build, tools/rig/tvctl.exe
  TARVEX_E2E_DIR    the shared prefix (prefix/) and each session's artefacts (artefacts/NAME/);
                    by default e2e/ in the current folder
  TARVEX_ECUSIM     the native build's ecusim
  TARVEX_RTSBRIDGE  the native build's librtsbridge.so

`wine_rig.py make-prefix [PREFIX]` creates the shared prefix, or PREFIX, unless it is there.
"""
import contextlib
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

from product_tables import format_pattern, log_texts

E2E_DIR = os.environ.get("TARVEX_E2E_DIR", os.path.join(os.getcwd(), "e2e"))
PREFIX = os.path.join(E2E_DIR, "prefix")
TARVEX_EXE = os.environ.get("TARVEX_EXE", "")
TVCTL_EXE = os.environ.get("TARVEX_TVCTL") or (
    os.path.join(os.path.dirname(TARVEX_EXE), "tools", "rig", "tvctl.exe") if TARVEX_EXE else "")
ECUSIM = os.environ.get("TARVEX_ECUSIM", "")
RTSBRIDGE = os.environ.get("TARVEX_RTSBRIDGE", "")
WINE_ENV = {"WINEPREFIX": PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
DESKTOP = "tarvex"  # the virtual desktop's name, and its X window's "tarvex - Wine desktop"

# Tarvex.log, as the rig and its users read it: its fixed texts are the program's own.
_LOG = log_texts()
STARTED = _LOG["LOG_STARTING"] + _LOG["LOG_DEFAULT_PORT"] + b"COM9:\r\n\r\n" + _LOG["LOG_PORT_OPENED"]
INITIALISED = _LOG["LOG_CONNECTED"].lstrip(b"\r\n")
ENDED = _LOG["LOG_SESSION_ENDED"]
REQUEST = _LOG["LOG_REQUEST_FORMAT"].split(b"%")[0]  # how each request's debug line begins
TIME = rb"\d{1,2}:\d\d:\d\d [AP]M"
ANSWER = re.compile(format_pattern(_LOG["LOG_ANSWER_FORMAT"]))
# The reader thread's debug lines (File > Debug): one write each, as is each data row, so neither
# breaks the other; the pattern below still takes them out of a row, should one be found there.
READER_LINE = re.compile(format_pattern(_LOG["LOG_REQUEST_FORMAT"]) + b"|" + ANSWER.pattern)
# A data row, whole (possessive: a row cut off at the end of a killed run's log must not end at a
# reader line's line end).
DATA_ROW = re.compile(rb"(?<=\n)" + TIME + rb" ((?:" + READER_LINE.pattern + rb"|[^\r\n])*+)\r\n")


def dos_path(path):
    """A Linux path as the prefix's programs name it (drive Z: is the root)."""
    return "Z:" + path.replace("/", "\\")


def data_rows(log):
    """(offset, values) of each whole data row, the reader lines that broke it taken out."""
    return [(m.start(), READER_LINE.sub(b"", m.group(1))) for m in DATA_ROW.finditer(log)]


E2EFailure = AssertionError  # what check raises, and the tests' run_named reports


def check(condition, message):
    if not condition:
        raise E2EFailure(message)


def wait_for(condition, seconds, message=None):
    """Waits for condition() to hold; a failure with `message` when it does not in time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not condition():
        time.sleep(0.1)
    if message:
        check(condition(), message)


def run_quietly(args, env, log_path, timeout=120):
    with open(log_path, "ab") as out:
        subprocess.run(args, env=env, stdout=out, stderr=out, timeout=timeout, check=False)


def end(process, sig=None, seconds=10):
    """Ends a child: `sig` if it runs, then SIGKILL if it has not ended after `seconds`."""
    if sig and process.poll() is None:
        process.send_signal(sig)
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(10)


def managed_windows(prefix):
    """The prefix's X11 Driver "Managed" value as its user.reg holds it: "Y", "N" or None."""
    try:
        with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
            found = re.search(r'^\[Software\\\\Wine\\\\X11 Driver\][^\[]*?^"Managed"="(\w)"$',
                              f.read(), re.M)
    except OSError:
        return None
    return found and found.group(1)


def make_prefix(prefix=PREFIX, managed=False):
    """Creates the shared prefix, or another one, (about ten seconds) unless it is already there,
    and makes its windows unmanaged, or with managed=True managed. Everything that runs a program
    of the project under Wine takes its prefix from here; nothing else runs wineboot.

    Windows are not "managed" on the rig's own displays: they run no window manager, and Wine
    would otherwise wait two seconds for one whenever a window is hidden (a closing message box
    or main window), which no desktop with a window manager does. On a person's desktop the
    window manager is there and gives the window its frame and its place."""
    os.makedirs(prefix, exist_ok=True)
    env = {k: v for k, v in dict(os.environ, **dict(WINE_ENV, WINEPREFIX=prefix)).items()
           if k != "DISPLAY"}  # wineboot would show its progress window there
    log = os.path.join(os.path.dirname(os.path.abspath(prefix)), "wineboot.log")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        run_quietly(["wineboot", "-i"], env, log, timeout=300)
        run_quietly(["wineserver", "-w"], env, log)  # the registry is written when it ends
    check(os.path.exists(os.path.join(prefix, "system.reg")), f"wineboot made no prefix: see {log}")
    # Once made, a prefix is looked at without starting Wine: the cross build's unit tests
    # come here once for each test.
    value = "Y" if managed else "N"
    if managed_windows(prefix) != value:
        run_quietly(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                     "/d", value, "/f"], env, log)
        run_quietly(["wineserver", "-w"], env, log)


class Image:
    """A screenshot as RGB pixels (read through ImageMagick's PPM output)."""

    def __init__(self, path):
        self.path = path
        data = subprocess.check_output(["convert", path, "-depth", "8", "ppm:-"])
        parts = data.split(maxsplit=4)  # P6, width, height, 255, the pixels
        self.width, self.pixels = int(parts[1]), parts[4]

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def positions(self, x0, y0, x1, y1):
        """{colour: [(x, y), ...]} of every pixel in the box [x0,x1) x [y0,y1)."""
        found = {}
        for y in range(y0, y1):
            for x in range(x0, x1):
                found.setdefault(self.at(x, y), []).append((x, y))
        return found

    def count(self, rgb, *box):
        """Pixels of colour rgb in the box."""
        return len(self.positions(*box).get(rgb, []))


class EcusimTrace:
    """ecusim's trace file, read back (a line still being written is left out).

    bytes: (time_us, direction, byte) with direction "tester", "echo" or "ecu", in file order;
    rts:   (time_us, asserted) for each RTS change the bridge reported (True: line pulled low).
    """

    def __init__(self, text):
        lines = [line.split(" ", 2) for line in text.split("\n")[:-1] if line and line[0] != "#"]
        self.rts = [(int(t), level == "1") for t, d, level in lines if d == "rts"]
        self.bytes = [(int(t), d, int(b, 16)) for t, d, b in lines if d != "rts"]

    def sent(self, direction):
        """The bytes of one direction, in order."""
        return bytes(b for _, d, b in self.bytes if d == direction)


class WineSession:
    """One or more runs of Tarvex.exe: `with WineSession("name") as s: s.start(); ...`.

    ports: COM ports wired to bare ptys the test owns. ecusim: {port: "extra ecusim arguments"}
    (a string, or a list of them)
    for the simulated ECU behind that port, started before the Wine server and stopped after
    Tarvex; a port given to ecusim gets no bare pty. desktop: Tarvex runs in a Wine virtual
    desktop (DESKTOP), which draws its windows' frames as Windows does, and tvctl works there.
    exe, prefix: another Tarvex.exe than the build's, run in its own folder as Explorer runs it,
    and another prefix than the shared one (made with make_prefix). display: an X display that
    is already there (a person's desktop) to run on, instead of a private Xvfb.
    """

    def __init__(self, name, ports=("com9",), ecusim=None, desktop=False, exe=None, prefix=None,
                 display=None):
        self.artefacts = os.path.join(E2E_DIR, "artefacts", name)
        shutil.rmtree(self.artefacts, ignore_errors=True)
        self.exe, self.prefix = exe or TARVEX_EXE, prefix or PREFIX
        self.workdir = os.path.dirname(exe) if exe else os.path.join(self.artefacts, "work")
        os.makedirs(self.artefacts, exist_ok=True)
        os.makedirs(self.workdir, exist_ok=True)
        self.ecusim_config, self.desktop = ecusim or {}, desktop
        self.bare = [p for p in ports if p not in self.ecusim_config]
        self.own_display = display is None
        self.display = display or ":%d" % next(n for n in range(90, 200) if not os.path.exists(
            f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"))
        self.xvfb = self.wineserver = self.tarvex = self.ecusim = self.summary = None
        self.ecusim_runs = self.shots = self.kept_logs = 0
        # A Unix socket's path holds 107 bytes, which the artefacts' path may already pass.
        self.rts_socket = os.path.join(tempfile.mkdtemp(prefix="tarvex-rts-"), "rts.sock")
        self.wine_log = os.path.join(self.artefacts, "wineserver.log")

    def __enter__(self):
        with contextlib.ExitStack() as stack:  # what is set up is undone, in reverse, at the end
            stack.callback(shutil.rmtree, os.path.dirname(self.rts_socket), True)
            if self.own_display:
                self._start_xvfb()
                stack.callback(end, self.xvfb, signal.SIGTERM)
            dosdevices = os.path.join(self.prefix, "dosdevices")
            for link in glob.glob(os.path.join(dosdevices, "com*")):
                os.remove(link)  # a port the test did not wire is absent
            for name in self.bare:
                master, slave = os.openpty()
                tty.setraw(slave)
                os.symlink(os.ttyname(slave), os.path.join(dosdevices, name))
                stack.callback(os.remove, os.path.join(dosdevices, name))
                stack.callback(os.close, master)
                stack.callback(os.close, slave)
            stack.callback(self._stop_wineserver)
            stack.callback(self.stop_ecusim)
            for port, args in self.ecusim_config.items():
                self.start_ecusim(args, port)
            self._start_wineserver()
            self.cleanup = stack.pop_all()
        return self

    def __exit__(self, kind, value, trace):
        with self.cleanup:
            if kind is not None and self.own_display:
                with contextlib.suppress(Exception):
                    self.screenshot("failure")
            self.stop()

    def _start_xvfb(self):
        with open(os.path.join(self.artefacts, "xvfb.log"), "wb") as log:
            self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x800x24",
                                          "-nolisten", "tcp"], stdout=log, stderr=log)
        wait_for(lambda: os.path.exists(f"/tmp/.X11-unix/X{self.display[1:]}"), 5, "no Xvfb")

    def _start_wineserver(self):
        # Bring the prefix up before two wine programs start at once.
        self._stop_wineserver()
        # In the foreground, as our child: a server that daemonizes leads its own session, takes
        # the first pty it opens for a COM port as its controlling terminal, and when ecusim
        # closes that pty (a hang-up, or the end) it gets SIGHUP and dumps all its objects (2 MB)
        # into this log.
        with open(self.wine_log, "ab") as out:
            self.wineserver = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                               stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        # Its socket appears when it is ready; wine started before that would start a server of
        # its own, a daemon.
        st = os.stat(self.prefix)
        sockets = [f"/tmp/{d}/server-{st.st_dev:x}-{st.st_ino:x}/socket"
                   for d in (f".wine-{os.getuid()}", "wine-*")]
        wait_for(lambda: self.wineserver.poll() is not None or any(map(glob.glob, sockets)), 10)
        run_quietly(["wine", "cmd", "/c", "exit"], self.env(), self.wine_log)

    def _stop_wineserver(self):
        run_quietly(["wineserver", "-k"], self.env(), self.wine_log)
        run_quietly(["wineserver", "-w"], self.env(), self.wine_log, timeout=60)
        if self.wineserver is not None:
            end(self.wineserver)
            self.wineserver = None

    def env(self):
        """The environment of this session's wine processes."""
        env = dict(os.environ, DISPLAY=self.display, **dict(WINE_ENV, WINEPREFIX=self.prefix))
        if self.desktop:
            env["TVCTL_DESKTOP"] = DESKTOP
        if self.ecusim_runs:
            env["LD_PRELOAD"] = (RTSBRIDGE + " " + env.get("LD_PRELOAD", "")).strip()
            env["TARVEX_RTS_SOCKET"] = self.rts_socket
        return env

    # --- the simulated ECU -------------------------------------------------------------------

    def start_ecusim(self, args="", port="com9"):
        """Starts ecusim behind `port` and waits for its link; its files go into the artefacts.
        Tarvex must start after this to get the RTS bridge (sessions made with ecusim= have it
        from the first wine process)."""
        check(self.ecusim is None or self.summary is not None, "ecusim is already running")
        self.ecusim_runs += 1
        self.ecusim_files = os.path.join(self.artefacts, f"ecusim-{self.ecusim_runs}")
        self.link, self.summary = os.path.join(self.prefix, "dosdevices", port), None
        with open(self.ecusim_files + ".out", "wb") as out, \
                open(self.ecusim_files + ".err", "wb") as err:
            self.ecusim = subprocess.Popen(
                [ECUSIM, "--link", self.link, "--rts-socket", self.rts_socket, "--trace",
                 self.ecusim_files + ".trace"] + (args.split() if isinstance(args, str) else args),
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        wait_for(lambda: os.path.islink(self.link) or self.ecusim.poll() is not None, 10)
        if not os.path.islink(self.link):
            end(self.ecusim, signal.SIGTERM)
            raise E2EFailure(f"ecusim did not link {self.link}: see {self.ecusim_files}.err")

    def stop_ecusim(self, what="ecusim", **figures):
        """Stops ecusim, if it runs, with SIGTERM (it prints its summary and removes its link);
        its summary (None when there was no ecusim): the "name: value" lines as a dict of ints,
        each name's spaces and dashes made "_", which must hold `figures` (wake_ups=1, ...)."""
        if self.ecusim is not None and self.summary is None:
            end(self.ecusim, signal.SIGTERM)
            if os.path.islink(self.link):
                os.remove(self.link)  # it was killed, or died, before it could clean up
            with open(self.ecusim_files + ".out", encoding="utf-8", errors="replace") as f:
                self.summary = {re.sub(r"[ -]", "_", name.strip()): int(value) for name, sep, value
                                in (line.partition(": ") for line in f)
                                if sep and value.strip().isdigit()}
        check(all(self.summary.get(k) == v for k, v in figures.items()),
              f"{what}: ecusim {self.summary}")
        return self.summary

    def ecusim_trace(self):
        """The trace of the running or last ecusim so far (EcusimTrace)."""
        return EcusimTrace(open(self.ecusim_files + ".trace", encoding="ascii",
                                errors="replace").read())

    # Moments of a connection attempt, for a test to act in: of the first attempt, or with
    # fresh=True of the next one to begin. The address 0x10 moves RTS four times, the last 1.8 s
    # after the first for the parity and stop bits, and the wait for the sync byte runs from 2.0 s
    # to 3.5 s.
    def _address_change(self, index, fresh, message):
        begun = len(self.ecusim_trace().rts) if fresh else 0
        first = begun + -begun % 4  # an address under way is not the next
        wait_for(lambda: len(self.ecusim_trace().rts) > first + index, 30, message)

    def address_begun(self, fresh=False):
        """A little into the wake-up's address, which takes 2 s."""
        self._address_change(0, fresh, "no wake-up began")
        time.sleep(0.3)

    def sync_wait_begun(self, fresh=False):
        """Half way through the wait for the sync byte."""
        self._address_change(3, fresh, "the address never ended")
        time.sleep(0.7)

    def opening_begun(self):
        self.wait_log(_LOG["LOG_IDENTIFICATION_FORMAT"].split(b"%")[0] + b"1 ", 30, "the opening exchange never began")

    # --- Tarvex --------------------------------------------------------------------------------

    def start(self, ecusim=None, **env):
        """Starts Tarvex in the working directory, with `ecusim` given first an ecusim with those
        arguments behind COM9; its client area on screen when it shows."""
        if ecusim is not None:
            self.start_ecusim(ecusim)
        self.tarvex = self.launch(**env)
        self.origin = self.numbers("wait-main", 30000)

    def launch(self, **env):
        """Starts a Tarvex in the working directory, `env` added to its environment, and returns
        its process (on a virtual desktop: the desktop's, which ends when Tarvex has ended). What
        Wine prints goes to the artefacts' tarvex-wine.log."""
        desktop = ["explorer", f"/desktop={DESKTOP},1280x800"] if self.desktop else []
        with open(os.path.join(self.artefacts, "tarvex-wine.log"), "ab") as out:
            return subprocess.Popen(["wine"] + desktop + [self.exe], cwd=self.workdir,
                                    env=dict(self.env(), **env), stdout=out, stderr=out)

    def stop(self):
        """Ends Tarvex if it still runs, by WM_CLOSE and then by force."""
        if self.tarvex and self.tarvex.poll() is None:
            self.tvctl("close")
            end(self.tarvex)

    def close(self, how=None, what="close", limit=15, first_no_box=True):
        """Closes Tarvex (WM_CLOSE unless `how` is given), first seeing no message box up unless
        told not to (that look takes a second, and a test closing at a moment cannot wait); the
        seconds, at most `limit`, from the close, once posted, to "Session ended" ending the log,
        which it does once."""
        first_no_box and self.no_box(what)
        how() if how else self.tvctl("close")
        start = time.monotonic()
        wait_for(lambda: self.log().endswith(ENDED), 15, f"{what}: the log never ended")
        took = time.monotonic() - start
        check(took < limit, f"{what}: closing took {took:.1f} s")
        wait_for(lambda: self.tarvex.poll() is not None, 15, f"{what}: Tarvex did not end")
        check(self.log().count(ENDED) == 1, f"{what}: Session ended written twice")
        return took

    def keep_log(self, label):
        """Moves Tarvex.log into the artefacts, so that the next run starts without one."""
        self.kept_logs += 1
        name = "Tarvex-%d-%s.log" % (self.kept_logs, re.sub(r"\W+", "-", label))
        os.replace(os.path.join(self.workdir, "Tarvex.log"), os.path.join(self.artefacts, name))

    def wait_polling(self, what, since=0, answers=8, seconds=60, connect=True):
        """Waits for a connection after `since` (with connect=False: for polling on the link
        that is up) and `answers` poll answers on it."""
        if connect:
            self.wait_log(INITIALISED, seconds, f"{what}: no connection", since=since)
            since = self.log().find(INITIALISED, since)
        wait_for(lambda: len(ANSWER.findall(self.log(), since)) >= answers, 60, f"{what}: no polls")

    # --- eyes and hands ----------------------------------------------------------------------

    def tvctl(self, *args, **env):
        r = subprocess.run(["wine", TVCTL_EXE] + [str(a) for a in args],
                           env=dict(self.env(), **env), stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=60)
        return r.returncode, r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def text(self, *what, **env):
        """What `tvctl` prints (status, text ID, rect ID, ...). Under load, starting a Wine
        process has once failed with the window on screen all along, so a failure is retried."""
        for _ in range(3):
            rc, out = self.tvctl(*what, **env)
            if rc == 0:
                return out.strip()
            time.sleep(0.2)
        raise E2EFailure(f"no text for tvctl {what} (exit code {rc})")

    def status_text(self):
        return self.text("status")

    def numbers(self, *what):
        return tuple(int(v) for v in self.text(*what).split())

    def wait_dialog(self, title, ms=15000, owner=False):
        """The static texts of the dialog titled `title`, with owner=True after how it is owned
        ("main", "none" or "other"); None when none appeared."""
        rc, out = self.tvctl("wait-dialog", title, ms)
        return out.strip("\n").split("\n")[0 if owner else 1:] if rc == 0 else None

    def no_box(self, what):
        check(self.wait_dialog("Error", 300) is None, f"{what}: a message box came up")

    def xdo(self, *args):
        """What xdotool prints."""
        return subprocess.run(["xdotool"] + [str(a) for a in args], check=True, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, DISPLAY=self.display)).stdout

    def click(self, x, y):
        self.xdo("mousemove", "--sync", x, y, "click", 1)

    def key(self, *keys):
        for k in keys:
            self.xdo("key", "--delay", 50, k)
            time.sleep(0.3)

    def screenshot(self, label):
        self.shots += 1
        path = os.path.join(self.artefacts, f"{self.shots:02d}-{label}.png")
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Image(path)

    # --- the log -----------------------------------------------------------------------------

    def log(self):
        path = os.path.join(self.workdir, "Tarvex.log")  # moved away only by keep_log
        return open(path, "rb").read() if os.path.exists(path) else b""

    def wait_log(self, text, seconds, message, count=1, since=0):
        """Waits for the log to hold `text` `count` times after position `since`."""
        wait_for(lambda: self.log().count(text, since) >= count, seconds, message)

    wait_for = staticmethod(wait_for)  # for the bench scripts, which have only the session


def missing_programs():
    """The programs of the environment that are not there."""
    return [p for p in (TARVEX_EXE, TVCTL_EXE, ECUSIM, RTSBRIDGE) if not os.path.exists(p)]


if __name__ == "__main__":
    if sys.argv[1:2] != ["make-prefix"] or len(sys.argv) > 3:
        sys.exit("usage: wine_rig.py make-prefix [PREFIX]")
    make_prefix(os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else PREFIX)
