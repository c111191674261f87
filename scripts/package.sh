#!/usr/bin/env bash
# Builds the Debian package with CPack from one build directory and prints its
# path: scripts/package.sh [DIR [CMAKE ARGS...]] (DIR defaults to build; pass
# -DQUILLON_GUI=OFF for a headless station's package).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
# A package carries hardened binaries (the flags stay on in this build directory).
scripts/build.sh "$dir" -DQUILLON_HARDEN=ON "$@" >&2
rm -f "$dir"/package/quillon_*.deb
(cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/package/quillon_*.deb)
echo "$PWD/$deb"
