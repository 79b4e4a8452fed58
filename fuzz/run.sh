#!/usr/bin/env bash
# Builds the receive-loop fuzz target with clang (ASan + UBSan) in build-fuzz/
# and runs it for SECONDS (default 600) on one core.
#   fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
# Corpus: fuzz/corpus/ (seeded with valid conversations on the first run).
# Crashing inputs: fuzz/crashes/. Reproduce one with
#   build-fuzz/fuzz/fuzz_receive fuzz/crashes/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh

seconds=${1:-600}
shift || true

relvane_install_deps clang libclang-rt-14-dev
dir=build-fuzz
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRELVANE_FUZZ=ON -DRELVANE_SANITIZE=address,undefined \
    -DBUILD_TESTING=OFF
fi
cmake --build "$dir" -j2 --target fuzz_receive

mkdir -p fuzz/corpus fuzz/crashes
if [ -z "$(ls -A fuzz/corpus)" ]; then
  RELVANE_FUZZ_SEEDS=fuzz/corpus "$dir/fuzz/fuzz_receive"
  echo "seed corpus: $(ls fuzz/corpus | wc -l) inputs"
fi

# Leak checks stay on: the worker owns files and buffers per input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec "$dir/fuzz/fuzz_receive" fuzz/corpus \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix=fuzz/crashes/ -print_final_stats=1 "$@"
