#!/usr/bin/env bash
# DHCP under a flood: kestrom serve answers DISCOVERs and REQUESTs from random hardware
# addresses (which use up the pool, as they may) in rounds of N pairs, and after each round a
# client that holds an offer must still get its ACK at once. Prints, per round, the flood's
# rate, the ACK's delay, and kestrom's resident memory and open files, so a leak or a slow-down
# shows as a trend. Needs root (network namespaces). Usage: bench/dhcp/flood.sh [N] [ROUNDS]
set -euo pipefail

N=${1:-100000}
ROUNDS=${2:-3}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
WORK=$(mktemp -d /tmp/kestrom-dhcp-flood.XXXXXX)
SRV=kflood-srv-$$
CLI=kflood-cli-$$
PID=

cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null || true
    wait 2>/dev/null || true
    ip netns del "$SRV" 2>/dev/null || true
    ip netns del "$CLI" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_UI=OFF \
    -DKESTROM_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j2 --target kestrom dhcp_probe >/dev/null

ip netns add "$SRV"
ip netns add "$CLI"
ip link add kf-s-$$ type veth peer name kf-c-$$
ip link set kf-s-$$ netns "$SRV"
ip link set kf-c-$$ netns "$CLI"
ip -n "$SRV" addr add 192.168.1.10/24 dev kf-s-$$
ip -n "$CLI" addr add 192.168.1.20/24 dev kf-c-$$
for ns in "$SRV" "$CLI"; do
    ip -n "$ns" link set lo up
done
ip -n "$SRV" link set kf-s-$$ up
ip -n "$CLI" link set kf-c-$$ up

cd "$WORK"
KESTROM_REGISTRY=$WORK/registry.db ip netns exec "$SRV" "$BUILD/kestrom" serve \
    </dev/null >"$WORK/serve.log" 2>&1 &
PID=$!
for _ in $(seq 100); do grep -q "Ready" "$WORK/serve.log" 2>/dev/null && break; sleep 0.1; done
sleep 0.5

udp() {  # datagrams the server namespace took in, and those its full receive queues dropped
    ip netns exec "$SRV" awk '/^Udp:/ && ++n == 2 {print $2, $6}' /proc/net/snmp
}

figures() {  # resident KiB, peak KiB, open files
    printf '%s %s %s' "$(awk '/^VmRSS/ {print $2}' "/proc/$PID/status")" \
        "$(awk '/^VmHWM/ {print $2}' "/proc/$PID/status")" "$(ls "/proc/$PID/fd" | wc -l)"
}

read -r rss hwm fds <<<"$(figures)"
fmt='%-6s %10s %10s %10s %8s %10s %10s %6s\n'
printf "$fmt" round "pairs/s" taken "dropped" "ACK ms" "RSS KiB" "peak KiB" files
printf "$fmt" start - - - - "$rss" "$hwm" "$fds"
for r in $(seq "$ROUNDS"); do
    read -r in0 drop0 <<<"$(udp)"
    out=$(ip netns exec "$CLI" "$BUILD/dhcp_probe" --server 192.168.1.10 --seed "$r" --flood "$N")
    read -r in1 drop1 <<<"$(udp)"
    line=$(grep '^flood' <<<"$out") || { echo "round $r: $out" >&2; exit 1; }
    secs=$(awk '{print $5}' <<<"$line")
    ack=$(awk '{print $9}' <<<"$line")
    read -r rss hwm fds <<<"$(figures)"
    printf "$fmt" "$r" "$(awk -v n="$N" -v s="$secs" 'BEGIN {printf "%.0f", n / s}')" \
        $((in1 - in0)) $((drop1 - drop0)) "$ack" "$rss" "$hwm" "$fds"
done
kill -0 "$PID" || { echo "kestrom serve ended" >&2; exit 1; }
