#!/bin/sh
# The report of a recorded log, opened in a real browser (headless chromium) and photographed:
# the picture must show five charts (black panels down the page) and every channel's colour, in
# its trace, its legend and the table.
#   report_in_browser.sh TARVEX_LOG LOG WORKDIR [PICTURE]   PICTURE: where to keep the screenshot
set -eu
tool=$1 log=$2 work=$3 picture=${4:-}
mkdir -p "$work"
"$tool" report "$log" -o "$work/report.html"
# The browser wants a home and a runtime folder of its own, and nothing from a desktop session.
HOME=$work XDG_RUNTIME_DIR=$work timeout 120 chromium --headless --no-sandbox --disable-gpu \
    --hide-scrollbars --no-first-run --window-size=960,1660 \
    --screenshot="$work/report.png" "file://$(realpath "$work/report.html")" >"$work/chromium.log" 2>&1
[ -s "$work/report.png" ] || { echo "no screenshot; see $work/chromium.log"; exit 1; }
convert "$work/report.png" txt:- | python3 -c '
import sys, collections
pixels, column = collections.Counter(), []
for line in sys.stdin:
    if line.startswith("#"):
        continue
    where, colour = line.split(":")[0], line.split()[2]
    x, y = map(int, where.split(","))
    pixels[colour] += 1
    if x == 40:
        column.append(colour)
panels = sum(1 for i, c in enumerate(column) if c == "#000000" and column[i - 1] != "#000000"
             and column[i:i + 150].count("#000000") >= 150)
colours = {"Intake Air Temp": "#FF0000", "Cylinder Head Temp": "#C86400", "AFM Voltage": "#00FF00",
           "RPM": "#0000FF", "Injector Time": "#F0F032", "Ignition Advance": "#B4B4B4",
           "MAF Sensor": "#FA00FA", "Battery": "#FFC8C8"}
missing = [name for name, colour in colours.items() if pixels[colour] < 20]
print("charts: %d; pixels per channel colour: %s" % (panels, {n: pixels[c] for n, c in colours.items()}))
if panels != 5 or missing:
    sys.exit("want 5 charts and every channel colour; missing: %s" % missing)
'
[ -z "$picture" ] || cp "$work/report.png" "$picture"
