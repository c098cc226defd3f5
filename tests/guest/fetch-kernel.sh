#!/usr/bin/env bash
# Fetches Debian's current kernel package for the guest, unpacks it and
# indexes its modules, in a cache outside the checkout. Prints the cache
# directory's kernel release on success. Nothing is installed on the host.
set -euo pipefail
cache=${NORVIKCAM_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/norvikcam/guest}
mkdir -p "$cache"
cd "$cache"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
if [ -z "$package" ]; then
  apt-get update -qq
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
fi
release=${package#linux-image-}
if [ ! -f "root-$release/boot/vmlinuz-$release" ]; then
  # apt's sandbox user may not write here; download as ourselves.
  apt-get download -o APT::Sandbox::User=root "$package" >&2
  rm -rf "root-$release.tmp"
  dpkg-deb -x "${package}"_*.deb "root-$release.tmp"
  depmod -b "root-$release.tmp" "$release"
  rm -f "${package}"_*.deb
  mv "root-$release.tmp" "root-$release"
fi
echo "$cache/root-$release"
