#!/usr/bin/env python3
"""Tick cost in the real program: TarvexTickTiming.exe (bench/tick_timing_win.cpp) under Wine
against ecusim for BENCH_TICK_SECONDS (default 70), then the per-tick figures it wrote at exit.

Prints the median, 95th and 99th percentile and maximum of the ticks drawn with full histories,
and the program's own share of each byte it answers (from the read that delivered the byte
returning to the answer's write returning); JSON to $BENCH_RESULTS/tick_timing.json. Environment
as for the rig (tools/rig/wine_rig.py), with TARVEX_TICK_EXE naming the timing build;
scripts/bench.sh sets it all.
"""
import json
import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
import wine_rig  # noqa: E402
from line_use import percentile  # noqa: E402


def main():
    seconds = float(os.environ.get("BENCH_TICK_SECONDS", "70"))
    out_dir = os.environ.get("BENCH_RESULTS", os.path.join(os.getcwd(), "build", "bench", "results"))
    os.makedirs(out_dir, exist_ok=True)
    wine_rig.TARVEX_EXE = os.environ["TARVEX_TICK_EXE"]
    wine_rig.make_prefix()
    with wine_rig.WineSession("tick_timing", ecusim={"com9": []}) as s:
        s.start()
        s.wait_for(lambda: wine_rig.INITIALISED in s.log(), 60, "no connection")
        time.sleep(seconds)
        status = s.status_text()
        load = os.getloadavg()
        s.stop()
        check_exit = s.tarvex.poll() is not None
        path = os.path.join(s.workdir, "tick_timing.txt")
        wine_rig.check(check_exit and os.path.exists(path), "the timing build wrote no figures")
        shutil.copy(path, os.path.join(out_dir, "tick_timing.txt"))
        byte_path = os.path.join(s.workdir, "byte_timing.txt")
        wine_rig.check(os.path.exists(byte_path), "the timing build wrote no byte figures")
        shutil.copy(byte_path, os.path.join(out_dir, "byte_timing.txt"))
    rows, parts = [], []
    with open(path) as f:
        for line in f:
            if line.startswith("#"):
                names = line.split()[3:]
                continue
            fields = line.split()
            rows.append((int(fields[0]), float(fields[1])))
            parts.append([float(x) for x in fields[2:]])
    full = max(h for h, _ in rows)
    ticks = [us for h, us in rows if h == full]
    full_parts = [p for (h, _), p in zip(rows, parts) if h == full]
    breakdown = {name: statistics.median(p[k] for p in full_parts) for k, name in enumerate(names)}
    breakdown["core (rest)"] = statistics.median(
        us - sum(p) for (h, us), p in zip(rows, parts) if h == full)
    before, write = [], []
    with open(byte_path) as f:
        for line in f:
            if not line.startswith("#"):
                b, w = (float(x) for x in line.split())
                before.append(b)
                write.append(w)
    total = [b + w for b, w in zip(before, write)]

    def summary(values):
        return {"median_us": percentile(values, 50), "p99_us": percentile(values, 99),
                "max_us": max(values)}

    result = {
        "bytes": {"n": len(total), "own": summary(total), "before_write": summary(before),
                  "write": summary(write)},
        "seconds": seconds, "load_after": load, "status": status,
        "history": full, "ticks": len(ticks), "all_ticks": len(rows),
        "median_us": percentile(ticks, 50), "p95_us": percentile(ticks, 95),
        "p99_us": percentile(ticks, 99), "max_us": max(ticks),
        "median_breakdown_us": breakdown,
    }
    print(f"== tick under Wine: {result['ticks']} ticks with {full}-point histories "
          f"(load average after: {' '.join(f'{x:.2f}' for x in load)})")
    print(f"   median {result['median_us']:.0f} us, p95 {result['p95_us']:.0f} us, "
          f"p99 {result['p99_us']:.0f} us, max {result['max_us']:.0f} us")
    print("   medians by seam call: " + ", ".join(f"{k} {v:.0f} us" for k, v in breakdown.items()))
    by = result["bytes"]
    print(f"== the program's own share of {by['n']} answered bytes: median "
          f"{by['own']['median_us']:.1f} us, p99 {by['own']['p99_us']:.1f} us (before the write "
          f"{by['before_write']['median_us']:.1f} / {by['before_write']['p99_us']:.1f} us, "
          f"WriteFile {by['write']['median_us']:.1f} / {by['write']['p99_us']:.1f} us)")
    with open(os.path.join(out_dir, "tick_timing.json"), "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
