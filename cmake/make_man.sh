#!/bin/sh
# make_man.sh HELP2MAN PROGRAM OUTPUT DESCRIPTION
# Writes PROGRAM's man page from its --help and --version. A program with
# commands gets a COMMANDS section holding each command's own --help.
set -eu
help2man=$1 prog=$2 out=$3 desc=$4
name=$(basename "$prog")
include=$(mktemp)
trap 'rm -f "$include"' EXIT
commands=$("$prog" --help | sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p')
if [ -n "$commands" ]; then
  echo "[COMMANDS]" >"$include"
  for c in $commands; do
    printf '.SS "%s"\n.nf\n' "$c" >>"$include"
    # roff: a backslash is \e; a line may not start with a dot or quote.
    "$prog" "$c" --help | sed -e "s|$prog|$name|g" -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/" >>"$include"
    printf '.fi\n' >>"$include"
  done
fi
set -- --no-info --no-discard-stderr --name="$desc" --output="$out"
[ -s "$include" ] && set -- "$@" --include="$include"
"$help2man" "$@" "$prog"
