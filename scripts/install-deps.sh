#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the project.
# Idempotent: does nothing when every package is already installed.
#   scripts/install-deps.sh [--board]   (--board: also the armhf cross compiler and user-mode QEMU)
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ccache clang-format-14
  abigail-tools
  mosquitto libmosquitto-dev libmosquittopp-dev
  libmsgpack-dev
  liblua5.2-dev
  liblog4cpp5-dev
  libusb-1.0-0-dev
  libssl-dev
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  umockdev libumockdev-dev
  nlohmann-json3-dev
  # The fuzz targets: clang, and the runtime package that ships libFuzzer (libclang_rt.fuzzer)
  # and clang's sanitizer runtimes.
  clang-14 libclang-rt-14-dev
  openssl
  # Instruction counts of the command service (scripts/bench-instructions.sh).
  valgrind
)

# The board's tools: amd64 packages only. Everything armhf comes from scripts/make-sysroot.sh.
if [ "${1:-}" = --board ]; then
  PACKAGES+=(g++-arm-linux-gnueabihf qemu-user-static)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
