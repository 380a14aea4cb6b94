#!/bin/sh
# The report of a recorded log, opened in a real browser (headless chromium) and photographed:
# the picture must show five charts (black panels down the page) and, below them, the table with
# every channel's name in its colour.
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
# "X,Y: (R,G,B)  #RRGGBB  srgb(...)" a pixel, after a comment line
at = [(tuple(map(int, line.split(":")[0].split(","))), line.split()[2]) for line in sys.stdin
      if not line.startswith("#")]
column = [c for (x, y), c in at if x == 40]
# A chart: a black run of 150 pixels or more down that column.
panels = len([y for y, c in enumerate(column) if c == "#000000" and column[y - 1] != "#000000"
              and column[y:y + 150].count("#000000") >= 150])
# Below the last chart: the table, its channel names in their colours.
last_end = max(y for y, c in enumerate(column) if c == "#000000")
pixels = collections.Counter(c for (x, y), c in at if y > last_end)
colours = {"Intake Air Temp": "#FF0000", "Cylinder Head Temp": "#C86400", "AFM Voltage": "#00FF00",
           "RPM": "#0000FF", "Injector Time": "#F0F032", "Ignition Advance": "#B4B4B4",
           "MAF Sensor": "#FA00FA", "Battery": "#FFC8C8"}
missing = [name for name, colour in colours.items() if pixels[colour] < 10]
print("charts: %d; table pixels per channel colour: %s" % (panels, {n: pixels[c] for n, c in colours.items()}))
if panels != 5 or missing:
    sys.exit("want 5 charts and every channel colour; missing: %s" % missing)
'
[ -z "$picture" ] || cp "$work/report.png" "$picture"
