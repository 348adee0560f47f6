#!/usr/bin/env bash
# TFTP under a request flood: kestrom's service against tftpd-hpa, atftpd and dnsmasq, each in its
# own network namespace serving a 1 MiB zorva.bin. Each server in turn gets BURSTS bursts of COUNT
# read requests (default 3 x 9000), every one from a fresh client port that is closed right after
# sending (rrq_flood.cpp), so nothing the server sends back is ever acknowledged. One second after
# the last burst a real client (tftp-hpa) fetches the file. The table shows the fetch's time and
# whether its bytes are identical, and the most open files and resident memory the server held
# while it ran (sampled every 0.1 s; for tftpd-hpa summed over the listener and the children it
# forks per request), with the listener's peak resident memory (VmHWM).
# Needs root (namespaces, apt-get). Usage: bench/tftp/flood.sh [BURSTS [COUNT]]
# PEERS narrows the peers, e.g. PEERS=atftpd bench/tftp/flood.sh
set -euo pipefail

BURSTS=${1:-3}
COUNT=${2:-9000}
SIZE=$((1024 * 1024))
source "$(dirname "$0")/common.sh"

# The server process and the processes it forked.
server_tree() {
    local pid=$1
    echo "$pid"
    pgrep -P "$pid" || true
}

# Open files and resident kB of a process tree: "files kB".
sample() {
    local files=0 rss=0 p n r
    for p in $(server_tree "$1"); do
        n=$(ls "/proc/$p/fd" 2>/dev/null | wc -l) || n=0
        r=$(awk '/^VmRSS/ { print $2 }' "/proc/$p/status" 2>/dev/null) || r=0
        files=$((files + n))
        rss=$((rss + ${r:-0}))
    done
    echo "$files $rss"
}

# Keeps the largest figures seen in MAX_FILES and MAX_RSS.
track() {
    local files rss
    read -r files rss < <(sample "$1")
    ((files > MAX_FILES)) && MAX_FILES=$files
    ((rss > MAX_RSS)) && MAX_RSS=$rss
    return 0
}

# Samples every 0.1 s while the background job $2 runs.
track_while() {
    while kill -0 "$2" 2>/dev/null; do
        track "$1"
        sleep 0.1
    done
    wait "$2" || true
}

# Floods one server, fetches, and prints its row.
run_server() {
    local s=$1 pid=${PID[$1]} x="ip netns exec ${NS[$1]}" b job
    MAX_FILES=0 MAX_RSS=0
    track "$pid"
    local sent=0
    for ((b = 0; b < BURSTS; b++)); do
        $x "$WORK/rrq_flood" 69 "$COUNT" >"$WORK/flood-$s-$b" &
        job=$!
        track_while "$pid" "$job"
        sent=$((sent + $(cat "$WORK/flood-$s-$b")))
    done
    for _ in 1 2 3 4 5 6 7 8 9 10; do track "$pid"; sleep 0.1; done
    rm -f "$OUT/got-$s"
    $x bash -c "s=\$(date +%s%N); timeout 60 tftp -m binary 127.0.0.1 69 -c get zorva.bin $OUT/got-$s \
        >/dev/null 2>&1; e=\$(date +%s%N); echo \$(( (e - s) / 1000000 ))" >"$WORK/fetch-$s" &
    job=$!
    track_while "$pid" "$job"
    track "$pid"
    local ms same=no hwm
    ms=$(cat "$WORK/fetch-$s")
    cmp -s "$OUT/got-$s" "$WORK/zorva.bin" && same=yes
    hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
    printf '%-10s %8d %10s %10s %11d %12.1f %12.1f\n' "$s" "$sent" \
        "$(awk -v m="$ms" 'BEGIN { printf "%.2f", m / 1000 }')" "$same" "$MAX_FILES" \
        "$(awk -v k="$MAX_RSS" 'BEGIN { print k / 1024 }')" "$(awk -v k="$hwm" 'BEGIN { print k / 1024 }')"
    # Ends the server and the children it forked, so the next one runs on a quiet machine.
    local children
    children=$(pgrep -P "$pid" || true)
    kill "$pid" $children 2>/dev/null || true
}

# ---- main -------------------------------------------------------------------------------------
install_peers
build_kestrom
head -c "$SIZE" /dev/urandom >"$WORK/zorva.bin"
start_servers

echo
echo "TFTP read of a 1 MiB file by tftp-hpa, 1 s after $BURSTS x $COUNT read requests from closed ports"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
printf '%-10s %8s %10s %10s %11s %12s %12s\n' server requests "fetch(s)" identical "open files" \
    "resident MB" "VmHWM MB"
for s in "${SERVERS[@]}"; do run_server "$s"; done
echo "open files and resident MB: the most seen while the server ran (process tree)."
echo "VmHWM: peak resident memory of the server's main process."
