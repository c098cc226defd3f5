#!/usr/bin/env bash
# Installs what is missing, builds norvikcam and captures a few frames from
# the simulated camera into out/ as PNG files.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
mkdir -p out
./build/tools/norvikcam capture -n 5 -o out/frame-%02d.png
echo "frames written to out/frame-00.png ... out/frame-04.png"
