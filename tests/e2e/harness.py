#!/usr/bin/env python3
"""End-to-end harness: runs the real Tarvex.exe under Wine on a private Xvfb display.

A WineSession owns everything one test needs and tears it all down at the end: the X server,
the Wine server of the shared prefix, ptys linked as the prefix's COM ports, a working directory
of the test's choosing and the Tarvex process. tvctl.exe (built beside Tarvex.exe) reads window
texts and dialogs from inside the prefix; xdotool types and clicks as a person would.

A session may put the simulated adapter and ECU (tools/ecusim) behind a COM port instead of a
bare pty: `WineSession("name", ecusim={"com9": ["--ecu-delay-us", "2000"]})`, or
`s.start_ecusim("com9", [...])`. Wine switches RTS with modem-control ioctls that a pty refuses,
and it does so in the unix side of the Windows process that calls EscapeCommFunction (not in the
wineserver), so every wine process of such a session runs with the RTS bridge preloaded; the
bridge only touches pty descriptors, so the others do not notice it.

Environment (set by CTest): TARVEX_EXE, TARVEX_TVCTL, TARVEX_E2E_DIR (prefix and artefacts),
TARVEX_ECUSIM and TARVEX_RTSBRIDGE (the native ecusim and librtsbridge.so).
`harness.py make-prefix` creates the prefix once.
"""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

E2E_DIR = os.environ.get("TARVEX_E2E_DIR", os.path.join(os.getcwd(), "e2e"))
PREFIX = os.path.join(E2E_DIR, "prefix")
TARVEX_EXE = os.environ.get("TARVEX_EXE", "")
TVCTL_EXE = os.environ.get("TARVEX_TVCTL", "")
ECUSIM = os.environ.get("TARVEX_ECUSIM", "")
RTSBRIDGE = os.environ.get("TARVEX_RTSBRIDGE", "")
RTS_SOCKET_ENV = "TARVEX_RTS_SOCKET"
SUN_PATH_MAX = 107  # a Unix socket's path, without its NUL

WINE_ENV = {
    "WINEPREFIX": PREFIX,
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}


# The program's colours as (red, green, blue), as they reach the screen.
RED = (255, 0, 0)
ORANGE = (200, 100, 0)
GREEN = (0, 255, 0)
BLUE = (0, 0, 255)
YELLOW = (240, 240, 50)
GREY = (180, 180, 180)
MAGENTA = (250, 0, 250)
PINK = (255, 200, 200)
AMBER = (255, 200, 0)
DASH = (100, 100, 100)
BLACK = (0, 0, 0)
CHANNEL_COLOURS = [RED, ORANGE, GREEN, BLUE, YELLOW, GREY, MAGENTA, PINK]


class E2EFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise E2EFailure(message)


def wine_env(display=None, extra=None):
    env = dict(os.environ)
    env.update(WINE_ENV)
    if display:
        env["DISPLAY"] = display
    if extra:
        env.update(extra)
    return env


def make_prefix():
    """Creates the shared prefix (about ten seconds) unless it is already there.

    Its windows are not "managed": the virtual display runs no window manager, and Wine would
    otherwise wait two seconds for one whenever a window is hidden (a closing message box or
    main window), which no desktop with a window manager does."""
    os.makedirs(PREFIX, exist_ok=True)
    env = wine_env()
    env.pop("DISPLAY", None)
    with open(os.path.join(E2E_DIR, "wineboot.log"), "ab") as out:
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            subprocess.run(["wineboot", "-i"], env=env, stdout=out, stderr=out, check=False)
            subprocess.run(["wineserver", "-w"], env=env, stdout=out, stderr=out, check=False)
        check(os.path.exists(os.path.join(PREFIX, "system.reg")), "wineboot made no prefix")
        with open(os.path.join(PREFIX, "user.reg"), "rb") as f:
            managed_set = b'"Managed"="N"' in f.read()
        if not managed_set:
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                            "Managed", "/d", "N", "/f"], env=env, stdout=out, stderr=out,
                           check=False)
            subprocess.run(["wineserver", "-w"], env=env, stdout=out, stderr=out, check=False)


