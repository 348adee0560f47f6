# The controller's side of a network boot, for the shell tests that run kestrom against real
# clients in two namespaces: busybox udhcpc takes a lease from kestrom, then tftp-hpa fetches
# the boot file from the next server named. Sourced; the caller defines fail(), runs kestrom
# as 192.168.1.10 and serves $work/pc/zorva.bin.
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
