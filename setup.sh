#!/usr/bin/env bash
# Installs what is missing, builds norvikcam, installs its Python package
# for Debian's Python and captures a few frames from the simulated camera
# into out/ as PNG files.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
# The Python package alone, where Debian's Python finds it (under /usr/local).
cmake --install build --component python >/dev/null
/usr/bin/python3 -c 'import norvikcam' && echo "python: import norvikcam works (/usr/bin/python3)"
mkdir -p out
./build/tools/norvikcam capture -n 5 -o out/frame-%02d.png
echo "frames written to out/frame-00.png ... out/frame-04.png"
