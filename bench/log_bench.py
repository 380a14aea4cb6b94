#!/usr/bin/env python3
"""How fast tarvex-log reads a long log: writes a one-hour Tarvex.log with debug lines (rows
broken by them, channels switched now and then, a reconnection), then times `tarvex-log csv` and
`tarvex-log report` on it, several runs each, and prints MB/s. Figures go to
build/bench/results/log_bench.json for docs/performance.md.

  bench/log_bench.py TARVEX_LOG_BINARY [RESULTS_DIR]
"""
import json, os, random, statistics, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
from product_tables import channel_rows, log_texts  # noqa: E402

RUNS = 5
# The log's texts and the channels' names and formats, as the program writes them.
TEXT = {name: text.decode("latin-1") for name, text in log_texts().items()}
NAMES = "".join("," + name for name, _, _ in channel_rows()) + "\r\n"
FORMATS = [fmt for _, _, fmt in channel_rows()]
CONNECT = (TEXT["LOG_IDENTIFICATION_FORMAT"] % (0, 0xF6, 13) + "0261204254" + TEXT["LOG_READER_STARTED"]
           + TEXT["LOG_CONNECTED"])


def clock(s):
    h, m, sec = 13 + s // 3600, s // 60 % 60, s % 60
    return "%d:%02d:%02d %s" % ((h - 1) % 12 + 1, m, sec, "PM" if h >= 12 else "AM")


def debug(rng, counter):
    ch = rng.randrange(8)
    return (TEXT["LOG_REQUEST_FORMAT"] % (counter, ch, 1, 0, 0x37 + ch) +
            TEXT["LOG_ANSWER_FORMAT"] % (counter + 1, ch, 0xFE))


def make_log(path):
    rng = random.Random(1)
    start = TEXT["LOG_STARTING"] + TEXT["LOG_CONFIG_READ"] + "COM1:\r\n\r\n" + TEXT["LOG_PORT_OPENED"]
    out = [start, CONNECT, clock(0), NAMES]
    enabled, counter = [True] * 8, 1
    for tick in range(7200):
        s = tick // 2
        if tick == 4000:
            out += [TEXT["LOG_NOT_RESPONDING"] * 3, CONNECT, clock(s), NAMES]
        if tick % 600 == 300:
            enabled[rng.randrange(8)] ^= True
        values = [80 + rng.random(), 150 + rng.random(), 1.1 + rng.random(), 20 * rng.randrange(40, 200),
                  2.5 + rng.random(), 10 + rng.random(), 1.3 + rng.random(), 13.8 + rng.random()]
        pieces = [clock(s), " "]
        for c in range(8):
            if enabled[c]:
                pieces.append(FORMATS[c] % values[c])
                if c != 7:
                    pieces.append(",")
        pieces.append("\r\n")
        for piece in pieces:  # a tick's pieces, with the reader thread's lines in between
            out.append(piece)
            while rng.random() < 0.5:
                out.append(debug(rng, counter))
                counter = (counter + 2) % 256
        for _ in range(12):
            out.append(debug(rng, counter))
            counter = (counter + 2) % 256
    out.append(TEXT["LOG_SESSION_ENDED"])
    with open(path, "w", newline="") as f:
        f.write("".join(out))


def timed(cmd):
    runs = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        runs.append(time.perf_counter() - start)
    return runs


def main():
    binary = sys.argv[1]
    results = sys.argv[2] if len(sys.argv) > 2 else "build/bench/results"
    os.makedirs(results, exist_ok=True)
    log = os.path.join(results, "one-hour.log")
    make_log(log)
    mb = os.path.getsize(log) / 1e6
    figures = {"log_mb": mb, "runs": RUNS}
    for name, cmd in (("csv", [binary, "csv", log, "-o", os.devnull]),
                      ("report", [binary, "report", log, "-o", os.path.join(results, "one-hour.html")])):
        runs = timed(cmd)
        median = statistics.median(runs)
        figures[name] = {"median_s": median, "best_s": min(runs), "mb_per_s": mb / median}
        print("tarvex-log %-6s on %.1f MB: median %.3f s = %.0f MB/s (best %.3f s)"
              % (name, mb, median, mb / median, min(runs)))
    figures["report_kb"] = os.path.getsize(os.path.join(results, "one-hour.html")) / 1e3
    figures["load"] = list(os.getloadavg())
    print("report: %.0f kB; load %.2f %.2f %.2f" % (figures["report_kb"], *figures["load"]))
    with open(os.path.join(results, "log_bench.json"), "w") as f:
        json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
