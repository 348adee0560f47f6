#!/usr/bin/env bash
# TFTP read throughput: kestrom's service against tftpd-hpa, atftpd and dnsmasq, each serving one
# 16 MiB file from its own network namespace, fetched over that namespace's loopback by atftp
# (blksize 512, 1428, 4096; windowsize 4, 16, 64 at 1428 and 4096) and tftp-hpa (no options), with
# 1 and with 20 clients at once; and one 1 MiB file through the loss relay (1 % dropped, 1 %
# reordered, the same seed for every server) by atftp at blksize 1428, windowsize 16.
# Client names: atftp-BLKSIZE, atftp-BLKSIZE-wWINDOW, either with -loss; tftp-hpa, tftp-hpa-loss.
# Windowed and loss cases run against kestrom and atftpd only (tftpd-hpa and dnsmasq don't do
# windowsize; loss servers listen on a second port that dnsmasq can't): "-" for the others.
# Servers take turns run by run, so machine noise hits all alike; each case reports the median
# of REPS runs. Needs root (namespaces, apt-get). Usage: bench/tftp/run.sh [REPS]
# For quick iterations, PEERS, CLIENTS and COUNTS narrow the run, e.g.
#   CLIENTS="atftp-1428-w16 atftp-1428-w16-loss" COUNTS=1 bench/tftp/run.sh 1
#   PEERS=atftpd CLIENTS="atftp-512 tftp-hpa" COUNTS=20 bench/tftp/run.sh 5
# BASELINE=/path/to/an/older/kestrom_tftp_test_server adds that build as one more server (its own
# column, not counted as a peer), to compare a change against the code before it in one run.
set -euo pipefail

REPS=${1:-3}
SIZE=$((16 * 1024 * 1024))
LOSS_SIZE=$((1024 * 1024))
LOSS_SEED=${LOSS_SEED:-7440}
source "$(dirname "$0")/common.sh"

# ---- one case ---------------------------------------------------------------------------------
# Loss cases go through the relay on port 6969 to a second server instance on port 70, which
# serves a LOSS_SIZE file (a lost datagram costs a retransmission wait of seconds).
is_loss() { [[ $1 == *-loss ]]; }
is_windowed() { [[ $1 == *-w* ]]; }
case_size() { if is_loss "$1"; then echo "$LOSS_SIZE"; else echo "$SIZE"; fi; }
# Servers that take part in a case: windowed and loss cases only kestrom, atftpd and baseline.
takes_part() {  # server client
    { is_windowed "$2" || is_loss "$2"; } || return 0
    [[ $1 == kestrom || $1 == atftpd || $1 == baseline ]]
}

