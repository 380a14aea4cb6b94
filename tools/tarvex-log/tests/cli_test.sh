#!/bin/sh
# tarvex-log as a user runs it: what it says and its exit status, for a good log, a killed one,
# no log at all and a wrong command line; and a log given alone, as Explorer gives a dropped one,
# which gets its CSV and report beside it without a file there being replaced.
#   cli_test.sh DATA_DIR WORKDIR TARVEX_LOG...   (the program, perhaps behind a runner such as wine)
set -u
data=$1 work=$2
shift 2
mkdir -p "$work"
printf '' >"$work/empty.log"
printf 'Some other text\r\n' >"$work/other.log"
cp "$data/session.log" "$work/mine.log"
# A name outside any ANSI code page, as a UTF-8 system names it.
export LC_ALL=C.UTF-8
cp "$data/session.log" "$work/走行.log"
printf 'kept\r\n' >"$work/kept.csv"
# Logs to drop: one twice, one whose report's name is taken, one without an extension, no log.
rm -rf "$work/drop"
mkdir -p "$work/drop"
cp "$data/session.log" "$work/drop/session.log"
cp "$data/session.log" "$work/drop/taken.log"
printf 'mine\r\n' >"$work/drop/taken.html"
cp "$data/session.log" "$work/drop/plain"
printf 'Some other text\r\n' >"$work/drop/other.log"
failures=0
# expected status | what standard error or the first line of standard output must hold | arguments
while IFS='|' read -r status says args; do
    # shellcheck disable=SC2086  # the arguments are words
    "$@" $args >"$work/out" 2>"$work/err"
    got=$?
    { head -n 1 "$work/out"; cat "$work/err"; } | tr -d '\r' >"$work/said"
    if [ "$got" -ne "$status" ] || ! grep -qF -- "$says" "$work/said"; then
        echo "FAILED: tarvex-log $args: status $got (want $status); first line out, then stderr:"
        cat "$work/said"
        failures=$((failures + 1))
    fi
done <<EOF_CASES
2|Usage: tarvex-log csv LOG|
2|Usage: tarvex-log csv LOG|convert $data/session.log
1|cannot open $work/missing.log|csv $work/missing.log
1|is no Tarvex log|csv $work/empty.log
1|$work/other.log:1: not a Tarvex log|events $work/other.log
1|cannot write|csv $data/session.log -o $work/no/such/folder.csv
1|is the log itself|csv $work/mine.log -o $work/mine.log
1|is the log itself|csv $work/mine.log -o $work/./mine.log
1|is no Tarvex log|csv $work/other.log -o $work/kept.csv
0|rows that could not be placed: 0|csv $data/session.log -o $work/session.csv
0|rows that could not be placed: 0|report $work/走行.log -o $work/走行.html
0|rows that could not be placed: 0|csv $data/killed.log
0|time,seconds,link,Intake Air Temp (F),Cylinder Head Temp (F),AFM Voltage (Volts),RPM (RPM),Injector Time (ms),Ignition Advance (deg),MAF Sensor (Volts),Battery (Volts)|csv $data/switching.log
0|<!DOCTYPE html>|report $data/switching.log
0|wrote $work/drop/session.csv (the rows|$work/drop/session.log
0|wrote $work/drop/session-2.html (charts|$work/drop/session.log
0|wrote $work/drop/session-3.csv (the rows|$work/drop/session.log
0|taken.csv or taken.html was there already, and is left as it was|$work/drop/taken.log
0|wrote $work/drop/plain.csv|$work/drop/plain
1|is no Tarvex log|$work/drop/other.log
2|Usage: tarvex-log csv LOG|$work/drop
EOF_CASES
# The runs that failed left the log and an existing output as they were, and nothing of theirs;
# the report of the log with the wide name is titled with that name.
if ! cmp -s "$work/mine.log" "$data/session.log" || [ "$(cat "$work/kept.csv")" != "$(printf 'kept\r\n')" ] ||
    ls "$work" | grep -q '[.]tmp$' || ! grep -q '<title>走行.log</title>' "$work/走行.html"; then
    echo "FAILED: a failed run changed its log or its output, or left a temporary file, or the"
    echo "report's title lost the log's name:"
    ls -l "$work"
    failures=$((failures + 1))
fi
# A dropped log's CSV is the csv command's; each drop wrote its own pair and left every file that
# was there as it was; a file that is no log got nothing.
drop=$work/drop
for pair in session session-2 session-3 taken-2 plain; do
    cmp -s "$drop/$pair.csv" "$work/session.csv" && head -c 15 "$drop/$pair.html" 2>/dev/null |
        grep -q '<!DOCTYPE html>' || { echo "FAILED: $pair is not the log's CSV and a report"; failures=$((failures + 1)); }
done
if [ "$(cat "$drop/taken.html")" != "$(printf 'mine\r\n')" ] || [ -e "$drop/taken.csv" ] ||
    [ -e "$drop/other.csv" ] || [ -e "$drop/other.html" ] || [ -e "$drop/session-4.csv" ] ||
    ls "$drop" | grep -q '[.]tmp$'; then
    echo "FAILED: a drop replaced a file, split its pair's numbers, wrote for no log, or left a"
    echo "temporary file:"
    ls -l "$drop"
    failures=$((failures + 1))
fi
exit "$failures"
