#!/usr/bin/env bash
# The main job: build the programs it runs, start the emulated unit with its
# flash image in the user's data folder and a version server on 127.0.0.1
# that offers the bundled sample package, then open the window attached to
# the unit. The window checks online at once ("Internet vesion:..."); Update
# downloads the package (percentage, speed, remaining time) and writes it.
# Without a display the same road runs through trevik-cli update.
#   scripts/run-main-job.sh [--hidraw] [--help]
# --hidraw: the unit sits behind a hidraw node of trevik-unit-testbed instead
# of the emulator's socket, and the programs reach it through hidapi and udev
# as they reach a unit on USB.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"
}
hidraw=0
while [ $# -gt 0 ]; do
  case $1 in
    --hidraw) hidraw=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run-main-job: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

display=""
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || display=yes
# Only the programs this run starts are built (a fresh clone starts in
# minutes); scripts/test.sh builds the rest into the same folder.
programs=(trevik-cli trevik-unit-sim)
[ -z "$display" ] || programs+=(trevik)
[ "$hidraw" = 0 ] || programs+=(trevik-unit-testbed)
dir=$(bash "$root/scripts/build.sh" "${programs[@]}" | tail -n 1)

data="${XDG_DATA_HOME:-$HOME/.local/share}/trevik"
mkdir -p "$data"
image="$data/unit-flash.bin"
sock="$data/unit.sock"
web=$(mktemp -d)
sim=""
srv=""
cleanup() {
  for p in $sim $srv; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$web"
}
trap cleanup EXIT

# The unit keeps its flash in the image between runs.
if [ "$hidraw" = 1 ]; then
  # The testbed builds the unit when it runs the program, below.
  unit_args=()
  run_unit=("$dir/tools/testbed/trevik-unit-testbed" --image "$image" --)
  echo "emulated unit on /dev/hidraw0 of the testbed, flash image $image"
else
  "$dir/tools/unitsim/trevik-unit-sim" --socket "$sock" --image "$image" &
  sim=$!
  for _ in $(seq 100); do
    [ -S "$sock" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "trevik-unit-sim did not start" >&2; exit 1; }
    sleep 0.05
  done
  [ -S "$sock" ] || { echo "trevik-unit-sim did not start" >&2; exit 1; }
  unit_args=(--unit "socket:$sock")
  run_unit=()
  echo "emulated unit on $sock, flash image $image"
fi

# The version server: the sample package, and the version file naming it
# under every path of the version-file table, so any customer's unit finds it.
mkdir -p "$web/files/pkg"
cp "$root/res/sample/sample.zip" "$web/files/pkg/sample.zip"
python3 "$root/scripts/version-server.py" --dir "$web/files" >"$web/port" &
srv=$!
for _ in $(seq 100); do
  [ -s "$web/port" ] && break
  kill -0 "$srv" 2>/dev/null || { echo "the version server did not start" >&2; exit 1; }
  sleep 0.05
done
port=$(head -n 1 "$web/port")
[ -n "$port" ] || { echo "the version server did not start" >&2; exit 1; }
# The version is the date the sample's GPS data carries (a unit that holds
# it already is asked whether to write it again).
version_file=$(printf '20960818\r\nhttp://127.0.0.1:%s/pkg/sample.zip\r\n' "$port")
for path in UserFiles/File/testNet.txt UserFiles/File/velmora.txt ditu/qt471k/qt471kUP.txt \
  UserFiles/File/dastrine.txt UserFiles/File/corvelandis.txt UserFiles/File/marrowfeld.txt \
  UserFiles/File/olvessa.txt; do
  mkdir -p "$web/files/$(dirname "$path")"
  printf '%s' "$version_file" >"$web/files/$path"
done
export TREVIK_VERSION_SERVER="127.0.0.1:$port"
echo "version server on $TREVIK_VERSION_SERVER"

if [ -n "$display" ]; then
  echo "opening trevik: it checks online; press Update to download and write the newest package"
  cd "$root/res/sample"
  "${run_unit[@]}" "$dir/app/trevik" "${unit_args[@]}"
else
  echo "no display: running the same update with trevik-cli (newest package online, national)"
  # --yes: the emulated unit is written without the question a terminal
  # would otherwise get, so the job runs unattended.
  code=0
  "${run_unit[@]}" "$dir/tools/trevik-cli" "${unit_args[@]}" update --national --yes || code=$?
  if [ "$code" = 7 ]; then
    # Exit code 7: nothing to do, the unit kept the package of an earlier run.
    echo "the emulated unit already holds the newest package; remove $image to start again from a new unit"
    exit 0
  fi
  exit "$code"
fi
