#!/usr/bin/env bash
# The main job: build, then inspect the bundled sample package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(bash "$root/scripts/build.sh" | tail -n 1)
exec "$dir/tools/trevik-cli" inspect "$root/res/sample/sample.dqv"
