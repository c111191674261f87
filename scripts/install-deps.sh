#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; skips what is
# already there, so it is cheap to run every time.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  qt6-base-dev libgl-dev libasound2-dev
  # the line scenario: a real X server, a window manager, keys and screenshots
  xvfb openbox xdotool imagemagick x11-utils
  nlohmann-json3-dev
  libsqlite3-dev libpq-dev
  # the result-database tests start a real server of their own
  postgresql
  lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
