#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, when any is missing.
# Uses sudo only when not running as root. The kernel stage of ./test needs
# qemu, busybox-static, cpio and udev (its systemd-udevd runs inside the VM).
set -euo pipefail

PACKAGES=(cmake make g++ pkg-config qtbase5-dev libhidapi-dev libgtest-dev libgmock-dev
          libbenchmark-dev xvfb xauth fonts-dejavu-core fonts-dejavu-extra
          dpkg-dev lintian desktop-file-utils help2man clang libclang-rt-14-dev
          qemu-system-x86 busybox-static cpio udev ccache)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
