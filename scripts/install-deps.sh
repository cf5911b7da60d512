#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: quick when all is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qttools5-dev qttools5-dev-tools
  libprotobuf-dev protobuf-compiler
  libtomcrypt-dev libtommath-dev
  zlib1g-dev liblzma-dev
  libboost-date-time-dev libboost-dev
  libgtest-dev googletest
  clang-14 lld-14 llvm-14 libclang-rt-14-dev
  nginx openssl xz-utils time
  bsdiff xdelta3 zstd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
