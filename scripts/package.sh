#!/usr/bin/env bash
# Builds the Debian packages with CPack from one build directory and prints
# their paths, one a line: quillon (the command-line programs) and, in a build
# with the window, quillon-window.
# scripts/package.sh [DIR [CMAKE ARGS...]] (DIR defaults to build; pass
# -DQUILLON_GUI=OFF for a build without the window and its package).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
# A package carries hardened binaries (the flags stay on in this build directory).
scripts/build.sh "$dir" -DQUILLON_HARDEN=ON "$@" >&2
rm -f "$dir"/package/quillon_*.deb "$dir"/package/quillon-window_*.deb
(cd "$dir" && cpack -G DEB >&2)
for deb in "$dir"/package/quillon_*.deb "$dir"/package/quillon-window_*.deb; do
  if [ -e "$deb" ]; then echo "$PWD/$deb"; fi
done
