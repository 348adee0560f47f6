#!/usr/bin/env bash
# kestrom load against a site of simulated controllers: one controller, 20 at once, and 100
# (PARALLEL_100 at once). The PC's network namespace holds a bridge, br0 (10.1.2.10/23), and the
# PC's folder (a 3 MB zorva.bin whose first line names version 3.4, and a scratch hive whose pool
# is 10.1.2.100 and POOL_SIZE more, mask 255.255.254.0); each controller (10.1.3.1 and up) has a
# namespace of its own, cabled to the bridge by a veth pair, and runs kestrom-sim --boot, which
# boots from the PC over the cable (DHCP, then a TFTP read of zorva.bin at blksize 1428,
# windowsize 16) and comes back with the image's version. PC, pool and controllers share one
# /23: the DHCP service serves the interface whose network holds the pool, and the controllers
# sit outside the pool, as kestrom load demands. The pool holds 20 addresses by default, as many
# as load at once: each controller back on its own address gives its boot loader's lease back.
# Every run starts fresh simulators (a simulator keeps the version it booted) and measures the
# wall time of `kestrom load`, its peak resident memory, the summary's verdict count and its
# exit status. Prints a table of medians, the ratio 20 at once / 1 against its target (<= 1.5)
# and whether all 100 were verified; exits 1 when a target is missed or a run failed.
#
# Usage: sudo bench/load/run.sh [REPS]     (runs of the 1 and 20 cases, default 3)
#   REPS_100       runs of the 100 case (default 1)
#   PARALLEL_100   --parallel of the 100 case (default 20)
#   POOL_SIZE      the PoolSize setting (default 19: the pool holds 20 addresses, 10.1.2.100-119)
#   CASES          "1 20 100" by default; a subset narrows the run
#   LOAD_OPTIONS   more options for kestrom load, e.g. "--verbose --boot-within 20"
#   KEEP=DIR       keeps every run's kestrom output and simulator logs in DIR
#   KESTROM_BUILD_DIR  where kestrom and kestrom-sim are (default ./build)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${KESTROM_BUILD_DIR:-$ROOT/build}
KESTROM=$BUILD/kestrom
SIM=$BUILD/kestrom-sim
REPS=${1:-3}
REPS_100=${REPS_100:-1}
PARALLEL_100=${PARALLEL_100:-20}
POOL_SIZE=${POOL_SIZE:-19}
read -r -a LOAD_OPTIONS <<<"${LOAD_OPTIONS:-}"
read -r -a CASES <<<"${CASES:-1 20 100}"
SIZE=$((3 * 1024 * 1024))
PC_ADDRESS=10.1.2.10/23
POOL_START=10.1.2.100
NETMASK=255.255.254.0
TARGET_RATIO=1.5

[ "$(id -u)" = 0 ] || { echo "bench/load: run as root (network namespaces)" >&2; exit 1; }
for f in "$KESTROM" "$SIM"; do
    [ -x "$f" ] || { echo "bench/load: build it first: $f" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/kestrom-load-bench.XXXXXX)
PC=kload$$pc
CTL=()  # controller i's namespace
declare -A SECONDS_OF PEAK_OF VERIFIED_OF STATUS_OF

