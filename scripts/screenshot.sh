#!/usr/bin/env bash
# Takes a screenshot of the main window under Xvfb, attached to the emulated
# unit, for the README.
#   scripts/screenshot.sh [OUT.png] [BUILD_DIR]   (default res/screenshot.png, build/)
# Without OUT.png it also renders the README's dialog shots into res/: the
# Setting dialog of a kind 5 unit and the province dialog on a full-HD
# screen at 100 % and at 200 %.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/res/screenshot.png}")
dir="${2:-}"
[ -n "$dir" ] || dir=$(bash "$root/scripts/build.sh" | tail -n 1)

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number.
n=99
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
export DISPLAY=":$n"

"$dir/tools/unitsim/trevik-unit-sim" --socket "$work/unit.sock" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$work/unit.sock" ] && break; sleep 0.05; done

# The window's lock and sockets stay in the private directory.
TMPDIR="$work" "$dir/app/trevik" --unit "socket:$work/unit.sock" >/dev/null 2>&1 &
pids+=($!)
sleep 3

# The screen is black around the undecorated window: trim it away.
import -window root "$work/screen.png"
convert "$work/screen.png" -trim +repage "$out"
echo "$out"

if [ -z "${1:-}" ]; then
  env -u QT_QPA_PLATFORM "$dir/province/trevik-dialog-shots" "$work/shots" >/dev/null
  env -u QT_QPA_PLATFORM QT_SCALE_FACTOR=2 "$dir/province/trevik-dialog-shots" "$work/shots2" >/dev/null
  cp "$work/shots/config_kind5.png" "$root/res/screenshot_config.png"
  cp "$work/shots/province.png" "$root/res/screenshot_province.png"
  cp "$work/shots2/province.png" "$root/res/screenshot_province_200.png"
  echo "$root/res/screenshot_config.png $root/res/screenshot_province.png $root/res/screenshot_province_200.png"
fi
