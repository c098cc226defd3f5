#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# With "test", also what the test suite runs against; with "bench", what
# the benchmarks compare against.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libpng-dev libcli11-dev libusb-1.0-0-dev libhwy-dev libtiff-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libcpp-httplib-dev libturbojpeg0-dev
  pybind11-dev python3-pybind11 python3-dev python3-numpy python3-mesonpy meson python3-venv)
# pybind11, python3-dev, python3-numpy: the Python package's extension and its
# frames as numpy arrays. python3-mesonpy, meson, python3-venv: `pip install
# --no-build-isolation .` into a virtual environment of Debian's Python.
if [ "${1:-}" = "test" ]; then
  # tshark: the USB trace must open in it. ffmpeg: `norvikcam stream` is
  # piped into it. qemu, busybox, kmod, cpio: the Linux guest whose real USB
  # stack the libusb device is tested on. libraw-bin, libtiff-tools: the
  # captured DNG files must open in an independent raw reader and in tiffinfo.
  # GStreamer's tools and base and good plugins, python3-opencv: the element
  # is tested in gst-launch pipelines and through OpenCV's GStreamer back end.
  # The tests see only the plugins they use, from these packages and
  # libgstreamer1.0-0 (tests/CMakeLists.txt), whatever else is installed.
  # chromium, chromium-driver, python3-selenium: the viewer is tested in a
  # headless browser. clang-format-14: every C++ file's layout is checked.
  # python3-pytest, mypy: the Python package's tests, and its stubs checked
  # against the module (mypy's stubtest).
  packages+=(python3-pytest mypy clang-format-14 tshark ffmpeg qemu-system-x86 busybox-static kmod cpio libraw-bin libtiff-tools
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good python3-opencv
    chromium chromium-driver python3-selenium)
fi
if [ "${1:-}" = "bench" ]; then
  # OpenCV: the benchmark's comparison row only.
  packages+=(libopencv-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
