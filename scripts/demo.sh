#!/bin/sh
# Builds Tarvex and runs it under Wine against the simulated adapter and ECU (tools/ecusim), so
# that it can be seen at work without a car.
#
# With a reachable $DISPLAY, Tarvex's window opens there and the demo lasts until it is closed.
# Otherwise Tarvex runs on a private Xvfb for DEMO_SECONDS (default 60); then the demo takes a
# screenshot (build/demo/tarvex-demo.png), closes Tarvex, and copies its log to build/demo/.
#
#   build/win-release     the cross build (scripts/build-dirs.sh): Tarvex.exe and tvctl.exe
#   build/native-release  the native build: ecusim and the RTS bridge
#   build/demo/           the Wine prefix, the screenshot and Tarvex's log; each run's files
#                         (Tarvex's working directory, ecusim's trace and summary) in
#                         artefacts/demo/
#
# The run itself is tools/rig/demo.py, on the rig that the end-to-end tests use: ecusim plays the
# adapter on a pty linked as the prefix's com9, and wine runs with the RTS bridge preloaded,
# which answers Wine's modem-control ioctls on ptys and tells ecusim about every change of RTS
# (a pty has no RTS line, which Tarvex switches by hand to wake the ECU).
set -eu
cd "$(dirname "$0")/.."
. scripts/build-dirs.sh

case "${DEMO_SECONDS:-60}" in
'' | *[!0-9]*) echo "DEMO_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac
say() { printf '== %s\n' "$*"; }

./scripts/install-deps.sh

say "building Tarvex.exe ($WIN_RELEASE)"
configure_win_release
cmake --build "$WIN_RELEASE" --target Tarvex tvctl

say "building ecusim and the RTS bridge ($NATIVE_RELEASE)"
configure_native_release
cmake --build "$NATIVE_RELEASE" --target ecusim rtsbridge

export TARVEX_EXE="$PWD/$WIN_RELEASE/Tarvex.exe" TARVEX_E2E_DIR="$PWD/build/demo"
export TARVEX_ECUSIM="$PWD/$NATIVE_RELEASE/tools/ecusim/ecusim"
export TARVEX_RTSBRIDGE="$PWD/$NATIVE_RELEASE/tools/ecusim/librtsbridge.so"
exec python3 tools/rig/demo.py
