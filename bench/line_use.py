#!/usr/bin/env python3
"""Line use and per-byte overhead: Tarvex.exe under Wine against ecusim, no ECU delay.

Runs Tarvex for BENCH_SECONDS (default 60) after the connection, once with the per-poll debug
lines on (as it starts) and once with them off (File > Debug, command 32771), and prints:

- cycles per second and the mean "Effective Baud Rate" from ecusim's trace, from the status line
  (sampled) and, with debug on, from the log's request lines, each with its ratio to what the
  line allows;
- the program's per-byte overhead from the trace: from a byte being ready for Tarvex (ecusim
  wrote an echo or an ECU byte into the pty) to Tarvex's next byte reaching ecusim;
- ecusim's own excess (an echo or ECU byte written later than one byte time after the event
  before it), which costs line time too but is not the program's;
- the Wine process's memory (VmRSS, VmData, RssAnon) over the run.

A third run, "native", puts ecusim's native tester (tools/ecusim/ecusim_client.cpp, a
native Linux program waiting for each byte with poll and read, as Wine's ReadFile does inside)
in Tarvex's place for as many polls, so that the same figures show what the pty, ecusim and the
machine's scheduling cost without Wine and without Tarvex.

Figures go to stdout and, as JSON, to $BENCH_RESULTS/line_use.json (default build/bench/results).
Usage: line_use.py [on|off|native|all] (default all). Environment as for the rig
(tools/rig/wine_rig.py), with TARVEX_ECUSIM_CLIENT naming the client; scripts/bench.sh sets it all.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
import wine_rig  # noqa: E402

BYTE_US = 10 / 9600 * 1e6  # one byte of 8N1 at 9600 baud: 1041.7 us
# Byte-times a cycle occupies on the wire: request and answer bytes and the complements between
# them (echoes add none). A one-byte memory read: 7-byte request, 5-byte answer.
CYCLE_BYTE_TIMES = {0x01: 22, 0x08: 20}
# What Tarvex counts per cycle for its "Effective Baud Rate" (link/reader_thread.cpp).
CYCLE_COUNTED_BYTES = {0x01: 33, 0x08: 30}
CMD_DEBUG = 32771
# ecusim's options for every run (BENCH_ECUSIM_ARGS, split at spaces).
ECUSIM_ARGS = os.environ.get("BENCH_ECUSIM_ARGS", "").split()
RATE_RE = re.compile(r"Effective Baud Rate (\d+)")


def percentile(values, p):
    if not values:
        return None
    s = sorted(values)
    k = (len(s) - 1) * p / 100
    lo = int(k)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def blocks_of(trace):
    """The session's blocks in line order: (sender, bytes, first_us, last_us).

    Echoes are left out; a block is its sender's bytes with the receiver's complements between
    them, the end byte unanswered. Parsing starts after the tester's answer to keyword 2."""
    events = [(t, d, b) for t, d, b in trace.bytes if d != "echo"]
    start = 0
    for i in range(3, len(events)):  # sync, keywords, the tester's 0xFD: the first such is it
        if events[i][1] == "tester" and events[i][2] == 0xFD and events[i - 1][2] == 0x02:
            start = i + 1
            break
    out = []
    i = start
    while i < len(events):
        t0, sender, length = events[i]
        other = "ecu" if sender == "tester" else "tester"
        body = [length]
        j = i + 1
        ok = True
        for k in range(length + 1):  # complements of the length and of every byte but the end
            if k > 0:
                if j >= len(events) or events[j][1] != sender:
                    ok = False
                    break
                body.append(events[j][2])
                j += 1
            if k == length:
                break
            if j >= len(events) or events[j][1] != other or events[j][2] != 0xFF - body[-1]:
                ok = False
                break
            j += 1
        if not ok:
            break  # a block cut short by the end of the run
        out.append((sender, body, t0, events[j - 1][0]))
        i = j
    return out


def cycles_of(blocks):
    """Poll cycles: (title, first_us, last_us) of each request followed by its answer."""
    out = []
    for a, b in zip(blocks, blocks[1:]):
        if a[0] == "tester" and len(a[1]) > 2 and a[1][2] in CYCLE_BYTE_TIMES and b[0] == "ecu":
            out.append((a[1][2], a[2], b[3]))
    return out


