# The build folders the scripts share: one for each configuration, named here and nowhere else,
# with the options that make it that configuration. Sourced from the top of the tree by the
# scripts; tools/tarvex-log/tests/record_logs.py reads the NAME=folder lines too.
#
#   build/win-release     cross, Release, benchmarks on: Tarvex.exe, tvctl.exe and
#                         TarvexTickTiming.exe for the demo, the benchmarks and record_logs.py
#   build/native-release  native, Release, benchmarks on, no sanitizers (the benchmarks would time
#                         them): ecusim, the RTS bridge, ecusim_client, tick_bench, tarvex-log
#   build/test-win        cross, the tests' configuration: the unit tests under Wine
#   build/test-native     native, ASan + UBSan: the unit tests, and the end-to-end tests with
#                         build/test-win's Tarvex.exe; scripts/test.sh and scripts/reliability.sh
#   build/fuzz            clang with libFuzzer: scripts/fuzz.sh, for itself, test.sh and
#                         reliability.sh
#   build/release         the release alone (scripts/release.sh): Release with the tests off, which
#                         no other script builds; wiped before every release
#
# scripts/test.sh wipes and rebuilds its folders (test-*, fuzz, release); the other scripts build
# in theirs as they find them.
WIN_RELEASE=build/win-release
NATIVE_RELEASE=build/native-release
TEST_WIN=build/test-win
TEST_NATIVE=build/test-native
FUZZ=build/fuzz
RELEASE=build/release

# Each configure_* configures its folder (or the folder given) once; later runs only build there.
configure() {
    _folder=$1
    shift
    [ -f "$_folder/build.ninja" ] || cmake -S . -B "$_folder" -G Ninja "$@"
}
configure_win_release() {
    configure "${1:-$WIN_RELEASE}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DTARVEX_BENCH=ON
}
configure_native_release() {
    configure "${1:-$NATIVE_RELEASE}" -DCMAKE_BUILD_TYPE=Release -DTARVEX_BENCH=ON
}
configure_test_win() {
    configure "${1:-$TEST_WIN}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARVEX_BENCH=ON
}
# The end-to-end tests run the Tarvex.exe of the second folder (build/test-win), built first.
configure_test_native() {
    configure "${1:-$TEST_NATIVE}" -DTARVEX_SANITIZE=ON -DTARVEX_BENCH=ON \
        -DTARVEX_WIN_BUILD_DIR="$(cd "${2:-$TEST_WIN}" && pwd)"
}
configure_fuzz() {
    configure "${1:-$FUZZ}" -DTARVEX_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
}
configure_release() {
    configure "${1:-$RELEASE}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DTARVEX_TESTS=OFF
}
