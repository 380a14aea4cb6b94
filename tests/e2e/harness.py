#!/usr/bin/env python3
"""End-to-end harness: runs the real Tarvex.exe under Wine on a private Xvfb display.

A WineSession owns everything one test needs and tears it all down at the end: the X server,
the Wine server of the shared prefix, ptys linked as the prefix's COM ports, a working directory
of the test's choosing and the Tarvex process. tvctl.exe (built beside Tarvex.exe) reads window
texts and dialogs from inside the prefix; xdotool types and clicks as a person would.

Environment (set by CTest): TARVEX_EXE, TARVEX_TVCTL, TARVEX_E2E_DIR (prefix and artefacts).
`harness.py make-prefix` creates the prefix once.
"""
import os
import shutil
import signal
import subprocess
import sys
import time
import tty

E2E_DIR = os.environ.get("TARVEX_E2E_DIR", os.path.join(os.getcwd(), "e2e"))
PREFIX = os.path.join(E2E_DIR, "prefix")
TARVEX_EXE = os.environ.get("TARVEX_EXE", "")
TVCTL_EXE = os.environ.get("TARVEX_TVCTL", "")

WINE_ENV = {
    "WINEPREFIX": PREFIX,
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}


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
    """Creates the shared prefix (about ten seconds) unless it is already there."""
    if os.path.exists(os.path.join(PREFIX, "system.reg")):
        return
    os.makedirs(PREFIX, exist_ok=True)
    env = wine_env()
    env.pop("DISPLAY", None)
    with open(os.path.join(E2E_DIR, "wineboot.log"), "wb") as out:
        subprocess.run(["wineboot", "-i"], env=env, stdout=out, stderr=out, check=False)
        subprocess.run(["wineserver", "-w"], env=env, stdout=out, stderr=out, check=False)
    check(os.path.exists(os.path.join(PREFIX, "system.reg")), "wineboot made no prefix")


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


class WineSession:
    """One run of Tarvex.exe: `with WineSession("name") as s: s.start(); ...`."""

    def __init__(self, name, ports=("com9",)):
        self.name = name
        self.artefacts = os.path.join(E2E_DIR, "artefacts", name)
        shutil.rmtree(self.artefacts, ignore_errors=True)
        os.makedirs(self.artefacts)
        self.workdir = os.path.join(self.artefacts, "work")
        os.makedirs(self.workdir)
        self.port_names = list(ports)
        self.ptys = {}
        self.xvfb = None
        self.tarvex = None
        self.display = None
        self.shots = 0

    # --- life --------------------------------------------------------------------------------

    def __enter__(self):
        self._start_display()
        self._link_ports()
        self._start_wineserver()
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
            self._stop_wineserver()
            self._unlink_ports()
            if self.xvfb:
                self.xvfb.terminate()
                try:
                    self.xvfb.wait(5)
                except subprocess.TimeoutExpired:
                    self.xvfb.kill()
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
        subprocess.run(["wineserver", "-k"], env=wine_env(self.display), stdout=out, stderr=out)
        subprocess.run(["wineserver", "-w"], env=wine_env(self.display), stdout=out, stderr=out)
        subprocess.Popen(["wineserver", "-p"], env=wine_env(self.display), stdout=out, stderr=out)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=wine_env(self.display),
                       stdout=out, stderr=out, timeout=120)

    def _stop_wineserver(self):
        out = open(os.path.join(self.artefacts, "wineserver.log"), "ab")
        subprocess.run(["wineserver", "-k"], env=wine_env(self.display), stdout=out, stderr=out)
        subprocess.run(["wineserver", "-w"], env=wine_env(self.display), stdout=out, stderr=out,
                       timeout=60)

    def write_config(self, data):
        with open(os.path.join(self.workdir, "Tarvex.cfg"), "wb") as f:
            f.write(data)

    def start(self, wait_window=True):
        out = open(os.path.join(self.artefacts, "tarvex-wine.log"), "ab")
        self.tarvex = subprocess.Popen(["wine", TARVEX_EXE], cwd=self.workdir,
                                       env=wine_env(self.display), stdout=out, stderr=out)
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
                           env=wine_env(self.display), stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=timeout)
        return r.returncode, r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def wait_main(self, ms=30000):
        rc, out = self.tvctl("wait-main", ms)
        check(rc == 0, "the main window did not appear")
        x, y, w, h = (int(v) for v in out.split())
        return x, y, w, h

    def status_text(self):
        rc, out = self.tvctl("status")
        check(rc == 0, "no status line")
        return out.rstrip("\n")

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
