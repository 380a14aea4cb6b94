#!/bin/sh
# tarvex-port as a user runs it, where no adapter is needed: a wrong command line, a port that is
# not there, and Tarvex.cfg written, replaced and kept, byte for byte. (Which command lines and
# names are refused, and how a name is written, are the unit tests'.)
#   cli_test.sh WORKDIR TARVEX_PORT...   (the program, perhaps behind a runner such as wine)
set -u
work=$1
shift
# The runner (scripts/wine-run.sh) finds the build folder's prefix from the work folder too.
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
# expected status # what standard output and standard error together must hold # the file's
# bytes before ('-': none, else printf's format) # after # arguments
while IFS='#' read -r status says before after args; do
    rm -f Tarvex.cfg
    [ "$before" = - ] || printf "$before" >Tarvex.cfg
    # shellcheck disable=SC2086  # the arguments are words
    "$@" $args >out 2>err
    got=$?
    cat out err | tr -d '\r' >said
    if [ "$after" = - ]; then
        [ ! -e Tarvex.cfg ]
    else
        printf "$after" | cmp -s - Tarvex.cfg
    fi
    file_ok=$?
    if [ "$got" -ne "$status" ] || ! grep -qF -- "$says" said || [ "$file_ok" -ne 0 ]; then
        echo "FAILED: tarvex-port $args: status $got (want $status), Tarvex.cfg right: $file_ok"
        cat said
        failures=$((failures + 1))
    fi
done <<EOF_CASES
2#Usage: tarvex-port list | check COMn | use COMn#-#-#
2#Not a port name: "COM3.cfg".#COM9:#COM9:#use COM3.cfg
1#No such port: COM250. Run tarvex-port list to see the ports Windows knows;#-#-#check COM250
0#Wrote Tarvex.cfg: "COM12" (there was none).#-#COM12#use com12
0#Replaced Tarvex.cfg: it held "COM9:\\r\\n", now "COM4".#COM9:\r\n#COM4#use COM4
0#Tarvex.cfg already holds "COM4".#COM4#COM4#use COM4
EOF_CASES
exit "$failures"
