#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need,
# only when one is missing. Nothing is downloaded from anywhere else.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkgconf
  g++-multilib                      # the 32-bit build of the libraries
  clang libclang-rt-14-dev          # fuzz targets (libFuzzer)
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg62-turbo-dev libsqlite3-dev
  clang-format-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
