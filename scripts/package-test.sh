#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks what it put
# in place with the tools a distribution uses, runs lintian (failing on its
# errors), then removes the package again. Needs root (or sudo).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
deb=$(bash "$root/scripts/package.sh" | tail -n 1)
echo "package-test: $deb"

if dpkg-query -W -f='${Status}' trevik 2>/dev/null | grep -q "install ok installed"; then
  echo "package-test: trevik is installed already; not touching it" >&2
  exit 1
fi
cleanup() { $SUDO dpkg -r trevik >/dev/null 2>&1 || true; }
trap cleanup EXIT

echo "== lintian"
# Errors fail; warnings and notes are shown.
lintian --fail-on error --no-tag-display-limit "$deb"

echo "== dpkg -i"
$SUDO dpkg -i "$deb"
# A dependency dpkg -i could not satisfy leaves the package unconfigured.
dpkg-query -W -f='${Status}\n' trevik | grep -q "install ok installed"

echo "== installed files"
desktop-file-validate /usr/share/applications/trevik.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.trevik.trevik.metainfo.xml
test "$(trevik-cli --version)" = "trevik-cli $(dpkg-query -W -f='${Version}' trevik)"
for p in trevik trevik-cli trevik-unit-sim trevik-pkgbuild; do
  "$p" --version >/dev/null
  man -w "$p"
done
test -f /usr/lib/udev/rules.d/70-trevik-unit.rules
test -f /usr/share/bash-completion/completions/trevik-cli
test -f /usr/share/icons/hicolor/scalable/apps/trevik.svg
test -f /usr/share/doc/trevik/LICENSE

echo "== file type of *.dqv"
# dpkg's trigger of shared-mime-info has rebuilt the database.
grep -q "application/x-trevik-package:\*\.dqv" /usr/share/mime/globs2

echo "== dpkg -r"
$SUDO dpkg -r trevik
trap - EXIT
test ! -e /usr/bin/trevik
! grep -q "application/x-trevik-package" /usr/share/mime/globs2
echo "package-test: passed"