def line_figures(trace, settle_s):
    cycles = cycles_of(blocks_of(trace))
    if len(cycles) < 3:
        return {"cycles": len(cycles)}
    t_first = cycles[0][1] + settle_s * 1e6
    steady = [c for c in cycles if c[1] >= t_first]
    # Cycles start to start: each cycle's time includes the program's turn-around to the next.
    spans = [(c, nxt[1] - c[1]) for c, nxt in zip(steady, steady[1:])]
    span_us = steady[-1][1] - steady[0][1]
    ideal_us = sum(CYCLE_BYTE_TIMES[c[0]] * BYTE_US for c, _ in spans)
    rates = [CYCLE_COUNTED_BYTES[c[0]] * 8000 / (d / 1000) for c, d in spans]
    memory = [d for c, d in spans if c[0] == 0x01]
    adc = [d for c, d in spans if c[0] == 0x08]
    return {
        "cycles": len(spans),
        "seconds": span_us / 1e6,
        "cycles_per_s": len(spans) / (span_us / 1e6),
        "limit_cycles_per_s": len(spans) / (ideal_us / 1e6),
        "ratio": ideal_us / span_us,
        "mean_rate": statistics.mean(rates),
        "rate_ratio": statistics.mean(rates) / 11520,
        "memory_cycle_ms": statistics.median(memory) / 1000 if memory else None,
        "adc_cycle_ms": statistics.median(adc) / 1000 if adc else None,
        "first_us": steady[0][1],
        "last_us": steady[-1][1],
    }


def byte_figures(trace, from_us, to_us):
    """The program's turn-around per byte and ecusim's excess, within [from_us, to_us].

    Turn-around: from ecusim writing the byte Tarvex waits for (the last echo or ECU byte) to
    ecusim reading Tarvex's next byte. It includes both pty hops and ecusim's own wake-up, so it
    is an upper bound of the program's share. Excess: how much more than one byte time (1042 us,
    ecusim's rounding of 1041.7) lies between an echo or ECU byte and the event before it. A
    cycle's time is its byte times plus the excesses plus the turn-arounds, exactly."""
    turn_block, turn_cycle, excess = [], [], []
    prev = None  # the last echo or ECU byte
    prev_event = None
    for t, d, b in trace.bytes:
        inside = from_us <= t < to_us
        if d == "tester":
            if inside and prev is not None and prev_event is not None and prev_event[1] != "tester":
                gap = t - prev[0]
                # The first byte of a request follows the answer's end byte: that turn-around
                # carries the cycle's bookkeeping (and the debug lines).
                starts_request = prev[1] == "ecu" and prev[2] == 0x03 and b in (0x04, 0x06)
                (turn_cycle if starts_request else turn_block).append(gap)
        else:
            if inside and prev_event is not None:
                excess.append(t - prev_event[0] - 1042)
            prev = (t, d, b)
        prev_event = (t, d, b)
    everything = turn_block + turn_cycle

    def summary(values):
        if not values:
            return None
        return {"n": len(values), "median_us": statistics.median(values),
                "p99_us": percentile(values, 99), "max_us": max(values),
                "mean_us": statistics.mean(values)}

    return {"all": summary(everything), "within_blocks": summary(turn_block),
            "between_cycles": summary(turn_cycle), "ecusim_excess": summary(excess),
            "turn_total_us": sum(everything), "excess_total_us": sum(excess)}


