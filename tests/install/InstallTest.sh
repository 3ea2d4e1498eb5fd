#!/usr/bin/env bash
# Installs the build into a temporary prefix (`cmake --install --prefix`)
# and tries the installed copy from a folder of its own, with a home, data,
# configuration and runtime folder of its own and no system data folders:
#   layout    every file in its place; --version; the theme and the user
#             guide found in the installation (--files); the window opens
#             offscreen (its module loads and its theme applies) and ends on
#             SIGTERM
#   metadata  the menu entry and the AppStream data pass the desktop's own
#             validators without a hint (skipped, status 77, where they are
#             not installed)
# Usage: InstallTest.sh BUILD_DIR VERSION layout|metadata
set -euo pipefail
build=$1 version=$2 mode=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
data=$prefix/share

fail() {
    echo "FAIL: $*"
    exit 1
}

if [ "$mode" = metadata ]; then
    missing=()
    command -v desktop-file-validate >/dev/null || missing+=(desktop-file-validate)
    command -v appstreamcli >/dev/null || missing+=(appstreamcli)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "skipped: ${missing[*]} not installed (packages desktop-file-utils, appstream)"
        exit 77
    fi
    # Silent, not only valid: a hint (a category that wants another beside
    # it, say) is a fault as well.
    out=$(desktop-file-validate "$data/applications/velmora.desktop" 2>&1) ||
        fail "the menu entry is not valid: $out"
    [ -z "$out" ] || fail "desktop-file-validate is not silent: $out"
    out=$(appstreamcli validate --no-net --pedantic "$data"/metainfo/*.metainfo.xml 2>&1) ||
        fail "the AppStream data is not valid: $out"
    ! grep -v 'Validation was successful' <<<"$out" | grep -q . ||
        fail "appstreamcli validate --pedantic is not silent: $out"
    grep -q "<release version=\"$version\"" "$data"/metainfo/*.metainfo.xml ||
        fail "the AppStream release is not version $version"
    echo "the menu entry and the AppStream data are valid"
    exit 0
fi

for f in bin/velmora share/applications/velmora.desktop share/icons/hicolor/scalable/apps/velmora.svg \
    share/velmora/Style.vsf share/velmora/readme.txt share/man/man1/velmora.1; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for size in 16 24 32 48 64 128 256; do
    png=$data/icons/hicolor/${size}x$size/apps/velmora.png
    [ -f "$png" ] || fail "the ${size}x$size icon is not installed"
    # The PNG header's width and height, big-endian at bytes 16 and 20.
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
    [ "$dims" = "${size}x$size" ] || fail "the ${size}x$size icon is $dims"
done
[ "$(find "$prefix" -name velmora-window.so | wc -l)" = 1 ] || fail "velmora-window.so is not installed"
[ "$(find "$data/metainfo" -name '*.metainfo.xml' | wc -l)" = 1 ] || fail "no AppStream data"

mkdir -p "$work/elsewhere" "$work/home" "$work/runtime" "$work/nodata"
chmod 700 "$work/runtime"
cd "$work/elsewhere"
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config
export XDG_RUNTIME_DIR=$work/runtime XDG_DATA_DIRS=$work/nodata
velmora=$prefix/bin/velmora

out=$("$velmora" --version) || fail "--version ended with status $?"
[ "$out" = "Velmora Anonymizer $version" ] || fail "--version printed \"$out\""

out=$("$velmora" --files) || fail "--files: $out"
expected="Style.vsf: $data/velmora/Style.vsf
readme.txt: $data/velmora/readme.txt"
[ "$out" = "$expected" ] || fail "--files printed: $out"

# The window, offscreen: up once the running instance answers the command
# line with its chains' state.
QT_QPA_PLATFORM=offscreen "$velmora" >"$work/window.log" 2>&1 &
window=$!
up=
for _ in $(seq 150); do
    if ! kill -0 "$window" 2>/dev/null; then
        break
    fi
    if "$velmora" list chains 2>/dev/null | head -1 | grep -q $'\tState$'; then
        up=1
        break
    fi
    sleep 0.2
done
if [ -z "$up" ]; then
    kill -KILL "$window" 2>/dev/null || true
    cat "$work/window.log"
    fail "the installed window did not come up"
fi
kill -TERM "$window"
status=0
wait "$window" || status=$?
[ "$status" = 0 ] || { cat "$work/window.log"; fail "the window ended with status $status"; }
[ -d "$XDG_DATA_HOME/VelmoraAnonymizer" ] || fail "the data folder was not made"
echo "installed under $prefix: every file in place, --version, the theme and the guide found, the window opened"
