#!/usr/bin/env bash
# Builds the Debian packages from a build directory (default build) and tries
# them the way a station would: apt must be able to install them here, every
# library a program loads must come from its package's declared dependencies,
# the command-line package must need no window toolkit, and the programs,
# unpacked into an empty root and found through PATH, must answer --version and
# --help, write a simulated chip, and hand window mode over to the window
# program (or, without it, say so). As root, both packages are then installed
# for real and purged again, and nothing of them may remain; a purge while
# records wait for the result database or preserved-record copies exist keeps
# the state directory and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
mapfile -t debs < <(scripts/package.sh "$dir")
root=$(mktemp -d)
installed=()
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=120 "$@"; }
# A check that fails after the real installation still takes the packages away.
cleanup() {
  if [ ${#installed[@]} -gt 0 ]; then apt_get purge "${installed[@]}" > /dev/null 2>&1 || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "package check: $*" >&2; exit 1; }

cli_deb= window_deb=
for deb in "${debs[@]}"; do
  case "$(dpkg-deb -f "$deb" Package)" in
    quillon) cli_deb=$deb ;;
    quillon-window) window_deb=$deb ;;
    *) fail "unexpected package $deb" ;;
  esac
done
[ -n "$cli_deb" ] || fail "no quillon package was built"

# The files a package must hold, by package name.
expected_files() {
  case "$1" in
    quillon)
      echo usr/bin/quillon usr/bin/quillon-sim usr/bin/quillon-mkimage usr/lib/udev/rules.d/60-quillon.rules etc/quillon/quillon.conf \
           usr/share/man/man1/quillon.1.gz usr/share/man/man1/quillon-sim.1.gz usr/share/man/man1/quillon-mkimage.1.gz \
           usr/share/doc/quillon/README.md usr/share/doc/quillon/copyright usr/share/doc/quillon/changelog.gz ;;
    quillon-window)
      echo usr/bin/quillon-window usr/share/man/man1/quillon-window.1.gz \
           usr/share/doc/quillon-window/copyright usr/share/doc/quillon-window/changelog.gz ;;
  esac
}

