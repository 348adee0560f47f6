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

debian() {
    echo "the Debian package is not built yet" >&2
    exit 1
}

windows() {
    echo "the Windows installer is not built yet" >&2
    exit 1
}

case "${1:-}" in
    "") debian ;;
    --windows) windows ;;
    *) echo "usage: scripts/package.sh [--windows]" >&2; exit 2 ;;
esac
