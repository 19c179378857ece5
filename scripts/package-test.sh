#!/usr/bin/env bash
# Builds the Debian package, runs lintian on it (failing on its errors and
# on any hardening tag), installs it on this machine, checks what it put in
# place with the tools a desktop uses and its programs with hardening-check,
# then removes and purges it again. Needs root (or sudo) and
# refuses to run where trevik is installed already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

fail() { echo "package-test: $*" >&2; exit 1; }
trap 'echo "package-test: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
# Unpacked, configured or half-way: anything but absent or purgeable.
installed() {
  case $(dpkg-query -W -f='${db:Status-Status}' trevik 2>/dev/null) in
    "" | not-installed | config-files) return 1 ;;
  esac
}
if installed; then
  echo "package-test: trevik is installed on this machine already; not touching it" >&2
  exit 1
fi

deb=$(bash "$root/scripts/package.sh" | tail -n 1)
echo "package-test: $deb"

echo "== lintian"
# Errors fail; warnings and notes are shown. Its advice against running as
# root is for unpacking untrusted packages, not for our own.
rc=0
out=$(lintian --fail-on error --tag-display-limit 0 --display-info "$deb" 2>&1) || rc=$?
grep -v "running with root privileges is not recommended" <<<"$out" || true
[ "$rc" -eq 0 ] || fail "lintian found errors (exit $rc)"
# The programs parse downloads and a device's answers: any hardening tag,
# even an informational one, is a failure.
if grep -E "^[EWIXP]: trevik[^:]*: hardening-" <<<"$out"; then
  fail "lintian found programs built without hardening"
fi

echo "== dependencies"
# The province map needs a CJK font.
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
grep -qF "fonts-noto-cjk | fonts-wqy-microhei" <<<"$depends" || fail "no CJK font among the dependencies"

echo "== contents"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in ./usr/share/man/man1/trevik.1.gz ./usr/share/man/man1/trevik-cli.1.gz \
         ./usr/share/man/man1/trevik-unit-sim.1.gz ./usr/share/man/man1/trevik-pkgbuild.1.gz \
         ./usr/share/doc/trevik/copyright ./usr/share/doc/trevik/changelog.gz; do
  grep -qxF "$f" <<<"$contents" || fail "$f is not in the package"
done

cleanup() { $SUDO dpkg --purge trevik >/dev/null 2>&1 || true; }
trap cleanup EXIT

echo "== dpkg -i"
# Slim images tell dpkg to leave out man pages and documents
# (path-exclude in /etc/dpkg/dpkg.cfg.d); this package's own are let in,
# so the installed man pages can be looked up.
if grep -qs '^path-exclude' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
  echo "package-test: dpkg excludes paths on this machine; this package's man pages and documents are included"
fi
$SUDO dpkg --path-include='/usr/share/man/man1/trevik*' --path-include='/usr/share/doc/trevik/*' -i "$deb"
# A dependency dpkg -i could not satisfy leaves the package unconfigured.
dpkg-query -W -f='${Status}\n' trevik | grep -qx "install ok installed"

echo "== installed files"
desktop-file-validate /usr/share/applications/trevik.desktop
# With the network checks: every URL it names must be reachable.
appstreamcli validate /usr/share/metainfo/org.trevik.trevik.metainfo.xml
test "$(trevik-cli --version)" = "trevik-cli $(dpkg-query -W -f='${Version}' trevik)"
for p in trevik trevik-cli trevik-unit-sim trevik-pkgbuild; do
  test "$(command -v "$p")" = "/usr/bin/$p"
  "$p" --version >/dev/null
  test "$(man -w "$p")" = "/usr/share/man/man1/$p.1.gz"
done
echo "== hardening-check"
# Control-flow protection shows only when every object linked carries the
# mark, the C library's start files included; where a program built from
# nothing with -fcf-protection gets none, no program here can (the flag is
# still used), and that one check is left out.
cf=()
probe=$(mktemp -d)
printf 'int main(void) { return 0; }\n' >"$probe/p.c"
if ! { gcc -fcf-protection "$probe/p.c" -o "$probe/p" &&
  hardening-check "$probe/p" | grep -q "Control flow integrity: yes"; }; then
  echo "package-test: this toolchain marks no program for control-flow protection; not checked"
  cf=(--nocfprotection)
fi
rm -rf "$probe"
hardening-check "${cf[@]}" /usr/bin/trevik /usr/bin/trevik-cli /usr/bin/trevik-unit-sim /usr/bin/trevik-pkgbuild
test -f /usr/lib/udev/rules.d/70-trevik-unit.rules
test -f /usr/share/bash-completion/completions/trevik-cli
test -f /usr/share/icons/hicolor/scalable/apps/trevik.svg
test -f /usr/share/doc/trevik/copyright

echo "== file type of *.dqv"
# shared-mime-info's dpkg trigger has rebuilt the database on install.
grep -qx "[0-9]*:application/x-trevik-package:\*\.dqv" /usr/share/mime/globs2
test -f /usr/share/mime/application/x-trevik-package.xml

echo "== dpkg -r"
$SUDO dpkg -r trevik
$SUDO dpkg --purge trevik
trap - EXIT
if installed; then fail "trevik is still installed"; fi
for f in /usr/bin/trevik /usr/bin/trevik-cli /usr/lib/udev/rules.d/70-trevik-unit.rules \
         /usr/share/applications/trevik.desktop /usr/share/man/man1/trevik-cli.1.gz \
         /usr/share/doc/trevik /usr/share/mime/application/x-trevik-package.xml; do
  test ! -e "$f" || fail "$f is left after removal"
done
if grep -q "application/x-trevik-package" /usr/share/mime/globs2; then
  fail "the MIME database still knows application/x-trevik-package"
fi
echo "package-test: passed"
