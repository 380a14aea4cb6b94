#!/bin/sh
# Builds Tarvex from nothing in both configurations and runs every test:
#   build/test-win     cross build (MinGW-w64): Tarvex.exe, tvctl.exe, unit tests run under Wine
#   build/test-native  native build (g++, ASan + UBSan): unit tests, ecusim, end-to-end tests
#   build/test-fuzz    clang with libFuzzer: the corpora replayed, then each target fuzzed for
#                      FUZZ_SECONDS (default 45) seconds
#   build/release      the release (scripts/release.sh): dist/tarvex-VERSION-win64.zip, which an
#                      end-to-end test unpacks into a new Wine prefix and runs as a user would
# The benchmarks are built too (not run: scripts/bench.sh does that), so that a change to the
# platform seam cannot leave their platforms behind unnoticed.
# Installs the Debian packages it needs when they are missing (scripts/install-deps.sh).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

rm -rf build/test-win build/test-native build/test-fuzz
cmake -S . -B build/test-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARVEX_BENCH=ON
cmake --build build/test-win
cmake -S . -B build/test-native -G Ninja -DTARVEX_SANITIZE=ON -DTARVEX_BENCH=ON \
    -DTARVEX_WIN_BUILD_DIR="$(pwd)/build/test-win"
cmake --build build/test-native
./scripts/release.sh

status=0
ctest --test-dir build/test-win --output-on-failure -j2 || status=1
ctest --test-dir build/test-native --output-on-failure -j2 || status=1
FUZZ_SECONDS=${FUZZ_SECONDS:-45} FUZZ_BUILD_DIR=build/test-fuzz ./scripts/fuzz.sh || status=1
cmake --build build/test-fuzz
ctest --test-dir build/test-fuzz --output-on-failure -j2 || status=1
[ $status -eq 0 ] && echo "All tests passed." || echo "Some tests FAILED."
exit $status
