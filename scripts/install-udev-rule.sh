#!/usr/bin/env bash
# Installs the udev rule that gives the plugdev group access to the chips, and
# reloads udev so that a chip plugged in afterwards gets it.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo install -m 0644 resources/udev/60-quillon.rules /etc/udev/rules.d/60-quillon.rules
if command -v udevadm >/dev/null 2>&1; then
  $sudo udevadm control --reload-rules || true
  $sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=3a7c || true
fi
echo "Installed /etc/udev/rules.d/60-quillon.rules; add the operator to plugdev (sudo usermod -aG plugdev USER)."
