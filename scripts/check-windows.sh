#!/usr/bin/env bash
# End-to-end checks of the Windows programs under Wine against the Linux
# build: run after scripts/build.sh (build/) and scripts/build-windows.sh
# (build-windows/).
#   scripts/check-windows.sh
# 1. trevik-pkgbuild.exe writes the same package bytes as trevik-pkgbuild,
#    also under a name in Chinese characters.
# 2. trevik-cli.exe updates the Linux emulated unit over loopback TCP
#    (national, then provinces) and leaves the same flash image as the Linux
#    trevik-cli over the unit's Unix socket. Skipped, and said so, while the
#    Windows build has no trevik-cli.exe. TREVIK_WINDOWS_CLI names another
#    command to run in its place.
# Exits 1 at the first difference.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lin="$root/build" win="$root/build-windows"
export WINEPREFIX="$win/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-windows: FAILED: $*" >&2; exit 1; }
t0=$SECONDS

# ---- 1. packages -------------------------------------------------------------
args=(--program T73A:40000 --section 1:5000 --province 0:10 --province 2:7)
"$lin/tools/pkgbuild/trevik-pkgbuild" -o "$work/linux.dqv" "${args[@]}" --zip "$work/linux.zip"
(cd "$work" && wine "$win/tools/pkgbuild/trevik-pkgbuild.exe" -o 省份.dqv "${args[@]}" --zip 省份.zip)
cmp -s "$work/linux.dqv" "$work/省份.dqv" || fail "trevik-pkgbuild.exe wrote other package bytes"
cmp -s <(unzip -p "$work/linux.zip") <(unzip -p "$work/省份.zip") ||
  fail "trevik-pkgbuild.exe zipped other bytes"
echo "check-windows: packages agree ($((SECONDS - t0)) s)"

# ---- 2. an update over TCP -----------------------------------------------------
cli_win=()
if [ -n "${TREVIK_WINDOWS_CLI:-}" ]; then
  read -r -a cli_win <<<"$TREVIK_WINDOWS_CLI"
elif [ -f "$win/tools/trevik-cli.exe" ]; then
  cli_win=(wine "$win/tools/trevik-cli.exe")
else
  echo "check-windows: SKIPPED the update over TCP: build-windows has no trevik-cli.exe yet"
  exit 0
fi
sample="$root/res/sample/sample.dqv"
sim="$lin/tools/unitsim/trevik-unit-sim"
unit_opts=(--flash-size 0x800000 --boot 1046)

# Serves the unit image $1 on $2 (--socket PATH or --tcp 127.0.0.1:0); sets
# sim_pid and unit (the unit source to use).
serve() {
  local image=$1 how=$2 where=$3 log="$work/sim.log"
  : >"$log"
  "$sim" "$how" "$where" --image "$image" "${unit_opts[@]}" >/dev/null 2>"$log" &
  sim_pid=$!
  for _ in $(seq 100); do
    if grep -q 'serving on' "$log"; then break; fi
    sleep 0.05
  done
  local source
  source=$(sed -n 's/^trevik-unit-sim: serving on //p' "$log")
  [ -n "$source" ] || fail "trevik-unit-sim did not start: $(cat "$log")"
  case $source in tcp:*) unit=$source ;; *) unit="socket:$source" ;; esac
}
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

for choice in "--national" "--provinces 0,2"; do
  t=$SECONDS
  rm -f "$work/linux.img" "$work/windows.img"
  serve "$work/linux.img" --socket "$work/unit.sock"
  # shellcheck disable=SC2086
  XDG_STATE_HOME="$work/state" "$lin/tools/trevik-cli" update $choice --no-backup --yes \
    "$sample" --unit "$unit" >"$work/linux.out" 2>"$work/linux.err" ||
    fail "the Linux run of update $choice failed: $(cat "$work/linux.err")"
  stop_sim
  serve "$work/windows.img" --tcp 127.0.0.1:0
  # shellcheck disable=SC2086
  (cd "$work" && "${cli_win[@]}" update $choice --no-backup --yes "$sample" --unit "$unit" \
    >"$work/windows.out" 2>"$work/windows.err") ||
    fail "the Windows run of update $choice failed: $(cat "$work/windows.err")"
  stop_sim
  cmp -s "$work/linux.img" "$work/windows.img" || fail "update $choice: the flash images differ"
  echo "check-windows: update $choice over TCP leaves the same flash ($((SECONDS - t)) s)"
done
echo "check-windows: done ($((SECONDS - t0)) s)"
