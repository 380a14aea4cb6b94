#!/bin/bash
# Builds Tarvex and runs it under Wine against the simulated adapter and ECU (tools/ecusim), so
# that it can be seen at work without a car.
#
#   build/demo-win     cross build: Tarvex.exe and tvctl.exe (which closes it on a virtual display)
#   build/demo-native  native build: ecusim and the RTS bridge
#   build/demo/        the Wine prefix, Tarvex's working directory, ecusim's trace and summary
#
# With a reachable $DISPLAY, Tarvex's window opens there and the demo lasts until it is closed.
# Otherwise Tarvex runs on a private Xvfb for DEMO_SECONDS (default 60); then the demo takes a
# screenshot (build/demo/tarvex-demo.png), closes Tarvex, and copies its log to build/demo/.
#
# ecusim plays the adapter on a pty linked as the prefix's com9. A pty has no RTS line, which
# Tarvex switches by hand to wake the ECU, so wine runs with the RTS bridge preloaded: it answers
# Wine's modem-control ioctls on ptys and tells ecusim about every change of RTS.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${DEMO_SECONDS:-60}
case "$seconds" in
'' | *[!0-9]*) echo "DEMO_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

demo=$root/build/demo
prefix=$demo/prefix
work=$demo/work
win_build=$root/build/demo-win
native_build=$root/build/demo-native

say() { printf '== %s\n' "$*"; }

# --- tools and builds -------------------------------------------------------------------------

./scripts/install-deps.sh

say "building Tarvex.exe (build/demo-win)"
if [ ! -f "$win_build/build.ninja" ]; then
    cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$win_build" --target Tarvex tvctl

say "building ecusim and the RTS bridge (build/demo-native)"
if [ ! -f "$native_build/build.ninja" ]; then
    cmake -S . -B "$native_build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$native_build" --target ecusim rtsbridge

tarvex_exe=$win_build/Tarvex.exe
tvctl_exe=$win_build/tests/e2e/tvctl.exe
ecusim=$native_build/tools/ecusim/ecusim
bridge=$native_build/tools/ecusim/librtsbridge.so
for f in "$tarvex_exe" "$tvctl_exe" "$ecusim" "$bridge"; do
    [ -e "$f" ] || { echo "the build made no $f" >&2; exit 1; }
done

# --- the Wine prefix --------------------------------------------------------------------------

mkdir -p "$demo" "$work"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    say "making the Wine prefix (build/demo/prefix, once)"
    mkdir -p "$prefix"
    # No display: wineboot would otherwise show its progress window there.
    env -u DISPLAY timeout 300 wineboot -i >"$demo/wineboot.log" 2>&1 || true
    env -u DISPLAY timeout 120 wineserver -w >>"$demo/wineboot.log" 2>&1 || true
    [ -f "$prefix/system.reg" ] || { echo "wineboot made no prefix, see $demo/wineboot.log" >&2; exit 1; }
fi
# A server left over from an earlier run would still hold the old environment.
timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true

# --- ending, whatever happens -----------------------------------------------------------------

ecusim_pid=""
wineserver_pid=""
xvfb_pid=""
tarvex_pid=""
sock_dir=""

# Waits up to $2 tenths of a second for process $1 to end; true when it did.
wait_gone() {
    local pid=$1 tenths=$2
    while [ "$tenths" -gt 0 ]; do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
        tenths=$((tenths - 1))
    done
    return 1
}

stop_ecusim() {
    [ -n "$ecusim_pid" ] || return 0
    kill -TERM "$ecusim_pid" 2>/dev/null || true
    if ! wait_gone "$ecusim_pid" 100; then
        kill -KILL "$ecusim_pid" 2>/dev/null || true
        wait_gone "$ecusim_pid" 50 || true
    fi
    ecusim_pid=""
    # ecusim removes its link when it ends; a killed one cannot.
    [ -L "$prefix/dosdevices/com9" ] && rm -f "$prefix/dosdevices/com9"
    return 0
}

cleanup() {
    if [ -n "$tarvex_pid" ] && kill -0 "$tarvex_pid" 2>/dev/null; then
        kill -KILL "$tarvex_pid" 2>/dev/null || true
    fi
    stop_ecusim
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    if [ -n "$wineserver_pid" ]; then
        wait_gone "$wineserver_pid" 100 || kill -KILL "$wineserver_pid" 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null || true
        wait_gone "$xvfb_pid" 50 || kill -KILL "$xvfb_pid" 2>/dev/null || true
    fi
    [ -z "$sock_dir" ] || rm -rf "$sock_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- the simulated ECU ------------------------------------------------------------------------

rts_socket=$demo/rts.sock
if [ "${#rts_socket}" -gt 100 ]; then # a Unix socket's path has room for 107 bytes
    sock_dir=$(mktemp -d /tmp/tarvex-demo.XXXXXX)
    rts_socket=$sock_dir/rts.sock
fi
link=$prefix/dosdevices/com9
[ -L "$link" ] || [ ! -e "$link" ] || rm -f "$link" # ecusim replaces only a symlink

say "starting ecusim behind COM9:"
"$ecusim" --link "$link" --rts-socket "$rts_socket" --trace "$demo/ecusim.trace" \
    </dev/null >"$demo/ecusim.out" 2>"$demo/ecusim.err" &
ecusim_pid=$!
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$ecusim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -e "$link" ]; then
    echo "ecusim did not come up:" >&2
    cat "$demo/ecusim.err" >&2
    exit 1
