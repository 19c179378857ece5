#!/usr/bin/env bash
# Regenerates the bundled sample package and its zipped copy.
#   res/sample/make-sample.sh [BUILD_DIR]   (default build/; needs trevik-pkgbuild built)
# The output is byte-for-byte reproducible: payloads come from fixed seeds and
# the zip entry carries a fixed date.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../../build"}
tool="$build/tools/pkgbuild/trevik-pkgbuild"
"$tool" -o "$here/sample.dqv" --zip "$here/sample.zip" --zip-entry sample.dqv \
  --form C --dir-version 5 --seed 2024 \
  --program T73A:24576:101:-:0x10000:0 \
  --section 1:8192 \
  --section 3:8192 \
  --section 4:49152 \
  --section 5:98304 \
  --province 0:400 --province 1:300 --province 27:500 \
  --province 20:350 --province 18:450 --province 26:250 \
  --section 9:32768 \
  --stamp 1733011200
