# The bench of the shell tests that run kestrom against real clients, and the controller's side
# of a network boot. Sourced; the caller defines fail() and removes the namespaces and
# /etc/netns/CONTROLLER_NAMESPACE at its end.

# Two namespaces joined by a veth pair: the PC (192.168.1.10 on PC_INTERFACE) and the controller
# (no address yet on CONTROLLER_INTERFACE; its DHCP client's script is the only thing that
# configures it, and the overlay keeps a stray resolv.conf write inside).
#   bench_namespaces PC_NAMESPACE PC_INTERFACE CONTROLLER_NAMESPACE CONTROLLER_INTERFACE
bench_namespaces() {
    local pc=$1 pc_if=$2 ctl=$3 ctl_if=$4
    ip netns add "$pc"
    ip netns add "$ctl"
    ip link add "$pc_if" type veth peer name "$ctl_if"
    ip link set "$pc_if" netns "$pc"
    ip link set "$ctl_if" netns "$ctl"
    ip -n "$pc" addr add 192.168.1.10/24 dev "$pc_if"
    for ns in "$pc" "$ctl"; do ip -n "$ns" link set lo up; done
    ip -n "$pc" link set "$pc_if" up
    ip -n "$ctl" link set "$ctl_if" up
    mkdir -p "/etc/netns/$ctl"
    : > "/etc/netns/$ctl/resolv.conf"
}

# busybox udhcpc takes a lease from kestrom (running as 192.168.1.10 and serving
# WORK_DIR/pc/zorva.bin), then tftp-hpa fetches the boot file from the next server named.
#   controller_boots NAMESPACE INTERFACE WORK_DIR
controller_boots() {
    local ns=$1 interface=$2 work=$3
    cat > "$work/udhcpc.sh" <<SCRIPT
#!/bin/sh
[ "\$1" = bound ] || exit 0
ip addr add "\$ip/\$mask" dev "\$interface"
echo "ip=\$ip siaddr=\$siaddr boot_file=\$boot_file" > "$work/lease"
SCRIPT
    chmod +x "$work/udhcpc.sh"
    ip netns exec "$ns" busybox udhcpc -f -q -n -t 5 -T 2 -i "$interface" -s "$work/udhcpc.sh" \
        >"$work/udhcpc.log" 2>&1 || fail "no lease"
    [[ "$(cat "$work/lease")" == "ip=192.168.1.50 siaddr=192.168.1.10 boot_file=zorva.bin" ]] ||
        fail "lease: $(cat "$work/lease")"
    mkdir -p "$work/ctl"
    (cd "$work/ctl" && ip netns exec "$ns" timeout 60 tftp 192.168.1.10 -m binary -c get zorva.bin) \
        >"$work/tftp.log" 2>&1 || fail "tftp-hpa fetch failed"
    cmp "$work/pc/zorva.bin" "$work/ctl/zorva.bin" || fail "the boot file differs"
}
