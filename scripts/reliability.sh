#!/bin/sh
# Refreshes docs/reliability.md's figures: fuzzes each target briefly (scripts/fuzz.sh), runs the
# fault injection unit tests, the reliability and link end-to-end tests under Wine, and a soak,
# then rewrites the page's table of what each produced (bench/report.py).
#
#   scripts/reliability.sh                          fuzz 60 s a target, soak 30 minutes
#   FUZZ_SECONDS=10 SOAK_MINUTES=3 scripts/reliability.sh     a quick pass
#   REL_WIN_DIR=<dir> REL_NATIVE_DIR=<dir>          other build directories than the tests'
#                                                   (build/test-win, build/test-native)
#   REL_STEPS="soak" scripts/reliability.sh         run only these steps (of fuzz fault e2e
#                                                   soak); the table takes the others' last output
#
# Exits nonzero when anything failed; the table says what.
set -u
cd "$(dirname "$0")/.."
root=$PWD
# The tests' configuration and folders (scripts/build-dirs.sh): the end-to-end tests are theirs.
. scripts/build-dirs.sh
win=${REL_WIN_DIR:-$TEST_WIN}
native=${REL_NATIVE_DIR:-$TEST_NATIVE}
fuzz_seconds=${FUZZ_SECONDS:-60}
soak_minutes=${SOAK_MINUTES:-30}
steps=${REL_STEPS:-fuzz fault e2e soak}
step() { case " $steps " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
out=$native/reliability
mkdir -p "$out"

./scripts/install-deps.sh >/dev/null || exit 2
configure_test_win "$win" >/dev/null &&
    cmake --build "$win" --target Tarvex tvctl >/dev/null &&
    configure_test_native "$native" "$win" >/dev/null &&
    cmake --build "$native" >/dev/null || { echo "build failed" >&2; exit 2; }

if step fuzz; then
    echo "== fuzzing, ${fuzz_seconds}s a target"
    FUZZ_SECONDS=$fuzz_seconds scripts/fuzz.sh \
        >"$out/fuzz.txt" 2>&1
    echo "fuzz exit $?" >>"$out/fuzz.txt"
fi

if step fault; then
    echo "== fault injection"
    "$native/tests/unit/unit_tests" --gtest_filter='FaultInjection.*' >"$out/fault.txt" 2>&1
    echo "fault exit $?" >>"$out/fault.txt"
fi

if step e2e; then
echo "== end-to-end faults under Wine"
e2e='e2e_(prefix|wake_up_faults|block_faults|every_byte_value_and_slow_ecu|close_in_every_state'
e2e="$e2e|kill_mid_run|config_shapes|pause_during_an_attempt)$"
ctest --test-dir "$native" -R "$e2e" -V >"$out/e2e.txt" 2>&1
echo "e2e exit $?" >>"$out/e2e.txt"
fi

if step soak; then
echo "== soak, ${soak_minutes} minutes"
(
    export TARVEX_EXE="$root/$win/Tarvex.exe" TARVEX_TVCTL="$root/$win/tools/rig/tvctl.exe"
    # A prefix of its own, so that end-to-end tests run meanwhile cannot stop its wineserver.
    export TARVEX_E2E_DIR="$root/$native/soak-e2e" TARVEX_ECUSIM="$root/$native/tools/ecusim/ecusim"
    export TARVEX_RTSBRIDGE="$root/$native/tools/ecusim/librtsbridge.so"
    python3 tools/rig/wine_rig.py make-prefix >/dev/null &&
        python3 tests/e2e/soak.py --minutes "$soak_minutes" --json "$out/soak.json"
) >"$out/soak.txt" 2>&1
echo "soak exit $?" >>"$out/soak.txt"
fi

python3 bench/report.py --reliability "$out" docs/reliability.md
status=$?
cat docs/reliability.md
exit $status