for deb in "${debs[@]}"; do
  package=$(dpkg-deb -f "$deb" Package)
  unpacked=$root/$package
  echo "-- $(basename "$deb")"
  dpkg-deb -x "$deb" "$unpacked"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "   Depends: $depends"
  for f in $(expected_files "$package"); do
    [ -e "$unpacked/$f" ] || fail "$f is not in $package"
  done

  # Debian's own package checks: no error and no warning; and the hardening the
  # package build turns on.
  if ! lintian --fail-on error,warning "$deb" > "$root/lintian.log" 2>&1; then
    cat "$root/lintian.log" >&2
    fail "lintian finds errors or warnings in $package"
  fi
  for bin in "$unpacked"/usr/bin/*; do
    # grep reads all of readelf's output: with pipefail an early exit (-q) would
    # fail the pipeline on readelf's broken pipe.
    readelf -d "$bin" | grep -E 'BIND_NOW|FLAGS_1.* NOW' >/dev/null || fail "$(basename "$bin") is not linked with -z now (hardening)"
    readelf -sW --dyn-syms "$bin" | grep '__[a-z]*_chk' >/dev/null || fail "$(basename "$bin") has no fortified calls (hardening)"
  done

  # Every shared library the package's programs name belongs to a package it declares.
  declared=" $(echo "$depends" | sed -E 's/\([^)]*\)//g; s/[|,]/ /g') "
  for bin in "$unpacked"/usr/bin/*; do
    for needed in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      # ldd names the dynamic loader by its path alone ("/lib64/ld-linux... (0x...)").
      lib=$(ldd "$bin" | awk -v n="$needed" '$1 == n && $3 ~ /^\// {print $3} $1 ~ ("/" n "$") {print $1}' | head -n1)
      [ -n "$lib" ] || fail "$(basename "$bin") needs $needed, which is not on this system"
      owner=$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$(realpath "$lib")" 2>/dev/null || dpkg -S "/usr$lib" 2>/dev/null \
              || dpkg -S "${lib#/usr}" 2>/dev/null || true)
      owner=${owner%%:*}
      [ -n "$owner" ] || fail "no package owns $lib (needed by $(basename "$bin"))"
      case "$declared" in
        *" $owner "*) ;;
        *) fail "$(basename "$bin") needs $needed from $owner, which $package does not declare" ;;
      esac
    done
  done
done

# One version everywhere: the packages, the changelog (dated by the last
# commit, not the build), the udev rule's note of how it was installed.
version=$(dpkg-deb -f "$cli_deb" Version)
for deb in "${debs[@]}"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb") is not version $version"
done
zcat "$root/quillon/usr/share/doc/quillon/changelog.gz" > "$root/changelog"
[ "$(sed -n 1p "$root/changelog")" = "quillon ($version) unstable; urgency=medium" ] \
  || fail "the changelog starts: $(sed -n 1p "$root/changelog")"
if commit_date=$(git log -1 --format=%cD 2>/dev/null) && [ -n "$commit_date" ]; then
  grep -F -- ">  $commit_date" "$root/changelog" >/dev/null \
    || fail "the changelog is not dated by the last commit ($commit_date): $(grep '^ -- ' "$root/changelog")"
fi
grep -Fx "# Installed by the Debian package quillon $version; an upgrade replaces it, so local" \
  "$root/quillon/usr/lib/udev/rules.d/60-quillon.rules" >/dev/null || fail "the packaged udev rule does not say how it was installed"
# The station's settings are a conffile, so that an upgrade keeps a station's edits.
dpkg-deb --ctrl-tarfile "$cli_deb" | tar -xOf - ./conffiles > "$root/conffiles"
grep -x /etc/quillon/quillon.conf "$root/conffiles" >/dev/null || fail "/etc/quillon/quillon.conf is not a conffile of quillon"
# README names every package the packages depend on.
for deb in "${debs[@]}"; do
  for dep in $(dpkg-deb -f "$deb" Depends | sed -E 's/\([^)]*\)//g; s/[|,]/ /g'); do
    grep -F -- "$dep" README.md >/dev/null || fail "README.md does not name $dep, which $(dpkg-deb -f "$deb" Package) depends on"
  done
done

# A headless station: the command-line package depends on no window toolkit and
# its programs load none.
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
if grep -Eiq 'qt|libasound' <<<"$cli_depends"; then fail "quillon depends on the window's libraries: $cli_depends"; fi
for bin in "$root"/quillon/usr/bin/*; do
  if ldd "$bin" | grep -E 'libQt|libasound' >&2; then fail "$(basename "$bin") loads the window's libraries"; fi
done
if [ -n "$window_deb" ]; then
  dpkg-deb -f "$window_deb" Depends | grep -E '(^|, )quillon \(= ' >/dev/null \
    || fail "quillon-window does not depend on its own version of quillon"
fi

# The dependencies resolve against this system's archive (a simulation; needs no root).
if ! apt-get -s -o Debug::NoLocking=1 install "${debs[@]}" > "$root/apt.log" 2>&1; then
  cat "$root/apt.log" >&2
  fail "apt cannot install the packages"
fi

# The programs from the unpacked packages, found through PATH, in a scratch station directory.
fs=$root/fs
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$fs"; done
export PATH="$fs/usr/bin:$PATH"
[ "$(command -v quillon)" = "$fs/usr/bin/quillon" ] || fail "quillon is not found through PATH"
station="$root/station"
mkdir -p "$station"
cd "$station"
[ "$(quillon --version)" = "quillon $version" ] || fail "quillon --version says $(quillon --version), the package $version"
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
# The settings sample the package installs is read without a single warning.
QUILLON_HOME=$station QUILLON_SETTINGS=$fs/etc/quillon/quillon.conf quillon --report > /dev/null 2> conf.err \
  || fail "quillon --report with the packaged settings failed: $(cat conf.err)"
[ ! -s conf.err ] || fail "the packaged settings are not read without a word: $(cat conf.err)"

# Window mode: quillon alone (only the command-line package unpacked) says that
# the window is not installed; with quillon-window beside it, quillon hands over
# and the window writes the chip by itself (AutoRun=2) and closes.
if "$root/quillon/usr/bin/quillon" > /dev/null 2> window.err; then fail "quillon without the window program passed"; fi
grep -F "quillon-window) is not installed" window.err >/dev/null || fail "quillon without the window program says: $(cat window.err)"
if [ -n "$window_deb" ]; then
  quillon-window --version | grep -E '^quillon-window ' >/dev/null || fail "quillon-window --version does not name it"
  quillon-sim new window.state --ic tq7704 --off-bus-ms 20
  printf '[Quillon Config]\r\nWait Time=50\r\nCheckVIDPID_INI=1\r\nAutoRun=2\r\n' > window.ini
  QUILLON_HOME=$station QUILLON_SETTINGS=$station/window.ini QUILLON_SIM=$station/window.state QT_QPA_PLATFORM=offscreen \
    timeout 120 quillon > /dev/null 2> window.err || { cat window.err >&2; fail "the window started by quillon did not pass"; }
  quillon-sim show window.state | grep -x 'mode: code' >/dev/null || fail "the window did not write the chip"
fi

if command -v man > /dev/null; then
  for page in "$fs"/usr/share/man/man1/*.1.gz; do
    MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null | grep . && fail "$(basename "$page") has warnings"
  done
fi
echo "-- the packages unpack and their programs work from PATH"

# A real installation and purge, where this script may change the system and
# no quillon package is installed already (a station's own stays untouched).
if [ "$(id -u)" -ne 0 ]; then
  echo "-- not root: the installation was only simulated"
  exit 0
fi
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q installed; then
    echo "-- $package is installed on this system already: the installation was only simulated"
    exit 0
  fi
done
installed=("${packages[@]}")
apt_get install --no-install-recommends "${debs[@]}" > "$root/install.log" 2>&1 \
  || { cat "$root/install.log" >&2; fail "apt-get install failed"; }
for package in "${packages[@]}"; do dpkg-query -L "$package" >> "$root/files.txt"; done
cd /
env -u QUILLON_HOME /usr/bin/quillon --version > /dev/null || fail "the installed quillon does not run"
[ "$(stat -c '%G %a' /var/lib/quillon)" = "plugdev 2775" ] || fail "/var/lib/quillon is $(stat -c '%G %a' /var/lib/quillon)"
[ -d /etc/quillon ] || fail "/etc/quillon was not made"
if [ -n "$window_deb" ]; then
  /usr/bin/quillon-window --version > /dev/null || fail "the installed quillon-window does not run"
  # Without a display the window program itself answers, so quillon handed over to it.
  if env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QUILLON_HOME /usr/bin/quillon > /dev/null 2> "$root/window.err"; then
    fail "the installed quillon's window mode passed without a display"
  fi
  grep -F "no display for the operator's window" "$root/window.err" > /dev/null \
    || fail "the installed quillon did not start quillon-window: $(cat "$root/window.err")"
fi
apt_get purge "${packages[@]}" > "$root/purge.log" 2>&1 || { cat "$root/purge.log" >&2; fail "apt-get purge failed"; }
installed=()
while read -r path; do
  # Directories shared with other packages (/usr/bin, ...) stay; files do not.
  if [ -e "$path" ] && ! [ -d "$path" ]; then fail "$path is left after the purge"; fi
done < "$root/files.txt"
for path in /var/lib/quillon /etc/quillon /usr/share/doc/quillon /usr/share/doc/quillon-window; do
  [ ! -e "$path" ] || fail "$path is left after the purge"
done
grep -F "quillon: removed /var/lib/quillon" "$root/purge.log" >/dev/null || fail "the purge did not say that it removed /var/lib/quillon"

# A purge while a record waits for the result database (a server that is not
# there) and a preserved-record copy exists keeps them, and says so.
installed=(quillon)
apt_get install --no-install-recommends "$cli_deb" > "$root/install.log" 2>&1 \
  || { cat "$root/install.log" >&2; fail "apt-get install of quillon failed"; }
QUILLON_SETTINGS=$station/settings.ini QUILLON_SIM=$station/chip.state \
  QUILLON_RESULT_DB="host=127.0.0.1 port=9 connect_timeout=1" /usr/bin/quillon -f -write "$station/fw.rfw" > /dev/null 2>&1 \
  || fail "the installed quillon did not write the chip"
echo copy > /var/lib/quillon/PreservedRecord_1-1.bin
apt_get purge quillon > "$root/purge.log" 2>&1 || { cat "$root/purge.log" >&2; fail "apt-get purge failed"; }
installed=()
[ -f /var/lib/quillon/PreservedRecord_1-1.bin ] && [ -f /var/lib/quillon/quillon-history.db ] \
  || fail "the purge removed records that were not safe elsewhere"
for said in "/var/lib/quillon is kept" "1 run records wait" "1 preserved-record copies"; do
  grep -F "$said" "$root/purge.log" >/dev/null || { cat "$root/purge.log" >&2; fail "the purge did not say: $said"; }
done
[ ! -e /etc/quillon/quillon.conf ] || fail "the purge left /etc/quillon/quillon.conf"
rm -rf /var/lib/quillon
echo "-- the packages install and purge cleanly; a purge keeps unsent records and record copies"