fi

# Every wine process gets the bridge; it only acts on ptys, and the one that counts is Tarvex,
# whose own process switches RTS.
export LD_PRELOAD=$bridge${LD_PRELOAD:+ $LD_PRELOAD}
export TARVEX_RTS_SOCKET=$rts_socket

# --- the display ------------------------------------------------------------------------------

interactive=0
if [ -n "${DISPLAY:-}" ] && timeout 10 xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    interactive=1
else
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    export DISPLAY=":$n"
    Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    [ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start, see $demo/xvfb.log" >&2; exit 1; }
fi

# Bring the prefix up before Tarvex and tvctl run side by side. Wine's background processes keep
# its output open, so it goes to a file rather than to this terminal or a pipe.
wine_log=$demo/wine.log
: >"$wine_log"
# The server stays in the foreground as our child: as a daemon it would lead its own session and
# take ecusim's pty as its controlling terminal, and the SIGHUP when ecusim closes the pty would
# make it dump all its objects into the log.
wineserver -f -p </dev/null >>"$wine_log" 2>&1 &
wineserver_pid=$!
server_dir=server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")
for _ in $(seq 100); do # its socket appears when it is ready
    ls /tmp/.wine-"$(id -u)"/"$server_dir"/socket /tmp/wine-*/"$server_dir"/socket \
        >/dev/null 2>&1 && break
    kill -0 "$wineserver_pid" 2>/dev/null || break
    sleep 0.1
done
timeout 120 wine cmd /c exit </dev/null >>"$wine_log" 2>&1 || true

# --- Tarvex -----------------------------------------------------------------------------------

rm -f "$demo/Tarvex.log" "$demo/tarvex-demo.png"
(cd "$work" && exec wine "$tarvex_exe" </dev/null >>"$wine_log" 2>&1) &
tarvex_pid=$!

print_summary() {
    say "ecusim's summary"
    sed -n '/^ecusim summary$/,$p' "$demo/ecusim.out" | tail -n +2
    echo "ecusim trace: build/demo/ecusim.trace"
}

if [ "$interactive" = 1 ]; then
    say "Tarvex is running on $DISPLAY; close its window to end the demo"
    wait "$tarvex_pid" || true
    tarvex_pid=""
    stop_ecusim
    print_summary
    echo "Tarvex's log: build/demo/work/Tarvex.log"
    exit 0
fi

say "Tarvex is running on the virtual display $DISPLAY for $seconds s"
if ! timeout 90 wine "$tvctl_exe" wait-main 60000 </dev/null >/dev/null 2>>"$wine_log"; then
    echo "Tarvex's window did not appear" >&2
fi
for _ in $(seq "$seconds"); do
    kill -0 "$tarvex_pid" 2>/dev/null || break
    sleep 1
done
if kill -0 "$tarvex_pid" 2>/dev/null; then
    timeout 30 import -display "$DISPLAY" -window root "$demo/tarvex-demo.png" ||
        echo "no screenshot taken" >&2
    # WM_CLOSE, as the close box sends: Tarvex ends its ECU session and its log.
    timeout 60 wine "$tvctl_exe" close </dev/null >/dev/null 2>>"$wine_log" || true
    if ! wait_gone "$tarvex_pid" 200; then
        echo "Tarvex did not end after WM_CLOSE; killing it" >&2
        kill -KILL "$tarvex_pid" 2>/dev/null || true
        wait_gone "$tarvex_pid" 50 || true
    fi
else
    echo "Tarvex ended by itself before the time was up" >&2
fi
tarvex_pid=""
stop_ecusim
[ ! -f "$work/Tarvex.log" ] || cp "$work/Tarvex.log" "$demo/Tarvex.log"

say "the last lines of Tarvex's log"
if [ -f "$demo/Tarvex.log" ]; then
    tr -d '\r' <"$demo/Tarvex.log" | grep -a -v '^[[:space:]]*$' | tail -n 12
    echo
else
    echo "(Tarvex wrote no log)"
fi
print_summary
if [ -f "$demo/tarvex-demo.png" ]; then
    echo "screenshot:   build/demo/tarvex-demo.png"
fi
echo "Tarvex's log: build/demo/Tarvex.log"
