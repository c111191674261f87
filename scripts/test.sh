#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite: the normal build,
# the Debian package (built, checked and its programs run from an unpacked
# root), the same suites under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the fuzz targets for a bounded number of runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

echo "== build and test"
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Debian package: build, install check, programs from PATH"
scripts/check-package.sh build

echo "== build and test under ASan + UBSan"
scripts/build.sh build-san -DQUILLON_SANITIZE=ON -DQUILLON_GUI=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-san --output-on-failure -j"$jobs"

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz"
  scripts/fuzz.sh
fi
echo "== all tests passed"
