#!/usr/bin/env bash
# Sets everything up, builds, and starts kestrom in the caller's current directory: the window
# when a display is there, otherwise the headless service (kestrom serve).
set -euo pipefail
here=$(pwd)
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$here"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    exec "$root/build/kestrom" "$@"
fi
echo "No display found: starting 'kestrom serve' (type 'quit' to stop)." >&2
exec "$root/build/kestrom" serve "$@"
