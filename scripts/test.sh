#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: the suite in ./build, the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer in ./build-asan, the suites of the threaded
# subsystems built with ThreadSanitizer in ./build-tsan, and a short run of every
# fuzz target on its corpus (./build-fuzz), the Debian package (./build-pkg) installed into a
# folder of its own and run as nobody, then the Windows build (./build-win) with its tests
# under Wine. Exits non-zero at the first of them that fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
start=$SECONDS
phase() { echo "== $1 ($(( SECONDS - start )) s so far)"; }

phase "set-up and build"
"$root/scripts/setup.sh" --test

phase "formatting"
"$root/scripts/format.sh" --check

# Here the namespace tests must run: one that would skip (no root, no ip netns) fails instead.
# KESTROM_REQUIRE_NETNS=0 in the environment lets them skip, on a machine without root.
export KESTROM_REQUIRE_NETNS="${KESTROM_REQUIRE_NETNS:-1}"
jobs=$(( $(nproc) * 2 ))

# ctest in the build folder $1 (further arguments go to ctest), with the first run's timings,
# so the longest cases start first.
ctest_longest_first() {
    local dir=$1
    shift
    mkdir -p "$dir/Testing/Temporary"
    cp -f "$root/build/Testing/Temporary/CTestCostData.txt" "$dir/Testing/Temporary/" \
        2>/dev/null || true
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs" "$@")
}

phase "test suite"
(cd "$root/build" && ctest --output-on-failure --timeout 600 -j "$jobs")

phase "test suite with AddressSanitizer and UndefinedBehaviorSanitizer"
if [[ ! -f "$root/build-asan/build.ninja" ]]; then
    # -O1 with line tables only: it builds in little more than half the time of -O2 -g, and
    # every report still names file and line.
    cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DKESTROM_BUILD_TESTS=ON -DKESTROM_SANITIZE=address,undefined
fi
cmake --build "$root/build-asan"
# The first report ends the program that made it, and so fails its test. Leak checks stay on:
# the suite, the dialog's included, leaks nothing that needs a suppression.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$root/scripts/ubsan.supp"
# Three groups spend their time waiting, not in kestrom's code: the lossy real clients (a peer's
# retransmission timer per lost datagram), the emulated firmwares' network boots, and the upload
# abandoned by a killed client (the service's time-outs). The code they reach runs here all the
# same, in the table tests and the plain real-client cases; the first run above covers them. The
# simulated controller's restart and a load verified end to end run their full boot here; their
# failure rows only wait for bounds.
ctest_longest_first "$root/build-asan" \
    -E '^(Loss/TftpLossyClients|Firmwares/NetworkBoot|TftpClientTimeouts)\.|^Failures/SimulatorRestart\..*/(NoMarker|NoBoot|Halfway|OldVersion|NoShell) |^Verdicts/LoadOneController\..*/(NoBoot|Halfway|OldVersion|NoShell|OtherVersion) '

phase "the suites whose code shares state between threads, with ThreadSanitizer"
if [[ ! -f "$root/build-tsan/build.ninja" ]]; then
    cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DKESTROM_BUILD_TESTS=ON \
        -DKESTROM_BUILD_UI=OFF -DKESTROM_SANITIZE=thread
fi
# The TFTP service (a loop per processor on shared tables), the DHCP service and its lease table,
# the event log and progress board, the driver's jobs, the telnet client's threads and the boots a
# load watches. Only these
# programs are built; ctest skips the others' entries, and, as above, the cases that wait on a
# peer's timers. No report is suppressed: none has been a false one.
cmake --build "$root/build-tsan" --target tftp_test core_test dhcp_test driver_test update_test load_test
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest_longest_first "$root/build-tsan" \
    -E '_NOT_BUILT$|^(BashCompletion|ManPage|RegistryOutside|HiveStorm)\.|^(Loss/TftpLossyClients|TftpClientTimeouts)\.'

phase "fuzz targets, 20 s each"
"$root/fuzz/run.sh" --jobs "$(nproc)" 20

phase "the Debian package: lintian, and run as nobody with its one capability"
"$root/scripts/package.sh"
if [[ $(id -u) -eq 0 ]]; then
    "$root/tests/package/deb.sh" "$root"/packages/kestrom_*.deb
elif [[ "$KESTROM_REQUIRE_NETNS" == 1 ]]; then
    echo "the package test needs root (namespaces, setcap)"; exit 1
fi

phase "Windows: cross build with MinGW-w64 and the tests under Wine"
"$root/scripts/test-windows.sh"

phase "all passed"
