#!/bin/sh
# Builds Tarvex from nothing in both configurations and runs every test, in the folders of
# scripts/build-dirs.sh, each removed first:
#   build/test-win     cross build (MinGW-w64): Tarvex.exe, tvctl.exe, unit tests run under Wine
#   build/test-native  native build (g++, ASan + UBSan): unit tests, ecusim, end-to-end tests
#   build/fuzz         clang with libFuzzer: the corpora replayed, then each target fuzzed for
#                      FUZZ_SECONDS (default 45) seconds
#   build/release      the release (scripts/release.sh): dist/tarvex-VERSION-win64.zip, which an
#                      end-to-end test unpacks into a new Wine prefix and runs as a user would
# The benchmarks are built too (not run: scripts/bench.sh does that), so that a change to the
# platform seam cannot leave their platforms behind unnoticed.
# Installs the Debian packages it needs when they are missing (scripts/install-deps.sh).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

. scripts/build-dirs.sh
rm -rf "$TEST_WIN" "$TEST_NATIVE" "$FUZZ"
configure_test_win
cmake --build "$TEST_WIN"
configure_test_native
cmake --build "$TEST_NATIVE"
./scripts/release.sh

status=0
ctest --test-dir "$TEST_WIN" --output-on-failure -j2 || status=1
ctest --test-dir "$TEST_NATIVE" --output-on-failure -j2 || status=1
FUZZ_SECONDS=${FUZZ_SECONDS:-45} FUZZ_BUILD_DIR=$FUZZ ./scripts/fuzz.sh || status=1
cmake --build "$FUZZ"
ctest --test-dir "$FUZZ" --output-on-failure -j2 || status=1
[ $status -eq 0 ] && echo "All tests passed." || echo "Some tests FAILED."
exit $status
