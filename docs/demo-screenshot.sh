#!/bin/sh
# Makes docs/tarvex-demo.png, the README's picture, from a screenshot of the headless demo:
#
#   DISPLAY= DEMO_SECONDS=60 ./scripts/demo.sh && docs/demo-screenshot.sh
#
# The demo's virtual display has no window manager, so Tarvex's window sits at its top-left
# corner with a frame that draws black; what is kept is the menu bar and the client area
# (994 x 556 from x 3, y 41).
set -eu
cd "$(dirname "$0")/.."
shot=${1:-build/demo/tarvex-demo.png}
[ -f "$shot" ] || { echo "no screenshot at $shot: run the demo headless first" >&2; exit 1; }
convert "$shot" -crop 994x575+3+22 +repage -strip docs/tarvex-demo.png
echo "docs/tarvex-demo.png from $shot"