def memory_of(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                name, _, value = line.partition(":")
                if name in ("VmRSS", "VmData", "RssAnon"):
                    fields[name] = int(value.split()[0])
    except OSError:
        pass
    return fields


def log_figures(log, debug_on):
    """Cycles per second from the log's request lines, timed by the data rows' clock times."""
    if not debug_on:
        return None
    rows = list(re.finditer(rb"\r\n(\d{1,2}):(\d\d):(\d\d) [AP]M [^\r\n]*\r\n", log))
    if len(rows) < 4:
        return None

    def seconds(m):
        return int(m.group(1)) % 12 * 3600 + int(m.group(2)) * 60 + int(m.group(3))

    # From the first row of one clock second to the first row of a later one: whole seconds.
    first = rows[1]
    last = None
    for m in reversed(rows):
        if seconds(m) != seconds(rows[-1]) or m is rows[0]:
            break
        last = m
    span = seconds(last) - seconds(first)
    if span <= 0:
        return None
    requests = log.count(wine_rig.REQUEST, first.start(), last.start())
    return {"seconds": span, "requests": requests, "cycles_per_s": requests / span}


def run(debug_on, seconds, out_dir):
    name = "line_use_debug_" + ("on" if debug_on else "off")
    with wine_rig.WineSession(name, ecusim={"com9": ECUSIM_ARGS}) as s:
        s.start()
        pid = s.tarvex.pid
        if not debug_on:
            s.tvctl("post", CMD_DEBUG)
        s.wait_for(lambda: wine_rig.INITIALISED in s.log(), 60, "no connection")
        connected = time.monotonic()
        samples, statuses = [], []
        end = connected + seconds
        next_status = connected + 5
        while time.monotonic() < end:
            now = time.monotonic()
            samples.append((now - connected, memory_of(pid)))
            if now >= next_status:
                text = s.status_text()
                m = RATE_RE.search(text)
                if m:
                    statuses.append(int(m.group(1)))
                next_status = now + 5
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            process = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
        load = os.getloadavg()
        log = s.log()
        s.stop()
        summary = s.stop_ecusim()
        trace = s.ecusim_trace()
        shutil.copy(s.ecusim_files + ".trace", os.path.join(out_dir, name + ".trace"))
        with open(os.path.join(out_dir, name + ".log"), "wb") as f:
            f.write(log)

    settle = 2.0
    line = line_figures(trace, settle)
    byte = byte_figures(trace, line.get("first_us", 0), line.get("last_us", 0))
    debug_lines = log.count(wine_rig.REQUEST)
    steady = [m for t, m in samples if t >= 10 and m]
    memory = None
    if steady:
        memory = {k: {"first_kb": steady[0][k], "last_kb": steady[-1][k],
                      "max_kb": max(m[k] for m in steady),
                      "growth_kb": steady[-1][k] - steady[0][k]}
                  for k in steady[0]}
        memory["seconds"] = samples[-1][0] - 10
        memory["process"] = process
    result = {
        "debug": debug_on, "seconds": seconds, "load_after": load, "ecusim_args": ECUSIM_ARGS,
        "line": line, "byte": byte,
        "status_rates": statuses,
        "status_rate_mean": statistics.mean(statuses) if statuses else None,
        "status_rate_ratio": statistics.mean(statuses) / 11520 if statuses else None,
        "log": log_figures(log, debug_on),
        "debug_request_lines": debug_lines,
        "ecusim": summary, "memory": memory,
    }
    return result


def run_native_reference(seconds, out_dir):
    """ecusim's native tester in Tarvex's place: the same line, without Wine and without Tarvex."""
    work = os.path.join(wine_rig.E2E_DIR, "line_use_native")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    trace_path = os.path.join(work, "trace.txt")
    with open(os.path.join(work, "ecusim.out"), "wb") as out:
        ecusim = subprocess.Popen([wine_rig.ECUSIM, "--link", os.path.join(work, "com9"),
                                   "--rts-socket", os.path.join(work, "rts.sock"),
                                   "--trace", trace_path] + ECUSIM_ARGS,
                                  stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 10
        while not (os.path.exists(os.path.join(work, "com9"))
                   and os.path.exists(os.path.join(work, "rts.sock"))):
            wine_rig.check(time.monotonic() < deadline, "ecusim did not link its pty")
            time.sleep(0.05)
        env = dict(os.environ, LD_PRELOAD=wine_rig.RTSBRIDGE,
                   TARVEX_RTS_SOCKET=os.path.join(work, "rts.sock"))
        polls = int(seconds * 44)
        client = subprocess.run([os.environ["TARVEX_ECUSIM_CLIENT"], "session", "--port",
                                 os.path.join(work, "com9"), "--polls", str(polls),
                                 "--end-session"], env=env, capture_output=True,
                                timeout=seconds * 3 + 60)
        wine_rig.check(client.returncode == 0, f"the client failed: {client.stderr[-500:]!r}")
        load = os.getloadavg()
    finally:
        ecusim.terminate()
        ecusim.wait(10)
    shutil.copy(trace_path, os.path.join(out_dir, "line_use_native.trace"))
    with open(trace_path) as f:
        trace = wine_rig.EcusimTrace(f.read())
    line = line_figures(trace, 2.0)
    byte = byte_figures(trace, line.get("first_us", 0), line.get("last_us", 0))
    return {"debug": None, "native": True, "seconds": seconds, "load_after": load,
            "ecusim_args": ECUSIM_ARGS,
            "line": line, "byte": byte, "status_rates": [], "status_rate_mean": None,
            "status_rate_ratio": None, "log": None, "debug_request_lines": 0, "memory": None}


def show(r):
    ln, by = r["line"], r["byte"]
    who = "native client" if r.get("native") else f"debug {'on' if r['debug'] else 'off'}"
    print(f"== {who}  (load average after: "
          f"{' '.join(f'{x:.2f}' for x in r['load_after'])})")
    if "ratio" not in ln:
        print("   too few cycles:", ln)
        return
    print(f"   trace: {ln['cycles']} cycles in {ln['seconds']:.1f} s = {ln['cycles_per_s']:.2f}/s "
          f"(line limit for this mix {ln['limit_cycles_per_s']:.2f}/s), ratio {ln['ratio']:.4f}; "
          f"memory cycle {ln['memory_cycle_ms']:.3f} ms, ADC cycle {ln['adc_cycle_ms']:.3f} ms")
    print(f"   trace: mean effective rate {ln['mean_rate']:.0f} of 11520 = {ln['rate_ratio']:.4f}")
    if r["status_rate_mean"]:
        print(f"   status line: {len(r['status_rates'])} samples, mean {r['status_rate_mean']:.0f}"
              f" = {r['status_rate_ratio']:.4f} of 11520 {r['status_rates']}")
    if r["log"]:
        lg = r["log"]
        print(f"   log: {lg['requests']} requests in {lg['seconds']} s = {lg['cycles_per_s']:.2f}/s")
    print(f"   debug request lines in the log: {r['debug_request_lines']}")
    if "ratio" in ln:
        per = ln["cycles"]
        print(f"   per cycle: {ln['seconds'] * 1e6 / per:.0f} us = line {ln['seconds'] * 1e6 * ln['ratio'] / per:.0f}"
              f" + turn-arounds {by['turn_total_us'] / per:.0f} + ecusim excess {by['excess_total_us'] / per:.0f} us")
    for key in ("all", "within_blocks", "between_cycles", "ecusim_excess"):
        v = by[key]
        if v:
            print(f"   {key:15s} n={v['n']:6d} median {v['median_us']:7.1f} us  p99 "
                  f"{v['p99_us']:7.1f} us  max {v['max_us']:8.1f} us  mean {v['mean_us']:6.1f} us")
    if r["memory"]:
        m = r["memory"]
        print("   memory over " + f"{m['seconds']:.0f} s: " + ", ".join(
            f"{k} {m[k]['first_kb']} -> {m[k]['last_kb']} kB (max {m[k]['max_kb']})"
            for k in ("VmRSS", "RssAnon", "VmData") if k in m))


def main():
    which = sys.argv[1] if len(sys.argv) > 1 else "all"
    seconds = float(os.environ.get("BENCH_SECONDS", "60"))
    out_dir = os.environ.get("BENCH_RESULTS", os.path.join(os.getcwd(), "build", "bench", "results"))
    os.makedirs(out_dir, exist_ok=True)
    wine_rig.make_prefix()
    modes = {"on": [True], "off": [False], "native": ["native"],
             "all": [True, False, "native"]}[which]
    results = []
    for mode in modes:
        r = run_native_reference(seconds, out_dir) if mode == "native" else run(mode, seconds,
                                                                                  out_dir)
        show(r)
        results.append(r)
    path = os.path.join(out_dir, "line_use.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    print("results:", path)


if __name__ == "__main__":
    main()
