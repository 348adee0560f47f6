#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in ./build-fuzz and runs each on its corpus.
#   fuzz/run.sh [--grow] [--runs N] [--jobs J] SECONDS [NAME...]
# NAME is a target without its fuzz_ prefix (dhcp_message, console, ...). Without names every
# built fuzz_NAME whose corpus folder fuzz/*/corpus/NAME/ exists runs. Each runs for SECONDS
# (or N executions, whichever comes first), J of them at a time (1 unless given).
#
# A plain run (CI's smoke run) leaves the corpus as it is: what the fuzzer finds goes to a
# scratch folder. --grow merges the new inputs that reach new code into the corpus folder
# (libFuzzer's -merge=1 keeps only those), for a campaign whose corpus is then committed.
# A crash, leak, time-out or sanitizer report fails the script; the input that caused it is
# kept in build-fuzz/artifacts/ and the target's log in build-fuzz/logs/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"

usage() { echo "usage: $0 [--grow] [--runs N] [--jobs J] SECONDS [NAME...]" >&2; exit 2; }
grow=no
runs=-1
jobs=1
while (($#)); do
    case "$1" in
        --grow) grow=yes; shift ;;
        --runs) (($# >= 2)) || usage; runs="$2"; shift 2 ;;
        --jobs) (($# >= 2)) || usage; jobs="$2"; shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
(($# >= 1)) && [[ "$1" =~ ^[0-9]+$ && "$runs" =~ ^-?[0-9]+$ && "$jobs" =~ ^[1-9][0-9]*$ ]] ||
    usage
seconds="$1"
shift

if [[ ! -f "$build/build.ninja" ]]; then
    CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTROM_BUILD_FUZZ=ON -DKESTROM_SANITIZE=address,undefined \
        -DKESTROM_BUILD_TESTS=OFF -DKESTROM_BUILD_UI=OFF
fi
cmake --build "$build"

corpus_of() {
    local dirs=("$root"/fuzz/*/corpus/"$1"/)
    [[ -d "${dirs[0]}" ]] && echo "${dirs[0]%/}"
}

names=("$@")
if ((${#names[@]} == 0)); then
    for exe in "$build"/fuzz_*; do
        [[ -x "$exe" ]] || continue
        name="${exe##*/fuzz_}"
        if corpus_of "$name" >/dev/null; then
            names+=("$name")
        else
            echo "fuzz_$name: no corpus folder fuzz/*/corpus/$name/, not run" >&2
        fi
    done
fi
((${#names[@]})) || { echo "no fuzz targets with a corpus in $build" >&2; exit 1; }
for name in "${names[@]}"; do
    corpus_of "$name" >/dev/null || { echo "fuzz_$name: no corpus folder" >&2; exit 1; }
    [[ -x "$build/fuzz_$name" ]] || { echo "fuzz_$name is not built" >&2; exit 1; }
done

# A vptr report is recoverable in this build (see CMakeLists.txt); it must end the run all the same.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1:suppressions=$root/scripts/ubsan.supp}"

# One target: the run, then with --grow the merge. Non-zero when anything failed.
fuzz_one() {
    local name="$1" corpus exe scratch log stats before
    corpus="$(corpus_of "$name")"
    exe="$build/fuzz_$name"
    scratch="$build/scratch/$name"
    log="$build/logs/$name.log"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    echo "fuzz_$name: ${seconds} s on $corpus ($(ls "$corpus" | wc -l) inputs)"
    # New inputs go to the scratch folder (the first one named); the corpus is only read.
    if ! "$exe" -max_total_time="$seconds" -runs="$runs" -timeout=25 -print_final_stats=1 \
            -artifact_prefix="$build/artifacts/$name-" "$scratch" "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz_$name FAILED; log $log, input in $build/artifacts/" >&2
        return 1
    fi
    stats="$(grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" |
             sed 's/^stat:://; s/  */ /g' | tr '\n' ' ')"
    echo "fuzz_$name: ok, $stats"
    if [[ $grow == yes ]]; then
        before=$(ls "$corpus" | wc -l)
        if ! "$exe" -merge=1 -artifact_prefix="$build/artifacts/$name-" "$corpus" "$scratch" \
                >"$build/logs/$name.merge.log" 2>&1; then
            echo "fuzz_$name: merging FAILED; log $build/logs/$name.merge.log" >&2
            return 1
        fi
        echo "fuzz_$name: corpus $before -> $(ls "$corpus" | wc -l) inputs"
    fi
    rm -rf "$scratch"
}

mkdir -p "$build/artifacts" "$build/logs"
failed=0
running=0
for name in "${names[@]}"; do
    if ((running == jobs)); then
        wait -n || failed=1
        running=$((running - 1))
    fi
    ((failed == 0)) || break
    fuzz_one "$name" &
    running=$((running + 1))
done
while ((running > 0)); do
    wait -n || failed=1
    running=$((running - 1))
done
exit "$failed"
