#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   scripts/test.sh [--sanitize]   the second form builds with address and
#                                  undefined-behaviour sanitizers first
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(bash "$root/scripts/build.sh" "$@" | tail -n 1)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300
