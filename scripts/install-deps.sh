#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: does nothing when all are present.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-locale-dev libtinyxml2-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  mosquitto mosquitto-clients libmosquitto-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libspdlog-dev nlohmann-json3-dev libdvbpsi-dev
  python3 ccache
  # make test-kernel: unpacks and boots Debian's kernel, builds vidtv against its headers
  qemu-system-x86 busybox-static cpio kmod xz-utils patch gcc-12 libelf1 libssl3
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
