#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and nothing when
# they are all present already.
set -euo pipefail
packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev clang-format pkg-config universal-ctags
    qt6-base-dev libgl-dev libgtest-dev libbenchmark-dev libnftables-dev libmnl-dev
    fonts-dejavu-core xvfb xauth trayer x11-utils
    curl microsocks dante-server tinyproxy proxychains4 libproxychains4 iperf3 procps
    iproute2 util-linux python3 liburing-dev
    desktop-file-utils libglib2.0-bin
    qt6-svg-dev appstream dpkg-dev file binutils
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
