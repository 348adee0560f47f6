#!/usr/bin/env bash
# Sets everything up, builds, and runs every test. Exits non-zero when any test fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" --test
cd "$root/build"
ctest --output-on-failure --timeout 600 -j "$(( $(nproc) * 2 ))"
