#!/usr/bin/env bash
# U-Boot's `dhcp` against kestrom serve and against dnsmasq, in the same run: N times each (3
# by default), turn about, every time with a freshly started server and a freshly booted U-Boot
# (x86_64, under QEMU's software emulation, on a tap device in a namespace of its own). The
# script stops U-Boot's autoboot on the serial console and types
#     dhcp && crc32 ${fileaddr} ${filesize}
# so U-Boot takes a lease, fetches the boot file the lease names and sums what it loaded.
# Prints a markdown table, one row per server: the median of the times U-Boot reports for its
# lease ("DHCP client bound to address ... (N ms)"), their range, the ratio to dnsmasq, and in
# how many runs the boot file arrived whole (its size and CRC-32 as U-Boot reports them).
# U-Boot sends DISCOVERs under new xids until an offer comes in and requests that offer under
# its xid; QEMU's e1000 holds received frames for a second after the driver enables receiving,
# so the offer it takes is the first, under the first of about four xids. A server that does not
# ACK that REQUEST costs U-Boot a 5 s wait and a second round. dnsmasq runs with --no-ping, so
# its times are not its 3 s check that an address is unused. QEMU runs with -icount: U-Boot
# times with the TSC, whose rate its calibration under software emulation mostly gets wrong (it
# then takes the TSC for 1 GHz, while the TSC runs at the host's rate); under -icount the TSC
# counts the nanoseconds of the emulated clock, which QEMU keeps near real time.
# Needs root (network namespaces); installs qemu-system-x86, u-boot-qemu and dnsmasq-base when
# missing. KEEP=1 keeps the consoles and logs in /tmp/kestrom-dhcp-uboot.*.
# Usage: bench/dhcp/uboot.sh [N] [KESTROM_BINARY]   (or $KESTROM; default build/kestrom)
set -euo pipefail

N=${1:-3}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
KESTROM=${2:-${KESTROM:-$ROOT/build/kestrom}}
UBOOT=/usr/lib/u-boot/qemu-x86_64/u-boot.rom
WORK=$(mktemp -d /tmp/kestrom-dhcp-uboot.XXXXXX)
NS=kuboot-$$
PIDS=()
source "$(dirname "$0")/servers.sh"

