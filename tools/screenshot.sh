#!/usr/bin/env bash
# Makes the pictures of the guide in docs/: screenshot-settings.png,
# screenshot-firmware.png and screenshot-airports.png (the window attached to
# the virtual unit, one picture per tab), screenshot-about.png (its About
# box) and screenshot-no-unit.png (the window where no unit is connected),
# rendered on the offscreen platform at 100 %. Then draws the window at 150
# and 200 % offscreen, and at 100, 150 and 200 % on a real X server (Xvfb),
# and fails if the window did not grow with the density, a caption is cut
# off or not level with the control it names, or a text field lacks room for
# its line or part of its frame.
# EFIS_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_deps.sh
build=${EFIS_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target efis_screenshot
mkdir -p docs
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The window keeps a log of each run; these runs are not the user's.
export XDG_STATE_HOME="$tmp/state"

# run NAME SCALE PREFIX COMMAND...: draws the window under COMMAND (which
# sets the platform and density), expecting SCALE device pixels per pixel.
run() {
  local name=$1 scale=$2 prefix=$3
  shift 3
  "$@" "$build/efis_screenshot" --scale "$scale" "$prefix" 2>"$tmp/$name.log" >/dev/null ||
    { echo "$name:"; grep -E '^(cut off|not level|frame cut|drawn at|cannot write|the window)' "$tmp/$name.log"; exit 1; }
}

run offscreen-100 1 docs/screenshot env QT_QPA_PLATFORM=offscreen QT_FONT_DPI=96
echo "docs/screenshot-{settings,firmware,airports,about,no-unit}.png written"
run offscreen-150 1.5 "$tmp/o150" env QT_QPA_PLATFORM=offscreen QT_FONT_DPI=144
run offscreen-200 2 "$tmp/o200" env QT_QPA_PLATFORM=offscreen QT_FONT_DPI=192
echo "offscreen: 150 % and 200 % checks passed"
# Xvfb takes its density from a screen size in whole millimetres: -dpi 144
# gives a scale of 1.4987. A desktop set to 150 % gives exactly 1.5, where
# one-pixel lines fall on half device pixels; QT_SCALE_FACTOR=1.5 does too.
for x in "100 1 96 1" "150 1.5 144 1" "150 1.5 96 1.5" "200 2 192 1"; do
  read -r percent scale dpi factor <<<"$x"
  run "xvfb-$percent-dpi$dpi" "$scale" "$tmp/x$percent-$dpi" \
    env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$factor" xvfb-run -a -s "-screen 0 2400x1600x24 -dpi $dpi"
done
echo "Xvfb: 100 %, 150 % and 200 % checks passed"
