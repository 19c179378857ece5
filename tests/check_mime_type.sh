#!/bin/sh
# check_mime_type.sh UPDATE_MIME_DATABASE TREVIK_MIME_XML
# Builds a MIME database of the package file type alone, as shared-mime-info
# does on install, and fails unless *.dqv maps to it and file managers show
# it with the theme's generic package icon.
set -u
tool=$1
xml=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
db=$dir/mime
mkdir -p "$db/packages"
cp "$xml" "$db/packages/trevik.xml"
# The folder named as a data folder, so the tool has nothing to remark.
XDG_DATA_HOME=$dir XDG_DATA_DIRS=$dir "$tool" "$db" || { echo "update-mime-database rejected $xml"; exit 1; }
status=0
grep -qx '[0-9]*:application/x-trevik-package:\*\.dqv' "$db/globs2" ||
  { echo "no *.dqv glob for application/x-trevik-package"; status=1; }
grep -qx 'application/x-trevik-package:package-x-generic' "$db/generic-icons" ||
  { echo "application/x-trevik-package: generic icon is not package-x-generic:"; cat "$db/generic-icons"; status=1; }
exit $status