cleanup() {
    exec 3>&- 2>/dev/null || true
    stop_all
    ip netns del "$NS" 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
[ -x "$KESTROM" ] || { echo "no kestrom binary at $KESTROM" >&2; exit 1; }
[[ "$N" =~ ^[1-9][0-9]*$ ]] || { echo "N must be a positive number, not '$N'" >&2; exit 1; }
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
[ -f "$UBOOT" ] || need+=(u-boot-qemu)
command -v dnsmasq >/dev/null || need+=(dnsmasq-base)  # the binary only: no system service
if [ ${#need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" \
        >/dev/null
fi
KESTROM=$(realpath "$KESTROM")

mkdir -p "$WORK/root"
head -c 1048576 /dev/urandom > "$WORK/root/zorva.bin"
SIZE=$(stat -c %s "$WORK/root/zorva.bin")
# The gzip trailer starts with the CRC-32 of the data, little-endian as od reads it on x86.
CRC=$(gzip -c "$WORK/root/zorva.bin" | tail -c 8 | od -An -tx4 -N4 | tr -d ' \n')

ip netns add "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" tuntap add tap0 mode tap
ip -n "$NS" addr add 192.168.1.10/24 dev tap0
ip -n "$NS" link set tap0 up


# Waits up to SECONDS for TEXT on the console FILE.
#   wait_for FILE TEXT SECONDS
wait_for() {
    local file=$1 text=$2 i
    for i in $(seq $(($3 * 20))); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# Boots U-Boot against the running server, has it run dhcp and crc32, and appends its figures
# to $WORK/SERVER.runs: "MS WHOLE", MS "-" when it took no lease, WHOLE 1 or 0.
#   run_uboot SERVER NAME
run_uboot() {
    local server=$1 name=$2
    local console=$WORK/$name.console
    rm -f "$WORK/$name.in"
    mkfifo "$WORK/$name.in"
    ip netns exec "$NS" qemu-system-x86_64 -machine q35 -m 256 -display none -monitor none \
        -serial stdio -bios "$UBOOT" -icount shift=auto \
        -netdev tap,id=n0,ifname=tap0,script=no,downscript=no -device e1000,netdev=n0 \
        <"$WORK/$name.in" >"$console" 2>&1 &
    PIDS+=($!)
    exec 3>"$WORK/$name.in"
    if wait_for "$console" "Hit any key to stop autoboot" 60; then
        printf '\n' >&3
        if wait_for "$console" "=> " 10; then
            # shellcheck disable=SC2016  # U-Boot's variables, for U-Boot to expand
            printf 'dhcp && crc32 ${fileaddr} ${filesize}\n' >&3
            wait_for "$console" " ==> " 60 || true
        fi
    fi
    exec 3>&-
    stop_all
    local ms bytes sum whole=0
    ms=$(sed -n 's/.*DHCP client bound to address [0-9.]* (\([0-9]*\) ms).*/\1/p' "$console" |
        head -1)
    bytes=$(sed -n 's/.*Bytes transferred = \([0-9]*\) .*/\1/p' "$console" | head -1)
    sum=$(sed -n 's/.* ==> \([0-9a-f]*\).*/\1/p' "$console" | head -1)
    [ "$bytes" = "$SIZE" ] && [ "$sum" = "$CRC" ] && whole=1
    echo "${ms:--} $whole" >> "$WORK/$server.runs"
    if [ -z "$ms" ] || [ "$whole" = 0 ]; then
        echo "$server, run $name: lease ${ms:-none} ms, ${bytes:-no} bytes, CRC-32 ${sum:-none}" \
            "(expected $SIZE bytes, $CRC); console in $console" >&2
    fi
}

started=$(date +%s)
for i in $(seq "$N"); do
    # Turn about, so that neither server always comes first after the other's run.
    order="kestrom dnsmasq"
    [ $((i % 2)) = 0 ] && order="dnsmasq kestrom"
    for server in $order; do
        start_server "$server" "$server-$i" "$NS" tap0
        run_uboot "$server" "$server-$i"
    done
done
ip netns del "$NS"

median() {  # of the numbers on standard input; "-" when there are none
    sort -n | awk '{v[NR] = $1} END {
        if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2];
        else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A MEDIAN RANGE WHOLE
for server in kestrom dnsmasq; do
    times=$(awk '$1 != "-" {print $1}' "$WORK/$server.runs")
    leases=$(grep -c . <<<"$times" || true)
    MEDIAN[$server]=$(median <<<"$times")
    RANGE[$server]=$(sort -n <<<"$times" | sed -n '1p;$p' | paste -sd- -)
    [ "$leases" = "$N" ] || RANGE[$server]="${RANGE[$server]}, no lease in $((N - leases))"
    WHOLE[$server]="$(awk '$2 == 1' "$WORK/$server.runs" | wc -l)/$N"
done

ratio() {
    awk -v a="${MEDIAN[$1]}" -v b="${MEDIAN[dnsmasq]}" \
        'BEGIN {if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b}'
}

echo "kestrom: $KESTROM"
echo "U-Boot: $(dpkg-query -W -f='${Version}' u-boot-qemu 2>/dev/null || echo "$UBOOT")"
echo
printf '| server | %s ms, median of %s | range | vs dnsmasq | boot file whole (%s) |\n' \
    "\`dhcp\`" "$N" "$SIZE bytes, CRC-32 $CRC"
echo '| --- | --- | --- | --- | --- |'
for server in kestrom dnsmasq; do
    printf '| %s | %s | %s | %s | %s |\n' "$server" "${MEDIAN[$server]}" "${RANGE[$server]}" \
        "$(ratio "$server")" "${WHOLE[$server]}"
done
echo
echo "whole run: $(($(date +%s) - started)) s"
