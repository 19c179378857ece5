#!/usr/bin/env bash
# End-to-end checks of the Windows programs under Wine against the Linux
# build: run after scripts/build.sh (build/) and scripts/build-windows.sh
# (build-windows/).
#   scripts/check-windows.sh
# 1. trevik-pkgbuild.exe writes the same package bytes as trevik-pkgbuild,
#    also under a name in Chinese characters.
# With trevik-cli.exe (each said SKIPPED while the Windows build has none;
# TREVIK_WINDOWS_CLI names another command to run in its place):
# 2. inspect --json of the sample prints the same bytes as the Linux build.
# 3. A package named in Chinese characters opens and shows what it shows
#    on Linux.
# 4. Every recorded session in tests/sessions/ replays and agrees.
# 5. trevik-cli.exe updates the Linux emulated unit over loopback TCP
#    (national, then provinces) and leaves the same flash image as the Linux
#    trevik-cli over the unit's Unix socket.
# 6. Ctrl-C twice during the writes (pressed in a console of its own by
#    trevik-console-stop.exe) stops the run between two reports, ends with
#    exit code 8 and leaves an "interrupted" line in the history under
#    %LOCALAPPDATA%\trevik.
# Exits 1 at the first difference.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lin="$root/build" win="$root/build-windows"
export WINEPREFIX="$win/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
sim_pid=""
runner=""
cleanup() {
  [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
  # A Windows run left behind at a failure: the Wine programs of this
  # prefix end with it.
  if [ -n "$runner" ]; then
    wineserver -k 2>/dev/null || true
    wait "$runner" 2>/dev/null || true
  fi
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

# ---- with trevik-cli.exe -------------------------------------------------------
later=("inspect --json of the sample" "a package named in Chinese characters"
  "the recorded sessions" "the update over TCP" "Ctrl-C during the writes")
cli_win=()
if [ -n "${TREVIK_WINDOWS_CLI:-}" ]; then
  read -r -a cli_win <<<"$TREVIK_WINDOWS_CLI"
elif [ -f "$win/tools/trevik-cli.exe" ]; then
  cli_win=(wine "$win/tools/trevik-cli.exe")
else
  for what in "${later[@]}"; do
    echo "check-windows: SKIPPED $what: build-windows has no trevik-cli.exe yet"
  done
  echo "check-windows: done ($((SECONDS - t0)) s)"
  exit 0
fi
cli_lin="$lin/tools/trevik-cli"
sample="$root/res/sample/sample.dqv"
# The sample by its Windows name for the Windows programs (the Linux one
# with TREVIK_WINDOWS_CLI).
sample_win=$sample
if [ "${cli_win[0]}" = wine ]; then sample_win=$(winepath -w "$sample"); fi

# ---- 2. inspect --json ------------------------------------------------------------
t=$SECONDS
(cd "$root" && "$cli_lin" inspect --json res/sample/sample.dqv) >"$work/linux.json"
(cd "$root" && "${cli_win[@]}" inspect --json res/sample/sample.dqv) >"$work/windows.json" \
  2>"$work/windows.err" || fail "inspect --json failed under Wine: $(cat "$work/windows.err")"
cmp "$work/linux.json" "$work/windows.json" >&2 || fail "inspect --json printed other bytes"
echo "check-windows: inspect --json agrees ($((SECONDS - t)) s)"

# ---- 3. a package named in Chinese characters --------------------------------------
t=$SECONDS
cp "$sample" "$work/省份.dqv"
(cd "$work" && "$cli_lin" inspect 省份.dqv) >"$work/linux.txt"
(cd "$work" && "${cli_win[@]}" inspect 省份.dqv) >"$work/windows.txt" 2>"$work/windows.err" ||
  fail "inspect 省份.dqv failed under Wine: $(cat "$work/windows.err")"
cmp "$work/linux.txt" "$work/windows.txt" >&2 || fail "inspect 省份.dqv printed other bytes"
echo "check-windows: a package named 省份.dqv opens ($((SECONDS - t)) s)"

# ---- 4. the recorded sessions --------------------------------------------------------
# Each replays as it does on Linux; a session that does not agree on Linux
# either is said, not counted against the Windows build.
t=$SECONDS
n=0
for session in "$root"/tests/sessions/*.jsonl; do
  name=tests/sessions/$(basename "$session")
  linux=$(cd "$root" && "$cli_lin" replay "$name" 2>&1) || true
  out=$(cd "$root" && "${cli_win[@]}" replay "$name" 2>&1) || true
  case $out in
  "replay agrees"*) n=$((n + 1)) ;;
  *)
    [ "$out" = "$linux" ] || fail "replay $name under Wine: $out"
    echo "check-windows: NOTE: $name does not agree on Linux either: $linux"
    ;;
  esac
done
[ "$n" -gt 0 ] || fail "no session in tests/sessions agrees"
echo "check-windows: $n recorded sessions replay and agree ($((SECONDS - t)) s)"

# ---- 5. an update over TCP -------------------------------------------------------------
sim="$lin/tools/unitsim/trevik-unit-sim"
unit_opts=(--flash-size 0x800000 --boot 1046)

# Serves the unit image $1 on $2 $3 (--socket PATH or --tcp 127.0.0.1:0),
# with more options of the emulator after them; sets sim_pid and unit (the
# unit source to use).
serve() {
  local image=$1 how=$2 where=$3 log="$work/sim.log"
  shift 3
  : >"$log"
  "$sim" "$how" "$where" --image "$image" "${unit_opts[@]}" "$@" >/dev/null 2>"$log" &
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
  XDG_STATE_HOME="$work/state" "$cli_lin" update $choice --no-backup --yes \
    "$sample" --unit "$unit" >"$work/linux.out" 2>"$work/linux.err" ||
    fail "the Linux run of update $choice failed: $(cat "$work/linux.err")"
  stop_sim
  serve "$work/windows.img" --tcp 127.0.0.1:0
  # shellcheck disable=SC2086
  (cd "$work" && "${cli_win[@]}" update $choice --no-backup --yes "$sample_win" --unit "$unit" \
    >"$work/windows.out" 2>"$work/windows.err") ||
    fail "the Windows run of update $choice failed: $(cat "$work/windows.err")"
  stop_sim
  cmp -s "$work/linux.img" "$work/windows.img" || fail "update $choice: the flash images differ"
  echo "check-windows: update $choice over TCP leaves the same flash ($((SECONDS - t)) s)"
done

# ---- 6. Ctrl-C during the writes ------------------------------------------------------
stop_exe="$win/tests/windows/trevik-console-stop.exe"
if [ "${cli_win[0]}" != wine ] || [ ! -f "$stop_exe" ]; then
  echo "check-windows: SKIPPED Ctrl-C during the writes: needs trevik-cli.exe and trevik-console-stop.exe"
  echo "check-windows: done ($((SECONDS - t0)) s)"
  exit 0
fi
t=$SECONDS
# The history of the Windows programs: %LOCALAPPDATA%\trevik in the build's
# Wine prefix (Wine sets LOCALAPPDATA itself; it cannot be moved from here).
local_app=$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')
state=$(winepath -u "$local_app\\trevik")
if [ -z "$local_app" ] || [ -z "$state" ]; then fail "no %LOCALAPPDATA% under Wine"; fi
rm -rf "$state"
# One report every 5 ms: the writes take several seconds.
serve "$work/stop.img" --tcp 127.0.0.1:0 --delay-us 5000 --verbose
go="$work/ctrl-c"
rm -f "$go"
go_win=$(winepath -w "$go")
cli_exe=$(winepath -w "$win/tools/trevik-cli.exe")
(
  cd "$work"
  rc=0
  wine "$stop_exe" "$go_win" "$cli_exe" --unit "$unit" update --national --no-backup --yes \
    "$sample_win" >"$work/stop.out" 2>"$work/stop.err" || rc=$?
  echo "$rc" >"$work/stop.rc"
) &
runner=$!
# Presses Ctrl-C once and waits until it was pressed.
press() {
  touch "$go"
  for _ in $(seq 200); do [ -e "$go" ] || return 0; sleep 0.05; done
  fail "trevik-console-stop did not press Ctrl-C: $(cat "$work/stop.err")"
}
for _ in $(seq 400); do
  if grep -q 'updating$' "$work/stop.err" 2>/dev/null; then break; fi
  sleep 0.05
done
grep -q 'updating$' "$work/stop.err" || fail "the run never started writing: $(cat "$work/stop.err")"
sleep 0.2
press
sleep 0.3
press
wait "$runner" || true
runner=""
stop_sim
rc=$(cat "$work/stop.rc")
[ "$rc" = 8 ] || fail "Ctrl-C twice: exit code $rc, not 8: $(cat "$work/stop.err")"
grep -q "Stopping now leaves the unit's data incomplete" "$work/stop.err" ||
  fail "the first Ctrl-C did not warn: $(cat "$work/stop.err")"
grep -q "The update was stopped" "$work/stop.err" || fail "no stop report: $(cat "$work/stop.err")"
[ -f "$state/history.jsonl" ] || fail "no history in $local_app\\trevik"
tail -n 1 "$state/history.jsonl" | grep -q '"result":"interrupted"' ||
  fail "the history's last line: $(tail -n 1 "$state/history.jsonl")"
# Stopped between two reports: the last command the unit saw is a write,
# and neither the parameter reset nor the end of the run came after it.
last=$(grep -o 'command [0-9A-F][0-9A-F]' "$work/sim.log" | tail -n 1)
[ "$last" = "command F3" ] || fail "the unit's last command was $last, not a write"
! grep -q 'command F4' "$work/sim.log" || fail "the run went on to its end after the stop"
echo "check-windows: Ctrl-C stops the writes between reports and records history ($((SECONDS - t)) s)"
echo "check-windows: done ($((SECONDS - t0)) s)"
