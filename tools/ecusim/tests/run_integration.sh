#!/bin/bash
# Runs the real ecusim on a pty and the test client against it, RTS going through the preloaded
# bridge. Usage: run_integration.sh ECUSIM CLIENT BRIDGE WORKDIR refusals|session
set -euo pipefail
ecusim=$1 client=$2 bridge=$3 work=$4 mode=$5

rm -rf "$work"
mkdir -p "$work"
"$ecusim" --link "$work/com9" --rts-socket "$work/rts.sock" --trace "$work/trace.txt" \
    --duration 60 >"$work/ecusim.out" 2>&1 &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; }
trap cleanup EXIT

for _ in $(seq 100); do
    [ -e "$work/com9" ] && [ -S "$work/rts.sock" ] && break
    sleep 0.05
done
[ -e "$work/com9" ] || { echo "ecusim did not link its pty"; cat "$work/ecusim.out"; exit 1; }

client() {
    echo "== client $*"
    TARVEX_RTS_SOCKET="$work/rts.sock" LD_PRELOAD="$bridge" "$client" session --port "$work/com9" "$@"
}

case "$mode" in
refusals)
    client --address 0x11 --expect-silence
    client --address 0x10 --flip-parity --expect-silence
    client --address 0x10 --baud 19200 --expect-silence
    client --address 0x10 --polls 2 --end-session # and a right one is answered
    expected_wakeups=1
    ;;
session)
    client --polls 24 --end-session
    client --polls 8 --end-session # woken again after the end of the session
    expected_wakeups=2
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

kill -TERM "$pid"
wait "$pid"
trap - EXIT
cat "$work/ecusim.out"
grep -qx "wake-ups: $expected_wakeups" "$work/ecusim.out"
grep -qx "protocol errors: 0" "$work/ecusim.out"
grep -qx "tester counter errors: 0" "$work/ecusim.out"
grep -qx "sessions ended: $expected_wakeups" "$work/ecusim.out"
if [ "$mode" = refusals ]; then
    grep -qx "wake-ups refused: 3" "$work/ecusim.out"
fi
"$client" check-trace "$work/trace.txt" --min-wakeups "$expected_wakeups"
