#!/usr/bin/env bash
# TFTP read throughput: kestrom's service against tftpd-hpa, atftpd and dnsmasq, each serving one
# 16 MiB file from its own network namespace, fetched over that namespace's loopback by atftp
# (blksize 512, 1428, 4096) and tftp-hpa (no options), with 1 and with 20 clients at once.
# Servers take turns run by run, so machine noise hits all alike; each case reports the median
# of REPS runs. Needs root (namespaces, apt-get). Usage: bench/tftp/run.sh [REPS]
# For quick iterations, PEERS, CLIENTS and COUNTS narrow the run, e.g.
#   PEERS=atftpd CLIENTS="atftp-512 tftp-hpa" COUNTS=20 bench/tftp/run.sh 5
# BASELINE=/path/to/an/older/kestrom_tftp_test_server adds that build as one more server (its own
# column, not counted as a peer), to compare a change against the code before it in one run.
set -euo pipefail

REPS=${1:-3}
SIZE=$((16 * 1024 * 1024))
source "$(dirname "$0")/common.sh"

# ---- one case ---------------------------------------------------------------------------------
client_command() {  # client i
    case $1 in
        atftp-*) echo "atftp --option 'blksize ${1#atftp-}' -g -r zorva.bin -l $OUT/got-$2 127.0.0.1 69" ;;
        tftp-hpa) echo "tftp -m binary 127.0.0.1 69 -c get zorva.bin $OUT/got-$2" ;;
    esac
}

# Prints the MB/s of one server, one client kind, n clients; 0 when a fetch failed.
run_case() {
    local server=$1 client=$2 n=$3 script="" i
    rm -f "$OUT"/got-*
    for ((i = 0; i < n; i++)); do script+="timeout 120 $(client_command "$client" "$i") >/dev/null 2>&1 & "; done
    local t
    t=$(ip netns exec "${NS[$server]}" bash -c \
        "s=\$(date +%s%N); $script wait; e=\$(date +%s%N); echo \$(( (e - s) / 1000 ))")
    for ((i = 0; i < n; i++)); do
        [ "$(stat -c %s "$OUT/got-$i" 2>/dev/null || echo 0)" = "$SIZE" ] || { echo 0; return; }
    done
    awk -v b=$((SIZE * n)) -v us="$t" 'BEGIN { printf "%.1f", b / us }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- main -------------------------------------------------------------------------------------
install_peers
build_kestrom
head -c "$SIZE" /dev/urandom >"$WORK/zorva.bin"
start_servers

read -r -a CLIENTS <<<"${CLIENTS:-atftp-512 atftp-1428 atftp-4096 tftp-hpa}"
read -r -a COUNTS <<<"${COUNTS:-1 20}"
declare -A RESULTS
for ((r = 0; r < REPS; r++)); do
    for client in "${CLIENTS[@]}"; do
        for n in "${COUNTS[@]}"; do
            # Rotate the order each run, so no server always goes first.
            for ((k = 0; k < ${#SERVERS[@]}; k++)); do
                s=${SERVERS[$(((k + r) % ${#SERVERS[@]}))]}
                RESULTS[$s,$client,$n]+="$(run_case "$s" "$client" "$n") "
            done
        done
    done
done

HWM=$(awk '/VmHWM/ { print $2 " " $3 }' "/proc/${PID[kestrom]}/status")

# Lock-step ceiling: UDP round trips per second between two processes on a namespace's loopback.
ip netns exec "${NS[kestrom]}" "$WORK/udp_pingpong" echo 7000 &
PINGPONG_PID=$!
sleep 0.2
declare -A CEILING
for bs in 512 1428 4096; do
    trips=$(ip netns exec "${NS[kestrom]}" "$WORK/udp_pingpong" ping 7000 $((bs + 4)) 2)
    CEILING[$bs]=$(awk -v t="$trips" -v b="$bs" 'BEGIN { printf "%.1f", t * b / 1e6 }')
done

echo
echo "TFTP read of one 16 MiB file, MB/s (10^6 bytes/s, all clients together), median of $REPS runs"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
printf '%-16s %8s %10s %8s %8s %8s %14s %s\n' case kestrom tftpd-hpa atftpd dnsmasq "ratio" "ceiling(1 cl)" \
    "${BASELINE:+baseline}"
for client in "${CLIENTS[@]}"; do
    for n in "${COUNTS[@]}"; do
        declare -A med=([tftpd-hpa]=- [atftpd]=- [dnsmasq]=- [baseline]=)
        for s in "${SERVERS[@]}"; do med[$s]=$(echo "${RESULTS[$s,$client,$n]}" | tr ' ' '\n' | grep . | median); done
        best=$(printf '%s\n' "${med[tftpd-hpa]}" "${med[atftpd]}" "${med[dnsmasq]}" | grep -v '^-$' | sort -g | tail -1)
        ratio=$(awk -v a="${med[kestrom]}" -v b="$best" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')
        bs=${client#atftp-}; [ "$client" = tftp-hpa ] && bs=512
        ceiling=-; [ "$n" = 1 ] && ceiling=${CEILING[$bs]}
        printf '%-16s %8s %10s %8s %8s %8s %14s %s\n' "$client x$n" "${med[kestrom]}" "${med[tftpd-hpa]}" \
            "${med[atftpd]}" "${med[dnsmasq]}" "$ratio" "$ceiling" "${med[baseline]}"
    done
done
echo "ratio: kestrom / fastest peer. ceiling: UDP lock-step round trips per second x block size."
echo "kestrom peak resident memory (VmHWM, whole run incl. 20 transfers at once): $HWM"
