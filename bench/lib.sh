# Shared by bench/run and bench/soak (sourced, not run): messages, the build,
# and the processes every run starts: the reference proxies on free loopback
# ports and the real program, headless, with a data folder of its own. Every
# process started here is stopped by its PID when the script ends, however
# it ends.
#
# The sourcing script sets ROOT, BUILD and BENCH_NAME (for its messages).

PLAIN_PORT=9999 # the program's own port; not configurable

say() { printf '%s\n' "$*" >&2; }
die() {
    say "$BENCH_NAME: $*"
    exit 2
}

need_tools() { # TOOL...
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || [[ -x /usr/sbin/$tool ]] ||
            die "$tool is needed (Debian packages: microsocks tinyproxy dante-server proxychains4 iperf3 iproute2)"
    done
}

# bench_build TARGET...: a Release build of the targets in $BUILD, unless
# BENCH_SKIP_BUILD=1; then checks that the programs are there.
bench_build() {
    if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
        say "building in $BUILD (Release) ..."
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_BENCH=ON \
            >"${TMPDIR:-/tmp}/velmora-bench-cmake.log" 2>&1 ||
            die "cmake configure failed (${TMPDIR:-/tmp}/velmora-bench-cmake.log)"
        cmake --build "$BUILD" -j2 --target "$@" \
            >>"${TMPDIR:-/tmp}/velmora-bench-cmake.log" 2>&1 ||
            die "build failed (${TMPDIR:-/tmp}/velmora-bench-cmake.log)"
    fi
    VELMORA=$BUILD/app/velmora
    TB=$BUILD/bench/traffic_bench
    local t
    for t in "$@"; do
        [[ $t == velmora ]] && t=app/velmora || t=bench/$t
        [[ -x $BUILD/$t ]] || die "missing $BUILD/$t"
    done
}

# ---- processes: every one started here is stopped by its PID at the end ----
WORK=$(mktemp -d /tmp/velmora-bench-XXXXXX)
chmod 0777 "$WORK" # danted started as root writes here as "nobody"
PIDS=()

is_gone() { # PID: true once it has ended (a zombie counts as ended)
    [[ ! -e /proc/$1 ]] && return 0
    local state
    state=$(sed -e 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [[ -z $state || $state == Z ]]
}

stop_pid() { # PID: SIGTERM to it and its process group, SIGKILL after 5 s
    local pid=$1 i
    is_gone "$pid" && {
        wait "$pid" 2>/dev/null
        return
    }
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 50; ++i)); do
        is_gone "$pid" && break
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null # its workers, when it left any behind
    is_gone "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# Functions run at the end, after every process has been stopped (to undo
# what a script set up besides processes: a network namespace, say).
AT_EXIT=()

