#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for N seconds.
#   scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
bash "$root/scripts/install-deps.sh"
dir="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTREVIK_FUZZ=ON -DTREVIK_BENCH=OFF -DTREVIK_GUI=OFF >/dev/null
targets=$(cmake --build "$dir" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p')
[ -n "$targets" ] || { echo "fuzz: no fuzz targets"; exit 1; }
cmake --build "$dir" -j2 --target $targets
for t in $targets; do
  bin=$(find "$dir" -type f -name "$t" -perm -u+x | head -n 1)
  corpus="$dir/corpus-$t"
  mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/$t"
  echo "fuzz: $t for ${seconds}s"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "${args[@]}" 2>&1 | tail -n 12
done
echo "fuzz: all targets ran ${seconds}s without a finding"
