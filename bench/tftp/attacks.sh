#!/usr/bin/env bash
# What a few forged or hostile datagrams can make kestrom's TFTP service do, each case in network
# namespaces of its own (attack.cpp sends them):
#   loop     two services on one link, one forged ERROR from one's port 69 to the other's: the
#            datagrams both namespaces send, each service's CPU and its log lines in LOOP_SECONDS
#   window   RRQ "blksize 4096 windowsize 16" + ACK 0 to port 69, then silence: the bytes that
#            come back in WINDOW_SECONDS (what a forged request would reflect onto its victim)
#   bound    windowsize 64, 39 x blksize 4096 and blksize 1024: the largest DATA and the first
#            window's bytes (the window stays within 64 KiB for the block size in force)
#   upload   a 2000-byte upload while zorva.bin is a dangling link: what answers the last block
# With BASELINE=/path/to/an/older/kestrom_tftp_test_server each case also runs against it, same run.
# Needs root. Usage: bench/tftp/attacks.sh
set -euo pipefail
LOOP_SECONDS=${LOOP_SECONDS:-10}
WINDOW_SECONDS=${WINDOW_SECONDS:-45}
PEERS=" "  # no peers: the cases are about kestrom's own answers
source "$(dirname "$0")/common.sh"

build_kestrom
g++ -O2 -std=c++20 -Wall "$ROOT/bench/tftp/attack.cpp" -o "$WORK/attack"
head -c $((1024 * 1024)) /dev/urandom >"$WORK/zorva.bin"
declare -A BINARY=([kestrom]="$BUILD/kestrom_tftp_test_server")
[ -n "${BASELINE:-}" ] && BINARY[baseline]=$BASELINE
TICK=$(getconf CLK_TCK)

# start KEY BUILD DIR: a service of BUILD on port 69 in namespace NS[KEY], serving DIR.
start() {
    ip netns exec "${NS[$1]}" "${BINARY[$2]}" 69 "$3" >"$WORK/$1.log" 2>&1 &
    PID[$1]=$!
    for _ in $(seq 50); do grep -qs "Ready" "$WORK/$1.log" && return 0; sleep 0.1; done
    echo "$1 did not start:" >&2
    cat "$WORK/$1.log" >&2
    exit 1
}
stop() { kill "${PID[$1]}" 2>/dev/null || true; wait "${PID[$1]}" 2>/dev/null || true; unset "PID[$1]"; }
sent() { ip netns exec "${NS[$1]}" awk '/^Udp:/ && ++n == 2 { print $5 }' /proc/net/snmp; }
ticks() { awk '{ print $14 + $15 }' "/proc/${PID[$1]}/stat"; }
lines() { wc -l <"$WORK/$1.log"; }
served_dir() { mkdir -p "$WORK/$1"; cp "$WORK/zorva.bin" "$WORK/$1/"; echo "$WORK/$1"; }

loop_case() {
    local b=$1 a=$1-a z=$1-b
    make_ns "$a"
    make_ns "$z"
    ip link add "va$$$b" netns "${NS[$a]}" type veth peer name "vb$$$b" netns "${NS[$z]}"
    ip -n "${NS[$a]}" addr add 10.70.0.1/24 dev "va$$$b"
    ip -n "${NS[$z]}" addr add 10.70.0.2/24 dev "vb$$$b"
    ip -n "${NS[$a]}" link set "va$$$b" up
    ip -n "${NS[$z]}" link set "vb$$$b" up
    start "$a" "$b" "$(served_dir "$a")"
    start "$z" "$b" "$(served_dir "$z")"
    local s0=$(($(sent "$a") + $(sent "$z"))) ta=$(ticks "$a") tz=$(ticks "$z")
    local la=$(lines "$a") lz=$(lines "$z") bytes
    bytes=$(ip netns exec "${NS[$a]}" "$WORK/attack" error 10.70.0.1 10.70.0.2)
    sleep "$LOOP_SECONDS"
    local packets=$(($(sent "$a") + $(sent "$z") - s0))
    local cpu_a=$((($(ticks "$a") - ta) * 100 / TICK / LOOP_SECONDS))
    local cpu_z=$((($(ticks "$z") - tz) * 100 / TICK / LOOP_SECONDS))
    local logged=$(($(lines "$a") - la + $(lines "$z") - lz))
    stop "$a"
    stop "$z"
    printf '%-9s %-6s %7s B in   %9d datagrams, CPU %d %% + %d %%, %d log lines in %d s\n' \
        "$b" loop "$bytes" "$packets" "$cpu_a" "$cpu_z" "$logged" "$LOOP_SECONDS"
}

read_cases() {
    local b=$1 k=$1-r dir
    make_ns "$k"
    dir=$(served_dir "$k")
    start "$k" "$b" "$dir"
    local in packets bytes largest window
    read -r in packets bytes < <(ip netns exec "${NS[$k]}" "$WORK/attack" window 127.0.0.1 \
        "$WINDOW_SECONDS")
    printf '%-9s %-6s %7s B in   %9d datagrams, %d B back in %d s (one window: %d B)\n' \
        "$b" window "$in" "$packets" "$bytes" "$WINDOW_SECONDS" $((16 * 4100))
    read -r largest window < <(ip netns exec "${NS[$k]}" "$WORK/attack" bound 127.0.0.1)
    printf '%-9s %-6s blocks of %d B, first window %d B (bound 65536 B)\n' \
        "$b" bound "$largest" "$window"
    stop "$k"
    rm "$dir/zorva.bin"
    ln -s "$dir/nowhere/zorva.bin" "$dir/zorva.bin"
    start "$k" "$b" "$dir"
    printf '%-9s %-6s zorva.bin a dangling link: the last block drew "%s"\n' \
        "$b" upload "$(ip netns exec "${NS[$k]}" "$WORK/attack" upload 127.0.0.1 2000)"
    stop "$k"
}

for b in "${!BINARY[@]}"; do
    loop_case "$b"
    read_cases "$b"
done