client_command() {  # client i
    local c=${1%-loss} port=69 options=""
    is_loss "$1" && port=6969
    if [[ $c == atftp-* ]]; then
        local bs=${c#atftp-}
        if [[ $bs == *-w* ]]; then options="--option 'windowsize ${bs#*-w}' "; bs=${bs%-w*}; fi
        echo "atftp ${options}--option 'blksize $bs' -g -r zorva.bin -l $OUT/got-$2 127.0.0.1 $port"
    elif [[ $c == tftp-hpa ]]; then
        echo "tftp -m binary 127.0.0.1 $port -c get zorva.bin $OUT/got-$2"
    fi
}

# Prints the MB/s of one server, one client kind, n clients; 0 when a fetch failed.
run_case() {
    local server=$1 client=$2 n=$3 script="" i size limit=120 relay=
    size=$(case_size "$client")
    rm -f "$OUT"/got-*
    if is_loss "$client"; then
        limit=300
        # A fresh relay per case, so each server's clients meet the same drops in the same order.
        ip netns exec "${NS[$server]}" "$WORK/udp_relay" 6969 70 0.01 0.01 "$LOSS_SEED" \
            2>>"$WORK/relay-$server.log" &
        relay=$!
        PID[relay]=$relay  # for the clean-up, should the run stop here
        sleep 0.2
    fi
    for ((i = 0; i < n; i++)); do script+="timeout $limit $(client_command "$client" "$i") >/dev/null 2>&1 & "; done
    local t
    # CLIENT_CPUS places the clients (taskset -c), as a harness that keeps them off the server's
    # processors, or a machine busy with other work, would.
    local place=""
    [ -n "${CLIENT_CPUS:-}" ] && place="taskset -c $CLIENT_CPUS"
    t=$(ip netns exec "${NS[$server]}" $place bash -c \
        "s=\$(date +%s%N); $script wait; e=\$(date +%s%N); echo \$(( (e - s) / 1000 ))")
    if [ -n "$relay" ]; then
        kill -INT "$relay"
        wait "$relay" 2>/dev/null || true
        unset 'PID[relay]'
    fi
    for ((i = 0; i < n; i++)); do
        [ "$(stat -c %s "$OUT/got-$i" 2>/dev/null || echo 0)" = "$size" ] || { echo 0; return; }
    done
    # Loss cases run at hundredths of a MB/s.
    local format=%.1f
    is_loss "$client" && format=%.4f
    awk -v b=$((size * n)) -v us="$t" -v f="$format" 'BEGIN { printf f, b / us }'
}

# A second instance of kestrom, atftpd and baseline on port 70 in the same namespaces, serving
# the LOSS_SIZE file, for the loss cases.
start_loss_servers() {
    local s x="ip netns exec"
    head -c "$LOSS_SIZE" "$WORK/zorva.bin" >"$WORK/zorva-loss.bin"
    for s in kestrom atftpd baseline; do
        [ -n "${NS[$s]:-}" ] || continue
        mkdir -p "$WORK/loss-$s"
        cp "$WORK/zorva-loss.bin" "$WORK/loss-$s/zorva.bin"
        chmod 0777 "$WORK/loss-$s"
        chmod 0644 "$WORK/loss-$s/zorva.bin"
    done
    $x "${NS[kestrom]}" "$BUILD/kestrom_tftp_test_server" 70 "$WORK/loss-kestrom" \
        >"$WORK/kestrom-loss.log" 2>&1 &
    PID[kestrom-loss]=$!
    if [ -n "${NS[baseline]:-}" ]; then
        $x "${NS[baseline]}" "$BASELINE" 70 "$WORK/loss-baseline" >"$WORK/baseline-loss.log" 2>&1 &
        PID[baseline-loss]=$!
    fi
    if [ -n "${NS[atftpd]:-}" ]; then
        $x "${NS[atftpd]}" "$ATFTPD" --daemon --no-fork --port 70 --user root --group root \
            --logfile /dev/null --maxthread 100 "$WORK/loss-atftpd" >"$WORK/atftpd-loss.log" 2>&1 &
        PID[atftpd-loss]=$!
    fi
    sleep 1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- main -------------------------------------------------------------------------------------
install_peers
build_kestrom
head -c "$SIZE" /dev/urandom >"$WORK/zorva.bin"
start_servers

read -r -a CLIENTS <<<"${CLIENTS:-atftp-512 atftp-1428 atftp-4096 tftp-hpa atftp-1428-w4 \
atftp-1428-w16 atftp-1428-w64 atftp-4096-w4 atftp-4096-w16 atftp-4096-w64 atftp-1428-w16-loss}"
read -r -a COUNTS <<<"${COUNTS:-1 20}"
for client in "${CLIENTS[@]}"; do is_loss "$client" && { start_loss_servers; break; }; done
declare -A RESULTS
for ((r = 0; r < REPS; r++)); do
    for client in "${CLIENTS[@]}"; do
        for n in "${COUNTS[@]}"; do
            # Rotate the order each run, so no server always goes first.
            for ((k = 0; k < ${#SERVERS[@]}; k++)); do
                s=${SERVERS[$(((k + r) % ${#SERVERS[@]}))]}
                takes_part "$s" "$client" || continue
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
echo "TFTP read of one 16 MiB file (loss cases: 1 MiB, seed $LOSS_SEED), MB/s (10^6 bytes/s, all clients together), median of $REPS runs"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
printf '%-24s %8s %10s %8s %8s %8s %14s %s\n' case kestrom tftpd-hpa atftpd dnsmasq "ratio" "ceiling(1 cl)" \
    "${BASELINE:+baseline}"
for client in "${CLIENTS[@]}"; do
    for n in "${COUNTS[@]}"; do
        declare -A med=([tftpd-hpa]=- [atftpd]=- [dnsmasq]=- [baseline]=)
        for s in "${SERVERS[@]}"; do
            [ -n "${RESULTS[$s,$client,$n]:-}" ] || continue
            med[$s]=$(echo "${RESULTS[$s,$client,$n]}" | tr ' ' '\n' | grep . | median)
        done
        # Windowed and loss cases compare with atftpd, the one peer that takes part.
        best=$(printf '%s\n' "${med[tftpd-hpa]}" "${med[atftpd]}" "${med[dnsmasq]}" | grep -v '^-$' | sort -g | tail -1 || true)
        ratio=$(awk -v a="${med[kestrom]}" -v b="${best:-0}" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')
        bs=${client#atftp-}; bs=${bs%%-*}; [[ $client == tftp-hpa* ]] && bs=512
        # The lock-step ceiling means nothing for windows or loss.
        ceiling=-; [ "$n" = 1 ] && ! is_windowed "$client" && ! is_loss "$client" && ceiling=${CEILING[$bs]}
        printf '%-24s %8s %10s %8s %8s %8s %14s %s\n' "$client x$n" "${med[kestrom]}" "${med[tftpd-hpa]}" \
            "${med[atftpd]}" "${med[dnsmasq]}" "$ratio" "$ceiling" "${med[baseline]}"
    done
done
echo "ratio: kestrom / fastest peer (atftpd in windowed and loss cases). ceiling: UDP lock-step round trips per second x block size."
if [ -n "${PID[kestrom-loss]:-}" ]; then
    echo "loss relay (last case per server): $(tail -qn1 "$WORK"/relay-*.log 2>/dev/null | tr '\n' ';')"
fi
echo "kestrom peak resident memory (VmHWM, whole run incl. 20 transfers at once): $HWM"
