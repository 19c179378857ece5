#!/usr/bin/env bash
# Installs what is missing, then configures and builds Trevik.
#   scripts/build.sh [--sanitize] [TARGET...]
# builds build/ (or build-asan/ with --sanitize): every target, or only the
# targets named (and what they need). Prints the build folder last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" >&2

dir="$root/build"
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  shift
  dir="$root/build-asan"
  flags=(-DCMAKE_BUILD_TYPE=Debug -DTREVIK_SANITIZE=ON -DTREVIK_BENCH=OFF)
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
# A compiler cache, where one is installed, makes rebuilds in several checkouts cheap.
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths relative to the checkout and no working folder in the hash, so
  # build/, the package's build-pkg/ and other checkouts share the objects.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j2 "${targets[@]}" >&2
echo "$dir"
