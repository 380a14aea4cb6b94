#!/bin/sh
# Fuzzes what reaches Tarvex from outside (the line's bytes) and what tarvex-log
# reads (any file as a log): builds build/fuzz with
# clang (libFuzzer, ASan, UBSan), runs each target for FUZZ_SECONDS seconds (default 60) from its
# corpus and its regressions, and prints the executions and findings of each. Exits nonzero when a
# target found anything: the input is then in build/fuzz/findings/<target>/; fix the fault and keep
# the input under tests/fuzz/regressions/<target>/, which CTest replays in the fuzz build.
#
#   scripts/fuzz.sh                      every target, a minute each
#   FUZZ_SECONDS=3600 scripts/fuzz.sh    the long run
#   scripts/fuzz.sh connection get_block only these targets
#   FUZZ_MERGE=1 scripts/fuzz.sh         also merge inputs that reach new code into the corpus
#   FUZZ_BUILD_DIR=<dir>                 another build directory than build/fuzz
set -eu
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
. scripts/build-dirs.sh
build=${FUZZ_BUILD_DIR:-$FUZZ}
targets=${*:-get_block connection log_reader}

max_len() {
    case $1 in
    get_block) echo 1024 ;;
    connection) echo 8192 ;;
    log_reader) echo 65536 ;;
    *) echo "unknown target: $1" >&2; exit 2 ;;
    esac
}

for t in $targets; do max_len "$t" >/dev/null; done
configure_fuzz "$build" >/dev/null
cmake --build "$build" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

status=0
summary=""
for t in $targets; do
    work=$build/fuzz-work/$t
    findings=$build/findings/$t
    log=$build/fuzz-$t.log
    mkdir -p "$work" "$findings"
    rm -f "$findings"/*
    set -- "$work" "tests/fuzz/corpus/$t"
    [ -d "tests/fuzz/regressions/$t" ] && set -- "$@" "tests/fuzz/regressions/$t"
    echo "== $t: ${seconds}s"
    rc=0
    "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$findings/" \
        "$@" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
    [ -n "$runs" ] || runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    found=$(find "$findings" -type f | wc -l)
    if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then
        found=1 # it stopped on something that left no input behind: see the log
    fi
    if [ "$found" -ne 0 ]; then
        status=1
        grep -E 'ERROR|invariant broken|runtime error|SUMMARY' "$log" | head -n 5 || true
        echo "   log: $log; inputs: $findings/"
    fi
    if [ "${FUZZ_MERGE:-0}" = 1 ] && [ "$found" -eq 0 ]; then
        "$build/tests/fuzz/fuzz_$t" -merge=1 -max_len="$(max_len "$t")" \
            "tests/fuzz/corpus/$t" "$work" >>"$log" 2>&1
    fi
    line=$(printf '%-12s %12s executions  %d findings' "$t" "${runs:-?}" "$found")
    echo "$line"
    summary="$summary$line
"
done

echo
echo "fuzz targets, ${seconds}s each:"
printf '%s' "$summary"
exit $status
