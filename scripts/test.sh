#!/usr/bin/env bash
# Builds and runs every test: a normal build, then the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the engine tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=${JOBS:-2}

build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVELMORA_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

echo "== build and test"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -LE e2e

echo "== ThreadSanitizer (engine)"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L engine

echo "== all tests passed"
