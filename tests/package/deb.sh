#!/usr/bin/env bash
# The Debian package as a bench PC gets it. lintian reports no error and no warning. The package
# is installed into a folder of its own, where its post-install script gives the binary its
# capability, and that kestrom serves as user nobody with nothing else: in one namespace busybox
# udhcpc takes a lease from it and tftp-hpa fetches zorva.bin byte for byte. The same binary
# without the capability may bind neither port, so that one capability is all it needs. A purge
# leaves no file behind. Nothing is installed into the machine's /usr: the package's /usr is
# laid over it (overlayfs) in a mount namespace that only kestrom sees. Needs root; leaves
# nothing behind.
#   tests/package/deb.sh PACKAGE.deb
set -euo pipefail
source "$(dirname "$0")/../support/bench_namespaces.sh"
deb=$(realpath "$1")
work=$(mktemp -d)
chmod 755 "$work"
pc=kpkg-pc-$$ ctl=kpkg-ctl-$$
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 30 "$f"; done; exit 1; }
cleanup() {
    [[ -n "${serve_pid:-}" ]] && kill "$serve_pid" 2>/dev/null || true
    ip netns del "$pc" 2>/dev/null || true
    ip netns del "$ctl" 2>/dev/null || true
    rm -rf "/etc/netns/$ctl" "$work"
}
trap cleanup EXIT

lintian --fail-on error,warning "$deb" 2>&1 | grep -v "running with root privileges" || true
[[ ${PIPESTATUS[0]} -eq 0 ]] || fail "lintian"

# Installed by dpkg into a root of its own (its scripts run outside it, with DPKG_ROOT), whose
# package list is this machine's: the computed dependencies must hold on it.
dpkg_root=(dpkg --root="$work/root" --force-script-chrootless)
mkdir -p "$work/root/var/lib/dpkg/info" "$work/root/var/lib/dpkg/updates"
cp /var/lib/dpkg/status "$work/root/var/lib/dpkg/status"
"${dpkg_root[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i"
kestrom="$work/root/usr/bin/kestrom"
[[ "$(getcap "$kestrom")" == *"cap_net_bind_service=ep" ]] || fail "capabilities: $(getcap "$kestrom")"

bench_namespaces "$pc" "kp$$a" "$ctl" "kp$$b"
# Else the capability would prove nothing.
[[ "$(ip netns exec "$pc" sysctl -n net.ipv4.ip_unprivileged_port_start)" == 1024 ]] ||
    fail "UDP 67 and 69 are not privileged in the namespace"

mkdir -p "$work/pc" "$work/ctl"
head -c 1048576 /dev/urandom > "$work/pc/zorva.bin"
chown -R nobody:nogroup "$work/pc"

# kestrom serve as nobody, from the package's /usr, in the PC's namespace; standard input is a
# pipe that ends it with "quit".
serve() {
    local log=$1
    rm -f "$work/console"
    mkfifo "$work/console"
    ip netns exec "$pc" unshare --mount --propagation private sh -c '
        mount -t overlay overlay -o "lowerdir=$1/usr:/usr" /usr && cd "$2" &&
        exec setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
            env -i PATH=/usr/bin:/bin HOME=/nonexistent KESTROM_REGISTRY="$2/registry.db" \
            /usr/bin/kestrom serve' sh "$work/root" "$work/pc" <"$work/console" >"$log" 2>&1 &
    serve_pid=$!
    exec 3>"$work/console"
    for _ in $(seq 100); do grep -q "TFTP Daemon Binding\|DHCP Can't bind" "$log" && break; sleep 0.1; done
}
quit() {
    echo quit >&3
    exec 3>&-
    wait "$serve_pid" || fail "kestrom serve did not end cleanly"
    serve_pid=
}

# 1. With the capability: only it, as nobody.
serve "$work/serve.log"
status=$(grep -E '^(Uid|CapPrm|CapEff|CapInh|CapAmb):' "/proc/$serve_pid/status" | tr -s '\t ' ' ')
[[ "$status" == *"Uid: 65534 65534 65534 65534"* && "$status" == *"CapPrm: 0000000000000400"* &&
   "$status" == *"CapEff: 0000000000000400"* && "$status" == *"CapInh: 0000000000000000"* &&
   "$status" == *"CapAmb: 0000000000000000"* ]] || fail "kestrom's user and capabilities: $status"
# The cable pulled and put back: the service ties a new socket to the interface and binds port 67
# again, with nothing more than the capability it started with.
ip -n "$pc" addr del 192.168.1.10/24 dev "kp$$a"
for _ in $(seq 50); do grep -q "DHCP Waiting for an interface" "$work/serve.log" && break; sleep 0.1; done
ip -n "$pc" addr add 192.168.1.10/24 dev "kp$$a"
for _ in $(seq 50); do
    [[ $(grep -c "TFTP Daemon Binding to 192.168.1.10" "$work/serve.log") == 2 ]] && break
    sleep 0.1
done
controller_boots "$ctl" "kp$$b" "$work"
quit
grep -q "Blocks Served" "$work/serve.log" || fail "no transfer in the log"
[[ $(grep -c "TFTP Daemon Binding to 192.168.1.10" "$work/serve.log") == 2 ]] ||
    fail "the service did not take the address back"
! grep -q "DHCP Can't" "$work/serve.log" || fail "the DHCP service was refused its port or interface"

# 2. Without it, neither port.
setcap -r "$kestrom"
serve "$work/serve-without.log"
quit
grep -q "DHCP Can't bind - port 67 needs root or the CAP_NET_BIND_SERVICE" "$work/serve-without.log" &&
    grep -q "Port 69 needs root or CAP_NET_BIND_SERVICE" "$work/serve-without.log" ||
    fail "kestrom bound a privileged port without the capability"

"${dpkg_root[@]}" --purge kestrom >"$work/dpkg.log" 2>&1 || fail "dpkg --purge"
left=$(find "$work/root" -path "$work/root/var/lib/dpkg" -prune -o ! -type d -print)
[[ -z "$left" ]] || fail "left after the purge: $left"

echo "package: lintian clean; installs and purges cleanly; as nobody with cap_net_bind_service alone: lease after the cable came back, byte-identical boot file; without it, neither port: ok"
