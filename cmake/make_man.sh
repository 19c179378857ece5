#!/bin/sh
# make_man.sh HELP2MAN PROGRAM OUTPUT DESCRIPTION [INCLUDE...]
# Writes PROGRAM's man page from its --help and --version, with the sections
# of each INCLUDE file (help2man's include format). A program with commands
# gets a COMMANDS section holding each command's own --help. The exit codes
# every --help ends with appear once, as EXIT STATUS.
set -eu
help2man=$1 prog=$2 out=$3 desc=$4
shift 4
name=$(basename "$prog")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# roff: a backslash is \e; a line may not start with a dot or quote.
roff_text() { sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"; }
without_exit_codes() { sed '/^Exit codes:$/,/^$/d'; }

include="$work/sections.h2m"
: >"$include"
help=$("$prog" --help)
codes=$(printf '%s\n' "$help" | sed -n '/^Exit codes:$/,/^$/ s/^ *\([0-9][0-9]*\)  *\(.*\)$/\1 \2/p')
if [ -n "$codes" ]; then
  echo "[EXIT STATUS]" >>"$include"
  printf '%s\n' "$codes" | roff_text | sed 's/^\([0-9]*\) \(.*\)$/.TP\n.B \1\n\2/' >>"$include"
fi
commands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p')
if [ -n "$commands" ]; then
  echo "[COMMANDS]" >>"$include"
  # A command's own commands (settings set, settings apply) follow it.
  for c in $commands; do
    sub=$("$prog" "$c" --help | sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p')
    for path in "$c" $(for s in $sub; do printf '%s/%s\n' "$c" "$s"; done); do
      words=$(printf '%s' "$path" | tr / ' ')
      printf '.SS "%s"\n.nf\n' "$words" >>"$include"
      # shellcheck disable=SC2086 # the command's words
      "$prog" $words --help | without_exit_codes | sed -e "s|$prog|$name|g" | roff_text >>"$include"
      printf '.fi\n' >>"$include"
    done
  done
fi

# help2man reads the program through a wrapper of the same name that leaves
# the exit codes out of the description.
cat >"$work/$name" <<WRAP
#!/bin/sh
"$prog" "\$@" | sed -e '/^Exit codes:\$/,/^\$/d' -e "s|$prog|$name|g"
WRAP
chmod +x "$work/$name"

n=$#
for f; do set -- "$@" --include="$f"; done
shift "$n"
[ -s "$include" ] && set -- "$@" --include="$include"
"$help2man" --no-info --no-discard-stderr --name="$desc" --output="$out" "$@" "$work/$name"