# The processes in our namespaces (the simulators, kestrom load) end first; a namespace whose
# processes are gone goes with its interfaces, and the bridge with the PC's namespace.
cleanup() {
    trap - EXIT INT TERM
    local ns pids=() p
    for ns in "$PC" "${CTL[@]}"; do
        [ -e "/run/netns/$ns" ] || continue
        for p in $(ip netns pids "$ns" 2>/dev/null); do pids+=("$p"); done
    done
    if [ ${#pids[@]} -gt 0 ]; then
        # kestrom load ends at once on a second request; the simulators on the first.
        kill -TERM "${pids[@]}" 2>/dev/null || true
        sleep 0.3
        kill -TERM "${pids[@]}" 2>/dev/null || true
        for _ in $(seq 30); do
            kill -0 "${pids[@]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${pids[@]}" 2>/dev/null || true
    fi
    wait 2>/dev/null || true
    { for ns in "${CTL[@]}" "$PC"; do
        [ -e "/run/netns/$ns" ] && echo "netns del $ns"
    done; } | ip -force -batch - 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

now_ns() { date +%s%N; }
seconds_since() { awk -v s="$1" -v e="$(now_ns)" 'BEGIN { printf "%.1f", (e - s) / 1e9 }'; }
controller_address() { echo "10.1.3.$((1 + $1))"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
case_count() { echo "$1"; }
case_parallel() {
    case $1 in
        1) echo 1 ;;
        20) echo 20 ;;
        *) echo "$PARALLEL_100" ;;
    esac
}
case_reps() { if [ "$1" = 100 ]; then echo "$REPS_100"; else echo "$REPS"; fi; }

# ---- the site ---------------------------------------------------------------------------------
# Namespaces, veth pairs and addresses go in a few `ip -batch` calls; the controllers' own
# settings, one `ip -n NS -batch` each, run side by side.
make_site() {  # controllers
    local n=$1 i
    ip netns add "$PC"
    ip -n "$PC" -batch - <<EOF
link set lo up
link add br0 type bridge
addr add $PC_ADDRESS dev br0
link set br0 up
EOF
    for ((i = 0; i < n; i++)); do CTL+=("kload$$c$i"); done
    printf 'netns add %s\n' "${CTL[@]}" | ip -batch -
    for ((i = 0; i < n; i++)); do
        echo "link add c$i netns $PC type veth peer name eth0 netns ${CTL[i]}"
    done | ip -batch -
    for ((i = 0; i < n; i++)); do echo "link set c$i master br0 up"; done | ip -n "$PC" -batch -
    for ((i = 0; i < n; i++)); do
        printf 'link set lo up\naddr add %s/23 dev eth0\nlink set eth0 up\n' \
            "$(controller_address "$i")" | ip -n "${CTL[i]}" -batch - &
    done
    wait
}

# The PC's folder and hive: the image kestrom serves, and the pool beside the controllers.
make_pc_folder() {
    mkdir -p "$WORK/pc" "$WORK/hive"
    export KESTROM_REGISTRY=$WORK/hive/registry.db
    {
        echo "kestrom-sim firmware 3.4"
        head -c "$((SIZE - 25))" /dev/urandom
    } >"$WORK/pc/zorva.bin"
    local setting
    for setting in "ZorvaIPStartAddress $POOL_START" "PoolSize $POOL_SIZE" "netmask $NETMASK" \
        "ZorvaIPAddress $(controller_address 0)"; do
        # shellcheck disable=SC2086  # name and value
        "$KESTROM" config set $setting >/dev/null
    done
    printf '%s-%s\n' "$(controller_address 0)" "$(controller_address 19 | cut -d. -f4)" \
        >"$WORK/pc/twenty.txt"
    printf '%s-%s\n' "$(controller_address 0)" "$(controller_address 99 | cut -d. -f4)" \
        >"$WORK/pc/hundred.txt"
}

SIM_PIDS=()
start_sims() {  # count log-prefix
    local n=$1 i deadline
    SIM_PIDS=()
    for ((i = 0; i < n; i++)); do
        ip netns exec "${CTL[i]}" "$SIM" --address "$(controller_address "$i")" --boot eth0 \
            >"$2-sim$i.log" 2>&1 &
        SIM_PIDS+=($!)
    done
    deadline=$(($(date +%s) + 30))
    for ((i = 0; i < n; i++)); do
        until grep -q "kestrom-sim: http on" "$2-sim$i.log"; do
            if [ "$(date +%s)" -gt "$deadline" ] || ! kill -0 "${SIM_PIDS[i]}" 2>/dev/null; then
                echo "bench/load: simulator $i did not start:" >&2
                cat "$2-sim$i.log" >&2
                exit 1
            fi
            sleep 0.05
        done
    done
}
stop_sims() {
    [ ${#SIM_PIDS[@]} -gt 0 ] || return 0
    kill -TERM "${SIM_PIDS[@]}" 2>/dev/null || true
    wait "${SIM_PIDS[@]}" 2>/dev/null || true
    SIM_PIDS=()
}

# ---- one run ----------------------------------------------------------------------------------
# Runs one case once; records seconds, peak kB, "verified/listed" and the exit status.
run_case() {  # case run
    local c=$1 r=$2 n parallel args log out start status=0 peak=- pid
    n=$(case_count "$c")
    parallel=$(case_parallel "$c")
    case $c in
        1) args=(--controller "$(controller_address 0)") ;;
        20) args=(--controllers twenty.txt --parallel "$parallel") ;;
        *) args=(--controllers hundred.txt --parallel "$parallel") ;;
    esac
    args+=("${LOAD_OPTIONS[@]}")
    log=$WORK/case$c-run$r
    out=$log-kestrom.out
    start_sims "$n" "$log"
    cd "$WORK/pc"
    start=$(now_ns)
    if [ -x /usr/bin/time ]; then
        ip netns exec "$PC" /usr/bin/time -f %M -o "$log.rss" "$KESTROM" load "${args[@]}" \
            >"$out" 2>&1 &
        pid=$!
        wait "$pid" || status=$?
        peak=$(tail -n1 "$log.rss")
    else
        # ip netns exec runs kestrom in its own place: $! is kestrom's process.
        ip netns exec "$PC" "$KESTROM" load "${args[@]}" >"$out" 2>&1 &
        pid=$!
        local v
        while v=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null) && [ -n "$v" ]; do
            peak=$v
            sleep 0.1
        done
        wait "$pid" || status=$?
    fi
    local took
    took=$(seconds_since "$start")
    cd "$ROOT"
    stop_sims
    local summary verified
    summary=$(grep -Eo '^[0-9]+ controllers?: [0-9]+ verified, [0-9]+ not' "$out" | tail -n1 || true)
    if [ -n "$summary" ]; then
        verified=$(awk '{ print $3 "/" $1 }' <<<"$summary")
    else
        verified="0/$n"
    fi
    SECONDS_OF[$c]+="$took "
    PEAK_OF[$c]+="$peak "
    VERIFIED_OF[$c]+="$verified "
    STATUS_OF[$c]+="$status "
    printf 'run %d, %s controller(s), --parallel %s: %s s, peak %s kB, %s verified, exit %s\n' \
        "$((r + 1))" "$n" "$parallel" "$took" "$peak" "$verified" "$status"
    if [ "$verified" != "$n/$n" ] || [ "$status" != 0 ]; then
        echo "  kestrom load's last lines:"
        tail -n 25 "$out" | sed 's/^/    /'
        local i
        for ((i = 0; i < n; i++)); do
            grep -q "shell back, version 3.4" "$log-sim$i.log" && continue
            echo "  simulator $(controller_address "$i"):"
            tail -n 6 "$log-sim$i.log" | sed 's/^/    /'
        done
    fi
    if [ -n "${KEEP:-}" ]; then
        mkdir -p "$KEEP"
        cp "$log"-* "$KEEP/"
    fi
    rm -f "$log"-sim*.log
}

