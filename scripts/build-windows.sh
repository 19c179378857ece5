#!/usr/bin/env bash
# Cross-builds Trevik's command-line programs for Windows with mingw-w64 and
# runs the Windows tests under Wine.
#   scripts/build-windows.sh [--no-test] [TARGET...]
# Installs the toolchain and Wine (scripts/install-deps.sh --windows), builds
# hidapi, minizip and libcurl for Windows once from their Debian sources into
# .cache/windows/ (one folder per library, named after its Debian version and
# build flags, so a new version or new flags build anew), then configures
# build-windows/, builds the Windows programs (or only the targets named)
# and runs the Windows test programs under Wine (not with --no-test). Wine's
# prefix lives in build-windows/wine. Prints the build folder last.
set -euo pipefail
shopt -s inherit_errexit
root=$(cd "$(dirname "$0")/.." && pwd)
run_tests=1
if [ "${1:-}" = "--no-test" ]; then run_tests=0; shift; fi

step() { printf '%s build-windows: %s\n' "$(date +%T)" "$*" >&2; }
t0=$SECONDS
bash "$root/scripts/install-deps.sh" --windows >&2
step "toolchain ready ($((SECONDS - t0)) s)"

host=x86_64-w64-mingw32
cache="${TREVIK_WINDOWS_CACHE:-$root/.cache/windows}"
dir="$root/build-windows"
mkdir -p "$cache/src" "$dir"
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib

