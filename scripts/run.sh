#!/usr/bin/env bash
# Builds and starts Velmora Anonymizer: the window when a display is there,
# the headless services otherwise. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}"
if [ $# -eq 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    set -- --headless
fi
exec ./build/app/velmora "$@"
