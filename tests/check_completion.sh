#!/usr/bin/env bash
# check_completion.sh COMPLETION TREVIK_CLI
# Completes command lines with the bash completion of trevik-cli, as bash
# would after TAB, and compares the candidates with the expected ones.
set -u
source "$1"
prog=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
: >"$dir/unit.sock"

failures=0
# line typed after "trevik-cli " | the candidates bash is handed
cases=(
  "up|update"
  "settings s|set"
  "settings set da|day_hour="
  "settings set day_hour=1|10"
  "settings set time_zone=-1|-12 -11 -10 -1"
  "settings set band.2=|1 0"
  "settings set twelve_hour=1 tw|twelve_hour="
  "settings set port=|"
  "info --unit so|socket:"
  "info --unit socket:$dir/u|$dir/unit.sock"
  "settings set --unit socket:$dir/u|$dir/unit.sock"
  "update --dry|--dry-run"
  "settings set --def|--default-radar"
  "settings apply --js|--json"
)
for c in "${cases[@]}"; do
  line=${c%%|*} expect=${c#*|}
  COMP_LINE="$prog $line"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _trevik_cli 2>/dev/null
  got="${COMPREPLY[*]}"
  if [ "$got" != "$expect" ]; then
    echo "trevik-cli $line<TAB>: got \"$got\", expected \"$expect\""
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] && echo "all ${#cases[@]} completions as expected"
exit "$failures"
