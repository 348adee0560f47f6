#!/usr/bin/env bash
# The technician's laptop: one PC on the office network (lan0, which holds the default route)
# and on the controller's cable (v0, 192.168.1.10/24). kestrom serve and dnsmasq, in the same
# run, each face the same four cases:
#   A  a steady link: the controller takes a lease and fetches zorva.bin;
#   B  the cable pulled (link down, address gone) and put back 2 s later, the controller
#      asking from the moment it was pulled;
#   C  the server started before v0 has its address, which appears 3 s later;
#   D  an office PC asking for an address on lan0, once while v0 has no address yet (during C)
#      and once after the controller's lease.
# Every case runs with both office networks, 10.0.0.5/24 and 192.168.178.5/24, on fresh
# namespaces. "lease + fetch" means busybox udhcpc took a lease and tftp-hpa fetched a file
# byte-identical to the served one from the next server the lease named. Prints a markdown table
# and, for each case that failed, what the server logged.
# dnsmasq runs with --no-ping, so its times are not its 3 s check that an address is unused.
# Needs root (network namespaces); installs busybox, tftp-hpa and dnsmasq-base when missing.
# KEEP=1 keeps the logs in /tmp/kestrom-dhcp-laptop.*.
# Usage: bench/dhcp/laptop.sh [KESTROM_BINARY]   (or $KESTROM; default /work/main/build/kestrom)
set -euo pipefail

KESTROM=${1:-${KESTROM:-/work/main/build/kestrom}}
WORK=$(mktemp -d /tmp/kestrom-dhcp-laptop.XXXXXX)
PC=klap-pc-$$
OFFICE=klap-of-$$
ASKER=klap-oc-$$
CTL=klap-ct-$$
PIDS=()
source "$(dirname "$0")/servers.sh"

drop_namespaces() {
    local ns
    for ns in "$PC" "$OFFICE" "$ASKER" "$CTL"; do
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "/etc/netns/$ns"
    done
}

cleanup() {
    stop_all
    drop_namespaces
    rm -rf "$WORK"
}
trap cleanup EXIT
[ -z "${KEEP:-}" ] || trap "stop_all; drop_namespaces" EXIT

