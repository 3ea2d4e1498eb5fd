#!/usr/bin/env bash
# Checks the layering and the sizes first (scripts/check-layers.sh,
# scripts/check-sizes.sh), then builds and runs
# every test: a normal build, then the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the engine tests under
# ThreadSanitizer, then every fuzz target for a short fixed time (bench/fuzz).
# After the normal build, its Debian package is built, installed, tried from
# elsewhere with folders of its own, and removed again.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

echo "== [${SECONDS} s] layering and sizes"
./scripts/check-layers.sh
./scripts/check-layers.sh --self-test
./scripts/check-sizes.sh
./scripts/check-sizes.sh --self-test

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=${JOBS:-2}

configure() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVELMORA_BUILD_BENCH=OFF "$@" >/dev/null
}

# Each sanitizer build compiles in the background, at the lowest priority,
# while the stage before it runs its tests: those mostly wait on sockets and
# time-outs, and the compiler takes the time the cores would sit idle. The
# sanitizer builds carry line tables only (-g1: the reports still name file
# and line) and build only what their tests run: no end-to-end test programs
# (they run the real program, never under a sanitizer) and no developer tools.
background=""
start_background_build() { # log, cmake --build arguments...
    local log=$1
    shift
    nice -n 19 cmake --build "$@" >"$log" 2>&1 &
    background=$!
}
finish_background_build() { # log
    local pid=$background
    background=""
    if ! wait "$pid"; then
        cat "$1"
        echo "the build in the background failed (log above: $1)"
        exit 1
    fi
    tail -n 1 "$1"
}
stop_background() {
    if [ -n "$background" ]; then
        kill "$background" 2>/dev/null || true
    fi
}
trap stop_background EXIT
sanitizer_build=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
    -DVELMORA_BUILD_E2E_TESTS=OFF -DVELMORA_BUILD_TOOLS=OFF)

echo "== [${SECONDS} s] build and test"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=ON \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$jobs"
configure build-asan "${sanitizer_build[@]}" -DVELMORA_SANITIZE=address
start_background_build build-asan/background-build.log build-asan -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== [${SECONDS} s] Debian package"
rm -f build/velmora_*.deb
(cd build && cpack -G DEB >/dev/null)
package=$(ls build/velmora_*.deb)
dpkg-deb --info "$package" | grep -E '^ (Package|Version|Architecture|Section|Depends):'
export DEBIAN_FRONTEND=noninteractive
try_dir=$(mktemp -d)
# The machine is left as found, also when a step fails.
trap 'apt-get remove -y -qq velmora >/dev/null || true; rm -rf "$try_dir"; stop_background' EXIT
apt-get install -y -qq "./$package" >/dev/null
mkdir -p "$try_dir/work" "$try_dir/home" "$try_dir/data" "$try_dir/config"
(
    cd "$try_dir/work"
    export HOME=$try_dir/home XDG_DATA_HOME=$try_dir/data XDG_CONFIG_HOME=$try_dir/config
    velmora --version
    velmora list proxies # the first run makes the data folder
    test -f "$XDG_DATA_HOME/VelmoraAnonymizer/Proxies.cds"
    velmora --files
    # Both validators must be silent: a hint is a fault here too.
    hints=$(desktop-file-validate /usr/share/applications/velmora.desktop 2>&1) || true
    if [ -n "$hints" ]; then
        echo "desktop-file-validate: $hints"
        exit 1
    fi
    hints=$(appstreamcli validate --no-net --pedantic /usr/share/metainfo/*.metainfo.xml 2>&1 |
        grep -v 'Validation was successful' || true)
    if [ -n "$hints" ]; then
        echo "appstreamcli validate: $hints"
        exit 1
    fi
    echo "desktop-file-validate and appstreamcli validate --pedantic: no hints"
)
apt-get remove -y -qq velmora >/dev/null
rm -rf "$try_dir"
trap stop_background EXIT

echo "== [${SECONDS} s] AddressSanitizer + UndefinedBehaviorSanitizer"
finish_background_build build-asan/background-build.log
configure build-tsan "${sanitizer_build[@]}" -DVELMORA_SANITIZE=thread
start_background_build build-tsan/background-build.log build-tsan -j"$jobs" --target test_engine test_check
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -LE e2e

echo "== [${SECONDS} s] ThreadSanitizer (engine, checks)"
finish_background_build build-tsan/background-build.log
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L 'engine|check'

echo "== [${SECONDS} s] fuzz targets (clang + libFuzzer), ${FUZZ_SECONDS:-20} s each"
bench/fuzz "${FUZZ_SECONDS:-20}"

echo "== [${SECONDS} s] all tests passed"
