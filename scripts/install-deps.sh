#!/bin/sh
# Installs the Debian packages that building and testing Tarvex need, when they are missing:
# as root directly, otherwise through sudo.
set -eu
packages="cmake ninja-build g++ make python3 googletest libgtest-dev libbenchmark-dev \
clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
wine wine64 xvfb xdotool imagemagick x11-utils util-linux chromium"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
$as_root apt-get update
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y --no-install-recommends $missing
