#!/usr/bin/env bash
# The main job: build, start the emulated unit with its flash image in the
# user's data folder, and open the window attached to it with the bundled
# sample package ready to Open (the file dialog starts in res/sample/).
# Without a display the same update runs with trevik-cli instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(bash "$root/scripts/build.sh" | tail -n 1)

data="${XDG_DATA_HOME:-$HOME/.local/share}/trevik"
mkdir -p "$data"
image="$data/unit-flash.bin"
sock="$data/unit.sock"
sample="$root/res/sample/sample.dqv"

# The unit keeps its flash in the image between runs.
"$dir/tools/unitsim/trevik-unit-sim" --socket "$sock" --image "$image" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -S "$sock" ] && break
  kill -0 "$sim" 2>/dev/null || { echo "trevik-unit-sim did not start" >&2; exit 1; }
  sleep 0.05
done
[ -S "$sock" ] || { echo "trevik-unit-sim did not start" >&2; exit 1; }
echo "emulated unit on $sock, flash image $image"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "opening trevik: choose Open, pick sample.dqv, then Update"
  cd "$root/res/sample"
  "$dir/app/trevik" --unit "socket:$sock"
else
  echo "no display: running the same update with trevik-cli (national package)"
  "$dir/tools/trevik-cli" --unit "socket:$sock" update --national "$sample"
fi
