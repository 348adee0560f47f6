#!/usr/bin/env bash
# Builds kestrom's packages into ./packages (installing the Debian packages it needs when they
# are missing):
#   scripts/package.sh            the Debian package kestrom_VERSION-1_amd64.deb
#   scripts/package.sh --windows  the Windows installer kestrom-VERSION-setup.exe
# VERSION is the project's version in CMakeLists.txt.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/packages"

install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "== installing ${missing[*]}"
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
}

# A build of its own, with Debian's hardening flags and without the tests; CPack installs it
# into a staging folder, strips it, and computes the dependencies with dpkg-shlibdeps.
debian() {
    "$root/scripts/setup.sh" --packages-only
    install_missing dpkg-dev file
    local build="$root/build-pkg"
    if [[ ! -f "$build/build.ninja" ]]; then
        export DEB_BUILD_MAINT_OPTIONS=hardening=+all
        CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
            cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                -DCMAKE_INSTALL_PREFIX=/usr -DKESTROM_BUILD_TESTS=OFF
    fi
    cmake --build "$build"
    rm -f "$out"/kestrom_*.deb
    (cd "$build" && cpack -G DEB)
    rm -rf "$out/_CPack_Packages"
    ls -l "$out"/kestrom_*.deb
}

windows() {
    # The installer from the cross build (scripts/build-windows.sh, into ./build-win or
    # $KESTROM_WIN_BUILD_DIR), which also configures its script and strips its copy of kestrom.exe.
    local build="${KESTROM_WIN_BUILD_DIR:-$root/build-win}" version
    install_missing nsis
    "$root/scripts/build-windows.sh"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    mkdir -p "$out"
    rm -f "$out"/kestrom-*-setup.exe
    # -WX: a warning fails the build, so none goes unseen.
    makensis -WX -V2 -DOUTDIR="$out" "$build/installer/kestrom.nsi"
    ls -l "$out/kestrom-$version-setup.exe"
}

case "${1:-}" in
    "") debian ;;
    --windows) windows ;;
    *) echo "usage: scripts/package.sh [--windows]" >&2; exit 2 ;;
esac
