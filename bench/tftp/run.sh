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
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
WORK=$(mktemp -d /tmp/kestrom-tftp-bench.XXXXXX)
OUT=$(mktemp -d /dev/shm/kestrom-tftp-bench.XXXXXX)
SIZE=$((16 * 1024 * 1024))
read -r -a PEER_LIST <<<"${PEERS:-tftpd-hpa atftpd dnsmasq}"
SERVERS=(kestrom "${PEER_LIST[@]}")
[ -n "${BASELINE:-}" ] && SERVERS+=(baseline)
declare -A NS PID
PINGPONG_PID=

cleanup() {
    for s in "${!PID[@]}"; do kill "${PID[$s]}" 2>/dev/null || true; done
    [ -n "$PINGPONG_PID" ] && kill "$PINGPONG_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    for s in "${!NS[@]}"; do ip netns del "${NS[$s]}" 2>/dev/null || true; done
    rm -rf "$WORK" "$OUT"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }

# ---- peers ------------------------------------------------------------------------------------
# Package scripts must not start system services: policy-rc.d answers 101 ("action forbidden")
# while we install, and we check afterwards that no peer runs outside our namespaces.
install_peers() {
    local need=()
    command -v atftp >/dev/null || need+=(atftp)
    command -v tftp >/dev/null || need+=(tftp-hpa)
    [ -x /usr/sbin/in.tftpd ] || need+=(tftpd-hpa)
    command -v dnsmasq >/dev/null || need+=(dnsmasq-base)
    dpkg -s libwrap0 >/dev/null 2>&1 || need+=(libwrap0)
    dpkg -s libpcre2-8-0 >/dev/null 2>&1 || need+=(libpcre2-8-0)
    if [ ${#need[@]} -gt 0 ]; then
        local own_policy=
        if [ ! -e /usr/sbin/policy-rc.d ]; then
            printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
            chmod +x /usr/sbin/policy-rc.d
            own_policy=1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null
        [ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
    fi
    # atftpd conflicts with tftpd-hpa as a package: unpack it beside it instead.
    ATFTPD=$WORK/atftpd/usr/sbin/atftpd
    (cd "$WORK" && apt-get download atftpd >/dev/null 2>&1 && dpkg-deb -x atftpd_*.deb atftpd)
    [ -x "$ATFTPD" ] || { echo "could not unpack atftpd" >&2; exit 1; }
    for p in in.tftpd dnsmasq; do
        if pgrep -x "$p" >/dev/null && [ "$(ip netns identify "$(pgrep -x "$p" | head -1)")" = "" ]; then
            echo "note: a system $p is running; stop it (service ${p/in./} stop) for a fair run" >&2
        fi
    done
}

build_kestrom() {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_UI=OFF \
        -DKESTROM_BUILD_TESTS=ON >/dev/null
    cmake --build "$BUILD" -j2 --target kestrom_tftp_test_server kestrom_platform >/dev/null
    g++ -O2 -std=c++20 -I"$ROOT/src" "$ROOT/bench/tftp/udp_pingpong.cpp" \
        "$BUILD/src/platform/libkestrom_platform.a" -pthread -o "$WORK/udp_pingpong"
}

# ---- servers, one namespace each --------------------------------------------------------------
make_ns() {
    local name=kbench-$1-$$
    ip netns add "$name"
    ip netns exec "$name" ip link set lo up
    NS[$1]=$name
}

start_servers() {
    for s in "${SERVERS[@]}"; do
        make_ns "$s"
        mkdir -p "$WORK/root-$s"
        cp "$WORK/zorva.bin" "$WORK/root-$s/zorva.bin"
        chmod 0777 "$WORK/root-$s"
        chmod 0644 "$WORK/root-$s/zorva.bin"
    done
    chmod 0755 "$WORK"
    local x="ip netns exec"
    $x "${NS[kestrom]}" "$BUILD/kestrom_tftp_test_server" 69 "$WORK/root-kestrom" \
        >"$WORK/kestrom.log" 2>&1 &
    PID[kestrom]=$!
    if [ -n "${NS[baseline]:-}" ]; then
        $x "${NS[baseline]}" "$BASELINE" 69 "$WORK/root-baseline" >"$WORK/baseline.log" 2>&1 &
        PID[baseline]=$!
    fi
    if [ -n "${NS[tftpd-hpa]:-}" ]; then
        $x "${NS[tftpd-hpa]}" /usr/sbin/in.tftpd --listen --foreground --secure --user root -4 \
            --address :69 "$WORK/root-tftpd-hpa" >"$WORK/tftpd-hpa.log" 2>&1 &
        PID[tftpd-hpa]=$!
    fi
    if [ -n "${NS[atftpd]:-}" ]; then
        $x "${NS[atftpd]}" "$ATFTPD" --daemon --no-fork --port 69 --user root --group root \
            --logfile /dev/null --maxthread 100 "$WORK/root-atftpd" >"$WORK/atftpd.log" 2>&1 &
        PID[atftpd]=$!
    fi
    if [ -n "${NS[dnsmasq]:-}" ]; then
        $x "${NS[dnsmasq]}" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
            --user=root --pid-file="$WORK/dnsmasq.pid" --enable-tftp --tftp-root="$WORK/root-dnsmasq" \
            --tftp-max=100 --interface=lo --bind-interfaces >"$WORK/dnsmasq.log" 2>&1 &
        PID[dnsmasq]=$!
    fi
    sleep 1  # start-up; every case below checks its own result
    for s in "${SERVERS[@]}"; do
        kill -0 "${PID[$s]}" 2>/dev/null || { echo "$s did not start:"; cat "$WORK/$s.log"; exit 1; }
    done
}

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