# Fetches and unpacks a Debian source package once; prints "VERSION FOLDER".
# The versions apt knows are tried newest first (a mirror may lack one);
# a version unpacked before is taken as it is.
fetch_source() {
  local name=$1 v plain
  local versions
  versions=$(apt-cache showsrc --only-source "$name" | sed -n 's/^Version: //p' | sort -Vru)
  for v in $versions; do
    plain=${v#*:}
    if [ -d "$cache/src/$name-$plain" ]; then echo "$plain $cache/src/$name-$plain"; return; fi
  done
  for v in $versions; do
    plain=${v#*:}
    local tmp="$cache/src/.fetch-$name"
    rm -rf "$tmp" && mkdir -p "$tmp"
    if (cd "$tmp" && apt-get source -q --download-only "$name=$v" >/dev/null 2>&1 &&
        dpkg-source --no-check -x ./*"_$plain.dsc" unpacked >/dev/null); then
      mv "$tmp/unpacked" "$cache/src/$name-$plain"
      rm -rf "$tmp"
      echo "$plain $cache/src/$name-$plain"
      return
    fi
    rm -rf "$tmp"
  done
  echo "build-windows: cannot fetch the Debian source of $name" >&2
  return 1
}
# The cache folder of one library: its version and the flags it is built with.
lib_dir() {
  local key
  key=$(printf '%s\n' "$@" "$($CC -dumpfullversion)" | sha256sum | cut -c1-12)
  echo "$cache/$1-$2-$key"
}

cflags="-O2 -D_WIN32_WINNT=0x0A00"

build_hidapi() {
  local v src; read -r v src < <(fetch_source hidapi)
  [ -n "$src" ] || return 1
  local out; out=$(lib_dir hidapi "$v" "$cflags" "windows/hid.c static")
  if [ ! -f "$out/lib/libhidapi.a" ]; then
    rm -rf "$out.tmp" && mkdir -p "$out.tmp/lib" "$out.tmp/include/hidapi"
    (cd "$out.tmp" && $CC $cflags -DHID_API_STATIC -I"$src/hidapi" -I"$src/windows" \
       -c "$src/windows/hid.c" -o hid.o && $AR rcs lib/libhidapi.a hid.o && rm hid.o)
    cp "$src/hidapi/hidapi.h" "$src/windows/hidapi_winapi.h" "$out.tmp/include/hidapi/"
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}

build_minizip() {
  local v src; read -r v src < <(fetch_source zlib)
  [ -n "$src" ] || return 1
  local out; out=$(lib_dir minizip "$v" "$cflags" "ioapi unzip zip iowin32 static")
  if [ ! -f "$out/lib/libminizip.a" ]; then
    local m="$src/contrib/minizip"
    rm -rf "$out.tmp" && mkdir -p "$out.tmp/lib" "$out.tmp/include/minizip" "$out.tmp/obj"
    for f in ioapi unzip zip iowin32; do
      $CC $cflags -I"$m" -c "$m/$f.c" -o "$out.tmp/obj/$f.o"
    done
    $AR rcs "$out.tmp/lib/libminizip.a" "$out.tmp"/obj/*.o
    rm -rf "$out.tmp/obj"
    cp "$m"/ioapi.h "$m"/unzip.h "$m"/zip.h "$m"/iowin32.h "$m"/crypt.h "$out.tmp/include/minizip/"
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}

curl_flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBPSL=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF
  -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=ON -DENABLE_UNIX_SOCKETS=OFF -DCURL_DISABLE_LDAP=ON
  -DHTTP_ONLY=ON -DENABLE_MANUAL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none)
build_curl() {
  local v src; read -r v src < <(fetch_source curl)
  [ -n "$src" ] || return 1
  local out; out=$(lib_dir curl "$v" "$cflags" "${curl_flags[@]}")
  if [ ! -f "$out/lib/libcurl.a" ]; then
    rm -rf "$out.tmp" "$out.build"
    cmake -S "$src" -B "$out.build" -G Ninja --toolchain "$root/cmake/mingw-w64.cmake" \
      -DCMAKE_C_FLAGS="$cflags" -DCMAKE_INSTALL_PREFIX="$out.tmp" "${curl_flags[@]}" >/dev/null
    cmake --build "$out.build" -j2 >/dev/null
    cmake --install "$out.build" >/dev/null
    rm -rf "$out.build"
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}

t=$SECONDS; hidapi=$(build_hidapi); step "hidapi $(basename "$hidapi") ($((SECONDS - t)) s)"
t=$SECONDS; minizip=$(build_minizip); step "minizip $(basename "$minizip") ($((SECONDS - t)) s)"
t=$SECONDS; curl=$(build_curl); step "curl $(basename "$curl") ($((SECONDS - t)) s)"

if [ "${TREVIK_WINDOWS_DEPS_ONLY:-0}" = 1 ]; then exit 0; fi

t=$SECONDS
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo --toolchain "$root/cmake/mingw-w64.cmake"
  -DTREVIK_GUI=OFF -DTREVIK_BENCH=OFF
  "-DTREVIK_WINDOWS_DEPS=$hidapi;$minizip;$curl")
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=1
fi
unset CC CXX AR RANLIB
# Wine keeps its prefix (its C: drive and registry) in the build folder.
export WINEPREFIX="$dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# What builds for Windows, and the test programs among it;
# trevik-console-stop serves scripts/check-windows.sh.
default_targets=(trevik-cli trevik-pkgbuild trevik-console-stop support_tests package_tests
  config_tests)
test_programs=(tests/support/support_tests.exe tests/package/package_tests.exe
  tests/config/config_tests.exe)
[ $# -gt 0 ] || set -- "${default_targets[@]}"
targets=()
for t_ in "$@"; do targets+=(--target "$t_"); done
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j2 "${targets[@]}" >&2
step "built ($((SECONDS - t)) s)"

if [ "$run_tests" = 1 ]; then
  t=$SECONDS
  if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1 || true; fi
  step "wine prefix ready ($((SECONDS - t)) s)"
  t=$SECONDS
  failed=0
  for prog in "${test_programs[@]}"; do
    [ -f "$dir/$prog" ] || continue
    if ! (cd "$dir/$(dirname "$prog")" && wine "./$(basename "$prog")" --gtest_brief=1) >&2; then
      echo "build-windows: $prog failed under Wine" >&2
      failed=1
    fi
  done
  step "tests under Wine ($((SECONDS - t)) s)"
  [ "$failed" = 0 ] || exit 1
fi
step "done ($((SECONDS - t0)) s)"
echo "$dir"
