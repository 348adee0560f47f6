#!/usr/bin/env bash
# Settings under fire: four `kestrom config set` loops, each over its own two settings, while a
# fifth process kills one of the running sets with SIGKILL at random moments, KILLS times in all
# (default 1,000). The hive starts missing in a fresh temporary folder ($KESTROM_REGISTRY points
# there). At ten checkpoints and at the end it checks that every setting reads back the value of
# its last set that exited 0 (or of a later set that was killed after committing), that SQLite's
# integrity check answers "ok", and that the file is mode 0600; then it prints the figures.
#   bench/registry/storm.sh [KILLS] [SEED]    (uses ./build or $KESTROM_BUILD_DIR, built here)
# The test suite runs the same storm with 100 kills (HiveStorm.AHundredKillsLoseNoStoredSetting).
set -euo pipefail
cd "$(dirname "$0")/../.."

kills=${1:-1000}
build=${KESTROM_BUILD_DIR:-$PWD/build}

if [[ ! -f $build/build.ninja ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROM_BUILD_TESTS=ON \
        >/dev/null
fi
cmake --build "$build" -j2 --target kestrom registry_storm >/dev/null

exec "$build/registry_storm" "$build/kestrom" "$kills" ${2:+"$2"}
