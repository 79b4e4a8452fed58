#!/usr/bin/env bash
# Installs what is missing, builds, runs every test.
#   ./test.sh           normal build in build/
#   ./test.sh --asan    AddressSanitizer + UBSan build in build-asan/
#   ./test.sh --tsan    ThreadSanitizer build in build-tsan/
# Further arguments go to ctest (for example -R Socket).
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh

dir=build
opts=()
extra=()
case "${1:-}" in
  --asan) dir=build-asan; opts=(-DRELVANE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug); shift ;;
  --tsan) dir=build-tsan; opts=(-DRELVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug); shift ;;
esac

relvane_install_deps "${extra[@]}"
relvane_build "$dir" "${opts[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-suppressions=$PWD/tests/tsan.supp halt_on_error=0}
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 "$@"
