#!/usr/bin/env bash
# Builds the Debian packages (trevik-cli, trevik, trevik-tools), runs lintian
# on them (failing on its errors and on any hardening tag), checks what each
# depends on and holds, installs them one after the other on this machine,
# checking what each put in place with the tools a desktop uses and its
# programs with hardening-check, then removes and purges them again. Needs
# root (or sudo) and refuses to run where any of them is installed already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

fail() { echo "package-test: $*" >&2; exit 1; }
trap 'echo "package-test: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
packages=(trevik trevik-cli trevik-tools)
# Unpacked, configured or half-way: anything but absent or purgeable.
installed() {
  case $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) in
    "" | not-installed | config-files) return 1 ;;
  esac
}
for p in "${packages[@]}"; do
  if installed "$p"; then
    echo "package-test: $p is installed on this machine already; not touching it" >&2
    exit 1
  fi
done

declare -A deb
while read -r f; do
  name=$(dpkg-deb -f "$f" Package)
  deb[$name]=$f
  echo "package-test: $f"
done < <(bash "$root/scripts/package.sh")
for p in "${packages[@]}"; do
  [ -n "${deb[$p]:-}" ] || fail "package.sh made no $p package"
done
version=$(dpkg-deb -f "${deb[trevik-cli]}" Version)

echo "== lintian"
# Errors fail; warnings and notes are shown. Its advice against running as
# root is for unpacking untrusted packages, not for our own.
rc=0
out=$(lintian --fail-on error --tag-display-limit 0 --display-info \
  "${deb[trevik-cli]}" "${deb[trevik]}" "${deb[trevik-tools]}" 2>&1) || rc=$?
grep -v "running with root privileges is not recommended" <<<"$out" || true
[ "$rc" -eq 0 ] || fail "lintian found errors (exit $rc)"
# The programs parse downloads and a device's answers: any hardening tag,
# even an informational one, is a failure.
if grep -E "^[EWIXP]: trevik[^:]*: hardening-" <<<"$out"; then
  fail "lintian found programs built without hardening"
fi

echo "== dependencies"
relations() { # PACKAGE: every relation field of its package, one a line
  for field in Depends Recommends Suggests; do
    echo "$field: $(dpkg-deb -f "${deb[$1]}" "$field")"
  done
}
for p in "${packages[@]}"; do
  echo "$p:"
  relations "$p" | sed 's/^/  /'
done
win_depends=$(dpkg-deb -f "${deb[trevik]}" Depends)
# The province map needs a CJK font; the window comes with the command line
# of its own version.
grep -qF "fonts-noto-cjk | fonts-wqy-microhei" <<<"$win_depends" || fail "trevik: no CJK font among the dependencies"
grep -qF "trevik-cli (= $version)" <<<"$win_depends" || fail "trevik does not depend on trevik-cli (= $version)"
grep -q "libqt6widgets6" <<<"$win_depends" || fail "trevik: dpkg-shlibdeps found no Qt"
# The removable-drive hand-back of the window only.
test "$(dpkg-deb -f "${deb[trevik]}" Recommends)" = "udisks2" || fail "trevik does not recommend udisks2"
# A terminal-only user gets neither Qt nor fonts nor UDisks2.
for p in trevik-cli trevik-tools; do
  if relations "$p" | grep -Ei "qt|fonts-|udisks"; then
    fail "$p depends on the window's libraries, fonts or UDisks2"
  fi
done
relations trevik-cli | grep -qx "Suggests: bash-completion" || fail "trevik-cli does not suggest bash-completion"
grep -q "libhidapi-hidraw0" <<<"$(dpkg-deb -f "${deb[trevik-cli]}" Depends)" ||
  fail "trevik-cli: dpkg-shlibdeps found no hidapi"

echo "== contents"
contents() { dpkg-deb -c "${deb[$1]}" | awk '{print $NF}'; }
# Each package's own programs, and only those, in /usr/bin.
declare -A programs=([trevik]="trevik" [trevik-cli]="trevik-cli"
                     [trevik-tools]="trevik-pkgbuild trevik-unit-sim")
for p in "${packages[@]}"; do
  bins=$(contents "$p" | sed -n 's|^\./usr/bin/\(..*\)$|\1|p' | sort | xargs)
  test "$bins" = "${programs[$p]}" || fail "$p holds the programs '$bins', not '${programs[$p]}'"
  for f in ./usr/share/doc/$p/copyright ./usr/share/doc/$p/changelog.gz; do
    contents "$p" | grep -qxF "$f" || fail "$f is not in $p"
  done
  for prog in ${programs[$p]}; do
    contents "$p" | grep -qxF "./usr/share/man/man1/$prog.1.gz" || fail "$p has no man page of $prog"
  done
done
for f in ./usr/lib/udev/rules.d/70-trevik-unit.rules ./usr/share/bash-completion/completions/trevik-cli \
         ./usr/share/doc/trevik-cli/README.md; do
  contents trevik-cli | grep -qxF "$f" || fail "$f is not in trevik-cli"
