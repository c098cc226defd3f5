#!/usr/bin/env bash
# Builds and runs the whole test suite three times: a plain build, an
# address + undefined-behaviour sanitizer build and a thread sanitizer build;
# after the plain build, the USB scenario on a real Linux USB stack in a qemu
# guest (under the address sanitizer it is a long form, run by hand:
# tests/guest/run.sh build-asan). Exits non-zero as soon as one of them fails.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh test
jobs=$(nproc)
run() {
  local dir=$1 sanitize=$2
  echo "=== ${dir} (sanitizer: ${sanitize:-none})"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVIK_SANITIZE="$sanitize" \
        -DNORVIK_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run build-test ""
echo "=== USB scenario in a Linux guest (build-test)"
tests/guest/run.sh build-test
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run build-asan address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run build-tsan thread
echo "=== all test builds passed"
