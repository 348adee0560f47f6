#!/usr/bin/env bash
# Upload speed of `kestrom web` against `curl -T`, both putting the same 50-file, 20 MB set (and
# the empty format.dat) one request at a time to the same nginx (WebDAV PUT, auth_basic).
# Everything stays inside a network namespace made here: nginx listens on 192.168.1.50:80 on
# the namespace's loopback, the address and port that a fresh settings hive gives `kestrom web`.
#   bench/web/run.sh [ROUNDS]        (needs root; uses ./build or $KESTROM_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/../.."

rounds=${1:-5}
build=${KESTROM_BUILD_DIR:-$PWD/build}
kestrom=$build/kestrom
files=50
total_bytes=$((20 * 1024 * 1024))

[[ $(id -u) -eq 0 ]] || { echo "bench/web: needs root (network namespace)" >&2; exit 1; }
[[ -x $kestrom ]] || { echo "bench/web: build kestrom first ($kestrom)" >&2; exit 1; }
for tool in nginx curl ip; do
    command -v "$tool" >/dev/null || { echo "bench/web: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
ns=kbweb$$
nginx_pid=
cleanup() {
    [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The page set: 50 files of random bytes, sizes spread around the mean, 20 MB in all.
mkdir -p "$work/job/www" "$work/root"
mean=$((total_bytes / files))
list="[FILES]"$'\r\n'
sum=0
for i in $(seq 1 $files); do
    name=$(printf 'page%02d.bin' "$i")
    if ((i < files)); then size=$((mean / 2 + (i * 7919 % mean))); else size=$((total_bytes - sum)); fi
    ((size > 0)) || size=1
    head -c "$size" /dev/urandom >"$work/job/www/$name"
    sum=$((sum + size))
    list+="FILE$i=$name"$'\r\n'
done
printf '%s' "$list" >"$work/job/kestrom.ini"

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip addr add 192.168.1.50/24 dev lo

echo 'admin:{PLAIN}7305' >"$work/htpasswd"
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
user root;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  server {
    listen 192.168.1.50:80;
    root $work/root;
    client_max_body_size 0;
    location / {
      dav_methods PUT;
      create_full_put_path on;
      auth_basic "kestrom";
      auth_basic_user_file $work/htpasswd;
    }
  }
}
CONF
ip netns exec "$ns" nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 100); do [[ -f $work/nginx.pid ]] && break; sleep 0.05; done
[[ -f $work/nginx.pid ]] || { echo "bench/web: nginx did not start" >&2; cat "$work/error.log" >&2; exit 1; }

now() { date +%s.%N; }

run_kestrom() {
    (cd "$work/job" && KESTROM_REGISTRY="$work/hive.db" timeout 120 \
        ip netns exec "$ns" "$kestrom" web >"$work/kestrom.out" 2>/dev/null)
}

run_curl() {
    (cd "$work/job/www" && timeout 120 ip netns exec "$ns" bash -c '
        set -e
        : >"$1/empty"
        curl -sf -o /dev/null -u admin:7305 -T "$1/empty" http://192.168.1.50/format.dat
        for f in page*.bin; do
            curl -sf -o /dev/null -u admin:7305 -T "$f" "http://192.168.1.50/$f"
        done' _ "$work")
}

# For reference: one curl process for all uploads (one connection kept open), which takes
# process start-up out of the comparison.
run_curl_once() {
    (cd "$work/job/www" && timeout 120 ip netns exec "$ns" bash -c '
        set -e
        : >"$1/empty"
        curl -sf -o /dev/null -u admin:7305 -T "$1/empty" http://192.168.1.50/format.dat
        names=$(ls page*.bin | paste -sd,)
        curl -sf -u admin:7305 -T "{$names}" http://192.168.1.50/ >/dev/null' _ "$work")
}

check_landed() {
    for f in "$work"/job/www/*; do
        cmp -s "$f" "$work/root/$(basename "$f")" || { echo "bench/web: $1: $(basename "$f") differs" >&2; exit 1; }
    done
    rm -f "$work"/root/*
}

kestrom_times=()
curl_times=()
curl_once_times=()
for r in $(seq 1 "$rounds"); do
    t0=$(now); run_kestrom || { echo "bench/web: kestrom web failed" >&2; cat "$work/kestrom.out" >&2; exit 1; }
    t1=$(now); check_landed kestrom
    t2=$(now); run_curl || { echo "bench/web: curl failed" >&2; exit 1; }
    t3=$(now); check_landed curl
    t4=$(now); run_curl_once || { echo "bench/web: curl (one process) failed" >&2; exit 1; }
    t5=$(now); check_landed "curl (one process)"
    kestrom_times+=("$(echo "$t1 - $t0" | bc -l)")
    curl_times+=("$(echo "$t3 - $t2" | bc -l)")
    curl_once_times+=("$(echo "$t5 - $t4" | bc -l)")
done

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
k=$(median "${kestrom_times[@]}")
c=$(median "${curl_times[@]}")
o=$(median "${curl_once_times[@]}")
echo "machine: $(uname -n), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "set: $files files, $sum bytes, plus format.dat; $rounds rounds, medians"
printf 'kestrom web:            %.3f s\n' "$k"
printf 'curl -T one by one:     %.3f s\n' "$c"
printf 'ratio kestrom / curl:   %.2f (at most 1 means kestrom is no slower)\n' "$(echo "$k / $c" | bc -l)"
printf 'reference, one curl process for all uploads: %.3f s (ratio %.2f)\n' "$o" "$(echo "$k / $o" | bc -l)"
