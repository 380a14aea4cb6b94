#!/bin/sh
# Runs a cross-built Windows program under Wine in a private prefix of the build tree, quietly:
# the way CTest runs the cross-built unit tests. The prefix is made on first use.
# TARVEX_WINEPREFIX overrides where the prefix lives.
set -e
prefix=${TARVEX_WINEPREFIX:-$(pwd)/wineprefix-tests}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Wine's background processes inherit stdout and stderr; the program's own output is what we
# want, so only the program writes to the terminal and the server is waited for separately.
status=0
wine "$@" || status=$?
exit $status
