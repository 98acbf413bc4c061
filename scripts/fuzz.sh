#!/usr/bin/env bash
# Builds the fuzz target with clang and fuzzes the road a file's bytes take for SECONDS seconds
# (default 60). The corpus grows in build/fuzz/corpus; a crash leaves its input in build/fuzz/
# and makes this script fail.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/seeds build/fuzz/corpus
# Leaks that are the libraries' own, each with its reason; the encoders that write the seeds have
# some too.
export LSAN_OPTIONS="suppressions='$PWD/tests/sanitizers/lsan.supp':print_suppressions=0"
build/fuzz/bin/make_seeds build/fuzz/seeds
cd build/fuzz
# Pictures of up to 16 megapixels keep each run short; larger claims are refused as the library
# refuses anything above its own limit. The library reads this when it is loaded, so it is set here.
export OPENCV_IO_MAX_IMAGE_PIXELS=16777216
# Every regression input found so far must still pass before new ones are looked for.
./bin/fuzz_load -runs=0 ../../fuzz/regressions seeds
./bin/fuzz_load corpus seeds -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 \
    -print_final_stats=1 -artifact_prefix=./ 2>&1 | grep -v -e '^\[' -e '^Corrupt JPEG' -e '^Premature end' | tail -n 25
exit "${PIPESTATUS[0]}"
