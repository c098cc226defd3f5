#!/usr/bin/env bash
# Installs what is missing, builds norvikcam and runs the demo on the
# simulated camera.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
./build/tools/norvikcam-demo out
