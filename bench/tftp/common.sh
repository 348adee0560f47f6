# Shared set-up of the TFTP benchmarks (run.sh, flood.sh): peers installed when missing, a Release
# build of kestrom's service and the bench tools (the loss relay among them), and each server
# started in its own network namespace on port 69, serving $WORK/zorva.bin. Sourced, not run;
# the caller sets -euo pipefail.
# PEERS narrows the peers ("tftpd-hpa atftpd dnsmasq" by default); BASELINE adds an older build.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
WORK=$(mktemp -d /tmp/kestrom-tftp-bench.XXXXXX)
OUT=$(mktemp -d /dev/shm/kestrom-tftp-bench.XXXXXX)
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
    g++ -O2 -std=c++20 -I"$ROOT/src" "$ROOT/bench/tftp/rrq_flood.cpp" \
        "$BUILD/src/platform/libkestrom_platform.a" -pthread -o "$WORK/rrq_flood"
    g++ -O2 -std=c++20 -I"$ROOT/src" -I"$ROOT/tests/support" "$ROOT/bench/tftp/udp_relay_main.cpp" \
        "$ROOT/tests/support/udp_relay.cpp" "$BUILD/src/platform/libkestrom_platform.a" -pthread \
        -o "$WORK/udp_relay"
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

