#!/bin/bash
# The real ecusim on a pty, woken through the preloaded RTS bridge by ecusim_client. Tarvex always
# sets 9600 baud, so only here does a tester at another speed show that ecusim reads the line
# settings from the pty and refuses it; a tester at 9600 then connects, polls and ends its
# session (each tester run checks what it got). ecusim ends by itself (--duration), and it wrote
# no two bytes closer together than one byte time. Usage: run_pty_check.sh ECUSIM CLIENT BRIDGE
# WORKDIR
set -euo pipefail
ecusim=$1 client=$2 bridge=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
"$ecusim" --link "$work/com9" --rts-socket "$work/rts.sock" --trace "$work/trace.txt" \
    --duration 15 >"$work/ecusim.out" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "$work/com9" ] && [ -S "$work/rts.sock" ] && break
    sleep 0.05
done
export TARVEX_RTS_SOCKET=$work/rts.sock
LD_PRELOAD=$bridge "$client" session --port "$work/com9" --baud 19200 --expect-silence
LD_PRELOAD=$bridge "$client" session --port "$work/com9" --polls 16 --end-session
wait $pid
trap - EXIT
cat "$work/ecusim.out"
# The clean session's figures are checked by the end-to-end tests, of Tarvex's sessions.
grep -qx "wake-ups refused: 1" "$work/ecusim.out" || { echo "19200 was not refused"; exit 1; }
awk '$2 == "echo" || $2 == "ecu" { if (n++ && $1 - last < 1042) { print "too close: " $0; bad = 1 }
    last = $1 } END { exit bad }' "$work/trace.txt"
