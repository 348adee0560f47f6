#!/usr/bin/env bash
# Cross-builds the Windows version with MinGW-w64 into ./build-win (incremental after the first
# run). Installs the Debian packages it needs when they are missing. Wine is needed only to run
# the tests (scripts/test-windows.sh), not to build. --install-only stops after the packages.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KESTROM_WIN_BUILD_DIR:-$root/build-win}"

packages=(g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build xvfb xauth)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "== installing ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi
[[ "${1:-}" == --install-only ]] && exit 0

if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
fi
cmake --build "$build" -j "${KESTROM_BUILD_JOBS:-2}"
