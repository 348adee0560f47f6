#!/usr/bin/env bash
# The Windows installer under Wine: builds it (scripts/package.sh --windows), installs it silently
# in a Wine prefix of its own, checks the files, the Start-menu shortcut (and, as root, that its
# start works in the load folder), the "Apps & features" entry and the installed programs, then
# uninstalls silently and checks that all of it is gone but the settings. Leaves nothing behind
# but ./packages.
#   tests/windows/installer.sh [BUILD_WIN_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build=$(realpath "${1:-$root/build-win}")
work=$(mktemp -d)
failed=0
netns=
fail() { echo "FAIL: $*"; failed=1; }
cleanup() {
    wineserver -k 2>/dev/null || true
    [[ -z "$netns" ]] || ip netns del "$netns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A home of its own: the prefix's Documents folder leads to it, and kestrom makes its load
# folder there.
export HOME=$work/home
mkdir -p "$HOME"
export TMPDIR=$work WINEPREFIX=$work/wine WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# A fresh prefix takes about 10 s: made while the installer is built.
( wineboot -i && wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
  wineserver -w ) >"$work/wineboot.log" 2>&1 </dev/null &
boot=$!
KESTROM_WIN_BUILD_DIR=$build "$root/scripts/package.sh" --windows >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
setup=$root/packages/kestrom-$version-setup.exe
[[ -n "$version" && -f "$setup" ]] || { cat "$work/package.log"; echo "FAIL: no $setup"; exit 1; }
wait "$boot" || { cat "$work/wineboot.log"; exit 1; }

# Output goes to files, never to a pipe: wineserver would inherit the pipe and hold it open.
run() { timeout 120 wine "$@" >"$work/out" 2>&1 </dev/null; }
dir="$WINEPREFIX/drive_c/Program Files/kestrom"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/kestrom.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kestrom'

run "$setup" /S || fail "the installer exited with $?"
wineserver -w

# Exactly the program (the window's and the console's) and the uninstaller; the programs without
# their debug information.
[[ "$(ls "$dir" 2>&1 | tr '\n' ' ')" == "kestrom.com kestrom.exe uninstall.exe " ]] ||
    fail "installed files: $(ls "$dir" 2>&1 | tr '\n' ' ')"
for program in kestrom.exe kestrom.com; do
    if x86_64-w64-mingw32-objdump -h "$dir/$program" | grep -q '\.debug_'; then
        fail "the installed $program is not stripped"
    fi
    run "C:\\Program Files\\kestrom\\$program" --version || fail "$program --version exited with $?"
    [[ "$(tr -d '\r' <"$work/out")" == "kestrom $version" ]] ||
        fail "$program --version printed '$(cat "$work/out")', want 'kestrom $version'"
done

# The shortcut's strings are UTF-16: without the NUL bytes they read as text.
if [[ -f "$link" ]]; then
    strings=$(tr -d '\0' <"$link")
    for want in 'Program Files\kestrom\kestrom.exe' '%USERPROFILE%'; do
        [[ "$strings" == *"$want"* ]] || fail "the shortcut does not hold '$want'"
    done
else
    fail "no Start-menu shortcut $link"
fi

# Each value of the "Apps & features" entry, as reg prints it.
run reg query "$key" || fail "no $key"
uninstaller='C:\Program Files\kestrom\uninstall.exe'
for want in \
    "DisplayName REG_SZ kestrom" \
    "DisplayVersion REG_SZ $version" \
    "Publisher REG_SZ Varnhold" \
    'DisplayIcon REG_SZ C:\Program Files\kestrom\kestrom.exe,0' \
    'InstallLocation REG_SZ C:\Program Files\kestrom' \
    "UninstallString REG_SZ \"$uninstaller\"" \
    "QuietUninstallString REG_SZ \"$uninstaller\" /S" \
    "NoModify REG_DWORD 0x1" \
    "NoRepair REG_DWORD 0x1"; do
    tr -d '\r' <"$work/out" | sed 's/^ *//; s/    / /g' | grep -qxF -- "$want" ||
        fail "the Uninstall key lacks '$want'"
done
size=$(tr -d '\r' <"$work/out" | sed -n 's/^ *EstimatedSize *REG_DWORD *//p')
(( size > 0 )) 2>/dev/null || fail "EstimatedSize is '$size'"

# Started from the shortcut (no console), kestrom works in its load folder Documents\kestrom,
# which it makes. The window starts the DHCP and TFTP services, so that start runs in a network
# namespace of its own, with a wineserver of its own there (root only).
if [[ $(id -u) -eq 0 ]]; then
    documents="$WINEPREFIX/drive_c/users/$(id -un)/Documents"
    wineserver -k 2>/dev/null || true
    netns=kestrom-installer-$$
    ip netns add "$netns"
    ip netns exec "$netns" sh -c 'wineserver -p && wine wineboot' >/dev/null 2>&1 </dev/null
    ip netns exec "$netns" timeout 60 wine start /unix "$link" >"$work/out" 2>&1 </dev/null ||
        fail "the shortcut did not start: $(cat "$work/out")"
    for _ in $(seq 100); do [[ -d "$documents/kestrom" ]] && break; sleep 0.2; done
    [[ -d "$documents/kestrom" ]] || fail "the shortcut's start made no load folder Documents\\kestrom"
    wineserver -k 2>/dev/null || true
    ip netns del "$netns"
    netns=
fi

# A setting stored through the installed program must outlive the uninstall.
run 'C:\Program Files\kestrom\kestrom.exe' config set PoolSize 7 || fail "config set exited with $?"

# The uninstaller copies itself to the temp folder, starts the copy and returns at once.
run "$uninstaller" /S || fail "the uninstaller exited with $?"
wineserver -w
[[ ! -e "$dir" ]] || fail "left behind: $(ls -A "$dir" | tr '\n' ' ')(and the folder)"
[[ ! -e "$link" ]] || fail "left behind: the Start-menu shortcut"
! run reg query "$key" || fail "left behind: $key"
run reg query 'HKLM\SOFTWARE\Varnhold\kestrom' /v PoolSize || true
grep -q 'PoolSize.*7' "$work/out" || fail "the uninstall took the settings: $(cat "$work/out")"

((failed == 0)) || exit 1
echo "installer: install, shortcut, load folder, Apps & features entry, --version, uninstall:" \
    "all passed"
