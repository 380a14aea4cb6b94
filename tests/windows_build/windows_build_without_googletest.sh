#!/bin/sh
# The programs of the Windows build, built where there is no GoogleTest: once with the tests off
# (as scripts/release.sh builds), once with them on as the default is, which must leave out only
# what needs GoogleTest. Each program the build lists (programs.txt) must be there afterwards.
#   windows_build_without_googletest.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1 build=$2
rm -rf "$build"
mkdir -p "$build"

# GoogleTest out of reach: no installed package, and Debian's sources named where there are none.
build() {
    what=$1
    shift
    if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DTARVEX_GTEST_SOURCE_DIR="$build/no-googletest" \
        "$@" >"$build/configure-$what.log" 2>&1; then
        cat "$build/configure-$what.log"
        echo "FAILED: configuring with $what"
        exit 1
    fi
    if ! cmake --build "$build" >"$build/build-$what.log" 2>&1; then
        tail -n 40 "$build/build-$what.log"
        echo "FAILED: building with $what"
        exit 1
    fi
    # Nothing taken from Debian's GoogleTest sources by a path of its own either.
    if grep -q /usr/src/googletest "$build/build.ninja"; then
        echo "FAILED: with $what, the build uses /usr/src/googletest"
        exit 1
    fi
    missing=""
    while read -r program; do
        [ -f "$program" ] || missing="$missing $program"
    done <"$build/programs.txt"
    for program in Tarvex.exe tarvex-log.exe tarvex-port.exe; do
        grep -q "/$program\$" "$build/programs.txt" || missing="$missing $program"
    done
    if [ -n "$missing" ]; then
        echo "FAILED: with $what, no$missing"
        exit 1
    fi
    echo "with $what: built $(tr '\n' ' ' <"$build/programs.txt")"
}

build "the tests off" -DTARVEX_TESTS=OFF
build "the tests on" -DTARVEX_TESTS=ON
if ! grep -q "GoogleTest not found" "$build/configure-the tests on.log"; then
    echo "FAILED: the tests on, and no word that the unit tests are left out"
    exit 1
fi
