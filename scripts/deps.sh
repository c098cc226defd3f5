#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
# tshark: the tests check that the USB trace opens in it.
# ffmpeg: the tests pipe `norvikcam stream` into it.
# libusb-1.0-0-dev: real cameras on the host's USB stack.
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libpng-dev libcli11-dev libusb-1.0-0-dev pkg-config tshark ffmpeg)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
