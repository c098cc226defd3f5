#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the address and
# undefined-behaviour sanitizers, and runs each for SECONDS (default 60).
# New interesting inputs go to build-fuzz/corpus/TARGET; an input that
# crashes or hangs a target is written to fuzz/regressions/TARGET/, where it
# stays (give it a name that says what it found) and the test suite replays
# it from then on.
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(settings_fuzzer convert_input_fuzzer property_fuzzer format_fuzzer descriptor_fuzzer camera_reply_fuzzer
  viewer_request_fuzzer)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVIK_FUZZ=ON \
  -DNORVIK_SANITIZE=address -DNORVIK_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}"
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t" "fuzz/regressions/$t"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "=== $t for ${seconds} s"
  TMPDIR=$(mktemp -d) "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="fuzz/regressions/$t/" "${dict[@]}" \
    "build-fuzz/corpus/$t" "fuzz/corpus/$t" 2>&1 | grep -E "^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written|ParseDictionaryFile|fault found)" || true
done