cleanup() {
    local pid f
    for pid in "${PIDS[@]}"; do
        stop_pid "$pid"
    done
    PIDS=()
    for f in "${AT_EXIT[@]}"; do
        "$f"
    done
    AT_EXIT=()
    if [[ ${BENCH_KEEP:-0} == 1 ]]; then
        say "kept $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP

# start NAME COMMAND...: runs it in a process group of its own (setsid runs
# in place here: a background job of a script leads no group), leaving its
# PID in $STARTED.
start() {
    local name=$1 i pgrp
    shift
    setsid "$@" </dev/null >"$WORK/$name.log" 2>&1 &
    STARTED=$!
    PIDS+=("$STARTED")
    for ((i = 0; i < 100; ++i)); do # until setsid has made the group
        pgrp=$(sed -e 's/^.*) //' "/proc/$STARTED/stat" 2>/dev/null | cut -d' ' -f3)
        [[ $pgrp == "$STARTED" ]] && return 0
        is_gone "$STARTED" && break
        sleep 0.01
    done
    die "$name did not start in a process group of its own: $(cat "$WORK/$name.log")"
}

forget() { # PID: stopped already; drop it from the list
    local keep=() p
    for p in "${PIDS[@]}"; do
        [[ $p != "$1" ]] && keep+=("$p")
    done
    PIDS=("${keep[@]}")
}


# start_peers: microsocks, tinyproxy and danted on free loopback ports
# (MS_PORT, TP_PORT, DANTE_PORT; DANTE_PID), a proxychains4 configuration
# over the three, and the program's data folder: port 9999 as the proxy of
# chain "Self" (SELF_PORT), the three reference proxies in chain "Real"
# (REAL_PORT); all marked OK.
start_peers() {
mapfile -t PORTS < <("$TB" ports 5)
((${#PORTS[@]} == 5)) || die "no free ports"
MS_PORT=${PORTS[0]} TP_PORT=${PORTS[1]} DANTE_PORT=${PORTS[2]}
SELF_PORT=${PORTS[3]} REAL_PORT=${PORTS[4]}

start microsocks microsocks -i 127.0.0.1 -p "$MS_PORT"

cat >"$WORK/tinyproxy.conf" <<EOF
Port $TP_PORT
Listen 127.0.0.1
Timeout 600
Allow 127.0.0.1
LogLevel Error
MaxClients 2000
EOF
start tinyproxy tinyproxy -d -c "$WORK/tinyproxy.conf"

DANTE_USERS=""
[[ $(id -u) == 0 ]] && DANTE_USERS=$'user.privileged: root\nuser.unprivileged: nobody'
cat >"$WORK/danted.conf" <<EOF
logoutput: stderr
internal: 127.0.0.1 port = $DANTE_PORT
external: 127.0.0.1
clientmethod: none
socksmethod: none
$DANTE_USERS
client pass {
    from: 127.0.0.0/8 to: 0.0.0.0/0
    log: error
}
socks pass {
    from: 127.0.0.0/8 to: 0.0.0.0/0
    log: error
}
EOF
start danted danted -f "$WORK/danted.conf" -p "$WORK/danted.pid"
DANTE_PID=$STARTED

for p in "$MS_PORT" "$TP_PORT" "$DANTE_PORT"; do
    "$TB" wait "$p" 10000 || die "a reference proxy did not start on port $p (logs in $WORK)"
done

cat >"$WORK/proxychains.conf" <<EOF
strict_chain
quiet_mode
tcp_read_time_out 15000
tcp_connect_time_out 8000
[ProxyList]
socks5 127.0.0.1 $MS_PORT
http 127.0.0.1 $TP_PORT
socks5 127.0.0.1 $DANTE_PORT
EOF

# The runtime folder too: velmora run finds the running program by a socket
# there, which must be this run's, not that of another program on the machine.
export XDG_DATA_HOME=$WORK/data XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
"$TB" setup "$XDG_DATA_HOME/VelmoraAnonymizer/" "$PLAIN_PORT" "$SELF_PORT" "$REAL_PORT" \
    "$MS_PORT" "$TP_PORT" "$DANTE_PORT" >"$WORK/setup.log" 2>&1 ||
    die "data folder setup failed: $(cat "$WORK/setup.log")"

# Port 9999 serves 1,024 clients at once unless told otherwise; the row of
# 5,000 held tunnels needs more (the flood's fresh program goes without it).
SERVERS_CONF=$XDG_CONFIG_HOME/VelmoraAnonumizer/Servers.conf
mkdir -p "${SERVERS_CONF%/*}"
printf '[General]\nMaxClients=6000\n' >"$SERVERS_CONF"

# Run by root, the program and `velmora run` run as "nobody": velmora run
# never runs a program as root, and uses only a running program of the user
# it runs the program as. Copies of the two binaries sit where that user may
# run them (the build tree may be under a private home); the folders above
# become its own.
AS_USER=()
if (($(id -u) == 0)); then
    AS_USER=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    mkdir -m 0755 "$WORK/bin"
    cp "$VELMORA" "$TB" "$WORK/bin/"
    VELMORA=$WORK/bin/velmora TB_USER=$WORK/bin/traffic_bench
    chown -R 65534:65534 "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
else
    TB_USER=$TB
fi

}

VEL_PID=""
start_velmora() {
    local i
    for ((i = 0; i < 120; ++i)); do # port 9999 held by someone else's run: wait for it
        "$TB" wait "$PLAIN_PORT" 50 || break
        ((i == 0)) && say "port $PLAIN_PORT is in use; waiting up to 2 minutes for it"
        sleep 1
    done
    start velmora "${AS_USER[@]}" "$VELMORA" --headless
    VEL_PID=$STARTED
    for ((i = 0; i < 150; ++i)); do
        grep -q "Services started" "$WORK/velmora.log" 2>/dev/null && break
        is_gone "$VEL_PID" && die "velmora ended: $(cat "$WORK/velmora.log")"
        sleep 0.1
    done
    for p in "$PLAIN_PORT" "$SELF_PORT" "$REAL_PORT"; do
        "$TB" wait "$p" 5000 || die "velmora does not listen on $p: $(cat "$WORK/velmora.log")"
    done
}
stop_velmora() {
    stop_pid "$VEL_PID"
    forget "$VEL_PID"
    VEL_PID=""
}

