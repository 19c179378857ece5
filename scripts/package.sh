#!/usr/bin/env bash
# Builds (as scripts/build.sh) and makes the Debian package.
#   scripts/package.sh   prints the path of build/package/trevik_<version>_<arch>.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(bash "$root/scripts/build.sh" | tail -n 1)
rm -f "$dir"/package/trevik_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$dir"/package/trevik_*.deb
