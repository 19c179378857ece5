#!/usr/bin/env bash
# Builds the installed programs for /usr in build-pkg/ and makes the Debian
# packages from the install rules: trevik (the window), trevik-cli and
# trevik-tools (cmake/TrevikPackage.cmake).
#   scripts/package.sh   prints their paths, one a line:
#                        build-pkg/deb/{trevik-cli,trevik-tools,trevik}_<version>_<arch>.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" >&2

# A folder of its own: the install prefix decides where the udev rule and the
# configuration files go, and build/ keeps /usr/local for `cmake --install`.
dir="$root/build-pkg"
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DTREVIK_BENCH=OFF)
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths relative to the checkout and no working folder in the hash, so the
  # objects build/ made with the same flags are taken from the cache.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
# Only what the package holds; the tests are built and run in build/.
cmake --build "$dir" -j2 --target trevik trevik-cli trevik-unit-sim trevik-pkgbuild \
  man_pages debian_changelog >&2
rm -f "$dir"/deb/trevik*.deb
(cd "$dir" && cpack -G DEB >&2)
for p in trevik-cli trevik-tools trevik; do
  debs=("$dir"/deb/"$p"_*.deb)
  [ -f "${debs[0]}" ] || { echo "package.sh: cpack made no $p package" >&2; exit 1; }
  echo "${debs[0]}"
done
