#!/usr/bin/env bash
# Makes docs/screenshot-settings.png, docs/screenshot-firmware.png and
# docs/screenshot-airports.png: the window attached to the virtual unit, one
# picture per tab, rendered on the offscreen platform at 100 %. Then draws
# it at 200 % (a 192 dpi screen) and fails if the window did not grow with
# it or a caption is cut off at either density.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target efis_screenshot
mkdir -p docs
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The window keeps a log of each run; these runs are not the user's.
export XDG_STATE_HOME="$tmp/state"
QT_QPA_PLATFORM=offscreen QT_FONT_DPI=96 build/efis_screenshot --scale 1 docs/screenshot 2>"$tmp/100.log" >/dev/null ||
  { grep -E '^(cut off|drawn at|cannot write|the window)' "$tmp/100.log"; exit 1; }
echo "docs/screenshot-settings.png, docs/screenshot-firmware.png, docs/screenshot-airports.png written"
QT_QPA_PLATFORM=offscreen QT_FONT_DPI=192 build/efis_screenshot --scale 2 "$tmp/200" 2>"$tmp/200.log" >/dev/null ||
  { grep -E '^(cut off|drawn at|cannot write|the window)' "$tmp/200.log"; exit 1; }
echo "200 % check passed: the whole form drawn at twice the size"
