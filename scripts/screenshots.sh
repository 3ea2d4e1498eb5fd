#!/usr/bin/env bash
# Takes the README's screenshots under Xvfb: the splash, every page of the
# main window, and the window during and after a check, on a data folder of
# its own with local proxies. Writes the PNGs into docs/screenshots/, and
# the same at twice the scale (a high-resolution screen) into
# docs/screenshots/2x/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target velmora_screenshots
mkdir -p docs/screenshots docs/screenshots/2x
QT_QPA_PLATFORM=xcb timeout 180 xvfb-run -a -s "-screen 0 1280x1024x24" \
    "./$build/tools/velmora_screenshots" docs/screenshots
QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=2 timeout 180 xvfb-run -a -s "-screen 0 2560x2048x24" \
    "./$build/tools/velmora_screenshots" docs/screenshots/2x
