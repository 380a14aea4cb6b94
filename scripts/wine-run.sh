#!/bin/sh
# Runs a cross-built Windows program under Wine, quietly, in the Wine prefix of the build folder it
# is started in (wineprefix-tests beside CMakeCache.txt): the way CTest runs the cross build's
# tests. The prefix is made on first use by the rig's prefix maker (tools/rig/wine_rig.py), under
# a lock so that tests started side by side do not make it twice. TARVEX_WINEPREFIX overrides its
# place.
set -e
rig=$(cd "$(dirname "$0")/../tools/rig" && pwd)/wine_rig.py
if [ -z "${TARVEX_WINEPREFIX:-}" ]; then
    build=$(pwd)
    while [ ! -f "$build/CMakeCache.txt" ] && [ "$build" != / ]; do build=$(dirname "$build"); done
    [ "$build" != / ] || { echo "wine-run.sh: not inside a build folder: $(pwd)" >&2; exit 2; }
    TARVEX_WINEPREFIX=$build/wineprefix-tests
fi
export WINEPREFIX="$TARVEX_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"
# The maker is a Python program, which each of the many test programs need not start again.
flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || python3 "$1" make-prefix "$WINEPREFIX"' \
    sh "$rig" </dev/null
# wine's background processes inherit its output; keep them off the caller's pipe.
exec wine "$@" </dev/null
