#!/bin/sh
# check_man_page.sh PAGE.1 SECTION... [-- TEXT...]
# Fails unless the man page has each SECTION exactly once, holds each TEXT,
# and leaves the exit codes of the program's --help out of its other
# sections (they are listed once, under EXIT STATUS).
set -u
page=$1
shift
status=0
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  n=$(grep -c -x -e ".SH $1" -e ".SH \"$1\"" "$page")
  if [ "$n" -ne 1 ]; then
    echo "$page: section $1 appears $n times"
    status=1
  fi
  shift
done
[ $# -gt 0 ] && shift
for text; do
  grep -qF -- "$text" "$page" || { echo "$page: no \"$text\""; status=1; }
done
if grep -q "^Exit codes:" "$page"; then
  echo "$page: the --help's exit codes are repeated"
  status=1
fi
exit $status
