#!/usr/bin/env python3
"""The demo's run (scripts/demo.sh builds the programs and starts this): Tarvex.exe under Wine
against the simulated adapter and ECU behind COM9, on the rig (wine_rig.py), whose environment
names the programs and TARVEX_E2E_DIR the demo's folder.

With a reachable $DISPLAY, Tarvex's window opens there and the demo lasts until it is closed.
Otherwise Tarvex runs on a private Xvfb for DEMO_SECONDS (default 60); then the demo takes a
screenshot (tarvex-demo.png), closes Tarvex as its close box would, and copies its log
(Tarvex.log) into the demo's folder. Each run's files (Tarvex's working directory, ecusim's trace
and summary, Wine's output) are in artefacts/demo/ there.
"""
import os
import shutil
import signal
import subprocess
import sys
import time

import wine_rig

NAME = "demo"


def say(text):
    print("==", text, flush=True)


def reachable(display):
    """True when an X server answers on `display`."""
    if not display:
        return False
    try:
        return subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def show(path, what):
    print(f"{what}{os.path.relpath(path)}")


def last_lines(log, count=12):
    lines = [line for line in log.replace(b"\r", b"").decode("latin-1").split("\n") if line.strip()]
    return "\n".join(lines[-count:])


def main():
    # Stopped by a signal, the session still ends everything it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seconds = os.environ.get("DEMO_SECONDS", "60")
    if not seconds.isdigit():
        sys.exit("DEMO_SECONDS must be a whole number of seconds")
    missing = wine_rig.missing_programs()
    if missing:
        sys.exit(f"the build made no {' '.join(missing)}")
    demo = wine_rig.E2E_DIR
    display = os.environ.get("DISPLAY") if reachable(os.environ.get("DISPLAY")) else None
    say("the Wine prefix (made once)")
    # Managed, as Wine's own default: on a person's desktop the window manager gives Tarvex's
    # window its frame and its place, and on the virtual display, with none, the window sits at
    # the top left with the frame that docs/demo-screenshot.sh crops away.
    wine_rig.make_prefix(managed=True)
    shot, kept_log = os.path.join(demo, "tarvex-demo.png"), os.path.join(demo, "Tarvex.log")
    for old in (shot, kept_log):
        if os.path.exists(old):
            os.remove(old)

    say("starting ecusim behind COM9: and Tarvex")
    with wine_rig.WineSession(NAME, ecusim={"com9": []}, display=display) as s:
        log = os.path.join(s.workdir, "Tarvex.log")
        try:
            s.start()
        except wine_rig.E2EFailure:
            print("Tarvex's window did not appear", file=sys.stderr)
        if display:
            say(f"Tarvex is running on {display}; close its window to end the demo")
            s.tarvex.wait()
        else:
            say(f"Tarvex is running on the virtual display {s.display} for {seconds} s")
            deadline = time.monotonic() + int(seconds)
            while time.monotonic() < deadline and s.tarvex.poll() is None:
                time.sleep(0.5)
            if s.tarvex.poll() is None:
                try:
                    shutil.copy(s.screenshot("demo").path, shot)
                except subprocess.CalledProcessError:
                    print("no screenshot taken", file=sys.stderr)
                s.stop()  # WM_CLOSE, as the close box sends: Tarvex ends its session and its log
            else:
                print("Tarvex ended by itself before the time was up", file=sys.stderr)
        s.stop_ecusim()
        summary = open(s.ecusim_files + ".out", encoding="utf-8", errors="replace").read()
        trace = s.ecusim_files + ".trace"
    if os.path.exists(log):
        shutil.copy(log, kept_log)

    if not display:
        say("the last lines of Tarvex's log")
        print(last_lines(open(kept_log, "rb").read()) + "\n" if os.path.exists(kept_log)
              else "(Tarvex wrote no log)")
    say("ecusim's summary")
    print(summary.partition("ecusim summary\n")[2].rstrip())
    show(trace, "ecusim trace: ")
    if os.path.exists(shot):
        show(shot, "screenshot:   ")
    show(kept_log if os.path.exists(kept_log) else log, "Tarvex's log: ")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
