#!/usr/bin/env bash
# Installs the build into a prefix of its own, builds a program there with
# the README's pkg-config command and runs it with no loader settings in its
# environment; then checks what the installed library exports and that the
# install is stripped.
set -euo pipefail
build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name norvikcam.pc)
lib=$(find "$prefix" -name 'libnorvikcam.so.0')
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs norvikcam)
c++ -std=c++20 "$here/app.cpp" -o "$work/app" $flags

mkdir "$work/run"
out=$(env -i PATH=/usr/bin:/bin HOME="$work/run" "$work/app" "$work/run")
echo "$out"
grep -qx 'frame 640x480' <<<"$out"
grep -qx 'refused: invalid' <<<"$out"

# Exported: the API's own names only.
nm -D --defined-only --demangle "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' >"$work/exported"
echo "$(wc -l <"$work/exported") symbols exported"
if grep -qE '^(DriverEntry|KeSetEvent|IoCancelIrp)$' "$work/exported"; then
  echo "the driver's functions are exported" >&2
  exit 1
fi
strays=$(grep -vE '^(norvik::(Camera|Frame|FrameMemory|FrameReaderPriority|Error)::|norvik::(ListCameras|DefaultSettingsPath)(\[abi:cxx11\])?\(|(typeinfo|typeinfo name|vtable) for norvik::Error$)' "$work/exported" || true)
if [ -n "$strays" ]; then
  echo "exported beyond the API:" >&2
  echo "$strays" >&2
  exit 1
fi

# Stripped: no debugging sections left in what was installed.
for f in "$lib" "$prefix/bin/norvikcam"; do
  if readelf -S "$f" | grep -q '\.debug_'; then
    echo "$f keeps its debugging information" >&2
    exit 1
  fi
done
echo "installed library: $(stat -L -c %s "$lib") bytes"