done
for f in ./usr/share/applications/trevik.desktop ./usr/share/metainfo/org.trevik.trevik.metainfo.xml \
         ./usr/share/mime/packages/trevik.xml ./usr/share/icons/hicolor/scalable/apps/trevik.svg \
         ./usr/share/icons/hicolor/64x64/apps/trevik.png; do
  contents trevik | grep -qxF "$f" || fail "$f is not in trevik"
done
if contents trevik-cli | grep -E "^\./usr/share/(applications|metainfo|icons|mime)/."; then
  fail "trevik-cli holds the window's desktop files"
fi

cleanup() { $SUDO dpkg --purge trevik-tools trevik trevik-cli >/dev/null 2>&1 || true; }
trap cleanup EXIT

# Slim images tell dpkg to leave out man pages and documents
# (path-exclude in /etc/dpkg/dpkg.cfg.d); these packages' own are let in,
# so the installed man pages can be looked up.
if grep -qs '^path-exclude' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
  echo "package-test: dpkg excludes paths on this machine; these packages' man pages and documents are included"
fi
install_package() {
  $SUDO dpkg --path-include='/usr/share/man/man1/trevik*' --path-include='/usr/share/doc/trevik*' \
    -i "${deb[$1]}"
  # A dependency dpkg -i could not satisfy leaves the package unconfigured.
  dpkg-query -W -f='${Status}\n' "$1" | grep -qx "install ok installed" || fail "$1 is not configured"
}
check_programs() { # PACKAGE: its programs found, answering, with man pages
  for prog in ${programs[$1]}; do
    test "$(command -v "$prog")" = "/usr/bin/$prog"
    "$prog" --version >/dev/null
    test "$(man -w "$prog")" = "/usr/share/man/man1/$prog.1.gz"
  done
}
no_test_tools() {
  for prog in trevik-unit-sim trevik-pkgbuild trevik-unit-testbed; do
    test ! -e "/usr/bin/$prog" || fail "/usr/bin/$prog is there without trevik-tools"
  done
}

echo "== hardening-check of this toolchain"
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
harden() { # PACKAGE
  local paths=()
  for prog in ${programs[$1]}; do paths+=("/usr/bin/$prog"); done
  hardening-check "${cf[@]}" "${paths[@]}"
}

echo "== dpkg -i trevik-cli (alone)"
install_package trevik-cli
test "$(trevik-cli --version)" = "trevik-cli $version"
check_programs trevik-cli
harden trevik-cli
test -f /usr/lib/udev/rules.d/70-trevik-unit.rules
test -f /usr/share/bash-completion/completions/trevik-cli
test -f /usr/share/doc/trevik-cli/copyright
test ! -e /usr/bin/trevik || fail "/usr/bin/trevik is there without the trevik package"
no_test_tools

echo "== dpkg -i trevik"
install_package trevik
check_programs trevik
harden trevik
desktop-file-validate /usr/share/applications/trevik.desktop
# With the network checks: every URL it names must be reachable.
appstreamcli validate /usr/share/metainfo/org.trevik.trevik.metainfo.xml
test -f /usr/share/icons/hicolor/scalable/apps/trevik.svg
test -f /usr/share/doc/trevik/copyright
no_test_tools
echo "== file type of *.dqv"
# shared-mime-info's dpkg trigger has rebuilt the database on install.
grep -qx "[0-9]*:application/x-trevik-package:\*\.dqv" /usr/share/mime/globs2
grep -qx "application/x-trevik-package:package-x-generic" /usr/share/mime/generic-icons
test -f /usr/share/mime/application/x-trevik-package.xml

echo "== dpkg -i trevik-tools"
install_package trevik-tools
check_programs trevik-tools
harden trevik-tools
test -f /usr/share/doc/trevik-tools/copyright

echo "== dpkg -r"
# The window needs the command line: dpkg keeps trevik-cli while trevik is there.
if $SUDO dpkg -r trevik-cli >/dev/null 2>&1; then fail "trevik-cli was removed under trevik"; fi
installed trevik-cli || fail "trevik-cli went away under trevik"
$SUDO dpkg -r trevik-tools
no_test_tools
$SUDO dpkg -r trevik
$SUDO dpkg -r trevik-cli
$SUDO dpkg --purge trevik-tools trevik trevik-cli
trap - EXIT
for p in "${packages[@]}"; do
  if installed "$p"; then fail "$p is still installed"; fi
done
for f in /usr/bin/trevik /usr/bin/trevik-cli /usr/bin/trevik-unit-sim /usr/bin/trevik-pkgbuild \
         /usr/lib/udev/rules.d/70-trevik-unit.rules /usr/share/applications/trevik.desktop \
         /usr/share/man/man1/trevik-cli.1.gz /usr/share/doc/trevik /usr/share/doc/trevik-cli \
         /usr/share/doc/trevik-tools /usr/share/mime/application/x-trevik-package.xml; do
  test ! -e "$f" || fail "$f is left after removal"
done
if grep -q "application/x-trevik-package" /usr/share/mime/globs2; then
  fail "the MIME database still knows application/x-trevik-package"
fi
echo "package-test: passed"
