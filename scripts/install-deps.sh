#!/usr/bin/env bash
# Installs every Debian package Trevik needs to build, test and run.
# Both the README and .ci/run call this script; keep the list here only.
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

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
