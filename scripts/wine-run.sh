#!/bin/sh
# Runs a cross-built Windows program under Wine in a private prefix of the build tree, quietly:
# the way CTest runs the cross-built unit tests. The prefix is made on first use, under a lock so
# that tests started side by side do not build it twice. TARVEX_WINEPREFIX overrides its place.
set -e
prefix=${TARVEX_WINEPREFIX:-$(dirname "$(pwd)")/wineprefix-tests}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$prefix"
flock "$prefix.lock" sh -c '
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi'
# wine's background processes inherit its output; keep them off the caller's pipe.
exec wine "$@" </dev/null
