#!/bin/sh
# The Windows release, built from nothing: dist/tarvex-VERSION-win64.zip, which CPack makes
# (cmake/release.cmake), and its SHA-256 beside it in sha256sum's format (`sha256sum -c` checks
# it). The build has a folder of its own (build/release, scripts/build-dirs.sh), Release mode, no
# tests, removed first so that nothing of an earlier build can reach the zip; no other script
# builds that configuration, so sharing the folder would save nothing. The zip is checked
# (scripts/check_release.py) before it goes to dist/.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

. scripts/build-dirs.sh
build=$RELEASE
rm -rf "$build"
configure_release
cmake --build "$build"
(cd "$build" && cpack -G ZIP)
zip=$(echo "$build"/package/tarvex-*-win64.zip)
[ -f "$zip" ] || { echo "release.sh: CPack made no zip"; exit 1; }
python3 scripts/check_release.py "$zip" --programs "$build/programs.txt"

name=$(basename "$zip")
mkdir -p dist
cp "$zip" "dist/$name.tmp"
mv "dist/$name.tmp" "dist/$name"
(cd dist && sha256sum "$name" >"$name.sha256.tmp" && mv "$name.sha256.tmp" "$name.sha256")
echo "release.sh: dist/$name and dist/$name.sha256"
