#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Idempotent: installs only what is missing
# and runs apt-get update at most once.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev clang-format googletest libgtest-dev
  mingw-w64 g++-mingw-w64-x86-64-posix
  zip unzip x11-utils  # the Windows release (scripts/release-windows.sh) and its check
  wine wine64 xvfb imagemagick fonts-wqy-microhei
  libudev-dev umockdev libumockdev-dev pkg-config libpcap-dev
  dpkg-dev lintian man-db groff-base
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: everything is installed"
  exit 0
fi

sudo=()
if ((EUID != 0)); then sudo=(sudo); fi
echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
