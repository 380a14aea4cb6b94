#!/bin/bash
# Runs the performance benchmarks and writes their figures to docs/performance.md.
#
#   scripts/bench.sh            all of them (about six minutes)
#   scripts/bench.sh NAME...    some: line (line use and per-byte overhead, Wine + ecusim, debug
#                               on and off), tick (ChartTick natively, Google Benchmark),
#                               tick-wine (ChartTick in the real program under Wine), alloc (the
#                               allocation test), log (tarvex-log's csv and report on a one-hour
#                               log)
#
# BENCH_SECONDS (default 60) is how long each line-use run polls; BENCH_TICK_SECONDS (default 70)
# how long the tick-timing build runs; BENCH_ECUSIM_ARGS (default "--busy-poll-us 3000") are
# ecusim's options in the line-use runs. Figures go to build/bench/results/ and, with those of
# earlier runs of the other benchmarks, into docs/performance.md.
#
#   build/native-release  native Release build with -DTARVEX_BENCH=ON (scripts/build-dirs.sh, the
#                         demo's too): ecusim, the RTS bridge, ecusim_client, tick_bench,
#                         allocation_tests (no sanitizers: they would be timed too)
#   build/win-release     cross Release build with -DTARVEX_BENCH=ON: Tarvex.exe, tvctl.exe and
#                         TarvexTickTiming.exe
#   build/bench/e2e       the Wine prefix and each run's artefacts (trace, log, screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(alloc tick tick-wine line log)
for name in "${names[@]}"; do
    case "$name" in
    line | tick | tick-wine | alloc | log) ;;
    *) echo "unknown benchmark '$name' (line, tick, tick-wine, alloc, log)" >&2; exit 2 ;;
    esac
done

. scripts/build-dirs.sh
native=$root/$NATIVE_RELEASE
win=$root/$WIN_RELEASE
results=$root/build/bench/results
mkdir -p "$results"
say() { printf '== %s\n' "$*"; }

./scripts/install-deps.sh >/dev/null

say "building ($NATIVE_RELEASE, $WIN_RELEASE)"
configure_native_release >/dev/null
cmake --build "$native" --target ecusim ecusim_client rtsbridge tick_bench allocation_tests \
    tarvex-log >/dev/null
configure_win_release >/dev/null
cmake --build "$win" --target Tarvex tvctl TarvexTickTiming >/dev/null

# The machine, for the report.
{
    echo "cpus: $(nproc)"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
    echo "wine: $(wine --version 2>/dev/null)"
    echo "kernel: $(uname -r)"
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
} >"$results/machine.txt"

export TARVEX_EXE=$win/Tarvex.exe
export TARVEX_TICK_EXE=$win/bench/TarvexTickTiming.exe
export TARVEX_TVCTL=$win/tools/rig/tvctl.exe
export TARVEX_E2E_DIR=$root/build/bench/e2e
export TARVEX_ECUSIM=$native/tools/ecusim/ecusim
export TARVEX_ECUSIM_CLIENT=$native/tools/ecusim/ecusim_client
export TARVEX_RTSBRIDGE=$native/tools/ecusim/librtsbridge.so
export BENCH_RESULTS=$results
# ecusim polls for the tester's next byte rather than sleeping between bytes: a sleeping
# simulator wakes tens of microseconds late for every byte, which a real adapter does not.
export BENCH_ECUSIM_ARGS=${BENCH_ECUSIM_ARGS-"--busy-poll-us 3000"}

for name in "${names[@]}"; do
    case "$name" in
    alloc)
        say "allocation after start-up (allocation_tests)"
        "$native/tests/unit/allocation_tests" | tee "$results/allocation.txt" | grep -E '^\[ *(OK|FAILED|PASSED) '
        ;;
    tick)
        say "ChartTick natively, twice (tick_bench)"
        for run in 1 2; do
            "$native/bench/tick_bench" --benchmark_out="$results/tick_bench-$run.json" \
                --benchmark_out_format=json | grep BM_
        done
        ;;
    tick-wine)
        say "ChartTick in the real program under Wine (TarvexTickTiming.exe)"
        python3 bench/tick_timing.py
        ;;
    log)
        say "tarvex-log on a one-hour log (bench/log_bench.py)"
        python3 bench/log_bench.py "$native/tools/tarvex-log/tarvex-log" "$results"
        ;;
    line)
        say "line use and per-byte overhead, debug on and off (Tarvex.exe, ecusim)"
        python3 bench/line_use.py all
        ;;
    esac
done

python3 bench/report.py "$results" docs/performance.md
say "docs/performance.md written"
