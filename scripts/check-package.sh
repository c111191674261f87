#!/usr/bin/env bash
# Builds the Debian package from a build directory (default build) and tries it
# the way a clean station would, without root rights: apt must be able to
# install it here, every library the programs load must come from a declared
# dependency, and the programs, unpacked into an empty root and found through
# PATH, must answer --version and --help and write a simulated chip.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
deb=$(scripts/package.sh "$dir")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

echo "-- $(basename "$deb")"
dpkg-deb -x "$deb" "$root/fs"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   Depends: $depends"
for f in usr/bin/quillon usr/bin/quillon-sim usr/bin/quillon-mkimage usr/lib/udev/rules.d/60-quillon.rules \
         usr/share/man/man1/quillon.1.gz usr/share/man/man1/quillon-sim.1.gz usr/share/man/man1/quillon-mkimage.1.gz \
         usr/share/doc/quillon/README.md usr/share/doc/quillon/copyright usr/share/doc/quillon/changelog.gz; do
  [ -e "$root/fs/$f" ] || fail "$f is not in the package"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -x './postrm' >/dev/null || fail "the package has no postrm (purge)"

# Debian's own package checks: no error and no warning; and the hardening the
# package build turns on.
if ! lintian --fail-on error,warning "$deb" > "$root/lintian.log" 2>&1; then
  cat "$root/lintian.log" >&2
  fail "lintian finds errors or warnings"
fi
for bin in quillon quillon-sim quillon-mkimage; do
  # grep reads all of readelf's output: with pipefail an early exit (-q) would
  # fail the pipeline on readelf's broken pipe.
  readelf -d "$root/fs/usr/bin/$bin" | grep -E 'BIND_NOW|FLAGS_1.* NOW' >/dev/null || fail "$bin is not linked with -z now (hardening)"
  readelf -sW --dyn-syms "$root/fs/usr/bin/$bin" | grep '__[a-z]*_chk' >/dev/null || fail "$bin has no fortified calls (hardening)"
done

# The dependencies resolve against this system's archive (a simulation; needs no root).
if ! apt-get -s -o Debug::NoLocking=1 install "$deb" > "$root/apt.log" 2>&1; then
  cat "$root/apt.log" >&2
  fail "apt cannot install the package"
fi

# Every shared library the installed programs name belongs to a declared package.
declared=" $(echo "$depends" | sed -E 's/\([^)]*\)//g; s/[|,]/ /g') "
for bin in "$root"/fs/usr/bin/*; do
  for needed in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    # ldd names the dynamic loader by its path alone ("/lib64/ld-linux... (0x...)").
    lib=$(ldd "$bin" | awk -v n="$needed" '$1 == n && $3 ~ /^\// {print $3} $1 ~ ("/" n "$") {print $1}' | head -n1)
    [ -n "$lib" ] || fail "$(basename "$bin") needs $needed, which is not on this system"
    owner=$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$(realpath "$lib")" 2>/dev/null || dpkg -S "/usr$lib" 2>/dev/null \
            || dpkg -S "${lib#/usr}" 2>/dev/null || true)
    package=${owner%%:*}
    [ -n "$package" ] || fail "no package owns $lib (needed by $(basename "$bin"))"
    case "$declared" in
      *" $package "*) ;;
      *) fail "$(basename "$bin") needs $needed from $package, which the package does not declare" ;;
    esac
  done
done

# The programs from the unpacked package, found through PATH, in a scratch station directory.
export PATH="$root/fs/usr/bin:$PATH"
[ "$(command -v quillon)" = "$root/fs/usr/bin/quillon" ] || fail "quillon is not found through PATH"
station="$root/station"
mkdir -p "$station"
cd "$station"
quillon --version
quillon --help > help.txt || fail "quillon --help failed"
quillon-sim --help > /dev/null || fail "quillon-sim --help failed"
quillon-mkimage --help > /dev/null || fail "quillon-mkimage --help failed"
quillon-mkimage fw.rfw --ic tq7704
quillon-sim new chip.state --ic tq7704 --off-bus-ms 20
printf '[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\n' > settings.ini
QUILLON_HOME=$station QUILLON_SETTINGS=$station/settings.ini QUILLON_SIM=$station/chip.state \
  QUILLON_RESULT_JSON=$station/runs.jsonl quillon -f -write fw.rfw || fail "the write to the simulated chip failed"
[ "$(cat Result.txt)" = pass ] || fail "Result.txt says $(cat Result.txt)"
grep -q '"verdict":"PASS"' runs.jsonl || fail "no PASS record in runs.jsonl"
quillon-sim show chip.state | grep -x 'mode: code' >/dev/null || fail "the chip does not run the new code"
if command -v man > /dev/null; then
  for page in quillon quillon-sim quillon-mkimage; do
    MANWIDTH=80 man --warnings -l "$root/fs/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . && fail "$page.1 has warnings"
  done
fi
echo "-- the package installs and its programs work from PATH"
