#!/usr/bin/env bash
# Records the sessions of this folder again from the emulated unit:
#   tests/sessions/record.sh [BUILD_DIR]    (from anywhere; default build/)
# Each session is one trevik-cli command against a fresh trevik-unit-sim,
# recorded with --record; ctest replays every *.jsonl here with
# "trevik-cli replay". Paths in the recorded command lines are relative to
# the checkout, where the replays run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cli="$build/tools/trevik-cli"
sim="$build/tools/unitsim/trevik-unit-sim"
out="$root/tests/sessions"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export XDG_STATE_HOME="$work/state" LC_ALL=C.UTF-8
cd "$root"

# record NAME "SIM OPTIONS" CLI ARGS...: one session; the unit keeps its
# flash in $work/NAME.img, so a second record of the same NAME prefix can
# follow on the same unit (IMAGE=...).
record() {
  local name=$1 simopts=$2
  shift 2
  local sock="$work/$name.sock" image="$work/${IMAGE:-$name}.img"
  # shellcheck disable=SC2086
  "$sim" --socket "$sock" --image "$image" $simopts >"$work/$name.sim.log" 2>&1 &
  local pid=$!
  for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done
  local code=0
  "$cli" --record "$out/$name.jsonl" --force --unit "socket:$sock" "$@" >/dev/null 2>&1 || code=$?
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  printf '%-28s exit %d, %6d bytes\n' "$name" "$code" "$(wc -c <"$out/$name.jsonl")"
}

record info "" info
record update-national "" update --national --no-backup res/sample/sample.dqv
record update-provinces "" update --provinces 0,2 --no-backup res/sample/sample.dqv
record settings-set "--param-kind 3" settings set time_zone=2 night_hour=20 user=driver7
record settings-apply "--param-kind 3" settings apply tests/sessions/settings-backup.json
IMAGE=verify record verify-prepare "" update --national --no-backup res/sample/sample.dqv
rm -f "$out/verify-prepare.jsonl"
IMAGE=verify record verify "" verify --national res/sample/sample.dqv
record update-lost-reply "--no-reply f3:3" update --national --no-backup res/sample/sample.dqv
record other-customer "--client QT471-UNIT-0001" update --national --no-backup res/sample/sample.dqv
