#!/usr/bin/env bash
# kestrom.exe against real peers under Wine, as on the bench: the PC (192.168.1.10) and the
# controller (192.168.1.50) in two network namespaces joined by a veth pair. kestrom.exe runs the
# firmware update against the simulated controller, then serves: the controller, "rebooted",
# takes its address from kestrom's DHCP with busybox udhcpc and fetches the boot file with
# tftp-hpa, byte for byte. Winsock sockets are made by wineserver, so the PC's namespace has a
# wineserver (and a Wine prefix) of its own. Needs root; leaves nothing behind.
#   tests/windows/real_peers.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/../support/bench_namespaces.sh"
win_build=$(realpath "$1")
sim=$(realpath "$2")/kestrom-sim
work=$(mktemp -d)
pc=kwin-pc-$$ ctl=kwin-ctl-$$
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 30 "$f"; done; exit 1; }
cleanup() {
    ip netns exec "$pc" env WINEPREFIX="$work/wine" wineserver -k 2>/dev/null || true
    [[ -n "${sim_pid:-}" ]] && kill "$sim_pid" 2>/dev/null || true
    [[ -n "${serve_pid:-}" ]] && kill "$serve_pid" 2>/dev/null || true
    ip netns del "$pc" 2>/dev/null || true
    ip netns del "$ctl" 2>/dev/null || true
    rm -rf "/etc/netns/$ctl" "$work"
}
trap cleanup EXIT

export TMPDIR=$work WINEPREFIX=$work/wine WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

bench_namespaces "$pc" "kw$$a" "$ctl" "kw$$b"
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

# 2. The controller restarts: DHCP from kestrom.exe serve, then the boot file over TFTP.
mkfifo "$work/console"
ip netns exec "$pc" wine "$win_build/kestrom.exe" serve <"$work/console" >"$work/serve.log" 2>&1 &
serve_pid=$!
exec 3>"$work/console"
for _ in $(seq 100); do grep -q "DHCP service started\|Binding to" "$work/serve.log" && break; sleep 0.2; done
ip -n "$ctl" addr flush dev "kw$$b"
controller_boots "$ctl" "kw$$b" "$work"
echo quit >&3
exec 3>&-
wait "$serve_pid" || fail "kestrom.exe serve did not end cleanly"
serve_pid=
grep -q "Blocks Served" "$work/serve.log" || fail "no transfer in the log"
echo "real peers under Wine: firmware update, DHCP lease and a byte-identical boot file: ok"