def free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            return n
    raise E2EFailure("no free X display number")


class Image:
    """A screenshot as RGB pixels (read through ImageMagick's PPM output)."""

    def __init__(self, path):
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        parts = data.split(maxsplit=4)
        check(parts[0] == b"P6", "unexpected picture format")
        self.width, self.height = int(parts[1]), int(parts[2])
        self.pixels = parts[4]
        self.path = path

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def count(self, rgb, x0, y0, x1, y1, tolerance=0):
        """Pixels of colour rgb (within tolerance per channel) in the box [x0,x1) x [y0,y1)."""
        n = 0
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                p = self.at(x, y)
                if all(abs(p[k] - rgb[k]) <= tolerance for k in range(3)):
                    n += 1
        return n


class EcusimTrace:
    """ecusim's trace file, read back.

    bytes: (time_us, direction, byte) with direction "tester", "echo" or "ecu", in file order;
    rts:   (time_us, asserted) for each RTS change the bridge reported (True: line pulled low);
    notes: (time_us, text) for the '#' lines: line settings, hang-ups, the end;
    events: all of them in file order as (time_us, kind, value), kind being a direction, "rts"
    or "note". A line still being written when the file is read is left out.
    """

    def __init__(self, text):
        self.bytes, self.rts, self.notes, self.events = [], [], [], []
        lines = text.split("\n")
        if not text.endswith("\n"):
            lines = lines[:-1]  # ecusim is mid-line
        for number, line in enumerate(lines, 1):
            if not line:
                continue
            fields = line.split(" ", 2)
            try:
                if fields[0] == "#":
                    event = (int(fields[1]), "note", fields[2] if len(fields) > 2 else "")
                    self.notes.append((event[0], event[2]))
                elif fields[1] == "rts":
                    event = (int(fields[0]), "rts", fields[2] == "1")
                    self.rts.append((event[0], event[2]))
                else:
                    event = (int(fields[0]), fields[1], int(fields[2], 16))
                    self.bytes.append(event)
            except (IndexError, ValueError):
                raise E2EFailure(f"trace line {number} unreadable: {line!r}")
            self.events.append(event)

    def sent(self, direction):
        """The bytes of one direction, in order."""
        return bytes(b for _, d, b in self.bytes if d == direction)


def parse_trace(path):
    """Reads an ecusim trace (see EcusimTrace); a missing file reads as an empty trace."""
    try:
        with open(path, "r", encoding="ascii", errors="replace") as f:
            return EcusimTrace(f.read())
    except FileNotFoundError:
        return EcusimTrace("")


def parse_summary(text):
    """ecusim's exit summary ("name: value" lines) as a dict of ints; other lines are skipped."""
    summary = {}
    for line in text.splitlines():
        name, sep, value = line.partition(": ")
        if sep and value.strip().isdigit() and not name.startswith("ecusim"):
            summary[name.strip()] = int(value)
    return summary


