# The two DHCP and TFTP servers the bench scripts compare, started alike. Sourced; the caller
# sets WORK (a folder of its own, holding root/zorva.bin), KESTROM (the binary) and PIDS (an
# array of the processes it starts, which stop_all ends).

stop_all() {  # every process this script started that may still run
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    PIDS=()
}

# Starts SERVER (kestrom or dnsmasq) in namespace NS, serving INTERFACE, with a fresh state and
# its log in $WORK/NAME.log, and waits until it holds UDP 67. dnsmasq runs without its ping
# check (which holds a first offer about 3 s) and with kestrom's 30 s leases.
#   start_server SERVER NAME NS INTERFACE
start_server() {
    local server=$1 name=$2 ns=$3 interface=$4
    local log=$WORK/$name.log
    if [ "$server" = kestrom ]; then
        mkdir -p "$WORK/$name.hive"
        (cd "$WORK/root" && KESTROM_REGISTRY=$WORK/$name.hive/registry.db \
            exec ip netns exec "$ns" "$KESTROM" serve) </dev/null >"$log" 2>&1 &
    else
        ip netns exec "$ns" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --no-resolv \
            --no-hosts --no-ping --interface="$interface" --bind-dynamic \
            --dhcp-range=192.168.1.50,192.168.1.60,255.255.255.0,30s --dhcp-boot=zorva.bin \
            --enable-tftp --tftp-root="$WORK/root" --dhcp-leasefile="$WORK/$name.leases" \
            --pid-file="$WORK/$name.pid" --log-dhcp --log-facility=- </dev/null >"$log" 2>&1 &
    fi
    PIDS+=($!)
    local i
    for i in $(seq 100); do
        ip netns exec "$ns" ss -Huln 'sport = :67' | grep -q . && return 0
        sleep 0.05
    done
    echo "$server did not bind UDP 67; its log:" >&2
    cat "$log" >&2
    exit 1
}
