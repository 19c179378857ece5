#!/usr/bin/env bash
# Installs every Debian package Trevik needs to build, test and run.
# Both the README and .ci/run call this script; keep the list here only.
#   scripts/install-deps.sh            the Linux build
#   scripts/install-deps.sh --windows  the Windows cross-build and Wine
#                                      (scripts/build-windows.sh calls it)
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n libfontconfig-dev
  libhidapi-dev libudev-dev libsystemd-dev
  libcurl4-openssl-dev libssl-dev ca-certificates openssl curl
  zlib1g-dev libminizip-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev nginx-light
  python3 zip unzip python3-dbusmock dbus-daemon umockdev libumockdev-dev
  help2man desktop-file-utils appstream lintian file man-db
  dpkg-dev shared-mime-info devscripts
  fonts-wqy-microhei
  xvfb xauth x11-apps imagemagick
)

# The Windows build: the mingw-w64 compilers, Wine to run what they build,
# and what fetches and unpacks the Debian sources of hidapi, zlib and curl.
WINDOWS_PACKAGES=(
  cmake ninja-build ccache pkg-config dpkg-dev
  g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 mingw-w64-tools libz-mingw-w64-dev
  wine wine64
  googletest
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_updated=0
if [ "${1:-}" = "--windows" ]; then
  PACKAGES=("${WINDOWS_PACKAGES[@]}")
  # `apt-get source` needs deb-src lines: the same hosts and suites as the
  # deb lines, written once into a file of their own.
  src=/etc/apt/sources.list.d/trevik-deb-src.sources
  if [ ! -e "$src" ] && [ -e /etc/apt/sources.list.d/debian.sources ] &&
     ! grep -qsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
    sed -n 's/^Types: deb$/Types: deb-src/; /^Types:\|^URIs:\|^Suites:\|^Components:\|^Signed-By:\|^$/p' \
      /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src" >/dev/null
    $SUDO apt-get update -q
    apt_updated=1
  elif [ ! -e "$src" ] && [ -e /etc/apt/sources.list ] &&
       ! grep -qsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee /etc/apt/sources.list.d/trevik-deb-src.list >/dev/null
    $SUDO apt-get update -q
    apt_updated=1
  fi
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
[ "$apt_updated" = 1 ] || $SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
