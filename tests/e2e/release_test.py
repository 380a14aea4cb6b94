#!/usr/bin/env python3
"""The release as a user gets it: the zip that scripts/release.sh wrote (TARVEX_RELEASE_ZIP),
unpacked into an empty folder of a new Wine prefix, where nothing of the build is beside the
programs. Its Tarvex.exe, started in its folder as Explorer starts it, must connect to ecusim and
log; its tarvex-log.exe must convert that log on the command line, and as Explorer runs it for a
log dropped on it: in a console window of its own, which stays up until a key is pressed.
"""
import os
import shutil
import subprocess
import zipfile

from harness import (E2E_DIR, WineSession, check, data_rows, dos_path, make_prefix, run_named,
                     wait_for)


def unpack(zip_path, prefix):
    """The zip unpacked into C:\\Tarvex of a new prefix; the folder of its programs."""
    check(os.path.exists(zip_path), f"no {zip_path}: scripts/release.sh makes it")
    shutil.rmtree(prefix, ignore_errors=True)
    make_prefix(prefix)
    folder = os.path.join(prefix, "drive_c", "Tarvex")
    os.makedirs(folder)
    with zipfile.ZipFile(zip_path) as z:
        z.extractall(folder)
    (top,) = os.listdir(folder)
    home = os.path.join(folder, top)
    names = set(os.listdir(home))
    check({"Tarvex.exe", "tarvex-log.exe", "README.txt"} <= names, f"the zip holds {names}")
    return home


def release_as_downloaded():
    prefix = os.path.join(E2E_DIR, "release-prefix")
    home = unpack(os.environ["TARVEX_RELEASE_ZIP"], prefix)
    files = set(os.listdir(home))
    with WineSession("release_as_downloaded", ports=(), ecusim={"com9": ""}, prefix=prefix,
                     exe=os.path.join(home, "Tarvex.exe")) as s:
        s.start()
        s.wait_polling("the released Tarvex.exe")
        wait_for(lambda: len(data_rows(s.log())) >= 6, 30, "the released Tarvex.exe logged no rows")
        s.close(what="the released Tarvex.exe")
        s.stop_ecusim("the released Tarvex.exe", wake_ups=1)
        rows = len(data_rows(s.log()))
        check(set(os.listdir(home)) == files | {"Tarvex.log"},
              f"beside the programs after the run: {sorted(set(os.listdir(home)) - files)}")

        # The command line, from the programs' folder.
        tarvex_log = dos_path(os.path.join(home, "tarvex-log.exe"))
        with open(os.path.join(s.artefacts, "tarvex-log.out"), "wb") as out:
            done = subprocess.run(["wine", tarvex_log, "csv", "Tarvex.log", "-o", "x.csv"],
                                  cwd=home, env=s.env(), stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=out, timeout=120)
        check(done.returncode == 0, f"tarvex-log csv: exit status {done.returncode}")
        csv = open(os.path.join(home, "x.csv"), "rb").read()
        lines = csv.count(b"\r\n")
        check(csv.startswith(b"time,seconds,link,") and lines == rows + 1,
              f"x.csv: {lines} lines for {rows} rows and a header")

        # From a command prompt in a console window: the window is the prompt's, which stays, so
        # tarvex-log does not wait for a key there.
        with open(os.path.join(s.artefacts, "prompt.out"), "wb") as out:
            done = subprocess.run(["wine", "cmd", "/c", "start", "", "/wait", "cmd", "/c",
                                   tarvex_log, "csv", "Tarvex.log", "-o", "y.csv"],
                                  cwd=home, env=s.env(), stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=out, timeout=60)
        check(done.returncode == 0 and open(os.path.join(home, "y.csv"), "rb").read() == csv,
              f"tarvex-log in a command prompt's console: exit status {done.returncode}")

        # The log dropped on tarvex-log.exe: Explorer starts it in a console of its own, as cmd's
        # start does; it says what it wrote, then waits for a key. (That a drop writes what the
        # commands write, tarvex-log's cli_test.sh checks, under Wine in the cross build.)
        drop = subprocess.Popen(["wine", "cmd", "/c", "start", "", "/wait", tarvex_log,
                                 dos_path(os.path.join(home, "Tarvex.log"))],
                                env=s.env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            made = [os.path.join(home, "Tarvex" + ext) for ext in (".csv", ".html")]
            wait_for(lambda: all(map(os.path.exists, made)), 60, "the drop wrote no CSV and report")
            wait_for(lambda: drop.poll() is not None, 3)
            check(drop.poll() is None, "tarvex-log closed its own console window without a key")
            s.screenshot("drop-waits-for-a-key")
            console = s.xdo("search", "--onlyvisible", "--class", "conhost.exe").split()
            check(console, "no console window on the display")
            s.xdo("windowfocus", "--sync", console[0], "key", "space")
            wait_for(lambda: drop.poll() is not None, 20, "a key did not close tarvex-log's window")
            check(drop.returncode == 0, f"the drop: exit status {drop.returncode}")
        finally:
            if drop.poll() is None:
                drop.kill()
                drop.wait(10)


if __name__ == "__main__":
    raise SystemExit(run_named([release_as_downloaded]))
