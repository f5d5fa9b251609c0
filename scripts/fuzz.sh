#!/bin/sh
# Builds the persistence fuzzers with clang 14 (packages clang-14 and libclang-rt-14-dev),
# seeds them from saved models and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [build dir, default build-fuzz]
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-"$root/build-fuzz"}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DVANDU_BUILD_MODULE=OFF -DVANDU_BUILD_TESTS=OFF \
  -DVANDU_BUILD_FUZZERS=ON -DVANDU_SANITIZE=address,undefined >/dev/null
ninja -C "$build" -j2 vandu_make_corpus vandu_fuzz_json_reader vandu_fuzz_bincode_reader

seeds="$build/fuzz-seeds"
rm -rf "$seeds"
mkdir -p "$seeds/json" "$seeds/bincode" "$build/fuzz-corpus/json" "$build/fuzz-corpus/bincode"
"$build/vandu_make_corpus" "$seeds/json" "$seeds/bincode"

for target in json bincode; do
  echo "fuzzing the $target reader for $seconds s"
  # New inputs go to fuzz-corpus/<target>; the seeds are only read.
  "$build/vandu_fuzz_${target}_reader" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/fuzz-crash-$target-" \
    "$build/fuzz-corpus/$target" "$seeds/$target"
done
