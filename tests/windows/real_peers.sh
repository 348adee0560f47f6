#!/usr/bin/env bash
# kestrom.exe against real peers under Wine, as on the bench: the PC (192.168.1.10) and the
# controller (192.168.1.50) in two network namespaces joined by a veth pair. kestrom.exe runs the
# firmware update against the simulated controller, then serves: the controller, "rebooted",
# takes its address from kestrom's DHCP with busybox udhcpc and fetches the boot file with
# tftp-hpa, byte for byte. Winsock sockets are made by wineserver, so the PC's namespace has a
# wineserver (and a Wine prefix) of its own. Needs root; leaves nothing behind.
#
# The PC is a technician's laptop: an office interface on 192.168.178.5/24 with the default route,
# listed before the controller's cable, joined to an office namespace whose DHCP client must get
# no offer. kestrom.exe serve starts while the cable's interface has no address yet: it waits,
# and when 192.168.1.10/24 is set a few seconds later it binds there and the controller boots,
# with no restart. Under Wine a pulled cable can't be shown (an interface without carrier still
# reads as up), so the address stands in for it.
#   tests/windows/real_peers.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/../support/bench_namespaces.sh"
win_build=$(realpath "$1")
sim=$(realpath "$2")/kestrom-sim
work=$(mktemp -d)
pc=kwin-pc-$$ ctl=kwin-ctl-$$ office=kwin-off-$$
cable=kw$$a office_if=kw$$o
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 30 "$f"; done; exit 1; }
cleanup() {
    ip netns exec "$pc" env WINEPREFIX="$work/wine" wineserver -k 2>/dev/null || true
    for p in "${sim_pid:-}" "${serve_pid:-}" "${boot_pid:-}" "${office_pid:-}"; do
        [[ -n "$p" ]] && kill "$p" 2>/dev/null || true
    done
    ip netns del "$pc" 2>/dev/null || true
    ip netns del "$ctl" 2>/dev/null || true
    ip netns del "$office" 2>/dev/null || true
    ip link del "$office_if" 2>/dev/null || true
    rm -rf "/etc/netns/$ctl" "/etc/netns/$office" "$work"
}
trap cleanup EXIT

export TMPDIR=$work WINEPREFIX=$work/wine WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# The office pair is made first, so its interface index, by which Wine lists the adapters, is
# below the cable's.
ip link add "$office_if" type veth peer name "kw$$r"
bench_namespaces "$pc" "$cable" "$ctl" "kw$$b"
ip netns add "$office"
ip link set "$office_if" netns "$pc"
ip link set "kw$$r" netns "$office"
ip -n "$pc" addr add 192.168.178.5/24 dev "$office_if"
ip -n "$office" addr add 192.168.178.1/24 dev "kw$$r"
ip -n "$office" link set lo up
ip -n "$pc" link set "$office_if" up
ip -n "$office" link set "kw$$r" up
ip -n "$pc" route add default via 192.168.178.1 dev "$office_if"
mkdir -p "/etc/netns/$office"
: > "/etc/netns/$office/resolv.conf"
index_of() { ip -n "$pc" -o link show dev "$1" | cut -d: -f1; }
(( $(index_of "$office_if") < $(index_of "$cable") )) ||
    fail "the office interface is not listed before the cable"
ip -n "$ctl" addr add 192.168.1.50/24 dev "kw$$b"  # for the firmware update first

# Wine's prefix and server inside the PC's namespace, before anything reads its pipes.
ip netns exec "$pc" sh -c 'wineboot -i && wineserver -w' >"$work/wineboot.log" 2>&1 </dev/null
ip netns exec "$pc" wineserver -p
ip netns exec "$pc" wine wineboot >/dev/null 2>&1 </dev/null

mkdir -p "$work/pc" "$work/ctl"
head -c 3146505 /dev/urandom > "$work/pc/zorva.bin"
cd "$work/pc"

# 1. The firmware update against the simulated controller.
ip netns exec "$ctl" "$sim" --address 192.168.1.50 --no-http >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "telnet on" "$work/sim.log" && break; sleep 0.1; done
ip netns exec "$pc" timeout 60 wine "$win_build/kestrom.exe" firmware --address 192.168.1.50 \
    >"$work/firmware.log" 2>&1 || fail "kestrom.exe firmware failed"
grep -q "Version \[3.200000\]" "$work/firmware.log" || fail "no version check in the firmware log"
grep -q "update confirmed" "$work/sim.log" || fail "the controller was not told to update"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

