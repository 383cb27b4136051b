#!/usr/bin/env bash
# Makes docs/screenshot.png: the window attached to the virtual unit, rendered
# on the offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target efis_screenshot
mkdir -p docs
QT_QPA_PLATFORM=offscreen build/efis_screenshot docs/screenshot.png >/dev/null 2>&1
echo "docs/screenshot.png written"