[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
[ -x "$KESTROM" ] || { echo "no kestrom binary at $KESTROM" >&2; exit 1; }
need=()
command -v busybox >/dev/null || need+=(busybox)
command -v tftp >/dev/null || need+=(tftp-hpa)
command -v dnsmasq >/dev/null || need+=(dnsmasq-base)  # the binary only: no system service
if [ ${#need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null
fi
KESTROM=$(realpath "$KESTROM")

mkdir -p "$WORK/root"
head -c 1048576 /dev/urandom > "$WORK/root/zorva.bin"
chmod 755 "$WORK" "$WORK/root"
chmod 644 "$WORK/root/zorva.bin"

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", b - a}'; }

# The DHCP clients' script: records the lease with its time; only the controller's copy
# configures its interface, so the office asker stays without an address.
cat > "$WORK/udhcpc.sh" <<'SCRIPT'
#!/bin/sh
[ "$1" = bound ] || exit 0
[ -n "$CONFIGURE" ] && ip addr add "$ip/$mask" dev "$interface"
echo "$(date +%s.%N) $ip ${siaddr:-0.0.0.0} $boot_file" > "$LEASE_FILE"
SCRIPT
chmod +x "$WORK/udhcpc.sh"

# pc: lan0 (office, made first, so it comes first in the interface list) and v0 (the cable,
# without its address if $2 is "late"). office: a bridge holding the office router/PC, with
# ports to the pc and to the asker, a second office PC without an address. controller: the
# other end of v0.
#   topology OFFICE_PREFIX (10.0.0 or 192.168.178) [late]
topology() {
    local net=$1 late=${2:-}
    drop_namespaces
    local ns
    for ns in "$PC" "$OFFICE" "$ASKER" "$CTL"; do
        ip netns add "$ns"
        ip -n "$ns" link set lo up
    done
    for ns in "$ASKER" "$CTL"; do
        mkdir -p "/etc/netns/$ns"
        : > "/etc/netns/$ns/resolv.conf"
    done
    ip -n "$OFFICE" link add br0 type bridge
    ip -n "$PC" link add lan0 type veth peer name o-pc netns "$OFFICE"
    ip -n "$PC" link add v0 type veth peer name eth0 netns "$CTL"
    ip -n "$ASKER" link add eth0 type veth peer name o-asker netns "$OFFICE"
    ip -n "$OFFICE" link set o-pc master br0
    ip -n "$OFFICE" link set o-asker master br0
    ip -n "$OFFICE" addr add "$net.1/24" dev br0
    for dev in br0 o-pc o-asker; do ip -n "$OFFICE" link set "$dev" up; done
    ip -n "$ASKER" link set eth0 up
    ip -n "$CTL" link set eth0 up
    ip -n "$PC" addr add "$net.5/24" dev lan0
    ip -n "$PC" link set lan0 up
    [ "$late" = late ] || ip -n "$PC" addr add 192.168.1.10/24 dev v0
    ip -n "$PC" link set v0 up
    ip -n "$PC" route add default via "$net.1"
}


# A DHCP client in namespace NS on eth0, in the background; its lease goes to $WORK/NAME.lease.
#   ask NS NAME TRIES [configure]
ask() {
    local ns=$1 name=$2 tries=$3 configure=${4:-}
    rm -f "$WORK/$name.lease"
    LEASE_FILE=$WORK/$name.lease CONFIGURE=$configure ip netns exec "$ns" busybox udhcpc -f -q -n \
        -t "$tries" -T 1 -i eth0 -s "$WORK/udhcpc.sh" >"$WORK/$name.udhcpc" 2>&1 &
    PIDS+=($!)
    ASK_PID=$!
}

# The controller's result since time T0 (the lease from client NAME, then the fetch):
# sets CELL and OK.
#   controller_result NAME T0 WHAT
controller_result() {
    local name=$1 t0=$2 what=$3
    OK=0
    if [ ! -s "$WORK/$name.lease" ]; then
        CELL="no lease (udhcpc gave up after $(grep -ci "discover" "$WORK/$name.udhcpc" || true) discovers)"
        return
    fi
    local t ip siaddr file
    read -r t ip siaddr file < "$WORK/$name.lease"
    local took
    took=$(since "$t0" "$t")
    if [ "$siaddr" = 0.0.0.0 ]; then
        CELL="lease $ip $took s $what, but siaddr 0.0.0.0: nothing to fetch from"
        return
    fi
    rm -rf "$WORK/ctl" && mkdir "$WORK/ctl"
    if (cd "$WORK/ctl" && ip netns exec "$CTL" timeout 20 tftp "$siaddr" -m binary -c get "$file") \
            >"$WORK/$name.tftp" 2>&1 && cmp -s "$WORK/root/zorva.bin" "$WORK/ctl/zorva.bin"; then
        CELL="lease + fetch (lease $took s $what)"
        OK=1
    else
        CELL="lease $ip $took s $what, fetch from $siaddr failed: $(tr '\n' ' ' < "$WORK/$name.tftp" | cut -c1-80)"
    fi
}

# What the office asker got: sets ASKED.
asker_result() {
    local name=$1
    if [ -s "$WORK/$name.lease" ]; then
        local t ip siaddr file
        read -r t ip siaddr file < "$WORK/$name.lease"
        ASKED="offered $ip (and acked; siaddr $siaddr)"
    elif grep -q 'select for' "$WORK/$name.udhcpc"; then
        ASKED="offered $(sed -n 's/.*select for \([0-9.]*\).*/\1/p' "$WORK/$name.udhcpc" | head -1) (no ack)"
    else
        ASKED="no offer"
    fi
}

# What a failed case's server said, for the notes below the table.
NOTES=()
tally() {  # distinct lines, each with its count, on one line
    sed 's/ *$//' | sort | uniq -c | head -8 |
        awk '{n = $1; sub(/^ *[0-9]+ /, ""); printf "%s\"%s\" x%s", (NR > 1 ? "; " : ""), $0, n}'
}
note_failure() {
    local server=$1 name=$2 label=$3
    local lines
    if [ "$server" = kestrom ]; then
        lines=$(grep -v '^Ready\.\.\.$' "$WORK/$name.log" | tally)
    else
        lines=$(grep -E 'DHCP|no address|failed|error' "$WORK/$name.log" | grep -v 'DHCP, IP range\|DHCP, sockets' \
            | sed 's/^dnsmasq[^:]*: //' | tally)
    fi
    NOTES+=("- $server, $label: ${lines:-(logged nothing)}")
}

declare -A RESULT

# udhcpc asks once a second. In B and C it starts PHASE seconds after the server lost (or
# never had) v0's address, so its first discover after the address is back comes PHASE seconds
# later: a lease about PHASE + 0.1 s after the change means the server had already taken the
# address in, about a second more that it missed that discover.
PHASE=0.25

case_a() {  # SERVER NET
    local server=$1 net=$2 name=$1-a-$2
    topology "$net"
    start_server "$server" "$name" "$PC" v0
    local t0
    t0=$(now)
    ask "$CTL" "$name-ctl" 10 yes
    wait "$ASK_PID" || true
    controller_result "$name-ctl" "$t0" "after the first discover"
    RESULT[$server,A,$net]=$CELL
    [ "$OK" = 1 ] || note_failure "$server" "$name" "A, office $net.5"
    stop_all
}

case_b() {
    local server=$1 net=$2 name=$1-b-$2
    topology "$net"
    start_server "$server" "$name" "$PC" v0
    sleep 0.5
    ip -n "$PC" link set v0 down
    ip -n "$PC" addr flush dev v0
    sleep "$PHASE"
    ask "$CTL" "$name-ctl" 10 yes
    sleep "$(since "$PHASE" 2)"
    ip -n "$PC" link set v0 up
    ip -n "$PC" addr add 192.168.1.10/24 dev v0
    local t0
    t0=$(now)
    wait "$ASK_PID" || true
    controller_result "$name-ctl" "$t0" "after the cable was back"
    RESULT[$server,B,$net]=$CELL
    [ "$OK" = 1 ] || note_failure "$server" "$name" "B, office $net.5"
    stop_all
}

case_cd() {  # C, with D asked once during the wait and once after the lease
    local server=$1 net=$2 name=$1-c-$2
    topology "$net" late
    start_server "$server" "$name" "$PC" v0
    sleep "$PHASE"
    ask "$CTL" "$name-ctl" 10 yes
    local ctl=$ASK_PID
    ask "$ASKER" "$name-d1" 3
    local asker=$ASK_PID
    sleep "$(since "$PHASE" 3)"
    ip -n "$PC" addr add 192.168.1.10/24 dev v0
    local t0
    t0=$(now)
    wait "$ctl" || true
    wait "$asker" || true
    controller_result "$name-ctl" "$t0" "after the address appeared"
    RESULT[$server,C,$net]=$CELL
    local failed=
    [ "$OK" = 1 ] || failed=C
    asker_result "$name-d1"
    local before=$ASKED
    ask "$ASKER" "$name-d2" 3
    wait "$ASK_PID" || true
    asker_result "$name-d2"
    RESULT[$server,D,$net]="before v0's address: $before; after the lease: $ASKED"
    if [ "$before" != "no offer" ] || [ "$ASKED" != "no offer" ]; then
        failed=${failed:+$failed and }D
    fi
    [ -z "$failed" ] || note_failure "$server" "$name" "$failed, office $net.5"
    stop_all
}

started=$(now)
for net in 10.0.0 192.168.178; do
    for server in dnsmasq kestrom; do
        case_a "$server" "$net"
        case_b "$server" "$net"
        case_cd "$server" "$net"
    done
done
drop_namespaces

title() {
    case $1 in
        A) echo "A steady link" ;;
        B) echo "B cable pulled and put back 2 s later" ;;
        C) echo "C started before v0's address, which appears 3 s later" ;;
        D) echo "D an office PC asks for an address" ;;
    esac
}

echo "kestrom: $KESTROM"
echo
echo '| case | office (lan0) | dnsmasq (`--interface v0 --bind-dynamic`) | kestrom |'
echo '| --- | --- | --- | --- |'
for c in A B C D; do
    for net in 10.0.0 192.168.178; do
        echo "| $(title "$c") | $net.5/24 | ${RESULT[dnsmasq,$c,$net]} | ${RESULT[kestrom,$c,$net]} |"
    done
done
if [ ${#NOTES[@]} -gt 0 ]; then
    echo
    echo "What the server logged where a case failed (each distinct line, x times):"
    printf '%s\n' "${NOTES[@]}"
fi
echo
echo "whole run: $(since "$started" "$(now)") s"
