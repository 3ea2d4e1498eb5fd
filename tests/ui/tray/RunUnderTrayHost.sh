#!/usr/bin/env bash
# Runs the tray tests (test_ui_tray) on the xcb platform inside a private
# Xvfb: "host" with trayer holding the system tray, "none" without any tray
# host (the negative control). trayer is started here and stopped by its PID.
#   RunUnderTrayHost.sh BINARY host|none
set -uo pipefail
bin=$1
mode=$2
if [ "${3:-}" != "--inside" ]; then
    if ! command -v xvfb-run >/dev/null; then
        echo "xvfb-run is not installed (scripts/deps.sh)"
        exit 77
    fi
    exec timeout 300 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$bin" "$mode" --inside
fi

export QT_QPA_PLATFORM=xcb
# No desktop's tray through D-Bus: the XEmbed tray of the host below or none.
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/velmora-no-bus
tray_pid=""
if [ "$mode" = host ]; then
    if command -v trayer >/dev/null; then
        trayer --edge top --align right --widthtype request --height 32 &
        tray_pid=$!
        export VELMORA_TRAY_HOST=host
    else
        export VELMORA_TRAY_HOST_PROBLEM="trayer is not installed (scripts/deps.sh)"
    fi
    filter='TrayHost.*'
else
    export VELMORA_TRAY_HOST=none
    filter='NoTrayHost.*'
fi
"$bin" --gtest_filter="$filter"
status=$?
if [ -n "$tray_pid" ]; then
    kill "$tray_pid" 2>/dev/null
    wait "$tray_pid" 2>/dev/null
fi
exit $status
