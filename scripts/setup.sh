#!/usr/bin/env bash
# Installs what kestrom needs from Debian's packages (only what is missing) and builds it.
#   scripts/setup.sh          build and runtime dependencies, release build in ./build
#   scripts/setup.sh --test   also everything the tests use (real DHCP/TFTP clients, nginx, ...)
#   --packages-only (last)    install, don't build
set -euo pipefail
cd "$(dirname "$0")/.."
build=yes
[[ "${!#:-}" == --packages-only ]] && build=no

packages=(build-essential cmake ninja-build pkg-config libsqlite3-dev qt6-base-dev fonts-dejavu-core
          libgl-dev libgtest-dev libgmock-dev nlohmann-json3-dev)
tests=no
if [[ "${1:-}" == "--test" ]]; then
    tests=yes
    packages+=(iproute2 busybox isc-dhcp-client curl atftp tftp-hpa nginx-core procps psmisc dnsmasq-base man-db systemd
               lintian libcap2-bin xvfb xauth fonts-wine
               clang libclang-rt-14-dev clang-format qemu-system-x86 ovmf ipxe-qemu u-boot-qemu)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    # Services that packages bring (nginx) are started by the tests themselves, not at install.
    DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 "${sudo[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"
fi
[[ $build == yes ]] || exit 0

if [[ ! -f build/build.ninja ]]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROM_BUILD_TESTS=ON
fi
cmake --build build
