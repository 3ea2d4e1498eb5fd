#!/usr/bin/env bash
# Checks the layering first (scripts/check-layers.sh), then builds and runs
# every test: a normal build, then the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the engine tests under
# ThreadSanitizer, then every fuzz target for a short fixed time (bench/fuzz).
# After the normal build, its Debian package is built, installed, tried from
# elsewhere with folders of its own, and removed again.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== [${SECONDS} s] layering"
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

echo "== [${SECONDS} s] build and test"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=ON \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== [${SECONDS} s] Debian package"
rm -f build/velmora_*.deb
(cd build && cpack -G DEB >/dev/null)
package=$(ls build/velmora_*.deb)
dpkg-deb --info "$package" | grep -E '^ (Package|Version|Architecture|Section|Depends):'
export DEBIAN_FRONTEND=noninteractive
try_dir=$(mktemp -d)
# The machine is left as found, also when a step fails.
trap 'apt-get remove -y -qq velmora >/dev/null || true; rm -rf "$try_dir"' EXIT
apt-get install -y -qq "./$package" >/dev/null
mkdir -p "$try_dir/work" "$try_dir/home" "$try_dir/data" "$try_dir/config"
(
    cd "$try_dir/work"
    export HOME=$try_dir/home XDG_DATA_HOME=$try_dir/data XDG_CONFIG_HOME=$try_dir/config
    velmora --version
    velmora list proxies # the first run makes the data folder
    test -f "$XDG_DATA_HOME/VelmoraAnonymizer/Proxies.cds"
    velmora --files
    desktop-file-validate /usr/share/applications/velmora.desktop
    appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml
)
apt-get remove -y -qq velmora >/dev/null
rm -rf "$try_dir"
trap - EXIT

echo "== [${SECONDS} s] AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=address
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -LE e2e

echo "== [${SECONDS} s] ThreadSanitizer (engine, checks)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target test_engine test_check
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L 'engine|check'

echo "== [${SECONDS} s] fuzz targets (clang + libFuzzer), ${FUZZ_SECONDS:-20} s each"
bench/fuzz "${FUZZ_SECONDS:-20}"

echo "== [${SECONDS} s] all tests passed"