# 2. The controller restarts. kestrom.exe serve starts before the cable's interface has its
# address: it waits, and answers nothing meanwhile (the controller's first DISCOVERs go unheard).
ip -n "$ctl" addr flush dev "kw$$b"
ip -n "$pc" addr flush dev "$cable"
mkfifo "$work/console"
ip netns exec "$pc" wine "$win_build/kestrom.exe" serve <"$work/console" >"$work/serve.log" 2>&1 &
serve_pid=$!
exec 3>"$work/console"
waiting="DHCP Waiting for an interface in 192.168.1.0/24"
for _ in $(seq 100); do grep -q "$waiting\|Binding to" "$work/serve.log" && break; sleep 0.2; done
grep -q "$waiting" "$work/serve.log" || fail "kestrom.exe serve does not say it waits for the network"
controller_boots "$ctl" "kw$$b" "$work" &
boot_pid=$!
sleep 3

# 3. The cable's address is set: kestrom.exe follows it (it looks every 500 ms on Windows).
ip -n "$pc" addr add 192.168.1.10/24 dev "$cable"
set_at=$(date +%s%N)
for _ in $(seq 50); do grep -q "Binding to 192.168.1.10" "$work/serve.log" && break; sleep 0.1; done
grep -q "Binding to 192.168.1.10" "$work/serve.log" || fail "kestrom.exe did not bind the new address"
followed_ms=$(( ($(date +%s%N) - set_at) / 1000000 ))

# 4. While it serves the cable, a DHCP client on the office network gets no offer.
cat > "$work/office.sh" <<SCRIPT
#!/bin/sh
[ "\$1" = bound ] && echo "\$ip from \$serverid" > "$work/office-lease"
exit 0
SCRIPT
chmod +x "$work/office.sh"
ip netns exec "$office" busybox udhcpc -f -q -n -t 2 -T 1 -i "kw$$r" -s "$work/office.sh" \
    >"$work/office-udhcpc.log" 2>&1 &
office_pid=$!

wait "$boot_pid" || exit 1  # controller_boots said why
boot_pid=
# Its first DISCOVER came while kestrom.exe waited: unanswered, so at least one more was sent.
(( $(grep -c "broadcasting discover" "$work/udhcpc.log") >= 2 )) ||
    fail "kestrom.exe answered before the cable's interface had its address"
if wait "$office_pid"; then fail "the office client got a lease: $(cat "$work/office-lease")"; fi
office_pid=
[[ ! -e "$work/office-lease" ]] || fail "the office client was offered $(cat "$work/office-lease")"
grep -q "broadcasting discover" "$work/office-udhcpc.log" || fail "the office client sent no DISCOVER"

echo quit >&3
exec 3>&-
wait "$serve_pid" || fail "kestrom.exe serve did not end cleanly"
serve_pid=
grep -q "Blocks Served" "$work/serve.log" || fail "no transfer in the log"
[[ $(grep -c "$waiting" "$work/serve.log") == 1 ]] || fail "the waiting line is not said once"
! grep -q "Binding to 192.168.178" "$work/serve.log" || fail "kestrom.exe bound the office network"
# Each DISCOVER answered draws one offer: the controller's alone, wherever the office's replies
# would have gone.
[[ $(grep -c "Assigning Dynamic IP" "$work/serve.log") == 1 ]] ||
    fail "kestrom.exe answered a DISCOVER that did not come from the controller"
# 5. kestrom.exe load: the controller, now one that really restarts, is updated, boots from
# kestrom.exe's own services and comes back with the version its new image names; the hardware
# address comes from Windows' neighbour table (GetIpNetTable2).
ip -n "$ctl" addr flush dev "kw$$b"
ip -n "$ctl" addr add 192.168.1.50/24 dev "kw$$b"
{ echo "kestrom-sim firmware 3.4"; head -c 3146505 /dev/urandom; } > "$work/pc/zorva.bin"
ip netns exec "$ctl" "$sim" --address 192.168.1.50 --no-http --boot "kw$$b" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "telnet on" "$work/sim.log" && break; sleep 0.1; done
ip netns exec "$pc" timeout 120 wine "$win_build/kestrom.com" load --controller 192.168.1.50 \
    --report "$work/load.jsonl" >"$work/load.log" 2>&1 || fail "kestrom.com load did not verify"
hardware=$(ip netns exec "$ctl" cat "/sys/class/net/kw$$b/address")
grep -q "192.168.1.50 *$hardware  3.2 -> 3.4 .* verified" "$work/load.log" ||
    fail "the summary does not name the controller's hardware address and new version"
grep -q '"event":"load".*"verdict":"verified"' "$work/load.jsonl" || fail "no verdict in the report"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

echo "real peers under Wine: firmware update; serve waited, followed 192.168.1.10 in" \
    "${followed_ms} ms and leased and booted the controller without a restart; the office" \
    "network got no offer; load verified the controller's new version: ok"