# ---- main -------------------------------------------------------------------------------------
most=0
for c in "${CASES[@]}"; do
    case $c in 1 | 20 | 100) ;; *) echo "bench/load: unknown case '$c' (1, 20, 100)" >&2; exit 2 ;; esac
    [ "$c" -gt "$most" ] && most=$c
done
make_pc_folder
t=$(now_ns)
make_site "$most"
SETUP_SITE=$(seconds_since "$t")
t=$(now_ns)
start_sims "$most" "$WORK/setup"
SETUP_SIMS=$(seconds_since "$t")
stop_sims
rm -f "$WORK"/setup-sim*.log
echo "set-up: $most namespaces with veth pairs on the bridge in $SETUP_SITE s;" \
    "$most simulators started and listening in $SETUP_SIMS s"

most_reps=$REPS
[ "$REPS_100" -gt "$most_reps" ] && most_reps=$REPS_100
for ((r = 0; r < most_reps; r++)); do
    for c in "${CASES[@]}"; do
        [ "$r" -lt "$(case_reps "$c")" ] || continue
        run_case "$c" "$r"
    done
done

echo
echo "kestrom load, 3 MB zorva.bin onto kestrom-sim controllers (DHCP + TFTP blksize 1428," \
    "windowsize 16), pool $POOL_START + $POOL_SIZE"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
printf '%-32s %16s %9s %-10s %s\n' case "seconds(median)" "peak kB" verified "exit (runs)"
failed=0
declare -A MED
for c in "${CASES[@]}"; do
    n=$(case_count "$c")
    MED[$c]=$(tr ' ' '\n' <<<"${SECONDS_OF[$c]}" | grep . | median)
    peak=$(tr ' ' '\n' <<<"${PEAK_OF[$c]}" | grep -v '^-\?$' | sort -g | tail -n1 || true)
    runs=$(case_reps "$c")
    all_ok=$(tr ' ' '\n' <<<"${VERIFIED_OF[$c]}" | grep . | grep -vc "^$n/$n\$" || true)
    bad_status=$(tr ' ' '\n' <<<"${STATUS_OF[$c]}" | grep . | grep -vc '^0$' || true)
    [ "$all_ok" = 0 ] && [ "$bad_status" = 0 ] || failed=1
    verified=$(tr ' ' '\n' <<<"${VERIFIED_OF[$c]}" | grep . | sort -u | paste -sd, -)
    printf '%-32s %16s %9s %-10s %s\n' "$n controller(s), --parallel $(case_parallel "$c")" \
        "${MED[$c]}" "${peak:--}" "$verified" "$(echo "${STATUS_OF[$c]}" | xargs | tr ' ' ,) ($runs)"
done
missed=0
if [ -n "${MED[1]:-}" ] && [ -n "${MED[20]:-}" ]; then
    ratio=$(awk -v a="${MED[20]}" -v b="${MED[1]}" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')
    met=$(awk -v r="$ratio" -v t="$TARGET_RATIO" 'BEGIN { print (r > 0 && r <= t) ? "met" : "MISSED" }')
    echo "ratio 20 at once / 1: $ratio (target <= $TARGET_RATIO): $met"
    [ "$met" = met ] || missed=1
fi
if [ -n "${MED[100]:-}" ]; then
    complete=yes
    tr ' ' '\n' <<<"${VERIFIED_OF[100]}" | grep . | grep -qv '^100/100$' && complete=no
    tr ' ' '\n' <<<"${STATUS_OF[100]}" | grep . | grep -qv '^0$' && complete=no
    echo "100 complete: $complete"
    [ "$complete" = yes ] || missed=1
fi
echo "set-up: site of $most controllers $SETUP_SITE s, $most simulators $SETUP_SIMS s"
[ "$failed" = 0 ] || echo "some runs did not verify every controller (see their lines above)"
[ "$missed" = 0 ] && [ "$failed" = 0 ]
