#!/usr/bin/env bash
# Builds the fuzz target with clang, replays every regression input and seed, and then fuzzes the
# road a file's bytes take:
#   fuzz.sh          6,000 runs from a fixed random seed on a corpus made afresh, what the test
#                    command runs: neither the machine's speed nor an earlier run sets how much it
#                    fuzzes or where it starts
#   fuzz.sh SECONDS  open-ended for SECONDS seconds; the corpus grows in build/fuzz/corpus
# A crash or a leak leaves its input in build/fuzz/ and makes this script fail.
set -euo pipefail
seconds=${1:-}
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
# Leaks that are the libraries' own, each with its reason; the encoders that write the seeds have
# some too.
export LSAN_OPTIONS="suppressions='$PWD/tests/sanitizers/lsan.supp':print_suppressions=0"
# Written afresh, so that no seed of an earlier commit is left behind.
rm -rf build/fuzz/seeds
mkdir -p build/fuzz/seeds
build/fuzz/bin/make_seeds build/fuzz/seeds
cd build/fuzz
# Pictures of up to 16 megapixels keep each run short; larger claims are refused as the library
# refuses anything above its own limit. The library reads this when it is loaded, so it is set here.
export OPENCV_IO_MAX_IMAGE_PIXELS=16777216
# Every regression input found so far must still pass before new ones are looked for. The seed
# fixes the order they run in.
seed=31
./bin/fuzz_load -runs=0 -seed=$seed ../../fuzz/regressions seeds
if [[ -n $seconds ]]; then
    corpus=corpus
    budget=(-max_total_time="$seconds")
else
    # One process, and nothing that the clock decides: no time limit, no rereading of the corpus
    # folder. About a minute on two cores. The decoders' own threads still make some coverage
    # depend on timing, so which mutated inputs are tried may differ between runs.
    corpus=fixed-corpus
    rm -rf "$corpus"
    budget=(-seed=$seed -runs=6000 -reload=0)
fi
mkdir -p "$corpus"
./bin/fuzz_load "$corpus" seeds "${budget[@]}" -rss_limit_mb=4096 -timeout=30 \
    -print_final_stats=1 -artifact_prefix=./ 2>&1 | grep -v -e '^\[' -e '^Corrupt JPEG' -e '^Premature end' | tail -n 25
exit "${PIPESTATUS[0]}"
