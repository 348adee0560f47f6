#!/usr/bin/env bash
# What the window costs a TFTP load: one 3 MB zorva.bin fetched by atftp (blksize 512, as a
# booting controller asks) from `kestrom` with its window open and from `kestrom serve`, each
# in a network namespace of its own, over that namespace's loopback. Servers take turns fetch by
# fetch, so machine noise hits all alike; prints each fetch's seconds, the median of REPS fetches
# per server and the ratio window / serve, on Linux (the Qt window on the offscreen platform) and
# then under Wine (the native window on the null graphics driver; each instance with a Wine prefix
# of its own and its wineserver started inside its namespace, where Winsock's sockets are made).
# One platform's servers run at a time. Nobody presses an update button: the window only serves.
#
# Usage: sudo bench/window/run.sh [REPS]          (default 9)
#   KESTROM, KESTROM_EXE   the builds measured (default build/kestrom and build-win/kestrom.exe)
#   BEFORE, BEFORE_EXE     an older build's two, measured in the same run as "before"
#   PLATFORMS              "linux wine" by default; either alone narrows the run
#   CPUS                   the taskset -c list for servers and clients, 0 by default: on one
#                          processor the window's work competes with the transfer's instead of
#                          hiding on an idle second one, and a lock-step transfer is not slowed
#                          by waking the other processor for every datagram; CPUS= (empty)
#                          leaves the placing to the scheduler
set -euo pipefail

REPS=${1:-9}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SIZE=$((3 * 1024 * 1024))
read -r -a PLATFORM_LIST <<<"${PLATFORMS:-linux wine}"
WORK=$(mktemp -d /tmp/kestrom-window-bench.XXXXXX)
declare -A NS=() PID=() BIN=() DIR=() TIMES=()
COUNT=0
CPUS=${CPUS-0}
PLACE=()
[ -n "$CPUS" ] && PLACE=(taskset -c "$CPUS")

