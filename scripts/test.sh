#!/usr/bin/env bash
# Checks the layering first (scripts/check-layers.sh), then builds and runs
# every test: a normal build, then the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the engine tests under
# ThreadSanitizer, then every fuzz target for a short fixed time (bench/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== layering"
./scripts/check-layers.sh
./scripts/check-layers.sh --self-test

./scripts/deps.sh

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=${JOBS:-2}

configure() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVELMORA_BUILD_BENCH=OFF "$@" >/dev/null
}

echo "== build and test"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=address
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -LE e2e

echo "== ThreadSanitizer (engine, checks)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target test_engine test_check
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L 'engine|check'

echo "== fuzz targets (clang + libFuzzer), ${FUZZ_SECONDS:-20} s each"
bench/fuzz "${FUZZ_SECONDS:-20}"

echo "== all tests passed"