class Ecusim:
    """One ecusim process behind a COM port of the prefix, with its files in the artefacts."""

    def __init__(self, port, args, link, rts_socket, files_prefix):
        self.port = port
        self.args = [str(a) for a in args]
        self.link = link
        self.trace_path = files_prefix + ".trace"
        self.out_path = files_prefix + ".out"  # its standard output: the pty line and summary
        self.err_path = files_prefix + ".err"
        check(os.path.exists(ECUSIM), f"no ecusim at {ECUSIM!r} (TARVEX_ECUSIM)")
        if os.path.lexists(link) and not os.path.islink(link):
            os.remove(link)  # a leftover that ecusim would refuse to replace
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [ECUSIM, "--link", link, "--rts-socket", rts_socket, "--trace", self.trace_path]
                + self.args, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        deadline = time.monotonic() + 10
        while not (os.path.islink(link) and os.path.exists(link)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise E2EFailure(f"ecusim did not link {link}: {self.errors()!r}")
            time.sleep(0.02)
        self.summary = None

    def running(self):
        return self.process.poll() is None

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        """Ends ecusim with SIGTERM (it writes its summary and removes its link); the summary."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        if os.path.islink(self.link):
            os.remove(self.link)  # it was killed, or died, before it could clean up
        with open(self.out_path, "rb") as f:
            self.summary = parse_summary(f.read().decode("utf-8", "replace"))
        return self.summary

    def trace(self):
        return parse_trace(self.trace_path)


class WineSession:
    """One run of Tarvex.exe: `with WineSession("name") as s: s.start(); ...`.

    ports: COM ports wired to bare ptys the test owns. ecusim: None, or {port: [extra ecusim
    arguments]} (a plain list means com9) for the simulated ECU behind that port, started before
    the Wine server and stopped after Tarvex; a port given to ecusim gets no bare pty.
    """

    def __init__(self, name, ports=("com9",), ecusim=None):
        self.name = name
        self.artefacts = os.path.join(E2E_DIR, "artefacts", name)
        shutil.rmtree(self.artefacts, ignore_errors=True)
        os.makedirs(self.artefacts)
        self.workdir = os.path.join(self.artefacts, "work")
        os.makedirs(self.workdir)
        if ecusim is None:
            ecusim = {}
        elif not isinstance(ecusim, dict):
            ecusim = {"com9": list(ecusim)}
        check(len(ecusim) <= 1, "one ecusim a session: the RTS bridge reports to one socket")
        self.ecusim_config = {p.lower(): list(a) for p, a in ecusim.items()}
        self.port_names = [p for p in ports if p.lower() not in self.ecusim_config]
        self.ptys = {}
        self.xvfb = None
        self.tarvex = None
        self.display = None
        self.shots = 0
        self.wineserver = None
        self.ecusim = None  # the running (or last) Ecusim
        self.ecusim_runs = 0
        self.bridged = bool(self.ecusim_config)  # wine processes get the RTS bridge preloaded
        self.rts_socket = os.path.join(self.artefacts, "rts.sock")
        if len(self.rts_socket.encode()) > SUN_PATH_MAX:
            self.rts_socket = os.path.join(tempfile.mkdtemp(prefix="tarvex-rts-"), "rts.sock")

    # --- life --------------------------------------------------------------------------------

    def __enter__(self):
        try:
            self._start_display()
            self._link_ports()
            for port, args in self.ecusim_config.items():
                self.start_ecusim(port, args)
            self._start_wineserver()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, kind, value, trace):
        try:
            if kind is not None:
                try:
                    self.screenshot("failure")
                except Exception:
                    pass
            self.stop()
        finally:
            try:
                self.stop_ecusim()
            finally:
                self._stop_wineserver()
            self._unlink_ports()
            if self.xvfb:
                self.xvfb.terminate()
                try:
                    self.xvfb.wait(5)
                except subprocess.TimeoutExpired:
                    self.xvfb.kill()
            if os.path.dirname(self.rts_socket) != self.artefacts:
                shutil.rmtree(os.path.dirname(self.rts_socket), ignore_errors=True)
        return False

    def _start_display(self):
        n = free_display()
        self.display = f":{n}"
        log = open(os.path.join(self.artefacts, "xvfb.log"), "wb")
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x800x24",
                                      "-nolisten", "tcp"], stdout=log, stderr=log)
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return
            time.sleep(0.05)
        raise E2EFailure("Xvfb did not start")

    def _link_ports(self):
        dosdevices = os.path.join(PREFIX, "dosdevices")
        for name in ("com%d" % i for i in range(1, 33)):
            path = os.path.join(dosdevices, name)
            if os.path.islink(path) and name not in self.port_names:
                os.remove(path)  # no stray device: a port the test did not wire is absent
        for name in self.port_names:
            master, slave = os.openpty()
            tty.setraw(slave)
            link = os.path.join(dosdevices, name)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(os.ttyname(slave), link)
            self.ptys[name] = (master, slave)

    def _unlink_ports(self):
        for name, (master, slave) in self.ptys.items():
            link = os.path.join(PREFIX, "dosdevices", name)
            if os.path.lexists(link):
                os.remove(link)
            os.close(master)
            os.close(slave)
        self.ptys = {}

    def _start_wineserver(self):
        # Bring the prefix up before two wine programs start at once.
        out = open(os.path.join(self.artefacts, "wineserver.log"), "ab")
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=out, stderr=out)
        subprocess.run(["wineserver", "-w"], env=self.env(), stdout=out, stderr=out)
        # In the foreground, as our child: a server that daemonizes leads its own session, takes
        # the first pty it opens for a COM port as its controlling terminal, and when ecusim
        # closes that pty (a hang-up, or the end) it gets SIGHUP and dumps all its objects (2 MB)
        # into this log.
        self.wineserver = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                           stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        # Its socket appears when it is ready (a stopped server removes it); wine started before
        # that would start a server of its own, a daemon.
        st = os.stat(PREFIX)
        server_dir = f"server-{st.st_dev:x}-{st.st_ino:x}"
        patterns = [f"/tmp/.wine-{os.getuid()}/{server_dir}/socket",
                    f"/tmp/wine-*/{server_dir}/socket"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.wineserver.poll() is None:
            if any(glob.glob(p) for p in patterns):
                break
            time.sleep(0.02)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env(),
                       stdout=out, stderr=out, timeout=120)

    def _stop_wineserver(self):
        out = open(os.path.join(self.artefacts, "wineserver.log"), "ab")
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=out, stderr=out)
        subprocess.run(["wineserver", "-w"], env=self.env(), stdout=out, stderr=out,
                       timeout=60)
        if self.wineserver is not None:
            try:
                self.wineserver.wait(10)
            except subprocess.TimeoutExpired:
                self.wineserver.kill()
                self.wineserver.wait(10)
            self.wineserver = None

    def env(self):
        """The environment of this session's wine processes."""
        extra = {}
        if self.bridged:
            preload = os.environ.get("LD_PRELOAD", "")
            extra = {"LD_PRELOAD": RTSBRIDGE + (" " + preload if preload else ""),
                     RTS_SOCKET_ENV: self.rts_socket}
        return wine_env(self.display, extra)

    # --- the simulated ECU -------------------------------------------------------------------

    def start_ecusim(self, port="com9", args=()):
        """Starts ecusim behind `port` and waits for its link. Tarvex must start after this to
        get the RTS bridge (sessions made with ecusim= have it from the first wine process)."""
        check(self.ecusim is None or not self.ecusim.running(), "ecusim is already running")
        check(os.path.exists(RTSBRIDGE), f"no RTS bridge at {RTSBRIDGE!r} (TARVEX_RTSBRIDGE)")
        port = port.lower()
        self.ecusim_runs += 1
        stem = f"ecusim-{port}" + (f"-{self.ecusim_runs}" if self.ecusim_runs > 1 else "")
        self.bridged = True
        self.ecusim = Ecusim(port, args, os.path.join(PREFIX, "dosdevices", port),
                             self.rts_socket, os.path.join(self.artefacts, stem))
        return self.ecusim

    def stop_ecusim(self):
        """Stops ecusim if it runs; its summary as a dict (None when there was no ecusim)."""
        if self.ecusim is None:
            return None
        if self.ecusim.summary is None or self.ecusim.running():
            self.ecusim.stop()
        return self.ecusim.summary

    def ecusim_trace(self):
        """The trace of the running or last ecusim so far (EcusimTrace)."""
        check(self.ecusim is not None, "no ecusim in this session")
        return self.ecusim.trace()

    def port_linked(self, port="com9"):
        """Whether the prefix's `port` leads to a device now (false while ecusim is unplugged)."""
        return os.path.exists(os.path.join(PREFIX, "dosdevices", port.lower()))

    def write_config(self, data):
        with open(os.path.join(self.workdir, "Tarvex.cfg"), "wb") as f:
            f.write(data)

    def start(self, wait_window=True):
        out = open(os.path.join(self.artefacts, "tarvex-wine.log"), "ab")
        self.tarvex = subprocess.Popen(["wine", TARVEX_EXE], cwd=self.workdir,
                                       env=self.env(), stdout=out, stderr=out)
        if wait_window:
            self.origin = self.wait_main()

    def wait_exit(self, seconds):
        """Waits for Tarvex to end; True when it did."""
        try:
            self.tarvex.wait(seconds)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        if self.tarvex and self.tarvex.poll() is None:
            self.tvctl("close")
            if not self.wait_exit(10):
                self.tarvex.send_signal(signal.SIGKILL)
                self.tarvex.wait(10)

    # --- eyes and hands ----------------------------------------------------------------------

    def tvctl(self, *args, timeout=60):
        r = subprocess.run(["wine", TVCTL_EXE] + [str(a) for a in args],
                           env=self.env(), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout)
        self.last_tvctl_error = r.stderr.decode("utf-8", "replace")[-300:]
        return r.returncode, r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def wait_main(self, ms=30000):
        rc, out = self.tvctl("wait-main", ms)
        check(rc == 0, "the main window did not appear")
        x, y, w, h = (int(v) for v in out.split())
        return x, y, w, h

    def status_text(self):
        # Under load, starting a Wine process has once failed on a machine whose window was on
        # screen all along; one failure is retried before it counts.
        for attempt in range(3):
            rc, out = self.tvctl("status")
            if rc == 0:
                return out.rstrip("\n")
            time.sleep(0.2)
        check(False, f"no status line (tvctl exit code {rc}: {self.last_tvctl_error!r})")

    def control_rect(self, control_id):
        rc, out = self.tvctl("rect", control_id)
        check(rc == 0, f"no control {control_id}")
        return tuple(int(v) for v in out.split())

    def wait_dialog(self, title, ms=15000):
        """The static texts of the dialog titled `title`, or None when none appeared."""
        rc, out = self.tvctl("wait-dialog", title, ms)
        return out.strip("\n").split("\n") if rc == 0 else None

    def dialog_gone(self, title, ms=10000):
        rc, _ = self.tvctl("wait-gone", title, ms)
        return rc == 0

    def xdo(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=wine_env(self.display),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def click(self, x, y):
        self.xdo("mousemove", "--sync", x, y)
        self.xdo("click", 1)

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
        path = os.path.join(self.workdir, "Tarvex.log")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    def wait_for(self, condition, seconds, message):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.1)
        check(condition(), message)


def run_named(tests):
    """Runs the test named on the command line from the dict `tests`, printing the outcome."""
    if len(sys.argv) != 2 or sys.argv[1] not in tests:
        print("usage: %s {%s}" % (sys.argv[0], ",".join(sorted(tests))), file=sys.stderr)
        return 2
    check(os.path.exists(TARVEX_EXE), f"no Tarvex.exe at {TARVEX_EXE!r}")
    check(os.path.exists(TVCTL_EXE), f"no tvctl.exe at {TVCTL_EXE!r}")
    name = sys.argv[1]
    try:
        tests[name]()
    except E2EFailure as failure:
        print(f"FAIL {name}: {failure}")
        print(f"artefacts: {os.path.join(E2E_DIR, 'artefacts', name)}")
        return 1
    print(f"PASS {name}")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["make-prefix"]:
        make_prefix()
        print("prefix ready:", PREFIX)
        sys.exit(0)
    print("usage: harness.py make-prefix", file=sys.stderr)
    sys.exit(2)