# Ends every server still running and removes its namespace.
stop_servers() {
    local s
    for s in "${!PID[@]}"; do kill "${PID[$s]}" 2>/dev/null || true; done
    for s in "${!NS[@]}"; do
        if [[ $s == wine-* ]]; then
            ip netns exec "${NS[$s]}" env TMPDIR="${DIR[$s]}" WINEPREFIX="${DIR[$s]}/wine" \
                wineserver -k 2>/dev/null || true
        fi
    done
    wait 2>/dev/null || true
    for s in "${!NS[@]}"; do ip netns del "${NS[$s]}" 2>/dev/null || true; done
    PID=()
    NS=()
}
cleanup() {
    stop_servers
    rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
command -v atftp >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y atftp >/dev/null

head -c "$SIZE" /dev/urandom >"$WORK/zorva.bin"
export WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# One Wine prefix is made (inside a namespace of its own, like everything Wine here) and copied
# for each instance: making one takes tens of seconds.
make_wine_prefix() {
    local boot=kwb-boot-$$
    NS[boot]=$boot
    ip netns add "$boot"
    ip netns exec "$boot" env TMPDIR="$WORK" WINEPREFIX="$WORK/wine-base" sh -c \
        "wineboot -i && wine reg add 'HKCU\\Software\\Wine\\Drivers' /v Graphics /d null /f &&
         wineserver -w" >"$WORK/wineboot.log" 2>&1 </dev/null ||
        { cat "$WORK/wineboot.log"; exit 1; }
    ip netns del "$boot"
    unset 'NS[boot]'
}

# ---- servers, one namespace each --------------------------------------------------------------
start_server() {  # NAME: platform-build-kind
    local s=$1 build=${1%-*} kind=${1##*-} ns=kwb-$$-$((COUNT++))
    local dir=$WORK/$s bin=${BIN[$build]}
    NS[$s]=$ns
    DIR[$s]=$dir
    ip netns add "$ns"
    ip netns exec "$ns" ip link set lo up
    mkdir -p "$dir"
    cp "$WORK/zorva.bin" "$dir/zorva.bin"
    local args=()
    [[ $kind == serve ]] && args=(serve)
    if [[ $s == linux-* ]]; then
        (cd "$dir" && exec "${PLACE[@]}" ip netns exec "$ns" env KESTROM_REGISTRY="$dir/registry.db" \
            QT_QPA_PLATFORM=offscreen "$bin" "${args[@]}" </dev/null >"$dir/log" 2>&1) &
    else
        cp -a "$WORK/wine-base" "$dir/wine"
        local wine_env=(env TMPDIR="$dir" WINEPREFIX="$dir/wine")
        "${PLACE[@]}" ip netns exec "$ns" "${wine_env[@]}" wineserver -p
        ip netns exec "$ns" "${wine_env[@]}" wine wineboot >/dev/null 2>&1 </dev/null
        (cd "$dir" && exec "${PLACE[@]}" ip netns exec "$ns" "${wine_env[@]}" wine "$bin" \
            "${args[@]}" </dev/null >"$dir/log" 2>&1) &
    fi
    PID[$s]=$!
}

# Seconds of one fetch (milliseconds kept), or "fail" when the file did not arrive whole.
fetch() {  # NAME
    local s=$1 got=$WORK/got ms
    rm -f "$got"
    ms=$("${PLACE[@]}" ip netns exec "${NS[$s]}" bash -c "s=\$(date +%s%N)
        timeout 60 atftp -g -r zorva.bin -l '$got' 127.0.0.1 >/dev/null 2>&1
        e=\$(date +%s%N); echo \$(( (e - s) / 1000000 ))")
    if [ "$(stat -c %s "$got" 2>/dev/null || echo 0)" != "$SIZE" ]; then echo fail; return; fi
    printf '%d.%03d\n' $((ms / 1000)) $((ms % 1000))
}

# One platform: its builds' windows and serves, started, fetched from in turns, stopped.
measure() {  # PLATFORM BUILD...
    local platform=$1 s i r t
    shift
    local servers=()
    for b in "$@"; do servers+=("$b-window" "$b-serve"); done
    [[ $platform == wine ]] && make_wine_prefix
    for s in "${servers[@]}"; do start_server "$s"; done
    # Ready when a first fetch (not counted) comes through: the window says so only in its pane.
    for s in "${servers[@]}"; do
        for ((i = 0; i < 60; i++)); do
            [[ $(fetch "$s") != fail ]] && continue 2
            kill -0 "${PID[$s]}" 2>/dev/null || break
            sleep 1
        done
        echo "$s does not serve:"; cat "${DIR[$s]}/log"; exit 1
    done
    for ((r = 1; r <= REPS; r++)); do
        for s in "${servers[@]}"; do
            t=$(fetch "$s")
            [[ $t == fail ]] && { echo "$s: a fetch failed"; exit 1; }
            TIMES[$s]+="$t "
        done
    done
    stop_servers
    for s in "${servers[@]}"; do echo "$s: ${TIMES[$s]}"; done
}

BUILDS=()
for p in "${PLATFORM_LIST[@]}"; do
    builds=("$p-after")
    if [[ $p == linux ]]; then
        BIN[linux-after]=$(realpath "${KESTROM:-$ROOT/build/kestrom}")
        [ -n "${BEFORE:-}" ] && { BIN[linux-before]=$(realpath "$BEFORE"); builds+=(linux-before); }
    else
        BIN[wine-after]=$(realpath "${KESTROM_EXE:-$ROOT/build-win/kestrom.exe}")
        [ -n "${BEFORE_EXE:-}" ] && { BIN[wine-before]=$(realpath "$BEFORE_EXE"); builds+=(wine-before); }
    fi
    measure "$p" "${builds[@]}"
    BUILDS+=("${builds[@]}")
done

median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
echo "3 MB zorva.bin, atftp blksize 512, median of $REPS fetches (seconds)${CPUS:+, on CPUs $CPUS}"
printf '%-14s %9s %9s %13s\n' build window serve window/serve
for b in "${BUILDS[@]}"; do
    w=$(median "${TIMES[$b-window]}")
    v=$(median "${TIMES[$b-serve]}")
    printf '%-14s %9s %9s %13s\n' "$b" "$w" "$v" "$(awk -v w="$w" -v v="$v" 'BEGIN {printf "%.2f", w / v}')"
done
