#!/usr/bin/env bash
# The Windows test job: cross-builds with MinGW-w64 (scripts/build-windows.sh, into ./build-win)
# and runs the tests with ctest under Wine, headless, in a Wine prefix of its own that is
# removed at the end; last, it builds the installer into ./packages and tries it out
# (tests/windows/installer.sh). Leaves no process, nothing in /tmp and nothing in the home
# directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KESTROM_WIN_BUILD_DIR:-$root/build-win}"
start=$SECONDS
phase() { echo "== $1 ($(( SECONDS - start )) s so far)"; }

wtmp=$(mktemp -d)
export TMPDIR=$wtmp  # Wine puts its server socket directory here too
export WINEPREFIX=$wtmp/wine WINEARCH=win64 WINEDEBUG=-all
# No Mono/Gecko add-ons, no desktop menu entries, and no debugger: a crashing test exits at
# once with a failing status instead of hanging in winedbg (or passing).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$wtmp"
}
trap cleanup EXIT

phase "packages"
"$root/scripts/build-windows.sh" --install-only
# A fresh prefix takes about 10 s: made while the build runs.
( wineboot -i && wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
  wineserver -w ) >"$wtmp/wineboot.log" 2>&1 </dev/null &
boot=$!

phase "build"
"$root/scripts/build-windows.sh"
wait "$boot" || { cat "$wtmp/wineboot.log"; exit 1; }

# One wineserver (and Wine's own services) for the whole run, started away from any pipe that
# ctest reads: otherwise every test waits for it to linger out, or the first one hangs.
phase "Wine"
wineserver -p
wine wineboot >/dev/null 2>&1 </dev/null

phase "tests under Wine"
ctest --test-dir "$build" --timeout 300 --output-on-failure -j 2
wineserver -k

# Pictures of the window on a virtual display (the tests above ran with the null driver): both
# pages, the right-click menu, the about box and the check's results, read back from the X server
# as a user sees them and checked to show every control's text, as PNG files. With no window
# manager on the display, Wine draws the windows' frames and title bars itself.
phase "screenshots under Xvfb"
rm -rf "$build/screenshots"
mkdir -p "$build/screenshots"
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 </dev/null
wineserver -w
# The symbols of the title bars' buttons (Debian's fonts-wine; Wine looks for it in the prefix).
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null ||
    echo "no /usr/share/wine/fonts/marlett.ttf (fonts-wine): title bar buttons show letters"
KESTROM_SCREENSHOT_DIR="$build/screenshots" timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" \
    wine "$build/ui_win32_test.exe" --gtest_filter='*picturesFromTheScreen*' </dev/null
wineserver -k
ls "$build/screenshots"

# kestrom.exe against real DHCP and TFTP clients and the simulated controller, in namespaces
# (root only; the simulated controller is the Linux build's).
if [[ $(id -u) -eq 0 && -x "$root/build/kestrom-sim" ]]; then
    phase "real peers under Wine"
    "$root/tests/windows/real_peers.sh" "$build" "$root/build"
elif [[ "${KESTROM_REQUIRE_NETNS:-0}" == 1 ]]; then
    echo "real peers under Wine: needs root and the Linux build (build/kestrom-sim)"; exit 1
fi
phase "installer under Wine"
"$root/tests/windows/installer.sh" "$build"
phase "done"
