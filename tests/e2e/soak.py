#!/usr/bin/env python3
"""Soak: Tarvex.exe against ecusim for a long run, with the adapter pulled out and plugged back
in at intervals, sampling what the process holds.

Samples come from `tvctl sample` inside the prefix (the process's handles in the system's handle
list, the live cells of its GDI handle table, its windows as the count of USER objects that Wine
can show; Wine 8 answers GetProcessHandleCount and GetGuiResources with 0) and from /proc for the
wine process that runs Tarvex.exe (resident and anonymous resident memory, unix descriptors,
threads).

Samples are taken only while connected and polling, never while a message box is up, so that
every sample sees the same set of objects. The first warm_up_s seconds, which include the first
reconnection, are left out of the verdict: a first message box or a first reopened port may
allocate what later ones reuse.

`soak.py --minutes 30` runs the long version (scripts/reliability.sh does), with a reconnection
every 3 minutes (a quarter of a shorter run), a sample every 15 s and 4 minutes (a third of a
shorter run) of warm-up; the CTest test reliability_test.py soak_two_minutes runs a short one.
"""
import argparse
import json
import os
import sys
import time

from harness import E2EFailure, INITIALISED, WineSession, check

# The figures the verdict looks at: objects must not grow at all after warm-up, memory may move
# within a bound (the heap's pages settle, Wine's caches fill).
COUNTED = ("systemhandles", "gdicells", "windows", "fds", "threads")
MEMORY_BOUND_KB = 4096  # for rssanon_kb; vmrss_kb is reported only
# ecusim plays a strict ECU: a tester reply later than its limit ends the session.
CLEAN = dict(protocol_errors=0, tester_counter_errors=0, late_tester_bytes=0)


def sample(s):
    values = {n: int(v) for n, _, v in (pair.partition("=") for pair in s.text("sample").split())}
    with open(f"/proc/{s.tarvex.pid}/status") as f:
        for name, _, rest in (line.partition(":") for line in f):
            if name in ("RssAnon", "VmRSS", "Threads"):
                values[name.lower() + ("" if name == "Threads" else "_kb")] = int(rest.split()[0])
    return dict(values, fds=len(os.listdir(f"/proc/{s.tarvex.pid}/fd")))


def unplug_and_replug(s, summaries):
    """Pulls the adapter out (ecusim ends and its pty goes), plugs a new one in 2 s later, and
    sees the program report the broken line, then connect and poll again."""
    before = len(s.log())
    summaries.append(s.stop_ecusim("unplugged", **CLEAN))
    time.sleep(2)
    s.start_ecusim()
    texts = s.wait_dialog("Error", 30000)
    check(texts and len(texts) == 1 and texts[0].endswith(" failed"), f"unplugged: box {texts!r}")
    # While the box is up the window makes no new attempt: a box that stayed is no connection.
    s.tvctl("press", "Error", "OK")
    s.wait_polling("after the replug", since=before, answers=16, seconds=90)


def run(name, seconds, reconnect_every_s, sample_every_s, warm_up_s):
    """Soaks for `seconds`; returns the figures (see the end of this function)."""
    samples, summaries = [], []  # summaries: one for each adapter, the last one's at the end
    with WineSession(name, ecusim={"com9": ""}) as s:
        s.start()
        s.wait_polling("at the start", answers=16, seconds=90)
        start = time.monotonic()
        next_reconnect, next_sample = start + reconnect_every_s, start
        while time.monotonic() < start + seconds:
            if time.monotonic() >= next_reconnect:
                unplug_and_replug(s, summaries)
                next_reconnect += reconnect_every_s
                next_sample = max(next_sample, time.monotonic() + 2)
            elif time.monotonic() >= next_sample:
                s.no_box("while polling")
                samples.append(dict(sample(s), t=round(time.monotonic() - start, 1)))
                next_sample += sample_every_s
            time.sleep(0.2)
        s.close()
        summaries.append(s.stop_ecusim("at the end", **CLEAN))
        log = s.log()

    check(log.count(INITIALISED) == len(summaries), f"not {len(summaries)} connections")
    return dict(seconds=seconds, reconnections=len(summaries) - 1, warm_up_s=warm_up_s,
                poll_cycles=sum(x["poll_cycles"] for x in summaries),
                counter_wraps=log.count(b"\r\nRequest Block 0 Parameter"),
                slowest_tester_reply_ms=max(x["slowest_tester_reply_us"] for x in summaries) / 1000,
                late_tester_bytes=sum(x["late_tester_bytes"] for x in summaries), samples=samples)


def check_no_growth(result):
    """Objects may not grow after warm-up; memory may move but not past MEMORY_BOUND_KB. Sets
    result["growth"]: per figure, its first, last, least and greatest value after warm-up and
    the medians of the two halves of that time (figures the system could not give, -1, left
    out).

    A count can be one higher at a single sample (the handle count does this under Wine, from a
    handle held for a moment during a cycle), so growth is judged on the medians of the two
    halves after warm-up: a leak of one object per reconnection or per minute raises the second
    above the first."""
    figures = result["growth"] = {}
    after = [x for x in result["samples"] if x["t"] >= result["warm_up_s"]]
    check(len(after) >= 4, f"only {len(after)} samples after warm-up")
    for name in COUNTED + ("rssanon_kb", "vmrss_kb"):
        v, half = [x[name] for x in after], len(after) // 2
        if min(v) > 0:
            figures[name] = {"first": v[0], "last": v[-1], "min": min(v), "max": max(v),
                             "median_first_half": sorted(v[:half])[half // 2],
                             "median_second_half": sorted(v[half:])[(len(v) - half) // 2]}
    print(json.dumps({k: v for k, v in result.items() if k != "samples"}))
    check(all(n in figures for n in COUNTED[:3]), f"tvctl could not measure all of {COUNTED[:3]}")
    for name, f in figures.items():
        check(name not in COUNTED or f["median_second_half"] <= f["median_first_half"],
              f"{name} grew: {f}")
    f = figures["rssanon_kb"]
    check(f["max"] - f["first"] <= MEMORY_BOUND_KB and
          f["median_second_half"] - f["median_first_half"] <= MEMORY_BOUND_KB // 2,
          f"rssanon_kb grew after warm-up: {f}")
    check(result["reconnections"] >= 2, "fewer than two reconnections")
    check(result["counter_wraps"] >= result["seconds"] // 10, f"{result['counter_wraps']} wraps")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--json", help="write the figures and samples here")
    a = parser.parse_args()
    # A short run still gets a reconnection in its warm-up and two or more after it.
    result = run("soak", a.minutes * 60, min(180, a.minutes * 15), min(15, a.minutes * 1.5),
                 min(240, a.minutes * 20))
    try:
        check_no_growth(result)
        result["verdict"] = "no growth"
    except E2EFailure as failure:
        result["verdict"] = f"FAIL: {failure}"
    if a.json:
        json.dump(result, open(a.json, "w"), indent=1)
    print(result["verdict"])
    return 0 if result["verdict"] == "no growth" else 1


if __name__ == "__main__":
    sys.exit(main())
